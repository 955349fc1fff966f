#pragma once

#include <QList>
#include <QString>

#include "outcome.h"
#include "place.h"

class InstallationBackup;
class Package;

// How applying the deletion list went.
struct DeletionOutcome
{
    enum Result {
        NoList,     // the package has no deletion list, or is not applied
        CannotOpen, // the list could not be opened for reading; it stays in the package
        NotXml,     // the list is not a well-formed XML document
        NoDelLs,    // its top level has no "DelLs"
        Differs,    // it is not what the package's manifest lists: it stays in the package, and the run is
                    // refused
        Applied,    // each entry was removed or refused, and the list left the package
        Incomplete, // a listed file that is there could not be set aside: the list stays in the package,
                    // to be applied again by the next try, and this try fails
    };

    Result result = NoList;
    // Why the list was not applied, each entry that removed nothing although it
    // named something, and a list that could not be set aside.
    QList<Outcome> problems;
};

// The package's deletion list: each entry names a file of the installation,
// which is set aside through the backup so that a failed run can put it
// back. Entries that lead outside the installation, into the updater's own
// bookkeeping, or to a file the updater needs to start are refused.
class DeletionList
{
public:
    DeletionList(const Package &package, const QString &installationRoot, const QString &applicationDir);

    DeletionOutcome apply(InstallationBackup &backup);
    // A list that could not be read, or that was applied and could not be set
    // aside, stays in the package; the copy then leaves it out.
    bool leftInPackage() const { return listLeftInPackage; }

private:
    QString refusal(const QString &relative) const;

    const Package &package;
    const QString rootPath;
    const QString applicationPath;
    bool listLeftInPackage = false;
    // The updater's executable, known by what it is while the list is applied.
    Place updater;
};
