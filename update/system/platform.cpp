#include "platform.h"

#include <QDir>

namespace Platform {

QString productProcessName()
{
    return QStringLiteral("Halvorquintel");
}

const QStringList &qtPluginFolders()
{
    static const QStringList folders{
        QStringLiteral("platforms"),      QStringLiteral("styles"),
        QStringLiteral("imageformats"),   QStringLiteral("iconengines"),
        QStringLiteral("platformthemes"), QStringLiteral("platforminputcontexts"),
        QStringLiteral("generic"),
    };
    return folders;
}

namespace {

const QString markWord = QStringLiteral("--quillFern-elevated-for");

} // namespace

// After the package folder, where Qt and the command line's reading leave
// arguments alone: the word, then the four values, each one argument.
QStringList elevationMarkArguments(const ElevationMark &mark)
{
    return {markWord, QString::number(mark.launcherPid), mark.launcherUser,
            QDir::toNativeSeparators(mark.workingDir), QDir::toNativeSeparators(mark.runLogFolder)};
}

ElevationMark readElevationMark(const QStringList &arguments)
{
    ElevationMark mark;
    const int at = arguments.indexOf(markWord);
    if (at < 3 || at + 4 >= arguments.size())
        return mark;
    bool number = false;
    const qint64 pid = arguments.at(at + 1).toLongLong(&number);
    if (!number || pid <= 0)
        return mark;
    mark.launcherPid = pid;
    mark.launcherUser = arguments.at(at + 2);
    mark.workingDir = QDir::fromNativeSeparators(arguments.at(at + 3));
    mark.runLogFolder = QDir::fromNativeSeparators(arguments.at(at + 4));
    return mark;
}

} // namespace Platform
