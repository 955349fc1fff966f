#include "installationupdate.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QDomDocument>
#include <QDomNode>
#include <QDomNodeList>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <utility>

#include "fileops.h"
#include "installationpaths.h"
#include "platform.h"

namespace {

// Records for this many entries of a folder go to the journal in one flush.
constexpr int RecordBatch = 512;


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

InstallationUpdate::InstallationUpdate(const QString &installationRoot, const QString &packageDir,
                                       const QString &applicationDir)
    : rootPath(QDir::cleanPath(QDir(installationRoot).absolutePath()))
    // Resolved once: the journal must name the same files from any working folder.
    , packagePath(packageDir.isEmpty() ? QString() : QDir::cleanPath(QDir(packageDir).absolutePath()))
    , applicationPath(applicationDir)
    , backup(rootPath, packagePath)
    , startupEntry(rootPath)
{
    backup.setBeforeFirstChange([this] { writeStartupEntry(); });
}

// Once per run: retries and the rollback find the entry there already.
void InstallationUpdate::writeStartupEntry()
{
    if (std::exchange(startupEntryWritten, true))
        return;
    const Outcome written = startupEntry.write(Platform::updaterProgram(applicationPath), packagePath);
    if (!written)
        qDebug().noquote() << "No start-up entry will finish this run after a power cut:" << written.text();
}

QString InstallationUpdate::payloadFolder() const
{
    return packagePath + QStringLiteral("/Env");
}

QString InstallationUpdate::deletionListPath() const
{
    return packagePath + QStringLiteral("/Env/del.xml");
}

void InstallationUpdate::recoverEarlierRun()
{
    backup.recoverEarlierRun();
}

bool InstallationUpdate::hasChanges() const
{
    return backup.hasArea();
}

DeletionOutcome InstallationUpdate::applyDeletionList()
{
    DeletionOutcome result;
    const QString listPath = deletionListPath();
    if (!QFile::exists(listPath))
        return result;

    // Opened for writing too, so that a list that could not be set aside afterwards is found out early.
    QFile list(listPath);
    if (!list.open(QIODevice::ReadWrite)) {
        result.result = DeletionOutcome::CannotOpen;
        result.problems << Outcome::failure(QStringLiteral("open the deletion list"), listPath,
                                            list.errorString());
        return result;
    }
    QDomDocument document;
    QString error;
    int line = 0;
    int column = 0;
    if (!document.setContent(&list, &error, &line, &column)) {
        result.result = DeletionOutcome::NotXml;
        result.problems << Outcome::failure(
            QStringLiteral("read the deletion list"), listPath,
            QStringLiteral("%1 at line %2, column %3").arg(error).arg(line).arg(column));
        return result;
    }
    const QDomNode delLs = document.namedItem(QStringLiteral("DelLs"));
    if (delLs.isNull()) {
        result.result = DeletionOutcome::NoDelLs;
        result.problems << Outcome::failure(QStringLiteral("apply the deletion list"), listPath,
                                            QStringLiteral("it has no top-level \"DelLs\""));
        return result;
    }

    const QDomNodeList entries = delLs.childNodes();
    const QString canonicalRoot = QFileInfo(rootPath).canonicalFilePath();
    QVector<InstallationBackup::PlannedChange> batch;
    const auto removeBatch = [&] {
        // A batch that cannot be written ahead leaves each removal to record itself.
        backup.recordAhead(batch);
        // Set aside rather than removed, so that a failed run can put it back.
        for (const InstallationBackup::PlannedChange &change : qAsConst(batch)) {
            const Outcome removed = backup.removeFile(change.relative);
            if (!removed)
                result.problems << removed;
        }
        batch.clear();
    };
    for (int i = 0; i < entries.length(); ++i) {
        const QString entry = entries.at(i).toElement().text();
        QString relative;
        if (!InstallationPaths::removalTarget(rootPath + QLatin1Char('/') + entry, canonicalRoot,
                                              &relative)) {
            result.problems << Outcome::failure(QStringLiteral("delete"), entry,
                                                QStringLiteral("it lies outside the installation"));
            continue;
        }
        if (InstallationBackup::isInArea(relative)) {
            result.problems << Outcome::failure(QStringLiteral("delete"), entry,
                                                QStringLiteral("it is the updater's own bookkeeping"));
            continue;
        }
        if (relative.isEmpty())
            continue;
        batch.append(InstallationBackup::PlannedChange::removalOf(relative));
        if (batch.size() == RecordBatch)
            removeBatch();
    }
    removeBatch();
    list.close();
    result.result = DeletionOutcome::Applied;
    // A list that cannot be set aside stays in the package, for the next run to
    // apply again; this run's copy leaves it out.
    const Outcome setAside = backup.setListAside(listPath);
    listLeftInPackage = !setAside;
    if (!setAside)
        result.problems << setAside;
    return result;
}

CopyOutcome InstallationUpdate::copyPayload(const CancelToken &cancelToken, const CopyProgress &onProgress)
{
    CopyOutcome outcome;
    cancel = &cancelToken;
    progress = onProgress;
    const auto done = qScopeGuard([this] {
        cancel = nullptr;
        progress = nullptr;
    });
    copyDone = 0;
    copyTotal = payloadBytes(payloadFolder());
    canonicalRoot = QFileInfo(rootPath).canonicalFilePath();
    backup.allowMoves(FileOps::mayMoveInto(payloadFolder(), rootPath));
    // An Env folder that is itself a link lies outside the package: its files stay where they are.
    const bool payloadElsewhere = !FileOps::isSameOrInside(QFileInfo(payloadFolder()).canonicalFilePath(),
                                                           QFileInfo(packagePath).canonicalFilePath());
    copyFolder(payloadFolder(), QString(), payloadElsewhere, outcome);
    return outcome;
}

// A folder link in the payload is copied by its contents, but never one that
// would copy the installation into itself or write into it from inside.
Outcome InstallationUpdate::checkFolderLink(const QFileInfo &link) const
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

// `relative` is the folder inside the installation, empty or ending with a
// slash. Files met through a folder link lie outside the package: they are
// copied, never moved out of their place.
bool InstallationUpdate::copyFolder(const QString &source, const QString &relative, bool throughLink,
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

    const QFileInfoList entries = from.entryInfoList(QDir::NoFilter, QDir::NoSort);
    for (int index = 0; index < entries.size(); ++index) {
        const QFileInfo &entry = entries.at(index);
        if (cancel->isCancelled()) {
            outcome.cancelled = true;
            return false;
        }
        if (index % RecordBatch == 0) {
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

void InstallationUpdate::noteCopied(qint64 bytes)
{
    copyDone += bytes;
    if (progress)
        progress(qMin(copyDone, copyTotal), copyTotal);
}

// What the copy passes over: "." and "..", the archiver's "__MACOSX", and a
// deletion list that stayed in the package.
bool InstallationUpdate::isLeftOut(const QString &name, const QString &relative) const
{
    return name == QLatin1String(".") || name == QLatin1String("..") || name == QLatin1String("__MACOSX") ||
           (relative.isEmpty() && listLeftInPackage && name == QLatin1String("del.xml"));
}

// The next entries' records go to the journal together, ahead of their changes.
Outcome InstallationUpdate::recordAhead(const QFileInfoList &entries, int from, const QString &relative,
                                        bool throughLink)
{
    QVector<InstallationBackup::PlannedChange> changes;
    for (int index = from; index < qMin(from + RecordBatch, entries.size()); ++index) {
        const QFileInfo &entry = entries.at(index);
        if (isLeftOut(entry.fileName(), relative) || (entry.exists() && !entry.isDir() && !entry.isFile()))
            continue;
        const QString target = relative + entry.fileName();
        changes.append({entry.isDir() ? QString() : entry.filePath(), target, !throughLink});
    }
    return backup.recordAhead(changes);
}

Outcome InstallationUpdate::commit()
{
    return backup.commit();
}

bool InstallationUpdate::isPackage() const
{
    const QFileInfo payload(payloadFolder());
    return !packagePath.isEmpty() && payload.isDir();
}

Outcome InstallationUpdate::removePackage()
{
    // A wrong folder handed over by mistake is never removed: only a package has a payload.
    if (!isPackage())
        return Outcome::failure(QStringLiteral("remove the package folder"), packagePath,
                                QStringLiteral("it is not a package: it holds no Env folder"));
    const QString refusal = InstallationPaths::packageRemovalRefusal(packagePath, rootPath, applicationPath);
    if (!refusal.isEmpty())
        return Outcome::failure(QStringLiteral("remove the package folder"), packagePath, refusal);
    if (!QDir(packagePath).removeRecursively())
        return Outcome::failure(QStringLiteral("remove the package folder"), packagePath,
                                QStringLiteral("some of its entries could not be removed"));
    return Outcome::done();
}

void InstallationUpdate::finishRun()
{
    const Outcome removed = startupEntry.remove();
    if (!removed)
        qDebug().noquote() << "The start-up entry stays, and runs the update again at the next logon:"
                           << removed.text();
}

Outcome InstallationUpdate::rollBack()
{
    const Outcome restored = backup.restore();
    if (restored) // otherwise not whole yet: the next logon tries again
        finishRun();
    return restored;
}

bool InstallationUpdate::dropTrash(const QString &installationRoot)
{
    return InstallationBackup(installationRoot).dropTrash();
}
