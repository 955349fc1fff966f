#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

#include "backuparea.h"
#include "contentatuse.h"
#include "journal.h"
#include "outcome.h"
#include "package.h"
#include "runrollback.h"

// Keeps what a run changes in the installation, so that a failed run can be
// rolled back. Every file the run removes or replaces is moved aside into the
// backup area (a rename on the same file system: a volume mounted inside the
// root has an area of its own, and its files are copied into place, never
// moved from the package), and every file and folder
// it creates is recorded, in a journal on disk so that a run that was killed
// can be rolled back by the next one. Only the first original of each path is
// kept: a retry never overwrites it.
//
// Paths are relative to the installation root, with forward slashes.
class InstallationBackup
{
public:
    // `package` is the one this run applies (see RunRollback).
    InstallationBackup(const QString &root, const Package &package);
    explicit InstallationBackup(const QString &root, const QString &packageDir = QString());
    ~InstallationBackup();
    InstallationBackup(const InstallationBackup &) = delete;
    InstallationBackup &operator=(const InstallationBackup &) = delete;

    static QString areaName() { return BackupArea::areaName(); }
    static QString trashName() { return BackupArea::trashName(); }
    static QString lockName() { return BackupArea::lockName(); }
    static bool isInArea(const QString &relative) { return BackupArea::isInArea(relative); }
    bool hasArea() const;

    // The deletion list removes the file at `relative`. Missing entries and
    // folders are left alone. Fails when the file is still there.
    Outcome removeFile(const QString &relative);
    // Moves the applied deletion list at `listPath` aside.
    Outcome setListAside(const QString &listPath);
    // The copy creates the folder `relative`.
    Outcome makeFolder(const QString &relative);
    // The copy puts the file `source` at `relative`, replacing what is there
    // only with a complete copy. A folder at `relative` makes it fail.
    // `progress` hears of the bytes written as a copy goes on.
    // `movable` false keeps the source where it is, whatever allowMoves says.
    Outcome putFile(const QString &source, const QString &relative,
                    const std::function<void(qint64)> &progress = nullptr, bool movable = true);
    // From now on putFile moves a plain source file into place where it can,
    // instead of copying it; a rollback moves it back where it came from.
    void allowMoves(bool allowed);

    // A change the run is about to make: a file put at `relative` from
    // `source`; with an empty source, the folder `relative` made; or the file
    // `relative` removed.
    // How many changes a caller plans ahead at a time: their records cost one flush.
    static constexpr int RecordBatch = 512;

    struct PlannedChange
    {
        QString source;
        QString relative;
        bool movable = true; // as putFile's `movable`
        bool removal = false;

        static PlannedChange removalOf(const QString &relative) { return {QString(), relative, false, true}; }
    };
    // Writes what putFile, makeFolder and removeFile will record for
    // `changes`, as the installation stands now, to the journal in one flush:
    // a batch of records costs one wait for the disk instead of one each.
    Outcome recordAhead(const QVector<PlannedChange> &changes);
    // Called before the journal is first written, and before the journal of a
    // run that was cut short is undone.
    void setBeforeFirstChange(std::function<void()> hook);
    // What putFile holds the files it puts in place to; it checks nothing until given a listing.
    ContentAtUse &contentAtUse() { return content; }
    const ContentAtUse &contentAtUse() const { return content; }

    // Undoes everything the journal records (see RunRollback::restore).
    Outcome restore();
    // Makes a completed run final (see RunCommit).
    Outcome commit();
    // Removes the trash. What cannot be removed now (a file still in use)
    // stays for a later run. True when nothing was left.
    bool dropTrash();
    // Rolls back what a run cut short left, and throws away what committed
    // runs left (see RunRollback::recoverEarlierRun).
    Recovery recoverEarlierRun();

private:
    // What the run does at one path, decided once from the installation as
    // it stands: recorded, ahead or just before, then carried out.
    struct Change
    {
        enum How {
            Nothing,    // a removal of what is not there
            InTheWay,   // a folder stands where a file goes, or where one is to be removed
            MoveIn,     // the package's file is renamed into place, an original there set aside first
            Copy,       // a copy is written beside the path, then renamed into place
            SetAside,   // the original leaves for the backup area
            Remove,     // what is there came from this run, its original kept already
            MakeFolder, // the copy makes the folder
        };
        enum class For { Put, Removal, Folder };

        How how = Nothing;
        For purpose = For::Put;
        QString relative;
        QString source;        // a put's
        bool present = false;  // something stands at the path
        char copyRecord = 0;   // a copy's record
        QString temporary;     // a copy's temporary file, beside the path
        bool recorded = false; // its records are on disk

        bool setsAside() const;
    };

    QString absolute(const QString &relative) const;
    bool isKept(const QString &relative);
    void readKeptOriginals();
    QString keptKey(const QString &relative) const;
    Outcome recordListSetAside(const QString &listPath);
    Outcome openJournal();
    Outcome writeRecords(const QByteArray &records);
    QString volumeOf(const QString &relative);
    bool mayMove(const QString &relative, bool movable);
    void planVolume(const QString &relative, QByteArray &records, QStringList &volumes);
    Outcome openVolumes(const QStringList &volumes);
    void endWriting();
    bool leaveMarker();

    Change decide(const PlannedChange &planned);
    Change decidePut(const QString &source, const QString &relative, bool movable);
    Change decideRemoval(const QString &relative);
    Change decided(const PlannedChange &planned);
    QByteArray recordsOf(const Change &change, QStringList &volumes);
    Outcome writeChanges(const QByteArray &records, const QStringList &volumes);
    void noteRecorded(Change &change);
    Outcome recordOnce(Change &change);
    Outcome setAside(const QString &relative);
    Outcome putOver(const QString &relative, const QString &replacement, const QString &what,
                    const QString &shownPath);
    Outcome recordMade(const QString &relative, const QString &made);
    Outcome moveIn(Change &change);
    Outcome copyIn(Change &change, const std::function<void(qint64)> &progress);

    QString rootPath;
    Package package;
    BackupArea area;
    Journal journal;
    bool movesAllowed = false;
    // Changes decided and recorded ahead, by keptKey of their path.
    QHash<QString, Change> decidedAhead;
    // The paths whose originals a record of the journal says are set aside:
    // only those files of the area are kept, whatever else lies in it.
    QSet<QString> keptPaths;
    bool keptPathsRead = false;
    // Whether a record says the deletion list in the area is this package's, set aside.
    bool listKept = false;
    // The volumes mounted inside the root whose areas the journal names.
    QSet<QString> volumesRecorded;
    // The volume each folder lies on, as Place::mountedVolumeOf tells it.
    QHash<QString, QString> volumeOfFolder;
    std::function<void()> beforeFirstChange;
    ContentAtUse content;
    // The token of the marker this run left in the package; empty before.
    QString markerToken;
};
