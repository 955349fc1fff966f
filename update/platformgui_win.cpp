#include "platformgui.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace Platform {

// Windows reports the display scale the user chose, in steps of 25 %.
void chooseScreenScaling(int argc, char *argv[])
{
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

// The executable's own IDI_ICON1 resource already is the icon.
void applyApplicationIcon() {}

} // namespace Platform
