#pragma once

#include <QString>

#include <optional>
#include <vector>

// A place in the file system, known by what the file system says it is:
// device and inode, or volume serial number and file ID. Two spellings of one
// folder (a link, a bind mount, a junction, an 8.3 short name, a subst drive)
// are one place, so every decision about where a run may act is made here,
// never by comparing path strings. Paths stay for messages and the journal.
class Place
{
public:
    // What an entry is, its last name not followed.
    enum class LinkKind {
        None,              // a plain file or folder, or nothing at all
        SymbolicLink,      // a symbolic link, to a file or a folder
        MountPoint,        // a junction, or a mount point (a bind mount too)
        OtherReparsePoint, // a cloud placeholder and the like: read, never moved or removed through
    };

    // What following the path finds.
    enum class Type { Missing, File, Folder, Other };

    // The file identity: device and inode, or volume serial and file ID.
    struct Identity
    {
        quint64 volume = 0;
        quint64 fileHigh = 0;
        quint64 fileLow = 0;
        bool valid = false;

        bool operator==(const Identity &other) const
        {
            return valid && other.valid && volume == other.volume && fileHigh == other.fileHigh &&
                   fileLow == other.fileLow;
        }
        bool operator!=(const Identity &other) const { return !(*this == other); }
        // Whether this identity, read now, is the file `recorded` names. Journals
        // before format 5 recorded lasting identities without their high part.
        bool matches(const Identity &recorded) const
        {
            return recorded.fileHigh != 0 ? *this == recorded
                                          : valid && recorded.valid && volume == recorded.volume &&
                                                fileLow == recorded.fileLow;
        }
        // As the journal keeps it; an empty text for no identity.
        QString toText() const;
        static Identity fromText(const QString &text);
    };

    Place() = default;
    // What `path` leads to, links followed.
    static Place followingLastLink(const QString &path);
    // The entry at `path` itself: a link, junction or mount point as its last name is what is described.
    static Place notFollowingLastLink(const QString &path);

    QString path() const { return spelled; }
    // Something is there: a link that leads nowhere counts.
    bool exists() const { return present; }
    // Nothing was found, but not because nothing is there: the system could
    // not tell (a failing disk, a denial, a file held by another program).
    // Its error code (errno, or the Win32 error); 0 where it could tell.
    unsigned long unknownBecause() const { return unknown; }
    LinkKind linkKind() const { return kind; }
    bool isLink() const { return kind != LinkKind::None; }
    // What the path leads to, links followed.
    Type leadsTo() const { return target; }
    bool leadsToFolder() const { return target == Type::Folder; }
    bool leadsToFile() const { return target == Type::File; }
    bool leadsNowhere() const { return present && target == Type::Missing; }
    // A folder itself, neither a link nor a junction nor a mount point.
    bool isPlainFolder() const { return kind == LinkKind::None && target == Type::Folder; }
    // A file itself, not a link: a Windows shortcut (.lnk) is one.
    bool isPlainFile() const { return kind == LinkKind::None && target == Type::File; }
    Identity identity() const { return id; }
    // How many names the file has (hard links); 0 where nothing is there.
    quint32 hardLinks() const { return present ? names : 0; }

    // The identity of what `path` leads to as the journal keeps it, which
    // must still name the same folder after a restart: on Linux the file
    // system's own id (from its UUID, where it has one) stands for the device
    // number, which a restart, or a file system mounted anew, may hand out
    // afresh; where a file system has no id (FUSE), the file's number alone
    // tells; where the file system keeps a birth time, it is part of it, since
    // a file's number goes to the next file made once it is removed.
    // Elsewhere it is the identity.
    static Identity lastingIdentity(const QString &path);
    // Whether the file system that holds `path` keeps its files' identities
    // through a remount and a restart: on Linux one with an id of its own
    // (FUSE file systems and network ones have none), on Windows NTFS and
    // ReFS (not FAT, exFAT or a network share). Only there may the run move
    // files out of a package and find them by their identity later.
    static bool keepsIdentities(const QString &path);
    // For a build of the tests only, whose FUSE file system passes the disk's
    // own file numbers through: every file system counts as keeping them.
    static void takeEveryFileSystemAsKeepingIdentities();

    // Whether both are there and are one file or folder.
    bool isSame(const Place &other) const { return present && other.present && id == other.id; }
    // Whether this is `folder` or lies below it: some folder on the way up from
    // here, as the path resolves, is `folder`, whatever either is called.
    bool isSameOrInside(const Place &folder) const;
    // The way down from `folder` to here, "/" between names (empty when this
    // is `folder`), spelled as the path resolves; none when this is not in it.
    std::optional<QString> pathBelow(const Place &folder) const;

    // Whether the entry at `path` is a mount point or junction that shows the
    // whole of a volume other than `root`'s: a volume mounted inside the
    // installation, whose files are the installation's as much as any. One
    // that shows only a folder of a volume (a bind mount of a folder, a
    // junction to one) may show anything, and leads out.
    static bool isVolumeMountedInside(const QString &path, const Place &root);
    // The deepest folder on the way from `root` down to `relative`'s folder
    // that is a volume mounted inside it, relative to `root`; empty where that
    // folder lies on the root's own volume.
    static QString mountedVolumeOf(const QString &root, const QString &relative);

    // Whether a junction, a mount point or another reparse point that leads
    // out stands on the way from `folder` down to `path` (`path` itself
    // included, `folder` not): what lies behind one may be anywhere. A volume
    // mounted inside `folder` does not lead out. Symbolic links are left to
    // the path's resolution. `path` must be `folder` + "/" + a relative path.
    static bool passesThroughWayOut(const QString &folder, const QString &path);

    // The path with every name as the file system keeps it: on Windows an 8.3
    // short name becomes the long one; elsewhere the path as it is.
    static QString longPath(const QString &path);
    // Whether the system would take `name` for another one: on Windows a name
    // ending in a dot or a space stands for the name without them.
    static bool isAliasSpelling(const QString &name);

    // The entry's kind in words for the run log: "a symbolic link", ...
    static QString describe(LinkKind kind);

private:
    friend struct PlaceProbe;

    QString spelled;
    bool present = false;
    LinkKind kind = LinkKind::None;
    Type target = Type::Missing;
    Identity id;
    quint32 names = 0;
    unsigned long unknown = 0;
};

// The folders of an installation, known by what they are: its root and
// every folder below it, through volumes mounted inside it, but through no
// link, junction or other mount point. A bind mount or junction elsewhere
// that shows one of them is one of them. Gathered once, when first asked.
class InstallationFolders
{
public:
    explicit InstallationFolders(const QString &root);

    const Place &root() const { return rootPlace; }
    // Whether `folder` is one of them, whatever name shows it.
    bool include(const Place &folder) const;

private:
    void gather(const QString &folder) const;

    const QString rootPath;
    const Place rootPlace;
    mutable std::vector<Place::Identity> known; // sorted, once gathered
    mutable bool gathered = false;
};
