#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

class QFileInfo;

#include <functional>
#include <memory>

#include "outcome.h"

// The file system calls of the run's file work, one per thing it does to a
// file, each in one step where the system allows. On failure a call returns
// false and lastError() gives the system's reason (errno, GetLastError) in
// words; it is kept per thread, so a worker's failure is its own.
namespace FileOps {

using Progress = std::function<void(qint64)>;
// Hears of the bytes a copy wrote, in order, once they are written.
using DataWritten = std::function<void(const char *data, qint64 size)>;

// How long the renames, removals and flushes of this thread keep trying
// while the system refuses them for a reason that passes by itself (on
// Windows a scanner, an indexer or a sync client holding a fresh file for a
// moment), with pauses that grow. The waiting is counted against one total
// for all the calls the budget covers, so that many refused files cost no
// more than one, and against a bound for each call. A run's tries share one
// budget (see RetryAllowance); a rollback, which must not stop half-way,
// takes a longer one of its own. Without a budget each call may wait about
// 2 s. The budget holds on this thread while the object lives.
class RetryAllowance
{
public:
    RetryAllowance(int totalMilliseconds, int perCallMilliseconds);

    static RetryAllowance forRun() { return RetryAllowance(DuringRun, DuringTry); }
    static RetryAllowance forRollback() { return RetryAllowance(DuringRollbackInAll, DuringRollback); }

    // What is left of the total, in milliseconds.
    int left() const;

    static constexpr int DuringTry = 2000;
    static constexpr int DuringRun = 10000;
    static constexpr int DuringRollback = 30000;
    static constexpr int DuringRollbackInAll = 60000;

    struct Pool;

private:
    friend class RetryBudget;
    std::shared_ptr<Pool> pool;
};

class RetryBudget
{
public:
    // A budget of its own: `perCall` for each call, and as much in all.
    explicit RetryBudget(int perCall);
    // The allowance `shared`, which copies of it on other threads draw on too.
    explicit RetryBudget(const RetryAllowance &shared);
    ~RetryBudget();
    RetryBudget(const RetryBudget &) = delete;
    RetryBudget &operator=(const RetryBudget &) = delete;

    static constexpr int DuringTry = RetryAllowance::DuringTry;
    static constexpr int DuringRollback = RetryAllowance::DuringRollback;

private:
    RetryAllowance allowance;
    RetryAllowance::Pool *previous;
};

// The system's reason for the last call of this namespace that failed on this thread.
QString lastError();
// The system's words for its error code `code` (errno, GetLastError).
QString systemError(unsigned long code);

// Whether the call of this namespace that has just failed on this thread was
// refused because the file is in use (on Windows a running program or a file
// open without sharing, which may still be renamed); never elsewhere.
bool lastFailureMeansInUse();
// Whether the linkFile() call that has just failed on this thread was refused
// because the file system or the build makes no such links at all (FAT,
// exFAT, a second volume), rather than for a reason of this call's own.
bool lastFailureMeansNoLinks();
// Whether two paths that differ only in letter case name different files.
Qt::CaseSensitivity fileNameCaseSensitivity();
// The one key of every spelling of `path` the system takes for the same
// name: case-folded where names ignore letter case, the path itself elsewhere.
QString nameKey(const QString &path);
// The name Windows takes `name` for, on any system: letter case folded, and
// dots and spaces at its end dropped. Two names with one key are one name there.
QString windowsNameKey(const QString &name);

// What the call of this namespace that has just failed on this thread was
// doing, at which path, with the system's reason.
Outcome failure(const QString &what, const QString &path);

// The folder part of the path `path`, as written.
QString folderOf(const QString &path);

// Whether something is at `path`: a dangling link counts. Asked of the file
// system (see Place), so that a Windows shortcut is the plain file it is,
// whatever its name makes Qt take it for.
bool existsOrIsLink(const QFileInfo &info);
// The same, but true also where the system could not tell (a failing disk, a
// denial): for decisions that would lose or skip an installed file if they
// took it for missing.
bool mayExist(const QFileInfo &info);
// Whether `info` is a folder itself, or a junction or mount point, which
// stand where a folder does; not a symbolic link to one.
bool isRealFolder(const QFileInfo &info);
// Whether `path`, as far as it exists, resolves through links to `folder` or
// below it. A link as its last part is acted on itself, so only its folder
// must lie inside.
bool resolvesInside(const QString &path, const QString &folder);

// How reading a file whole went.
enum class ReadResult {
    Read,
    Missing,      // nothing is there
    NotPlainFile, // a folder, a pipe, a device, a socket; a link unless links are followed
    TooLarge,     // more bytes were read than allowed: what was handed on is to be dropped
    Failed,       // lastError() says why
};
using DataRead = std::function<void(const char *data, qint64 size)>;

// Reads the file `path` whole, handing every piece to `read` as it comes, so
// that nothing needs to hold the file twice. Only a plain file is read: what
// it is is decided before the open (see Place), and the open itself never
// waits on a pipe or a device that took its place meanwhile. A link is
// followed only with `followLinks`. The limit `maxBytes` (-1: none) counts
// the bytes actually read, whatever size the file claims. The open is tried
// again as renames are while the system refuses it for a passing reason.
ReadResult readPlainFile(const QString &path, qint64 maxBytes, const DataRead &read,
                         bool followLinks = false);
// The same, into `bytes`.
ReadResult readPlainFile(const QString &path, qint64 maxBytes, QByteArray *bytes, bool followLinks = false);

// Copies the file `source` to the new file `temporary`, with the source's
// permissions. On failure no temporary file is left. A source that is not a
// plain readable file fails, without waiting on a pipe or a device.
// `progress`, where given, hears of the bytes written as the copy goes on;
// `written`, where given, is handed every byte written, so that what was
// written can be checked before it is used.
bool writeTemporaryCopy(const QString &source, const QString &temporary, const Progress &progress = nullptr,
                        const DataWritten &written = nullptr);

// Copies the file `source` to `destination`, replacing a file already there.
// The data goes to `temporary`, beside `destination`, which is renamed over
// it only once complete. On failure `destination` is as it was and no
// temporary file is left. A destination that is a folder fails.
bool replaceFile(const QString &source, const QString &destination, const QString &temporary,
                 const Progress &progress = nullptr);

// Removes the Mark of the Web from the file `path`: the stream
// Zone.Identifier by which Windows marks a downloaded file, and which a
// program installed with it would be taken for a download by. Nothing there,
// a file system without streams and other systems are fine.
bool dropMarkOfTheWeb(const QString &path);

// The entries of `folder` whose names the system keeps as bytes that are not
// valid UTF-8 (an archive unpacked from another code page): Qt's listings
// leave them out without a word, and no QString leads back to them. Each is
// given with its bytes decoded as far as they go. Always none on Windows.
QStringList namesNotValidUtf8(const QString &folder);

// Whether the files of the package payload at `payloadRoot` may be moved into
// the installation at `installationRoot` instead of copied. Elsewhere: both on
// one file system and the payload writable. On Windows a moved file keeps the
// permissions of the folder it was unpacked in, so only a package inside the
// installation root, whose files already have the installation's permissions,
// is moved.
bool mayMoveInto(const QString &payloadRoot, const QString &installationRoot);

// Renames `from` to `to` in one step, replacing a file already at `to`, a
// read-only one too. `from` keeps its attributes.
bool renameOver(const QString &from, const QString &to);
// Renames `from` to `to` as renameOver does, and the entry then carries the
// name exactly as `to` spells it. Where names ignore case, a file renamed
// onto one of another spelling may take that one's name; such a file is
// removed first, so cut short in between, `to` is missing and `from` whole.
bool renameOverNamedExactly(const QString &from, const QString &to);
// The name the entry at `path` carries in its folder, which `path` may spell
// in other letter case where names ignore it; the name as written where
// nothing is there, or where the entry's name differs in more than case.
QString trueFileName(const QString &path);
// When the entry at `path` itself last changed: a link's own time, never its
// target's, so a link that leads nowhere has one too. Invalid when nothing is there.
QDateTime modifiedItself(const QString &path);

// Gives the file `existing` the second name `link` (a hard link), which must
// be free. Fails where the file system has no such links (FAT, exFAT) or
// `link` lies on another volume: the caller then does without.
bool linkFile(const QString &existing, const QString &link);
// Removes the file or link `path` (never what a link points to), a read-only one too.
bool removeFile(const QString &path);
// Removes what may be at `path`; there being nothing is fine.
void removeIfPresent(const QString &path);
// Moves the file `from` to `to`, replacing a file there: a rename where both
// lie on one file system, else a copy through `temporary`, flushed before
// `from` goes, so that a power cut never finds neither.
bool moveFile(const QString &from, const QString &to, const QString &temporary);
// Creates the one folder `path`; its parent must exist.
bool makeFolder(const QString &path);
// Creates the folder `path` and any missing parents.
bool makePath(const QString &path);
// Removes the empty folder `path`, a read-only one too.
bool removeFolder(const QString &path);
// Removes the folder `path` with everything in it, a read-only entry too. It
// never descends into a link, a junction or a mount point: such an entry is
// removed itself where the system allows (a mount point is not), never what
// it leads to. `path` itself may be a file or a link. True when nothing is
// left; what could not be removed stays.
bool removeTree(const QString &path);

// Puts the data of the file `path` on disk before it returns, as a power cut
// would find it. Only flushing the file itself counts everywhere: some file
// systems keep every byte not flushed this way, whatever else was flushed.
bool flushFile(const QString &path);
// Puts the entries of the folder `path` on disk: the files created, renamed
// into it and removed from it. Where the file system offers no such flush
// (it keeps its folders its own way), this does nothing and succeeds.
bool flushFolder(const QString &path);
// Asks the file system that holds `path` to write everything it has not
// written yet, where it offers that in one call. It guarantees nothing on
// its own (some file systems keep what was not flushed file by file); the
// file flushes that follow then find most of their data written already.
void startFlushingFileSystem(const QString &path);

// Whether the flush calls above do their work. Always on, except in builds
// that measure what durability costs or show what goes wrong without it.
bool flushesEnabled();
void setFlushesEnabled(bool enabled);
// Whether linkFile() makes links. Always on, except in a build that measures
// the replacement by a pair of renames against it.
bool hardLinksEnabled();
void setHardLinksEnabled(bool enabled);

} // namespace FileOps
