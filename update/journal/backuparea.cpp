#include "backuparea.h"

#include <atomic>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include "fileops.h"
#include "place.h"
#include "logcategories.h"

namespace {

const char savedFilesFolder[] = "/files/";
const char savedListName[] = "/del.xml";
const char journalName[] = "/journal";

// The folder part of a relative path, with its trailing slash; empty at the top.
QString folderPart(const QString &relative)
{
    return relative.left(relative.lastIndexOf(QLatin1Char('/')) + 1);
}

QString runTokenText()
{
    return QStringLiteral("%1%2")
        .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'))
        .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
}

} // namespace

BackupArea::BackupArea(const QString &root)
    : rootPath(root)
    , areaPath(rootPath + QLatin1Char('/') + areaName())
    , trashPath(rootPath + QLatin1Char('/') + trashName())
    , runToken(runTokenText())
{}

QString BackupArea::areaName()
{
    return QStringLiteral(".quillFern-backup");
}

QString BackupArea::trashName()
{
    return QStringLiteral(".quillFern-trash");
}

QString BackupArea::lockName()
{
    return QStringLiteral(".quillFern.lock");
}

bool BackupArea::isInArea(const QString &relative)
{
    const Qt::CaseSensitivity cs = FileOps::fileNameCaseSensitivity();
    if (relative.compare(lockName(), cs) == 0)
        return true;
    // A volume mounted inside the root keeps an area and a trash of its own, at any depth.
    for (const QStringRef &name : relative.splitRef(QLatin1Char('/'))) {
        if (name.compare(areaName(), cs) == 0 || name.compare(trashName(), cs) == 0)
            return true;
    }
    return false;
}

QString BackupArea::journalPath() const
{
    return areaPath + QLatin1String(journalName);
}

// The area that keeps the original of `relative`, the deepest volume's, and
// `relative` as seen from that area's root.
const BackupArea &BackupArea::keeperOf(const QString &relative, QString *inside) const
{
    const Qt::CaseSensitivity cs = FileOps::fileNameCaseSensitivity();
    int keeper = -1;
    for (int index = 0; index < volumeFolders.size(); ++index) {
        const QString &folder = volumeFolders.at(index);
        if (relative.startsWith(folder + QLatin1Char('/'), cs) &&
            (keeper < 0 || folder.size() > volumeFolders.at(keeper).size()))
            keeper = index;
    }
    if (keeper < 0) {
        *inside = relative;
        return *this;
    }
    *inside = relative.mid(volumeFolders.at(keeper).size() + 1);
    return volumeAreas.at(size_t(keeper));
}

QString BackupArea::saved(const QString &relative) const
{
    QString inside;
    const BackupArea &keeper = keeperOf(relative, &inside);
    return keeper.areaPath + QLatin1String(savedFilesFolder) + inside;
}

QString BackupArea::savedUnderInstalledName(const QString &relative) const
{
    return saved(folderPart(relative)) + FileOps::trueFileName(rootPath + QLatin1Char('/') + relative);
}

QString BackupArea::installedPathOfSaved(const QString &relative) const
{
    return rootPath + QLatin1Char('/') + folderPart(relative) + FileOps::trueFileName(saved(relative));
}

QString BackupArea::savedList() const
{
    return areaPath + QLatin1String(savedListName);
}

bool BackupArea::exists() const
{
    return Place::notFollowingLastLink(areaPath).isPlainFolder();
}

QString BackupArea::temporaryBeside(const QString &destination)
{
    return QFileInfo(destination).absolutePath() +
           QStringLiteral("/.quillFern-%1-%2").arg(runToken).arg(++temporaries);
}

Outcome BackupArea::create()
{
    removeLinksInPlaceOfFolders();
    if (!isOurs(areaPath))
        return Outcome::failure(QStringLiteral("create the backup area"), areaPath,
                                QStringLiteral("its place is taken by a mount point"));
    if (!FileOps::makePath(areaPath))
        return Outcome::failure(QStringLiteral("create the backup area"), areaPath, FileOps::lastError());
    return Outcome::done();
}

Outcome BackupArea::makeSavedFolderFor(const QString &relative)
{
    const QString folder = saved(folderPart(relative));
    if (folder == lastSavedFolder)
        return Outcome::done();
    if (!FileOps::makePath(folder))
        return Outcome::failure(QStringLiteral("create the folder"), folder, FileOps::lastError());
    lastSavedFolder = folder;
    return Outcome::done();
}

void BackupArea::forgetFolders()
{
    lastSavedFolder.clear();
}

void BackupArea::knowVolume(const QString &folder)
{
    if (volumeFolders.contains(folder, FileOps::fileNameCaseSensitivity()))
        return;
    volumeFolders << folder;
    volumeAreas.emplace_back(rootPath + QLatin1Char('/') + folder);
}

Outcome BackupArea::openVolume(const QString &folder)
{
    knowVolume(folder);
    const int index = volumeFolders.indexOf(folder);
    BackupArea &volume = volumeAreas.at(size_t(index));
    Outcome outcome = volume.moveToTrash();
    if (outcome)
        outcome = volume.create();
    // An original renamed into an area whose own name a power cut took would be lost with it.
    if (outcome && !FileOps::flushFolder(volume.root()))
        outcome = FileOps::failure(QStringLiteral("flush the folder"), volume.root());
    return outcome;
}

// Named after the time, the process and a count, so that no two runs, nor
// two moves, meet; a name something already has is never used.
QString BackupArea::newTrashEntry() const
{
    static std::atomic_int moves{0};
    QString entry;
    do {
        entry = trashPath + QLatin1Char('/') +
                QStringLiteral("%1-%2-%3")
                    .arg(QDateTime::currentMSecsSinceEpoch())
                    .arg(QCoreApplication::applicationPid())
                    .arg(++moves);
    } while (FileOps::existsOrIsLink(QFileInfo(entry)));
    return entry;
}

// Whatever else stands in the trash's place (a file, a mount point) goes into
// the area under a fresh name, and from there into the trash with it.
Outcome BackupArea::makeTrash()
{
    // A mount point cannot be moved: the trash is then never made, and nothing goes into what it shows.
    const Place trash = Place::notFollowingLastLink(trashPath);
    if (trash.exists() && !trash.isPlainFolder()) {
        const QString aside = temporaryBeside(areaPath + QStringLiteral("/entry"));
        if (!FileOps::renameOver(trashPath, aside))
            return FileOps::failure(QStringLiteral("move aside what stands in the trash's place"), trashPath);
        qCDebug(lcArea) << "Moved what stood in the trash's place into the backup area:" << aside;
    }
    if (!FileOps::makePath(trashPath))
        return FileOps::failure(QStringLiteral("create the trash"), trashPath);
    return Outcome::done();
}

bool BackupArea::throwAway(const QString &path)
{
    removeLinksInPlaceOfFolders();
    return makeTrash() && FileOps::renameOver(path, newTrashEntry());
}

// A file still in use (a running executable or a loaded library on Windows)
// can be renamed but not removed, and it keeps its folders from being
// renamed: such files move into the trash one by one, so that the area's
// name is free for the next run.
Outcome BackupArea::moveToTrash()
{
    Outcome first = moveOwnAreaToTrash();
    // Nothing keeps a volume's trash for later: no later run knows where it is.
    for (BackupArea &volume : volumeAreas) {
        const Outcome moved = volume.moveToTrash();
        if (moved)
            volume.dropTrash();
        else if (first)
            first = moved;
    }
    return first;
}

Outcome BackupArea::moveOwnAreaToTrash()
{
    removeLinksInPlaceOfFolders();
    lastSavedFolder.clear();
    if (!exists())
        return Outcome::done();
    const Outcome trash = makeTrash();
    if (!trash)
        return trash;
    const QString bin = newTrashEntry();
    if (FileOps::renameOver(areaPath, bin))
        return Outcome::done();
    const Outcome notMoved =
        FileOps::failure(QStringLiteral("move the backup area into the trash"), areaPath);
    FileOps::removeTree(areaPath);
    if (!exists())
        return Outcome::done();
    FileOps::makePath(bin);
    int left = 0;
    moveEntriesInto(areaPath, bin, left);
    FileOps::removeTree(areaPath);
    if (!exists())
        return Outcome::done();
    // Only empty folders go: what could not move leaves no trace in the trash.
    FileOps::removeFolder(bin);
    FileOps::removeFolder(trashPath);
    return notMoved;
}

// What is left in `folder` moves into `bin` entry by entry; a link, junction
// or mount point moves as the entry it is, never what it leads to.
void BackupArea::moveEntriesInto(const QString &folder, const QString &bin, int &left)
{
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (Place::notFollowingLastLink(entry.filePath()).isPlainFolder())
            moveEntriesInto(entry.filePath(), bin, left);
        else
            FileOps::renameOver(entry.filePath(), bin + QLatin1Char('/') + QString::number(++left));
    }
}

bool BackupArea::dropTrash() const
{
    removeLinksInPlaceOfFolders();
    bool whole = FileOps::removeTree(trashPath);
    for (const BackupArea &volume : volumeAreas)
        whole = volume.dropTrash() && whole;
    return whole;
}

void BackupArea::removeLinksInPlaceOfFolders() const
{
    for (const QString &folder : {areaPath, trashPath}) {
        const Place place = Place::notFollowingLastLink(folder);
        if (!place.isLink())
            continue;
        // A junction goes as a link does; a mount point cannot, and is never written into.
        if (place.linkKind() == Place::LinkKind::MountPoint && FileOps::removeFolder(folder)) {
            qCDebug(lcAreaLinkRemoved)
                << "Removed a junction that stood in place of the updater's folder" << folder;
        } else if (place.linkKind() != Place::LinkKind::MountPoint && FileOps::removeFile(folder)) {
            qCDebug(lcAreaLinkRemoved)
                << "Removed a link that stood in place of the updater's folder" << folder;
        } else {
            qCDebug(lcArea).noquote()
                << "The updater's folder" << folder << "is" << Place::describe(place.linkKind())
                << "that cannot be removed; nothing is kept in it";
        }
    }
}

bool BackupArea::isOurs(const QString &folder)
{
    return !Place::notFollowingLastLink(folder).isLink();
}
