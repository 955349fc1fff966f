#include "dlgupdate.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QDomDocument>
#include <QDomNode>
#include <QDomNodeList>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QScopeGuard>
#include <QShowEvent>
#include <QThread>
#include <QTimerEvent>
#include <QtConcurrent>

#include "installationbackup.h"
#include "installationpaths.h"
#include "platform.h"
#include "resources.h"
#include "ui_dlgupdate.h"

namespace {

constexpr int ProgressInterval = 100;
constexpr int StageInterval = 3000;
constexpr int MaxAttempts = 5;
// How long the stop command and the self-stop may take before the run goes
// on without them: a product that takes this long to end is stuck.
constexpr int StopCommandBound = 20000;

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

void reportRollback(const QString &occasion, bool complete)
{
    qDebug().noquote() << occasion + (complete
                                          ? QStringLiteral("; the installation was rolled back")
                                          : QStringLiteral(
                                                "; the installation could not be rolled back completely"));
}

// What the copy will carry, for its share of the bar: the files it lists.
qint64 payloadBytes(const QString &payload)
{
    qint64 total = 0;
    QDirIterator it(payload, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.filePath().contains(QLatin1String("/__MACOSX/")))
            total += it.fileInfo().size();
    }
    return total;
}

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
        goOnWithoutStopCommand(QStringLiteral("did not finish within %1 s").arg(StopCommandBound / 1000));
    });
    selfStopDeadline.setSingleShot(true);
    connect(&selfStopDeadline, &QTimer::timeout, this, [this] {
        endWithoutSelfStop(
            QStringLiteral("did not end the updater within %1 s").arg(StopCommandBound / 1000));
    });
    connect(&trashRemoval, &QFutureWatcher<bool>::finished, this, [this] {
        if (!trashRemoval.result())
            qDebug() << "Left trash that cannot be removed yet; a later run removes it";
    });
    connect(&stageWork, &QFutureWatcher<bool>::finished, this, &DlgUpdate::onWorkerFinished);
    // The session ending quits the application without closing the window first.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &DlgUpdate::abandonRun);
}

DlgUpdate::~DlgUpdate()
{
    // The worker uses this window's members until it is done.
    stopCopying = true;
    stageWork.waitForFinished();
    trashRemoval.waitForFinished();
    delete ui;
}

QString DlgUpdate::installationRoot() const
{
    return applicationDir + QStringLiteral("/../");
}

InstallationBackup &DlgUpdate::runBackup()
{
    if (!backup)
        backup = std::make_unique<InstallationBackup>(installationRoot());
    return *backup;
}

void DlgUpdate::rollBackInterruptedRun()
{
    backup = std::make_unique<InstallationBackup>(installationRoot());
    backup->recoverEarlierRun();
}

bool DlgUpdate::claimInstallation()
{
    if (installationLock && installationLock->isLocked())
        return true;
    const QString lockPath = QDir::cleanPath(installationRoot() + InstallationBackup::lockName());
    installationLock = std::make_unique<QLockFile>(lockPath);
    // A live updater keeps the installation however long its run takes.
    installationLock->setStaleLockTime(0);
    if (installationLock->tryLock(0))
        return true;
    if (installationLock->error() == QLockFile::LockFailedError) {
        qDebug() << "Another updater is updating this installation; leaving it to that one";
        qDebug() << "Its lock is held:" << lockPath;
        return false;
    }
    // A root we cannot write to fails the copy anyway, with the usual failure state.
    qDebug() << "Could not lock the installation; going on without:" << lockPath;
    return true;
}

void DlgUpdate::releaseInstallation()
{
    if (installationLock)
        installationLock->unlock();
}

void DlgUpdate::reject()
{
    // Taken at the next safe point: between two files, or when the worker is done.
    if (stageWork.isRunning()) {
        closeRequested = true;
        stopCopying = true;
        return;
    }
    if (stageTimerId != -1) {
        killTimer(stageTimerId);
        stageTimerId = -1;
    }
    // Closing while a run has changed the installation and not succeeded puts it
    // back, deletion list included, so no one starts two versions mixed.
    if (backup && backup->hasArea()) {
        runInWorker([this] { return backup->restore(); },
                    [this](bool complete) {
                        reportRollback(QStringLiteral("Closed before the update finished"), complete);
                        CCtrlDialog::reject();
                    });
        return;
    }
    CCtrlDialog::reject();
}

// The application quits without the window being closed (the session ends):
// there is no event loop left to wait in, so the rollback runs here.
void DlgUpdate::abandonRun()
{
    stopCopying = true;
    stageWork.waitForFinished();
    if (backup && backup->hasArea())
        reportRollback(QStringLiteral("Closed before the update finished"), backup->restore());
}

void DlgUpdate::runInWorker(std::function<bool()> work, std::function<void(bool)> then)
{
    afterStageWork = std::move(then);
    stageWork.setFuture(QtConcurrent::run(std::move(work)));
}

void DlgUpdate::onWorkerFinished()
{
    const auto then = std::exchange(afterStageWork, nullptr);
    if (closeRequested) {
        closeRequested = false;
        stopCopying = false;
        reject();
        return;
    }
    if (then)
        then(stageWork.result());
}

// The stages set their targets from the worker; the bar is the GUI thread's.
void DlgUpdate::setTargetProgress(int target)
{
    if (QThread::currentThread() == thread())
        targetProgress = target;
    else
        QMetaObject::invokeMethod(
            this, [this, target] { targetProgress = target; }, Qt::QueuedConnection);
}

// While the copy runs its target goes from 35 toward 95 with the bytes done.
void DlgUpdate::noteCopied(qint64 bytes)
{
    const auto target = [this] {
        return copyTotal > 0 ? int(35 + 60 * qMin(copyDone, copyTotal) / copyTotal) : 35;
    };
    const int before = target();
    copyDone += bytes;
    if (target() != before)
        setTargetProgress(target());
}

void DlgUpdate::setPackageDir(QString dir)
{
    packageDir = dir;
}

void DlgUpdate::setApplicationDir(const QString &dir)
{
    applicationDir = dir;
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
    progressTimerId = startTimer(ProgressInterval, Qt::CoarseTimer);
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
    const bool firstTry = attemptCount == 0;
    runInWorker(
        [this, firstTry] {
            if (firstTry)
                rollBackInterruptedRun();
            return runStages();
        },
        [this](bool ok) {
            if (!ok && attemptCount < MaxAttempts) {
                stageTimerId = startTimer(StageInterval, Qt::CoarseTimer);
                ++attemptCount;
            }
        });
}

void DlgUpdate::enterFailureState()
{
    // Restart the product on the version it had, not on a mix of two.
    runInWorker([this] { return runBackup().restore(); },
                [this](bool complete) {
                    reportRollback(QStringLiteral("Update failed"), complete);
                    ui->label->setText(QStringLiteral("更新失败"));
                    ui->label->setStyleSheet(QStringLiteral("color:rgb(255,0,0);"));
                    ui->btnOK->setEnabled(true);
                    ui->btnOK->setText(QStringLiteral("重启"));
                    failed = true;
                });
}

bool DlgUpdate::runStages()
{
    updateDel();
    const bool ok = copy();
    if (ok && attemptCount < MaxAttempts)
        updateVersion();
    return ok;
}

void DlgUpdate::armStageTimer()
{
    if (stageTimerId != -1) {
        killTimer(stageTimerId);
        stageTimerId = -1;
    }
    stageTimerId = startTimer(StageInterval, Qt::CoarseTimer);
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
    stopPending = true;
    stopDeadline.start(StopCommandBound);
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
    if (!stopPending)
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
    stopPending = false;
    stopDeadline.stop();
    qDebug() << "kill finish";
    targetProgress = 15;
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
    selfStopDeadline.start(StopCommandBound);
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

void DlgUpdate::updateDel()
{
    const QString listPath = packageDir + QStringLiteral("/Env/del.xml");
    if (!QFile::exists(listPath)) {
        setTargetProgress(35);
        return;
    }

    QDomDocument document;
    QFile list(listPath);
    if (!list.open(QIODevice::ReadWrite)) {
        qDebug() << "Failed to initialize update/Env/del.xml";
        return;
    }
    if (!document.setContent(&list)) {
        qDebug() << "Failed to load into QDomDocument";
        list.close();
        return;
    }
    const QDomNode delLs = document.namedItem(QStringLiteral("DelLs"));
    if (delLs.isNull()) {
        list.close();
        return;
    }

    const QDomNodeList entries = delLs.childNodes();
    const QString root = installationRoot();
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    for (int i = 0; i < entries.length(); ++i) {
        const QString entry = entries.at(i).toElement().text();
        QString relative;
        if (!InstallationPaths::removalTarget(root + entry, canonicalRoot, &relative)) {
            qDebug() << "Refused to delete outside the installation:" << entry;
            continue;
        }
        if (InstallationBackup::isInArea(relative)) {
            qDebug() << "Refused to delete from the backup area:" << entry;
            continue;
        }
        // Set aside rather than removed, so that a failed run can put it back.
        if (!relative.isEmpty())
            runBackup().removeFile(relative);
    }
    list.close();
    if (!runBackup().setListAside(listPath))
        QFile::remove(listPath);
    qDebug() << "delete finish!";
    setTargetProgress(35);
}

bool DlgUpdate::copy()
{
    const QDir source(packageDir + QStringLiteral("/Env"));
    const QDir destination(installationRoot());
    copyFolder.clear();
    copyDone = 0;
    copyTotal = payloadBytes(source.path());
    runBackup().allowMoves(Platform::mayMoveInto(source.path(), destination.path()));
    const bool ok = copyDirectory(source, destination, true);
    // A close cut the copy short between two files: not a failure to log.
    if (!ok && !stopCopying)
        writeLog(QStringLiteral("copy fail!"));
    qDebug() << "copy finish";
    setTargetProgress(95);
    return ok;
}

bool DlgUpdate::copyDirectory(const QDir &source, const QDir &destination, bool overwrite)
{
    const QDir from(source);
    const QDir to(destination);
    if (!to.exists() && !runBackup().makeFolder(copyFolder.left(copyFolder.size() - 1))) {
        writeLog(QStringLiteral("makedir error"));
        return false;
    }

    // A folder link back to a folder being copied would recurse without end.
    foldersBeingCopied.append(QFileInfo(from.absolutePath()).canonicalFilePath());
    const auto leaveFolder = qScopeGuard([this] { foldersBeingCopied.removeLast(); });

    const QFileInfoList entries = from.entryInfoList(QDir::NoFilter, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (stopCopying)
            return false;
        const QString name = entry.fileName();
        if (name == QLatin1String(".") || name == QLatin1String("..") || name == QLatin1String("__MACOSX"))
            continue;

        if (entry.isDir()) {
            if (foldersBeingCopied.contains(entry.canonicalFilePath())) {
                writeLog(name);
                return false;
            }
            const QString outer = copyFolder;
            copyFolder += name + QLatin1Char('/');
            const bool copied = copyDirectory(QDir(entry.filePath()), QDir(to.filePath(name)), true);
            copyFolder = outer;
            if (!copied) {
                if (!stopCopying) {
                    writeLog(QStringLiteral("copyDirectory fail"));
                    writeLog(name);
                }
                return false;
            }
            continue;
        }

        // The installed file is replaced only by a complete copy, never removed first.
        const bool blocked = !overwrite && to.exists(name);
        qint64 reported = 0;
        const auto progress = [this, &reported](qint64 bytes) {
            noteCopied(bytes);
            reported += bytes;
        };
        if (blocked || !runBackup().putFile(entry.filePath(), copyFolder + name, progress)) {
            if (!stopCopying)
                writeLog(name);
            return false;
        }
        noteCopied(qMax<qint64>(0, entry.size() - reported));
    }
    return true;
}

void DlgUpdate::writeLog(QString message)
{
    QFile file(tr("log.txt"));
    file.open(QIODevice::WriteOnly);
    file.write(message.toStdString().c_str());
    file.close();
}

void DlgUpdate::updateVersion()
{
    // Final before anything is cleaned up: a clean-up cut short is never rolled back.
    const bool committed = runBackup().commit();
    // Without the commit the next run rolls this one back; it needs the package again then.
    const QString refusal =
        committed ? packageRemovalRefusal() : QStringLiteral("the update could not be committed");
    if (refusal.isEmpty())
        QDir(packageDir).removeRecursively();
    else
        qDebug() << "Kept the package folder" << packageDir << "because" << refusal;
    // The originals go while the bar climbs, so they never hold up the product's return.
    trashRemoval.setFuture(
        QtConcurrent::run([root = installationRoot()] { return InstallationBackup(root).dropTrash(); }));
    setTargetProgress(100);
    qDebug() << "100!";
}

QString DlgUpdate::packageRemovalRefusal() const
{
    return InstallationPaths::packageRemovalRefusal(packageDir, installationRoot(), applicationDir);
}
