#pragma once

#include "dlgupdate.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QtConcurrent>
#include <QTimerEvent>

#include "ui_dlgupdate.h"

// Reaches into the controller so tests can drive its timers and stages
// directly instead of waiting for them. The file work itself is tested on an
// InstallationUpdate of its own; the stage steps here run on one as the
// worker would, and deliver their targets to `dlg` once the events are sent.
class DlgUpdateProbe
{
public:
    // The form's layouts and spacers, which are no children findChild could find.
    static Ui_DlgUpdate *ui(DlgUpdate &dlg) { return dlg.ui; }
    // The process object of the stop command running now, the product's or the self-stop; null between them.
    static QProcess *killProcess(DlgUpdate &dlg)
    {
        return dlg.processes.productStop.process ? dlg.processes.productStop.process
                                                 : dlg.processes.selfStop.process;
    }
    // A name only a test uses, for a product stop that ends processes by name without a stop program.
    static void setProductName(DlgUpdate &dlg, const QString &product)
    {
        dlg.processes.productName = product;
    }
    static bool selfStopRunning(DlgUpdate &dlg) { return dlg.processes.selfStop.isRunning(); }
    static int progressTimerId(DlgUpdate &dlg) { return dlg.progressTimerId; }
    static int stageTimerId(DlgUpdate &dlg) { return dlg.stageTimerId; }
    static int targetProgress(DlgUpdate &dlg) { return dlg.targetProgress; }
    static void setTargetProgress(DlgUpdate &dlg, int target) { dlg.targetProgress = target; }
    static int attemptCount(DlgUpdate &dlg) { return dlg.attemptCount; }
    static void setFailed(DlgUpdate &dlg, bool failed)
    {
        dlg.state = failed ? DlgUpdate::RunState::Failed : DlgUpdate::RunState::Idle;
    }

    // Delivers one timer event as if the timer had fired.
    static void fire(DlgUpdate &dlg, int timerId)
    {
        QTimerEvent event(timerId);
        QCoreApplication::sendEvent(&dlg, &event);
    }
    static void progressTick(DlgUpdate &dlg) { fire(dlg, dlg.progressTimerId); }
    // Runs one stage tick to its end: the worker's result and its targets are
    // delivered before this returns, as if the event loop had run meanwhile.
    static void stageTick(DlgUpdate &dlg)
    {
        fire(dlg, dlg.stageTimerId);
        finishWork(dlg);
    }
    static void finishWork(DlgUpdate &dlg)
    {
        // A rollback may follow the try it ends. A future counts as finished a
        // moment before its watcher's signal is posted: wait for the signal.
        QElapsedTimer bound;
        bound.start();
        do {
            dlg.work.job.waitForFinished();
            QCoreApplication::sendPostedEvents();
        } while ((dlg.work.isRunning() || inWorker(dlg)) && bound.elapsed() < 60000);
    }
    static bool inWorker(DlgUpdate &dlg)
    {
        using State = DlgUpdate::RunState;
        return dlg.state == State::Staging || dlg.state == State::CancellingTry ||
               dlg.state == State::RollingBack || dlg.state == State::RollingBackToClose;
    }
    // Waits until the originals of a committed run are removed, as the bar climbs meanwhile.
    static void waitForTrashRemoval(DlgUpdate &dlg)
    {
        dlg.work.trashRemoval.waitForFinished();
        QCoreApplication::sendPostedEvents();
    }
    // Stands in for the package check with one that shows no progress until `held` is released.
    static void holdPackageCheck(DlgUpdate &dlg, QSemaphore &held)
    {
        dlg.work.packageCheckStarted = true;
        dlg.work.packageCheck = QtConcurrent::run([&held] {
            held.acquire();
            return ManifestCheck();
        });
    }
    // Waits for the check of the package against its manifest, started once the product is stopped.
    static void waitForPackageCheck(DlgUpdate &dlg) { dlg.work.packageCheck.waitForFinished(); }

    // Lets the bound on the stop command, or on the self-stop, run out now.
    static void expireStopDeadline(DlgUpdate &dlg) { expireDeadline(dlg.processes.productStop); }
    static void expireSelfStopDeadline(DlgUpdate &dlg) { expireDeadline(dlg.processes.selfStop); }
    static void expireDeadline(StopCommand &stop) { stop.deadline.start(0); }
    static QProcess *commandProcess(StopCommand &stop) { return stop.process; }

    static void onKillFinish(DlgUpdate &dlg) { dlg.onKillFinish(0, QProcess::NormalExit); }
    // What a run does with an installation it finds it cannot write, for `refusal`.
    static void writeRefused(DlgUpdate &dlg, const QString &refusal) { dlg.writeRefused(refusal); }
    static void onAfterUpdateTaskFinish(DlgUpdate &dlg) { dlg.onAfterUpdateTaskFinish(); }

    // The stage steps, run here on `update` as the worker runs them; what they
    // set for the bar reaches `dlg` through its queued connection.
    static void updateDel(DlgUpdate &dlg, InstallationUpdate &update)
    {
        dlg.updateDel(update);
        QCoreApplication::sendPostedEvents();
    }
    static bool copy(DlgUpdate &dlg, InstallationUpdate &update, const CancelToken &cancel = CancelToken())
    {
        const bool ok = dlg.copy(update, cancel);
        QCoreApplication::sendPostedEvents();
        return ok;
    }
    static bool updateVersion(DlgUpdate &dlg, InstallationUpdate &update)
    {
        const bool ok = dlg.updateVersion(update);
        QCoreApplication::sendPostedEvents();
        return ok;
    }
};
