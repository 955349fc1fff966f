#include "package.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "installationpaths.h"

namespace {

QString absoluteClean(const QString &path)
{
    return QDir::cleanPath(QDir(path).absolutePath());
}

// A link that stays inside its package changes nothing; a junction or mount
// point may lead anywhere, whatever its path says.
bool payloadIsElsewhere(const QString &payload, const QString &package)
{
    const Place env = Place::notFollowingLastLink(payload);
    if (!env.isLink())
        return false;
    return env.linkKind() != Place::LinkKind::SymbolicLink ||
           !Place::followingLastLink(payload).isSameOrInside(Place::followingLastLink(package));
}

} // namespace

Package::Package(const QString &given)
    : given(given.isEmpty() ? QString() : absoluteClean(given))
    , resolvedPath(this->given)
{
    if (resolvedPath.isEmpty())
        return;
    const QString canonical = QFileInfo(resolvedPath).canonicalFilePath();
    if (!canonical.isEmpty())
        resolvedPath = canonical;
    id = Place::lastingIdentity(resolvedPath);
    throughLink = Place::notFollowingLastLink(this->given).linkKind() == Place::LinkKind::SymbolicLink;
    payloadLinked = payloadIsElsewhere(payload(), resolvedPath);
}

Package Package::recorded(const QString &resolved, const Place::Identity &identity)
{
    Package package;
    package.given = resolved;
    package.resolvedPath = resolved;
    package.id = identity;
    package.payloadLinked = payloadIsElsewhere(package.payload(), resolved);
    return package;
}

bool Package::isStillThere() const
{
    return !isEmpty() && id.valid && Place::lastingIdentity(resolvedPath).matches(id);
}

QString Package::markerPath(const QString &packagePath)
{
    return packagePath + QStringLiteral("/.quillFern-package");
}

bool Package::holdsMarker(const QString &packagePath, const QString &token)
{
    const QString path = markerPath(packagePath);
    // A plain file only: a pipe or a device would keep the read waiting.
    if (token.isEmpty() || !Place::notFollowingLastLink(path).isPlainFile())
        return false;
    QFile marker(path);
    return marker.open(QIODevice::ReadOnly) && marker.read(token.size() + 1) == token.toUtf8();
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

QString Package::applyRefusal(const QString &installationRoot, bool *unreadable) const
{
    const Place env = isEmpty() ? Place() : Place::followingLastLink(payload());
    if (unreadable)
        *unreadable = !env.exists() && env.unknownBecause() != 0;
    if (isEmpty() || !env.leadsToFolder())
        return QStringLiteral("it is not a package: it holds no Env folder");
    const Place package = Place::followingLastLink(resolvedPath);
    const Place root = Place::followingLastLink(installationRoot);
    if (package.isSame(root))
        return QStringLiteral("it is the installation root");
    if (root.isSameOrInside(package))
        return QStringLiteral("it holds the installation");
    if (payloadLinked) {
        // Read through like a folder link of the payload, and refused where one would be.
        const Place env = Place::followingLastLink(payload());
        if (env.isSameOrInside(root) || InstallationFolders(installationRoot).include(env))
            return QStringLiteral("its Env folder leads into the installation");
        if (root.isSameOrInside(env))
            return QStringLiteral("its Env folder leads to a folder that holds the installation");
    }
    return QString();
}

QString Package::removalRefusal(const QString &installationRoot, const QString &applicationDir) const
{
    return InstallationPaths::packageRemovalRefusal(resolvedPath, installationRoot, applicationDir);
}
