#pragma once

#include <QString>
#include <QStringList>

#include "packagesignature.h"

// What verifying a package came to: what it would do to the installed
// release, and everything that keeps it from being shipped.
struct VerifyReport
{
    // Each reason the updater would refuse the package, or apply it to
    // something else than the expected release. Empty: it may be shipped.
    QStringList problems;
    // What was checked and holds, and what was noticed without failing it.
    QStringList notes;
    // The plan, against the installed release.
    QStringList added;
    QStringList replaced;
    QStringList removed;
    QStringList leftOut; // payload entries the updater leaves out, each with the reason
    qint64 addedBytes = 0;
    qint64 replacedBytes = 0;
    qint64 removedBytes = 0;
    // Whether the package was applied to a copy of the installed release, and how many files then matched.
    bool rehearsed = false;
    int filesCompared = 0;
    // Entries left out of the comparison, each with the reason.
    QStringList notCompared;
    bool ok() const { return problems.isEmpty(); }
};

// Checks a package as the updater will take it, against the release it is
// meant for: its manifest and signature, its deletion list (well-formed,
// confined to the installation, sparing the updater), its payload's links
// and names. With an expected release, it also applies the package to a
// copy of the installed release through the updater's own run, and compares
// the result with the expected release file by file: content,
// permissions and links.
class PackageVerifier
{
public:
    struct Options
    {
        QString package;
        QString installed;
        QString expected; // none: no rehearsal
        // None: the package needs no signature, as for a build without keys.
        PackageKeys keys;
    };

    static VerifyReport verify(const Options &options);
};
