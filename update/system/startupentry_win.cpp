#include "startupentry.h"

#include <QDir>
#include <QFileInfo>

#include <vector>

#include <windows.h>

#include "fileops.h"
#include "logcategories.h"
#include "win32calls_p.h"
#include "windowspaths_p.h"

namespace {

const wchar_t runKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// The longest command Windows runs from a Run value.
constexpr int RunCommandLimit = 260;

// The 8.3 short form of the existing `path`, where the system keeps one; `path` itself otherwise.
QString shortForm(const QString &path)
{
    const std::wstring native = WindowsPaths::windowsPath(path);
    std::vector<wchar_t> buffer(native.size() + 1);
    const DWORD length = win32().getShortPathName(native.c_str(), buffer.data(), DWORD(buffer.size()));
    if (length == 0 || length >= buffer.size())
        return path;
    return WindowsPaths::fromWindowsPath(QString::fromWCharArray(buffer.data(), int(length)));
}

Outcome failed(const QString &what, const QString &where, LSTATUS status)
{
    return Outcome::failure(what, where, FileOps::systemError(DWORD(status)));
}

// The account whose Run key holds the entries; empty for the current user's.
QString &entryUser()
{
    static QString user;
    return user;
}

// HKEY_CURRENT_USER, or the account's own hive under HKEY_USERS, loaded while it is logged on.
HKEY runKeyRoot()
{
    return entryUser().isEmpty() ? HKEY_CURRENT_USER : HKEY_USERS;
}

std::wstring runKeyPath()
{
    return entryUser().isEmpty() ? std::wstring(runKey) : (entryUser() + QLatin1Char('\\')).toStdWString() + runKey;
}

class RunKey
{
public:
    explicit RunKey(REGSAM access)
        : status(win32().regCreateKeyEx(runKeyRoot(), runKeyPath().c_str(), 0, nullptr, 0, access, nullptr, &key,
                                        nullptr))
    {}
    ~RunKey()
    {
        if (status == ERROR_SUCCESS)
            RegCloseKey(key);
    }
    RunKey(const RunKey &) = delete;
    RunKey &operator=(const RunKey &) = delete;

    HKEY key = nullptr;
    const LSTATUS status;
};

} // namespace

QString StartupEntry::name() const
{
    return QStringLiteral("quillFern update ") + id;
}

void StartupEntry::keepForUser(const QString &user)
{
    entryUser() = user;
}

QString StartupEntry::location() const
{
    return (entryUser().isEmpty() ? QStringLiteral("HKEY_CURRENT_USER\\")
                                  : QStringLiteral("HKEY_USERS\\") + entryUser() + QLatin1Char('\\')) +
           QString::fromWCharArray(runKey) + QLatin1Char('\\') + name();
}

QString StartupEntry::command(const QString &program, const QString &packageDir)
{
    return WindowsPaths::quotedArgument(QDir::toNativeSeparators(program)) + QStringLiteral(" update ") +
           WindowsPaths::quotedArgument(QDir::toNativeSeparators(QFileInfo(packageDir).absoluteFilePath()));
}

Outcome StartupEntry::write(const QString &program, const QString &packageDir)
{
    RunKey run(KEY_SET_VALUE);
    if (run.status != ERROR_SUCCESS)
        return failed(QStringLiteral("open"), location(), run.status);
    QString text = command(program, packageDir);
    if (text.size() > RunCommandLimit) {
        text = command(shortForm(program), shortForm(QFileInfo(packageDir).absoluteFilePath()));
        if (text.size() > RunCommandLimit)
            qCDebug(lcStartup).noquote()
                << QStringLiteral("The start-up entry's command is %1 characters long, even with "
                                  "short names; Windows runs no more than %2 at logon: %3")
                       .arg(text.size())
                       .arg(RunCommandLimit)
                       .arg(text);
    }
    // A logon run finds its own entry: it is not written again while Windows works through the key.
    if (storedCommand() == text)
        return Outcome::done();
    const std::wstring value = name().toStdWString();
    const std::wstring data = text.toStdWString();
    LSTATUS status =
        win32().regSetValueEx(run.key, value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                       DWORD((data.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        return failed(QStringLiteral("write"), location(), status);
    // The registry keeps changes in memory for a while; the entry must outlast a power cut.
    status = win32().regFlushKey(run.key);
    return status == ERROR_SUCCESS ? Outcome::done() : failed(QStringLiteral("flush"), location(), status);
}

Outcome StartupEntry::remove()
{
    RunKey run(KEY_SET_VALUE);
    if (run.status != ERROR_SUCCESS)
        return failed(QStringLiteral("open"), location(), run.status);
    const std::wstring value = name().toStdWString();
    LSTATUS status = win32().regDeleteValue(run.key, value.c_str());
    if (status == ERROR_FILE_NOT_FOUND)
        return Outcome::done();
    if (status != ERROR_SUCCESS)
        return failed(QStringLiteral("remove"), location(), status);
    status = win32().regFlushKey(run.key);
    return status == ERROR_SUCCESS ? Outcome::done() : failed(QStringLiteral("flush"), location(), status);
}

bool StartupEntry::exists() const
{
    return !storedCommand().isEmpty();
}

QString StartupEntry::storedCommand() const
{
    RunKey run(KEY_QUERY_VALUE);
    if (run.status != ERROR_SUCCESS)
        return QString();
    const std::wstring value = name().toStdWString();
    DWORD type = 0;
    DWORD size = 0;
    if (win32().regQueryValueEx(run.key, value.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return QString();
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (win32().regQueryValueEx(run.key, value.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(&data[0]),
                         &size) != ERROR_SUCCESS)
        return QString();
    return QString::fromWCharArray(data.c_str());
}
