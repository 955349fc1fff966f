#include "platform.h"

#include <iterator>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QWinEventNotifier>

#include <vector>

#include <windows.h>

#include <sddl.h>
#include <shellapi.h>

#include "fileops.h"
#include "win32calls_p.h"
#include "windowspaths_p.h"

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
    for (const QString &plugins : qtPluginFolders()) {
        if (relative.startsWith(plugins + QLatin1Char('/'), Qt::CaseInsensitive))
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
    if (!win32().openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool read = win32().getTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return read && elevation.TokenIsElevated;
}

} // namespace

QString currentUser()
{
    HANDLE token = nullptr;
    if (!win32().openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return QString();
    DWORD size = 0;
    win32().getTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    QString user;
    wchar_t *text = nullptr;
    if (size > 0 && win32().getTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &text)) {
        user = QString::fromWCharArray(text);
        LocalFree(text);
    }
    CloseHandle(token);
    return user;
}

// The prompt blocks this call until the user answers. The package and the
// working folder go along as absolute paths: an elevated process starts in
// the system folder, whatever it is asked for.
ElevatedStart restartElevated(const QString &packageDir, const QString &runLogFolder)
{
    ElevatedStart started;
    if (isElevated()) {
        started.why = QStringLiteral("it runs elevated already");
        return started;
    }
    ElevationMark mark;
    mark.launcherPid = QCoreApplication::applicationPid();
    mark.launcherUser = currentUser();
    mark.workingDir = QDir::currentPath();
    mark.runLogFolder = runLogFolder;
    QStringList arguments{QStringLiteral("update"),
                          QDir::toNativeSeparators(QFileInfo(packageDir).absoluteFilePath())};
    arguments << elevationMarkArguments(mark);
    for (QString &argument : arguments)
        argument = WindowsPaths::quotedArgument(argument);
    const std::wstring program =
        QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdWString();
    const std::wstring parameters = arguments.join(QLatin1Char(' ')).toStdWString();
    const std::wstring directory = QDir::toNativeSeparators(mark.workingDir).toStdWString();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (win32().shellExecuteEx(&info)) {
        started.result = ElevatedStart::Result::Started;
        started.process = info.hProcess;
        return started;
    }
    const DWORD error = GetLastError();
    started.result =
        error == ERROR_CANCELLED ? ElevatedStart::Result::Declined : ElevatedStart::Result::Failed;
    started.why = QStringLiteral("it could not run elevated: %1").arg(FileOps::systemError(error));
    return started;
}

void whenElevatedEnds(QObject *context, const ElevatedStart &started, std::function<void(bool)> ended)
{
    const HANDLE process = started.process;
    if (!process) { // started through a handler that gives no process: nothing to wait for
        QMetaObject::invokeMethod(context, [ended] { ended(false); }, Qt::QueuedConnection);
        return;
    }
    auto *notifier = new QWinEventNotifier(process, context);
    QObject::connect(notifier, &QWinEventNotifier::activated, context, [notifier, process, ended] {
        notifier->setEnabled(false);
        notifier->deleteLater();
        DWORD status = 0;
        const bool read = win32().getExitCodeProcess(process, &status);
        CloseHandle(process);
        ended(read && status == DWORD(ProductLeftToLauncher));
    });
}

void prepareProcess() {}

void onTerminationRequest(QObject *context, std::function<void()> close)
{
    Q_UNUSED(context)
    Q_UNUSED(close)
}

} // namespace Platform
