#include "payloadcopy.h"

#include <QDir>
#include <QDirIterator>
#include <QScopeGuard>
#include <QSet>
#include <QVector>

#include "fileops.h"
#include "installationbackup.h"
#include "package.h"

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
    canonicalRoot = QFileInfo(rootPath).canonicalFilePath();
    backup.allowMoves(FileOps::mayMoveInto(payload, rootPath));
    // An Env folder that is itself a link lies outside the package: its files stay where they are.
    const bool payloadElsewhere = !FileOps::isSameOrInside(QFileInfo(payload).canonicalFilePath(),
                                                           QFileInfo(package.path()).canonicalFilePath());
    copyFolder(payload, QString(), payloadElsewhere, outcome);
    return outcome;
}

// A folder link in the payload is copied by its contents, but never one that
// would copy the installation into itself or write into it from inside.
Outcome PayloadCopy::checkFolderLink(const QFileInfo &link) const
{
    const QString target = link.canonicalFilePath();
    if (FileOps::isSameOrInside(target, canonicalRoot))
        return Outcome::failure(QStringLiteral("copy the folder"), link.filePath(),
                                QStringLiteral("it is a link into the installation"));
    if (FileOps::isSameOrInside(canonicalRoot, target))
        return Outcome::failure(QStringLiteral("copy the folder"), link.filePath(),
                                QStringLiteral("it is a link to a folder that holds the installation"));
    return Outcome::done();
}

// The listing leaves pipes, sockets, devices, links that lead nowhere and
// system files out; each gets its line.
void PayloadCopy::noteLeftOut(const QString &source, const QFileInfoList &entries, CopyOutcome &outcome) const
{
    QSet<QString> listed;
    for (const QFileInfo &entry : entries)
        listed.insert(entry.fileName());
    const QFileInfoList all =
        QDir(source).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : all) {
        if (listed.contains(entry.fileName()))
            continue;
        const bool dangling = entry.isSymLink() && !entry.exists();
        outcome.skipped << Outcome::failure(
            QStringLiteral("copy"), entry.filePath(),
            dangling ? QStringLiteral("it is a link that leads nowhere; left out")
                     : QStringLiteral("it is not a plain file or folder (a pipe, a socket, a device or a "
                                      "system file); left out"));
    }
}

// `relative` is the folder inside the installation, empty or ending with a
// slash. Files met through a folder link lie outside the package: they are
// copied, never moved out of their place.
bool PayloadCopy::copyFolder(const QString &source, const QString &relative, bool throughLink,
                             CopyOutcome &outcome)
{
    const QDir from(source);
    const QString destination = rootPath + QLatin1Char('/') + relative;
    if (!QFileInfo(destination).isDir()) {
        outcome.outcome = backup.makeFolder(relative.left(relative.size() - 1));
        if (!outcome.outcome)
            return false;
    }
    // An installed folder that is a link leading out of the installation is not written through.
    if (!FileOps::isSameOrInside(QFileInfo(destination).canonicalFilePath(), canonicalRoot)) {
        outcome.outcome = Outcome::failure(QStringLiteral("copy into"), destination,
                                           QStringLiteral("it is a link that leads out of the installation"));
        return false;
    }

    // A folder link back to a folder being copied would recurse without end.
    foldersBeingCopied.append(QFileInfo(from.absolutePath()).canonicalFilePath());
    const auto leaveFolder = qScopeGuard([this] { foldersBeingCopied.removeLast(); });

    // An entry that cannot be installed under its own name fails the try, by name: never left out unsaid.
    const QStringList unnamed = FileOps::namesNotValidUtf8(source);
    if (!unnamed.isEmpty()) {
        outcome.entry = unnamed.first();
        outcome.outcome = Outcome::failure(
            QStringLiteral("copy"), source + QLatin1Char('/') + unnamed.first(),
            QStringLiteral("its name is not valid UTF-8, so it cannot be installed under that name"));
        return false;
    }
    const QFileInfoList entries = from.entryInfoList(QDir::NoFilter, QDir::NoSort);
    noteLeftOut(source, entries, outcome);
    for (int index = 0; index < entries.size(); ++index) {
        const QFileInfo &entry = entries.at(index);
        if (cancel->isCancelled()) {
            outcome.cancelled = true;
            return false;
        }
        if (index % InstallationBackup::RecordBatch == 0) {
            outcome.outcome = recordAhead(entries, index, relative, throughLink);
            if (!outcome.outcome) {
                outcome.entry = entry.fileName();
                return false;
            }
        }
        const QString name = entry.fileName();
        if (isLeftOut(name, relative))
            continue;

        if (entry.isDir()) {
            if (foldersBeingCopied.contains(entry.canonicalFilePath())) {
                outcome.entry = name;
                outcome.outcome =
                    Outcome::failure(QStringLiteral("copy the folder"), entry.filePath(),
                                     QStringLiteral("it leads back into a folder being copied"));
                return false;
            }
            if (entry.isSymLink()) {
                outcome.outcome = checkFolderLink(entry);
                if (!outcome.outcome) {
                    outcome.entry = name;
                    return false;
                }
            }
            outcome.folders.append(name);
            if (!copyFolder(entry.filePath(), relative + name + QLatin1Char('/'),
                            throughLink || entry.isSymLink(), outcome))
                return false;
            outcome.folders.removeLast();
            continue;
        }
        // Pipes, sockets and devices hold no file to install; opening one could wait for ever.
        if (entry.exists() && !entry.isFile()) {
            outcome.skipped << Outcome::failure(QStringLiteral("copy"), entry.filePath(),
                                                QStringLiteral("it is not a plain file; skipped"));
            continue;
        }

        // A file moved into place reports no bytes of its own: its size counts once it is there.
        qint64 reported = 0;
        const auto noteWritten = [&](qint64 bytes) {
            noteCopied(bytes);
            reported += bytes;
        };
        outcome.outcome = backup.putFile(entry.filePath(), relative + name, noteWritten, !throughLink);
        if (!outcome.outcome) {
            outcome.entry = name;
            return false;
        }
        noteCopied(qMax<qint64>(0, entry.size() - reported));
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
Outcome PayloadCopy::recordAhead(const QFileInfoList &entries, int from, const QString &relative,
                                 bool throughLink)
{
    QVector<InstallationBackup::PlannedChange> changes;
    for (int index = from; index < qMin(from + InstallationBackup::RecordBatch, entries.size()); ++index) {
        const QFileInfo &entry = entries.at(index);
        if (isLeftOut(entry.fileName(), relative) || (entry.exists() && !entry.isDir() && !entry.isFile()))
            continue;
        const QString target = relative + entry.fileName();
        changes.append({entry.isDir() ? QString() : entry.filePath(), target, !throughLink});
    }
    return backup.recordAhead(changes);
}
