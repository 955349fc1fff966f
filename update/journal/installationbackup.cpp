#include "installationbackup.h"

#include <utility>

#include <QDir>
#include <QFile>
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
    const Place there = Place::notFollowingLastLink(path);
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

// The changes a run makes to the installation: each is decided once, from the
// installation as it stands, recorded in the journal (ahead, in batches, or
// just before it is made), then carried out as decided.

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

bool InstallationBackup::Change::setsAside() const
{
    return (how == MoveIn && present) || (how == Copy && copyRecord == JournalRecord::MovedAside) ||
           how == SetAside;
}

InstallationBackup::Change InstallationBackup::decidePut(const QString &source, const QString &relative,
                                                         bool movable)
{
    Change change;
    change.purpose = Change::For::Put;
    change.relative = relative;
    change.source = source;
    const QFileInfo installed(absolute(relative));
    if (isRealFolder(installed)) {
        change.how = Change::InTheWay;
        return change;
    }
    // An installed file the system could not tell is taken as there: moved in
    // over it unrecorded, it would be lost to the rollback.
    change.present = FileOps::mayExist(installed);
    const bool kept = isKept(relative);
    const Place from = Place::notFollowingLastLink(source);
    // What is there came from this run when its original is kept: the copy replaces it.
    // A file with another name elsewhere would stay that file's twin once installed: it is copied.
    if (!(change.present && kept) && from.isPlainFile() && from.hardLinks() == 1 &&
        mayMove(relative, movable)) {
        change.how = Change::MoveIn;
        return change;
    }
    change.how = Change::Copy;
    change.copyRecord = kindOfCopy(change.present, kept);
    change.temporary = area.temporaryBeside(installed.filePath());
    return change;
}

InstallationBackup::Change InstallationBackup::decideRemoval(const QString &relative)
{
    Change change;
    change.purpose = Change::For::Removal;
    change.relative = relative;
    const QFileInfo installed(absolute(relative));
    // One the system could not tell is set aside, not passed over as gone: its removal shows which.
    change.present = FileOps::mayExist(installed);
    if (!change.present)
        change.how = Change::Nothing;
    else if (isRealFolder(installed))
        change.how = Change::InTheWay;
    else
        change.how = isKept(relative) ? Change::Remove : Change::SetAside;
    return change;
}

InstallationBackup::Change InstallationBackup::decide(const PlannedChange &planned)
{
    if (planned.removal)
        return decideRemoval(planned.relative);
    if (!planned.source.isEmpty())
        return decidePut(planned.source, planned.relative, planned.movable);
    Change change;
    change.purpose = Change::For::Folder;
    change.relative = planned.relative;
    change.how = Place::followingLastLink(absolute(planned.relative)).leadsToFolder() ? Change::Nothing
                                                                                      : Change::MakeFolder;
    return change;
}

// The change recorded ahead for the same path and purpose, or one decided now.
InstallationBackup::Change InstallationBackup::decided(const PlannedChange &planned)
{
    const Change ahead = decidedAhead.take(keptKey(planned.relative));
    const Change::For purpose = planned.removal            ? Change::For::Removal
                                : planned.source.isEmpty() ? Change::For::Folder
                                                           : Change::For::Put;
    if (ahead.recorded && ahead.purpose == purpose && ahead.relative == planned.relative &&
        ahead.source == planned.source)
        return ahead;
    return decide(planned);
}

// The records that go to the journal before the change is made; before the
// first original set aside on a volume mounted inside the root, the record
// of that volume's area, which `volumes` then names.
QByteArray InstallationBackup::recordsOf(const Change &change, QStringList &volumes)
{
    QByteArray records;
    if (change.how != Change::Nothing && change.how != Change::InTheWay && change.how != Change::Remove)
        planVolume(change.relative, records, volumes);
    switch (change.how) {
    case Change::MoveIn:
        if (change.present)
            records += Journal::frame({JournalRecord::MovedAside, change.relative, QString()});
        // The package's file as it is now: only a file with this identity is ever moved back.
        records += Journal::frame({JournalRecord::MovedIn, change.relative, change.source,
                                   Place::lastingIdentity(change.source).toText()});
        break;
    case Change::Copy:
        records +=
            Journal::frame({change.copyRecord, change.relative, QFileInfo(change.temporary).fileName()});
        break;
    case Change::SetAside:
        records += Journal::frame({JournalRecord::MovedAside, change.relative, QString()});
        break;
    case Change::MakeFolder:
        records += Journal::frame({JournalRecord::CreatedFolder, change.relative, QString()});
        break;
    case Change::Nothing:
    case Change::InTheWay:
    case Change::Remove:
        break;
    }
    return records;
}

// The records of one or more changes go to the journal in one write; the
// areas they name on other volumes are made before anything goes into them.
Outcome InstallationBackup::writeChanges(const QByteArray &records, const QStringList &volumes)
{
    if (records.isEmpty())
        return Outcome::done();
    const Outcome written = writeRecords(records);
    return written ? openVolumes(volumes) : written;
}

void InstallationBackup::noteRecorded(Change &change)
{
    if (change.setsAside())
        keptPaths.insert(keptKey(change.relative));
    change.recorded = true;
}

Outcome InstallationBackup::recordOnce(Change &change)
{
    if (change.recorded)
        return Outcome::done();
    QStringList volumes;
    const Outcome written = writeChanges(recordsOf(change, volumes), volumes);
    if (written)
        noteRecorded(change);
    return written;
}

Outcome InstallationBackup::recordAhead(const QVector<PlannedChange> &changes)
{
    // A path the batch names twice (in two spellings where case is ignored) is
    // decided when its turn comes, after the first has changed it.
    QHash<QString, int> named;
    for (const PlannedChange &planned : changes)
        ++named[keptKey(planned.relative)];
    // Records planned and never used stay in the journal, harmless: their changes never happen.
    QByteArray records;
    QStringList volumes;
    QVector<Change> batch;
    for (const PlannedChange &planned : changes) {
        if (named.value(keptKey(planned.relative)) > 1)
            continue;
        batch.append(decide(planned));
        records += recordsOf(batch.last(), volumes);
    }
    const Outcome written = writeChanges(records, volumes);
    if (!written)
        return written;
    for (Change &change : batch) {
        noteRecorded(change);
        decidedAhead.insert(keptKey(change.relative), change);
    }
    return Outcome::done();
}

// The original at `relative` leaves for the backup area, its record written.
Outcome InstallationBackup::setAside(const QString &relative)
{
    const QString installed = absolute(relative);
    Outcome outcome = area.makeSavedFolderFor(relative);
    if (outcome && !FileOps::renameOver(installed, area.savedUnderInstalledName(relative)))
        outcome = FileOps::failure(QStringLiteral("set aside"), installed);
    return outcome;
}

Outcome InstallationBackup::removeFile(const QString &relative)
{
    Change change = decided(PlannedChange::removalOf(relative));
    const QString installed = absolute(relative);
    switch (change.how) {
    case Change::Nothing:
        return Outcome::done();
    case Change::InTheWay:
        return Outcome::failure(QStringLiteral("remove"), installed, QStringLiteral("it is a folder"));
    case Change::Remove:
        return FileOps::removeFile(installed) ? Outcome::done()
                                              : FileOps::failure(QStringLiteral("remove"), installed);
    default:
        break;
    }
    const Outcome recorded = recordOnce(change);
    return recorded ? setAside(relative) : recorded;
}

Outcome InstallationBackup::makeFolder(const QString &relative)
{
    Change change = decided({QString(), relative});
    const Outcome recorded = recordOnce(change);
    if (!recorded)
        return recorded;
    if (!FileOps::makeFolder(absolute(relative)))
        return FileOps::failure(QStringLiteral("create the folder"), absolute(relative));
    return change.how == Change::MakeFolder ? recordMade(relative, absolute(relative)) : Outcome::done();
}

// What the run made at `relative`, known by the identity of `made`: the undo
// removes only that, never whatever else stands there by then.
Outcome InstallationBackup::recordMade(const QString &relative, const QString &made)
{
    const Place::Identity identity = Place::lastingIdentity(made);
    if (!identity.valid)
        return FileOps::failure(QStringLiteral("read the identity of"), made);
    return writeRecords(Journal::frame({JournalRecord::Made, relative, QString(), identity.toText()}));
}

Outcome InstallationBackup::putFile(const QString &source, const QString &relative,
                                    const std::function<void(qint64)> &progress, bool movable)
{
    Change change = decided({source, relative, movable});
    if (change.how == Change::InTheWay)
        return Outcome::failure(QStringLiteral("replace"), absolute(relative),
                                QStringLiteral("a folder is in the way"));
    const Outcome listed = content.checkListed(source, relative);
    if (!listed)
        return listed;
    if (change.how == Change::MoveIn) {
        if (moveIn(change)) {
            content.noteMoved(relative);
            return Outcome::done();
        }
        // A move the file system refuses becomes a copy, decided from what the move left.
        change = decidePut(source, relative, false);
    }
    return copyIn(change, progress);
}

// The original is kept in the area before the package's file takes its place.
Outcome InstallationBackup::moveIn(Change &change)
{
    // A package unpacked from a download carries the mark on each file; installed, it must not.
    if (!FileOps::dropMarkOfTheWeb(change.source))
        return FileOps::failure(QStringLiteral("remove the Mark of the Web from"), change.source);
    const Outcome recorded = recordOnce(change);
    if (!recorded)
        return recorded;
    if (change.present)
        return putOver(change.relative, change.source, QStringLiteral("move into place"), change.source);
    return FileOps::renameOver(change.source, absolute(change.relative))
               ? Outcome::done()
               : FileOps::failure(QStringLiteral("move into place"), change.source);
}

// Puts `replacement` over the original at `relative`, which the backup area
// keeps. The original first gets a second name in the area and the
// replacement then takes its place in one rename, so that the path holds the
// old file or the new one at every instant. Where no such name can be made
// (file systems without hard links), or the system refuses to replace the
// file while it is in use (a running program on Windows, which may still be
// renamed), the original is renamed into the area first, and put back should
// the replacement then not go in.
Outcome InstallationBackup::putOver(const QString &relative, const QString &replacement, const QString &what,
                                    const QString &shownPath)
{
    const QString installed = absolute(relative);
    const Outcome folder = area.makeSavedFolderFor(relative);
    if (!folder)
        return folder;
    const QString saved = area.savedUnderInstalledName(relative);
    // Attributes belong to the file, not the name: where the system takes the
    // replaced file's read-only attribute off to replace it (Windows), the
    // original's second name gets it back.
    const QFileDevice::Permissions permissions = QFile::permissions(installed);
    // No record names a file already there as an original: it is no one's.
    if (FileOps::existsOrIsLink(QFileInfo(saved)) && !FileOps::removeFile(saved))
        return FileOps::failure(QStringLiteral("remove"), saved);
    if (FileOps::linkFile(installed, saved)) {
        if (FileOps::renameOver(replacement, installed)) {
            if (QFile::permissions(saved) != permissions)
                QFile::setPermissions(saved, permissions);
            return Outcome::done();
        }
        const Outcome refused = FileOps::failure(what, shownPath);
        if (!FileOps::lastFailureMeansInUse() || !FileOps::removeFile(saved))
            return refused; // the original is in place, and kept in the area too
    } else if (!FileOps::lastFailureMeansNoLinks()) {
        // A link refused for a reason of its own fails the change: the original stays in place.
        return FileOps::failure(QStringLiteral("keep in the backup area"), installed);
    }
    const Outcome setAsideOutcome = setAside(relative);
    if (!setAsideOutcome)
        return setAsideOutcome;
    if (FileOps::renameOver(replacement, installed))
        return Outcome::done();
    const Outcome failed = FileOps::failure(what, shownPath);
    FileOps::renameOverNamedExactly(area.saved(relative), area.installedPathOfSaved(relative));
    return failed;
}

// The new file is written completely before the installed one leaves its place.
Outcome InstallationBackup::copyIn(Change &change, const std::function<void(qint64)> &progress)
{
    const QString destination = absolute(change.relative);
    Outcome outcome = recordOnce(change);
    if (outcome)
        outcome = content.writeTemporaryCopy(change.source, change.relative, change.temporary, progress);
    if (outcome && change.copyRecord == JournalRecord::CreatedFile)
        outcome = recordMade(change.relative, change.temporary);
    if (!outcome) {
        FileOps::removeIfPresent(change.temporary);
        return outcome;
    }
    if (change.copyRecord == JournalRecord::MovedAside) {
        outcome = putOver(change.relative, change.temporary, QStringLiteral("put in place"), destination);
    } else if (!FileOps::renameOver(change.temporary, destination)) {
        outcome = FileOps::failure(QStringLiteral("copy"), change.source);
    }
    if (!outcome)
        FileOps::removeIfPresent(change.temporary);
    return outcome;
}
