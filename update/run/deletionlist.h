#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "outcome.h"
#include "place.h"

class ContentAtUse;
class InstallationBackup;
class Package;

// How reading, or applying, the deletion list went.
struct DeletionOutcome
{
    enum Result {
        NoList,       // the package has no deletion list, or is not applied
        CannotOpen,   // the list could not be read now: it stays in the package, and this try fails
        NotPlainFile, // a folder, a link, a pipe or a device stands where the list would be
        TooLarge,     // far larger than any list
        NotXml,       // the list is not a well-formed XML document
        NoDelLs,      // its top level has no "DelLs"
        Differs,      // it is not what the package's manifest lists: it stays in the package, and the run is
                      // refused
        Readable,     // it was read, and can be applied (only from check())
        Applied,      // each entry was removed or refused, and the list left the package
        Incomplete,   // a listed file that is there could not be set aside: the list stays in the package,
                      // to be applied again by the next try, and this try fails
    };

    Result result = NoList;
    // Why the list was not applied, each entry that removed nothing although it
    // named something, and a list that could not be set aside.
    QList<Outcome> problems;

    // A list that can never be applied, whatever a later try finds: none of the package may be.
    bool refusesPackage() const
    {
        return result == NotPlainFile || result == TooLarge || result == NotXml || result == NoDelLs;
    }
    // Whether the copy may follow.
    bool letsCopyFollow() const { return result == NoList || result == Applied; }
};

// The package's deletion list: each entry names a file of the installation,
// which is set aside through the backup so that a failed run can put it
// back. Entries that lead outside the installation, into the updater's own
// bookkeeping, or to a file the updater needs to start are refused.
class DeletionList
{
public:
    DeletionList(const Package &package, const QString &installationRoot, const QString &applicationDir);

    // Reads the list without applying it, before anything changes: a list
    // that refuses the package is known before the first removal.
    DeletionOutcome check() const;
    // The same, and the entries as written, each a path relative to the installation root.
    DeletionOutcome entries(QStringList *entries) const { return read(entries, nullptr); }
    // The list is never installed as a payload file: applied, it is set aside;
    // otherwise it stays in the package, and the copy leaves it out.
    DeletionOutcome apply(InstallationBackup &backup);

private:
    QString refusal(const QString &relative) const;
    // Reads and parses the list into `entries`; Readable when it can be applied.
    DeletionOutcome read(QStringList *entries, ContentAtUse *content) const;

    const Package &package;
    const QString rootPath;
    const QString applicationPath;
    // The updater's executable, known by what it is while the list is applied.
    Place updater;
};
