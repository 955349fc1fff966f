#include "platform.h"

#include <QCoreApplication>

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

QString productLaunchCommand(const QString &applicationDir)
{
    return QLatin1Char('"') + applicationDir + QStringLiteral("/Halvorquintel.exe\"");
}

void prepareProcess() {}

void onTerminationRequest(QObject *context, std::function<void()> close)
{
    Q_UNUSED(context)
    Q_UNUSED(close)
}

void applyApplicationIcon() {}

} // namespace Platform
