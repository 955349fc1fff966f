#include "packageverifier.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QTemporaryDir>
#include <QtConcurrent>

#include "crypto.h"
#include "deletionlist.h"
#include "installationbackup.h"
#include "installationpaths.h"
#include "installationupdate.h"
#include "package.h"
#include "packagemanifest.h"
#include "place.h"
#include "releasetree.h"
#include "reporttext.h"
#include "stageprogress.h"
#include "treecopy.h"
#include "updaterfiles.h"
#include "updatetry.h"

namespace {

using ReportText::quoted;

// The debug lines the run writes while it rehearses, kept rather than printed:
// they are what explains a failed rehearsal.
class RunMessages
{
public:
    RunMessages() { previous = qInstallMessageHandler(&RunMessages::keep); }
    ~RunMessages() { qInstallMessageHandler(previous); }
    RunMessages(const RunMessages &) = delete;
    RunMessages &operator=(const RunMessages &) = delete;

    // The last `count` lines.
    static QStringList last(int count)
    {
        QMutexLocker locked(&lock());
        return kept().mid(qMax(0, kept().size() - count));
    }

private:
    static void keep(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        QMutexLocker locked(&lock());
        kept() << message;
    }
    static QMutex &lock()
    {
        static QMutex mutex;
        return mutex;
    }
    static QStringList &kept()
    {
        static QStringList lines;
        return lines;
    }
    QtMessageHandler previous = nullptr;
};

// Makes `path` the working folder while it lives: the run's failure log is written there.
class WorkingFolder
{
public:
    explicit WorkingFolder(const QString &path)
        : previous(QDir::currentPath())
    {
        QDir::setCurrent(path);
    }
    ~WorkingFolder() { QDir::setCurrent(previous); }
    WorkingFolder(const WorkingFolder &) = delete;
    WorkingFolder &operator=(const WorkingFolder &) = delete;

private:
    const QString previous;
};

void checkManifest(const Package &package, const PackageKeys &keys, VerifyReport &report)
{
    const ManifestCheck check = PackageManifest::check(package, keys, CancelToken());
    switch (check.result) {
    case ManifestCheck::Result::NoManifest:
        report.notes << QStringLiteral("no SHA256SUMS: a build without keys applies the package as it is");
        break;
    case ManifestCheck::Result::Matches:
        report.notes << QStringLiteral("checked %1 files against SHA256SUMS").arg(check.files);
        if (check.signature.valid)
            report.notes << QStringLiteral("signed by key %1, trusted comment: %2")
                                .arg(check.signature.keyId, check.signature.trustedComment);
        break;
    case ManifestCheck::Result::Mismatch:
        report.problems << QStringLiteral("the payload does not match SHA256SUMS: ") + check.problem;
        break;
    case ManifestCheck::Result::NotSigned:
        report.problems << QStringLiteral("SHA256SUMS is not signed by a key given: ") + check.problem;
        break;
    case ManifestCheck::Result::Cancelled:
        report.problems << QStringLiteral("the check of SHA256SUMS was cancelled");
        break;
    }
}

void checkDeletionList(const Package &package, const QString &installed, VerifyReport &report)
{
    const DeletionList list(package, installed, installed + QStringLiteral("/bin"));
    QStringList entries;
    const DeletionOutcome read = list.entries(&entries);
    if (read.result != DeletionOutcome::Readable && read.result != DeletionOutcome::NoList) {
        for (const Outcome &problem : read.problems)
            report.problems << QStringLiteral("del.xml: ") + problem.text();
        if (read.problems.isEmpty())
            report.problems << QStringLiteral("del.xml cannot be applied");
        return;
    }
    const QString canonicalRoot = QFileInfo(installed).canonicalFilePath();
    for (const QString &entry : qAsConst(entries)) {
        if (entry.isEmpty())
            continue;
        QString relative;
        const QString refused =
            InstallationPaths::removalRefusal(installed + QLatin1Char('/') + entry, canonicalRoot, &relative);
        if (!refused.isEmpty())
            report.problems << QStringLiteral("del.xml names %1, which the updater refuses: %2")
                                   .arg(quoted(entry), refused);
        else if (UpdaterFiles::isUpdatersOwn(entry) || UpdaterFiles::isUpdatersOwn(relative))
            report.problems
                << QStringLiteral("del.xml names %1, a file the updater needs to start").arg(quoted(entry));
        else if (InstallationBackup::isInArea(relative))
            report.problems
                << QStringLiteral("del.xml names %1, the updater's own bookkeeping").arg(quoted(entry));
        else if (relative.isEmpty())
            report.notes << QStringLiteral("del.xml names %1, which the installed release does not have")
                                .arg(quoted(entry));
        else {
            report.removed << relative;
            report.removedBytes += QFileInfo(canonicalRoot + QLatin1Char('/') + relative).size();
        }
    }
}

void planPayload(const Package &package, const QString &installed, VerifyReport &report)
{
    const ReleaseTree payload = ReleaseTree::fromFolder(package.payload());
    const ReleaseTree installedTree = ReleaseTree::fromFolder(installed);
    for (const QString &problem : payload.problems())
        report.problems << QStringLiteral("the payload: ") + problem;
    for (const Outcome &entry : payload.leftOut())
        report.leftOut << QStringLiteral("%1 (%2)").arg(entry.path, entry.reason);
    for (const Outcome &link : payload.folderLinks())
        report.notes << QStringLiteral(
                            "%1 in the payload: %2 to a folder, whose files are installed as files")
                            .arg(quoted(link.path), link.reason);
    const QSet<QString> installedFolders(installedTree.folders().cbegin(), installedTree.folders().cend());
    for (const ReleaseFile &file : payload.files()) {
        if (file.relative == Package::deletionListName())
            continue;
        if (file.isLink)
            report.notes << QStringLiteral(
                                "%1 in the payload: a link to a file, installed as the file it leads to")
                                .arg(quoted(file.relative));
        if (installedFolders.contains(file.relative))
            report.problems << QStringLiteral("%1 is a folder in the installed release: the payload's file "
                                              "cannot be put there")
                                   .arg(quoted(file.relative));
        if (installedTree.fileAt(file.relative)) {
            report.replaced << file.relative;
            report.replacedBytes += file.size;
        } else {
            report.added << file.relative;
            report.addedBytes += file.size;
        }
    }
}

// Compares the release `result` the rehearsal left with `expected`, as the updater installs it.
void compareWithExpected(const ReleaseTree &result, const ReleaseTree &expected, VerifyReport &report)
{
    for (const Outcome &entry : expected.leftOut())
        report.notCompared << QStringLiteral("%1 in the new release (%2)").arg(entry.path, entry.reason);
    QSet<QString> leftOutOfExpected;
    for (const Outcome &entry : expected.leftOut())
        leftOutOfExpected.insert(entry.path);
    for (const Outcome &entry : result.leftOut()) {
        if (!leftOutOfExpected.contains(entry.path))
            report.notCompared << QStringLiteral("%1 after the update (%2)").arg(entry.path, entry.reason);
    }
    std::vector<std::pair<const ReleaseFile *, const ReleaseFile *>> pairs;
    for (const ReleaseFile &file : expected.files()) {
        const ReleaseFile *got = result.fileAt(file.relative);
        if (!got)
            report.problems << QStringLiteral("%1 is missing after the update").arg(quoted(file.relative));
        else if (got->isLink && !file.isLink)
            report.problems << QStringLiteral("%1 is a link after the update, a file in the new release")
                                   .arg(quoted(file.relative));
        else if (got->permissions != file.permissions)
            report.problems << QStringLiteral(
                                   "%1 has other permissions after the update than in the new release")
                                   .arg(quoted(file.relative));
        else
            pairs.emplace_back(got, &file);
    }
    for (const ReleaseFile &file : result.files()) {
        if (!expected.fileAt(file.relative))
            report.problems << QStringLiteral("%1 is still there after the update; the new release has none")
                                   .arg(quoted(file.relative));
    }
    const QSet<QString> resultFolders(result.folders().cbegin(), result.folders().cend());
    const QSet<QString> expectedFolders(expected.folders().cbegin(), expected.folders().cend());
    for (const QString &folder : expected.folders()) {
        if (!resultFolders.contains(folder))
            report.problems
                << QStringLiteral("the folder %1 is missing after the update").arg(quoted(folder));
    }
    for (const QString &folder : result.folders()) {
        if (!expectedFolders.contains(folder))
            report.notes << QStringLiteral(
                                "the folder %1 stays after the update, which the new release drops")
                                .arg(quoted(folder));
    }
    std::vector<Crypto::FileHash> hashes(pairs.size() * 2);
    Crypto::hashEach(
        hashes.size(),
        [&pairs](size_t i) { return (i % 2 ? pairs[i / 2].second : pairs[i / 2].first)->source; },
        [&hashes](size_t i, const Crypto::FileHash &hash) { hashes[i] = hash; }, 0, CancelToken());
    for (size_t i = 0; i < pairs.size(); ++i) {
        const Crypto::FileHash &got = hashes[2 * i];
        const Crypto::FileHash &want = hashes[2 * i + 1];
        if (got.state != Crypto::FileHash::State::Hashed || want.state != Crypto::FileHash::State::Hashed)
            report.problems
                << QStringLiteral("could not read %1 to compare it").arg(quoted(pairs[i].second->relative));
        else if (got.digest != want.digest)
            report.problems << QStringLiteral("%1 differs after the update from the new release")
                                   .arg(quoted(pairs[i].second->relative));
        else
            ++report.filesCompared;
    }
}

// Applies the package to a copy of the installed release, as the first try of a run does, and compares.
void rehearseOnCopy(const PackageVerifier::Options &options, const Package &package, VerifyReport &report)
{
    QTemporaryDir work;
    const QString root = work.path() + QStringLiteral("/install");
    const QString packageCopy = work.path() + QStringLiteral("/package");
    for (const Outcome &copied :
         {TreeCopy::copy(options.installed, root), TreeCopy::copy(package.path(), packageCopy)}) {
        if (!copied) {
            report.problems << QStringLiteral("could not rehearse the update: ") + copied.text();
            return;
        }
    }
    TryDone done;
    {
        const WorkingFolder inWork(work.path());
        const RunMessages messages;
        auto update = std::make_shared<InstallationUpdate>(root, packageCopy, root + QStringLiteral("/bin"));
        update->leaveNoStartupEntry();
        TryRequest request;
        request.update = update;
        request.firstTry = true;
        request.keys = options.keys;
        request.packageCheck = QtConcurrent::run(&PackageManifest::check, update->package(), options.keys,
                                                 request.checkCancel, 0);
        StageProgress progress;
        done = UpdateTry::run(request, progress);
        if (done.result != TryResult::Committed) {
            report.problems << QStringLiteral(
                "the update did not go through on a copy of the installed release; "
                "the run's last lines:");
            for (const QString &line : RunMessages::last(8))
                report.problems << QStringLiteral("    ") + line;
            return;
        }
        InstallationUpdate::dropTrash(root);
    }
    report.rehearsed = true;
    compareWithExpected(ReleaseTree::fromFolder(root), ReleaseTree::fromFolder(options.expected), report);
}

} // namespace

VerifyReport PackageVerifier::verify(const Options &options)
{
    VerifyReport report;
    for (const QString &release : {options.installed, options.expected}) {
        if (!release.isEmpty() && !Place::followingLastLink(release).leadsToFolder())
            report.problems << QStringLiteral("%1 is no folder").arg(quoted(release));
    }
    if (!options.keys.problem.isEmpty())
        report.problems << QStringLiteral("the keys cannot be read: ") + options.keys.problem;
    if (!report.ok())
        return report;
    const QString installed = QFileInfo(options.installed).absoluteFilePath();
    const Package package(options.package);
    const QString refused = package.applyRefusal(installed);
    if (!refused.isEmpty()) {
        report.problems << QStringLiteral("the updater applies no such package: ") + refused;
        return report;
    }
    checkManifest(package, options.keys, report);
    checkDeletionList(package, installed, report);
    planPayload(package, installed, report);
    if (report.ok() && !options.expected.isEmpty())
        rehearseOnCopy(options, package, report);
    return report;
}
