#include "installationpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include "fileops.h"
#include "pathtext.h"
#include "place.h"

namespace InstallationPaths {

QString installationRoot(const QString &applicationDir)
{
    return QDir::cleanPath(applicationDir + QStringLiteral("/.."));
}

QString writeRefusal(const QString &root)
{
    // Access rights, read-only mounts and elevation all show in one attempt; asking for them shows less.
    QString path;
    {
        QTemporaryFile probe(root + QStringLiteral("/.quillFern-XXXXXX"));
        if (!probe.open())
            return probe.errorString();
        probe.setAutoRemove(false);
        path = probe.fileName();
    } // closed for good only here: on Windows the file cannot be removed while it is open
    // Left behind it would be a stray file in the installation: a removal refused once is tried again.
    if (!FileOps::removeFile(path))
        FileOps::removeFile(path);
    return QString();
}

QString removalRefusal(const QString &path, const QString &canonicalRoot, QString *relative)
{
    relative->clear();
    const QFileInfo info(path);
    const QString name = info.fileName();
    // These name folders, which a file removal leaves alone.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    if (Place::isAliasSpelling(name))
        return QStringLiteral("its name ends in a dot or a space, which the system takes for another name");
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (folder.isEmpty())
        return QString(); // a folder that does not exist holds nothing to remove
    // Both resolved by the system, so their text says where they are. A
    // probe here could fail for a moment, and a failure must never read as
    // "outside": the entry would be passed over and the run end "Finish!".
    if (!PathText::isUnder(folder, canonicalRoot))
        return QStringLiteral("it lies outside the installation");
    if (Place::passesThroughWayOut(canonicalRoot, folder))
        return QStringLiteral(
            "it lies behind a junction or mount point, which leads outside the installation");
    // Short names on the way are taken as the long ones, so that the updater's own files are known by any
    // name.
    const QString longRoot = Place::longPath(canonicalRoot);
    const QString longTarget = Place::longPath(folder + QLatin1Char('/') + name);
    if (longTarget.size() > longRoot.size() && PathText::isUnder(longTarget, longRoot)) {
        *relative = longTarget.mid(longRoot.size() + 1);
        return QString();
    }
    const QString inside = folder.mid(canonicalRoot.size() + 1);
    *relative = inside.isEmpty() ? name : inside + QLatin1Char('/') + name;
    return QString();
}

QString packageRemovalRefusal(const QString &packageDir, const QString &installationRoot,
                              const QString &applicationDir)
{
    if (packageDir.isEmpty())
        return QStringLiteral("an empty name means the working folder");
    const QString canonical = QFileInfo(packageDir).canonicalFilePath();
    const Place package = Place::followingLastLink(packageDir);
    if (canonical.isEmpty() || !package.exists())
        return QString(); // nothing there to remove
    if (QDir(canonical).isRoot())
        return QStringLiteral("it is the root of a file system");
    if (Place::notFollowingLastLink(canonical).linkKind() == Place::LinkKind::MountPoint)
        return QStringLiteral("it is a junction or mount point: what is in it lies elsewhere");
    if (Place::followingLastLink(installationRoot).isSameOrInside(package))
        return QStringLiteral("it holds the installation");
    if (Place::followingLastLink(applicationDir).isSameOrInside(package))
        return QStringLiteral("it holds the updater");
    return QString();
}

} // namespace InstallationPaths
