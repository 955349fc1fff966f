#include "dlgupdate.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
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

// Commands are single strings with quoted parts, as the system's tools take them.
void startCommand(QProcess *process, const QString &command)
{
    const QStringList parts = QProcess::splitCommand(command);
    process->start(parts.value(0), parts.mid(1), QIODevice::ReadWrite);
}

// Where the system refuses a start at once, its error came before the caller
// could connect to it: it is delivered again once the caller has.
void redeliverRefusedStart(QProcess *process)
{
    if (process->state() == QProcess::NotRunning && process->error() == QProcess::FailedToStart)
        QMetaObject::invokeMethod(
            process, [process] { emit process->errorOccurred(QProcess::FailedToStart); },
            Qt::QueuedConnection);
}

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
    , killProcess(nullptr)
    , progressTimerId(-1)
    , stageTimerId(-1)
    , targetProgress(0)
    , attemptCount(0)
    , failed(false)
    , applicationDir(QCoreApplication::applicationDirPath())
{
    // The bar's chunk is drawn from ":/progress".
    Resources::init();
    ui->setupUi(this);
    ui->btnOK->setEnabled(false);

    stopDeadline.setSingleShot(true);
    connect(&stopDeadline, &QTimer::timeout, this, [this] {
        goOnWithoutStopCommand(QStringLiteral("did not finish within %1 s").arg(timings.stopCommandBound / 1000));
    });
    selfStopDeadline.setSingleShot(true);
    connect(&selfStopDeadline, &QTimer::timeout, this, [this] {
        endWithoutSelfStop(
            QStringLiteral("did not end the updater within %1 s").arg(timings.stopCommandBound / 1000));
    });
    connect(&trashRemoval, &QFutureWatcher<bool>::finished, this, [this] {
        if (!trashRemoval.result())
            qDebug() << "Left trash that cannot be removed yet; a later run removes it";
    });
    connect(&stageProgress, &StageProgress::targetSet, this, [this](int target) { targetProgress = target; },
            Qt::QueuedConnection);
    connect(&work, &QFutureWatcher<WorkResult>::finished, this, &DlgUpdate::onWorkFinished);
    // The session ending quits the application without closing the window first.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &DlgUpdate::abandonRun);
}

DlgUpdate::~DlgUpdate()
{
    cancelTry.cancel();
    work.waitForFinished();
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
        // Nothing of this run to undo: nothing changed yet, or it is committed.
        break;
    }
    CCtrlDialog::reject();
}

// The application quits without the window being closed (the session ends):
// there is no event loop left to wait in, so the rollback runs here.
void DlgUpdate::abandonRun()
{
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
        state = RunState::Waiting;
    }
    if ((state == RunState::Waiting || state == RunState::Failed) && update && update->hasChanges())
        reportRollback(closedEarly, update->rollBack());
}

void DlgUpdate::setPackageDir(QString dir)
{
    packageDir = dir;
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
    failed = false;
    if (progressTimerId != -1)
        killTimer(progressTimerId);
    progressTimerId = startTimer(timings.progressInterval, Qt::CoarseTimer);
    state = RunState::StoppingProduct;
    stopProduct();
    targetProgress = 5;
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

void DlgUpdate::startTry()
{
    const bool firstTry = attemptCount == 0;
    // A run starts from the installation as it is now, whatever an earlier one left.
    if (firstTry)
        update.reset();
    state = RunState::Staging;
    cancelTry = CancelToken();
    work.setFuture(QtConcurrent::run(&DlgUpdate::runTry, takeUpdate(), firstTry, cancelTry, &stageProgress));
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
        state = RunState::Waiting;
        CCtrlDialog::reject();
        return;
    }
    state = RunState::Failed;
    ui->label->setText(QStringLiteral("更新失败"));
    ui->label->setStyleSheet(QStringLiteral("color:rgb(255,0,0);"));
    ui->btnOK->setEnabled(true);
    ui->btnOK->setText(QStringLiteral("重启"));
    failed = true;
}

DlgUpdate::WorkResult DlgUpdate::runTry(std::shared_ptr<InstallationUpdate> update, bool recoverFirst,
                                        CancelToken cancel, StageProgress *progress)
{
    WorkResult result;
    result.update = update;
    if (recoverFirst)
        update->recoverEarlierRun();
    result.ok = runStages(*update, cancel, *progress);
    return result;
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
    return ok && !cancel.isCancelled() && updateVersion(update, progress);
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
    if (!killProcess)
        killProcess = new QProcess;
    startCommand(killProcess, Platform::stopCommand(applicationDir, Platform::productProcessName()));
    connect(killProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &DlgUpdate::onKillFinish);
    connect(killProcess, &QProcess::errorOccurred, this, &DlgUpdate::onStopCommandError,
            Qt::UniqueConnection);
    stopDeadline.start(timings.stopCommandBound);
    redeliverRefusedStart(killProcess);
}

void DlgUpdate::onStopCommandError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart)
        goOnWithoutStopCommand(QStringLiteral("could not be started"));
}

// No stop command at all, or one that never returns, must not hold the run:
// a product still holding its files makes the copy fail and the run roll back.
void DlgUpdate::goOnWithoutStopCommand(const QString &reason)
{
    if (state != RunState::StoppingProduct)
        return;
    qDebug().noquote() << "Going on without the stop command, which" << reason;
    if (killProcess)
        killProcess->disconnect(this);
    onKillFinish(-1, QProcess::CrashExit);
}

void DlgUpdate::onKillFinish(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode)
    Q_UNUSED(exitStatus)
    if (killProcess) {
        killProcess->kill();
        // We are inside this process object's own finished() notification.
        killProcess->deleteLater();
        killProcess = nullptr;
    }
    stopDeadline.stop();
    qDebug() << "kill finish";
    targetProgress = 15;
    state = RunState::Waiting;
    armStageTimer();
}

void DlgUpdate::onBeforeUpdateTaskFinish()
{
    armStageTimer();
}

void DlgUpdate::on_btnOK_clicked()
{
    if (failed)
        onAfterUpdateTaskFinish();
}

void DlgUpdate::onAfterUpdateTaskFinish()
{
    qDebug() << "Finish!";

    const QStringList launch = QProcess::splitCommand(Platform::productLaunchCommand(applicationDir));
    QProcess::startDetached(launch.value(0), launch.mid(1));
    // From here on nothing is rolled back: the product may be using its files.
    state = RunState::Relaunched;

    if (trashRemoval.isRunning())
        connect(&trashRemoval, &QFutureWatcher<bool>::finished, this, &DlgUpdate::stopSelf,
                Qt::UniqueConnection);
    else
        stopSelf();
}

void DlgUpdate::stopSelf()
{
    releaseInstallation();
    // Ends every updater process, this one included, while the event loop runs on.
    if (!killProcess)
        killProcess = new QProcess;
    startCommand(killProcess, Platform::stopCommand(applicationDir, Platform::updaterProcessName()));
    connect(killProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &DlgUpdate::onSelfStopEnded, Qt::UniqueConnection);
    connect(killProcess, &QProcess::errorOccurred, this, &DlgUpdate::onSelfStopEnded, Qt::UniqueConnection);
    selfStopDeadline.start(timings.stopCommandBound);
    redeliverRefusedStart(killProcess);
}

void DlgUpdate::onSelfStopEnded()
{
    endWithoutSelfStop(killProcess && killProcess->error() == QProcess::FailedToStart
                           ? QStringLiteral("could not be started")
                           : QStringLiteral("returned without ending the updater"));
}

// The product is running again by now; as the last window, closing the window
// ends the updater with status 0.
void DlgUpdate::endWithoutSelfStop(const QString &reason)
{
    selfStopDeadline.stop();
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
    const Outcome finished = update.finishRun();
    if (!finished)
        qDebug().noquote() << "The start-up entry stays, and runs the update again at the next logon:"
                           << finished.text();
    emit progress.targetSet(100);
    qDebug() << "100!";
    return true;
}
