#pragma once

#include <QFuture>
#include <QString>

#include <memory>

#include "canceltoken.h"
#include "installationupdate.h"
#include "outcome.h"
#include "packagemanifest.h"

class StageProgress;

// Everything one try may touch, handed to the worker whole: the worker reads
// nothing of the window that started it.
struct TryRequest
{
    // The file work; the worker's alone while the try runs.
    std::shared_ptr<InstallationUpdate> update;
    // The first try recovers what an earlier run left and takes the package's check.
    bool firstTry = false;
    // The package against its manifest, started once the product was stopped.
    QFuture<ManifestCheck> packageCheck;
    // The check's own token, and how long the first try waits on a check that shows no progress.
    CancelToken checkCancel;
    int checkStallBound = 60000;
    PackageKeys keys;
    CancelToken cancel;
};

// How a try ended.
enum class TryResult {
    Committed, // the run is final; the package folder is gone or kept with a reason
    Failed,    // nothing committed: a later try may still apply the package
    Refused,   // the package does not match its manifest, or what an earlier run left cannot be trusted
};

// What a piece of work in the worker hands back: the file work, and how it went.
struct TryDone
{
    std::shared_ptr<InstallationUpdate> update;
    TryResult result = TryResult::Failed;
};

// One try of the update run, in a worker thread: deletion list, payload copy,
// the check of what was placed, commit and package removal, each stage
// reporting the target it reached through `progress`. Also the rollback.
class UpdateTry
{
public:
    UpdateTry(InstallationUpdate &update, const CancelToken &cancel, StageProgress &progress);
    UpdateTry(const UpdateTry &) = delete;
    UpdateTry &operator=(const UpdateTry &) = delete;

    static TryDone run(const TryRequest &request, StageProgress &progress);
    // Puts the installation back, and says in the log how that went and what `occasion` called for it.
    static TryDone rollBack(std::shared_ptr<InstallationUpdate> update, const QString &occasion);

    // The stages, in the order a try runs them.
    bool updateDel();
    bool copy();
    bool copyDirectory();
    bool updateVersion();
    // The failure log "log.txt" in the working folder; it holds the last message only.
    static void writeLog(const QString &message);

private:
    bool packageMatches(const TryRequest &request);
    bool awaitCheck(const TryRequest &request, ManifestCheck *verdict);
    bool deletionListApplies();
    bool payloadNamesApart();
    static void logDeletionProblems(const DeletionOutcome &outcome);
    bool runStages();
    bool contentPlacedAsListed();
    bool commitAndRemovePackage();

    InstallationUpdate &update;
    const CancelToken cancel;
    StageProgress &progress;
    // The deletion list turned out to be one no try can apply.
    bool packageRefused = false;
};
