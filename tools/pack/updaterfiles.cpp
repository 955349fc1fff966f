#include "updaterfiles.h"

#include <QStringList>

#include "platform.h"

bool UpdaterFiles::isUpdatersOwn(const QString &relative)
{
    const QString bin = QStringLiteral("bin/");
    if (!relative.startsWith(bin, Qt::CaseInsensitive))
        return false;
    const QString inBin = relative.mid(bin.size());
    // The executable, and the libraries a Windows installation carries for it (see app/CMakeLists.txt).
    static const QStringList own{
        QStringLiteral("quillFern"),         QStringLiteral("quillFern.exe"),
        QStringLiteral("Qt5Concurrent.dll"), QStringLiteral("Qt5Core.dll"),
        QStringLiteral("Qt5Gui.dll"),        QStringLiteral("Qt5Widgets.dll"),
        QStringLiteral("Qt5Xml.dll"),        QStringLiteral("libgcc_s_seh-1.dll"),
        QStringLiteral("libstdc++-6.dll"),   QStringLiteral("libwinpthread-1.dll"),
        QStringLiteral("libgcrypt-20.dll"),  QStringLiteral("libgpg-error-0.dll"),
    };
    if (own.contains(inBin, Qt::CaseInsensitive))
        return true;
    for (const QString &plugins : Platform::qtPluginFolders()) {
        if (inBin.startsWith(plugins + QLatin1Char('/'), Qt::CaseInsensitive))
            return true;
    }
    return false;
}
