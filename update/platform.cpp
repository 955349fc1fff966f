#include "platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QObject>
#ifndef Q_OS_WIN
#include <QSocketNotifier>
#endif

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#endif

namespace Platform {

QString commandLineArgument(char *argv[], int index)
{
#ifdef Q_OS_WIN
    Q_UNUSED(argv)
    return QCoreApplication::arguments().value(index);
#else
    return QString::fromUtf8(argv[index]);
#endif
}

QString productProcessName()
{
    return QStringLiteral("Halvorquintel");
}

QString updaterProcessName()
{
    return QStringLiteral("quillFern");
}

QString stopCommand(const QString &applicationDir, const QString &processName)
{
#ifdef Q_OS_WIN
    Q_UNUSED(applicationDir)
    return QStringLiteral("tskill ") + processName;
#else
    return QLatin1Char('"') + applicationDir + QStringLiteral("/tskill\" ") + processName;
#endif
}

QString productLaunchCommand(const QString &applicationDir)
{
#ifdef Q_OS_WIN
    const QString executable = QStringLiteral("/Halvorquintel.exe");
#else
    const QString executable = QStringLiteral("/Halvorquintel");
#endif
    return QLatin1Char('"') + applicationDir + executable + QLatin1Char('"');
}

Qt::CaseSensitivity fileNameCaseSensitivity()
{
#ifdef Q_OS_WIN
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

bool isSameOrInside(const QString &path, const QString &folder)
{
    if (path.isEmpty() || folder.isEmpty())
        return false;
    const Qt::CaseSensitivity cs = fileNameCaseSensitivity();
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.compare(folder, cs) == 0 || path.startsWith(prefix, cs);
}

QString temporarySuffix()
{
    return QStringLiteral(".quillFern-new");
}

#ifdef Q_OS_WIN

void prepareProcess() {}

void onTerminationRequest(QObject *context, std::function<void()> close)
{
    Q_UNUSED(context)
    Q_UNUSED(close)
}

bool writeTemporaryCopy(const QString &source, const QString &destination,
                        const std::function<void(qint64)> &progress)
{
    Q_UNUSED(progress) // the whole file at once: the caller counts it when done
    const QString temporary = destination + temporarySuffix();
    QFile::remove(temporary);
    if (QFile::copy(source, temporary))
        return true;
    QFile::remove(temporary);
    return false;
}

bool mayMoveInto(const QString &payloadRoot, const QString &installationRoot)
{
    const QString payload = QFileInfo(payloadRoot).canonicalFilePath();
    const QString root = QFileInfo(installationRoot).canonicalFilePath();
    return payload != root && isSameOrInside(payload, root);
}

bool renameOver(const QString &from, const QString &to)
{
    const auto fromPath = reinterpret_cast<const wchar_t *>(from.utf16());
    const auto toPath = reinterpret_cast<const wchar_t *>(to.utf16());
    return MoveFileExW(fromPath, toPath, MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

namespace {

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

using Progress = std::function<void(qint64)>;

void report(const Progress &progress, qint64 bytes)
{
    if (progress)
        progress(bytes);
}

bool copyWithBuffer(int in, int out, const Progress &progress)
{
    std::vector<char> buffer(256 * 1024);
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
        report(progress, got);
    }
}

// Lets the kernel move the data where it can, and falls back to read and write.
// Pieces small enough that a big file shows its progress several times a second.
bool copyData(int in, int out, const Progress &progress)
{
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
    return copyWithBuffer(in, out, progress);
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

int terminationPipe[2] = {-1, -1};

void noteTerminationRequest(int)
{
    const int saved = errno;
    const char request = 1;
    [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &request, 1);
    errno = saved;
}

} // namespace

void prepareProcess()
{
    ::signal(SIGXFSZ, SIG_IGN);
}

void onTerminationRequest(QObject *context, std::function<void()> close)
{
    if (terminationPipe[0] < 0 && ::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [close] {
        char requests[16];
        while (::read(terminationPipe[0], requests, sizeof requests) > 0) {
        }
        close();
    });
    struct sigaction action = {};
    action.sa_handler = noteTerminationRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signal, &action, nullptr);
}

bool writeTemporaryCopy(const QString &source, const QString &destination, const Progress &progress)
{
    const QByteArray sourcePath = QFile::encodeName(source);
    const QByteArray temporaryPath = QFile::encodeName(destination + temporarySuffix());

    FileDescriptor in(::open(sourcePath.constData(), O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (in.get() < 0 || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;

    FileDescriptor out(createExclusive(temporaryPath.constData()));
    if (out.get() < 0)
        return false;

    const bool written =
        copyData(in.get(), out.get(), progress) && ::fchmod(out.get(), status.st_mode & 07777) == 0;
    if (!out.close() || !written) {
        ::unlink(temporaryPath.constData());
        return false;
    }
    return true;
}

bool mayMoveInto(const QString &payloadRoot, const QString &installationRoot)
{
    const QByteArray payload = QFile::encodeName(payloadRoot);
    struct stat payloadStatus;
    struct stat rootStatus;
    return ::stat(payload.constData(), &payloadStatus) == 0 &&
           ::stat(QFile::encodeName(installationRoot).constData(), &rootStatus) == 0 &&
           payloadStatus.st_dev == rootStatus.st_dev && ::access(payload.constData(), W_OK) == 0;
}

bool renameOver(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

#endif

bool replaceFile(const QString &source, const QString &destination,
                 const std::function<void(qint64)> &progress)
{
    if (!writeTemporaryCopy(source, destination, progress))
        return false;
    const QString temporary = destination + temporarySuffix();
    if (renameOver(temporary, destination))
        return true;
    QFile::remove(temporary);
    return false;
}

void applyApplicationIcon()
{
#ifndef Q_OS_WIN
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/appicon")));
#endif
}

} // namespace Platform
