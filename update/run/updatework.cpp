#include "updatework.h"

#include <QtConcurrent>

#include "installationpaths.h"
#include "installationupdate.h"
#include "logcategories.h"

UpdateWork::UpdateWork(QObject *parent)
    : QObject(parent)
{
    connect(&job, &QFutureWatcher<TryDone>::finished, this, &UpdateWork::onJobFinished);
    connect(&trashRemoval, &QFutureWatcher<bool>::finished, this, [this] {
        if (!trashRemoval.result())
            qCDebug(lcRun) << "Left trash that cannot be removed yet; a later run removes it";
        emit trashRemovalOver();
    });
}

UpdateWork::~UpdateWork()
{
    cancelAndWait();
}

void UpdateWork::cancelAndWait()
{
    cancel();
    job.waitForFinished();
    packageCheck.waitForFinished();
    trashRemoval.waitForFinished();
}

// Hashing the payload while the first try waits costs the user nothing.
void UpdateWork::startPackageCheck()
{
    if (std::exchange(packageCheckStarted, true))
        return;
    packageCheck = QtConcurrent::run(&PackageManifest::check, runPackage(), packageKeys, cancelCheck, 0);
}

void UpdateWork::startTry(bool firstTry)
{
    if (firstTry) {
        update.reset();
        startPackageCheck();
    }
    cancelTry = CancelToken();
    TryRequest request;
    request.update = takeUpdate();
    request.firstTry = firstTry;
    request.packageCheck = packageCheck;
    request.checkCancel = cancelCheck;
    request.checkStallBound = checkStallBound;
    request.keys = packageKeys;
    request.cancel = cancelTry;
    job.setFuture(QtConcurrent::run([request, progress = &stageProgress, retries = tryRetries] {
        const FileOps::RetryBudget budget(retries);
        return UpdateTry::run(request, *progress);
    }));
}

void UpdateWork::startRollback(const QString &occasion)
{
    job.setFuture(QtConcurrent::run(&UpdateTry::rollBack, takeUpdate(), occasion));
}

void UpdateWork::cancel()
{
    cancelTry.cancel();
    cancelCheck.cancel();
}

TryDone UpdateWork::abandon()
{
    cancel();
    job.disconnect(this);
    job.waitForFinished();
    const TryDone done = job.result();
    update = done.update;
    return done;
}

bool UpdateWork::hasChanges() const
{
    return update && update->hasChanges();
}

void UpdateWork::rollBackHere(const QString &occasion)
{
    UpdateTry::rollBack(update, occasion);
}

void UpdateWork::startTrashRemoval()
{
    trashRemoval.setFuture(QtConcurrent::run(&InstallationUpdate::dropTrash, update->root()));
}

void UpdateWork::onJobFinished()
{
    const TryDone done = job.result();
    update = done.update;
    emit finished(done);
}

const Package &UpdateWork::runPackage()
{
    if (!package)
        package.emplace(packageDir);
    return *package;
}

std::shared_ptr<InstallationUpdate> UpdateWork::takeUpdate()
{
    if (!update)
        update = std::make_shared<InstallationUpdate>(InstallationPaths::installationRoot(applicationDir),
                                                      runPackage(), applicationDir);
    return std::exchange(update, nullptr);
}
