#pragma once

#include <QString>

#include "outcome.h"

class Package;
// A per-user entry that the next logon runs: `update <package dir>` again, so
// that a run cut short by a power cut is finished even when the product no
// longer starts. On Windows a value under the user's Run key, elsewhere an
// XDG autostart file. One per installation: a later run on the same
// installation replaces it.
class StartupEntry
{
public:
    explicit StartupEntry(const QString &installationRoot);

    // Makes the next logon run `program update packageDir`; on disk when it
    // returns. A relative package folder is taken from the working folder.
    Outcome write(const QString &program, const QString &packageDir);
    // The same for `package`, as it was handed over: a link is resolved again by the run it starts.
    Outcome write(const QString &program, const Package &package);
    // No entry there is fine.
    Outcome remove();
    bool exists() const;
    // The command the entry runs, as the system reads it back; empty when there is none.
    QString storedCommand() const;
    // Where the entry lives: the autostart file, or the Run key's value.
    QString location() const;

    // `program update packageDir`, each part quoted the way the system's
    // start-up splits a command line, so that spaces, quotes and letters
    // beyond ASCII come through as they are.
    static QString command(const QString &program, const QString &packageDir);

    // On Windows, the account (a SID) whose own Run key holds the entries
    // from now on, for an updater elevated as another account than the one
    // that started the update; the current user's where empty. Elsewhere
    // there is no such case, and it is ignored.
    static void keepForUser(const QString &user);

private:
    QString name() const;

    // The same for every run on one installation, and different between two.
    const QString id;
};
