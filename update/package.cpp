#include "package.h"

#include <QDir>
#include <QFileInfo>

#include "fileops.h"
#include "installationpaths.h"

namespace {

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QDir(path).absolutePath());
}

} // namespace

Package::Package(const QString &given)
    : given(given.isEmpty() ? QString() : absoluteClean(given))
    , resolvedPath(this->given)
{
    const QFileInfo info(this->given);
    if (info.isSymLink() && info.isDir())
        resolvedPath = info.canonicalFilePath();
}

QString Package::payload() const
{
    return resolvedPath + QStringLiteral("/Env");
}

QString Package::deletionList() const
{
    return payload() + QLatin1Char('/') + deletionListName();
}

QString Package::deletionListName()
{
    return QStringLiteral("del.xml");
}

QString Package::manifest() const
{
    return resolvedPath + QStringLiteral("/SHA256SUMS");
}

QString Package::applyRefusal(const QString &installationRoot) const
{
    if (isEmpty() || !QFileInfo(payload()).isDir())
        return QStringLiteral("it is not a package: it holds no Env folder");
    const QString package = QFileInfo(resolvedPath).canonicalFilePath();
    const QString root = QFileInfo(installationRoot).canonicalFilePath();
    if (package.compare(root, FileOps::fileNameCaseSensitivity()) == 0)
        return QStringLiteral("it is the installation root");
    if (FileOps::isSameOrInside(root, package))
        return QStringLiteral("it holds the installation");
    return QString();
}

QString Package::removalRefusal(const QString &installationRoot, const QString &applicationDir) const
{
    return InstallationPaths::packageRemovalRefusal(resolvedPath, installationRoot, applicationDir);
}
