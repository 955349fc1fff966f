#include "packagemanifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>
#include <QVector>
#include <QtConcurrent>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <vector>

#include "fileops.h"
#include "package.h"
#include "payloadcopy.h"
#include "place.h"

namespace {

using Digest = std::array<char, 32>;

// A path can be long, but no line of a real manifest comes near this.
constexpr qint64 MaxLineBytes = 64 * 1024;
constexpr int ReadChunk = 256 * 1024;

// One file the manifest lists, and what the check found it to be.
struct Listed
{
    enum class State : quint8 { Unchecked, Matches, Differs, Missing, NotPlainFile, Unreadable };

    QString path; // relative to the payload
    Digest digest;
    int line = 0;
    State state = State::Unchecked;
    QString reason; // the system's, when it could not be read
};

ManifestCheck mismatch(const QString &problem)
{
    ManifestCheck check;
    check.result = ManifestCheck::Result::Mismatch;
    check.problem = problem;
    return check;
}

ManifestCheck cancelled()
{
    ManifestCheck check;
    check.result = ManifestCheck::Result::Cancelled;
    return check;
}

QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

// Undoes the escapes of a line that starts with a backslash; false on any other escape.
bool unescape(QByteArray &name)
{
    QByteArray plain;
    plain.reserve(name.size());
    for (int at = 0; at < name.size(); ++at) {
        if (name.at(at) != '\\') {
            plain += name.at(at);
            continue;
        }
        if (++at == name.size())
            return false;
        const char escaped = name.at(at);
        if (escaped == '\\')
            plain += '\\';
        else if (escaped == 'n')
            plain += '\n';
        else if (escaped == 'r')
            plain += '\r';
        else
            return false;
    }
    name = plain;
    return true;
}

// Reads one line, without its line end, into `entry`; false when it is not
// a line of the format.
bool parseLine(QByteArray line, Listed &entry)
{
    if (line.endsWith('\r'))
        line.chop(1);
    const bool escaped = line.startsWith('\\');
    const int hexAt = escaped ? 1 : 0;
    const int nameAt = hexAt + 64 + 2;
    if (line.size() <= nameAt || line.at(hexAt + 64) != ' ' ||
        (line.at(hexAt + 65) != ' ' && line.at(hexAt + 65) != '*'))
        return false;
    const QByteArray hex = line.mid(hexAt, 64);
    if (!std::all_of(hex.cbegin(), hex.cend(), [](char c) { return std::isxdigit(uchar(c)) != 0; }))
        return false;
    const QByteArray digest = QByteArray::fromHex(hex);
    std::copy(digest.cbegin(), digest.cend(), entry.digest.begin());

    QByteArray name = line.mid(nameAt);
    if (escaped && !unescape(name))
        return false;
    entry.path = QString::fromUtf8(name);
    // Not valid UTF-8, or a name no system can hold.
    if (entry.path.toUtf8() != name || name.contains('\0'))
        return false;
    if (entry.path.startsWith(QLatin1String("./")))
        entry.path.remove(0, 2);
    return true;
}

// Why a listed path is not one inside the payload; empty when it is. Only a
// path as plain as the system would write it is taken: no "..", no "." or
// empty names, not absolute, and nothing the system reads as another
// separator.
QString pathRefusal(const QString &path)
{
    // Where a backslash separates names too, only the clean path shows its "..".
    const QString clean = QDir::cleanPath(path);
    const QString parent = QStringLiteral("..");
    if (path.split(QLatin1Char('/')).contains(parent) || clean.split(QLatin1Char('/')).contains(parent))
        return QStringLiteral("a path with \"..\" is refused");
    if (path.isEmpty() || QDir::isAbsolutePath(path) || clean != path)
        return QStringLiteral("not a plain path inside the payload; refused");
    return QString();
}

bool lessPath(const Listed &a, const Listed &b)
{
    return a.path.compare(b.path, FileOps::fileNameCaseSensitivity()) < 0;
}

bool isListed(const std::vector<Listed> &listed, const QString &path)
{
    const auto found = std::lower_bound(
        listed.cbegin(), listed.cend(), path, [](const Listed &entry, const QString &wanted) {
            return entry.path.compare(wanted, FileOps::fileNameCaseSensitivity()) < 0;
        });
    return found != listed.cend() && found->path.compare(path, FileOps::fileNameCaseSensitivity()) == 0;
}

// Reads the manifest; on failure `problem` says why, naming the first line
// that is not one of the format, and `listed` is incomplete.
std::vector<Listed> readManifest(const QString &path, QString &problem)
{
    std::vector<Listed> listed;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("could not read %1: %2").arg(quoted(path), file.errorString());
        return listed;
    }
    for (int number = 1; !file.atEnd(); ++number) {
        QByteArray line = file.readLine(MaxLineBytes);
        const bool whole = line.endsWith('\n') || file.atEnd();
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.startsWith('#'))
            continue;
        Listed entry;
        entry.line = number;
        if (!whole || !parseLine(line, entry)) {
            problem = QStringLiteral("line %1 unreadable").arg(number);
            return listed;
        }
        const QString refusal = pathRefusal(entry.path);
        if (!refusal.isEmpty()) {
            problem = QStringLiteral("line %1 names %2: %3").arg(number).arg(quoted(entry.path), refusal);
            return listed;
        }
        listed.push_back(std::move(entry));
    }
    if (file.error() != QFileDevice::NoError)
        problem = QStringLiteral("could not read %1: %2").arg(quoted(path), file.errorString());
    return listed;
}

// The first file the copy would apply that the manifest does not list: the
// plain files under `folder`, through folder links as the copy goes, but not
// hidden or system ones, nor those under "__MACOSX". Empty when there is none.
QString firstUnlisted(const QString &folder, const QString &relative, const std::vector<Listed> &listed,
                      QStringList &foldersWalked, const CancelToken &cancel)
{
    // A folder link back into a folder being walked is the copy's to fail.
    const QString identity = Place::of(folder).identity().toText();
    if (foldersWalked.contains(identity))
        return QString();
    foldersWalked.append(identity);
    // Each entry as the copy takes it: a junction or mount point is a folder link, a shortcut a file.
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    QString found;
    for (const QFileInfo &entry : entries) {
        if (cancel.isCancelled())
            break;
        const QString path = relative + entry.fileName();
        if (PayloadCopy::passesOver(entry.fileName()))
            continue;
        const Place place = Place::entry(entry.filePath());
        if (place.leadsToFolder())
            found = firstUnlisted(entry.filePath(), path + QLatin1Char('/'), listed, foldersWalked, cancel);
        else if (place.leadsToFile() && !isListed(listed, path))
            found = path;
        if (!found.isEmpty())
            break;
    }
    foldersWalked.removeLast();
    return found;
}

Listed::State hashFile(const QString &path, Listed &entry, QByteArray &buffer)
{
    const Place place = Place::of(path);
    if (!place.exists())
        return Listed::State::Missing;
    if (!place.leadsToFile())
        return Listed::State::NotPlainFile;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        entry.reason = file.errorString();
        return Listed::State::Unreadable;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (;;) {
        const qint64 read = file.read(buffer.data(), buffer.size());
        if (read < 0) {
            entry.reason = file.errorString();
            return Listed::State::Unreadable;
        }
        if (read == 0)
            break;
        hash.addData(buffer.constData(), int(read));
    }
    const QByteArray digest = hash.result();
    return std::equal(digest.cbegin(), digest.cend(), entry.digest.cbegin()) ? Listed::State::Matches
                                                                             : Listed::State::Differs;
}

// Hashes every listed file, `threads` at a time, each taking the next one
// still to do. Each writes only the entries it took.
void hashAll(std::vector<Listed> &listed, const QString &payload, int threads, const CancelToken &cancel)
{
    std::atomic<size_t> next{0};
    const auto work = [&] {
        QByteArray buffer(ReadChunk, Qt::Uninitialized);
        for (size_t index = next++; index < listed.size() && !cancel.isCancelled(); index = next++) {
            Listed &entry = listed[index];
            entry.state = hashFile(payload + QLatin1Char('/') + entry.path, entry, buffer);
        }
    };
    QThreadPool pool;
    pool.setMaxThreadCount(qMax(1, threads - 1));
    QVector<QFuture<void>> helpers;
    for (int helper = 1; helper < threads; ++helper)
        helpers << QtConcurrent::run(&pool, work);
    work();
    for (QFuture<void> &helper : helpers)
        helper.waitForFinished();
}

QString describe(const Listed &entry)
{
    switch (entry.state) {
    case Listed::State::Differs:
        return quoted(entry.path) + QStringLiteral(": content differs");
    case Listed::State::Missing:
        return quoted(entry.path) + QStringLiteral(": missing");
    case Listed::State::NotPlainFile:
        return quoted(entry.path) + QStringLiteral(": not a plain file");
    case Listed::State::Unreadable:
        return quoted(entry.path) + QStringLiteral(": could not be read: ") + entry.reason;
    case Listed::State::Unchecked:
    case Listed::State::Matches:
        break;
    }
    return QString();
}

} // namespace

ManifestCheck PackageManifest::check(const Package &package, const CancelToken &cancel, int threads)
{
    const QString manifest = package.manifest();
    if (!FileOps::existsOrIsLink(QFileInfo(manifest)))
        return ManifestCheck();

    QString problem;
    std::vector<Listed> listed = readManifest(manifest, problem);
    if (!problem.isEmpty())
        return mismatch(problem);
    std::sort(listed.begin(), listed.end(), lessPath);

    QStringList foldersWalked;
    const QString payload = package.payload();
    const QString unlisted = firstUnlisted(payload, QString(), listed, foldersWalked, cancel);
    if (cancel.isCancelled())
        return cancelled();
    if (!unlisted.isEmpty())
        return mismatch(quoted(unlisted) + QStringLiteral(": not listed"));

    hashAll(listed, payload, threads > 0 ? threads : qMax(1, QThread::idealThreadCount()), cancel);
    if (cancel.isCancelled())
        return cancelled();
    // The first by its line, whichever thread found it.
    const Listed *offending = nullptr;
    for (const Listed &entry : listed) {
        if (entry.state != Listed::State::Matches && (!offending || entry.line < offending->line))
            offending = &entry;
    }
    if (offending)
        return mismatch(describe(*offending));
    ManifestCheck check;
    check.result = ManifestCheck::Result::Matches;
    check.files = int(listed.size());
    return check;
}
