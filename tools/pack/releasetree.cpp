#include "releasetree.h"

#include <QFileInfo>
#include <QHash>
#include <algorithm>

#include "fileops.h"
#include "payloadwalk.h"

namespace {

// Why Windows could not hold a file of this name; empty when it can. The
// updater installs names as they are, so a name that Windows would refuse, or
// take for another, would fail or misplace the install there.
QString windowsRefusal(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("it holds a control character");
        if (QStringLiteral("\\:*?\"<>|").contains(c))
            return QStringLiteral("it holds \"%1\", which Windows does not allow in a name").arg(c);
    }
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return QStringLiteral("it ends in a dot or a space, which Windows drops");
    return QString();
}

} // namespace

bool ReleaseTree::byteOrder(const QString &a, const QString &b)
{
    return a.toUtf8() < b.toUtf8();
}

ReleaseTree ReleaseTree::fromFolder(const QString &root, const CancelToken &cancel)
{
    ReleaseTree tree;
    tree.rootPath = QFileInfo(root).absoluteFilePath();
    std::vector<Place::Identity> walked;
    tree.walkFolder(tree.rootPath, QString(), Place::notFollowingLastLink(tree.rootPath).isLink(), cancel,
                    walked);
    std::sort(tree.releaseFiles.begin(), tree.releaseFiles.end(),
              [](const ReleaseFile &a, const ReleaseFile &b) { return byteOrder(a.relative, b.relative); });
    std::sort(tree.releaseFolders.begin(), tree.releaseFolders.end(), byteOrder);
    return tree;
}

void ReleaseTree::walkFolder(const QString &source, const QString &relative, bool throughLink,
                             const CancelToken &cancel, std::vector<Place::Identity> &walked)
{
    const Place::Identity identity = Place::followingLastLink(source).identity();
    if (std::find(walked.cbegin(), walked.cend(), identity) != walked.cend()) {
        nameProblems << QStringLiteral("\"%1\": a link leads back into a folder that holds it").arg(relative);
        return;
    }
    const PayloadWalk::Folder folder{source, relative, throughLink};
    const QString notUtf8 = PayloadWalk::nameNotValidUtf8(folder);
    if (!notUtf8.isEmpty()) {
        nameProblems << QStringLiteral("\"%1%2\": the name is not valid UTF-8").arg(relative, notUtf8);
        return;
    }
    walked.push_back(identity);
    QHash<QString, QString> windowsNames;
    const PayloadWalk payloadWalk(rootPath, false);
    for (const PayloadWalk::Entry &entry : payloadWalk.list(folder)) {
        cancel.noteProgress();
        if (cancel.isCancelled())
            break;
        const QString path = relative + entry.name();
        if (entry.action == PayloadWalk::Action::LeaveOut) {
            leftOutEntries << Outcome::failure(QStringLiteral("leave out"), path, entry.reason());
            continue;
        }
        if (entry.action == PayloadWalk::Action::CannotTell) {
            nameProblems << QStringLiteral("\"%1\": the system could not tell what it is").arg(path);
            continue;
        }
        const QString refused = windowsRefusal(entry.name());
        if (!refused.isEmpty())
            nameProblems << QStringLiteral("\"%1\": %2").arg(path, refused);
        const QString key = FileOps::windowsNameKey(entry.name());
        const auto same = windowsNames.constFind(key);
        if (same != windowsNames.cend())
            nameProblems << QStringLiteral("\"%1\" and \"%2\" are one name on Windows").arg(*same, path);
        windowsNames.insert(key, path);
        if (entry.action == PayloadWalk::Action::Enter) {
            if (entry.place.isLink())
                links << Outcome::failure(QStringLiteral("enter"), path,
                                          Place::describe(entry.place.linkKind()));
            releaseFolders << path;
            const PayloadWalk::Folder inside = PayloadWalk::inside(folder, entry);
            walkFolder(inside.source, inside.relative, inside.throughLink, cancel, walked);
            continue;
        }
        ReleaseFile file;
        file.relative = path;
        file.source = entry.info.filePath();
        file.size = entry.info.size();
        // The owner's bits and "user" ones are one on every system Qt runs on; the latter say only who asks.
        file.permissions = entry.info.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        file.isLink = entry.place.isLink();
        file.throughFolderLink = throughLink;
        releaseFiles.push_back(file);
    }
    walked.pop_back();
}

const ReleaseFile *ReleaseTree::fileAt(const QString &relative) const
{
    const auto at = std::lower_bound(
        releaseFiles.cbegin(), releaseFiles.cend(), relative,
        [](const ReleaseFile &file, const QString &path) { return byteOrder(file.relative, path); });
    return at != releaseFiles.cend() && at->relative == relative ? &*at : nullptr;
}

bool ReleaseTree::isUnderAny(const QString &relative, const QList<Outcome> &folders)
{
    return std::any_of(folders.cbegin(), folders.cend(), [&relative](const Outcome &folder) {
        return relative == folder.path || relative.startsWith(folder.path + QLatin1Char('/'));
    });
}
