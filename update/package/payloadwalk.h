#pragma once

#include <QFileInfo>
#include <QString>
#include <QVector>

#include <functional>
#include <vector>

#include "canceltoken.h"
#include "outcome.h"
#include "place.h"

// The payload as the copy takes it, decided once per entry, so that the copy,
// the list of files a manifest must name and the bytes the progress bar counts
// agree by construction. A folder's entries come in name order regardless of
// case. Left out, each with its reason: hidden entries (a leading dot, or the
// Windows hidden attribute), links that lead nowhere, entries that are neither
// file nor folder (pipes, sockets, devices, system entries of that kind), the
// archiver's "__MACOSX" at any depth, and the deletion list at the top when it
// stayed in the package. A file is put in place, and moved there rather than
// copied only when it is a plain file not met through a folder link, junction
// or mount point; such a folder is entered, its files never moved.
class PayloadWalk
{
public:
    enum class Action {
        PutInPlace, // a file
        Enter,      // a folder, or a link, junction or mount point that leads to one
        LeaveOut,
        CannotTell, // the system could not say what it is: the copy fails at it, since leaving it out
                    // would install a part of the payload and call it the whole
    };
    enum class LeftOut { No, Hidden, LeadsNowhere, NotFileOrFolder, Archiver, DeletionList };

    struct Entry
    {
        QFileInfo info;
        Place place; // the entry itself, its last name not followed
        Action action = Action::LeaveOut;
        LeftOut why = LeftOut::No;
        bool movable = false; // a file that may be moved out of the package

        QString name() const { return info.fileName(); }
        // Why it is left out, for the run log; empty for the deletion list, which goes unsaid.
        QString reason() const;
    };

    // A folder of the payload and where it goes.
    struct Folder
    {
        QString source;
        QString relative;         // inside the installation and the payload: empty or ending with "/"
        bool throughLink = false; // lies elsewhere: nothing in it is moved
    };

    // `payloadLiesElsewhere`: the payload folder itself is a link, junction or
    // mount point. `leftOutList`: the name of the deletion list when it stayed
    // in the package and is not applied; empty when none is left out.
    PayloadWalk(const QString &payload, bool payloadLiesElsewhere, const QString &leftOutList = QString());

    Folder top() const;
    static Folder inside(const Folder &folder, const Entry &entry);
    // The folder's entries, each decided.
    QVector<Entry> list(const Folder &folder) const;
    // The first name in the folder that is not valid UTF-8, which no file can be installed under; empty when
    // none.
    static QString nameNotValidUtf8(const Folder &folder);

    // Why the copy never enters the folder `link` leads to: it would copy the
    // installation into itself, or write into it from inside. A link, junction
    // or mount point that shows any folder of the installation, or one that
    // holds it, is refused. Done when it may.
    static Outcome folderLinkRefusal(const Entry &link, const InstallationFolders &installation);

    // Each file the copy would put in place, depth first in the copy's order,
    // with its path relative to the payload; `visit` returns false to stop. A
    // folder met again inside itself is not entered twice; with
    // `installation`, nor is a folder link the copy refuses: the copy fails at
    // either before any file in it. Checks `cancel` before each entry.
    void forEachFile(const std::function<bool(const Entry &, const QString &relative)> &visit,
                     const CancelToken &cancel, const InstallationFolders *installation = nullptr) const;
    // The first two entries of one folder that the system would take for one
    // name (on Windows names that differ only in letter case, or by dots and
    // spaces at their end), relative to the payload, in the copy's order:
    // only one of them could be installed. Empty where there are none, and
    // always where every spelling is a name of its own.
    QStringList firstCollision(const CancelToken &cancel) const;
    // The bytes of the files the copy would put in place over `installation`.
    qint64 bytes(const InstallationFolders &installation, const CancelToken &cancel) const;

private:
    QStringList collisionIn(const Folder &folder, const CancelToken &cancel,
                            std::vector<Place::Identity> &foldersWalked) const;
    bool walkFolder(const Folder &folder, const std::function<bool(const Entry &, const QString &)> &visit,
                    const CancelToken &cancel, const InstallationFolders *installation,
                    std::vector<Place::Identity> &foldersWalked) const;

    const QString payloadPath;
    const bool payloadLinked;
    const QString listLeftOut;
};
