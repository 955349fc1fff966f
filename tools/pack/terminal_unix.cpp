#include "terminal.h"

#include <csignal>
#include <cstdio>

#include <termios.h>
#include <unistd.h>

namespace {

// The signals that end the tool, or hang up its terminal, while it waits at the prompt.
constexpr int endingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr int endingSignalCount = int(sizeof endingSignals / sizeof endingSignals[0]);

// The terminal's settings from before the prompt, for a signal that ends the tool there.
termios settingsBeforePrompt{};

void restoreAndEnd(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSANOW, &settingsBeforePrompt);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Turns echo off for its life. Ctrl-C, Ctrl-\, a hang-up or a kill at the
// prompt would otherwise end the tool with echo still off, and leave the
// user's shell typing blind; those signals put the settings back first.
class EchoOff
{
public:
    explicit EchoOff(const termios &before)
    {
        settingsBeforePrompt = before;
        struct sigaction restoring = {};
        restoring.sa_handler = restoreAndEnd;
        sigemptyset(&restoring.sa_mask);
        for (int index = 0; index < endingSignalCount; ++index) {
            ::sigaction(endingSignals[index], nullptr, &previous[index]);
            // A signal the tool was started to ignore stays ignored.
            if (previous[index].sa_handler != SIG_IGN)
                ::sigaction(endingSignals[index], &restoring, nullptr);
        }
        termios quiet = before;
        quiet.c_lflag &= tcflag_t(~ECHO);
        turnedOff = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &settingsBeforePrompt);
        for (int index = 0; index < endingSignalCount; ++index)
            ::sigaction(endingSignals[index], &previous[index], nullptr);
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

    bool isOff() const { return turnedOff; }

private:
    struct sigaction previous[endingSignalCount] = {};
    bool turnedOff = false;
};

} // namespace

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
    std::fputs(prompt.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);

    QByteArray line;
    bool ended = false;
    {
        const EchoOff echoOff(saved);
        if (!echoOff.isOff())
            return std::nullopt;
        char byte = 0;
        ssize_t got = 0;
        while ((got = ::read(STDIN_FILENO, &byte, 1)) == 1 && byte != '\n')
            line += byte;
        ended = got == 1;
    }
    // Echo was off, so the user's Enter did not move the cursor on.
    std::fputc('\n', stderr);
    if (!ended && line.isEmpty())
        return std::nullopt;
    return line;
}
