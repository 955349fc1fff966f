#include "place_p.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

#ifndef STATX_ATTR_MOUNT_ROOT
#define STATX_ATTR_MOUNT_ROOT 0x00002000
#endif

namespace {

Place::Type typeOf(const struct stat &status)
{
    if (S_ISREG(status.st_mode))
        return Place::Type::File;
    if (S_ISDIR(status.st_mode))
        return Place::Type::Folder;
    return Place::Type::Other;
}

Place::Identity identityOf(const struct stat &status)
{
    Place::Identity id;
    id.volume = quint64(status.st_dev);
    id.fileLow = quint64(status.st_ino);
    id.valid = true;
    return id;
}

// A bind mount of a folder of the same file system keeps the device, so the
// kernel's own mark is asked first; the device differing from the parent's
// tells the rest.
bool isMountRoot(const QByteArray &native, const struct stat &status)
{
#ifdef Q_OS_LINUX
    struct statx extended;
    if (::statx(AT_FDCWD, native.constData(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_INO, &extended) ==
            0 &&
        (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return extended.stx_attributes & STATX_ATTR_MOUNT_ROOT;
#endif
    struct stat parent;
    return ::stat((native + "/..").constData(), &parent) == 0 && parent.st_dev != status.st_dev;
}

} // namespace

Place PlaceProbe::probe(const QString &path, bool followLast)
{
    Place place = make(path);
    const QByteArray native = QFile::encodeName(path);
    struct stat status;
    if (followLast) {
        if (::stat(native.constData(), &status) == 0)
            fill(place, Place::LinkKind::None, typeOf(status), identityOf(status));
        return place;
    }
    if (::lstat(native.constData(), &status) != 0)
        return place;
    if (S_ISLNK(status.st_mode)) {
        struct stat followed;
        const Place::Type target =
            ::stat(native.constData(), &followed) == 0 ? typeOf(followed) : Place::Type::Missing;
        fill(place, Place::LinkKind::SymbolicLink, target, identityOf(status));
        return place;
    }
    const bool mountPoint = S_ISDIR(status.st_mode) && isMountRoot(native, status);
    fill(place, mountPoint ? Place::LinkKind::MountPoint : Place::LinkKind::None, typeOf(status),
         identityOf(status));
    return place;
}

QString Place::longPath(const QString &path)
{
    return path;
}

bool Place::isAliasSpelling(const QString &name)
{
    Q_UNUSED(name)
    return false;
}

namespace PlaceSeam {
void setReparseTagSource(ReparseTagSource) {}
} // namespace PlaceSeam
