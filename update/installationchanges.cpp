#include "installationbackup.h"

#include <QFileInfo>

#include "fileops.h"

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
    change.present = existsOrIsLink(installed);
    const bool kept = isKept(relative);
    const QFileInfo from(source);
    // What is there came from this run when its original is kept: the copy replaces it.
    if (mayMove(relative, movable) && !(change.present && kept) && !from.isSymLink() && from.isFile()) {
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
    change.present = existsOrIsLink(installed);
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
    change.how = QFileInfo(absolute(planned.relative)).isDir() ? Change::Nothing : Change::MakeFolder;
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
    if (change.setsAside())
        planVolume(change.relative, records, volumes);
    switch (change.how) {
    case Change::MoveIn:
        if (change.present)
            records += Journal::frame({JournalRecord::MovedAside, change.relative, QString()});
        records += Journal::frame({JournalRecord::MovedIn, change.relative, change.source});
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
    return FileOps::makeFolder(absolute(relative))
               ? Outcome::done()
               : FileOps::failure(QStringLiteral("create the folder"), absolute(relative));
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

// The original goes aside before the package's file takes its place.
Outcome InstallationBackup::moveIn(Change &change)
{
    Outcome outcome = recordOnce(change);
    if (outcome && change.present)
        outcome = setAside(change.relative);
    if (outcome && !FileOps::renameOver(change.source, absolute(change.relative)))
        outcome = FileOps::failure(QStringLiteral("move into place"), change.source);
    return outcome;
}

// The new file is written completely before the installed one leaves its place.
Outcome InstallationBackup::copyIn(Change &change, const std::function<void(qint64)> &progress)
{
    const QString destination = absolute(change.relative);
    Outcome outcome = recordOnce(change);
    if (outcome)
        outcome = content.writeTemporaryCopy(change.source, change.relative, change.temporary, progress);
    if (!outcome)
        return outcome;
    if (change.copyRecord == JournalRecord::MovedAside) {
        outcome = setAside(change.relative);
        if (!outcome) {
            FileOps::removeIfPresent(change.temporary);
            return outcome;
        }
    }
    if (FileOps::renameOver(change.temporary, destination))
        return Outcome::done();
    outcome = change.copyRecord == JournalRecord::MovedAside
                  ? FileOps::failure(QStringLiteral("put in place"), destination)
                  : FileOps::failure(QStringLiteral("copy"), change.source);
    FileOps::removeIfPresent(change.temporary);
    if (change.copyRecord == JournalRecord::MovedAside)
        FileOps::renameOverNamedExactly(area.saved(change.relative),
                                        area.installedPathOfSaved(change.relative));
    return outcome;
}
