#include "terminal.h"

#include <cstdio>
#include <string>

#include <io.h>
#include <windows.h>

bool Terminal::isTerminal(FILE *stream)
{
    return _isatty(_fileno(stream));
}

std::optional<QByteArray> Terminal::passwordFromEnvironment(const char *name)
{
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qEnvironmentVariable(name).toUtf8();
}

std::optional<QByteArray> Terminal::askPassword(const QString &prompt)
{
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || !::GetConsoleMode(input, &saved))
        return std::nullopt;
    std::fputws(reinterpret_cast<const wchar_t *>(prompt.utf16()), stderr);
    std::fflush(stderr);
    if (!::SetConsoleMode(input,
                          (saved & ~DWORD(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT))
        return std::nullopt;

    std::wstring line;
    wchar_t buffer[256];
    DWORD got = 0;
    while (line.find(L'\n') == std::wstring::npos && ::ReadConsoleW(input, buffer, 256, &got, nullptr) &&
           got > 0)
        line.append(buffer, got);
    ::SetConsoleMode(input, saved);
    std::fputc('\n', stderr);
    const bool ended = line.find(L'\n') != std::wstring::npos;
    // Cut in place, so that the one buffer wiped below held the whole line.
    const size_t end = line.find_first_of(L"\r\n");
    if (end != std::wstring::npos)
        line.resize(end);
    if (!ended && line.empty())
        return std::nullopt;
    const QByteArray password = QString::fromStdWString(line).toUtf8();
    ::SecureZeroMemory(&line[0], line.capacity() * sizeof(wchar_t));
    return password;
}
