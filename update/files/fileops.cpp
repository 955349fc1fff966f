#include "fileops.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <memory>
#include <utility>

#include "fileops_p.h"
#include "pathtext.h"
#include "place.h"

namespace FileOps {

struct RetryAllowance::Pool
{
    std::atomic_int left;
    const int perCall;
    Pool(int total, int perCall)
        : left(total)
        , perCall(perCall)
    {}
};

namespace {

// Plain data, so that no thread has anything to tear down for it when it ends.
thread_local detail::Failure last;
thread_local RetryAllowance::Pool *retryPool = nullptr; // held by the RetryBudget in scope
std::atomic_bool flushing{true};
std::atomic_bool linking{true};

// Tries `call` again while it fails for a reason that passes, within the
// thread's budget. What counts is the pauses taken, not the time the calls
// themselves take, so a budget buys the same number of tries on any machine.
template <typename Call> bool retrying(Call call)
{
    RetryAllowance::Pool *const pool = retryPool;
    const int perCall = pool ? pool->perCall : RetryAllowance::DuringTry;
    int waited = 0;
    for (int pause = 5;; pause = qMin(pause * 2, 250)) {
        if (call())
            return true;
        const detail::Failure failure = detail::lastFailure();
        if (!detail::isTransient(failure) || waited + pause > perCall)
            return false;
        if (pool) {
            int left = pool->left.load();
            do {
                if (left < pause)
                    return false;
            } while (!pool->left.compare_exchange_weak(left, left - pause));
        }
        waited += pause;
        QThread::msleep(pause);
        last = failure;
    }
}

} // namespace

namespace detail {

bool fail(const Failure &failure)
{
    last = failure;
    return false;
}

bool fail(const char *reason)
{
    return fail(Failure{reason, 0});
}

bool failWithSystemError()
{
    return fail(systemFailure());
}

Failure lastFailure()
{
    return last;
}

} // namespace detail

RetryAllowance::RetryAllowance(int totalMilliseconds, int perCallMilliseconds)
    : pool(std::make_shared<Pool>(totalMilliseconds, perCallMilliseconds))
{}

int RetryAllowance::left() const
{
    return pool->left.load();
}

RetryBudget::RetryBudget(int perCall)
    : RetryBudget(RetryAllowance(perCall, perCall))
{}

RetryBudget::RetryBudget(const RetryAllowance &shared)
    : allowance(shared)
    , previous(std::exchange(retryPool, shared.pool.get()))
{}

RetryBudget::~RetryBudget()
{
    retryPool = previous;
}

bool renameOver(const QString &from, const QString &to)
{
    return retrying([&] { return detail::renameOverOnce(from, to); });
}

bool removeFile(const QString &path)
{
    return retrying([&] { return detail::removeFileOnce(path); });
}

const char detail::noLinksReason[] = "hard links are off in this build";

bool linkFile(const QString &existing, const QString &link)
{
    if (!linking)
        return detail::fail(detail::noLinksReason);
    return retrying([&] { return detail::linkFileOnce(existing, link); });
}

bool removeFolder(const QString &path)
{
    return retrying([&] { return detail::removeFolderOnce(path); });
}

bool flushFile(const QString &path)
{
    return retrying([&] { return detail::flushFileOnce(path); });
}

const char detail::notPlainFileReason[] = "it is not a plain file";

ReadResult readPlainFile(const QString &path, qint64 maxBytes, const DataRead &read, bool followLinks)
{
    const Place place = followLinks ? Place::followingLastLink(path) : Place::notFollowingLastLink(path);
    // A file whose kind the system could not tell is no missing file: a list
    // taken for absent would let the run go on without it.
    if (!place.exists())
        return place.unknownBecause() ? (detail::fail(detail::Failure{nullptr, place.unknownBecause()}),
                                         ReadResult::Failed)
                                      : ReadResult::Missing;
    if (!(followLinks ? place.leadsToFile() : place.isPlainFile()))
        return ReadResult::NotPlainFile;
    detail::ReadHandle file;
    if (!retrying([&] { return file.openOnce(path, followLinks); }))
        return last.reason == detail::notPlainFileReason ? ReadResult::NotPlainFile : ReadResult::Failed;
    // Kept for the thread's next file: hashing a payload reads thousands.
    constexpr int Piece = 1024 * 1024;
    thread_local std::unique_ptr<char[]> buffer(new char[Piece]);
    qint64 total = 0;
    for (;;) {
        const qint64 got = file.read(buffer.get(), Piece);
        if (got < 0)
            return ReadResult::Failed;
        if (got == 0)
            return ReadResult::Read;
        total += got;
        if (maxBytes >= 0 && total > maxBytes)
            return ReadResult::TooLarge;
        read(buffer.get(), got);
    }
}

ReadResult readPlainFile(const QString &path, qint64 maxBytes, QByteArray *bytes, bool followLinks)
{
    bytes->clear();
    const ReadResult result = readPlainFile(
        path, maxBytes, [bytes](const char *data, qint64 size) { bytes->append(data, int(size)); },
        followLinks);
    if (result != ReadResult::Read)
        bytes->clear();
    return result;
}

Qt::CaseSensitivity fileNameCaseSensitivity()
{
    return PathText::caseSensitivity();
}

QString nameKey(const QString &path)
{
    return fileNameCaseSensitivity() == Qt::CaseSensitive ? path : path.toCaseFolded();
}

QString windowsNameKey(const QString &name)
{
    QString key = name.toCaseFolded();
    while (key.endsWith(QLatin1Char('.')) || key.endsWith(QLatin1Char(' ')))
        key.chop(1);
    return key;
}

QString systemError(unsigned long code)
{
    return detail::systemMessage(code);
}

QString lastError()
{
    return last.reason ? QString::fromLatin1(last.reason) : detail::systemMessage(last.code);
}

Outcome failure(const QString &what, const QString &path)
{
    return Outcome::failure(what, path, lastError());
}

QString folderOf(const QString &path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')));
}

bool existsOrIsLink(const QFileInfo &info)
{
    return Place::notFollowingLastLink(info.filePath()).exists();
}

bool mayExist(const QFileInfo &info)
{
    const Place place = Place::notFollowingLastLink(info.filePath());
    return place.exists() || place.unknownBecause() != 0;
}

bool isRealFolder(const QFileInfo &info)
{
    const Place entry = Place::notFollowingLastLink(info.filePath());
    return entry.isPlainFolder() || (entry.linkKind() == Place::LinkKind::MountPoint && entry.leadsToFolder());
}

bool resolvesInside(const QString &path, const QString &folder)
{
    QString existing = path;
    while (!existsOrIsLink(QFileInfo(existing))) {
        const QString parent = QFileInfo(existing).absolutePath();
        if (parent == existing)
            return false;
        existing = parent;
    }
    if (existing == path)
        existing = QFileInfo(path).absolutePath();
    // Both resolved by the system; a probe that failed for a moment must not read as "inside" or "outside".
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    return !canonicalFolder.isEmpty() &&
           PathText::isUnder(QFileInfo(existing).canonicalFilePath(), canonicalFolder);
}

void removeIfPresent(const QString &path)
{
    if (existsOrIsLink(QFileInfo(path)))
        removeFile(path);
}

bool renameOverNamedExactly(const QString &from, const QString &to)
{
    const QFileInfo target(to);
    if (existsOrIsLink(target) && trueFileName(to) != target.fileName() && !removeFile(to))
        return false;
    return renameOver(from, to);
}

bool moveFile(const QString &from, const QString &to, const QString &temporary)
{
    if (renameOver(from, to))
        return true;
    return replaceFile(from, to, temporary) && flushFile(to) && removeFile(from);
}

bool flushesEnabled()
{
    return flushing;
}

void setFlushesEnabled(bool enabled)
{
    flushing = enabled;
}

bool hardLinksEnabled()
{
    return linking;
}

void setHardLinksEnabled(bool enabled)
{
    linking = enabled;
}

bool replaceFile(const QString &source, const QString &destination, const QString &temporary,
                 const Progress &progress)
{
    if (!writeTemporaryCopy(source, temporary, progress))
        return false;
    if (renameOver(temporary, destination))
        return true;
    const detail::Failure failure = detail::lastFailure();
    removeFile(temporary);
    return detail::fail(failure);
}

bool makePath(const QString &path)
{
    const Place entry = Place::notFollowingLastLink(path);
    if (entry.leadsToFolder())
        return true;
    if (entry.exists())
        return detail::fail("a file is in the way");
    const QFileInfo info(path);
    const QString parent = info.absolutePath();
    if (parent != info.absoluteFilePath() && !makePath(parent))
        return false;
    return makeFolder(path) || Place::followingLastLink(path).leadsToFolder();
}

bool removeTree(const QString &path)
{
    const Place entry = Place::notFollowingLastLink(path);
    // Only what is surely gone is removed: an entry the system could not tell is still there.
    if (!entry.exists())
        return entry.unknownBecause() == 0 || detail::fail(detail::Failure{nullptr, entry.unknownBecause()});
    if (entry.linkKind() == Place::LinkKind::MountPoint)
        return removeFolder(path); // a junction goes; a mounted file system stays where it is
    if (!entry.isPlainFolder())
        return removeFile(path);
    bool whole = true;
    const QFileInfoList entries =
        QDir(path).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &inside : entries)
        whole = removeTree(inside.filePath()) && whole;
    return removeFolder(path) && whole;
}

} // namespace FileOps
