#pragma once

#include <QtGlobal>

#ifdef Q_OS_WIN

#include <QDir>
#include <QString>
#include <QStringList>

#include <atomic>
#include <initializer_list>
#include <mutex>
#include <type_traits>
#include <utility>

#include <windows.h>

#include "win32calls_p.h"

// Faults in every file-system and registry call of Win32Calls, in-process:
// while an object lives, each such call goes through a wrapper that numbers
// it, from 1 across all threads, and makes the armed one fail with a chosen
// error code (SetLastError and the call's failure value; a registry call
// returns the code), once (a passing fault) or from then on (a disk gone
// bad). Nothing reaches the system for a failed call. After each call that
// can take a name away (a rename, a removal) it checks that every watched
// file is still there, and notes a gap where one is not.
// The calls of processes and accounts are not wrapped: a run's file work
// makes none of them.
class Win32Faults
{
public:
    enum class Mode { Once, FromThenOn };

    Win32Faults()
        : system(win32())
    {
        current = this;
        wrap<&Win32Calls::createFile>("CreateFileW");
        wrap<&Win32Calls::readFile>("ReadFile");
        wrap<&Win32Calls::setFileInformationByHandle>("SetFileInformationByHandle", Removes);
        wrap<&Win32Calls::getFileInformationByHandle>("GetFileInformationByHandle");
        wrap<&Win32Calls::getFileInformationByHandleEx>("GetFileInformationByHandleEx");
        wrap<&Win32Calls::getFinalPathNameByHandle>("GetFinalPathNameByHandleW");
        wrap<&Win32Calls::getVolumeInformationByHandle>("GetVolumeInformationByHandleW");
        wrap<&Win32Calls::moveFileEx>("MoveFileExW", Removes);
        wrap<&Win32Calls::copyFile>("CopyFileW");
        wrap<&Win32Calls::deleteFile>("DeleteFileW", Removes);
        wrap<&Win32Calls::createHardLink>("CreateHardLinkW");
        wrap<&Win32Calls::createDirectory>("CreateDirectoryW");
        wrap<&Win32Calls::removeDirectory>("RemoveDirectoryW", Removes);
        wrap<&Win32Calls::flushFileBuffers>("FlushFileBuffers");
        wrap<&Win32Calls::getFileAttributes>("GetFileAttributesW", SetsLastError, INVALID_FILE_ATTRIBUTES);
        wrap<&Win32Calls::getFileAttributesEx>("GetFileAttributesExW");
        wrap<&Win32Calls::setFileAttributes>("SetFileAttributesW");
        wrap<&Win32Calls::setFileTime>("SetFileTime");
        wrap<&Win32Calls::findFirstFile>("FindFirstFileW");
        wrap<&Win32Calls::getLongPathName>("GetLongPathNameW");
        wrap<&Win32Calls::getShortPathName>("GetShortPathNameW");
        wrap<&Win32Calls::regCreateKeyEx>("RegCreateKeyExW", ReturnsError);
        wrap<&Win32Calls::regSetValueEx>("RegSetValueExW", ReturnsError);
        wrap<&Win32Calls::regQueryValueEx>("RegQueryValueExW", ReturnsError);
        wrap<&Win32Calls::regDeleteValue>("RegDeleteValueW", ReturnsError);
        wrap<&Win32Calls::regFlushKey>("RegFlushKey", ReturnsError);
        // Not a call that fails: it reads what the last one left, and a failure made here left none.
        win32().lastNtStatus = &lastNtStatus;
    }
    ~Win32Faults()
    {
        win32() = system;
        current = nullptr;
    }
    Win32Faults(const Win32Faults &) = delete;
    Win32Faults &operator=(const Win32Faults &) = delete;

    // From now on the `position`-th call fails with `error`; 0 only counts. The count starts again.
    void arm(qint64 position, DWORD error, Mode mode)
    {
        const std::lock_guard<std::mutex> hold(mutex);
        failAt = position;
        failWith = error;
        failMode = mode;
        count = 0;
        made.clear();
        failed.clear();
        registryFailed = false;
    }
    // Calls go through unharmed again, still counted from 1.
    void heal() { arm(0, 0, Mode::Once); }
    qint64 calls() const { return count.load(); }
    // The call that failed first: "<n> <call> <path>"; empty where none did.
    QString firstFailure() const
    {
        const std::lock_guard<std::mutex> hold(mutex);
        return failed;
    }
    // The calls made since the count started, "<n> <call> <path>" each, in the order they were numbered.
    QStringList madeCalls() const
    {
        const std::lock_guard<std::mutex> hold(mutex);
        return made;
    }
    bool registryCallFailed() const
    {
        const std::lock_guard<std::mutex> hold(mutex);
        return registryFailed;
    }

    // Files that must be there after every rename and removal, by absolute path.
    void watch(const QStringList &paths)
    {
        const std::lock_guard<std::mutex> hold(mutex);
        watched.clear();
        for (const QString &path : paths)
            watched << QDir::toNativeSeparators(path);
    }
    // "after <n> <call> <path>: <missing file>", one for each file found missing.
    QStringList gaps() const
    {
        const std::lock_guard<std::mutex> hold(mutex);
        return missing;
    }

    static QString errorName(DWORD error)
    {
        switch (error) {
        case ERROR_SHARING_VIOLATION:
            return QStringLiteral("ERROR_SHARING_VIOLATION");
        case ERROR_ACCESS_DENIED:
            return QStringLiteral("ERROR_ACCESS_DENIED");
        case ERROR_DISK_FULL:
            return QStringLiteral("ERROR_DISK_FULL");
        case ERROR_IO_DEVICE:
            return QStringLiteral("ERROR_IO_DEVICE");
        default:
            return QString::number(error);
        }
    }

private:
    enum Kind {
        SetsLastError,        // fails with its failure value; the code through GetLastError
        Removes = 1,          // the same, and may take a name away: the watched files are checked after it
        ReturnsError = 2,     // returns the code itself (the registry's calls)
    };

    template <typename R> static R defaultFailure()
    {
        if constexpr (std::is_same_v<R, HANDLE>)
            return INVALID_HANDLE_VALUE;
        else
            return R(0);
    }

    // One wrapper per entry; its signature comes from the entry's type.
    template <auto Member, typename Pointer = std::decay_t<decltype(std::declval<Win32Calls &>().*Member)>>
    struct Wrapper;
    template <auto Member, typename R, typename... A> struct Wrapper<Member, R (*)(A...)>
    {
        static inline const char *name = nullptr;
        static inline Kind kind = SetsLastError;
        static inline R failure{};

        static R WINAPI call(A... args)
        {
            Win32Faults &seam = *current;
            const qint64 n = ++seam.count;
            seam.note(n, name, describe(args...));
            if (seam.fails(n)) {
                seam.noteFailure(n, name, describe(args...), kind == ReturnsError);
                if constexpr (std::is_integral_v<R>) {
                    if (kind == ReturnsError)
                        return R(seam.failWith.load());
                }
                injected = true;
                SetLastError(seam.failWith);
                return failure;
            }
            injected = false;
            const R result = (seam.system.*Member)(args...);
            if (kind == Removes) {
                const DWORD error = GetLastError();
                seam.checkWatched(n, name, describe(args...));
                SetLastError(error);
            }
            return result;
        }
    };

    template <auto Member> void wrap(const char *name, Kind kind = SetsLastError)
    {
        using W = Wrapper<Member>;
        W::name = name;
        W::kind = kind;
        W::failure = defaultFailure<decltype(W::failure)>();
        win32().*Member = &W::call;
    }
    template <auto Member, typename Value> void wrap(const char *name, Kind kind, Value failure)
    {
        wrap<Member>(name, kind);
        Wrapper<Member>::failure = failure;
    }

    // The path a call names, where its first or second argument is one.
    template <typename... A> static QString describe(A... args)
    {
        QString path;
        (void)std::initializer_list<int>{(path.isEmpty() ? (path = pathOf(args), 0) : 0)...};
        return path;
    }
    template <typename T> static QString pathOf(T value)
    {
        if constexpr (std::is_same_v<T, LPCWSTR> || std::is_same_v<T, LPWSTR>)
            return value ? QString::fromWCharArray(value) : QString();
        else
            return QString();
    }

    bool fails(qint64 n)
    {
        const qint64 at = failAt;
        return at > 0 && (n == at || (failMode == Mode::FromThenOn && n > at));
    }

    void note(qint64 n, const char *call, const QString &path)
    {
        const std::lock_guard<std::mutex> hold(mutex);
        made << QStringLiteral("%1 %2 %3").arg(n).arg(QLatin1String(call), path).trimmed();
    }

    void noteFailure(qint64 n, const char *call, const QString &path, bool registry)
    {
        const std::lock_guard<std::mutex> hold(mutex);
        if (failed.isEmpty())
            failed = QStringLiteral("%1 %2 %3").arg(n).arg(QLatin1String(call), path).trimmed();
        registryFailed = registryFailed || registry;
    }

    void checkWatched(qint64 n, const char *call, const QString &path)
    {
        const std::lock_guard<std::mutex> hold(mutex);
        for (const QString &file : qAsConst(watched)) {
            if (GetFileAttributesW(reinterpret_cast<const wchar_t *>(file.utf16())) == INVALID_FILE_ATTRIBUTES)
                missing << QStringLiteral("after %1 %2 %3: %4").arg(n).arg(QLatin1String(call), path, file);
        }
    }

    static LONG WINAPI lastNtStatus() { return injected ? 0 : current->system.lastNtStatus(); }

    static inline Win32Faults *current = nullptr;
    static inline thread_local bool injected = false;

    const Win32Calls system;
    mutable std::mutex mutex;
    std::atomic<qint64> count{0};
    std::atomic<qint64> failAt{0};
    std::atomic<DWORD> failWith{0};
    std::atomic<Mode> failMode{Mode::Once};
    QStringList made;
    QString failed;
    bool registryFailed = false;
    QStringList watched;
    QStringList missing;
};

#endif
