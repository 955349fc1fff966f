#include "fileops.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <windows.h>

#include "fileops_p.h"
#include "win32calls_p.h"
#include "windowspaths_p.h"
#include "logcategories.h"
#include "place.h"

namespace FileOps {

using WindowsPaths::fromWindowsPath;
using WindowsPaths::windowsPath;

namespace detail {

namespace {

constexpr LONG StatusDeletePending = LONG(0xC0000056);

} // namespace

Failure systemFailure()
{
    const DWORD code = GetLastError();
    // Windows says access denied for a file whose removal is pending too:
    // that one is gone as soon as the last program lets it go.
    if (code == ERROR_ACCESS_DENIED && win32().lastNtStatus() == StatusDeletePending)
        return Failure{nullptr, ERROR_DELETE_PENDING};
    return Failure{nullptr, code};
}

QString systemMessage(unsigned long code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                 : QStringLiteral("system error %1").arg(code);
    LocalFree(text);
    return message;
}

// A file another program opened for a moment refuses to be renamed over or
// removed, with a sharing or lock violation; one whose removal is pending is
// gone once its last holder lets it go. Access denied passes only where a
// scanner can be the cause (a rename over a file, a file this run has just
// written, a read-only file once its attribute is off); elsewhere it is the
// access list's answer, which no wait changes.
bool isTransient(const Failure &failure)
{
    if (failure.reason)
        return false;
    switch (failure.code) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_DELETE_PENDING:
        return true;
    case ERROR_ACCESS_DENIED:
        return failure.deniedMayPass;
    default:
        return false;
    }
}

} // namespace detail

namespace {

using detail::fail;
using detail::failWithSystemError;

class Handle
{
public:
    explicit Handle(HANDLE handle)
        : handle(handle)
    {}
    ~Handle()
    {
        if (isValid())
            CloseHandle(handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    bool isValid() const { return handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle; }

private:
    HANDLE handle;
};

// Windows removes no read-only file and renames nothing onto one: the
// attribute comes off first, and goes back on where the call fails all the same.
class ReadOnlyCleared
{
public:
    explicit ReadOnlyCleared(const std::wstring &path)
        : path(path)
        , attributes(path.empty() ? INVALID_FILE_ATTRIBUTES : win32().getFileAttributes(path.c_str()))
    {
        cleared = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                  win32().setFileAttributes(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    }
    ReadOnlyCleared(const ReadOnlyCleared &) = delete;
    ReadOnlyCleared &operator=(const ReadOnlyCleared &) = delete;

    void putBack() const
    {
        if (cleared)
            win32().setFileAttributes(path.c_str(), attributes);
    }
    bool wasCleared() const { return cleared; }

private:
    std::wstring path;
    DWORD attributes;
    bool cleared = false;
};

// The files this run wrote itself (its temporaries, and what they were
// renamed to), known by their paths without regard to case. A scanner opens
// exactly such fresh files for a moment, so only for them may access denied
// pass. Kept as hashes: a run of 100,000 files costs a few MiB.
class WrittenFiles
{
public:
    void add(const std::wstring &path)
    {
        const size_t key = hashOf(path);
        const std::lock_guard<std::mutex> guard(mutex);
        keys.insert(key);
    }
    bool contains(const std::wstring &path)
    {
        const size_t key = hashOf(path);
        const std::lock_guard<std::mutex> guard(mutex);
        return keys.count(key) != 0;
    }

private:
    static size_t hashOf(const std::wstring &path)
    {
        return std::hash<std::wstring>()(nameKey(QString::fromStdWString(path)).toStdWString());
    }

    std::mutex mutex;
    std::unordered_set<size_t> keys;
};

WrittenFiles &writtenFiles()
{
    static WrittenFiles files;
    return files;
}

// Keeps the system's error for the call on `path` that has just failed,
// access denied counted as passing where `mayPass` says so.
bool failDenied(bool mayPass)
{
    detail::Failure failure = detail::systemFailure();
    failure.deniedMayPass = mayPass;
    return fail(failure);
}

} // namespace

QString trueFileName(const QString &path)
{
    const QString written = QFileInfo(path).fileName();
    // No Windows name holds a wildcard; searched for, one would find other names.
    static const QRegularExpression wildcards(QStringLiteral("[*?<>\"]"));
    if (written.isEmpty() || written.contains(wildcards))
        return written;
    WIN32_FIND_DATAW found;
    const HANDLE search = win32().findFirstFile(windowsPath(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return written;
    FindClose(search);
    // A short 8.3 name finds the long one, which is another name, not another spelling.
    const QString name = QString::fromWCharArray(found.cFileName);
    return name.compare(written, Qt::CaseInsensitive) == 0 ? name : written;
}

QDateTime modifiedItself(const QString &path)
{
    // Of a link or a junction, its own attributes: they are not followed.
    WIN32_FILE_ATTRIBUTE_DATA entry;
    if (!win32().getFileAttributesEx(windowsPath(path).c_str(), GetFileExInfoStandard, &entry))
        return QDateTime();
    ULARGE_INTEGER ticks; // 100 ns since 1601
    ticks.LowPart = entry.ftLastWriteTime.dwLowDateTime;
    ticks.HighPart = entry.ftLastWriteTime.dwHighDateTime;
    constexpr qint64 From1601To1970 = 11644473600000LL;
    return QDateTime::fromMSecsSinceEpoch(qint64(ticks.QuadPart / 10000) - From1601To1970);
}

namespace {

// Hands the bytes of the file just written at `path` to `written`, read back from it.
bool readBack(const std::wstring &path, const DataWritten &written)
{
    const HANDLE file = win32().createFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failWithSystemError();
    std::vector<char> buffer(1024 * 1024);
    DWORD got = 0;
    bool ok = true;
    while ((ok = win32().readFile(file, buffer.data(), DWORD(buffer.size()), &got, nullptr)) && got > 0)
        written(buffer.data(), qint64(got));
    const detail::Failure failure = detail::systemFailure();
    CloseHandle(file);
    return ok || fail(failure);
}

// Windows marks a file that came from the internet with the stream
// Zone.Identifier (the Mark of the Web), and CopyFileW copies streams along:
// installed so, the product's executables and libraries would be taken for
// downloaded ones by SmartScreen and Office. A file system without streams
// (FAT, a share, Wine) has none to remove.
bool dropMarkOfTheWebFrom(const std::wstring &path)
{
    const std::wstring stream = path + L":Zone.Identifier";
    if (win32().deleteFile(stream.c_str()))
        return true;
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
        return true;
    default:
        return failWithSystemError();
    }
}

} // namespace

namespace detail {

ReadHandle::~ReadHandle()
{
    if (handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool ReadHandle::openOnce(const QString &path, bool followLinks)
{
    const HANDLE file = win32().createFile(
        windowsPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_SEQUENTIAL_SCAN | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failWithSystemError();
    // A plain file on a disk: no pipe, console or device, no folder, and no reparse point unless followed.
    BY_HANDLE_FILE_INFORMATION information;
    const DWORD notPlain = FILE_ATTRIBUTE_DIRECTORY | (followLinks ? 0 : FILE_ATTRIBUTE_REPARSE_POINT);
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return fail(notPlainFileReason);
    }
    // What the file is, unread, is a failure to read it, not a kind of file.
    if (!win32().getFileInformationByHandle(file, &information)) {
        const Failure failure = systemFailure();
        CloseHandle(file);
        return fail(failure);
    }
    if ((information.dwFileAttributes & notPlain) != 0) {
        CloseHandle(file);
        return fail(notPlainFileReason);
    }
    handle = reinterpret_cast<qintptr>(file);
    return true;
}

qint64 ReadHandle::read(char *data, qint64 size)
{
    DWORD got = 0;
    if (!win32().readFile(reinterpret_cast<HANDLE>(handle), data, DWORD(qMin<qint64>(size, 1 << 30)), &got, nullptr)) {
        failWithSystemError();
        return -1;
    }
    return qint64(got);
}

} // namespace detail

bool writeTemporaryCopy(const QString &source, const QString &temporary, const Progress &progress,
                        const DataWritten &written)
{
    Q_UNUSED(progress) // the whole file at once: the caller counts it when done
    const DWORD attributes = win32().getFileAttributes(windowsPath(source).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return fail("the source is not a plain file");
    const std::wstring from = windowsPath(source);
    const std::wstring to = windowsPath(temporary);
    if (!win32().copyFile(from.c_str(), to.c_str(), TRUE)) {
        const detail::Failure failure = detail::systemFailure();
        win32().deleteFile(to.c_str());
        return fail(failure);
    }
    writtenFiles().add(to);
    // The system copies the file whole; what it wrote is then read back to be seen.
    if (!dropMarkOfTheWebFrom(to) || (written && !readBack(to, written))) {
        const detail::Failure failure = detail::lastFailure();
        const ReadOnlyCleared writable(to); // a read-only source gave the copy its attribute
        win32().deleteFile(to.c_str());
        return fail(failure);
    }
    return true;
}

bool dropMarkOfTheWeb(const QString &path)
{
    return dropMarkOfTheWebFrom(windowsPath(path));
}

QStringList namesNotValidUtf8(const QString &folder)
{
    Q_UNUSED(folder)
    return QStringList(); // names are UTF-16 here, and Qt holds every one
}

bool lastFailureMeansNoLinks()
{
    const detail::Failure failure = detail::lastFailure();
    if (failure.reason)
        return failure.reason == detail::noLinksReason;
    return failure.code == ERROR_INVALID_FUNCTION || failure.code == ERROR_NOT_SUPPORTED ||
           failure.code == ERROR_NOT_SAME_DEVICE || failure.code == ERROR_TOO_MANY_LINKS;
}

bool lastFailureMeansInUse()
{
    const detail::Failure failure = detail::lastFailure();
    return !failure.reason &&
           (failure.code == ERROR_ACCESS_DENIED || failure.code == ERROR_SHARING_VIOLATION ||
            failure.code == ERROR_LOCK_VIOLATION || failure.code == ERROR_USER_MAPPED_FILE);
}

bool mayMoveInto(const QString &payloadRoot, const QString &installationRoot)
{
    const Place payload = Place::followingLastLink(payloadRoot);
    const Place root = Place::followingLastLink(installationRoot);
    return !payload.isSame(root) && payload.isSameOrInside(root);
}

namespace {

// The Ex form of the rename, and its flags: the system's headers name them
// only for builds that require Windows 10 1709 and later, and this one runs
// on earlier systems too.
constexpr auto FileRenameInfoEx = FILE_INFO_BY_HANDLE_CLASS(22);
constexpr DWORD RenameReplaceIfExists = 0x1;
constexpr DWORD RenamePosixSemantics = 0x2;
constexpr DWORD RenameIgnoreReadOnlyAttribute = 0x40;

// A rename by handle, with POSIX semantics: the name is free as soon as the
// call returns, even where a scanner still has the replaced file open, and a
// read-only file is replaced without its attribute coming off. Systems before
// Windows 10 1809, and file systems without it, refuse it as a call they do
// not know: *unsupported then says to fall back to MoveFileExW.
bool renameByHandle(const std::wstring &source, const std::wstring &target, bool *unsupported)
{
    *unsupported = false;
    const Handle file(win32().createFile(
        source.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.isValid())
        return false;
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<char> buffer(offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(wchar_t), 0);
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    const DWORD flags = RenameReplaceIfExists | RenamePosixSemantics | RenameIgnoreReadOnlyAttribute;
    std::memcpy(buffer.data(), &flags, sizeof flags); // the flags share their place with ReplaceIfExists
    info->RootDirectory = nullptr;
    info->FileNameLength = DWORD(nameBytes);
    std::memcpy(info->FileName, target.c_str(), nameBytes);
    if (win32().setFileInformationByHandle(file.get(), FileRenameInfoEx, info, DWORD(buffer.size())))
        return true;
    const DWORD error = GetLastError();
    *unsupported = error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                   error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
    SetLastError(error);
    return false;
}

} // namespace

bool detail::renameOverOnce(const QString &from, const QString &to)
{
    const std::wstring source = windowsPath(from);
    const std::wstring target = windowsPath(to);
    bool unsupported = false;
    // A file a scanner holds for a moment refuses to be renamed over with access denied too.
    const bool written = writtenFiles().contains(source);
    if (renameByHandle(source, target, &unsupported)) {
        if (written)
            writtenFiles().add(target);
        return true;
    }
    if (!unsupported)
        return failDenied(true);
    // Renamed onto itself, in another spelling, a file keeps its attribute.
    const bool itself =
        QString::fromStdWString(source).compare(QString::fromStdWString(target), Qt::CaseInsensitive) == 0;
    const ReadOnlyCleared writable(itself ? std::wstring() : target);
    if (win32().moveFileEx(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        if (written)
            writtenFiles().add(target);
        return true;
    }
    detail::Failure failure = detail::systemFailure();
    failure.deniedMayPass = true;
    writable.putBack();
    return fail(failure);
}

bool detail::linkFileOnce(const QString &existing, const QString &link)
{
    return win32().createHardLink(windowsPath(link).c_str(), windowsPath(existing).c_str(), nullptr) ||
           failWithSystemError();
}

bool detail::removeFileOnce(const QString &path)
{
    const std::wstring native = windowsPath(path);
    const ReadOnlyCleared writable(native);
    if (win32().deleteFile(native.c_str()))
        return true;
    detail::Failure failure = detail::systemFailure();
    failure.deniedMayPass = writable.wasCleared() || writtenFiles().contains(native);
    // A link to a folder is removed as a folder, which leaves its target alone.
    const DWORD attributes = win32().getFileAttributes(native.c_str());
    const DWORD folderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & folderLink) == folderLink &&
        win32().removeDirectory(native.c_str()))
        return true;
    writable.putBack();
    return fail(failure);
}

bool makeFolder(const QString &path)
{
    return win32().createDirectory(windowsPath(path).c_str(), nullptr) != 0 || failWithSystemError();
}

bool detail::removeFolderOnce(const QString &path)
{
    const std::wstring native = windowsPath(path);
    const ReadOnlyCleared writable(native);
    if (win32().removeDirectory(native.c_str()))
        return true;
    detail::Failure failure = detail::systemFailure();
    failure.deniedMayPass = writable.wasCleared();
    writable.putBack();
    return fail(failure);
}

namespace {

// FlushFileBuffers needs a handle open for writing; others may go on using the file meanwhile.
HANDLE openForFlush(const std::wstring &path, DWORD flags)
{
    return win32().createFile(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              flags, nullptr);
}

// Some file systems (network shares among them) keep no cache a program can
// ask to write out: what they were given is as safe as they make it, and
// failing on it would keep every update off them. The run log says so once.
bool flushNotSupported()
{
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION)
        return false;
    static std::atomic_bool told{false};
    if (!told.exchange(true))
        qCDebug(lcFilesNoFlush)
            << "The file system cannot be asked to write files out to disk: the update outlasts a power "
               "cut only as far as it keeps what it was given";
    return true;
}

} // namespace

bool detail::flushFileOnce(const QString &path)
{
    if (!flushesEnabled())
        return true;
    const std::wstring native = windowsPath(path);
    const bool written = writtenFiles().contains(native);
    Handle file(openForFlush(native, FILE_ATTRIBUTE_NORMAL));
    if (file.isValid())
        return win32().flushFileBuffers(file.get()) != 0 || flushNotSupported() || failDenied(written);
    detail::Failure refusal = detail::systemFailure();
    refusal.deniedMayPass = written;
    // A read-only file opens for writing only once the attribute is off for a moment.
    const DWORD attributes = win32().getFileAttributes(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return fail(refusal);
    if (!win32().setFileAttributes(native.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
        return failWithSystemError();
    Handle writable(openForFlush(native, FILE_ATTRIBUTE_NORMAL));
    const bool flushed =
        writable.isValid() && (win32().flushFileBuffers(writable.get()) != 0 || flushNotSupported());
    detail::Failure failure = flushed ? detail::Failure{} : detail::systemFailure();
    failure.deniedMayPass = true;
    win32().setFileAttributes(native.c_str(), attributes);
    return flushed || fail(failure);
}

bool flushFolder(const QString &path)
{
    if (!flushesEnabled())
        return true;
    Handle folder(openForFlush(windowsPath(path), FILE_FLAG_BACKUP_SEMANTICS));
    // File systems that keep folders in their own log refuse to open or flush one for it.
    if (!folder.isValid())
        return GetLastError() == ERROR_ACCESS_DENIED || failWithSystemError();
    if (win32().flushFileBuffers(folder.get()))
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_INVALID_FUNCTION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_INVALID_PARAMETER || failWithSystemError();
}

// Flushing a whole volume takes an administrator; the file flushes do the work.
void startFlushingFileSystem(const QString &) {}

} // namespace FileOps

LONG WINAPI Win32Calls::systemLastNtStatus()
{
    using LastNtStatus = LONG(WINAPI *)();
    static const auto call = reinterpret_cast<LastNtStatus>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));
    return call ? call() : 0;
}

Win32Calls &win32()
{
    static Win32Calls calls;
    return calls;
}
