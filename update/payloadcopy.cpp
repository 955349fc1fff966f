#include "payloadcopy.h"

#include <QDir>
#include <QDirIterator>
#include <QScopeGuard>
#include <QSet>
#include <QVector>

#include <algorithm>

#include "fileops.h"
#include "installationbackup.h"
#include "package.h"
#include "place.h"

namespace {

// What the copy will carry, for its share of the bar: the files it lists.
qint64 payloadBytes(const QString &payload)
{
    qint64 total = 0;
    QDirIterator it(payload, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.filePath().contains(QLatin1String("/__MACOSX/")))
            total += it.fileInfo().size();
    }
    return total;
}

} // namespace

PayloadCopy::PayloadCopy(const Package &package, const QString &installationRoot, InstallationBackup &backup)
    : package(package)
    , rootPath(installationRoot)
    , backup(backup)
{}

CopyOutcome PayloadCopy::copy(bool leaveListOut, const CancelToken &cancelToken, const Progress &onProgress)
{
    CopyOutcome outcome;
    cancel = &cancelToken;
    progress = onProgress;
    listLeftOut = leaveListOut;
    const auto done = qScopeGuard([this] {
        cancel = nullptr;
        progress = nullptr;
    });
    const QString payload = package.payload();
    copyDone = 0;
    copyTotal = payloadBytes(payload);
    root = Place::of(rootPath);
    backup.allowMoves(FileOps::mayMoveInto(payload, rootPath));
    // An Env folder that is itself a link lies outside the package: its files stay where they are.
    copyFolder(payload, QString(), package.payloadLiesElsewhere(), outcome);
    return outcome;
}

// A folder link in the payload is copied by its contents, but never one that
// would copy the installation into itself or write into it from inside. Only
// a symbolic link tells where it stands in the tree it leads to; a junction or
// mount point is known only by the folder it shows.
Outcome PayloadCopy::checkFolderLink(const PayloadEntry &link) const
{
    const Place target = Place::of(link.info.filePath());
    const bool intoInstallation = link.place.linkKind() == Place::LinkKind::SymbolicLink
                                      ? target.isSameOrInside(root)
                                      : target.isSame(root);
    if (intoInstallation)
        return Outcome::failure(QStringLiteral("copy the folder"), link.info.filePath(),
                                QStringLiteral("it is a link into the installation"));
    if (root.isSameOrInside(target))
        return Outcome::failure(QStringLiteral("copy the folder"), link.info.filePath(),
                                QStringLiteral("it is a link to a folder that holds the installation"));
    return Outcome::done();
}

// An installed folder that is a link leading out of the installation, or a
// junction or mount point, is not written through; a volume mounted inside
// the installation is a folder of it.
Outcome PayloadCopy::checkInstalledFolder(const QString &destination) const
{
    const Place installed = Place::entry(destination);
    const bool symbolic = installed.linkKind() == Place::LinkKind::SymbolicLink;
    if (symbolic ? Place::of(destination).isSameOrInside(root) : !installed.isLink())
        return Outcome::done();
    if (Place::isVolumeMountedInside(destination, root))
        return Outcome::done();
    return Outcome::failure(QStringLiteral("copy into"), destination,
                            symbolic ? QStringLiteral("it is a link that leads out of the installation")
                                     : QStringLiteral("it is %1, which leads out of the installation")
                                           .arg(Place::describe(installed.linkKind())));
}

// The folder's entries in name order regardless of case, each as the file
// system describes it. Hidden entries (a leading dot, or on Windows the
// hidden attribute), pipes, sockets, devices and links that lead nowhere are
// left out, each with its line.
QVector<PayloadCopy::PayloadEntry> PayloadCopy::listFolder(const QString &source, CopyOutcome &outcome) const
{
    QVector<PayloadEntry> listed;
    const QFileInfoList entries = QDir(source).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &info : entries) {
        if (info.isHidden()) {
            outcome.skipped << Outcome::failure(QStringLiteral("copy"), info.filePath(),
                                                QStringLiteral("it is hidden; left out"));
            continue;
        }
        const Place place = Place::entry(info.filePath());
        if (place.leadsNowhere()) {
            outcome.skipped << Outcome::failure(QStringLiteral("copy"), info.filePath(),
                                                QStringLiteral("it is a link that leads nowhere; left out"));
            continue;
        }
        if (!place.leadsToFile() && !place.leadsToFolder()) {
            outcome.skipped << Outcome::failure(
                QStringLiteral("copy"), info.filePath(),
                QStringLiteral("it is not a plain file or folder (a pipe, a socket, a device or a "
                               "system file); left out"));
            continue;
        }
        listed.append({info, place});
    }
    return listed;
}

// `relative` is the folder inside the installation, empty or ending with a
// slash. Files met through a folder link, junction or mount point lie outside
// the package: they are copied, never moved out of their place.
bool PayloadCopy::copyFolder(const QString &source, const QString &relative, bool throughLink,
                             CopyOutcome &outcome)
{
    const QString destination = rootPath + QLatin1Char('/') + relative;
    if (!QFileInfo(destination).isDir()) {
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
    foldersBeingCopied.push_back(Place::of(source).identity());
    const auto leaveFolder = qScopeGuard([this] { foldersBeingCopied.pop_back(); });

    // An entry that cannot be installed under its own name fails the try, by name: never left out unsaid.
    const QStringList unnamed = FileOps::namesNotValidUtf8(source);
    if (!unnamed.isEmpty()) {
        outcome.entry = unnamed.first();
        outcome.outcome = Outcome::failure(
            QStringLiteral("copy"), source + QLatin1Char('/') + unnamed.first(),
            QStringLiteral("its name is not valid UTF-8, so it cannot be installed under that name"));
        return false;
    }
    const QVector<PayloadEntry> entries = listFolder(source, outcome);
    for (int index = 0; index < entries.size(); ++index) {
        const PayloadEntry &entry = entries.at(index);
        if (cancel->isCancelled()) {
            outcome.cancelled = true;
            return false;
        }
        const QString name = entry.info.fileName();
        if (index % InstallationBackup::RecordBatch == 0) {
            outcome.outcome = recordAhead(entries, index, relative, throughLink);
            if (!outcome.outcome) {
                outcome.entry = name;
                return false;
            }
        }
        if (isLeftOut(name, relative)) {
            if (passesOver(name))
                outcome.skipped << Outcome::failure(
                    QStringLiteral("copy"), entry.info.filePath(),
                    QStringLiteral("it is the archiver's \"__MACOSX\"; left out"));
            continue;
        }

        if (entry.place.leadsToFolder()) {
            const Place::Identity folder = Place::of(entry.info.filePath()).identity();
            if (std::find(foldersBeingCopied.begin(), foldersBeingCopied.end(), folder) !=
                foldersBeingCopied.end()) {
                outcome.entry = name;
                outcome.outcome =
                    Outcome::failure(QStringLiteral("copy the folder"), entry.info.filePath(),
                                     QStringLiteral("it leads back into a folder being copied"));
                return false;
            }
            if (entry.place.isLink()) {
                outcome.outcome = checkFolderLink(entry);
                if (!outcome.outcome) {
                    outcome.entry = name;
                    return false;
                }
            }
            outcome.folders.append(name);
            if (!copyFolder(entry.info.filePath(), relative + name + QLatin1Char('/'),
                            throughLink || entry.place.isLink(), outcome))
                return false;
            outcome.folders.removeLast();
            continue;
        }

        // A file moved into place reports no bytes of its own: its size counts once it is there.
        qint64 reported = 0;
        const auto noteWritten = [&](qint64 bytes) {
            noteCopied(bytes);
            reported += bytes;
        };
        outcome.outcome = backup.putFile(entry.info.filePath(), relative + name, noteWritten,
                                         !throughLink && entry.place.isPlainFile());
        if (!outcome.outcome) {
            outcome.entry = name;
            return false;
        }
        noteCopied(qMax<qint64>(0, entry.info.size() - reported));
    }
    return true;
}

void PayloadCopy::noteCopied(qint64 bytes)
{
    copyDone += bytes;
    if (progress)
        progress(qMin(copyDone, copyTotal), copyTotal);
}

// What the copy passes over: "." and "..", the archiver's "__MACOSX", and a
// deletion list that stayed in the package.
bool PayloadCopy::isLeftOut(const QString &name, const QString &relative) const
{
    return name == QLatin1String(".") || name == QLatin1String("..") || passesOver(name) ||
           (relative.isEmpty() && listLeftOut && name == Package::deletionListName());
}

bool PayloadCopy::passesOver(const QString &name)
{
    return name == QLatin1String("__MACOSX");
}

// The next entries' records go to the journal together, ahead of their changes.
Outcome PayloadCopy::recordAhead(const QVector<PayloadEntry> &entries, int from, const QString &relative,
                                 bool throughLink)
{
    QVector<InstallationBackup::PlannedChange> changes;
    for (int index = from; index < qMin(from + InstallationBackup::RecordBatch, entries.size()); ++index) {
        const PayloadEntry &entry = entries.at(index);
        if (isLeftOut(entry.info.fileName(), relative))
            continue;
        const bool folder = entry.place.leadsToFolder();
        changes.append({folder ? QString() : entry.info.filePath(), relative + entry.info.fileName(),
                        !throughLink && entry.place.isPlainFile()});
    }
    return backup.recordAhead(changes);
}
