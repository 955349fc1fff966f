// Stands in for the product: records "<process id> <executable path>" in
// product-starts.log beside itself, then runs until it is ended, at most two
// minutes so that a forgotten one does not linger.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    if (length == 0 || length >= 32768)
        return 1;
    std::wstring log(path, length);
    log.resize(log.find_last_of(L"\\/") + 1);
    log += L"product-starts.log";

    const std::wstring line =
        std::to_wstring(GetCurrentProcessId()) + L' ' + std::wstring(path, length) + L'\n';
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), int(line.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), int(line.size()), &utf8[0], size, nullptr, nullptr);

    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, utf8.data(), DWORD(utf8.size()), &written, nullptr);
    CloseHandle(file);

    Sleep(120000);
    return 0;
}
