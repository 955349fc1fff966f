#pragma once

#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

#include "installationbackup.h"
#include "outcome.h"
#include "startupentry.h"

// Asks a copy in another thread to stop between two files. Copies share one flag.
class CancelToken
{
public:
    CancelToken()
        : flag(std::make_shared<std::atomic_bool>(false))
    {}
    void cancel() const { *flag = true; }
    bool isCancelled() const { return *flag; }

private:
    std::shared_ptr<std::atomic_bool> flag;
};

// How applying the deletion list went.
struct DeletionOutcome
{
    enum Result {
        NoList,     // the package has no deletion list
        CannotOpen, // the list could not be opened for reading and writing
        NotXml,     // the list is not a well-formed XML document
        NoDelLs,    // its top level has no "DelLs"
        Applied,    // each entry was removed or refused, and the list left the package
    };

    Result result = NoList;
    // Why the list was not applied, each entry that removed nothing although it
    // named something, and a list that could not be set aside.
    QList<Outcome> problems;
};

// How copying the payload went. On failure, `folders` leads from the payload
// to the folder in which it happened, outermost first; `entry` is the name
// that failed there, or empty when that folder itself could not be created.
struct CopyOutcome
{
    Outcome outcome;
    QStringList folders;
    QString entry;
    bool cancelled = false;
    // Entries that were passed over, each with the reason.
    QList<Outcome> skipped;

    bool ok() const { return outcome.ok() && !cancelled; }
};

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
    // Bytes of the payload done so far, and in all.
    using CopyProgress = std::function<void(qint64 done, qint64 total)>;

    InstallationUpdate(const QString &installationRoot, const QString &packageDir,
                       const QString &applicationDir);
    InstallationUpdate(const InstallationUpdate &) = delete;
    InstallationUpdate &operator=(const InstallationUpdate &) = delete;

    QString root() const { return rootPath; }
    QString packageDir() const { return packagePath; }
    QString payloadFolder() const;
    QString deletionListPath() const;
    // A package is a folder with an Env folder in it; nothing else is applied or removed.
    bool isPackage() const;

    // Rolls back a run that was killed, and throws away what committed runs left.
    void recoverEarlierRun();
    // Whether the installation holds changes of a run not yet committed.
    bool hasChanges() const;

    DeletionOutcome applyDeletionList();
    // Copies the payload over the installation, in name order regardless of
    // case, skipping hidden and system entries and "__MACOSX"; the first entry
    // that fails ends it. Checks `cancel` between two files.
    CopyOutcome copyPayload(const CancelToken &cancel, const CopyProgress &progress = nullptr);
    // Makes the run final: from here on it is never rolled back.
    Outcome commit();
    // Removes the package folder, unless it is one no run may remove.
    Outcome removePackage();
    // The run ended whole, committed: the start-up entry that would finish it
    // goes. One that cannot go is logged, and runs a harmless update at the
    // next logon.
    void finishRun();
    // Puts the installation back as it was before the run, and the deletion
    // list back into the package; once that is complete the start-up entry goes.
    Outcome rollBack();

    // Removes the trash of committed runs at `installationRoot`; true when none is left.
    static bool dropTrash(const QString &installationRoot);

private:
    bool copyFolder(const QString &source, const QString &relative, bool throughLink, CopyOutcome &outcome);
    Outcome checkFolderLink(const QFileInfo &link) const;
    bool isLeftOut(const QString &name, const QString &relative) const;
    void noteCopied(qint64 bytes);
    Outcome recordAhead(const QFileInfoList &entries, int from, const QString &relative, bool throughLink);
    void writeStartupEntry();

    const QString rootPath;
    const QString packagePath;
    const QString applicationPath;
    InstallationBackup backup;
    StartupEntry startupEntry;
    bool startupEntryWritten = false;
    // The copy's state while it runs.
    const CancelToken *cancel = nullptr;
    CopyProgress progress;
    QStringList foldersBeingCopied;
    QString canonicalRoot;
    bool listLeftInPackage = false;
    qint64 copyDone = 0;
    qint64 copyTotal = 0;
};
