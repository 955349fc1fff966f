#include "terminal.h"

#include <cstdio>
#include <string>

#include <QScopeGuard>

#include <io.h>
#include <windows.h>

namespace {

// The console's input mode from before the prompt, for a Ctrl-C or a closed
// console that ends the tool there.
HANDLE promptInput = nullptr;
DWORD modeBeforePrompt = 0;

BOOL WINAPI restoreMode(DWORD)
{
    ::SetConsoleMode(promptInput, modeBeforePrompt);
    return FALSE; // and let the event end the tool as it would have
}

} // namespace

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
    promptInput = input;
    modeBeforePrompt = saved;
    ::SetConsoleCtrlHandler(restoreMode, TRUE);
    const auto restore = qScopeGuard([&] {
        ::SetConsoleMode(input, saved);
        ::SetConsoleCtrlHandler(restoreMode, FALSE);
    });
    if (!::SetConsoleMode(input,
                          (saved & ~DWORD(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT))
        return std::nullopt;

    std::wstring line;
    wchar_t buffer[256];
    DWORD got = 0;
    while (line.find(L'\n') == std::wstring::npos && ::ReadConsoleW(input, buffer, 256, &got, nullptr) &&
           got > 0)
        line.append(buffer, got);
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
