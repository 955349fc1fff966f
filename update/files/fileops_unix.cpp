#include "fileops.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fileops_p.h"

namespace FileOps {

namespace detail {

Failure systemFailure()
{
    return Failure{nullptr, static_cast<unsigned long>(errno)};
}

QString systemMessage(unsigned long code)
{
    return qt_error_string(int(code));
}

// Nothing here holds a file against a rename or a removal for a moment.
bool isTransient(const Failure &)
{
    return false;
}

} // namespace detail

namespace {

using detail::fail;
using detail::failWithSystemError;

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd)
        : fd(fd)
    {}
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return fd; }
    bool close()
    {
        const int closing = fd;
        fd = -1;
        return ::close(closing) == 0;
    }

private:
    int fd;
};

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

bool writeAll(int out, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(out, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

void report(const Progress &progress, qint64 bytes)
{
    if (progress)
        progress(bytes);
}

bool copyWithBuffer(int in, int out, const Progress &progress, const DataWritten &written)
{
    // One per thread: a copy of many small files is not slowed by clearing a new buffer for each.
    thread_local std::vector<char> buffer(256 * 1024);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!writeAll(out, buffer.data(), size_t(got)))
            return false;
        if (written)
            written(buffer.data(), got);
        report(progress, got);
    }
}

// Lets the kernel move the data where it can, and falls back to read and write.
// Pieces small enough that a big file shows its progress several times a second.
// Data that must be seen as it is written passes through here.
bool copyData(int in, int out, const Progress &progress, const DataWritten &written)
{
    if (written)
        return copyWithBuffer(in, out, progress, written);
#ifdef Q_OS_LINUX
    bool copiedAny = false;
    for (;;) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 32 << 20, 0);
        if (copied > 0) {
            copiedAny = true;
            report(progress, copied);
            continue;
        }
        if (copied == 0)
            return true;
        if (errno == EINTR)
            continue;
        const bool unsupported =
            errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL || errno == EBADF;
        if (!unsupported || copiedAny)
            return false;
        break;
    }
#endif
    return copyWithBuffer(in, out, progress, nullptr);
}

// A leftover from an interrupted run, or anything else by that name, is not
// ours to write through: it is removed and the file created anew.
int createExclusive(const char *path)
{
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    const int fd = ::open(path, flags, 0600);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    ::unlink(path);
    return ::open(path, flags, 0600);
}

} // namespace

QString trueFileName(const QString &path)
{
    return QFileInfo(path).fileName();
}

QDateTime modifiedItself(const QString &path)
{
    struct stat entry;
    if (::lstat(nativePath(path).constData(), &entry) != 0)
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(qint64(entry.st_mtim.tv_sec) * 1000 +
                                          entry.st_mtim.tv_nsec / 1000000);
}

namespace detail {

ReadHandle::~ReadHandle()
{
    if (handle >= 0)
        ::close(int(handle));
}

bool ReadHandle::openOnce(const QString &path, bool followLinks)
{
    // Not blocking: a pipe or a device put in the file's place must not hold the run.
    const int fd = ::open(nativePath(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return errno == ELOOP ? fail(notPlainFileReason) : failWithSystemError();
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        const Failure failure = systemFailure();
        ::close(fd);
        return fail(failure);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return fail(notPlainFileReason);
    }
    handle = fd;
    return true;
}

qint64 ReadHandle::read(char *data, qint64 size)
{
    for (;;) {
        const ssize_t got = ::read(int(handle), data, size_t(size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            failWithSystemError();
        return got;
    }
}

} // namespace detail

bool writeTemporaryCopy(const QString &source, const QString &temporary, const Progress &progress,
                        const DataWritten &written)
{
    const QByteArray temporaryPath = nativePath(temporary);

    // Not blocking: a pipe or a device must not hold the copy before its type is seen.
    FileDescriptor in(::open(nativePath(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status;
    if (in.get() < 0 || ::fstat(in.get(), &status) != 0)
        return failWithSystemError();
    if (!S_ISREG(status.st_mode))
        return fail("the source is not a plain file");

    FileDescriptor out(createExclusive(temporaryPath.constData()));
    if (out.get() < 0)
        return failWithSystemError();

    if (!copyData(in.get(), out.get(), progress, written) ||
        ::fchmod(out.get(), status.st_mode & 07777) != 0) {
        const detail::Failure failure = detail::systemFailure();
        ::unlink(temporaryPath.constData());
        return fail(failure);
    }
#ifdef Q_OS_LINUX
    // The disk starts on the data now, while the copy goes on: the flush before the commit then finds it
    // written.
    if (flushesEnabled())
        ::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    if (!out.close()) {
        const detail::Failure failure = detail::systemFailure();
        ::unlink(temporaryPath.constData());
        return fail(failure);
    }
    return true;
}

bool dropMarkOfTheWeb(const QString &path)
{
    Q_UNUSED(path) // Windows' own
    return true;
}

QStringList namesNotValidUtf8(const QString &folder)
{
    QStringList names;
    DIR *listing = ::opendir(nativePath(folder).constData());
    if (!listing)
        return names;
    while (const dirent *entry = ::readdir(listing)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (QFile::encodeName(name) != entry->d_name)
            names << name;
    }
    ::closedir(listing);
    return names;
}

bool lastFailureMeansNoLinks()
{
    const detail::Failure failure = detail::lastFailure();
    if (failure.reason)
        return failure.reason == detail::noLinksReason;
    switch (failure.code) {
    case EPERM: // what FAT and exFAT answer
    case EOPNOTSUPP:
    case EXDEV:
    case EMLINK:
    case ENOSYS:
        return true;
    default:
        return false;
    }
}

bool lastFailureMeansInUse()
{
    return false; // a rename replaces a file whoever has it open
}

bool mayMoveInto(const QString &payloadRoot, const QString &installationRoot)
{
    const QByteArray payload = nativePath(payloadRoot);
    struct stat payloadStatus;
    struct stat rootStatus;
    return ::stat(payload.constData(), &payloadStatus) == 0 &&
           ::stat(nativePath(installationRoot).constData(), &rootStatus) == 0 &&
           payloadStatus.st_dev == rootStatus.st_dev && ::access(payload.constData(), W_OK) == 0;
}

bool detail::renameOverOnce(const QString &from, const QString &to)
{
    return ::rename(nativePath(from).constData(), nativePath(to).constData()) == 0 || failWithSystemError();
}

bool detail::linkFileOnce(const QString &existing, const QString &link)
{
    return ::link(nativePath(existing).constData(), nativePath(link).constData()) == 0 || failWithSystemError();
}

bool detail::removeFileOnce(const QString &path)
{
    return ::unlink(nativePath(path).constData()) == 0 || failWithSystemError();
}

bool makeFolder(const QString &path)
{
    return ::mkdir(nativePath(path).constData(), 0777) == 0 || failWithSystemError();
}

bool detail::removeFolderOnce(const QString &path)
{
    return ::rmdir(nativePath(path).constData()) == 0 || failWithSystemError();
}

bool detail::flushFileOnce(const QString &path)
{
    if (!flushesEnabled())
        return true;
    FileDescriptor file(::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (file.get() < 0)
        return errno == ELOOP || failWithSystemError(); // a link holds no data of its own
    return ::fdatasync(file.get()) == 0 || failWithSystemError();
}

bool flushFolder(const QString &path)
{
    if (!flushesEnabled())
        return true;
    FileDescriptor folder(::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        return failWithSystemError();
    return ::fsync(folder.get()) == 0 || errno == EINVAL || errno == ENOTSUP || failWithSystemError();
}

void startFlushingFileSystem(const QString &path)
{
#ifdef Q_OS_LINUX
    if (!flushesEnabled())
        return;
    FileDescriptor folder(::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0)
        ::syncfs(folder.get());
#else
    Q_UNUSED(path)
#endif
}

} // namespace FileOps
