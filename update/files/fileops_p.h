#pragma once

#include <QString>

// Shared by the per-system parts of FileOps. A thread's last failure is kept
// as plain data: a fixed reason, or the system's error code, put into words
// only when asked for.
namespace FileOps {
namespace detail {

struct Failure
{
    const char *reason = nullptr; // a fixed text, or null for the system's code
    unsigned long code = 0;
    // Access was denied where it may pass (Windows): a rename over a file,
    // a file this run has just written, a read-only file once cleared.
    bool deniedMayPass = false;
};

// The system's error for the call that has just failed on this thread.
Failure systemFailure();
// The system's words for `code`.
QString systemMessage(unsigned long code);

// The reason linkFile() gives in a build without hard links.
extern const char noLinksReason[];

// Keeps `failure` as this thread's lastError() and returns false, for `return fail(...)`.
bool fail(const Failure &failure);
bool fail(const char *reason);
// Keeps the system's error for the call that has just failed and returns false.
bool failWithSystemError();
Failure lastFailure();

// Whether `failure` may pass by itself in a moment: another program holding
// the file briefly (a scanner, an indexer, a sync client). Never elsewhere
// than on Windows.
bool isTransient(const Failure &failure);

// One attempt each of the calls that FileOps retries (see RetryBudget).
bool renameOverOnce(const QString &from, const QString &to);
bool removeFileOnce(const QString &path);
bool removeFolderOnce(const QString &path);
bool flushFileOnce(const QString &path);
bool linkFileOnce(const QString &existing, const QString &link);

// A file open for reading, per system.
class ReadHandle
{
public:
    ReadHandle() = default;
    ~ReadHandle();
    ReadHandle(const ReadHandle &) = delete;
    ReadHandle &operator=(const ReadHandle &) = delete;

    // One attempt to open `path` for reading, never waiting on what it turns
    // out to be; a link as its last name is not followed unless `followLinks`.
    // Fails with notPlainFileReason when what was opened is no plain file.
    bool openOnce(const QString &path, bool followLinks);
    // Up to `size` bytes; 0 at the end, -1 on failure.
    qint64 read(char *data, qint64 size);

private:
    qintptr handle = -1;
};

extern const char notPlainFileReason[];

} // namespace detail
} // namespace FileOps
