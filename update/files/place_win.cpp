#include "place_p.h"

#include <QDir>

#include <cstring>

#include <string>
#include <vector>

#include <windows.h>

#include "win32calls_p.h"
#include "windowspaths_p.h"

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
    if (win32().getFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) {
        *tag = info.ReparseTag;
        return true;
    }
    // The listing carries the tag too, where the handle does not tell it.
    WIN32_FIND_DATAW found;
    const HANDLE search = win32().findFirstFile(WindowsPaths::windowsPath(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        *tag = 0;
        return true;
    }
    FindClose(search);
    *tag = found.dwReserved0;
    return true;
}

// The file's identity. ReFS (and Dev Drive) number files with 128 bits, of
// which the older call gives only 64: two files could share them. The full
// ID comes from FILE_ID_INFO; where the system refuses that (before Windows
// 8, some file systems), from the 64-bit index. The volume stays the 32-bit
// serial number either way, so identities read before keep matching; NTFS
// puts its 64-bit index in the low half of the 128-bit ID, the high half 0.
Place::Identity identityOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION &info)
{
    Place::Identity id;
    id.volume = info.dwVolumeSerialNumber;
    id.valid = true;
    FILE_ID_INFO full;
    if (win32().getFileInformationByHandleEx(file, FileIdInfo, &full, sizeof full)) {
        quint64 halves[2];
        static_assert(sizeof halves == sizeof full.FileId.Identifier, "a file ID is 128 bits");
        std::memcpy(halves, full.FileId.Identifier, sizeof halves);
        id.fileLow = halves[0];
        id.fileHigh = halves[1];
        if (id.fileLow != 0 || id.fileHigh != 0)
            return id;
    }
    id.fileHigh = 0;
    id.fileLow = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return id;
}

} // namespace

namespace {

// A name not found is nothing there; any other refusal leaves it unknown.
void noteUnknown(Place &place)
{
    const DWORD error = GetLastError();
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:
        return;
    default:
        PlaceProbe::leaveUnknown(place, error);
    }
}

} // namespace

Place PlaceProbe::probe(const QString &path, bool followLast)
{
    Place place = make(path);
    // Opened for its attributes only, and never followed past its last reparse point where the entry is asked
    // about.
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLast ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE file = win32().createFile(WindowsPaths::windowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        noteUnknown(place);
        return place;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!win32().getFileInformationByHandle(file, &info)) {
        // The file is there, but what it is cannot be read.
        leaveUnknown(place, GetLastError());
        CloseHandle(file);
        return place;
    }
    const Place::Identity id = identityOf(file, info);
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
    const HANDLE folder = win32().createFile(WindowsPaths::windowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    wchar_t onVolume[4] = {};
    const DWORD length = win32().getFinalPathNameByHandle(folder, onVolume, DWORD(std::size(onVolume)),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_NONE);
    CloseHandle(folder);
    return length == 1 && onVolume[0] == L'\\';
}

Place::Identity Place::lastingIdentity(const QString &path)
{
    return followingLastLink(path).identity(); // the volume serial number and the file ID outlast a restart
}

bool PlaceProbe::keepsIdentities(const QString &path)
{
    const HANDLE file = win32().createFile(WindowsPaths::windowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    wchar_t fileSystem[MAX_PATH + 1] = {};
    const bool named = win32().getVolumeInformationByHandle(file, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
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
    const std::wstring native = WindowsPaths::windowsPath(path);
    std::vector<wchar_t> buffer(native.size() + MAX_PATH);
    DWORD length = win32().getLongPathName(native.c_str(), buffer.data(), DWORD(buffer.size()));
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = win32().getLongPathName(native.c_str(), buffer.data(), DWORD(buffer.size()));
    }
    if (length == 0 || length >= buffer.size())
        return path;
    return WindowsPaths::fromWindowsPath(QString::fromWCharArray(buffer.data(), int(length)));
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
