#pragma once

#include "cctrldialog.h"

#include <QFutureWatcher>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

class InstallationBackup;
class QDir;
class QLockFile;
class QShowEvent;
class QTimerEvent;
class Ui_DlgUpdate;

// The update window, and the controller of the whole run: showing it stops
// the product, a 3 s one-shot timer runs the stages (deletion list, copy,
// package removal) and retries a failed copy up to five times, and a 100 ms
// timer moves the bar toward the target the stages set. At 100 the product
// is started again and the updater ends itself. Closing the window before
// the run succeeded rolls the installation back first.
class DlgUpdate : public CCtrlDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(DlgUpdate)

public:
    explicit DlgUpdate(QWidget *parent = nullptr);
    ~DlgUpdate() override;

    void setPackageDir(QString dir);

    // The folder that holds the updater and the product; the installation
    // root is its parent. Defaults to the running executable's folder.
    void setApplicationDir(const QString &dir);

    // Takes the installation for this run. False while another updater's run
    // holds it; a lock left by an updater that was killed is taken over.
    bool claimInstallation();

    // Escape, Alt+F4 and the window system's close requests all end here.
    void reject() override;

protected:
    void timerEvent(QTimerEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void onKillFinish(int exitCode, QProcess::ExitStatus exitStatus);
    void on_btnOK_clicked();
    void onBeforeUpdateTaskFinish();
    void onAfterUpdateTaskFinish();

private:
    void stopProduct();
    void onStopCommandError(QProcess::ProcessError error);
    void goOnWithoutStopCommand(const QString &reason);
    void onSelfStopEnded();
    void stopSelf();
    void endWithoutSelfStop(const QString &reason);
    void releaseInstallation();
    void abandonRun();
    void runInWorker(std::function<bool()> work, std::function<void(bool)> then);
    void onWorkerFinished();
    void setTargetProgress(int target);
    void noteCopied(qint64 bytes);
    void armStageTimer();
    void progressTick();
    void stageTick();
    void enterFailureState();
    void rollBackInterruptedRun();
    InstallationBackup &runBackup();
    QString installationRoot() const;
    bool runStages();
    void updateDel();
    bool copy();
    bool copyDirectory(const QDir &source, const QDir &destination, bool overwrite);
    void writeLog(QString message);
    void updateVersion();
    QString packageRemovalRefusal() const;

    Ui_DlgUpdate *ui;
    QProcess *killProcess;
    QString packageDir;
    int progressTimerId;
    int stageTimerId;
    int targetProgress;
    int attemptCount;
    bool failed;
    QString applicationDir;
    QStringList foldersBeingCopied;
    QString copyFolder;
    std::unique_ptr<InstallationBackup> backup;
    std::unique_ptr<QLockFile> installationLock;
    bool stopPending = false;
    // Bounds the wait for the stop command, and for the self-stop to end us.
    QTimer stopDeadline;
    QTimer selfStopDeadline;
    // The committed run's originals, removed while the bar climbs.
    QFutureWatcher<bool> trashRemoval;
    // The stages, and the rollbacks, run in a worker so the window stays alive.
    // While it runs, the members the stages use belong to it; the GUI thread
    // hears of targets through queued calls and takes them back once it ends.
    QFutureWatcher<bool> stageWork;
    std::function<void(bool)> afterStageWork;
    bool closeRequested = false;
    std::atomic_bool stopCopying{false};
    qint64 copyTotal = 0;
    qint64 copyDone = 0;

    friend class DlgUpdateProbe;
};
