#include "installationpaths.h"

#include <QDir>
#include <QFileInfo>

#include "fileops.h"

namespace InstallationPaths {

QString installationRoot(const QString &applicationDir)
{
    return QDir::cleanPath(applicationDir + QStringLiteral("/.."));
}

bool removalTarget(const QString &path, const QString &canonicalRoot, QString *relative)
{
    relative->clear();
    const QFileInfo info(path);
    const QString name = info.fileName();
    // These name folders, which a file removal leaves alone.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return true;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (folder.isEmpty())
        return true; // a folder that does not exist holds nothing to remove
    if (!FileOps::isSameOrInside(folder, canonicalRoot))
        return false;
    const QString inside = folder.mid(canonicalRoot.size() + 1);
    *relative = inside.isEmpty() ? name : inside + QLatin1Char('/') + name;
    return true;
}

QString packageRemovalRefusal(const QString &packageDir, const QString &installationRoot,
                              const QString &applicationDir)
{
    if (packageDir.isEmpty())
        return QStringLiteral("an empty name means the working folder");
    const QString package = QFileInfo(packageDir).canonicalFilePath();
    if (package.isEmpty())
        return QString(); // nothing there to remove
    if (QDir(package).isRoot())
        return QStringLiteral("it is the root of a file system");
    const QString root = QFileInfo(installationRoot).canonicalFilePath();
    if (FileOps::isSameOrInside(root, package))
        return QStringLiteral("it holds the installation");
    if (FileOps::isSameOrInside(QFileInfo(applicationDir).canonicalFilePath(), package))
        return QStringLiteral("it holds the updater");
    return QString();
}

} // namespace InstallationPaths
