#include "packagemaker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <vector>

#include "crypto.h"
#include "fileops.h"
#include "package.h"
#include "place.h"
#include "releasetree.h"
#include "reporttext.h"
#include "updaterfiles.h"

namespace {

using ReportText::quoted;

QByteArray hex(const Crypto::Sha256Digest &digest)
{
    return QByteArray(reinterpret_cast<const char *>(digest.data()), int(digest.size())).toHex();
}

// Counts the bytes hashed and copied, for a progress that may be asked from several threads.
class ByteCount
{
public:
    ByteCount(qint64 total, const PackageMaker::Progress &progress)
        : total(total)
        , progress(progress)
    {}
    void add(qint64 bytes)
    {
        const qint64 now = done.fetch_add(bytes) + bytes;
        if (progress)
            progress(now, total);
    }

private:
    std::atomic<qint64> done{0};
    const qint64 total;
    const PackageMaker::Progress &progress;
};

// Copies the file `from` to the new file `to` with its permissions, and gives the SHA-256 of the bytes
// written.
Outcome copyHashing(const QString &from, const QString &to, QByteArray *digest, ByteCount &count)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return Outcome::failure(QStringLiteral("read"), from, source.errorString());
    QFile target(to);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return Outcome::failure(QStringLiteral("write"), to, target.errorString());
    Crypto::Sha256 hash;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 read = source.read(chunk.data(), chunk.size());
        if (read < 0)
            return Outcome::failure(QStringLiteral("read"), from, source.errorString());
        if (read == 0)
            break;
        if (target.write(chunk.constData(), read) != read)
            return Outcome::failure(QStringLiteral("write"), to, target.errorString());
        hash.add(chunk.constData(), read);
        count.add(read);
    }
    if (!target.flush())
        return Outcome::failure(QStringLiteral("write"), to, target.errorString());
    target.close();
    // The payload's attributes are what the updater installs: the executable bits above all.
    if (!QFile::setPermissions(to, QFileInfo(from).permissions()))
        return Outcome::failure(QStringLiteral("set the permissions of"), to, QStringLiteral("refused"));
    *digest = hex(hash.result());
    return Outcome::done();
}

Outcome writeNewFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(content) != content.size() ||
        !file.flush())
        return Outcome::failure(QStringLiteral("write"), path, file.errorString());
    return Outcome::done();
}

// Why the package cannot be laid out at `out`; empty when it can.
QString outRefusal(const QString &out, const QString &from, const QString &to)
{
    if (out.isEmpty())
        return QStringLiteral("no package folder given");
    const Place place = Place::notFollowingLastLink(out);
    if (place.exists() && !(place.isPlainFolder() && QDir(out).isEmpty(QDir::AllEntries | QDir::Hidden |
                                                                       QDir::System | QDir::NoDotAndDotDot)))
        return QStringLiteral("%1 already exists and is not an empty folder").arg(quoted(out));
    const Place parent = Place::followingLastLink(QFileInfo(out).absolutePath());
    if (!parent.leadsToFolder())
        return QStringLiteral("the folder to hold %1 does not exist").arg(quoted(out));
    for (const QString &release : {from, to}) {
        if (parent.isSameOrInside(Place::followingLastLink(release)))
            return QStringLiteral("%1 lies inside the release %2").arg(quoted(out), quoted(release));
    }
    return QString();
}

} // namespace

QByteArray PackageMaker::deletionList(const QStringList &files)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DelLs>\n";
    for (const QString &file : files)
        xml += "<file>" + file.toHtmlEscaped().toUtf8() + "</file>\n";
    xml += "</DelLs>\n";
    return xml;
}

QByteArray PackageMaker::manifest(const QList<QPair<QString, QByteArray>> &entries)
{
    QByteArray text;
    for (const auto &entry : entries) {
        // As sha256sum writes a name holding a backslash or a line break.
        QByteArray name = entry.first.toUtf8();
        const bool escaped = name.contains('\\') || name.contains('\n') || name.contains('\r');
        if (escaped)
            name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r");
        text += (escaped ? "\\" : "") + entry.second + "  " + name + '\n';
    }
    return text;
}

MakeReport PackageMaker::make(const Options &options, const Progress &progress, const CancelToken &cancel)
{
    MakeReport report;
    for (const QString &release : {options.from, options.to}) {
        if (!Place::followingLastLink(release).leadsToFolder())
            report.refusals << QStringLiteral("%1 is no folder").arg(quoted(release));
    }
    if (!report.refusals.isEmpty())
        return report;
    const QString outRefused = outRefusal(options.out, options.from, options.to);
    if (!outRefused.isEmpty()) {
        report.refusals << outRefused;
        return report;
    }

    const ReleaseTree oldTree = ReleaseTree::fromFolder(options.from, cancel);
    const ReleaseTree newTree = ReleaseTree::fromFolder(options.to, cancel);
    for (const QString &problem : oldTree.problems())
        report.refusals << QStringLiteral("the old release: ") + problem;
    for (const QString &problem : newTree.problems())
        report.refusals << QStringLiteral("the new release: ") + problem;
    if (newTree.fileAt(Package::deletionListName()))
        report.refusals << QStringLiteral(
                               "the new release has \"%1\" at its top, which the updater never installs")
                               .arg(Package::deletionListName());
    for (const Outcome &entry : oldTree.leftOut())
        report.leftOut.append({false, entry.path, entry.reason});
    for (const Outcome &entry : newTree.leftOut())
        report.leftOut.append({true, entry.path, entry.reason});
    for (const Outcome &link : newTree.folderLinks())
        report.links << QStringLiteral(
                            "%1 in the new release: %2 to a folder, whose files are installed as files")
                            .arg(quoted(link.path), link.reason);

    const QSet<QString> oldFolders(oldTree.folders().cbegin(), oldTree.folders().cend());
    const QSet<QString> newFolders(newTree.folders().cbegin(), newTree.folders().cend());

    // What goes into Env, and the pairs whose content decides.
    std::vector<const ReleaseFile *> payload;
    std::vector<std::pair<const ReleaseFile *, const ReleaseFile *>> toCompare;
    for (const ReleaseFile &file : newTree.files()) {
        if (file.isLink)
            report.links << QStringLiteral(
                                "%1 in the new release: a link to a file, installed as the file it leads to")
                                .arg(quoted(file.relative));
        const ReleaseFile *old = oldTree.fileAt(file.relative);
        if (!old) {
            if (oldFolders.contains(file.relative))
                report.refusals << QStringLiteral(
                                       "%1 is a folder in the old release and a file in the new one: "
                                       "the updater removes files only, and cannot put a file there")
                                       .arg(quoted(file.relative));
            report.added << file.relative;
            report.addedBytes += file.size;
            payload.push_back(&file);
        } else if (options.full || old->isLink || old->size != file.size ||
                   old->permissions != file.permissions) {
            if (old->isLink)
                report.links << QStringLiteral("%1 in the old release: a link, replaced by the file")
                                    .arg(quoted(file.relative));
            report.replaced << file.relative;
            report.replacedBytes += file.size;
            payload.push_back(&file);
        } else {
            toCompare.emplace_back(old, &file);
        }
    }
    for (const ReleaseFile &file : oldTree.files()) {
        if (newTree.fileAt(file.relative))
            continue;
        if (UpdaterFiles::isUpdatersOwn(file.relative))
            report.refusals << QStringLiteral("%1: the new release drops a file the updater needs to start, "
                                              "which it never deletes")
                                   .arg(quoted(file.relative));
        report.removed << file.relative;
    }
    for (const QString &folder : oldTree.folders()) {
        const int slash = folder.lastIndexOf(QLatin1Char('/'));
        const bool parentDropped = slash > 0 && !newFolders.contains(folder.left(slash));
        if (!newFolders.contains(folder) && !parentDropped)
            report.droppedFolders << folder;
    }
    // The updater writes through no folder link of the installation that leads out of it, and deletes
    // nothing behind one: a package that needs it to is refused, whatever the link's target.
    for (const Outcome &link : oldTree.folderLinks()) {
        const auto under = [&link](const QString &path) {
            return path.startsWith(link.path + QLatin1Char('/'));
        };
        const bool touched = std::any_of(payload.cbegin(), payload.cend(),
                                         [&](const ReleaseFile *file) { return under(file->relative); }) ||
                             std::any_of(report.removed.cbegin(), report.removed.cend(), under);
        if (touched)
            report.refusals << QStringLiteral(
                                   "%1 in the old release is %2 to a folder, and the package would "
                                   "change files behind it; make it a folder")
                                   .arg(quoted(link.path), link.reason);
        else
            report.links << QStringLiteral("%1 in the old release: %2 to a folder, left as it is")
                                .arg(quoted(link.path), link.reason);
    }
    if (!report.ok() || cancel.isCancelled())
        return report;

    qint64 totalBytes = report.addedBytes + report.replacedBytes;
    for (const auto &pair : toCompare)
        totalBytes += pair.first->size + pair.second->size;
    ByteCount count(totalBytes, progress);

    // Equal sizes: the content decides, both sides hashed on every core.
    std::vector<Crypto::FileHash> hashes(toCompare.size() * 2);
    Crypto::hashEach(
        hashes.size(),
        [&toCompare](size_t i) {
            const auto &pair = toCompare[i / 2];
            return (i % 2 ? pair.second : pair.first)->source;
        },
        [&hashes, &count, &toCompare](size_t i, const Crypto::FileHash &hash) {
            hashes[i] = hash;
            count.add(toCompare[i / 2].first->size);
        },
        0, cancel);
    for (size_t i = 0; i < toCompare.size(); ++i) {
        const Crypto::FileHash &oldHash = hashes[2 * i];
        const Crypto::FileHash &newHash = hashes[2 * i + 1];
        for (const Crypto::FileHash *hash : {&oldHash, &newHash}) {
            if (hash->state != Crypto::FileHash::State::Hashed)
                report.refusals << QStringLiteral("could not read %1: %2")
                                       .arg(quoted(hash->path), hash->reason.isEmpty()
                                                                    ? QStringLiteral("it changed while read")
                                                                    : hash->reason);
        }
        if (oldHash.digest == newHash.digest) {
            ++report.unchanged;
            continue;
        }
        report.replaced << toCompare[i].second->relative;
        report.replacedBytes += toCompare[i].second->size;
        payload.push_back(toCompare[i].second);
    }
    if (!report.ok() || cancel.isCancelled())
        return report;
    std::sort(payload.begin(), payload.end(), [](const ReleaseFile *a, const ReleaseFile *b) {
        return ReleaseTree::byteOrder(a->relative, b->relative);
    });
    std::sort(report.replaced.begin(), report.replaced.end(), ReleaseTree::byteOrder);

    // Laid out beside its place and renamed there whole: a package half made is never one.
    const QString out = QFileInfo(options.out).absoluteFilePath();
    QTemporaryDir staging(out + QStringLiteral(".partial-XXXXXX"));
    const QString env = staging.path() + QStringLiteral("/Env");
    const auto fail = [&report](const Outcome &outcome) {
        report.refusals << outcome.text();
        return report;
    };
    if (!staging.isValid() || !QDir().mkdir(env))
        return fail(Outcome::failure(QStringLiteral("create"), out, staging.errorString()));
    // New folders go in even when empty: the copy creates each folder it enters.
    for (const QString &folder : newTree.folders()) {
        if (!oldFolders.contains(folder) && !QDir().mkpath(env + QLatin1Char('/') + folder))
            return fail(Outcome::failure(QStringLiteral("create"), env + QLatin1Char('/') + folder,
                                         QStringLiteral("refused")));
    }
    QList<QPair<QString, QByteArray>> listed;
    for (const ReleaseFile *file : payload) {
        if (cancel.isCancelled())
            return report;
        const QString target = env + QLatin1Char('/') + file->relative;
        QByteArray digest;
        Outcome copied = QDir().mkpath(QFileInfo(target).absolutePath())
                             ? copyHashing(file->source, target, &digest, count)
                             : Outcome::failure(QStringLiteral("create"), QFileInfo(target).absolutePath(),
                                                QStringLiteral("refused"));
        if (!copied)
            return fail(copied);
        listed.append({file->relative, digest});
    }
    if (!report.removed.isEmpty()) {
        const QByteArray list = deletionList(report.removed);
        const Outcome written = writeNewFile(env + QLatin1Char('/') + Package::deletionListName(), list);
        if (!written)
            return fail(written);
        Crypto::Sha256 hash;
        hash.add(list.constData(), list.size());
        listed.append({Package::deletionListName(), hex(hash.result())});
        report.packageBytes += list.size();
    }
    std::sort(listed.begin(), listed.end(),
              [](const auto &a, const auto &b) { return ReleaseTree::byteOrder(a.first, b.first); });
    const QByteArray sums = manifest(listed);
    const Outcome written = writeNewFile(staging.path() + QStringLiteral("/SHA256SUMS"), sums);
    if (!written)
        return fail(written);
    report.packageBytes += sums.size() + report.addedBytes + report.replacedBytes;

    // A folder as "mkdir" makes it, whatever QTemporaryDir chose.
    QFile::setPermissions(staging.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadUser | QFile::WriteUser | QFile::ExeUser |
                                              QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                              QFile::ExeOther);
    if (Place::notFollowingLastLink(out).exists() && !QDir().rmdir(out))
        return fail(
            Outcome::failure(QStringLiteral("replace the empty folder"), out, QStringLiteral("refused")));
    if (!QDir().rename(staging.path(), out))
        return fail(Outcome::failure(QStringLiteral("move the package to"), out, QStringLiteral("refused")));
    staging.setAutoRemove(false);
    return report;
}
