#include "dlgupdate.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QShowEvent>
#include <QTimerEvent>
#include <QtConcurrent>

#include "installationlock.h"
#include "installationpaths.h"
#include "platform.h"
#include "resources.h"
#include "ui_dlgupdate.h"

namespace {

constexpr int MaxAttempts = 5;

void reportRollback(const QString &occasion, const Outcome &rollback)
{
    if (rollback) {
        qDebug().noquote() << occasion + QStringLiteral("; the installation was rolled back");
        return;
    }
    qDebug().noquote() << occasion + QStringLiteral("; the installation could not be rolled back completely");
    qDebug().noquote() << "The rollback stopped:" << rollback.text();
}

const QString closedEarly = QStringLiteral("Closed before the update finished");

} // namespace

DlgUpdate::DlgUpdate(QWidget *parent)
    : CCtrlDialog(parent)
    , ui(new Ui_DlgUpdate)
    , progressTimerId(-1)
    , stageTimerId(-1)
    , targetProgress(0)
    , attemptCount(0)
    , applicationDir(QCoreApplication::applicationDirPath())
    , productName(Platform::productProcessName())
{
    // The bar's chunk is drawn from ":/progress".
    Resources::init();
    ui->setupUi(this);
    ui->btnOK->setEnabled(false);

    connect(&productStop, &StopCommand::over, this, &DlgUpdate::onProductStopOver);
    connect(&selfStop, &StopCommand::over, this, &DlgUpdate::onSelfStopOver);
    connect(&trashRemoval, &QFutureWatcher<bool>::finished, this, [this] {
        if (!trashRemoval.result())
            qDebug() << "Left trash that cannot be removed yet; a later run removes it";
    });
    connect(
        &stageProgress, &StageProgress::targetSet, this, [this](int target) { targetProgress = target; },
        Qt::QueuedConnection);
    connect(&work, &QFutureWatcher<WorkResult>::finished, this, &DlgUpdate::onWorkFinished);
    // The session ending quits the application without closing the window first.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &DlgUpdate::abandonRun);
}

DlgUpdate::~DlgUpdate()
{
    cancelTry.cancel();
    cancelCheck.cancel();
    work.waitForFinished();
    packageCheck.waitForFinished();
    trashRemoval.waitForFinished();
    delete ui;
}

bool DlgUpdate::claimInstallation()
{
    if (!installationLock)
        installationLock =
            std::make_unique<InstallationLock>(InstallationPaths::installationRoot(applicationDir));
    return installationLock->claim();
}

void DlgUpdate::releaseInstallation()
{
    if (installationLock)
        installationLock->release();
}

void DlgUpdate::reject()
{
    switch (state) {
    case RunState::Staging:
    case RunState::RollingBack:
        // Taken at the next safe point: between two files, or when the worker is done.
        closeRequested = true;
        cancelTry.cancel();
        cancelCheck.cancel();
        return;
    case RunState::Waiting:
    case RunState::Failed:
        if (stageTimerId != -1) {
            killTimer(stageTimerId);
            stageTimerId = -1;
        }
        // Closing while a run has changed the installation and not succeeded puts it
        // back, deletion list included, so no one starts two versions mixed.
        if (update && update->hasChanges()) {
            closeRequested = true;
            startRollback(closedEarly);
            return;
        }
        break;
    case RunState::Idle:
    case RunState::StoppingProduct:
    case RunState::Completing:
    case RunState::Relaunched:
    case RunState::Restarted:
    case RunState::Closed:
        // Nothing of this run to undo: nothing changed yet, it is committed, or put back already.
        break;
    }
    CCtrlDialog::reject();
}

// The application quits without the window being closed (the session ends):
// there is no event loop left to wait in, so the rollback runs here.
void DlgUpdate::abandonRun()
{
    cancelCheck.cancel();
    if (state == RunState::Staging || state == RunState::RollingBack) {
        cancelTry.cancel();
        work.disconnect(this);
        work.waitForFinished();
        const WorkResult result = work.result();
        update = result.update;
        if (state == RunState::Staging && result.ok) {
            state = RunState::Completing;
            return;
        }
    } else if (state != RunState::Waiting && state != RunState::Failed) {
        return;
    }
    state = RunState::Closed;
    if (update && update->hasChanges())
        reportRollback(closedEarly, update->rollBack());
}

void DlgUpdate::setPackageDir(QString dir)
{
    packageDir = dir;
}

void DlgUpdate::setPackageKeys(const QByteArray &publicKeys)
{
    packageKeys = PackageKeys::read(publicKeys);
}

void DlgUpdate::setApplicationDir(const QString &dir)
{
    applicationDir = dir;
}

void DlgUpdate::setTimings(const Timings &newTimings)
{
    timings = newTimings;
}

void DlgUpdate::showEvent(QShowEvent *event)
{
    Q_UNUSED(event)
    if (!claimInstallation()) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    attemptCount = 0;
    if (progressTimerId != -1)
        killTimer(progressTimerId);
    progressTimerId = startTimer(timings.progressInterval, Qt::CoarseTimer);
    if (!mayWriteInstallation())
        return;
    state = RunState::StoppingProduct;
    stopProduct();
    targetProgress = 5;
}

// An installation this updater cannot write is left as it is, its product
// running: a run that stopped it could neither update nor roll back. On
// Windows an updater that is not elevated asks to run again elevated.
bool DlgUpdate::mayWriteInstallation()
{
    const QString root = InstallationPaths::installationRoot(applicationDir);
    const QString refusal = InstallationPaths::writeRefusal(root);
    if (refusal.isEmpty())
        return true;
    // The elevated updater takes the lock over at once.
    releaseInstallation();
    QString notElevated;
    if (Platform::restartElevated(&notElevated)) {
        qDebug().noquote() << "The installation cannot be written by this updater; it runs again elevated:"
                           << refusal;
        state = RunState::Closed;
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return false;
    }
    QString message =
        QStringLiteral("The installation \"%1\" cannot be written (%2), so nothing is stopped or "
                       "changed")
            .arg(root, refusal);
    if (!notElevated.isEmpty())
        message += QStringLiteral("; ") + notElevated;
    qDebug().noquote() << message;
    showFailureState();
    return false;
}

void DlgUpdate::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == progressTimerId)
        progressTick();
    else if (event->timerId() == stageTimerId)
        stageTick();
}

void DlgUpdate::progressTick()
{
    const int value = ui->progress->value();
    const int target = targetProgress;
    if (value >= target)
        return;

    // A twentieth of the remaining distance, but at least one point.
    float step = float((target - value) / 20.0);
    if (step != 0.0f && step < 1.0f)
        step = 1.0f;
    const int newValue = qMin(int(float(value) + step), 100);
    ui->progress->setValue(newValue);

    if (newValue == 100) {
        ui->btnOK->setEnabled(true);
        onAfterUpdateTaskFinish();
    }
}

void DlgUpdate::stageTick()
{
    killTimer(stageTimerId);
    stageTimerId = -1;

    if (attemptCount >= MaxAttempts) {
        enterFailureState();
        return;
    }
    startTry();
}

std::shared_ptr<InstallationUpdate> DlgUpdate::takeUpdate()
{
    if (!update)
        update = std::make_shared<InstallationUpdate>(InstallationPaths::installationRoot(applicationDir),
                                                      packageDir, applicationDir);
    return std::exchange(update, nullptr);
}

// Hashing the payload while the first try waits costs the user nothing.
void DlgUpdate::startPackageCheck()
{
    if (std::exchange(packageCheckStarted, true))
        return;
    packageCheck =
        QtConcurrent::run(&PackageManifest::check, Package(packageDir), packageKeys, cancelCheck, 0);
}

void DlgUpdate::startTry()
{
    const bool firstTry = attemptCount == 0;
    // A run starts from the installation as it is now, whatever an earlier one left.
    if (firstTry) {
        update.reset();
        startPackageCheck();
    }
    state = RunState::Staging;
    cancelTry = CancelToken();
    // Handed copies only: the worker reads nothing of the window.
    work.setFuture(QtConcurrent::run(
        [update = takeUpdate(), firstTry, check = packageCheck, keys = packageKeys, cancel = cancelTry,
         progress = &stageProgress] { return runTry(update, firstTry, check, keys, cancel, progress); }));
}

void DlgUpdate::startRollback(const QString &occasion)
{
    state = RunState::RollingBack;
    rollbackOccasion = occasion;
    work.setFuture(QtConcurrent::run(&DlgUpdate::runRollback, takeUpdate()));
}

void DlgUpdate::onWorkFinished()
{
    const WorkResult result = work.result();
    update = result.update;
    if (state == RunState::Staging)
        finishTry(result);
    else if (state == RunState::RollingBack)
        finishRollback(result);
}

void DlgUpdate::finishTry(const WorkResult &result)
{
    if (result.ok) {
        state = RunState::Completing;
        // The originals go while the bar climbs, so they never hold up the product's return.
        trashRemoval.setFuture(QtConcurrent::run(&InstallationUpdate::dropTrash, update->root()));
        if (std::exchange(closeRequested, false))
            CCtrlDialog::reject();
        return;
    }
    if (closeRequested) {
        startRollback(closedEarly);
        return;
    }
    // A package cannot heal between tries: straight to the failure.
    if (result.refused) {
        enterFailureState();
        return;
    }
    state = RunState::Waiting;
    if (attemptCount < MaxAttempts) {
        stageTimerId = startTimer(timings.stageInterval, Qt::CoarseTimer);
        ++attemptCount;
    }
}

void DlgUpdate::enterFailureState()
{
    // Restart the product on the version it had, not on a mix of two.
    startRollback(QStringLiteral("Update failed"));
}

void DlgUpdate::finishRollback(const WorkResult &result)
{
    reportRollback(rollbackOccasion, result.rollback);
    if (std::exchange(closeRequested, false)) {
        state = RunState::Closed;
        CCtrlDialog::reject();
        return;
    }
    showFailureState();
}

void DlgUpdate::showFailureState()
{
    state = RunState::Failed;
    ui->label->setText(QStringLiteral("更新失败"));
    ui->label->setStyleSheet(QStringLiteral("color:rgb(255,0,0);"));
    ui->btnOK->setEnabled(true);
    ui->btnOK->setText(QStringLiteral("重启"));
}

DlgUpdate::WorkResult DlgUpdate::runTry(std::shared_ptr<InstallationUpdate> update, bool firstTry,
                                        QFuture<ManifestCheck> packageCheck, PackageKeys keys,
                                        CancelToken cancel, StageProgress *progress)
{
    WorkResult result;
    result.update = update;
    if (firstTry && !packageMatches(*update, packageCheck, keys, cancel)) {
        result.refused = !cancel.isCancelled();
        return result;
    }
    result.ok = runStages(*update, cancel, *progress);
    // A file that was not its listed content when used stays so for every try.
    result.refused = !result.ok && update->contentDiffered();
    return result;
}

// Recovers what an earlier run left, then takes the check of the package
// against its manifest. A run cut short may have moved files of the payload
// into the installation, and the recovery moves them back: the check is then
// done again. What an earlier run left that cannot be trusted applies nothing.
// From a match on, the run holds every file it uses to the listing.
bool DlgUpdate::packageMatches(InstallationUpdate &update, QFuture<ManifestCheck> packageCheck,
                               const PackageKeys &keys, const CancelToken &cancel)
{
    ManifestCheck verdict = packageCheck.result();
    const Recovery recovery = update.recoverEarlierRun();
    if (recovery == Recovery::Blocked)
        return false;
    if (recovery == Recovery::RolledBack && verdict.result != ManifestCheck::Result::NoManifest)
        verdict = PackageManifest::check(update.package(), keys, cancel);
    if (!update.isPackage() || verdict.result == ManifestCheck::Result::NoManifest)
        return true;
    if (verdict.result == ManifestCheck::Result::Matches) {
        if (verdict.signature.valid)
            qDebug().noquote() << QStringLiteral("SHA256SUMS is signed with key %1; trusted comment: %2")
                                      .arg(verdict.signature.keyId, verdict.signature.trustedComment);
        qDebug().noquote() << QStringLiteral("checked %1 files against SHA256SUMS").arg(verdict.files);
        update.checkContentAgainst(verdict.listed);
        return true;
    }
    if (verdict.result == ManifestCheck::Result::Mismatch)
        qDebug().noquote() << "The package does not match its SHA256SUMS, so none of it is applied:"
                           << verdict.problem;
    else if (verdict.result == ManifestCheck::Result::NotSigned)
        qDebug().noquote() << "The package is not signed with a built-in key, so none of it is applied:"
                           << verdict.problem;
    return false;
}

// The files moved into place are hashed there, and every listed file must be
// in place, before the commit makes the run final.
bool DlgUpdate::contentPlacedAsListed(InstallationUpdate &update, const CancelToken &cancel)
{
    const Outcome checked = update.checkPlacedContent(cancel);
    if (!checked && update.contentDiffered())
        qDebug().noquote() << "The installed files do not match SHA256SUMS, so the update is not committed:"
                           << checked.text();
    return checked.ok();
}

DlgUpdate::WorkResult DlgUpdate::runRollback(std::shared_ptr<InstallationUpdate> update)
{
    WorkResult result;
    result.update = update;
    result.rollback = update->rollBack();
    return result;
}

bool DlgUpdate::runStages(InstallationUpdate &update, const CancelToken &cancel, StageProgress &progress)
{
    updateDel(update, progress);
    const bool ok = copy(update, cancel, progress);
    // A close that came while the payload was copied is taken before the commit.
    return ok && !cancel.isCancelled() && contentPlacedAsListed(update, cancel) && !cancel.isCancelled() &&
           updateVersion(update, progress);
}

void DlgUpdate::armStageTimer()
{
    if (stageTimerId != -1) {
        killTimer(stageTimerId);
        stageTimerId = -1;
    }
    stageTimerId = startTimer(timings.stageInterval, Qt::CoarseTimer);
}

void DlgUpdate::stopProduct()
{
    productStop.start(productName, applicationDir, timings.stopCommandBound);
}

// No stop command at all, or one that never returns, must not hold the run:
// a product still holding its files makes the copy fail and the run roll back.
void DlgUpdate::onProductStopOver(StopCommand::Ending ending)
{
    if (state == RunState::StoppingProduct && ending == StopCommand::Ending::BoundedOut)
        qDebug().noquote()
            << "Going on without the stop command, which"
            << QStringLiteral("did not finish within %1 s").arg(timings.stopCommandBound / 1000);
    else if (state == RunState::StoppingProduct && ending == StopCommand::Ending::NoCommand)
        qDebug().noquote() << "Going on without the stop command, which could not be started";
    onKillFinish(-1, QProcess::NormalExit);
}

void DlgUpdate::onKillFinish(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode)
    Q_UNUSED(exitStatus)
    qDebug() << "kill finish";
    targetProgress = 15;
    state = RunState::Waiting;
    // The product is stopped: nothing writes to the package any more.
    startPackageCheck();
    armStageTimer();
}

void DlgUpdate::onBeforeUpdateTaskFinish()
{
    armStageTimer();
}

void DlgUpdate::on_btnOK_clicked()
{
    if (state == RunState::Failed || state == RunState::Restarted)
        onAfterUpdateTaskFinish();
}

void DlgUpdate::onAfterUpdateTaskFinish()
{
    qDebug() << "Finish!";

    const QFileInfo program(Platform::productProgram(applicationDir));
    if (!QProcess::startDetached(program.filePath(), QStringList())) {
        const QString reason = !program.exists()         ? QStringLiteral("there is no such file")
                               : !program.isExecutable() ? QStringLiteral("it is not executable")
                                                         : QStringLiteral("the system refused to start it");
        qDebug().noquote()
            << QStringLiteral("Could not start the product \"%1\": %2").arg(program.filePath(), reason);
    }
    // From here on nothing is rolled back: the product may be using its files.
    state = state == RunState::Failed || state == RunState::Restarted ? RunState::Restarted
                                                                      : RunState::Relaunched;

    if (trashRemoval.isRunning())
        connect(&trashRemoval, &QFutureWatcher<bool>::finished, this, &DlgUpdate::stopSelf,
                Qt::UniqueConnection);
    else
        stopSelf();
}

// Ends this installation's other updaters, by their executable's path, while the
// event loop runs on; another installation's, busy with its own run, are left alone.
void DlgUpdate::stopSelf()
{
    releaseInstallation();
    selfStop.startEndingProgram(Platform::updaterProgram(applicationDir), timings.stopCommandBound);
}

// The product is running again by now and, as the last window, closing the
// window ends the updater with status 0.
void DlgUpdate::onSelfStopOver(StopCommand::Ending ending)
{
    QString reason;
    if (ending == StopCommand::Ending::BoundedOut)
        reason = QStringLiteral("did not end this installation's other updaters within %1 s")
                     .arg(timings.stopCommandBound / 1000);
    else if (ending == StopCommand::Ending::Failed)
        reason = QStringLiteral("could not end every other updater of this installation");
    else if (ending == StopCommand::Ending::NoCommand)
        reason = QStringLiteral("could not read the system's process list");
    if (!reason.isEmpty())
        qDebug().noquote() << "Ending the updater here: the self-stop" << reason;
    reject();
}

void DlgUpdate::updateDel(InstallationUpdate &update, StageProgress &progress)
{
    const DeletionOutcome outcome = update.applyDeletionList();
    if (outcome.result == DeletionOutcome::CannotOpen)
        qDebug() << "Failed to initialize update/Env/del.xml";
    else if (outcome.result == DeletionOutcome::NotXml)
        qDebug() << "Failed to load into QDomDocument";
    for (const Outcome &problem : outcome.problems)
        qDebug().noquote() << "Deletion list:" << problem.text();
    if (outcome.result == DeletionOutcome::Applied)
        qDebug() << "delete finish!";
    if (outcome.result == DeletionOutcome::Applied || outcome.result == DeletionOutcome::NoList)
        emit progress.targetSet(35);
}

bool DlgUpdate::copy(InstallationUpdate &update, const CancelToken &cancel, StageProgress &progress)
{
    const bool ok = copyDirectory(update, cancel, progress);
    // A close cut the copy short between two files: not a failure to log.
    if (!ok && !cancel.isCancelled())
        writeLog(QStringLiteral("copy fail!"));
    qDebug() << "copy finish";
    emit progress.targetSet(95);
    return ok;
}

// While the payload is copied the target goes from 35 toward 95 with the bytes
// done. A failure leaves the names on its way in the failure log, innermost first.
bool DlgUpdate::copyDirectory(InstallationUpdate &update, const CancelToken &cancel, StageProgress &progress)
{
    int target = 35;
    const CopyOutcome outcome = update.copyPayload(cancel, [&](qint64 done, qint64 total) {
        const int reached = total > 0 ? int(35 + 60 * done / total) : 35;
        if (reached != target)
            emit progress.targetSet(target = reached);
    });
    for (const Outcome &skipped : outcome.skipped)
        qDebug().noquote() << "Left out of the copy:" << skipped.text();
    if (outcome.ok() || outcome.cancelled)
        return outcome.ok();

    qDebug().noquote() << "The copy failed:" << outcome.outcome.text();
    writeLog(outcome.entry.isEmpty() ? QStringLiteral("makedir error") : outcome.entry);
    for (auto folder = outcome.folders.crbegin(); folder != outcome.folders.crend(); ++folder) {
        writeLog(QStringLiteral("copyDirectory fail"));
        writeLog(*folder);
    }
    return false;
}

void DlgUpdate::writeLog(QString message)
{
    QFile file(tr("log.txt"));
    file.open(QIODevice::WriteOnly);
    file.write(message.toStdString().c_str());
    file.close();
}

bool DlgUpdate::updateVersion(InstallationUpdate &update, StageProgress &progress)
{
    // Final before anything is cleaned up: a clean-up cut short is never rolled back.
    const Outcome committed = update.commit();
    if (!committed) {
        qDebug().noquote() << "The update could not be committed, so this try failed:" << committed.text();
        return false;
    }
    const Outcome removed = update.removePackage();
    if (!removed)
        qDebug().noquote() << "Kept the package folder" << QStringLiteral("\"%1\"").arg(removed.path)
                           << "because" << removed.reason;
    update.finishRun();
    emit progress.targetSet(100);
    qDebug() << "100!";
    return true;
}
