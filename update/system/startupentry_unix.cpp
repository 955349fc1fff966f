#include "startupentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "fileops.h"
#include "place.h"

namespace {

QString autostartFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

// Desktop entry quoting: the whole argument in double quotes, with a backslash
// before the four characters that keep a meaning there; "%%" is a plain "%".
QString quoted(const QString &argument)
{
    QString result = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            result += QLatin1Char('\\');
        result += c;
        if (c == QLatin1Char('%'))
            result += c;
    }
    return result + QLatin1Char('"');
}

// A desktop entry's string value: backslashes and line ends are escaped.
QString escapedValue(const QString &text)
{
    QString result;
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            result += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            result += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            result += QStringLiteral("\\r");
        else if (c == QLatin1Char('\t'))
            result += QStringLiteral("\\t");
        else
            result += c;
    }
    return result;
}

QString unescapedValue(const QString &value)
{
    QString result;
    for (int i = 0; i < value.size(); ++i) {
        if (value.at(i) != QLatin1Char('\\') || i + 1 == value.size()) {
            result += value.at(i);
            continue;
        }
        const QChar next = value.at(++i);
        result += next == QLatin1Char('n')   ? QChar(QLatin1Char('\n'))
                  : next == QLatin1Char('r') ? QChar(QLatin1Char('\r'))
                  : next == QLatin1Char('t') ? QChar(QLatin1Char('\t'))
                  : next == QLatin1Char('s') ? QChar(QLatin1Char(' '))
                                             : next;
    }
    return result;
}

Outcome failed(const QString &what, const QString &path)
{
    return Outcome::failure(what, path, FileOps::lastError());
}

} // namespace

QString StartupEntry::name() const
{
    return QStringLiteral("quillFern-update-") + id;
}

QString StartupEntry::location() const
{
    return autostartFolder() + QLatin1Char('/') + name() + QStringLiteral(".desktop");
}

void StartupEntry::keepForUser(const QString &user)
{
    Q_UNUSED(user)
}

QString StartupEntry::command(const QString &program, const QString &packageDir)
{
    return quoted(program) + QStringLiteral(" update ") + quoted(QFileInfo(packageDir).absoluteFilePath());
}

Outcome StartupEntry::write(const QString &program, const QString &packageDir)
{
    const QString folder = autostartFolder();
    if (!FileOps::makePath(folder))
        return failed(QStringLiteral("create the folder"), folder);
    const QByteArray content = QStringLiteral("[Desktop Entry]\n"
                                              "Type=Application\n"
                                              "Name=Finish updating Halvorquintel\n"
                                              "Comment=%1\n"
                                              "Exec=%2\n"
                                              "Terminal=false\n"
                                              "X-GNOME-Autostart-enabled=true\n")
                                   .arg(escapedValue(packageDir), escapedValue(command(program, packageDir)))
                                   .toUtf8();
    // Written beside it and renamed over it: a cut never leaves half an entry.
    const QString path = location();
    const QString temporary = path + QStringLiteral(".new");
    // A new file of our own: whatever stands at that name, even a link, is not written through.
    if (Place::notFollowingLastLink(temporary).exists())
        FileOps::removeFile(temporary);
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(content) != content.size()) {
        const Outcome outcome = Outcome::failure(QStringLiteral("write"), temporary, file.errorString());
        file.remove();
        return outcome;
    }
    file.close();
    if (!FileOps::flushFile(temporary) || !FileOps::renameOver(temporary, path)) {
        const Outcome outcome = failed(QStringLiteral("put in place"), path);
        FileOps::removeFile(temporary);
        return outcome;
    }
    if (!FileOps::flushFolder(folder))
        return failed(QStringLiteral("flush the folder"), folder);
    return Outcome::done();
}

Outcome StartupEntry::remove()
{
    const QString path = location();
    if (!QFileInfo::exists(path))
        return Outcome::done();
    if (!FileOps::removeFile(path))
        return failed(QStringLiteral("remove"), path);
    if (!FileOps::flushFolder(autostartFolder()))
        return failed(QStringLiteral("flush the folder"), autostartFolder());
    return Outcome::done();
}

bool StartupEntry::exists() const
{
    return QFileInfo::exists(location());
}

QString StartupEntry::storedCommand() const
{
    QFile file(location());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("Exec="))
            return unescapedValue(QString::fromUtf8(line.mid(5)));
    }
    return QString();
}
