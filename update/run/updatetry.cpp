#include "updatetry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include "stageprogress.h"
#include "logcategories.h"

UpdateTry::UpdateTry(InstallationUpdate &update, const CancelToken &cancel, StageProgress &progress)
    : update(update)
    , cancel(cancel)
    , progress(progress)
{}

TryDone UpdateTry::run(const TryRequest &request, StageProgress &progress)
{
    TryDone done;
    done.update = request.update;
    UpdateTry attempt(*request.update, request.cancel, progress);
    if (request.firstTry && !attempt.packageMatches(request)) {
        done.result = request.cancel.isCancelled() ? TryResult::Failed : TryResult::Refused;
        return done;
    }
    if (attempt.runStages())
        done.result = TryResult::Committed;
    // A file that was not its listed content when used stays so for every try, and so does a list
    // that cannot be applied.
    else if (request.update->contentDiffered() || attempt.packageRefused)
        done.result = TryResult::Refused;
    return done;
}

TryDone UpdateTry::rollBack(std::shared_ptr<InstallationUpdate> update, const QString &occasion)
{
    TryDone done;
    done.update = update;
    const Outcome rolledBack = update->rollBack();
    if (rolledBack) {
        qCDebug(lcRunRolledBack).noquote() << occasion + QStringLiteral("; the installation was rolled back");
        return done;
    }
    qCDebug(lcRunRollbackStopped).noquote()
        << occasion + QStringLiteral("; the installation could not be rolled back completely");
    qCDebug(lcRunRollbackStopped).noquote() << "The rollback stopped:" << rolledBack.text();
    return done;
}

// Recovers what an earlier run left, then takes the check of the package
// against its manifest. A run cut short may have moved files of the payload
// into the installation, and the recovery moves them back: the check is then
// done again. What an earlier run left that cannot be trusted applies nothing.
// From a match on, the run holds every file it uses to the listing.
bool UpdateTry::packageMatches(const TryRequest &request)
{
    const PackageKeys &keys = request.keys;
    ManifestCheck verdict;
    if (!awaitCheck(request, &verdict))
        return false;
    const Recovery recovery = update.recoverEarlierRun();
    if (recovery == Recovery::Blocked)
        return false;
    if (recovery == Recovery::RolledBack && verdict.result != ManifestCheck::Result::NoManifest)
        verdict = PackageManifest::check(update.package(), keys, cancel);
    if (!update.isPackage())
        return true;
    if (verdict.result == ManifestCheck::Result::NoManifest)
        return deletionListApplies() && payloadNamesApart();
    if (verdict.result == ManifestCheck::Result::Matches) {
        if (verdict.signature.valid)
            qCDebug(lcRunPackageSigned).noquote()
                << QStringLiteral("SHA256SUMS is signed with key %1; trusted comment: %2")
                       .arg(verdict.signature.keyId, verdict.signature.trustedComment);
        qCDebug(lcRunPackageChecked).noquote()
            << QStringLiteral("checked %1 files against SHA256SUMS").arg(verdict.files);
        update.checkContentAgainst(verdict.listed);
        return deletionListApplies() && payloadNamesApart();
    }
    if (verdict.result == ManifestCheck::Result::Mismatch)
        qCDebug(lcRunPackageRefused).noquote()
            << "The package does not match its SHA256SUMS, so none of it is applied:" << verdict.problem;
    else if (verdict.result == ManifestCheck::Result::NotSigned)
        qCDebug(lcRunPackageRefused).noquote()
            << "The package is not signed with a built-in key, so none of it is applied:" << verdict.problem;
    return false;
}

// The check ran while the product stopped. One that shows no progress for
// the bound (a file system that stopped answering) refuses the package, and
// a close ends the wait at once: the product is never left stopped on it.
bool UpdateTry::awaitCheck(const TryRequest &request, ManifestCheck *verdict)
{
    QElapsedTimer still;
    still.start();
    quint64 seen = request.checkCancel.progress();
    while (!request.packageCheck.isFinished()) {
        if (cancel.isCancelled())
            return false;
        const quint64 now = request.checkCancel.progress();
        if (now != seen) {
            seen = now;
            still.restart();
        } else if (still.elapsed() > request.checkStallBound) {
            request.checkCancel.cancel();
            qCDebug(lcRunPackageRefused).noquote()
                << QStringLiteral("The package check showed no progress for %1 ms, so none of the package is "
                                  "applied")
                       .arg(request.checkStallBound);
            return false;
        }
        QThread::msleep(10);
    }
    *verdict = request.packageCheck.result();
    return true;
}

// A list that can never be applied refuses the package before anything changes.
bool UpdateTry::deletionListApplies()
{
    const DeletionOutcome list = update.checkDeletionList();
    if (!list.refusesPackage())
        return true;
    logDeletionProblems(list);
    qCDebug(lcRunPackageRefused).noquote()
        << "The deletion list cannot be applied, so none of the package is applied:"
        << list.problems.value(0).text();
    return false;
}

// Of two payload entries the system takes for one name, only one could be
// installed, and which one is chance: the package is refused before anything changes.
bool UpdateTry::payloadNamesApart()
{
    const QStringList collision = update.payloadCollision(cancel);
    if (collision.isEmpty())
        return true;
    qCDebug(lcRunPackageRefused).noquote()
        << QStringLiteral("The payload holds \"%1\" and \"%2\", which are one name here, "
                          "so none of the package is applied")
               .arg(collision.value(0), collision.value(1));
    return false;
}

bool UpdateTry::runStages()
{
    // A listed file that could not be set aside fails the try before anything is copied.
    if (!updateDel())
        return false;
    const bool ok = copy();
    // A close that came while the payload was copied is taken before the commit.
    return ok && !cancel.isCancelled() && contentPlacedAsListed() && !cancel.isCancelled() && updateVersion();
}

// The files moved into place are hashed there, and every listed file must be
// in place, before the commit makes the run final.
bool UpdateTry::contentPlacedAsListed()
{
    const Outcome checked = update.checkPlacedContent(cancel);
    if (!checked && update.contentDiffered())
        qCDebug(lcRunNotCommitted).noquote()
            << "The installed files do not match SHA256SUMS, so the update is not committed:"
            << checked.text();
    return checked.ok();
}

void UpdateTry::logDeletionProblems(const DeletionOutcome &outcome)
{
    if (outcome.result == DeletionOutcome::CannotOpen || outcome.result == DeletionOutcome::NotPlainFile)
        qCDebug(lcRun) << "Failed to initialize update/Env/del.xml";
    else if (outcome.result == DeletionOutcome::NotXml)
        qCDebug(lcRun) << "Failed to load into QDomDocument";
    for (const Outcome &problem : outcome.problems)
        qCDebug(lcRunNotDeleted).noquote() << "Deletion list:" << problem.text();
}

// The copy follows only a list applied whole, or none: the list is never
// installed, and an obsolete file left beside the new version is what breaks
// products after updates.
bool UpdateTry::updateDel()
{
    const DeletionOutcome outcome = update.applyDeletionList();
    logDeletionProblems(outcome);
    if (outcome.result == DeletionOutcome::Applied)
        qCDebug(lcRun) << "delete finish!";
    if (outcome.letsCopyFollow()) {
        emit progress.targetSet(35);
        return true;
    }
    packageRefused = outcome.refusesPackage();
    if (outcome.result == DeletionOutcome::Incomplete)
        qCDebug(lcRun) << "A file the deletion list names could not be set aside, so this try failed";
    else if (outcome.result == DeletionOutcome::CannotOpen)
        qCDebug(lcRun) << "The deletion list could not be read, so this try failed";
    return false;
}

bool UpdateTry::copy()
{
    const bool ok = copyDirectory();
    // A close cut the copy short between two files: not a failure to log.
    if (!ok && !cancel.isCancelled())
        writeLog(QStringLiteral("copy fail!"));
    qCDebug(lcRun) << "copy finish";
    emit progress.targetSet(95);
    return ok;
}

// While the payload is copied the target goes from 35 toward 95 with the bytes
// done. A failure leaves the names on its way in the failure log, innermost first.
bool UpdateTry::copyDirectory()
{
    int target = 35;
    const CopyOutcome outcome = update.copyPayload(cancel, [&](qint64 done, qint64 total) {
        const int reached = total > 0 ? int(35 + 60 * done / total) : 35;
        if (reached != target)
            emit progress.targetSet(target = reached);
    });
    for (const Outcome &skipped : outcome.skipped)
        qCDebug(lcRunLeftOut).noquote() << "Left out of the copy:" << skipped.text();
    if (outcome.ok() || outcome.cancelled)
        return outcome.ok();

    qCDebug(lcRunCopyFailed).noquote() << "The copy failed:" << outcome.outcome.text();
    writeLog(outcome.entry.isEmpty() ? QStringLiteral("makedir error") : outcome.entry);
    for (auto folder = outcome.folders.crbegin(); folder != outcome.folders.crend(); ++folder) {
        writeLog(QStringLiteral("copyDirectory fail"));
        writeLog(*folder);
    }
    return false;
}

void UpdateTry::writeLog(const QString &message)
{
    // Named in the window's translation context, where translators have always found it.
    QFile file(QCoreApplication::translate("DlgUpdate", "log.txt"));
    file.open(QIODevice::WriteOnly);
    file.write(message.toStdString().c_str());
    file.close();
}

bool UpdateTry::updateVersion()
{
    return commitAndRemovePackage();
}

// The new version becomes final, and then the package goes.
bool UpdateTry::commitAndRemovePackage()
{
    // Final before anything is cleaned up: a clean-up cut short is never rolled back.
    const Outcome committed = update.commit();
    if (!committed) {
        qCDebug(lcRunNotCommitted).noquote()
            << "The update could not be committed, so this try failed:" << committed.text();
        return false;
    }
    const Outcome removed = update.removePackage();
    if (!removed)
        qCDebug(lcRunPackageKept).noquote()
            << "Kept the package folder" << QStringLiteral("\"%1\"").arg(removed.path) << "because"
            << removed.reason;
    update.finishRun();
    emit progress.targetSet(100);
    qCDebug(lcRun) << "100!";
    return true;
}
