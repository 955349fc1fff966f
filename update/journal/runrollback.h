#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

#include "outcome.h"
#include "package.h"

#include "journal.h"

class BackupArea;

// What an earlier run left, and what became of it.
enum class Recovery {
    NothingLeft, // no run was cut short; what committed runs left is in the trash
    RolledBack,  // a run cut short was rolled back completely
    Blocked,     // its journal cannot be read, an area no journal explains cannot be moved aside, a
                 // record lies on a volume that is not mounted where it was, or something could not be
                 // undone: this run must change nothing on top
};

// Puts the installation back as its journal says it was, newest record first.
// Every undo first checks that its change was made: an original is put back
// only from the backup area, where its presence proves it was set aside; a
// moved-in file goes back to the package only while it is the file the
// record names by identity; a created file or folder is removed only while it
// is the one the run made. Undoing a record twice, or one whose change never
// happened, therefore changes nothing, so a rollback cut short is simply done
// again. Journals of formats before 5 carry no identities, and are undone as
// their own updater undid them.
class RunRollback
{
public:
    // The package a journal names is the one its run applied: its payload
    // files are the only files outside the root that a rollback moves back,
    // and its deletion list the only one it puts back, whatever package or
    // spelling of it the rolling-back run was handed. `package`, the run's
    // own, stands in for journals that name none. Records that name anything
    // else, through "..", links or absolute paths, are skipped.
    RunRollback(BackupArea &area, const Package &package);

    // Undoes everything the journal records and puts the deletion list back
    // into its package; then the journal goes and the area moves into the
    // trash (an area that cannot is said in the run log, and left for the
    // next run to move aside first). Files the package moved in go back into it; where its payload is
    // gone they leave the installation by way of the trash, and nothing is
    // put into a package folder that is no longer there. When something
    // cannot be undone the area stays, so that the next run tries again; a
    // journal that cannot be read is left as it is, with nothing changed.
    Outcome restore();
    // What an earlier run left: its journal means it was cut short, and it is
    // rolled back; an area without one was committed (or is no run's), and it
    // goes into the trash whole. A journal that cannot be read is left as it
    // is, with its area and every original in it. `beforeFirstChange` is
    // called before a rollback changes anything.
    Recovery recoverEarlierRun(const std::function<void()> &beforeFirstChange);

private:
    Outcome readJournal();
    void findVolumes(const QVector<JournalRecord> &records);
    Outcome checkVolumes(const QSet<QString> &folders) const;
    QString recordedVolumeOf(const QString &folder) const;
    bool isMade(const QString &relative) const;
    void removeMarker();
    QString absolute(const QString &relative) const;
    bool payloadIsThere() const;
    bool liesInside(const QString &relative) const;
    bool namesPayloadFile(const QString &path) const;
    bool isSafe(const JournalRecord &record) const;
    Outcome undo(const JournalRecord &record);
    Outcome undoMoveIn(const JournalRecord &record);
    Outcome noteFilesReplaced();

    BackupArea &area;
    const QString rootPath;
    Package package;
    // Whether the package the records name is still there, with its payload.
    bool payloadThere = false;
    // With the payload gone: the paths whose originals the run set aside.
    QSet<QString> replacedPaths;
    // The format the journal is in: identities from format 5 on.
    int format = Journal::FormatVersion;
    // The identities of what the run made, by the path it made them at.
    QHash<QString, QSet<QString>> made;
    // The volumes the journal names, mounted inside the root when it was written.
    QStringList volumesRecorded;
    // Those that are not where they were.
    QStringList volumesAway;
    // The marker the journal's package holds, and whether it was found there.
    QString marker;
    bool foundByMarker = false;
    // The parent folders of the records' paths, read before anything is undone.
    QSet<QString> recordFolders;
    // Whether the last restore() changed nothing since a volume is not where it was.
    bool volumeMoved = false;
    int thrownAway = 0;
    // Why the last restore() could not read the journal; done when it could.
    Outcome unreadable;
};
