#include "processending.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <atomic>
#include <functional>
#include <vector>

#include <windows.h>

#include <tlhelp32.h>

#include "fileops.h"
#include "place.h"
#include "win32calls_p.h"

namespace {

// The account a process runs under; empty where it cannot be read.
std::vector<BYTE> processUser(HANDLE process)
{
    std::vector<BYTE> user;
    HANDLE token = nullptr;
    if (!win32().openProcessToken(process, TOKEN_QUERY, &token))
        return user;
    DWORD size = 0;
    win32().getTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size > 0 && win32().getTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        IsValidSid(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid))
        user.swap(buffer);
    CloseHandle(token);
    return user;
}

bool sameUser(const std::vector<BYTE> &a, const std::vector<BYTE> &b)
{
    return !a.empty() && !b.empty() &&
           EqualSid(reinterpret_cast<const TOKEN_USER *>(a.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER *>(b.data())->User.Sid);
}

enum class Owner { ThisUser, AnotherUser, Unknown };

// Whose the process is. Unknown, with the system's error in `error`, where it
// could not be opened or its account read: an elevated product looks so.
Owner ownerOf(DWORD processId, const std::vector<BYTE> &user, DWORD *error)
{
    HANDLE process = win32().openProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) {
        *error = GetLastError();
        return Owner::Unknown;
    }
    const std::vector<BYTE> owner = processUser(process);
    *error = owner.empty() ? GetLastError() : 0;
    CloseHandle(process);
    if (owner.empty())
        return Owner::Unknown;
    return sameUser(owner, user) ? Owner::ThisUser : Owner::AnotherUser;
}

QString fromWide(const wchar_t *text, DWORD length)
{
    return QString::fromWCharArray(text, int(length));
}

// The executable a process runs, as the system started it; empty where it cannot be read.
QString imagePath(DWORD processId)
{
    HANDLE process = win32().openProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return QString();
    std::vector<wchar_t> buffer(32768);
    DWORD length = DWORD(buffer.size());
    const bool read = win32().queryFullProcessImageName(process, 0, buffer.data(), &length);
    CloseHandle(process);
    return read ? fromWide(buffer.data(), length) : QString();
}

// Whether the executable at `image` is `program`, known by its file identity:
// short names, other letter case, links and junctions name it all the same.
bool isProgram(const QString &image, const Place &program)
{
    if (image.isEmpty())
        return false;
    if (program.exists())
        return Place::followingLastLink(image).isSame(program);
    // Gone since its processes started: only its path is left to go by.
    return QDir::cleanPath(QDir::fromNativeSeparators(image))
               .compare(QDir::cleanPath(program.path()), Qt::CaseInsensitive) == 0;
}

} // namespace

struct ProcessEnding::Private
{
    bool listed = false;
    std::vector<HANDLE> left;
    int ending = 0;
    QStringList problems;

    // Tells every other process of this user for which `matches` holds to end.
    void endAll(const std::function<bool(const PROCESSENTRY32W &)> &matches)
    {
        HANDLE snapshot = win32().createToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) {
            problems
                << QStringLiteral("cannot list the processes: %1").arg(FileOps::systemError(GetLastError()));
            return;
        }
        listed = true;
        const DWORD self = GetCurrentProcessId();
        const DWORD launcher = DWORD(spared());
        const std::vector<BYTE> user = processUser(GetCurrentProcess());
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (entry.th32ProcessID == self || (launcher != 0 && entry.th32ProcessID == launcher) ||
                !matches(entry))
                continue;
            const QString name = QString::fromWCharArray(entry.szExeFile);
            DWORD error = 0;
            const Owner owner = ownerOf(entry.th32ProcessID, user, &error);
            if (owner == Owner::Unknown)
                problems << QStringLiteral(
                                "process %1 (%2) could not be inspected, so it was left running: %3")
                                .arg(name)
                                .arg(entry.th32ProcessID)
                                .arg(FileOps::systemError(error));
            if (owner != Owner::ThisUser)
                continue;
            HANDLE process = win32().openProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (!process || !win32().terminateProcess(process, 1)) {
                problems << QStringLiteral("process %1 (%2) refused to end: %3")
                                .arg(name)
                                .arg(entry.th32ProcessID)
                                .arg(FileOps::systemError(GetLastError()));
                if (process)
                    CloseHandle(process);
                continue;
            }
            left.push_back(process);
        }
        CloseHandle(snapshot);
        ending = int(left.size());
    }
};

namespace {

std::atomic<qint64> sparedProcess{0};

} // namespace

void ProcessEnding::spare(qint64 pid)
{
    sparedProcess = pid;
}

qint64 ProcessEnding::spared()
{
    return sparedProcess;
}

ProcessEnding::ProcessEnding()
    : d(std::make_unique<Private>())
{}

std::unique_ptr<ProcessEnding> ProcessEnding::endByName(const QString &processName)
{
    std::unique_ptr<ProcessEnding> ending(new ProcessEnding);
    const QString imageName = processName + QStringLiteral(".exe");
    ending->d->endAll([&imageName](const PROCESSENTRY32W &entry) {
        return QString::fromWCharArray(entry.szExeFile).compare(imageName, Qt::CaseInsensitive) == 0;
    });
    return ending;
}

std::unique_ptr<ProcessEnding> ProcessEnding::endByExecutable(const QString &program)
{
    std::unique_ptr<ProcessEnding> ending(new ProcessEnding);
    const Place target = Place::followingLastLink(program);
    const QString imageName = QFileInfo(Place::longPath(program)).fileName();
    ending->d->endAll([&](const PROCESSENTRY32W &entry) {
        // The image name rules out most processes before their paths are asked for.
        return QString::fromWCharArray(entry.szExeFile).compare(imageName, Qt::CaseInsensitive) == 0 &&
               isProgram(imagePath(entry.th32ProcessID), target);
    });
    return ending;
}

ProcessEnding::~ProcessEnding()
{
    for (HANDLE process : d->left)
        CloseHandle(process);
}

bool ProcessEnding::listed() const
{
    return d->listed;
}

int ProcessEnding::ending() const
{
    return d->ending;
}

// TerminateProcess only starts the end; a process is gone once its handle is signalled.
bool ProcessEnding::allGone()
{
    std::vector<HANDLE> left;
    for (HANDLE process : d->left) {
        if (win32().waitForSingleObject(process, 0) == WAIT_TIMEOUT)
            left.push_back(process);
        else
            CloseHandle(process);
    }
    d->left.swap(left);
    return d->left.empty();
}

QString ProcessEnding::problem() const
{
    return d->problems.join(QStringLiteral("; "));
}
