#include "installationbackup.h"

#include <atomic>

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRandomGenerator>

#include "fileops.h"
#include "flushqueue.h"

namespace {

// Journal records, one per line: a kind letter, a space, the percent-encoded
// path. Where the run writes a temporary file beside the path first, the path
// is followed by a NUL and that file's name.
constexpr char MovedAside = 'M';    // the original now lies in the area under the same path
constexpr char CreatedFile = 'N';   // the run wrote a file where there was none
constexpr char CreatedFolder = 'D'; // the run made a folder where there was none
constexpr char TemporaryFile = 'T'; // a temporary copy may be left beside the path
constexpr char ListSetAside = 'L';  // the package's deletion list, by absolute path
constexpr char MovedIn = 'V';       // a package file moved into place: the path, a NUL, its absolute source

const char savedFilesFolder[] = "/files/";
const char savedListName[] = "/del.xml";
const char journalName[] = "/journal";

// Reads the journal from its end in blocks, so that memory stays the same
// however many records a long run wrote. The bytes after the last line end
// are a record cut short by a kill, whose change never happened.
template <typename Visit> void forEachRecordNewestFirst(QFile &records, Visit visit)
{
    constexpr qint64 blockSize = 64 * 1024;
    qint64 end = records.size();
    QByteArray carried; // the tail of a line that began in an earlier block
    bool tailDropped = false;
    while (end > 0) {
        const qint64 start = qMax<qint64>(0, end - blockSize);
        if (!records.seek(start))
            return;
        QByteArray block = records.read(end - start) + carried;
        end = start;
        if (!tailDropped) {
            const int lastEnd = block.lastIndexOf('\n');
            if (lastEnd < 0 && start > 0) {
                carried = block;
                continue;
            }
            block.truncate(lastEnd + 1);
            tailDropped = true;
        }
        int first = 0;
        if (start > 0) {
            first = block.indexOf('\n') + 1;
            if (first == 0) {
                carried = block;
                continue;
            }
            carried = block.left(first);
        }
        int lineEnd = block.size() - 1; // each line ends with '\n'
        while (lineEnd > first) {
            const int lineStart = block.lastIndexOf('\n', lineEnd - 1) + 1;
            const int from = qMax(lineStart, first);
            if (lineEnd - from >= 2 && block.at(from + 1) == ' ') {
                const QByteArray encoded = block.mid(from + 2, lineEnd - from - 2);
                // Sized, since a record may hold a NUL between two paths.
                const QByteArray path = QByteArray::fromPercentEncoding(encoded);
                visit(block.at(from), QString::fromUtf8(path.constData(), path.size()));
            }
            lineEnd = from - 1;
        }
    }
}

QByteArray recordLine(char kind, const QString &path)
{
    QByteArray line;
    line.reserve(path.size() + 4);
    line += kind;
    line += ' ';
    line += path.toUtf8().toPercentEncoding("/");
    line += '\n';
    return line;
}

QString folderOf(const QString &path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')));
}

// The record of a file the copy writes beside its path and renames into place.
// With the original kept, undoing that original's record puts it back over
// whatever is here; a record that removed the file instead would, undone a
// second time after a rollback cut short, remove the original.
char kindOfCopy(bool present, bool kept)
{
    return kept ? TemporaryFile : present ? MovedAside : CreatedFile;
}

bool isFolder(const QFileInfo &info)
{
    return info.isDir() && !info.isSymLink();
}

bool existsOrIsLink(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

// What the file call that has just failed on this thread was doing, and why.
Outcome failed(const QString &what, const QString &path)
{
    return Outcome::failure(what, path, FileOps::lastError());
}

// The package may lie on another file system than the installation, where a rename fails.
Outcome moveFile(const QString &from, const QString &to, const QString &temporary)
{
    if (FileOps::renameOver(from, to))
        return Outcome::done();
    if (!FileOps::replaceFile(from, to, temporary))
        return failed(QStringLiteral("move"), from);
    // The copy must outlast a power cut before the only other copy goes.
    if (!FileOps::flushFile(to))
        return failed(QStringLiteral("flush"), to);
    if (!FileOps::removeFile(from))
        return failed(QStringLiteral("remove"), from);
    return Outcome::done();
}

// Removes what a run may have left at `path`; there being nothing is fine.
void removeLeftover(const QString &path)
{
    if (existsOrIsLink(QFileInfo(path)))
        FileOps::removeFile(path);
}

// Whether `path`, as far as it exists, resolves through links to `folder` or below it.
bool resolvesInside(const QString &path, const QString &folder)
{
    QString existing = path;
    while (!existsOrIsLink(QFileInfo(existing))) {
        const QString parent = QFileInfo(existing).absolutePath();
        if (parent == existing)
            return false;
        existing = parent;
    }
    // A link as the last part is acted on itself, so its folder is what must lie inside.
    if (existing == path)
        existing = QFileInfo(path).absolutePath();
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    return !canonicalFolder.isEmpty() &&
           FileOps::isSameOrInside(QFileInfo(existing).canonicalFilePath(), canonicalFolder);
}

// What a journal record names: the path, and what follows its NUL.
QString pathOf(const QString &record)
{
    const int split = record.indexOf(QChar(0));
    return split < 0 ? record : record.left(split);
}

QString extraOf(const QString &record)
{
    const int split = record.indexOf(QChar(0));
    return split < 0 ? QString() : record.mid(split + 1);
}

QString runTokenText()
{
    return QStringLiteral("%1%2")
        .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'))
        .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
}

} // namespace

InstallationBackup::InstallationBackup(const QString &root, const QString &packageDir)
    : rootPath(QDir::cleanPath(QDir(root).absolutePath()))
    , packagePath(packageDir.isEmpty() ? QString() : QDir::cleanPath(QDir(packageDir).absolutePath()))
    , areaPath(rootPath + QLatin1Char('/') + areaName())
    , trashPath(rootPath + QLatin1Char('/') + trashName())
    , runToken(runTokenText())
{}

InstallationBackup::~InstallationBackup() = default;

QString InstallationBackup::areaName()
{
    return QStringLiteral(".quillFern-backup");
}

QString InstallationBackup::trashName()
{
    return QStringLiteral(".quillFern-trash");
}

QString InstallationBackup::lockName()
{
    return QStringLiteral(".quillFern.lock");
}

bool InstallationBackup::hasArea() const
{
    const QFileInfo area(areaPath);
    return area.isDir() && !area.isSymLink();
}

bool InstallationBackup::isInArea(const QString &relative)
{
    const Qt::CaseSensitivity cs = FileOps::fileNameCaseSensitivity();
    for (const QString &name : {areaName(), trashName(), lockName()}) {
        if (relative.compare(name, cs) == 0 || relative.startsWith(name + QLatin1Char('/'), cs))
            return true;
    }
    return false;
}

QString InstallationBackup::journalPath() const
{
    return areaPath + QLatin1String(journalName);
}

QString InstallationBackup::absolute(const QString &relative) const
{
    return rootPath + QLatin1Char('/') + relative;
}

QString InstallationBackup::saved(const QString &relative) const
{
    return areaPath + QLatin1String(savedFilesFolder) + relative;
}

// A short name, so that an installed name at the system's length limit still has a temporary beside it.
QString InstallationBackup::temporaryFor(const QString &destination)
{
    return QFileInfo(destination).absolutePath() +
           QStringLiteral("/.quillFern-%1-%2").arg(runToken).arg(++temporaries);
}

// Whether a path a journal record names lies in the installation, outside its
// bookkeeping, without ".." and without a link on the way that leads out.
bool InstallationBackup::liesInside(const QString &relative) const
{
    if (relative.isEmpty() || QDir::isAbsolutePath(relative) || relative.startsWith(QLatin1Char('/')) ||
        isInArea(relative))
        return false;
    for (const QStringRef &part : relative.splitRef(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return resolvesInside(absolute(relative), rootPath);
}

// Whether `path` is a file of this run's package payload.
bool InstallationBackup::liesInPackage(const QString &path) const
{
    if (packagePath.isEmpty() || !QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path)
        return false;
    const QString payload = packagePath + QStringLiteral("/Env");
    return path.compare(payload, FileOps::fileNameCaseSensitivity()) != 0 &&
           FileOps::isSameOrInside(path, payload) && resolvesInside(path, payload);
}

// The bookkeeping folders are the updater's own: a link in their place is
// removed as a link, never followed into whatever it points to.
void InstallationBackup::removeLinksInPlaceOfFolders() const
{
    for (const QString &folder : {areaPath, trashPath}) {
        if (QFileInfo(folder).isSymLink()) {
            qDebug() << "Removed a link that stood in place of the updater's folder" << folder;
            FileOps::removeFile(folder);
        }
    }
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
    removeLinksInPlaceOfFolders();
    if (!FileOps::makePath(areaPath))
        return failed(QStringLiteral("create the backup area"), areaPath);
    journal.setFileName(journalPath());
    // Unbuffered: each record reaches the file system before the change it describes.
    if (!journal.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return Outcome::failure(QStringLiteral("open the journal"), journal.fileName(),
                                journal.errorString());
    // A power cut must find the journal itself, not only its records.
    for (const QString &folder : {areaPath, rootPath}) {
        if (!FileOps::flushFolder(folder))
            return failed(QStringLiteral("flush the folder"), folder);
    }
    return Outcome::done();
}

// On disk when this returns: only then may the changes they describe be made.
Outcome InstallationBackup::writeRecords(const QByteArray &lines)
{
    const Outcome opened = openJournal();
    if (!opened)
        return opened;
    if (journal.write(lines) != lines.size())
        return Outcome::failure(QStringLiteral("write to the journal"), journal.fileName(), journal.errorString());
    if (!FileOps::flushFile(journal.fileName()))
        return failed(QStringLiteral("flush the journal"), journal.fileName());
    return Outcome::done();
}

Outcome InstallationBackup::record(char kind, const QString &path)
{
    const QByteArray line = recordLine(kind, path);
    if (recordedAhead.remove(line))
        return Outcome::done();
    return writeRecords(line);
}

// The temporary file putFile writes for `relative`: the one its record ahead
// named, or a new one.
QString InstallationBackup::temporaryForPut(const QString &relative)
{
    const QString planned = plannedTemporaries.take(relative);
    return planned.isEmpty() ? temporaryFor(absolute(relative)) : planned;
}

// What putFile will record for this file, as the installation stands now.
void InstallationBackup::planPut(const PlannedChange &change, QByteArray &lines)
{
    const QString &relative = change.relative;
    const QFileInfo installed(absolute(relative));
    if (isFolder(installed))
        return; // putFile refuses it
    const bool present = existsOrIsLink(installed);
    const bool kept = existsOrIsLink(QFileInfo(saved(relative)));
    const QFileInfo from(change.source);
    if (movesAllowed && change.movable && !(present && kept) && !from.isSymLink() && from.isFile()) {
        if (present)
            lines += recordLine(MovedAside, relative);
        lines += recordLine(MovedIn, relative + QChar(0) + change.source);
        return;
    }
    const QString temporary = temporaryFor(absolute(relative));
    plannedTemporaries.insert(relative, temporary);
    lines += recordLine(kindOfCopy(present, kept), relative + QChar(0) + QFileInfo(temporary).fileName());
}

Outcome InstallationBackup::recordAhead(const QVector<PlannedChange> &changes)
{
    // Records planned and never used stay in the journal, harmless: their changes never happen.
    QByteArray lines;
    for (const PlannedChange &change : changes) {
        if (!change.source.isEmpty())
            planPut(change, lines);
        else if (!QFileInfo(absolute(change.relative)).isDir())
            lines += recordLine(CreatedFolder, change.relative);
    }
    if (lines.isEmpty())
        return Outcome::done();
    const Outcome written = writeRecords(lines);
    if (!written)
        return written;
    for (int start = 0; start < lines.size();) {
        const int end = lines.indexOf('\n', start) + 1;
        recordedAhead.insert(lines.mid(start, end - start));
        start = end;
    }
    return Outcome::done();
}

Outcome InstallationBackup::ensureSavedFolder(const QString &relative)
{
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString folder = saved(relative.left(slash + 1));
    if (folder == lastSavedFolder)
        return Outcome::done();
    if (!FileOps::makePath(folder))
        return failed(QStringLiteral("create the folder"), folder);
    lastSavedFolder = folder;
    return Outcome::done();
}

Outcome InstallationBackup::moveAside(const QString &relative)
{
    Outcome outcome = record(MovedAside, relative);
    if (outcome)
        outcome = ensureSavedFolder(relative);
    if (outcome && !FileOps::renameOver(absolute(relative), saved(relative)))
        outcome = failed(QStringLiteral("set aside"), absolute(relative));
    return outcome;
}

Outcome InstallationBackup::removeFile(const QString &relative)
{
    const QFileInfo info(absolute(relative));
    if (!existsOrIsLink(info))
        return Outcome::done();
    if (isFolder(info))
        return Outcome::failure(QStringLiteral("remove"), info.filePath(), QStringLiteral("it is a folder"));
    // The first original is already kept: what is there now came from this run.
    if (existsOrIsLink(QFileInfo(saved(relative))))
        return FileOps::removeFile(info.filePath()) ? Outcome::done()
                                                    : failed(QStringLiteral("remove"), info.filePath());
    return moveAside(relative);
}

Outcome InstallationBackup::setListAside(const QString &listPath)
{
    const QString target = areaPath + QLatin1String(savedListName);
    if (QFileInfo::exists(target))
        return FileOps::removeFile(listPath) ? Outcome::done() : failed(QStringLiteral("remove"), listPath);
    const Outcome recorded = record(ListSetAside, listPath);
    return recorded ? moveFile(listPath, target, temporaryFor(target)) : recorded;
}

Outcome InstallationBackup::makeFolder(const QString &relative)
{
    const Outcome recorded = record(CreatedFolder, relative);
    if (!recorded)
        return recorded;
    return FileOps::makeFolder(absolute(relative))
               ? Outcome::done()
               : failed(QStringLiteral("create the folder"), absolute(relative));
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
        if (existsOrIsLink(QFileInfo(saved(relative))) || !moveAside(relative))
            return false;
    }
    return record(MovedIn, relative + QChar(0) + source) && FileOps::renameOver(source, absolute(relative));
}

Outcome InstallationBackup::putFile(const QString &source, const QString &relative,
                                    const std::function<void(qint64)> &progress, bool movable)
{
    const QString destination = absolute(relative);
    QFileInfo installed(destination);
    if (isFolder(installed))
        return Outcome::failure(QStringLiteral("replace"), destination,
                                QStringLiteral("a folder is in the way"));
    if (movesAllowed && movable) {
        if (moveInto(source, relative, installed))
            return Outcome::done();
        installed.refresh();
    }

    const QString temporary = temporaryForPut(relative);
    const QString withTemporary = relative + QChar(0) + QFileInfo(temporary).fileName();
    const bool present = existsOrIsLink(installed);
    const bool kept = existsOrIsLink(QFileInfo(saved(relative)));
    if (!present || kept) {
        const Outcome recorded = record(kindOfCopy(present, kept), withTemporary);
        if (!recorded)
            return recorded;
        return FileOps::replaceFile(source, destination, temporary, progress)
                   ? Outcome::done()
                   : failed(QStringLiteral("copy"), source);
    }

    // Write the new file completely before the installed one leaves its place.
    const Outcome recorded = record(MovedAside, withTemporary);
    if (!recorded)
        return recorded;
    if (!FileOps::writeTemporaryCopy(source, temporary, progress))
        return failed(QStringLiteral("copy"), source);
    Outcome outcome = ensureSavedFolder(relative);
    if (outcome && !FileOps::renameOver(destination, saved(relative)))
        outcome = failed(QStringLiteral("set aside"), destination);
    if (!outcome) {
        removeLeftover(temporary);
        return outcome;
    }
    if (!FileOps::renameOver(temporary, destination)) {
        outcome = failed(QStringLiteral("put in place"), destination);
        removeLeftover(temporary);
        FileOps::renameOver(saved(relative), destination);
    }
    return outcome;
}

// A damaged or planted journal must not reach beyond the installation and this run's package.
bool InstallationBackup::isSafe(char kind, const QString &record) const
{
    const QString path = pathOf(record);
    if (kind == ListSetAside)
        return !packagePath.isEmpty() &&
               QDir::cleanPath(path).compare(packagePath + QStringLiteral("/Env/del.xml"),
                                             FileOps::fileNameCaseSensitivity()) == 0;
    return liesInside(path) && (kind != MovedIn || liesInPackage(extraOf(record)));
}

Outcome InstallationBackup::undo(char kind, const QString &record)
{
    const QString path = pathOf(record);
    const QString extra = extraOf(record);
    if (!isSafe(kind, record)) {
        qDebug().noquote() << "Skipped a journal record that leads outside the installation or the package:"
                           << QString(QLatin1Char(kind)) << path << extra;
        return Outcome::done();
    }
    // Only a temporary file this run named, beside the path.
    if (kind != MovedIn && extra.startsWith(QLatin1String(".quillFern-")) &&
        !extra.contains(QLatin1Char('/')))
        removeLeftover(QFileInfo(absolute(path)).absolutePath() + QLatin1Char('/') + extra);

    switch (kind) {
    case MovedAside: {
        const QString original = saved(path);
        if (!existsOrIsLink(QFileInfo(original)))
            return Outcome::done(); // never moved: the original is still in place
        const QFileInfo current(absolute(path));
        if (isFolder(current) && !FileOps::removeFolder(current.filePath()))
            return failed(QStringLiteral("remove the folder"), current.filePath());
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        if (!FileOps::makePath(absolute(path.left(slash + 1))))
            return failed(QStringLiteral("create the folder"), absolute(path.left(slash + 1)));
        if (!FileOps::renameOver(original, absolute(path)))
            return failed(QStringLiteral("put back"), absolute(path));
        return Outcome::done();
    }
    case CreatedFile: {
        const QFileInfo current(absolute(path));
        if (!existsOrIsLink(current) || isFolder(current) || FileOps::removeFile(current.filePath()))
            return Outcome::done();
        return failed(QStringLiteral("remove"), current.filePath());
    }
    case TemporaryFile:
        return Outcome::done();
    case CreatedFolder: {
        const QFileInfo current(absolute(path));
        if (!isFolder(current) || FileOps::removeFolder(current.filePath()))
            return Outcome::done();
        return failed(QStringLiteral("remove the folder"), current.filePath());
    }
    case MovedIn: {
        const QFileInfo current(absolute(path));
        // Still in the package: the move never happened.
        if (existsOrIsLink(QFileInfo(extra)) || !existsOrIsLink(current) || isFolder(current))
            return Outcome::done();
        if (!FileOps::makePath(QFileInfo(extra).absolutePath()))
            return failed(QStringLiteral("create the folder"), QFileInfo(extra).absolutePath());
        if (!FileOps::renameOver(current.filePath(), extra))
            return failed(QStringLiteral("move back into the package"), current.filePath());
        return Outcome::done();
    }
    case ListSetAside: {
        const QString list = areaPath + QLatin1String(savedListName);
        if (!QFileInfo::exists(list) || QFileInfo::exists(path))
            return Outcome::done();
        if (!FileOps::makePath(QFileInfo(path).absolutePath()))
            return failed(QStringLiteral("create the folder"), QFileInfo(path).absolutePath());
        return moveFile(list, path, temporaryFor(path));
    }
    default:
        return Outcome::failure(QStringLiteral("undo"), path,
                                QStringLiteral("unknown journal record '%1'").arg(QLatin1Char(kind)));
    }
}

// What the run wrote ahead and kept open ends with it: a later run starts afresh.
void InstallationBackup::endWriting()
{
    journal.close();
    lastSavedFolder.clear();
    recordedAhead.clear();
    plannedTemporaries.clear();
}

Outcome InstallationBackup::restore()
{
    endWriting();
    if (!hasArea())
        return Outcome::done();

    QFile records(journalPath());
    Outcome first = Outcome::done();
    QSet<QString> changedFolders;
    if (records.open(QIODevice::ReadOnly)) {
        forEachRecordNewestFirst(records, [this, &first, &changedFolders](char kind, const QString &path) {
            const Outcome undone = undo(kind, path);
            if (!undone) {
                qDebug().noquote() << "Could not undo" << QString(QLatin1Char(kind)) << undone.text();
                if (first)
                    first = undone;
            }
            if (!isSafe(kind, path))
                return;
            if (kind == MovedIn)
                changedFolders.insert(folderOf(extraOf(path)));
            changedFolders.insert(folderOf(kind == ListSetAside ? path : absolute(pathOf(path))));
        });
    } else if (QFileInfo::exists(journalPath())) {
        first = Outcome::failure(QStringLiteral("read the journal"), journalPath(), records.errorString());
    }
    records.close();
    if (!first)
        return first;
    // What was put back must be on disk before the journal that would put it back again goes.
    FlushQueue flushes;
    for (const QString &folder : qAsConst(changedFolders))
        flushes.addFolder(folder);
    const Outcome flushed = flushes.finish();
    if (!flushed)
        return flushed;
    // The journal goes first: an area that cannot be removed whole is then
    // trash, never a run to undo a second time.
    if (QFileInfo::exists(journalPath()) && !FileOps::removeFile(journalPath()))
        return failed(QStringLiteral("remove the journal"), journalPath());
    moveAreaToTrash();
    dropTrash();
    return Outcome::done();
}

Outcome InstallationBackup::commit()
{
    endWriting();
    if (!hasArea())
        return Outcome::done();
    if (QFileInfo::exists(journalPath())) {
        const Outcome flushed = flushChangesOfRun();
        if (!flushed)
            return flushed;
        if (!FileOps::removeFile(journalPath()))
            return failed(QStringLiteral("remove the journal"), journalPath());
        // Once the package goes, a journal that came back after a power cut would undo what cannot be redone.
        if (!FileOps::flushFolder(areaPath))
            qDebug().noquote() << "The journal's removal may not outlast a power cut:"
                               << failed(QStringLiteral("flush the folder"), areaPath).text();
    }
    moveAreaToTrash();
    return Outcome::done();
}

// Everything the journal says the run put in place, and every folder whose
// entries it changed, goes to disk: the new version outlasts a power cut
// from the commit on.
Outcome InstallationBackup::flushChangesOfRun()
{
    QFile records(journalPath());
    if (!records.open(QIODevice::ReadOnly))
        return Outcome::failure(QStringLiteral("read the journal"), journalPath(), records.errorString());
    // One call for the bulk of the data where the file system takes it; each file's flush then costs little.
    FileOps::startFlushingFileSystem(rootPath);
    FlushQueue flushes;
    QSet<QString> folders;
    forEachRecordNewestFirst(records, [&](char kind, const QString &path) {
        switch (kind) {
        case MovedAside: // a file removed or replaced: what is there now, if anything, is the run's
        case CreatedFile:
        case TemporaryFile:
        case MovedIn: {
            const QString file = absolute(pathOf(path));
            flushes.addFile(file);
            folders.insert(folderOf(file));
            break;
        }
        case CreatedFolder:
            folders.insert(absolute(path));
            folders.insert(folderOf(absolute(path)));
            break;
        default:
            break; // the deletion list went into the area, which is thrown away
        }
    });
    for (const QString &folder : qAsConst(folders))
        flushes.addFolder(folder);
    return flushes.finish();
}

// Only ever called on an area without a journal. A file still in use (a
// running executable or a loaded library on Windows) can be renamed but not
// removed, and it keeps its folders from being renamed: such files move into
// the trash one by one, so that the area's name is free for the next run.
void InstallationBackup::moveAreaToTrash()
{
    static std::atomic_int moves{0};
    const QString bin = trashPath + QLatin1Char('/') +
                        QStringLiteral("%1-%2-%3")
                            .arg(QDateTime::currentMSecsSinceEpoch())
                            .arg(QCoreApplication::applicationPid())
                            .arg(++moves);
    removeLinksInPlaceOfFolders();
    if (!hasArea() || !FileOps::makePath(trashPath))
        return;
    if (FileOps::renameOver(areaPath, bin))
        return;
    QDir(areaPath).removeRecursively();
    if (!hasArea())
        return;
    FileOps::makePath(bin);
    int left = 0;
    QDirIterator it(areaPath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (!isFolder(entry))
            FileOps::renameOver(entry.filePath(), bin + QLatin1Char('/') + QString::number(++left));
    }
    QDir(areaPath).removeRecursively();
}

bool InstallationBackup::dropTrash()
{
    removeLinksInPlaceOfFolders();
    return !existsOrIsLink(QFileInfo(trashPath)) || QDir(trashPath).removeRecursively();
}

bool InstallationBackup::recoverEarlierRun()
{
    removeLinksInPlaceOfFolders();
    bool rolledBack = false;
    if (hasArea()) {
        if (QFileInfo::exists(journalPath())) {
            qDebug() << "Rolling back an earlier run that did not finish";
            if (beforeFirstChange)
                beforeFirstChange();
            const Outcome restored = restore();
            if (!restored)
                qDebug().noquote() << "The earlier run could not be rolled back completely:"
                                   << restored.text();
            rolledBack = true;
        } else {
            moveAreaToTrash();
        }
    }
    if (!dropTrash())
        qDebug() << "Left trash that cannot be removed yet in" << trashPath;
    return rolledBack;
}
