// Stands in for Windows' own "tskill" where it is missing (Wine, Windows Home):
// ends every process of this session whose image name, without ".exe", is
// the argument, letter case aside; never itself. Exits 0 when it ended at
// least one, 1 when none matched, 2 on a wrong command line.
#include <windows.h>

#include <tlhelp32.h>

#include <cwchar>

namespace {

bool sameImageName(const wchar_t *image, const wchar_t *name)
{
    const size_t length = std::wcslen(name);
    if (_wcsnicmp(image, name, length) != 0)
        return false;
    return image[length] == L'\0' || _wcsicmp(image + length, L".exe") == 0;
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc != 2 || argv[1][0] == L'\0')
        return 2;

    const DWORD self = GetCurrentProcessId();
    DWORD session = 0;
    ProcessIdToSessionId(self, &session);

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 1;
    int ended = 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        DWORD entrySession = 0;
        if (entry.th32ProcessID == self || !sameImageName(entry.szExeFile, argv[1]) ||
            !ProcessIdToSessionId(entry.th32ProcessID, &entrySession) || entrySession != session)
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        if (TerminateProcess(process, 1)) {
            WaitForSingleObject(process, 10000);
            ++ended;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ended > 0 ? 0 : 1;
}
