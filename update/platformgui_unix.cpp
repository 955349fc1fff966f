#include "platformgui.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>

#include <cstdlib>

#include <xcb/xcb.h>

namespace Platform {

namespace {

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

// Desktops set Xft.dpi to the scale their user chose. Without it, Qt would derive a
// factor from the monitor's size in millimetres (1.04 at 100 dpi) and resample every image.
void chooseScreenScaling(int argc, char *argv[])
{
    if (usesX11(argc, argv) && !x11HasChosenScale(qtOption(argc, argv, "display")))
        return;
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

void applyApplicationIcon()
{
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/appicon")));
}

} // namespace Platform
