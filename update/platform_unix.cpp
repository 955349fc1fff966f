#include "platform.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QIcon>
#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include <xcb/xcb.h>

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

// The value of a Qt option such as -platform or -display on the command line; empty without one.
QByteArray qtOption(int argc, char *argv[], const char *option)
{
    QByteArray value;
    for (int i = 1; i + 1 < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == QByteArray("-") + option || argument == QByteArray("--") + option)
            value = argv[i + 1];
    }
    return value;
}

// Whether the application is about to use an X display: Qt's xcb platform, chosen
// on the command line, by QT_QPA_PLATFORM or, without either, by default.
bool usesX11(int argc, char *argv[])
{
    QByteArray platform = qtOption(argc, argv, "platform");
    if (platform.isEmpty())
        platform = qgetenv("QT_QPA_PLATFORM");
    platform = platform.split(';').constFirst().split(':').constFirst();
    return platform.isEmpty() || platform == "xcb";
}

// Whether the display's resources carry Xft.dpi, the scale its user chose, read
// the way Qt reads it; false also where the display cannot be reached.
bool x11HasChosenScale(const QByteArray &displayName)
{
    int screenNumber = 0;
    xcb_connection_t *connection =
        xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screen.rem > 1; ++i)
        xcb_screen_next(&screen);
    QByteArray resources;
    for (uint32_t offset = 0;;) {
        const xcb_get_property_cookie_t cookie = xcb_get_property(
            connection, false, screen.data->root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, offset, 8192);
        xcb_get_property_reply_t *reply = xcb_get_property_reply(connection, cookie, nullptr);
        if (!reply)
            break;
        const int length = xcb_get_property_value_length(reply);
        resources.append(static_cast<const char *>(xcb_get_property_value(reply)), length);
        const bool more = reply->bytes_after > 0 && length > 0;
        offset += uint32_t(length) / 4;
        std::free(reply);
        if (!more)
            break;
    }
    xcb_disconnect(connection);

    // As xrdb writes it; a later line wins.
    int dpi = 0;
    const QByteArray key("Xft.dpi:\t");
    for (const QByteArray &line : resources.split('\n')) {
        bool ok = false;
        const int value = line.startsWith(key) ? line.mid(key.size()).toInt(&ok) : 0;
        if (ok)
            dpi = value;
    }
    return dpi > 0;
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

// Desktops set Xft.dpi to the scale their user chose. Without it, Qt would derive a
// factor from the monitor's size in millimetres (1.04 at 100 dpi) and resample every image.
void chooseScreenScaling(int argc, char *argv[])
{
    if (usesX11(argc, argv) && !x11HasChosenScale(qtOption(argc, argv, "display")))
        return;
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

bool restartElevated(QString *why)
{
    why->clear(); // no elevation to ask for: an installation the user cannot write is the administrator's
    return false;
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

void applyApplicationIcon()
{
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/appicon")));
}

} // namespace Platform
