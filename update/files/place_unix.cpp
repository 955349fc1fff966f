#include "place_p.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>

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

namespace {

// A name not found is nothing there; any other failure (EIO, EACCES) leaves it unknown.
void noteUnknown(Place &place)
{
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR && error != ENAMETOOLONG && error != ELOOP)
        PlaceProbe::leaveUnknown(place, static_cast<unsigned long>(error));
}

} // namespace

Place PlaceProbe::probe(const QString &path, bool followLast)
{
    Place place = make(path);
    const QByteArray native = QFile::encodeName(path);
    struct stat status;
    if (followLast) {
        if (::stat(native.constData(), &status) == 0)
            fill(place, Place::LinkKind::None, typeOf(status), identityOf(status), quint32(status.st_nlink));
        else
            noteUnknown(place);
        return place;
    }
    if (::lstat(native.constData(), &status) != 0) {
        noteUnknown(place);
        return place;
    }
    if (S_ISLNK(status.st_mode)) {
        struct stat followed;
        const Place::Type target =
            ::stat(native.constData(), &followed) == 0 ? typeOf(followed) : Place::Type::Missing;
        fill(place, Place::LinkKind::SymbolicLink, target, identityOf(status));
        return place;
    }
    const bool mountPoint = S_ISDIR(status.st_mode) && isMountRoot(native, status);
    fill(place, mountPoint ? Place::LinkKind::MountPoint : Place::LinkKind::None, typeOf(status),
         identityOf(status), quint32(status.st_nlink));
    return place;
}

// The kernel names each mount by an id; its line in the mount table says
// which folder of its file system it shows, "/" for the whole of it.
bool PlaceProbe::showsWholeVolume(const QString &path)
{
#ifdef Q_OS_LINUX
    struct statx extended;
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_NO_AUTOMOUNT, STATX_MNT_ID, &extended) !=
            0 ||
        !(extended.stx_mask & STATX_MNT_ID))
        return false;
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray id = QByteArray::number(quint64(extended.stx_mnt_id));
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && fields.at(0) == id)
            return fields.at(3) == "/";
    }
    return false;
#else
    Q_UNUSED(path)
    return false; // no mount table to ask: every mount point leads out
#endif
}

Place::Identity Place::lastingIdentity(const QString &path)
{
    Identity id = followingLastLink(path).identity();
    struct statfs fileSystem;
    if (!id.valid || ::statfs(QFile::encodeName(path).constData(), &fileSystem) != 0)
        return id;
    quint32 words[2];
    static_assert(sizeof words == sizeof fileSystem.f_fsid, "the file system id is two words");
    std::memcpy(words, &fileSystem.f_fsid, sizeof words);
    // A file system without an id of its own (FUSE ones) is told by the file's number alone.
    id.volume = (quint64(words[0]) << 32) | words[1];
#ifdef Q_OS_LINUX
    // A file's number is handed to the next file made once it is removed: its
    // birth time, where the file system keeps one, tells the two apart.
    struct statx extended;
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_NO_AUTOMOUNT, STATX_BTIME, &extended) == 0 &&
        (extended.stx_mask & STATX_BTIME))
        id.fileHigh = quint64(extended.stx_btime.tv_sec) * 1000000000u + extended.stx_btime.tv_nsec;
#endif
    return id;
}

bool PlaceProbe::keepsIdentities(const QString &path)
{
    struct statfs fileSystem;
    if (::statfs(QFile::encodeName(path).constData(), &fileSystem) != 0)
        return false;
    quint32 words[2];
    std::memcpy(words, &fileSystem.f_fsid, sizeof words);
    return words[0] != 0 || words[1] != 0;
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
