#pragma once

#include <QFuture>
#include <QFutureWatcher>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

#include "canceltoken.h"
#include "fileops.h"
#include "package.h"
#include "packagemanifest.h"
#include "stageprogress.h"
#include "updatetry.h"

class InstallationUpdate;

// The file work one window's run hands to worker threads: the check of the
// package against its manifest, then one try or rollback at a time, and after
// a commit the removal of the originals. A job's result comes back on the GUI
// thread through finished(); nothing here knows the window or its state.
class UpdateWork : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UpdateWork)

public:
    explicit UpdateWork(QObject *parent = nullptr);
    ~UpdateWork() override;

    void setPackageDir(const QString &dir) { packageDir = dir; }
    void setPackageKeys(const PackageKeys &keys) { packageKeys = keys; }
    void setApplicationDir(const QString &dir) { applicationDir = dir; }
    // How long the first try waits on a package check that shows no progress.
    void setCheckStallBound(int milliseconds) { checkStallBound = milliseconds; }

    // Once the product is stopped; later calls leave the first check running.
    void startPackageCheck();
    // The first try starts from the installation as it is now, whatever an earlier one left.
    void startTry(bool firstTry);
    // `occasion` names, in the log, what the rollback is for.
    void startRollback(const QString &occasion);
    // The running try and the check stop at their next safe point.
    void cancel();
    // Cancels, and waits for every job: nothing reports after this.
    void cancelAndWait();
    // With no event loop left to deliver it: cancels, waits for the running
    // job and hands its result back here instead of through finished().
    TryDone abandon();
    bool isRunning() const { return job.isRunning(); }
    // Whether the installation holds changes of a run not yet committed.
    bool hasChanges() const;
    // Puts the installation back here and now, on the calling thread.
    void rollBackHere(const QString &occasion);
    // The originals of a committed run go while the bar climbs.
    void startTrashRemoval();
    bool removingTrash() const { return trashRemoval.isRunning(); }

    // Where the stages report the targets they reach; delivered through the event loop.
    StageProgress &progress() { return stageProgress; }

signals:
    void finished(const TryDone &done);
    void trashRemovalOver();

private:
    void onJobFinished();
    const Package &runPackage();
    std::shared_ptr<InstallationUpdate> takeUpdate();

    QString packageDir;
    PackageKeys packageKeys;
    // The waits on files held for a moment that the run's tries may take in all.
    FileOps::RetryAllowance tryRetries = FileOps::RetryAllowance::forRun();
    QString applicationDir;
    // Resolved once, when its check starts: the check and every try use this one.
    std::optional<Package> package;
    // Null while a job has it.
    std::shared_ptr<InstallationUpdate> update;
    CancelToken cancelTry;
    QFuture<ManifestCheck> packageCheck;
    bool packageCheckStarted = false;
    CancelToken cancelCheck;
    int checkStallBound = 60000;
    StageProgress stageProgress;
    QFutureWatcher<TryDone> job;
    QFutureWatcher<bool> trashRemoval;

    friend class DlgUpdateProbe;
};
