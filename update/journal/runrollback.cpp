#include "runrollback.h"

#include <QDir>
#include <QFileInfo>
#include <QVector>

#include "backuparea.h"
#include "fileops.h"
#include "flushqueue.h"
#include "journal.h"
#include "package.h"
#include "pathtext.h"
#include "place.h"
#include "logcategories.h"

namespace {

using FileOps::existsOrIsLink;
using FileOps::isRealFolder;

} // namespace

RunRollback::RunRollback(BackupArea &area, const Package &package)
    : area(area)
    , rootPath(area.root())
    , package(package)
{}

QString RunRollback::absolute(const QString &relative) const
{
    return rootPath + QLatin1Char('/') + relative;
}

// A payload folder that is gone takes nothing back: a rollback never makes
// one, so that no folder becomes a package only because of it.
bool RunRollback::payloadIsThere() const
{
    return payloadThere;
}

// What the journal says before anything is undone: its package, the volumes
// its changes were made on, and what its run made. A package that is gone, or
// whose path leads to another folder now, counts as gone, unless the folder
// there holds the marker the run left in it: nothing goes back into a folder
// that is not the one it came from.
Outcome RunRollback::readJournal()
{
    JournalRecord named;
    QVector<JournalRecord> volumes;
    recordFolders.clear();
    made.clear();
    replacedPaths.clear();
    marker.clear();
    foundByMarker = false;
    const Outcome read = Journal::readNewestFirst(
        area.journalPath(),
        [&](const JournalRecord &record) {
            switch (record.kind) {
            case JournalRecord::PackageApplied:
                named = record;
                if (!record.identity.isEmpty())
                    marker = record.identity;
                return;
            case JournalRecord::VolumeArea:
                volumes << record;
                return;
            case JournalRecord::ListSetAside:
                return;
            case JournalRecord::Made:
                made[record.path].insert(record.identity);
                break;
            case JournalRecord::MovedAside:
                replacedPaths.insert(record.path);
                break;
            default:
                break;
            }
            recordFolders.insert(record.path.left(qMax(0, record.path.lastIndexOf(QLatin1Char('/')))));
        },
        &format);
    if (!read)
        return read;
    findVolumes(volumes);
    if (named.kind == JournalRecord::PackageApplied) {
        package = Package::recorded(named.path, Place::Identity::fromText(named.extra));
        foundByMarker =
            !package.isStillThere() && !marker.isEmpty() && Package::holdsMarker(named.path, marker);
        if (!package.isStillThere() && !foundByMarker)
            qCDebug(lcJournal).noquote()
                << "The package the interrupted run applied is gone, or its path leads to "
                   "another folder now:"
                << named.path;
        payloadThere = (package.isStillThere() || foundByMarker) &&
                       Place::followingLastLink(package.payload()).leadsToFolder();
    } else {
        payloadThere = !package.isEmpty() && Place::followingLastLink(package.payload()).leadsToFolder();
    }
    return Outcome::done();
}

// The volumes the journal names are those its run found mounted inside the
// root; each still counts only while that same volume is mounted there.
void RunRollback::findVolumes(const QVector<JournalRecord> &records)
{
    volumesRecorded.clear();
    volumesAway.clear();
    const Place root = Place::followingLastLink(rootPath);
    for (const JournalRecord &record : records) {
        volumesRecorded << record.path;
        const QString folder = absolute(record.path);
        if (liesInside(record.path) && Place::isVolumeMountedInside(folder, root) &&
            Place::lastingIdentity(folder).matches(Place::Identity::fromText(record.extra))) {
            area.knowVolume(record.path);
            continue;
        }
        volumesAway << record.path;
        qCDebug(lcJournalVolumeAway).noquote() << "The originals set aside on the volume mounted at" << folder
                                               << "cannot be put back until it is mounted there again";
    }
}

// The deepest volume the journal names that `folder` lies on; empty for the root's own.
QString RunRollback::recordedVolumeOf(const QString &folder) const
{
    QString deepest;
    for (const QString &volume : volumesRecorded) {
        const bool under = folder.compare(volume, FileOps::fileNameCaseSensitivity()) == 0 ||
                           folder.startsWith(volume + QLatin1Char('/'), FileOps::fileNameCaseSensitivity());
        if (under && volume.size() > deepest.size())
            deepest = volume;
    }
    return deepest;
}

// Every change was made on the volume the journal says: where another one is
// mounted in its place, or none, undoing it would act on files the run never
// touched. Decided before the first undo, so that a rollback that cannot go
// on changes nothing anywhere. A journal before format 5 names only the
// volumes its run set originals aside on, so only records there are checked.
Outcome RunRollback::checkVolumes(const QSet<QString> &folders) const
{
    for (const QString &folder : folders) {
        const QString inFolder = folder.isEmpty() ? QStringLiteral("x") : folder + QStringLiteral("/x");
        if (!liesInside(inFolder))
            continue; // its records are skipped as unsafe all the same
        const QString recorded = recordedVolumeOf(folder);
        if (format < Journal::FirstIdentifyingVersion && recorded.isEmpty())
            continue;
        const QString now = Place::mountedVolumeOf(rootPath, inFolder);
        if (volumesAway.contains(recorded) || now.compare(recorded, FileOps::fileNameCaseSensitivity()) != 0)
            return Outcome::failure(QStringLiteral("roll back"), absolute(folder),
                                    QStringLiteral("the volume the run changed files on is not the one "
                                                   "mounted there now"));
    }
    return Outcome::done();
}

// Whether what stands at `relative` is what the run made there.
bool RunRollback::isMade(const QString &relative) const
{
    const auto found = made.constFind(relative);
    if (found == made.constEnd())
        return false;
    const Place::Identity now = Place::lastingIdentity(absolute(relative));
    for (const QString &identity : found.value()) {
        if (now.matches(Place::Identity::fromText(identity)))
            return true;
    }
    return false;
}

// Whether a path a record names lies in the installation, outside its
// bookkeeping, without ".." and without a link on the way that leads out.
bool RunRollback::liesInside(const QString &relative) const
{
    if (relative.isEmpty() || QDir::isAbsolutePath(relative) || relative.startsWith(QLatin1Char('/')) ||
        BackupArea::isInArea(relative))
        return false;
    for (const QStringRef &part : relative.splitRef(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return FileOps::resolvesInside(absolute(relative), rootPath) &&
           !Place::passesThroughWayOut(rootPath, absolute(relative));
}

// Whether `path`, as written, is a file of this run's package payload.
bool RunRollback::namesPayloadFile(const QString &path) const
{
    if (package.isEmpty() || !QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path)
        return false;
    return path.compare(package.payload(), FileOps::fileNameCaseSensitivity()) != 0 &&
           PathText::isUnder(path, package.payload());
}

// A damaged or planted journal must not reach beyond the installation and this run's package.
bool RunRollback::isSafe(const JournalRecord &record) const
{
    if (record.kind == JournalRecord::ListSetAside)
        return !package.isEmpty() &&
               QDir::cleanPath(record.path)
                       .compare(package.deletionList(), FileOps::fileNameCaseSensitivity()) == 0;
    if (!liesInside(record.path))
        return false;
    if (record.kind != JournalRecord::MovedIn)
        return true;
    // A payload that is gone holds no link to follow; one that is there must not lead out.
    return namesPayloadFile(record.extra) &&
           (!payloadIsThere() || FileOps::resolvesInside(record.extra, package.payload()));
}

Outcome RunRollback::undoMoveIn(const JournalRecord &record)
{
    const QFileInfo current(absolute(record.path));
    if (!existsOrIsLink(current) || isRealFolder(current))
        return Outcome::done(); // the move never happened, or was undone already
    if (!record.identity.isEmpty()) {
        // Only the package's own file goes: anything else there is not this move's doing.
        if (!Place::lastingIdentity(current.filePath()).matches(Place::Identity::fromText(record.identity)))
            return Outcome::done();
    } else if (payloadIsThere() && existsOrIsLink(QFileInfo(record.extra))) {
        return Outcome::done(); // still in the package: the move never happened
    } else if (!payloadIsThere() && replacedPaths.contains(record.path) &&
               !existsOrIsLink(QFileInfo(area.saved(record.path)))) {
        return Outcome::done(); // an original that was never set aside is still in its place
    }
    // An original kept in the area goes back over the file in one rename when
    // its own record is undone, next: the file leaves the installation then,
    // and the path is never empty.
    const bool originalKept =
        replacedPaths.contains(record.path) && existsOrIsLink(QFileInfo(area.saved(record.path)));
    if (payloadIsThere()) {
        const Place inPackage = Place::notFollowingLastLink(record.extra);
        if (inPackage.exists() && inPackage.isSame(Place::notFollowingLastLink(current.filePath()))) {
            // Back in the package under its own name already: only the installed name is left to go.
            if (originalKept || FileOps::removeFile(current.filePath()))
                return Outcome::done();
            return FileOps::failure(QStringLiteral("remove"), current.filePath());
        }
        if (!inPackage.exists()) {
            const QString folder = QFileInfo(record.extra).absolutePath();
            if (!FileOps::makePath(folder))
                return FileOps::failure(QStringLiteral("create the folder"), folder);
            if (originalKept && FileOps::linkFile(current.filePath(), record.extra))
                return Outcome::done();
            if (!FileOps::renameOver(current.filePath(), record.extra))
                return FileOps::failure(QStringLiteral("move back into the package"), current.filePath());
            return Outcome::done();
        }
    }
    if (originalKept)
        return Outcome::done();
    // No package to go back to, or its place there is taken: it leaves the installation all the same.
    if (!area.throwAway(current.filePath()))
        return FileOps::failure(QStringLiteral("take out of the installation"), current.filePath());
    ++thrownAway;
    return Outcome::done();
}

Outcome RunRollback::undo(const JournalRecord &record)
{
    const QString &path = record.path;
    if (record.kind == JournalRecord::PackageApplied || record.kind == JournalRecord::VolumeArea)
        return Outcome::done(); // names, changes nothing
    if (!isSafe(record)) {
        qCDebug(lcJournalRecordSkipped).noquote()
            << "Skipped a journal record that leads outside the installation or the package:"
            << QString(QLatin1Char(record.kind)) << path << record.extra;
        return Outcome::done();
    }
    // Only a temporary file this run named, beside the path.
    if (record.kind != JournalRecord::MovedIn && record.extra.startsWith(QLatin1String(".quillFern-")) &&
        !record.extra.contains(QLatin1Char('/')))
        FileOps::removeIfPresent(QFileInfo(absolute(path)).absolutePath() + QLatin1Char('/') + record.extra);

    switch (record.kind) {
    case JournalRecord::MovedAside: {
        const QString original = area.saved(path);
        if (!existsOrIsLink(QFileInfo(original)))
            return Outcome::done(); // never moved: the original is still in place
        // The record spells the path as the payload did; the original goes back under its own name.
        const QString destination = area.installedPathOfSaved(path);
        const QFileInfo current(destination);
        if (isRealFolder(current) && !FileOps::removeFolder(current.filePath()))
            return FileOps::failure(QStringLiteral("remove the folder"), current.filePath());
        const QString folder = current.absolutePath();
        if (!FileOps::makePath(folder))
            return FileOps::failure(QStringLiteral("create the folder"), folder);
        if (!FileOps::renameOverNamedExactly(original, destination))
            return FileOps::failure(QStringLiteral("put back"), destination);
        return Outcome::done();
    }
    case JournalRecord::CreatedFile: {
        const QFileInfo current(absolute(path));
        if (!existsOrIsLink(current) || isRealFolder(current))
            return Outcome::done();
        // From format 5 on, the file the run made is known by its identity; another is left alone.
        if (format >= Journal::FirstIdentifyingVersion && !isMade(path))
            return Outcome::done();
        if (FileOps::removeFile(current.filePath()))
            return Outcome::done();
        return FileOps::failure(QStringLiteral("remove"), current.filePath());
    }
    case JournalRecord::TemporaryFile:
    case JournalRecord::Made:
        return Outcome::done();
    case JournalRecord::CreatedFolder: {
        const QFileInfo current(absolute(path));
        if (!isRealFolder(current))
            return Outcome::done();
        // A folder the run made is known by its identity; one made just before the run could
        // record it is empty, and only an empty folder is ever removed.
        if (format >= Journal::FirstIdentifyingVersion && made.contains(path) && !isMade(path))
            return Outcome::done();
        if (FileOps::removeFolder(current.filePath()))
            return Outcome::done();
        // What the run put in it is gone by now (newer records are undone first): what is left
        // is someone else's, and keeps the folder.
        if (!QDir(current.filePath()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                                              QDir::NoDotAndDotDot)) {
            qCDebug(lcJournal).noquote() << "The folder the run made stays, since it holds files the run "
                                            "did not put there:"
                                         << current.filePath();
            return Outcome::done();
        }
        return FileOps::failure(QStringLiteral("remove the folder"), current.filePath());
    }
    case JournalRecord::MovedIn:
        return undoMoveIn(record);
    case JournalRecord::ListSetAside: {
        // With the payload gone the list has no package to go back to; it goes with the area.
        if (!payloadIsThere() || !QFileInfo::exists(area.savedList()) || QFileInfo::exists(path))
            return Outcome::done();
        const QString folder = QFileInfo(path).absolutePath();
        if (!FileOps::makePath(folder))
            return FileOps::failure(QStringLiteral("create the folder"), folder);
        if (!FileOps::moveFile(area.savedList(), path, area.temporaryBeside(path)))
            return FileOps::failure(QStringLiteral("move"), area.savedList());
        return Outcome::done();
    }
    default:
        return Outcome::failure(QStringLiteral("undo"), path,
                                QStringLiteral("unknown journal record '%1'").arg(QLatin1Char(record.kind)));
    }
}

Outcome RunRollback::restore()
{
    unreadable = Outcome::done();
    volumeMoved = false;
    if (!area.exists())
        return Outcome::done();
    // A rollback cut short by a file held for a moment would leave a mix: it waits much longer.
    const FileOps::RetryBudget patient(FileOps::RetryAllowance::forRollback());
    thrownAway = 0;
    const Outcome found = readJournal();
    if (!found) {
        unreadable = found;
        return found;
    }
    const Outcome placed = checkVolumes(recordFolders);
    recordFolders.clear();
    volumeMoved = !placed;
    if (!placed)
        return placed;
    Outcome first = Outcome::done();
    QSet<QString> changedFolders;
    const Outcome read = Journal::readNewestFirst(area.journalPath(), [&](const JournalRecord &record) {
        const Outcome undone = undo(record);
        if (!undone) {
            qCDebug(lcJournal).noquote()
                << "Could not undo" << QString(QLatin1Char(record.kind)) << undone.text();
            if (first)
                first = undone;
        }
        if (record.kind == JournalRecord::PackageApplied || record.kind == JournalRecord::VolumeArea ||
            !isSafe(record))
            return;
        if (record.kind == JournalRecord::MovedIn)
            changedFolders.insert(FileOps::folderOf(record.extra));
        changedFolders.insert(FileOps::folderOf(
            record.kind == JournalRecord::ListSetAside ? record.path : absolute(record.path)));
    });
    replacedPaths.clear();
    if (thrownAway > 0)
        qCDebug(lcJournal).noquote() << QStringLiteral(
                                            "The package's payload is gone: %1 files it had moved into the "
                                            "installation left it by way of the trash")
                                            .arg(thrownAway);
    if (!read) {
        unreadable = read;
        return read;
    }
    if (!first)
        return first;
    removeMarker();
    // What was put back must be on disk before the journal that would put it back again goes.
    FlushQueue flushes;
    for (const QString &folder : qAsConst(changedFolders))
        flushes.addFolder(folder);
    const Outcome flushed = flushes.finish();
    if (!flushed)
        return flushed;
    // The journal goes first: an area that cannot be removed whole is then
    // trash, never a run to undo a second time.
    if (existsOrIsLink(QFileInfo(area.journalPath())) && !FileOps::removeFile(area.journalPath()))
        return FileOps::failure(QStringLiteral("remove the journal"), area.journalPath());
    // Undone whole all the same: the next run moves the area aside before it changes anything.
    const Outcome trashed = area.moveToTrash();
    if (trashed)
        area.dropTrash();
    else
        qCDebug(lcJournal).noquote() << "The backup area stays where it is:" << trashed.text();
    return Outcome::done();
}

Recovery RunRollback::recoverEarlierRun(const std::function<void()> &beforeFirstChange)
{
    area.removeLinksInPlaceOfFolders();
    Recovery recovery = Recovery::NothingLeft;
    if (area.exists() && existsOrIsLink(QFileInfo(area.journalPath()))) {
        qCDebug(lcJournalRecovering) << "Rolling back an earlier run that did not finish";
        if (beforeFirstChange)
            beforeFirstChange();
        const Outcome restored = restore();
        recovery = Recovery::RolledBack;
        if (!unreadable) {
            qCDebug(lcJournalBlocked).noquote()
                << "The journal of an earlier run cannot be read, so this run changes nothing:"
                << unreadable.text();
            qCDebug(lcJournalBlocked).noquote()
                << QStringLiteral("The originals that run set aside stay in \"%1/files\"").arg(area.path());
            return Recovery::Blocked;
        }
        // Its changes there are out of reach: undoing the rest, or updating now, would leave a mix.
        if (volumeMoved) {
            qCDebug(lcJournalVolumeAway)
                << "The earlier run set originals aside on a volume that is not mounted where it was, so "
                   "this run changes nothing";
            return Recovery::Blocked;
        }
        // What could not be undone stays in the journal for the next run: nothing goes on top of it.
        if (!restored) {
            qCDebug(lcJournalBlocked).noquote()
                << "The earlier run could not be rolled back completely, so this run changes nothing:"
                << restored.text();
            return Recovery::Blocked;
        }
    }
    // Only an area a journal explains holds originals of a run; any other must be out of the way first.
    if (area.exists() && !existsOrIsLink(QFileInfo(area.journalPath()))) {
        const Outcome trashed = area.moveToTrash();
        if (!trashed) {
            qCDebug(lcJournalBlocked).noquote()
                << "A backup area that no journal explains is in the way, so this run changes "
                   "nothing:"
                << trashed.text();
            return Recovery::Blocked;
        }
    }
    if (!area.dropTrash())
        qCDebug(lcJournal) << "Left trash that cannot be removed yet in"
                           << rootPath + QLatin1Char('/') + BackupArea::trashName();
    return recovery;
}

// The run's marker leaves the package once everything it moved is back in it,
// or could go nowhere else.
void RunRollback::removeMarker()
{
    if (!marker.isEmpty() && Package::holdsMarker(package.path(), marker))
        FileOps::removeIfPresent(Package::markerPath(package.path()));
}

