#pragma once

#include <QString>
#include <QStringList>

#include <vector>

#include "outcome.h"

// The run's bookkeeping inside the installation root: the backup area, which
// holds the journal, the originals set aside under the paths they had and the
// applied deletion list; and the trash, where committed areas and whatever
// else leaves the installation wait to be removed. Nothing in the trash is
// ever restored. Both are the updater's own: a link in their place is removed
// as a link, never followed.
//
// A rename cannot cross volumes, so a volume mounted inside the root keeps the
// originals of its files in an area and a trash of its own, on it, named as
// the root's are; the journal stays in the root's area and names each.
class BackupArea
{
public:
    explicit BackupArea(const QString &root);

    // The backup area's folder name directly under the installation root.
    static QString areaName();
    static QString trashName();
    // The file that keeps a second updater off the installation while a run lasts.
    static QString lockName();
    // Whether `relative` is the lock, an area or a trash (the root's or a
    // volume's), or lies in one.
    static bool isInArea(const QString &relative);

    QString root() const { return rootPath; }
    QString path() const { return areaPath; }
    QString journalPath() const;
    // Where the original of the installed `relative` is kept: in the area of
    // the volume it lies on.
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

    // The originals of the files under `folder` (relative to the root, a
    // volume mounted there) are kept in an area on that volume.
    void knowVolume(const QString &folder);
    // Knows the volume and makes its area afresh, on disk before anything is
    // set aside into it: what an earlier run left there goes into that
    // volume's trash first, since no original in it is this run's.
    Outcome openVolume(const QString &folder);
    QStringList volumes() const { return volumeFolders; }

    // Moves the file or link `path` of the installation into the trash.
    bool throwAway(const QString &path);
    // Moves the whole area into the trash, and each volume's area into that
    // volume's trash. Only ever called on an area without a journal. Fails
    // when an area is still there.
    Outcome moveToTrash();
    // Removes the trash, and each volume's. What cannot be removed now (a
    // file still in use) stays for a later run. True when nothing was left.
    bool dropTrash() const;
    void removeLinksInPlaceOfFolders() const;

private:
    const BackupArea &keeperOf(const QString &relative, QString *inside) const;
    Outcome moveOwnAreaToTrash();
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
    // The volumes mounted inside the root that keep originals, with their areas.
    QStringList volumeFolders;
    std::vector<BackupArea> volumeAreas;
};
