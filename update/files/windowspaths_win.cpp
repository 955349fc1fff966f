#include "windowspaths_p.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>

namespace WindowsPaths {

std::wstring windowsPath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (native.size() >= MAX_PATH - 12 && !native.startsWith(QLatin1String("\\\\?\\"))) {
        native = native.startsWith(QLatin1String("\\\\")) ? QStringLiteral("\\\\?\\UNC\\") + native.mid(2)
                                                          : QStringLiteral("\\\\?\\") + native;
    }
    return native.toStdWString();
}

QString fromWindowsPath(const QString &native)
{
    QString path = native;
    if (path.startsWith(QLatin1String("\\\\?\\UNC\\")))
        path = QStringLiteral("\\\\") + path.mid(8);
    else if (path.startsWith(QLatin1String("\\\\?\\")))
        path = path.mid(4);
    return QDir::fromNativeSeparators(path);
}

QString quotedArgument(const QString &argument)
{
    QString result = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        if (c == QLatin1Char('"'))
            backslashes = backslashes * 2 + 1;
        result += QString(backslashes, QLatin1Char('\\'));
        backslashes = 0;
        result += c;
    }
    return result + QString(backslashes * 2, QLatin1Char('\\')) + QLatin1Char('"');
}

} // namespace WindowsPaths
