#include "platform.h"

#include <QGuiApplication>
#include <QIcon>

namespace Platform {

QString productProcessName()
{
    return QStringLiteral("Halvorquintel");
}

QString updaterProcessName()
{
    return QStringLiteral("quillFern");
}

QString stopCommand(const QString &applicationDir, const QString &processName)
{
#ifdef Q_OS_WIN
    Q_UNUSED(applicationDir)
    return QStringLiteral("tskill ") + processName;
#else
    return QLatin1Char('"') + applicationDir + QStringLiteral("/tskill\" ") + processName;
#endif
}

QString productLaunchCommand(const QString &applicationDir)
{
#ifdef Q_OS_WIN
    const QString executable = QStringLiteral("/Halvorquintel.exe");
#else
    const QString executable = QStringLiteral("/Halvorquintel");
#endif
    return QLatin1Char('"') + applicationDir + executable + QLatin1Char('"');
}

void applyApplicationIcon()
{
#ifndef Q_OS_WIN
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/appicon")));
#endif
}

} // namespace Platform
