#pragma once

#include "cctrldialog.h"

#include <QProcess>
#include <QString>

#include <memory>

#include "installationupdate.h"
#include "packagemanifest.h"
#include "platform.h"
#include "productprocesses.h"
#include "stageprogress.h"
#include "stopcommand.h"
#include "updatetry.h"
#include "updatework.h"

class InstallationLock;
class QShowEvent;
class QTimerEvent;
class Ui_DlgUpdate;

// The update window, and the controller of the whole run: showing it stops
// the product, a 3 s one-shot timer runs the stages (deletion list, copy,
// package removal) and retries a failed copy up to five times, and a 100 ms
// timer moves the bar toward the target the stages set. At 100 the product
// is started again and the updater ends itself. Closing the window before
// the run succeeded rolls the installation back first. While the first try
// waits, the package is checked against its manifest; one that does not match
// is not applied at all. The file work is UpdateWork's, each try an UpdateTry
// in a worker thread; stopping and starting processes is ProductProcesses'.
class DlgUpdate : public CCtrlDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(DlgUpdate)

public:
    // Where a run stands; what a close does follows from it.
    enum class RunState {
        Idle,             // not shown yet: nothing runs
        StoppingProduct,  // the product's stop command runs
        AwaitingFirstTry, // the product is stopped and the package checked; the first try is armed
        AwaitingRetry,    // a try failed; the stage timer is armed for the next, or for the failure
        Staging,          // a try runs in the worker
        CancellingTry,    // closed while a try ran: it stops at its next safe point, then the run is put back
        RollingBack,      // the installation is being put back after the last try; the failure follows
        RollingBackToClose, // the installation is being put back after a close; the window closes then
        Failed,             // rolled back; the restart button starts the version the user had
        Completing,         // committed; the bar climbs to 100
        Relaunched,         // the product runs again; the self-stop runs, then the updater ends
        Restarted,          // the restart button started the version the user had; each press starts it again
        AwaitingElevated,   // an elevated updater runs the update; this one starts the product after it
        ElevatedRunOver,    // the elevated updater's run is over; this one ends without a run of its own
        Closed,             // the window was closed; whatever the run changed is put back
    };
    Q_ENUM(RunState)

    // The run's pace. Users always get the defaults; tests shorten them.
    struct Timings
    {
        int progressInterval = 100;
        int stageInterval = 3000;
        // How long the stop command and the self-stop may take before the run
        // goes on without them: a product that takes this long to end is stuck.
        int stopCommandBound = 20000;
        // How long the first try waits on a package check that shows no
        // progress at all (no file read, no entry walked) before it refuses
        // the package.
        int packageCheckStallBound = 60000;
    };

    explicit DlgUpdate(QWidget *parent = nullptr);
    ~DlgUpdate() override;

    void setPackageDir(QString dir);
    // The minisign public keys a package must be signed with, as "minisign -G"
    // writes them; the build compiles them in. Without any, packages need no signature.
    void setPackageKeys(const QByteArray &publicKeys);

    // The folder that holds the updater and the product; the installation
    // root is its parent. Defaults to the running executable's folder.
    void setApplicationDir(const QString &dir);
    void setTimings(const Timings &timings);

    // Marks this updater as started elevated by another (see
    // Platform::ElevationMark): it takes the launcher's lock over, never asks
    // to be elevated again and leaves the product's start to the launcher.
    void setElevationMark(const Platform::ElevationMark &mark);

    // Takes the installation for this run. False while another updater's run
    // holds it; a lock left by an updater that was killed is taken over.
    bool claimInstallation();

    // The process's exit status once the event loop is over: 0, or
    // Platform::ProductLeftToLauncher where a marked run ended with the
    // product to be started.
    int exitStatus() const { return productLeftToLauncher ? Platform::ProductLeftToLauncher : 0; }

    RunState runState() const { return state; }

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
    bool mayWriteInstallation();
    void writeRefused(const QString &refusal);
    void onElevatedRunOver(bool startProduct);
    void showFailureState();
    void stopProduct();
    void onProductStopOver(StopCommand::Ending ending);
    void stopSelf();
    void onSelfStopOver();
    void releaseInstallation();
    void abandonRun();
    void startTry();
    void startRollback(RunState rollingBack, const QString &occasion);
    void onWorkFinished(const TryDone &done);
    void finishTry(const TryDone &done);
    void finishRollback();
    void armStageTimer();
    void progressTick();
    void stageTick();
    void enterFailureState();

    // The stages a try takes, handed over to an UpdateTry on `update`; the
    // targets they reach come to this window's bar through the event loop.
    void updateDel(InstallationUpdate &update);
    bool copy(InstallationUpdate &update, const CancelToken &cancel);
    bool copyDirectory(InstallationUpdate &update, const CancelToken &cancel);
    static void writeLog(QString message);
    bool updateVersion(InstallationUpdate &update);

    Ui_DlgUpdate *ui;
    QString packageDir;
    int progressTimerId;
    int stageTimerId;
    int targetProgress;
    int attemptCount;
    QString applicationDir;
    Timings timings;
    RunState state = RunState::Idle;
    std::unique_ptr<InstallationLock> installationLock;
    Platform::ElevationMark elevationMark;
    bool productLeftToLauncher = false;
    ProductProcesses processes;
    // The file work, in worker threads.
    UpdateWork work;

    friend class DlgUpdateProbe;
};
