#pragma once

#include <QString>

#include "outcome.h"

// The run's bookkeeping inside the installation root: the backup area, which
// holds the journal, the originals set aside under the paths they had and the
// applied deletion list; and the trash, where committed areas and whatever
// else leaves the installation wait to be removed. Nothing in the trash is
// ever restored. Both are the updater's own: a link in their place is removed
// as a link, never followed.
class BackupArea
{
public:
    explicit BackupArea(const QString &root);

    // The backup area's folder name directly under the installation root.
    static QString areaName();
    static QString trashName();
    // The file that keeps a second updater off the installation while a run lasts.
    static QString lockName();
    // Whether `relative` is the area, the trash or the lock, or lies in them.
    static bool isInArea(const QString &relative);

    QString root() const { return rootPath; }
    QString path() const { return areaPath; }
    QString journalPath() const;
    // Where the original of the installed `relative` is kept.
    QString saved(const QString &relative) const;
    // Where the original now at `relative` is set aside: under the name it
    // carries in the installation, which `relative` may spell in other letter
    // case where names ignore it (saved() finds it there all the same).
    QString savedUnderInstalledName(const QString &relative) const;
    // Where the original kept for `relative` goes back: its folder in the
    // installation, under the name it was kept by.
    QString installedPathOfSaved(const QString &relative) const;
    // Where the applied deletion list is kept.
    QString savedList() const;
    bool exists() const;
    // A new name for a temporary file beside `destination`, unique to this
    // run, so that no installed file has it by chance; short, so that a name
    // at the system's length limit still has one.
    QString temporaryBeside(const QString &destination);

    // Creates the area.
    Outcome create();
    // Creates the folder that keeps the original of `relative`.
    Outcome makeSavedFolderFor(const QString &relative);
    // Forgets what it created: a later run starts afresh.
    void forgetFolders();

    // Moves the file or link `path` of the installation into the trash.
    bool throwAway(const QString &path);
    // Moves the whole area into the trash. Only ever called on an area
    // without a journal. Fails when the area is still there.
    Outcome moveToTrash();
    // Removes the trash. What cannot be removed now (a file still in use)
    // stays for a later run. True when nothing was left.
    bool dropTrash() const;
    void removeLinksInPlaceOfFolders() const;

private:
    QString newTrashEntry() const;
    // Nothing but a folder of our own, or nothing yet, stands at `folder`.
    static bool isOurs(const QString &folder);
    Outcome makeTrash();
    static void moveEntriesInto(const QString &folder, const QString &bin, int &left);

    QString rootPath;
    QString areaPath;
    QString trashPath;
    QString runToken;
    int temporaries = 0;
    QString lastSavedFolder;
};
