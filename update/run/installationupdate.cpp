#include "installationupdate.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <utility>

#include "fileops.h"
#include "payloadwalk.h"
#include "platform.h"
#include "logcategories.h"

InstallationUpdate::InstallationUpdate(const QString &installationRoot, const QString &packageDir,
                                       const QString &applicationDir)
    // Resolved once: the journal must name the same files from any working folder.
    : InstallationUpdate(installationRoot, Package(packageDir), applicationDir)
{}

InstallationUpdate::InstallationUpdate(const QString &installationRoot, const Package &package,
                                       const QString &applicationDir)
    : rootPath(QDir::cleanPath(QDir(installationRoot).absolutePath()))
    , updatePackage(package)
    , applicationPath(applicationDir)
    , notApplied(updatePackage.applyRefusal(rootPath, &packageUnreadable))
    , backup(rootPath, updatePackage)
    , deletionList(updatePackage, rootPath, applicationPath)
    , payloadCopy(updatePackage, rootPath, backup)
    , startupEntry(rootPath)
{
    backup.setBeforeFirstChange([this] { writeStartupEntry(); });
}

// Once per run: retries and the rollback find the entry there already.
void InstallationUpdate::writeStartupEntry()
{
    if (!startupEntryWanted || std::exchange(startupEntryWritten, true))
        return;
    const Outcome written = startupEntry.write(Platform::updaterProgram(applicationPath), updatePackage);
    if (!written)
        qCDebug(lcStartup).noquote() << "No start-up entry will finish this run after a power cut:"
                                     << written.text();
}

bool InstallationUpdate::isPackage() const
{
    return notApplied.isEmpty();
}

Recovery InstallationUpdate::recoverEarlierRun()
{
    return backup.recoverEarlierRun();
}

bool InstallationUpdate::hasChanges() const
{
    return backup.hasArea();
}

DeletionOutcome InstallationUpdate::checkDeletionList() const
{
    return isPackage() ? deletionList.check() : DeletionOutcome();
}

QStringList InstallationUpdate::payloadCollision(const CancelToken &cancel) const
{
    if (!isPackage())
        return QStringList();
    return PayloadWalk(updatePackage.payload(), updatePackage.payloadLiesElsewhere(),
                       Package::deletionListName())
        .firstCollision(cancel);
}

DeletionOutcome InstallationUpdate::applyDeletionList()
{
    return isPackage() ? deletionList.apply(backup) : DeletionOutcome();
}

CopyOutcome InstallationUpdate::copyPayload(const CancelToken &cancel, const CopyProgress &progress)
{
    // A package whose Env folder the system could not read is no folder
    // without one: a run that applied nothing must not end as a success.
    if (!isPackage() && packageUnreadable) {
        CopyOutcome unread;
        unread.outcome = Outcome::failure(QStringLiteral("copy"), updatePackage.payload(),
                                         QStringLiteral("the system could not tell what the Env folder is"));
        return unread;
    }
    if (!isPackage())
        return CopyOutcome();
    // The package changed after it was checked (its deletion list did): none of it is copied.
    if (contentDiffered()) {
        CopyOutcome refused;
        refused.outcome = Outcome::failure(QStringLiteral("copy"), updatePackage.payload(),
                                           QStringLiteral("the package changed after it was checked"));
        return refused;
    }
    return payloadCopy.copy(cancel, progress);
}

void InstallationUpdate::checkContentAgainst(std::shared_ptr<const ListedContent> listed)
{
    backup.contentAtUse().setListed(std::move(listed));
}

Outcome InstallationUpdate::checkPlacedContent(const CancelToken &cancel)
{
    return backup.contentAtUse().checkPlaced(rootPath, updatePackage.payload(), cancel);
}

bool InstallationUpdate::contentDiffered() const
{
    return backup.contentAtUse().foundDifference();
}

Outcome InstallationUpdate::commit()
{
    return backup.commit();
}

namespace {

// The first few entries left of a folder that could not be removed whole.
QStringList leftOf(const QString &folder)
{
    QStringList left;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext() && left.size() < 5)
        left << it.next();
    return left.isEmpty() ? QStringList{folder} : left;
}

} // namespace

Outcome InstallationUpdate::removePackage()
{
    const QString path = updatePackage.path();
    // A wrong folder handed over by mistake is never removed: only a package has a payload.
    QString refusal = notApplied;
    if (refusal.isEmpty())
        refusal = updatePackage.removalRefusal(rootPath, applicationPath);
    if (!refusal.isEmpty())
        return Outcome::failure(QStringLiteral("remove the package folder"), path, refusal);
    // What a passing refusal kept is tried once more; what is left then is named.
    if (!FileOps::removeTree(path) && !FileOps::removeTree(path))
        return Outcome::failure(QStringLiteral("remove the package folder"), path,
                                QStringLiteral("some of its entries could not be removed: %1")
                                    .arg(leftOf(path).join(QStringLiteral(", "))));
    // The link it was handed over through leads nowhere now.
    if (updatePackage.givenThroughLink() && !FileOps::removeFile(updatePackage.givenPath()))
        return Outcome::failure(QStringLiteral("remove the link to the package folder"),
                                updatePackage.givenPath(), FileOps::lastError());
    return Outcome::done();
}

void InstallationUpdate::finishRun()
{
    if (!startupEntryWanted)
        return;
    const Outcome removed = startupEntry.remove();
    if (!removed)
        qCDebug(lcStartup).noquote()
            << "The start-up entry stays, and runs the update again at the next logon:" << removed.text();
}

Outcome InstallationUpdate::rollBack()
{
    const Outcome restored = backup.restore();
    if (restored) // otherwise not whole yet: the next logon tries again
        finishRun();
    return restored;
}

bool InstallationUpdate::dropTrash(const QString &installationRoot)
{
    return InstallationBackup(installationRoot).dropTrash();
}
