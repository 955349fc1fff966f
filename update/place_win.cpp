#include "place_p.h"

#include <QDir>

#include <string>
#include <vector>

#include <windows.h>

#include "fileops_p.h"

namespace {

PlaceSeam::ReparseTagSource &reparseTagSource()
{
    static PlaceSeam::ReparseTagSource source;
    return source;
}

Place::LinkKind kindOfTag(quint32 tag)
{
    switch (tag) {
    case IO_REPARSE_TAG_SYMLINK:
        return Place::LinkKind::SymbolicLink;
    case IO_REPARSE_TAG_MOUNT_POINT: // a junction, or a volume mounted on a folder
        return Place::LinkKind::MountPoint;
    default:
        return Place::LinkKind::OtherReparsePoint;
    }
}

// The reparse tag of the entry open as `file`, where it is a reparse point.
bool reparseTag(const QString &path, HANDLE file, DWORD attributes, quint32 *tag)
{
    if (reparseTagSource() && reparseTagSource()(path, tag))
        return true;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    FILE_ATTRIBUTE_TAG_INFO info;
    if (GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) {
        *tag = info.ReparseTag;
        return true;
    }
    // The listing carries the tag too, where the handle does not tell it.
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(FileOps::detail::windowsPath(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        *tag = 0;
        return true;
    }
    FindClose(search);
    *tag = found.dwReserved0;
    return true;
}

} // namespace

Place PlaceProbe::probe(const QString &path, bool followLast)
{
    Place place = make(path);
    // Opened for its attributes only, and never followed past its last reparse point where the entry is asked
    // about.
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLast ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE file = CreateFileW(FileOps::detail::windowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return place;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) {
        CloseHandle(file);
        return place;
    }
    Place::Identity id;
    id.volume = info.dwVolumeSerialNumber;
    id.fileLow = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.valid = true;
    Place::Type target =
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Place::Type::Folder : Place::Type::File;
    Place::LinkKind kind = Place::LinkKind::None;
    quint32 tag = 0;
    if (!followLast && reparseTag(path, file, info.dwFileAttributes, &tag)) {
        kind = kindOfTag(tag);
        // A placeholder is read as what it is; a link is what it leads to.
        if (kind != Place::LinkKind::OtherReparsePoint) {
            const Place followed = probe(path, true);
            target = followed.exists() ? followed.leadsTo() : Place::Type::Missing;
        }
    }
    CloseHandle(file);
    fill(place, kind, target, id, quint32(info.nNumberOfLinks));
    return place;
}

// The folder's path on its own volume, without the volume's name, is the
// volume's root only where the folder is the volume itself.
bool PlaceProbe::showsWholeVolume(const QString &path)
{
    const HANDLE folder = CreateFileW(FileOps::detail::windowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    wchar_t onVolume[4] = {};
    const DWORD length = GetFinalPathNameByHandleW(folder, onVolume, DWORD(std::size(onVolume)),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_NONE);
    CloseHandle(folder);
    return length == 1 && onVolume[0] == L'\\';
}

Place::Identity Place::lastingIdentity(const QString &path)
{
    return of(path).identity(); // the volume serial number and the file ID outlast a restart
}

bool PlaceProbe::keepsIdentities(const QString &path)
{
    const HANDLE file = CreateFileW(FileOps::detail::windowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    wchar_t fileSystem[MAX_PATH + 1] = {};
    const bool named = GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                                     DWORD(std::size(fileSystem)));
    CloseHandle(file);
    if (!named)
        return false;
    const QString name = QString::fromWCharArray(fileSystem);
    return name.compare(QLatin1String("NTFS"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("ReFS"), Qt::CaseInsensitive) == 0;
}

QString Place::longPath(const QString &path)
{
    const std::wstring native = FileOps::detail::windowsPath(path);
    std::vector<wchar_t> buffer(native.size() + MAX_PATH);
    DWORD length = GetLongPathNameW(native.c_str(), buffer.data(), DWORD(buffer.size()));
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetLongPathNameW(native.c_str(), buffer.data(), DWORD(buffer.size()));
    }
    if (length == 0 || length >= buffer.size())
        return path;
    return FileOps::detail::fromWindowsPath(QString::fromWCharArray(buffer.data(), int(length)));
}

bool Place::isAliasSpelling(const QString &name)
{
    return name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' '));
}

namespace PlaceSeam {
void setReparseTagSource(ReparseTagSource source)
{
    reparseTagSource() = std::move(source);
}
} // namespace PlaceSeam
