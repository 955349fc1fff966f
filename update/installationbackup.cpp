#include "installationbackup.h"

#include <atomic>

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include "platform.h"

namespace {

// Journal records, one per line: a kind letter, a space, the percent-encoded path.
constexpr char MovedAside = 'M';    // the original now lies in the area under the same path
constexpr char CreatedFile = 'N';   // the run wrote a file where there was none
constexpr char CreatedFolder = 'D'; // the run made a folder where there was none
constexpr char TemporaryFile = 'T'; // a temporary copy may be left beside the path
constexpr char ListSetAside = 'L';  // the package's deletion list, by absolute path
constexpr char MovedIn = 'V';       // a package file moved into place: the path, a NUL, its source

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

bool isFolder(const QFileInfo &info)
{
    return info.isDir() && !info.isSymLink();
}

bool existsOrIsLink(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

// The package may lie on another file system than the installation, where a rename fails.
bool moveFile(const QString &from, const QString &to)
{
    return Platform::renameOver(from, to) || (Platform::replaceFile(from, to) && QFile::remove(from));
}

} // namespace

InstallationBackup::InstallationBackup(const QString &root)
    : rootPath(QDir::cleanPath(QDir(root).absolutePath()))
    , areaPath(rootPath + QLatin1Char('/') + areaName())
    , trashPath(rootPath + QLatin1Char('/') + trashName())
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
    return QFileInfo(areaPath).isDir();
}

bool InstallationBackup::isInArea(const QString &relative)
{
    const Qt::CaseSensitivity cs = Platform::fileNameCaseSensitivity();
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

bool InstallationBackup::record(char kind, const QString &path)
{
    if (!journal.isOpen()) {
        if (!QDir().mkpath(areaPath))
            return false;
        journal.setFileName(journalPath());
        // Unbuffered: each record reaches the file system before the change it describes.
        if (!journal.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            return false;
    }
    QByteArray line;
    line.reserve(path.size() + 4);
    line += kind;
    line += ' ';
    line += path.toUtf8().toPercentEncoding("/");
    line += '\n';
    return journal.write(line) == line.size();
}

bool InstallationBackup::ensureSavedFolder(const QString &relative)
{
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString folder = saved(relative.left(slash + 1));
    if (folder == lastSavedFolder)
        return true;
    if (!QDir().mkpath(folder))
        return false;
    lastSavedFolder = folder;
    return true;
}

bool InstallationBackup::moveAside(const QString &relative)
{
    return record(MovedAside, relative) && ensureSavedFolder(relative) &&
           Platform::renameOver(absolute(relative), saved(relative));
}

bool InstallationBackup::removeFile(const QString &relative)
{
    const QFileInfo info(absolute(relative));
    if (!existsOrIsLink(info) || isFolder(info))
        return false;
    // The first original is already kept: what is there now came from this run.
    if (existsOrIsLink(QFileInfo(saved(relative))))
        return QFile::remove(info.filePath());
    return moveAside(relative);
}

bool InstallationBackup::setListAside(const QString &listPath)
{
    const QString target = areaPath + QLatin1String(savedListName);
    if (QFileInfo::exists(target))
        return QFile::remove(listPath);
    return record(ListSetAside, listPath) && moveFile(listPath, target);
}

bool InstallationBackup::makeFolder(const QString &relative)
{
    return record(CreatedFolder, relative) && QDir().mkdir(absolute(relative));
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
    return record(MovedIn, relative + QChar(0) + source) && Platform::renameOver(source, absolute(relative));
}

bool InstallationBackup::putFile(const QString &source, const QString &relative,
                                 const std::function<void(qint64)> &progress)
{
    const QString destination = absolute(relative);
    QFileInfo installed(destination);
    if (isFolder(installed))
        return false;
    if (movesAllowed) {
        if (moveInto(source, relative, installed))
            return true;
        installed.refresh();
    }

    if (!existsOrIsLink(installed))
        return record(CreatedFile, relative) && Platform::replaceFile(source, destination, progress);
    if (existsOrIsLink(QFileInfo(saved(relative))))
        return record(TemporaryFile, relative) && Platform::replaceFile(source, destination, progress);

    // Write the new file completely before the installed one leaves its place.
    if (!record(MovedAside, relative) || !Platform::writeTemporaryCopy(source, destination, progress))
        return false;
    const QString temporary = destination + Platform::temporarySuffix();
    if (!ensureSavedFolder(relative) || !Platform::renameOver(destination, saved(relative))) {
        QFile::remove(temporary);
        return false;
    }
    if (!Platform::renameOver(temporary, destination)) {
        QFile::remove(temporary);
        Platform::renameOver(saved(relative), destination);
        return false;
    }
    return true;
}

bool InstallationBackup::undo(char kind, const QString &path)
{
    switch (kind) {
    case MovedAside: {
        QFile::remove(absolute(path) + Platform::temporarySuffix());
        const QString original = saved(path);
        if (!existsOrIsLink(QFileInfo(original)))
            return true; // never moved: the original is still in place
        const QFileInfo current(absolute(path));
        if (isFolder(current) && !QDir().rmdir(current.filePath()))
            return false;
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        return QDir().mkpath(absolute(path.left(slash + 1))) &&
               Platform::renameOver(original, absolute(path));
    }
    case CreatedFile: {
        QFile::remove(absolute(path) + Platform::temporarySuffix());
        const QFileInfo current(absolute(path));
        return !existsOrIsLink(current) || isFolder(current) || QFile::remove(current.filePath());
    }
    case TemporaryFile:
        QFile::remove(absolute(path) + Platform::temporarySuffix());
        return true;
    case CreatedFolder: {
        const QFileInfo current(absolute(path));
        return !isFolder(current) || QDir().rmdir(current.filePath());
    }
    case MovedIn: {
        const int split = path.indexOf(QChar(0));
        const QString source = path.mid(split + 1);
        const QFileInfo current(absolute(path.left(split)));
        // Still in the package: the move never happened.
        if (split < 0 || existsOrIsLink(QFileInfo(source)) || !existsOrIsLink(current) || isFolder(current))
            return true;
        return QDir().mkpath(QFileInfo(source).absolutePath()) &&
               Platform::renameOver(current.filePath(), source);
    }
    case ListSetAside: {
        const QString list = areaPath + QLatin1String(savedListName);
        if (!QFileInfo::exists(list) || QFileInfo::exists(path))
            return true;
        return QDir().mkpath(QFileInfo(path).absolutePath()) && moveFile(list, path);
    }
    default:
        return false;
    }
}

bool InstallationBackup::restore()
{
    journal.close();
    lastSavedFolder.clear();
    if (!hasArea())
        return true;

    QFile records(journalPath());
    bool complete = true;
    if (records.open(QIODevice::ReadOnly)) {
        forEachRecordNewestFirst(records, [this, &complete](char kind, const QString &path) {
            if (!undo(kind, path)) {
                qDebug() << "Could not undo" << kind << path;
                complete = false;
            }
        });
    }
    records.close();
    // The journal goes first: an area that cannot be removed whole is then
    // trash, never a run to undo a second time.
    if (complete && (QFile::remove(journalPath()) || !QFileInfo::exists(journalPath()))) {
        moveAreaToTrash();
        dropTrash();
    }
    return complete;
}

bool InstallationBackup::commit()
{
    journal.close();
    lastSavedFolder.clear();
    if (!hasArea())
        return true;
    if (QFileInfo::exists(journalPath()) && !QFile::remove(journalPath()))
        return false;
    moveAreaToTrash();
    return true;
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
    if (!QDir().mkpath(trashPath))
        return;
    if (Platform::renameOver(areaPath, bin))
        return;
    QDir(areaPath).removeRecursively();
    if (!hasArea())
        return;
    QDir().mkpath(bin);
    int left = 0;
    QDirIterator it(areaPath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (!isFolder(entry))
            Platform::renameOver(entry.filePath(), bin + QLatin1Char('/') + QString::number(++left));
    }
    QDir(areaPath).removeRecursively();
}

bool InstallationBackup::dropTrash()
{
    return !existsOrIsLink(QFileInfo(trashPath)) || QDir(trashPath).removeRecursively();
}

bool InstallationBackup::recoverEarlierRun()
{
    bool rolledBack = false;
    if (hasArea()) {
        if (QFileInfo::exists(journalPath())) {
            qDebug() << "Rolling back an earlier run that did not finish";
            restore();
            rolledBack = true;
        } else {
            moveAreaToTrash();
        }
    }
    if (!dropTrash())
        qDebug() << "Left trash that cannot be removed yet in" << trashPath;
    return rolledBack;
}
