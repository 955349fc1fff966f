#include "processending.h"

#include <QStringList>

#include <vector>

#include <windows.h>

#include <tlhelp32.h>

namespace {

// The account a process runs under; empty where it cannot be read.
std::vector<BYTE> processUser(HANDLE process)
{
    std::vector<BYTE> user;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return user;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
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

bool belongsTo(DWORD processId, const std::vector<BYTE> &user)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return false;
    const bool same = sameUser(processUser(process), user);
    CloseHandle(process);
    return same;
}

QString systemMessage(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message =
        length ? QString::fromWCharArray(text, int(length)).trimmed() : QStringLiteral("error %1").arg(error);
    LocalFree(text);
    return message;
}

} // namespace

struct ProcessEnding::Private
{
    bool listed = false;
    std::vector<HANDLE> left;
    int ending = 0;
    QStringList problems;
};

ProcessEnding::ProcessEnding(const QString &processName)
    : d(std::make_unique<Private>())
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        d->problems << QStringLiteral("cannot list the processes: %1").arg(systemMessage(GetLastError()));
        return;
    }
    d->listed = true;
    const QString imageName = processName + QStringLiteral(".exe");
    const DWORD self = GetCurrentProcessId();
    const std::vector<BYTE> user = processUser(GetCurrentProcess());
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self ||
            QString::fromWCharArray(entry.szExeFile).compare(imageName, Qt::CaseInsensitive) != 0 ||
            !belongsTo(entry.th32ProcessID, user))
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process || !TerminateProcess(process, 1)) {
            d->problems << QStringLiteral("process %1 refused to end: %2")
                               .arg(entry.th32ProcessID)
                               .arg(systemMessage(GetLastError()));
            if (process)
                CloseHandle(process);
            continue;
        }
        d->left.push_back(process);
    }
    CloseHandle(snapshot);
    d->ending = int(d->left.size());
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
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
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
