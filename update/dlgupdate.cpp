#include "dlgupdate.h"

#include <QCoreApplication>
#include <QShowEvent>
#include <QTimerEvent>

#include "installationlock.h"
#include "installationpaths.h"
#include "platform.h"
#include "resources.h"
#include "processending.h"
#include "runlog.h"
#include "startupentry.h"
#include "ui_dlgupdate.h"
#include "logcategories.h"

namespace {

constexpr int MaxAttempts = 5;

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
{
    // The bar's chunk is drawn from ":/progress".
    Resources::init();
    ui->setupUi(this);
    ui->btnOK->setEnabled(false);
    work.setApplicationDir(applicationDir);

    processes.setApplicationDir(applicationDir);
    processes.setStopBound(timings.stopCommandBound);
    connect(&processes, &ProductProcesses::productStopOver, this, &DlgUpdate::onProductStopOver);
    connect(&processes, &ProductProcesses::otherUpdatersStopped, this, &DlgUpdate::onSelfStopOver);
    connect(
        &work.progress(), &StageProgress::targetSet, this, [this](int target) { targetProgress = target; },
        Qt::QueuedConnection);
    connect(&work, &UpdateWork::finished, this, &DlgUpdate::onWorkFinished);
    // The session ending quits the application without closing the window first.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &DlgUpdate::abandonRun);
}

DlgUpdate::~DlgUpdate()
{
    work.cancelAndWait();
    delete ui;
}

void DlgUpdate::setElevationMark(const Platform::ElevationMark &mark)
{
    elevationMark = mark;
    // Its launcher waits for this run's end to start the product: never ended by the self-stop.
    ProcessEnding::spare(mark.isSet() ? mark.launcherPid : 0);
    // Over the shoulder, another account elevates: the entry belongs to the user whose product it is.
    const QString user = Platform::currentUser();
    const bool anotherAccount = mark.isSet() && !mark.launcherUser.isEmpty() && user != mark.launcherUser;
    StartupEntry::keepForUser(anotherAccount ? mark.launcherUser : QString());
    if (anotherAccount)
        qCDebug(lcRun).noquote() << QStringLiteral(
                                        "Elevated as another account (%1) than the one that started the update "
                                        "(%2): the start-up entry and the run log stay with that one, and it "
                                        "starts the product")
                                        .arg(user, mark.launcherUser);
}

bool DlgUpdate::claimInstallation()
{
    if (!installationLock) {
        installationLock =
            std::make_unique<InstallationLock>(InstallationPaths::installationRoot(applicationDir));
        installationLock->setHandedOverBy(elevationMark.launcherPid);
    }
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
        state = state == RunState::Staging ? RunState::CancellingTry : RunState::RollingBackToClose;
        work.cancel();
        return;
    case RunState::CancellingTry:
    case RunState::RollingBackToClose:
        // Closing already.
        return;
    case RunState::AwaitingFirstTry:
    case RunState::AwaitingRetry:
    case RunState::Failed:
        if (stageTimerId != -1) {
            killTimer(stageTimerId);
            stageTimerId = -1;
        }
        // Closing while a run has changed the installation and not succeeded puts it
        // back, deletion list included, so no one starts two versions mixed.
        if (work.hasChanges()) {
            startRollback(RunState::RollingBackToClose, closedEarly);
            return;
        }
        break;
    case RunState::Idle:
    case RunState::StoppingProduct:
    case RunState::Completing:
    case RunState::Relaunched:
    case RunState::Restarted:
    case RunState::AwaitingElevated:
    case RunState::ElevatedRunOver:
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
    work.cancel();
    const bool tryRuns = state == RunState::Staging || state == RunState::CancellingTry;
    if (tryRuns || state == RunState::RollingBack || state == RunState::RollingBackToClose) {
        if (work.abandon().result == TryResult::Committed && tryRuns) {
            state = RunState::Completing;
            return;
        }
    } else if (state != RunState::AwaitingFirstTry && state != RunState::AwaitingRetry &&
               state != RunState::Failed) {
        return;
    }
    state = RunState::Closed;
    if (work.hasChanges())
        work.rollBackHere(closedEarly);
}

void DlgUpdate::setPackageDir(QString dir)
{
    packageDir = dir;
    work.setPackageDir(dir);
}

void DlgUpdate::setPackageKeys(const QByteArray &publicKeys)
{
    work.setPackageKeys(PackageKeys::read(publicKeys));
}

void DlgUpdate::setApplicationDir(const QString &dir)
{
    applicationDir = dir;
    work.setApplicationDir(dir);
    processes.setApplicationDir(dir);
}

void DlgUpdate::setTimings(const Timings &newTimings)
{
    timings = newTimings;
    processes.setStopBound(timings.stopCommandBound);
    work.setCheckStallBound(timings.packageCheckStallBound);
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
    writeRefused(refusal);
    return false;
}

void DlgUpdate::writeRefused(const QString &refusal)
{
    const QString root = InstallationPaths::installationRoot(applicationDir);
    // Elevated already for another updater, and still refused: asking again would loop.
    Platform::ElevatedStart elevated;
    if (elevationMark.isSet())
        elevated.why = QStringLiteral("it was started elevated already");
    else
        elevated = Platform::restartElevated(packageDir, RunLog::defaultFolder());
    if (elevated.result == Platform::ElevatedStart::Result::Started) {
        qCDebug(lcRun).noquote()
            << "The installation cannot be written by this updater; it runs again elevated:" << refusal;
        // The lock was kept through the prompt, so that a declined one leaves it held; the
        // elevated updater takes it over now. This one waits, unseen, to start the product
        // as the user who started the update, never elevated.
        releaseInstallation();
        state = RunState::AwaitingElevated;
        hide();
        Platform::whenElevatedEnds(this, elevated, [this](bool startProduct) { onElevatedRunOver(startProduct); });
        return;
    }
    const QString notElevated = elevated.why;
    QString message =
        QStringLiteral("The installation \"%1\" cannot be written (%2), so nothing is stopped or "
                       "changed")
            .arg(root, refusal);
    if (!notElevated.isEmpty())
        message += QStringLiteral("; ") + notElevated;
    qCDebug(lcRunNotWritable).noquote() << message;
    showFailureState();
}

void DlgUpdate::onElevatedRunOver(bool startProduct)
{
    if (state != RunState::AwaitingElevated)
        return;
    if (startProduct) {
        qCDebug(lcRun) << "The elevated updater's run is over; starting the product as this user";
        processes.startProduct();
    }
    state = RunState::ElevatedRunOver;
    close();
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

void DlgUpdate::startTry()
{
    state = RunState::Staging;
    work.startTry(attemptCount == 0);
}

// `rollingBack` says what follows: the failure state, or the window closing.
void DlgUpdate::startRollback(RunState rollingBack, const QString &occasion)
{
    state = rollingBack;
    work.startRollback(occasion);
}

void DlgUpdate::onWorkFinished(const TryDone &done)
{
    if (state == RunState::Staging || state == RunState::CancellingTry)
        finishTry(done);
    else if (state == RunState::RollingBack || state == RunState::RollingBackToClose)
        finishRollback();
}

void DlgUpdate::finishTry(const TryDone &done)
{
    const bool closing = state == RunState::CancellingTry;
    if (done.result == TryResult::Committed) {
        state = RunState::Completing;
        // The originals go while the bar climbs, so they never hold up the product's return.
        work.startTrashRemoval();
        if (closing)
            CCtrlDialog::reject();
        return;
    }
    if (closing) {
        startRollback(RunState::RollingBackToClose, closedEarly);
        return;
    }
    // A package cannot heal between tries: straight to the failure.
    if (done.result == TryResult::Refused) {
        enterFailureState();
        return;
    }
    state = RunState::AwaitingRetry;
    if (attemptCount < MaxAttempts) {
        stageTimerId = startTimer(timings.stageInterval, Qt::CoarseTimer);
        ++attemptCount;
    }
}

void DlgUpdate::enterFailureState()
{
    // Restart the product on the version it had, not on a mix of two.
    startRollback(RunState::RollingBack, QStringLiteral("Update failed"));
}

void DlgUpdate::finishRollback()
{
    if (state == RunState::RollingBackToClose) {
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
    processes.stopProduct();
}

// No stop command at all, or one that never returns, must not hold the run:
// a product still holding its files makes the copy fail and the run roll back.
void DlgUpdate::onProductStopOver(StopCommand::Ending ending)
{
    if (state == RunState::StoppingProduct && ending == StopCommand::Ending::BoundedOut)
        qCDebug(lcStopWithoutCommand).noquote()
            << "Going on without the stop command, which"
            << QStringLiteral("did not finish within %1 s").arg(timings.stopCommandBound / 1000);
    else if (state == RunState::StoppingProduct && ending == StopCommand::Ending::NoCommand)
        qCDebug(lcStopWithoutCommand).noquote()
            << "Going on without the stop command, which could not be started";
    onKillFinish(-1, QProcess::NormalExit);
}

void DlgUpdate::onKillFinish(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode)
    Q_UNUSED(exitStatus)
    qCDebug(lcRun) << "kill finish";
    targetProgress = 15;
    state = RunState::AwaitingFirstTry;
    // The product is stopped: nothing writes to the package any more.
    work.startPackageCheck();
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
    qCDebug(lcRun) << "Finish!";
    // The product runs as the user who started the update: a marked updater,
    // elevated, leaves its start to the one that launched it.
    if (elevationMark.isSet())
        productLeftToLauncher = true;
    else
        processes.startProduct();
    // From here on nothing is rolled back: the product may be using its files.
    state = state == RunState::Failed || state == RunState::Restarted ? RunState::Restarted
                                                                      : RunState::Relaunched;

    if (work.removingTrash())
        connect(&work, &UpdateWork::trashRemovalOver, this, &DlgUpdate::stopSelf, Qt::UniqueConnection);
    else
        stopSelf();
}

// The lock is kept until the self-stop is over: an updater that took it
// meanwhile would be ended mid-run.
void DlgUpdate::stopSelf()
{
    processes.stopOtherUpdaters();
}

// The product is running again by now and, as the last window, closing the
// window ends the updater with status 0.
void DlgUpdate::onSelfStopOver()
{
    releaseInstallation();
    reject();
}

void DlgUpdate::updateDel(InstallationUpdate &update)
{
    UpdateTry(update, CancelToken(), work.progress()).updateDel();
}

bool DlgUpdate::copy(InstallationUpdate &update, const CancelToken &cancel)
{
    return UpdateTry(update, cancel, work.progress()).copy();
}

bool DlgUpdate::copyDirectory(InstallationUpdate &update, const CancelToken &cancel)
{
    return UpdateTry(update, cancel, work.progress()).copyDirectory();
}

void DlgUpdate::writeLog(QString message)
{
    UpdateTry::writeLog(message);
}

bool DlgUpdate::updateVersion(InstallationUpdate &update)
{
    return UpdateTry(update, CancelToken(), work.progress()).updateVersion();
}
