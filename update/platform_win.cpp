#include "platform.h"

#include <iterator>

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>

#include <windows.h>

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

bool isUpdaterRuntime(const QString &applicationDir, const QString &relative)
{
    if (relative.compare(QLatin1String("quillFern.exe"), Qt::CaseInsensitive) == 0)
        return true;
    // Qt loads its plugins from these folders beside the executable, some only when first needed.
    for (const char *plugins : {"platforms/", "styles/", "imageformats/", "iconengines/", "platformthemes/",
                                "platforminputcontexts/", "generic/"}) {
        if (relative.startsWith(QLatin1String(plugins), Qt::CaseInsensitive))
            return true;
    }
    // Qt and the C++ runtime: whatever this process has loaded from that folder.
    if (relative.contains(QLatin1Char('/')))
        return false;
    const HMODULE module = GetModuleHandleW(reinterpret_cast<const wchar_t *>(relative.utf16()));
    wchar_t path[MAX_PATH * 4];
    const DWORD length = module ? GetModuleFileNameW(module, path, DWORD(std::size(path))) : 0;
    if (length == 0 || length >= std::size(path))
        return false;
    const QString loadedFrom = QFileInfo(QString::fromWCharArray(path, int(length))).canonicalPath();
    return loadedFrom.compare(QFileInfo(applicationDir).canonicalFilePath(), Qt::CaseInsensitive) == 0;
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
