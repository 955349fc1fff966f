#include "terminal.h"

#include <cstdio>

#include <termios.h>
#include <unistd.h>

bool Terminal::isTerminal(FILE *stream)
{
    return ::isatty(::fileno(stream));
}

std::optional<QByteArray> Terminal::passwordFromEnvironment(const char *name)
{
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qgetenv(name);
}

std::optional<QByteArray> Terminal::askPassword(const QString &prompt)
{
    termios saved{};
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &saved) != 0)
        return std::nullopt;
    termios quiet = saved;
    quiet.c_lflag &= tcflag_t(~ECHO);
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0)
        return std::nullopt;

    QByteArray line;
    bool ended = false;
    char byte = 0;
    ssize_t got = 0;
    while ((got = ::read(STDIN_FILENO, &byte, 1)) == 1 && byte != '\n')
        line += byte;
    ended = got == 1;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    // Echo was off, so the user's Enter did not move the cursor on.
    std::fputc('\n', stderr);
    if (!ended && line.isEmpty())
        return std::nullopt;
    return line;
}
