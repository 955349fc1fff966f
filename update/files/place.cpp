#include "place.h"

#include <algorithm>
#include <atomic>
#include <tuple>

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include "place_p.h"

namespace {
std::atomic_bool everyFileSystemKeepsIdentities{false};
} // namespace

bool Place::keepsIdentities(const QString &path)
{
    return everyFileSystemKeepsIdentities || PlaceProbe::keepsIdentities(path);
}

void Place::takeEveryFileSystemAsKeepingIdentities()
{
    everyFileSystemKeepsIdentities = true;
}

QString Place::Identity::toText() const
{
    if (!valid)
        return QString();
    return QStringLiteral("%1:%2:%3")
        .arg(QString::number(volume, 16), QString::number(fileHigh, 16), QString::number(fileLow, 16));
}

Place::Identity Place::Identity::fromText(const QString &text)
{
    Identity id;
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 3)
        return id;
    bool ok[3] = {false, false, false};
    id.volume = parts.at(0).toULongLong(&ok[0], 16);
    id.fileHigh = parts.at(1).toULongLong(&ok[1], 16);
    id.fileLow = parts.at(2).toULongLong(&ok[2], 16);
    id.valid = ok[0] && ok[1] && ok[2];
    return id;
}

Place Place::followingLastLink(const QString &path)
{
    return PlaceProbe::probe(path, true);
}

Place Place::notFollowingLastLink(const QString &path)
{
    return PlaceProbe::probe(path, false);
}

bool Place::isSameOrInside(const Place &folder) const
{
    return pathBelow(folder).has_value();
}

std::optional<QString> Place::pathBelow(const Place &folder) const
{
    if (!present || !folder.present)
        return std::nullopt;
    if (id == folder.id)
        return QString();
    // A link is where it stands, not where it leads.
    const QFileInfo info(spelled);
    QString up = isLink() ? QFileInfo(info.absolutePath()).canonicalFilePath() : info.canonicalFilePath();
    if (up.isEmpty())
        up = QDir::cleanPath(isLink() ? info.absolutePath() : info.absoluteFilePath());
    const QString here = isLink() ? up + QLatin1Char('/') + info.fileName() : up;
    for (;;) {
        if (followingLastLink(up).identity() == folder.id)
            return here == up ? QString()
                              : here.mid(up.endsWith(QLatin1Char('/')) ? up.size() : up.size() + 1);
        const QString parent = QFileInfo(up).absolutePath();
        if (parent == up || parent.isEmpty())
            return std::nullopt;
        up = parent;
    }
}

bool Place::isVolumeMountedInside(const QString &path, const Place &root)
{
    if (notFollowingLastLink(path).linkKind() != LinkKind::MountPoint || !root.exists())
        return false;
    const Place shown = followingLastLink(path);
    return shown.leadsToFolder() && shown.identity().volume != root.identity().volume &&
           PlaceProbe::showsWholeVolume(path);
}

QString Place::mountedVolumeOf(const QString &root, const QString &relative)
{
    const Place top = followingLastLink(root);
    const int cut = relative.lastIndexOf(QLatin1Char('/'));
    if (cut < 0)
        return QString();
    const QString folder = relative.left(cut);
    // Most folders lie on the root's volume, which one look tells.
    if (followingLastLink(root + QLatin1Char('/') + folder).identity().volume == top.identity().volume)
        return QString();
    QString deepest;
    QString walked;
    for (const QStringRef &name : folder.splitRef(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        walked += (walked.isEmpty() ? QString() : QStringLiteral("/")) + name;
        if (isVolumeMountedInside(root + QLatin1Char('/') + walked, top))
            deepest = walked;
    }
    return deepest;
}

bool Place::passesThroughWayOut(const QString &folder, const QString &path)
{
    const QString below = path.mid(folder.size() + 1);
    const Place top = followingLastLink(folder);
    QString walked = folder;
    for (const QStringRef &name : below.splitRef(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        walked += QLatin1Char('/') + name;
        const Place step = notFollowingLastLink(walked);
        if (!step.exists())
            return false;
        if (step.isLink() && step.linkKind() != LinkKind::SymbolicLink && !isVolumeMountedInside(walked, top))
            return true;
    }
    return false;
}

QString Place::describe(LinkKind kind)
{
    switch (kind) {
    case LinkKind::SymbolicLink:
        return QStringLiteral("a symbolic link");
    case LinkKind::MountPoint:
        return QStringLiteral("a junction or mount point");
    case LinkKind::OtherReparsePoint:
        return QStringLiteral("a reparse point");
    case LinkKind::None:
        break;
    }
    return QStringLiteral("neither a link nor a mount point");
}

InstallationFolders::InstallationFolders(const QString &root)
    : rootPath(root)
    , rootPlace(Place::followingLastLink(root))
{}

namespace {

bool lessIdentity(const Place::Identity &a, const Place::Identity &b)
{
    return std::tie(a.volume, a.fileHigh, a.fileLow) < std::tie(b.volume, b.fileHigh, b.fileLow);
}

} // namespace

bool InstallationFolders::include(const Place &folder) const
{
    if (!folder.exists() || !rootPlace.exists())
        return false;
    if (folder.isSame(rootPlace))
        return true;
    if (!gathered) {
        gathered = true;
        gather(rootPath);
        std::sort(known.begin(), known.end(), lessIdentity);
    }
    const Place::Identity wanted = folder.identity();
    return std::binary_search(known.cbegin(), known.cend(), wanted, lessIdentity);
}

void InstallationFolders::gather(const QString &folder) const
{
    known.push_back(Place::followingLastLink(folder).identity());
    const QStringList names =
        QDir(folder).entryList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = folder + QLatin1Char('/') + name;
        const Place entry = Place::notFollowingLastLink(path);
        if (entry.isPlainFolder() || Place::isVolumeMountedInside(path, rootPlace))
            gather(path);
    }
}
