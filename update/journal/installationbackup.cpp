#include "installationbackup.h"

#include <utility>

#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include "fileops.h"
#include "place.h"
#include "runcommit.h"
#include "runrollback.h"

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
    return keptPaths.contains(keptKey(relative)) && FileOps::existsOrIsLink(QFileInfo(area.saved(relative)));
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
    return FileOps::nameKey(relative);
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

Outcome InstallationBackup::recordListSetAside(const QString &listPath)
{
    const Outcome written = writeRecords(Journal::frame({JournalRecord::ListSetAside, listPath, QString()}));
    if (written)
        listKept = true;
    return written;
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
    if (!movesAllowed || !movable || !volumeOf(relative).isEmpty())
        return false;
    if (!leaveMarker())
        movesAllowed = false;
    return movesAllowed;
}

// The record that names the area of `relative`'s volume goes before the first
// original set aside there; `volumes` gets the areas to open once it is written.
void InstallationBackup::planVolume(const QString &relative, QByteArray &records, QStringList &volumes)
{
    readKeptOriginals();
    const QString volume = volumeOf(relative);
    if (volume.isEmpty() || volumesRecorded.contains(volume) || volumes.contains(volume))
        return;
    records += Journal::frame(
        {JournalRecord::VolumeArea, volume, Place::lastingIdentity(absolute(volume)).toText()});
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

Outcome InstallationBackup::setListAside(const QString &listPath)
{
    const QString target = area.savedList();
    readKeptOriginals();
    if (listKept && QFileInfo::exists(target))
        return FileOps::removeFile(listPath) ? Outcome::done()
                                             : FileOps::failure(QStringLiteral("remove"), listPath);
    const Outcome recorded = recordListSetAside(listPath);
    if (!recorded)
        return recorded;
    return FileOps::moveFile(listPath, target, area.temporaryBeside(target))
               ? Outcome::done()
               : FileOps::failure(QStringLiteral("move"), listPath);
}

void InstallationBackup::allowMoves(bool allowed)
{
    movesAllowed = allowed;
}

// Before the first file leaves the package, the package holds a marker and
// the journal its token, both on disk: a recovery then finds the package by
// it even where the folder's identity has changed. Without them, nothing is
// moved.
bool InstallationBackup::leaveMarker()
{
    if (!markerToken.isEmpty())
        return true;
    if (package.isEmpty()) // no package, no recovery to find it: only the tests move so
        return true;
    const QString path = Package::markerPath(package.path());
    const Place there = Place::entry(path);
    if (there.exists() && !there.isPlainFile())
        return false;
    const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QFile marker(path);
    bool left = marker.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                marker.write(token.toUtf8()) == token.size() && marker.flush();
    marker.close();
    left = left && FileOps::flushFile(path) && FileOps::flushFolder(package.path()) &&
           writeRecords(Journal::frame(
               {JournalRecord::PackageApplied, package.path(), package.identity().toText(), token}));
    if (!left) {
        FileOps::removeIfPresent(path);
        return false;
    }
    markerToken = token;
    return true;
}

// What the run wrote ahead and kept open ends with it: a later run starts afresh.
void InstallationBackup::endWriting()
{
    journal.close();
    area.forgetFolders();
    decidedAhead.clear();
    keptPaths.clear();
    keptPathsRead = false;
    listKept = false;
    volumesRecorded.clear();
    volumeOfFolder.clear();
}

Outcome InstallationBackup::restore()
{
    endWriting();
    markerToken.clear();
    return RunRollback(area, package).restore();
}

Outcome InstallationBackup::commit()
{
    endWriting();
    const Outcome committed = RunCommit(area).commit();
    if (committed && !std::exchange(markerToken, QString()).isEmpty())
        FileOps::removeIfPresent(Package::markerPath(package.path()));
    return committed;
}

bool InstallationBackup::dropTrash()
{
    return area.dropTrash();
}

Recovery InstallationBackup::recoverEarlierRun()
{
    return RunRollback(area, package).recoverEarlierRun(beforeFirstChange);
}
