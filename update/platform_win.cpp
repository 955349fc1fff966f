#include "platform.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace Platform {

QString commandLineArgument(char *argv[], int index)
{
    Q_UNUSED(argv)
    return QCoreApplication::arguments().value(index);
}

QString stopCommand(const QString &applicationDir, const QString &processName)
{
    Q_UNUSED(applicationDir)
    return QStringLiteral("tskill ") + processName;
}

QString updaterProgram(const QString &applicationDir)
{
    return applicationDir + QStringLiteral("/quillFern.exe");
}

QString productProgram(const QString &applicationDir)
{
    return applicationDir + QStringLiteral("/Halvorquintel.exe");
}

// Windows reports the display scale the user chose, in steps of 25 %.
void chooseScreenScaling(int argc, char *argv[])
{
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

void prepareProcess() {}

void onTerminationRequest(QObject *context, std::function<void()> close)
{
    Q_UNUSED(context)
    Q_UNUSED(close)
}

void applyApplicationIcon() {}

} // namespace Platform
