#include "payloadcopy.h"

#include <QScopeGuard>

#include <algorithm>

#include "fileops.h"
#include "place.h"
#include "installationbackup.h"
#include "package.h"

PayloadCopy::PayloadCopy(const Package &package, const QString &installationRoot, InstallationBackup &backup)
    : package(package)
    , rootPath(installationRoot)
    , backup(backup)
{}

CopyOutcome PayloadCopy::copy(const CancelToken &cancelToken, const Progress &onProgress)
{
    CopyOutcome outcome;
    cancel = &cancelToken;
    progress = onProgress;
    const auto done = qScopeGuard([this] {
        cancel = nullptr;
        progress = nullptr;
    });
    const QString payload = package.payload();
    // An Env folder that is itself a link lies outside the package: its files stay where they are.
    const PayloadWalk walk(payload, package.payloadLiesElsewhere(), Package::deletionListName());
    installation.emplace(rootPath);
    root = installation->root();
    copyDone = 0;
    copyTotal = walk.bytes(*installation, cancelToken);
    // A moved file is found again by its identity after a restart: only where that identity lasts.
    backup.allowMoves(FileOps::mayMoveInto(payload, rootPath) && Place::keepsIdentities(payload));
    copyFolder(walk, walk.top(), outcome);
    return outcome;
}

// An installed folder that is a link leading out of the installation, or a
// junction or mount point, is not written through; a volume mounted inside
// the installation is a folder of it.
Outcome PayloadCopy::checkInstalledFolder(const QString &destination) const
{
    const Place installed = Place::notFollowingLastLink(destination);
    const bool symbolic = installed.linkKind() == Place::LinkKind::SymbolicLink;
    if (symbolic ? Place::followingLastLink(destination).isSameOrInside(root) : !installed.isLink())
        return Outcome::done();
    if (Place::isVolumeMountedInside(destination, root))
        return Outcome::done();
    return Outcome::failure(QStringLiteral("copy into"), destination,
                            symbolic ? QStringLiteral("it is a link that leads out of the installation")
                                     : QStringLiteral("it is %1, which leads out of the installation")
                                           .arg(Place::describe(installed.linkKind())));
}

bool PayloadCopy::copyFolder(const PayloadWalk &walk, const PayloadWalk::Folder &folder, CopyOutcome &outcome)
{
    const QString &relative = folder.relative;
    const QString destination = rootPath + QLatin1Char('/') + relative;
    if (!Place::followingLastLink(destination).leadsToFolder()) {
        outcome.outcome = backup.makeFolder(relative.left(relative.size() - 1));
        if (!outcome.outcome)
            return false;
    }
    if (!relative.isEmpty()) {
        outcome.outcome = checkInstalledFolder(destination.left(destination.size() - 1));
        if (!outcome.outcome)
            return false;
    }

    // A folder link back to a folder being copied would recurse without end.
    foldersBeingCopied.push_back(Place::followingLastLink(folder.source).identity());
    const auto leaveFolder = qScopeGuard([this] { foldersBeingCopied.pop_back(); });

    // An entry that cannot be installed under its own name fails the try, by name: never left out unsaid.
    const QString unnamed = PayloadWalk::nameNotValidUtf8(folder);
    if (!unnamed.isEmpty()) {
        outcome.entry = unnamed;
        outcome.outcome = Outcome::failure(
            QStringLiteral("copy"), folder.source + QLatin1Char('/') + unnamed,
            QStringLiteral("its name is not valid UTF-8, so it cannot be installed under that name"));
        return false;
    }
    const QVector<PayloadWalk::Entry> entries = walk.list(folder);
    int recordedUpTo = 0;
    for (int index = 0; index < entries.size(); ++index) {
        const PayloadWalk::Entry &entry = entries.at(index);
        if (entry.action == PayloadWalk::Action::LeaveOut) {
            if (!entry.reason().isEmpty())
                outcome.skipped << Outcome::failure(QStringLiteral("copy"), entry.info.filePath(),
                                                    entry.reason());
            continue;
        }
        if (cancel->isCancelled()) {
            outcome.cancelled = true;
            return false;
        }
        if (entry.action == PayloadWalk::Action::CannotTell) {
            outcome.entry = entry.name();
            outcome.outcome =
                Outcome::failure(QStringLiteral("copy"), entry.info.filePath(),
                                 QStringLiteral("the system could not tell what it is: ") +
                                     FileOps::systemError(entry.place.unknownBecause()));
            return false;
        }
        if (index >= recordedUpTo) {
            recordedUpTo = index;
            outcome.outcome = recordAhead(entries, recordedUpTo, relative);
            if (!outcome.outcome) {
                outcome.entry = entry.name();
                return false;
            }
        }
        if (entry.action == PayloadWalk::Action::Enter) {
            if (!enterFolder(walk, folder, entry, outcome))
                return false;
            continue;
        }

        // A file moved into place reports no bytes of its own: its size counts once
        // it is there. Taken before, while the source is still where it was listed.
        const qint64 size = entry.info.size();
        qint64 reported = 0;
        const auto noteWritten = [&](qint64 bytes) {
            noteCopied(bytes);
            reported += bytes;
        };
        outcome.outcome =
            backup.putFile(entry.info.filePath(), relative + entry.name(), noteWritten, entry.movable);
        if (!outcome.outcome) {
            outcome.entry = entry.name();
            return false;
        }
        noteCopied(qMax<qint64>(0, size - reported));
    }
    return true;
}

// Entered by its contents, but never a folder link the walk's rules refuse, nor one back into a folder being
// copied.
bool PayloadCopy::enterFolder(const PayloadWalk &walk, const PayloadWalk::Folder &folder,
                              const PayloadWalk::Entry &entry, CopyOutcome &outcome)
{
    const Place::Identity target = Place::followingLastLink(entry.info.filePath()).identity();
    if (std::find(foldersBeingCopied.begin(), foldersBeingCopied.end(), target) != foldersBeingCopied.end()) {
        outcome.entry = entry.name();
        outcome.outcome = Outcome::failure(QStringLiteral("copy the folder"), entry.info.filePath(),
                                           QStringLiteral("it leads back into a folder being copied"));
        return false;
    }
    if (entry.place.isLink()) {
        outcome.outcome = PayloadWalk::folderLinkRefusal(entry, *installation);
        if (!outcome.outcome) {
            outcome.entry = entry.name();
            return false;
        }
    }
    outcome.folders.append(entry.name());
    if (!copyFolder(walk, PayloadWalk::inside(folder, entry), outcome))
        return false;
    outcome.folders.removeLast();
    return true;
}

void PayloadCopy::noteCopied(qint64 bytes)
{
    copyDone += bytes;
    if (progress)
        progress(qMin(copyDone, copyTotal), copyTotal);
}

// The records of the next batch of changes go to the journal together, ahead
// of the changes; `next` moves past the last entry recorded.
Outcome PayloadCopy::recordAhead(const QVector<PayloadWalk::Entry> &entries, int &next,
                                 const QString &relative)
{
    QVector<InstallationBackup::PlannedChange> changes;
    for (; next < entries.size() && changes.size() < InstallationBackup::RecordBatch; ++next) {
        const PayloadWalk::Entry &entry = entries.at(next);
        if (entry.action == PayloadWalk::Action::LeaveOut || entry.action == PayloadWalk::Action::CannotTell)
            continue;
        const bool folder = entry.action == PayloadWalk::Action::Enter;
        changes.append({folder ? QString() : entry.info.filePath(), relative + entry.name(), entry.movable});
    }
    return backup.recordAhead(changes);
}
