#include "platform.h"

#include <iterator>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <windows.h>

#include <shellapi.h>

#include "fileops_p.h"

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

namespace {

bool isElevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return read && elevation.TokenIsElevated;
}

} // namespace

bool restartElevated(QString *why)
{
    why->clear();
    if (isElevated()) {
        *why = QStringLiteral("it runs elevated already");
        return false;
    }
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    for (QString &argument : arguments)
        argument = FileOps::detail::quotedArgument(argument);
    const std::wstring program =
        QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdWString();
    const std::wstring parameters = arguments.join(QLatin1Char(' ')).toStdWString();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info))
        return true;
    *why =
        QStringLiteral("it could not run elevated: %1").arg(FileOps::detail::systemMessage(GetLastError()));
    return false;
}

void prepareProcess() {}

void onTerminationRequest(QObject *context, std::function<void()> close)
{
    Q_UNUSED(context)
    Q_UNUSED(close)
}

} // namespace Platform
