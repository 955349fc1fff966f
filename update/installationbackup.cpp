#include "installationbackup.h"

#include <utility>

#include <QDir>
#include <QFileInfo>

#include "fileops.h"
#include "place.h"
#include "runcommit.h"
#include "runrollback.h"

namespace {

using FileOps::existsOrIsLink;
using FileOps::isRealFolder;

// The record of a file the copy writes beside its path and renames into place.
// With the original kept, undoing that original's record puts it back over
// whatever is here; a record that removed the file instead would, undone a
// second time after a rollback cut short, remove the original.
char kindOfCopy(bool present, bool kept)
{
    return kept      ? JournalRecord::TemporaryFile
           : present ? JournalRecord::MovedAside
                     : JournalRecord::CreatedFile;
}

} // namespace

InstallationBackup::InstallationBackup(const QString &root, const Package &package)
    : rootPath(QDir::cleanPath(QDir(root).absolutePath()))
    , package(package)
    , area(rootPath)
    , journal(area.journalPath())
{}

InstallationBackup::InstallationBackup(const QString &root, const QString &packageDir)
    : InstallationBackup(root, Package(packageDir))
{}

InstallationBackup::~InstallationBackup() = default;

bool InstallationBackup::hasArea() const
{
    return area.exists();
}

QString InstallationBackup::absolute(const QString &relative) const
{
    return rootPath + QLatin1Char('/') + relative;
}

// Whether the first original of `relative` is kept already: what is there
// now came from this run. Only a record of the journal makes a file of the
// area an original, one of this run's or of the run it could not roll back
// completely.
bool InstallationBackup::isKept(const QString &relative)
{
    readKeptOriginals();
    return keptPaths.contains(keptKey(relative)) && existsOrIsLink(QFileInfo(area.saved(relative)));
}

// What the journal already holds when the run first asks.
void InstallationBackup::readKeptOriginals()
{
    if (std::exchange(keptPathsRead, true))
        return;
    // A journal that cannot be read keeps nothing here, and takes no record either.
    Journal::readNewestFirst(area.journalPath(), [this](const JournalRecord &record) {
        if (record.kind == JournalRecord::MovedAside)
            keptPaths.insert(keptKey(record.path));
        else if (record.kind == JournalRecord::ListSetAside)
            listKept = true;
        else if (record.kind == JournalRecord::VolumeArea) {
            volumesRecorded.insert(record.path);
            area.knowVolume(record.path);
        }
    });
}

QString InstallationBackup::keptKey(const QString &relative) const
{
    return FileOps::fileNameCaseSensitivity() == Qt::CaseSensitive ? relative : relative.toCaseFolded();
}

void InstallationBackup::setBeforeFirstChange(std::function<void()> hook)
{
    beforeFirstChange = std::move(hook);
}

Outcome InstallationBackup::openJournal()
{
    if (journal.isOpen())
        return Outcome::done();
    if (beforeFirstChange)
        beforeFirstChange();
    Outcome outcome = area.create();
    if (outcome)
        outcome = journal.open();
    if (!outcome)
        return outcome;
    // A power cut must find the journal itself, not only its records.
    for (const QString &folder : {area.path(), rootPath}) {
        if (!FileOps::flushFolder(folder))
            return FileOps::failure(QStringLiteral("flush the folder"), folder);
    }
    return Outcome::done();
}

// On disk when this returns: only then may the changes they describe be made.
Outcome InstallationBackup::writeRecords(const QByteArray &records)
{
    const Outcome opened = openJournal();
    if (!opened)
        return opened;
    // A journal names its package first, so that its recovery finds the same folder under any name.
    if (journal.isEmpty() && !package.isEmpty())
        return journal.append(
            Journal::frame({JournalRecord::PackageApplied, package.path(), package.identity().toText()}) +
            records);
    return journal.append(records);
}

Outcome InstallationBackup::record(char kind, const QString &path, const QString &extra)
{
    const QByteArray framed = Journal::frame({kind, path, extra});
    if (recordedAhead.remove(framed))
        return Outcome::done();
    const Outcome written = writeRecords(framed);
    if (written && kind == JournalRecord::MovedAside)
        keptPaths.insert(keptKey(path));
    else if (written && kind == JournalRecord::ListSetAside)
        listKept = true;
    return written;
}

// The temporary file putFile writes for `relative`: the one its record ahead
// named, or a new one.
QString InstallationBackup::temporaryForPut(const QString &relative)
{
    const QString planned = plannedTemporaries.take(relative);
    return planned.isEmpty() ? area.temporaryBeside(absolute(relative)) : planned;
}

// The folder of the volume mounted inside the root that `relative` lies on;
// empty on the root's own.
QString InstallationBackup::volumeOf(const QString &relative)
{
    const QString folder = relative.left(qMax(0, relative.lastIndexOf(QLatin1Char('/'))));
    const auto known = volumeOfFolder.constFind(folder);
    if (known != volumeOfFolder.constEnd())
        return known.value();
    const QString volume = Place::mountedVolumeOf(rootPath, relative);
    volumeOfFolder.insert(folder, volume);
    return volume;
}

// A file goes from the package to the root's own volume by a rename; to any
// other, by a copy.
bool InstallationBackup::mayMove(const QString &relative, bool movable)
{
    return movesAllowed && movable && volumeOf(relative).isEmpty();
}

// The record that names the area of `relative`'s volume goes before the first
// original set aside there; `volumes` gets the areas to open once it is written.
void InstallationBackup::planVolume(const QString &relative, QByteArray &records, QStringList &volumes)
{
    readKeptOriginals();
    const QString volume = volumeOf(relative);
    if (volume.isEmpty() || volumesRecorded.contains(volume) || volumes.contains(volume))
        return;
    records +=
        Journal::frame({JournalRecord::VolumeArea, volume, Place::of(absolute(volume)).identity().toText()});
    volumes << volume;
}

Outcome InstallationBackup::openVolumes(const QStringList &volumes)
{
    for (const QString &volume : volumes) {
        volumesRecorded.insert(volume);
        const Outcome opened = area.openVolume(volume);
        if (!opened)
            return opened;
    }
    return Outcome::done();
}

// The record of an original about to be set aside, and before it, where the
// original is the first on its volume, the record of that volume's area.
Outcome InstallationBackup::recordSetAside(const QString &relative, const QString &temporaryName)
{
    QByteArray volumeRecord;
    QStringList volumes;
    planVolume(relative, volumeRecord, volumes);
    if (!volumeRecord.isEmpty()) {
        const Outcome written = writeRecords(volumeRecord);
        const Outcome opened = written ? openVolumes(volumes) : written;
        if (!opened)
            return opened;
    }
    return record(JournalRecord::MovedAside, relative, temporaryName);
}

// What putFile will record for this file, as the installation stands now;
// `movedAside` gets the paths whose originals those records set aside.
void InstallationBackup::planPut(const PlannedChange &change, QByteArray &records, QStringList &movedAside,
                                 QStringList &volumes)
{
    const QString &relative = change.relative;
    const QFileInfo installed(absolute(relative));
    if (isRealFolder(installed))
        return; // putFile refuses it
    const bool present = existsOrIsLink(installed);
    const bool kept = isKept(relative);
    const QFileInfo from(change.source);
    if (mayMove(relative, change.movable) && !(present && kept) && !from.isSymLink() && from.isFile()) {
        if (present) {
            planVolume(relative, records, volumes);
            records += Journal::frame({JournalRecord::MovedAside, relative, QString()});
            movedAside << relative;
        }
        records += Journal::frame({JournalRecord::MovedIn, relative, change.source});
        return;
    }
    const QString temporary = area.temporaryBeside(absolute(relative));
    plannedTemporaries.insert(relative, temporary);
    const char kind = kindOfCopy(present, kept);
    if (kind == JournalRecord::MovedAside)
        planVolume(relative, records, volumes);
    records += Journal::frame({kind, relative, QFileInfo(temporary).fileName()});
    if (kind == JournalRecord::MovedAside)
        movedAside << relative;
}

// What removeFile will record for this file, as the installation stands now.
void InstallationBackup::planRemoval(const PlannedChange &change, QByteArray &records,
                                     QStringList &movedAside, QStringList &volumes)
{
    const QFileInfo installed(absolute(change.relative));
    if (existsOrIsLink(installed) && !isRealFolder(installed) && !isKept(change.relative)) {
        planVolume(change.relative, records, volumes);
        records += Journal::frame({JournalRecord::MovedAside, change.relative, QString()});
        movedAside << change.relative;
    }
}

Outcome InstallationBackup::recordAhead(const QVector<PlannedChange> &changes)
{
    // Records planned and never used stay in the journal, harmless: their changes never happen.
    QByteArray records;
    QStringList movedAside;
    QStringList volumes;
    for (const PlannedChange &change : changes) {
        if (change.removal)
            planRemoval(change, records, movedAside, volumes);
        else if (!change.source.isEmpty())
            planPut(change, records, movedAside, volumes);
        else if (!QFileInfo(absolute(change.relative)).isDir())
            records += Journal::frame({JournalRecord::CreatedFolder, change.relative, QString()});
    }
    if (records.isEmpty())
        return Outcome::done();
    const Outcome written = writeRecords(records);
    if (!written)
        return written;
    const Outcome opened = openVolumes(volumes);
    if (!opened)
        return opened;
    for (const QString &relative : qAsConst(movedAside))
        keptPaths.insert(keptKey(relative));
    for (int start = 0; start < records.size();) {
        const int end = records.indexOf('\n', start) + 1;
        recordedAhead.insert(records.mid(start, end - start));
        start = end;
    }
    return Outcome::done();
}

Outcome InstallationBackup::moveAside(const QString &relative)
{
    Outcome outcome = recordSetAside(relative);
    if (outcome)
        outcome = area.makeSavedFolderFor(relative);
    if (outcome && !FileOps::renameOver(absolute(relative), area.savedUnderInstalledName(relative)))
        outcome = FileOps::failure(QStringLiteral("set aside"), absolute(relative));
    return outcome;
}

Outcome InstallationBackup::removeFile(const QString &relative)
{
    const QFileInfo info(absolute(relative));
    if (!existsOrIsLink(info))
        return Outcome::done();
    if (isRealFolder(info))
        return Outcome::failure(QStringLiteral("remove"), info.filePath(), QStringLiteral("it is a folder"));
    if (isKept(relative))
        return FileOps::removeFile(info.filePath())
                   ? Outcome::done()
                   : FileOps::failure(QStringLiteral("remove"), info.filePath());
    return moveAside(relative);
}

Outcome InstallationBackup::setListAside(const QString &listPath)
{
    const QString target = area.savedList();
    readKeptOriginals();
    if (listKept && QFileInfo::exists(target))
        return FileOps::removeFile(listPath) ? Outcome::done()
                                             : FileOps::failure(QStringLiteral("remove"), listPath);
    const Outcome recorded = record(JournalRecord::ListSetAside, listPath);
    if (!recorded)
        return recorded;
    return FileOps::moveFile(listPath, target, area.temporaryBeside(target))
               ? Outcome::done()
               : FileOps::failure(QStringLiteral("move"), listPath);
}

Outcome InstallationBackup::makeFolder(const QString &relative)
{
    const Outcome recorded = record(JournalRecord::CreatedFolder, relative);
    if (!recorded)
        return recorded;
    return FileOps::makeFolder(absolute(relative))
               ? Outcome::done()
               : FileOps::failure(QStringLiteral("create the folder"), absolute(relative));
}

void InstallationBackup::allowMoves(bool allowed)
{
    movesAllowed = allowed;
}

// The original goes aside before the package's file takes its place; what
// cannot be moved is left for the copy.
bool InstallationBackup::moveInto(const QString &source, const QString &relative, const QFileInfo &installed)
{
    const QFileInfo from(source);
    if (from.isSymLink() || !from.isFile())
        return false;
    if (existsOrIsLink(installed)) {
        // What is there came from this run; the copy replaces it.
        if (isKept(relative) || !moveAside(relative))
            return false;
    }
    return record(JournalRecord::MovedIn, relative, source) &&
           FileOps::renameOver(source, absolute(relative));
}

Outcome InstallationBackup::putFile(const QString &source, const QString &relative,
                                    const std::function<void(qint64)> &progress, bool movable)
{
    QFileInfo installed(absolute(relative));
    if (isRealFolder(installed))
        return Outcome::failure(QStringLiteral("replace"), installed.filePath(),
                                QStringLiteral("a folder is in the way"));
    const Outcome listed = content.checkListed(source, relative);
    if (!listed)
        return listed;
    if (mayMove(relative, movable)) {
        if (moveInto(source, relative, installed)) {
            content.noteMoved(relative);
            return Outcome::done();
        }
        installed.refresh();
    }
    return copyInto(source, relative, installed, progress);
}

Outcome InstallationBackup::copyInto(const QString &source, const QString &relative,
                                     const QFileInfo &installed, const std::function<void(qint64)> &progress)
{
    const QString destination = installed.filePath();
    const QString temporary = temporaryForPut(relative);
    const QString temporaryName = QFileInfo(temporary).fileName();
    const bool present = existsOrIsLink(installed);
    const bool kept = isKept(relative);
    if (!present || kept) {
        const Outcome recorded = record(kindOfCopy(present, kept), relative, temporaryName);
        if (!recorded)
            return recorded;
        const Outcome written = content.writeTemporaryCopy(source, relative, temporary, progress);
        if (!written || FileOps::renameOver(temporary, destination))
            return written;
        const Outcome failed = FileOps::failure(QStringLiteral("copy"), source);
        FileOps::removeIfPresent(temporary);
        return failed;
    }

    // Write the new file completely before the installed one leaves its place.
    const Outcome recorded = recordSetAside(relative, temporaryName);
    if (!recorded)
        return recorded;
    const Outcome written = content.writeTemporaryCopy(source, relative, temporary, progress);
    if (!written)
        return written;
    Outcome outcome = area.makeSavedFolderFor(relative);
    if (outcome && !FileOps::renameOver(destination, area.savedUnderInstalledName(relative)))
        outcome = FileOps::failure(QStringLiteral("set aside"), destination);
    if (!outcome) {
        FileOps::removeIfPresent(temporary);
        return outcome;
    }
    if (!FileOps::renameOver(temporary, destination)) {
        outcome = FileOps::failure(QStringLiteral("put in place"), destination);
        FileOps::removeIfPresent(temporary);
        FileOps::renameOverNamedExactly(area.saved(relative), area.installedPathOfSaved(relative));
    }
    return outcome;
}

// What the run wrote ahead and kept open ends with it: a later run starts afresh.
void InstallationBackup::endWriting()
{
    journal.close();
    area.forgetFolders();
    recordedAhead.clear();
    plannedTemporaries.clear();
    keptPaths.clear();
    keptPathsRead = false;
    listKept = false;
    volumesRecorded.clear();
    volumeOfFolder.clear();
}

Outcome InstallationBackup::restore()
{
    endWriting();
    return RunRollback(area, package).restore();
}

Outcome InstallationBackup::commit()
{
    endWriting();
    return RunCommit(area).commit();
}

bool InstallationBackup::dropTrash()
{
    return area.dropTrash();
}

Recovery InstallationBackup::recoverEarlierRun()
{
    return RunRollback(area, package).recoverEarlierRun(beforeFirstChange);
}
