#include "payloadwalk.h"

#include <algorithm>

#include <QDir>
#include <QHash>

#include "fileops.h"

namespace {

// An entry of this name is never copied, at any depth: the archiver's "__MACOSX".
bool passesOver(const QString &name)
{
    return name == QLatin1String("__MACOSX");
}

} // namespace

PayloadWalk::PayloadWalk(const QString &payload, bool payloadLiesElsewhere, const QString &leftOutList)
    : payloadPath(payload)
    , payloadLinked(payloadLiesElsewhere)
    , listLeftOut(leftOutList)
{}

PayloadWalk::Folder PayloadWalk::top() const
{
    return {payloadPath, QString(), payloadLinked};
}

PayloadWalk::Folder PayloadWalk::inside(const Folder &folder, const Entry &entry)
{
    return {entry.info.filePath(), folder.relative + entry.name() + QLatin1Char('/'),
            folder.throughLink || entry.place.isLink()};
}

QVector<PayloadWalk::Entry> PayloadWalk::list(const Folder &folder) const
{
    const QFileInfoList infos =
        QDir(folder.source)
            .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                           QDir::Name | QDir::IgnoreCase);
    QVector<Entry> entries;
    entries.reserve(infos.size());
    for (const QFileInfo &info : infos) {
        Entry entry;
        entry.info = info;
        entry.place = Place::notFollowingLastLink(info.filePath());
        const QString name = info.fileName();
        if (entry.place.unknownBecause() != 0)
            entry.action = Action::CannotTell;
        else if (info.isHidden())
            entry.why = LeftOut::Hidden;
        else if (entry.place.leadsNowhere())
            entry.why = LeftOut::LeadsNowhere;
        else if (!entry.place.leadsToFile() && !entry.place.leadsToFolder())
            entry.why = LeftOut::NotFileOrFolder;
        else if (passesOver(name))
            entry.why = LeftOut::Archiver;
        else if (folder.relative.isEmpty() && !listLeftOut.isEmpty() && name == listLeftOut)
            entry.why = LeftOut::DeletionList;
        else if (entry.place.leadsToFolder())
            entry.action = Action::Enter;
        else
            entry.action = Action::PutInPlace;
        entry.movable =
            entry.action == Action::PutInPlace && !folder.throughLink && entry.place.isPlainFile();
        entries.append(entry);
    }
    return entries;
}

QString PayloadWalk::nameNotValidUtf8(const Folder &folder)
{
    return FileOps::namesNotValidUtf8(folder.source).value(0);
}

QString PayloadWalk::Entry::reason() const
{
    switch (why) {
    case LeftOut::Hidden:
        return QStringLiteral("it is hidden; left out");
    case LeftOut::LeadsNowhere:
        return QStringLiteral("it is a link that leads nowhere; left out");
    case LeftOut::NotFileOrFolder:
        return QStringLiteral(
            "it is not a plain file or folder (a pipe, a socket, a device or a system file); left out");
    case LeftOut::Archiver:
        return QStringLiteral("it is the archiver's \"__MACOSX\"; left out");
    case LeftOut::DeletionList:
    case LeftOut::No:
        break;
    }
    return QString();
}

// Only a symbolic link tells where it stands in the tree it leads to; a
// junction or mount point is known only by the folder it shows, which is
// looked for among the installation's folders.
Outcome PayloadWalk::folderLinkRefusal(const Entry &link, const InstallationFolders &installation)
{
    const Place target = Place::followingLastLink(link.info.filePath());
    const Place &root = installation.root();
    const bool symbolic = link.place.linkKind() == Place::LinkKind::SymbolicLink;
    if ((symbolic && target.isSameOrInside(root)) || installation.include(target))
        return Outcome::failure(QStringLiteral("copy the folder"), link.info.filePath(),
                                symbolic ? QStringLiteral("it is a link into the installation")
                                         : QStringLiteral("it is %1 that shows a folder of the installation")
                                               .arg(Place::describe(link.place.linkKind())));
    if (root.isSameOrInside(target))
        return Outcome::failure(QStringLiteral("copy the folder"), link.info.filePath(),
                                QStringLiteral("it is a link to a folder that holds the installation"));
    return Outcome::done();
}

void PayloadWalk::forEachFile(const std::function<bool(const Entry &, const QString &)> &visit,
                              const CancelToken &cancel, const InstallationFolders *installation) const
{
    std::vector<Place::Identity> foldersWalked;
    walkFolder(top(), visit, cancel, installation, foldersWalked);
}

bool PayloadWalk::walkFolder(const Folder &folder,
                             const std::function<bool(const Entry &, const QString &)> &visit,
                             const CancelToken &cancel, const InstallationFolders *installation,
                             std::vector<Place::Identity> &foldersWalked) const
{
    const Place::Identity identity = Place::followingLastLink(folder.source).identity();
    if (std::find(foldersWalked.cbegin(), foldersWalked.cend(), identity) != foldersWalked.cend())
        return true;
    foldersWalked.push_back(identity);
    const QVector<Entry> entries = list(folder);
    bool goOn = true;
    for (const Entry &entry : entries) {
        cancel.noteProgress();
        if (cancel.isCancelled()) {
            goOn = false;
            break;
        }
        if (entry.action == Action::PutInPlace)
            goOn = visit(entry, folder.relative + entry.name());
        else if (entry.action == Action::Enter &&
                 (!installation || !entry.place.isLink() || folderLinkRefusal(entry, *installation)))
            goOn = walkFolder(inside(folder, entry), visit, cancel, installation, foldersWalked);
        if (!goOn)
            break;
    }
    foldersWalked.pop_back();
    return goOn;
}

QStringList PayloadWalk::firstCollision(const CancelToken &cancel) const
{
    // Where names ignore letter case, they also end in no dot or space (Windows); elsewhere every name is
    // its own.
    if (FileOps::fileNameCaseSensitivity() == Qt::CaseSensitive)
        return QStringList();
    std::vector<Place::Identity> foldersWalked;
    return collisionIn(top(), cancel, foldersWalked);
}

QStringList PayloadWalk::collisionIn(const Folder &folder, const CancelToken &cancel,
                                     std::vector<Place::Identity> &foldersWalked) const
{
    const Place::Identity identity = Place::followingLastLink(folder.source).identity();
    if (std::find(foldersWalked.cbegin(), foldersWalked.cend(), identity) != foldersWalked.cend())
        return QStringList();
    foldersWalked.push_back(identity);
    QHash<QString, QString> names; // by the name the system takes each for
    QStringList found;
    for (const Entry &entry : list(folder)) {
        cancel.noteProgress();
        if (cancel.isCancelled())
            break;
        if (entry.action == Action::LeaveOut)
            continue;
        const QString key = FileOps::windowsNameKey(entry.name());
        const QString relative = folder.relative + entry.name();
        const auto same = names.constFind(key);
        if (same != names.cend()) {
            found = QStringList{*same, relative};
            break;
        }
        names.insert(key, relative);
        if (entry.action == Action::Enter) {
            found = collisionIn(inside(folder, entry), cancel, foldersWalked);
            if (!found.isEmpty())
                break;
        }
    }
    foldersWalked.pop_back();
    return found;
}

qint64 PayloadWalk::bytes(const InstallationFolders &installation, const CancelToken &cancel) const
{
    qint64 total = 0;
    forEachFile(
        [&total](const Entry &file, const QString &) {
            total += file.info.size();
            return true;
        },
        cancel, &installation);
    return total;
}
