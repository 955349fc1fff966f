#include "dlgupdate.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QShowEvent>
#include <QTimer>
#include <QTimerEvent>

#include "resources.h"
#include "ui_dlgupdate.h"

namespace {
constexpr int ProgressInterval = 100;
constexpr int StageInterval = 3000;
constexpr int MaxAttempts = 5;
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
}

DlgUpdate::~DlgUpdate()
{
    delete ui;
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
    if (!runStages() && attemptCount < MaxAttempts) {
        stageTimerId = startTimer(StageInterval, Qt::CoarseTimer);
        ++attemptCount;
    }
}

void DlgUpdate::enterFailureState()
{
    ui->label->setText(QStringLiteral("更新失败"));
    ui->label->setStyleSheet(QStringLiteral("color:rgb(255,0,0);"));
    ui->btnOK->setEnabled(true);
    ui->btnOK->setText(QStringLiteral("重启"));
    failed = true;
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
    // Nothing to stop yet: report the stop as finished straight away.
    QTimer::singleShot(0, this, [this] { onKillFinish(0, QProcess::NormalExit); });
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
}

void DlgUpdate::updateDel()
{
    // No deletion list is read yet.
    targetProgress = 35;
}

bool DlgUpdate::copy()
{
    // Nothing is copied yet.
    qDebug() << "copy finish";
    targetProgress = 95;
    return true;
}

bool DlgUpdate::copyDirectory(const QDir &source, const QDir &destination, bool overwrite)
{
    Q_UNUSED(source)
    Q_UNUSED(destination)
    Q_UNUSED(overwrite)
    return true;
}

void DlgUpdate::writeLog(QString message)
{
    Q_UNUSED(message)
}

void DlgUpdate::updateVersion()
{
    QDir(packageDir).removeRecursively();
    targetProgress = 100;
    qDebug() << "100!";
}
