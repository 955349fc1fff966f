#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>
#include <vector>

#include "canceltoken.h"
#include "outcome.h"
#include "payloadwalk.h"
#include "place.h"

class InstallationBackup;
class Package;

// How copying the payload went. On failure, `folders` leads from the payload
// to the folder in which it happened, outermost first; `entry` is the name
// that failed there, or empty when that folder itself could not be created.
struct CopyOutcome
{
    Outcome outcome;
    QStringList folders;
    QString entry;
    bool cancelled = false;
    // Entries that were left out, each with the reason.
    QList<Outcome> skipped;

    bool ok() const { return outcome.ok() && !cancelled; }
};

// Copies a package's payload over the installation, through the backup, as
// PayloadWalk takes it: in name order regardless of case, leaving out what
// the walk leaves out; the first entry that fails ends it. Every entry it
// leaves out is named in the outcome with the reason, but for a deletion list
// that stayed in the package.
class PayloadCopy
{
public:
    // Bytes of the payload done so far, and in all.
    using Progress = std::function<void(qint64 done, qint64 total)>;

    PayloadCopy(const Package &package, const QString &installationRoot, InstallationBackup &backup);

    // The package's deletion list is never copied: applied, it is gone from
    // the payload; otherwise it stays in the package.
    // Checks `cancel` between two files.
    CopyOutcome copy(const CancelToken &cancel, const Progress &progress);

private:
    bool copyFolder(const PayloadWalk &walk, const PayloadWalk::Folder &folder, CopyOutcome &outcome);
    bool enterFolder(const PayloadWalk &walk, const PayloadWalk::Folder &folder,
                     const PayloadWalk::Entry &entry, CopyOutcome &outcome);
    Outcome checkInstalledFolder(const QString &destination) const;
    void noteCopied(qint64 bytes);
    Outcome recordAhead(const QVector<PayloadWalk::Entry> &entries, int &next, const QString &relative);

    const Package &package;
    const QString rootPath;
    InstallationBackup &backup;
    // The copy's state while it runs.
    const CancelToken *cancel = nullptr;
    Progress progress;
    std::vector<Place::Identity> foldersBeingCopied;
    Place root;
    // Its folders, known by identity, for the folder links met in the payload.
    std::optional<InstallationFolders> installation;
    qint64 copyDone = 0;
    qint64 copyTotal = 0;
};
