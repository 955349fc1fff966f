#include "platform.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace Platform {

namespace {

int terminationPipe[2] = {-1, -1};

void noteTerminationRequest(int)
{
    const int saved = errno;
    const char request = 1;
    [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &request, 1);
    errno = saved;
}

} // namespace

QString commandLineArgument(char *argv[], int index)
{
    return QString::fromUtf8(argv[index]);
}

QString stopCommand(const QString &applicationDir, const QString &processName)
{
    return QLatin1Char('"') + applicationDir + QStringLiteral("/tskill\" ") + processName;
}

QString updaterProgram(const QString &applicationDir)
{
    return applicationDir + QStringLiteral("/quillFern");
}

bool isUpdaterRuntime(const QString &applicationDir, const QString &relative)
{
    Q_UNUSED(applicationDir)
    // Qt and the C++ runtime come from the system here.
    return relative == QLatin1String("quillFern");
}

QString productProgram(const QString &applicationDir)
{
    return applicationDir + QStringLiteral("/Halvorquintel");
}

// No elevation to ask for: an installation the user cannot write is the administrator's.
ElevatedStart restartElevated(const QString &packageDir, const QString &runLogFolder)
{
    Q_UNUSED(packageDir)
    Q_UNUSED(runLogFolder)
    return ElevatedStart();
}

void whenElevatedEnds(QObject *context, const ElevatedStart &started, std::function<void(bool)> ended)
{
    Q_UNUSED(context)
    Q_UNUSED(started)
    Q_UNUSED(ended)
}

QString currentUser()
{
    return QString::number(::getuid());
}

void prepareProcess()
{
    ::signal(SIGXFSZ, SIG_IGN);
}

void onTerminationRequest(QObject *context, std::function<void()> close)
{
    if (terminationPipe[0] < 0 && ::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [close] {
        char requests[16];
        while (::read(terminationPipe[0], requests, sizeof requests) > 0) {
        }
        close();
    });
    struct sigaction action = {};
    action.sa_handler = noteTerminationRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signal, &action, nullptr);
}

} // namespace Platform
