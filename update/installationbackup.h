#pragma once

#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QVector>

#include <functional>

#include "outcome.h"

class QFileInfo;

// Keeps what a run changes in the installation, so that a failed run can be
// rolled back. Every file the run removes or replaces is moved aside into a
// backup area inside the installation root (a rename on the same file
// system), and every file and folder it creates is recorded, in a journal on
// disk so that a run that was killed can be rolled back by the next one.
// Only the first original of each path is kept: a retry never overwrites it.
//
// Write-ahead: a record is on disk before the change it describes can be.
// Undoing a record twice, or one whose change never happened, is harmless,
// so a rollback cut short is simply done again.
//
// Paths are relative to the installation root, with forward slashes.
class InstallationBackup
{
public:
    // `packageDir` is the package this run applies: its payload files are the
    // only files outside the root that a rollback moves, and its deletion list
    // the only one it puts back. Journal records that name anything else,
    // through "..", links or absolute paths, are skipped.
    explicit InstallationBackup(const QString &root, const QString &packageDir = QString());
    ~InstallationBackup();
    InstallationBackup(const InstallationBackup &) = delete;
    InstallationBackup &operator=(const InstallationBackup &) = delete;

    // The backup area's folder name directly under the installation root.
    static QString areaName();
    // Where committed areas wait to be removed; nothing in it is ever restored.
    static QString trashName();
    // The file that keeps a second updater off the installation while a run lasts.
    static QString lockName();
    bool hasArea() const;
    // Whether `relative` is the backup area, the trash or the lock, or lies in
    // them: the run's own bookkeeping, which the deletion list must not touch.
    static bool isInArea(const QString &relative);

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

    // A change the copy is about to make: a file put at `relative` from
    // `source`, or, with an empty source, the folder `relative` made.
    struct PlannedChange
    {
        QString source;
        QString relative;
        bool movable = true; // as putFile's `movable`
    };
    // Writes what putFile and makeFolder will record for `changes`, as the
    // installation stands now, to the journal in one flush: a batch of
    // records costs one wait for the disk instead of one each.
    Outcome recordAhead(const QVector<PlannedChange> &changes);
    // Called before the journal is first written, and before the journal of a
    // run that was cut short is undone.
    void setBeforeFirstChange(std::function<void()> hook);

    // Undoes everything the journal records, newest first, puts the deletion
    // list back into its package and removes the area. When something cannot
    // be undone the area stays, so that the next run tries again.
    Outcome restore();
    // Makes a completed run final in one step: every file the run put in
    // place and every folder whose entries it changed is flushed, then the
    // journal goes, and its removal is flushed too, so what is left of the
    // area is trash that no later run rolls back. The area then moves into the
    // trash. Fails when something could not be flushed or the journal could
    // not be removed; the run then stays one to roll back.
    Outcome commit();
    // Removes the trash. What cannot be removed now (a file still in use)
    // stays for a later run. True when nothing was left.
    bool dropTrash();
    // What an earlier run left: its journal means it was killed, and it is
    // rolled back; an area without one was committed, and it is thrown away.
    // True when a killed run was rolled back.
    bool recoverEarlierRun();

private:
    QString absolute(const QString &relative) const;
    QString saved(const QString &relative) const;
    QString temporaryFor(const QString &destination);
    bool liesInside(const QString &relative) const;
    bool liesInPackage(const QString &path) const;
    void removeLinksInPlaceOfFolders() const;
    Outcome record(char kind, const QString &path);
    Outcome openJournal();
    Outcome writeRecords(const QByteArray &lines);
    void planPut(const PlannedChange &change, QByteArray &lines);
    QString temporaryForPut(const QString &relative);
    bool isSafe(char kind, const QString &record) const;
    Outcome flushChangesOfRun();
    void endWriting();
    Outcome ensureSavedFolder(const QString &relative);
    Outcome moveAside(const QString &relative);
    bool moveInto(const QString &source, const QString &relative, const QFileInfo &installed);
    Outcome undo(char kind, const QString &record);
    QString journalPath() const;
    void moveAreaToTrash();

    QString rootPath;
    QString packagePath;
    QString areaPath;
    QString trashPath;
    // Temporary files are named after the run, so that no installed file has their name by chance.
    QString runToken;
    int temporaries = 0;
    QFile journal;
    QString lastSavedFolder;
    bool movesAllowed = false;
    // Records on disk already, written ahead of the changes they describe.
    QSet<QByteArray> recordedAhead;
    // The temporary files those records name, by the path they are for.
    QHash<QString, QString> plannedTemporaries;
    std::function<void()> beforeFirstChange;
};
