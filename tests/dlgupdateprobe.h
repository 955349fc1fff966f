#pragma once

#include "dlgupdate.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include "ui_dlgupdate.h"

// Reaches into the controller so tests can drive its timers and stages
// directly instead of waiting for them.
class DlgUpdateProbe
{
public:
    static Ui_DlgUpdate *ui(DlgUpdate &dlg) { return dlg.ui; }
    static QProcess *killProcess(DlgUpdate &dlg) { return dlg.killProcess; }
    static QString packageDir(DlgUpdate &dlg) { return dlg.packageDir; }
    static int progressTimerId(DlgUpdate &dlg) { return dlg.progressTimerId; }
    static int stageTimerId(DlgUpdate &dlg) { return dlg.stageTimerId; }
    static int targetProgress(DlgUpdate &dlg) { return dlg.targetProgress; }
    static void setTargetProgress(DlgUpdate &dlg, int target) { dlg.targetProgress = target; }
    static int attemptCount(DlgUpdate &dlg) { return dlg.attemptCount; }
    static bool failed(DlgUpdate &dlg) { return dlg.failed; }
    static void setFailed(DlgUpdate &dlg, bool failed) { dlg.failed = failed; }

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
        dlg.stageWork.waitForFinished();
        QCoreApplication::sendPostedEvents();
    }
    static bool workRunning(DlgUpdate &dlg) { return dlg.stageWork.isRunning(); }

    // Lets the bound on the stop command, or on the self-stop, run out now.
    static void expireStopDeadline(DlgUpdate &dlg) { dlg.stopDeadline.start(0); }
    static void expireSelfStopDeadline(DlgUpdate &dlg) { dlg.selfStopDeadline.start(0); }

    static void onKillFinish(DlgUpdate &dlg) { dlg.onKillFinish(0, QProcess::NormalExit); }
    static void updateDel(DlgUpdate &dlg) { dlg.updateDel(); }
    static bool copy(DlgUpdate &dlg) { return dlg.copy(); }
    static void writeLog(DlgUpdate &dlg, const QString &message) { dlg.writeLog(message); }
    static bool runStages(DlgUpdate &dlg) { return dlg.runStages(); }
    static void updateVersion(DlgUpdate &dlg) { dlg.updateVersion(); }
    static QString packageRemovalRefusal(DlgUpdate &dlg) { return dlg.packageRemovalRefusal(); }
};
