#pragma once

#include <QString>

#include <functional>
#include <memory>

#include "deletionlist.h"
#include "installationbackup.h"
#include "outcome.h"
#include "package.h"
#include "payloadcopy.h"
#include "startupentry.h"

// The file work of one update run on one installation: recover what an
// earlier run left, apply the package's deletion list, copy its payload over
// the installation, commit, remove the package; or roll all of it back. Every
// change goes through the backup, so that a run can always be undone until
// it is committed. From the run's first change until it ends whole, a
// start-up entry runs the same update again at the next logon, should a power
// cut end it first. Not thread-safe: one thread uses an object at a time.
class InstallationUpdate
{
public:
    using CopyProgress = PayloadCopy::Progress;

    InstallationUpdate(const QString &installationRoot, const QString &packageDir,
                       const QString &applicationDir);
    // For a package resolved already, whose check must look at the same folder.
    InstallationUpdate(const QString &installationRoot, const Package &package,
                       const QString &applicationDir);
    InstallationUpdate(const InstallationUpdate &) = delete;
    InstallationUpdate &operator=(const InstallationUpdate &) = delete;

    QString root() const { return rootPath; }
    const Package &package() const { return updatePackage; }
    // A package is a folder with an Env folder in it, neither the installation
    // root nor a folder that holds it; nothing else is applied or removed.
    // Decided when the run starts.
    bool isPackage() const;

    // Rolls back a run that was killed, and throws away what committed runs
    // left. Blocked: this run must change nothing.
    Recovery recoverEarlierRun();
    // Whether the installation holds changes of a run not yet committed.
    bool hasChanges() const;

    // Reads the deletion list without applying it.
    DeletionOutcome checkDeletionList() const;
    // Two payload entries the system would take for one name, of which only one could be installed.
    QStringList payloadCollision(const CancelToken &cancel) const;
    DeletionOutcome applyDeletionList();
    // Copies the payload over the installation (see PayloadCopy).
    CopyOutcome copyPayload(const CancelToken &cancel, const CopyProgress &progress = nullptr);
    // From now on every file the copy puts in place must be `listed`'s
    // content, and checkPlacedContent holds the run to it (see ContentAtUse).
    void checkContentAgainst(std::shared_ptr<const ListedContent> listed);
    // Before the commit: the files moved into place are what is listed, and no listed file is missing.
    Outcome checkPlacedContent(const CancelToken &cancel);
    // A file of the payload was not its listed content when used: no try can apply the package.
    bool contentDiffered() const;
    // Makes the run final: from here on it is never rolled back.
    Outcome commit();
    // Removes the package folder, unless it is one no run may remove; a package
    // handed over through a link goes with the link.
    Outcome removePackage();
    // The run ended whole, committed: the start-up entry that would finish it
    // goes. One that cannot go is logged, and runs a harmless update at the
    // next logon.
    void finishRun();
    // Puts the installation back as it was before the run, and the deletion
    // list back into the package; once that is complete the start-up entry goes.
    Outcome rollBack();

    // For a rehearsal on a copy of an installation, which no logon must
    // finish: the run writes no start-up entry, and removes none.
    void leaveNoStartupEntry() { startupEntryWanted = false; }
    // Removes the trash of committed runs at `installationRoot`; true when none is left.
    static bool dropTrash(const QString &installationRoot);

private:
    void writeStartupEntry();

    const QString rootPath;
    const Package updatePackage;
    const QString applicationPath;
    // The Env folder could not be read when the run started: the run fails rather than apply nothing.
    bool packageUnreadable = false;
    // Decided once, when the run starts: a payload that becomes unreadable later fails the try.
    const QString notApplied;
    InstallationBackup backup;
    DeletionList deletionList;
    PayloadCopy payloadCopy;
    StartupEntry startupEntry;
    bool startupEntryWritten = false;
    bool startupEntryWanted = true;
};
