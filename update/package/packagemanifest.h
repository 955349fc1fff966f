#pragma once

#include <QString>

#include <memory>

#include "canceltoken.h"
#include "contentatuse.h"
#include "packagesignature.h"

class Package;

// What checking a package against its manifest came to.
struct ManifestCheck
{
    enum class Result {
        NoManifest, // the package has none, and needs none: it is applied as it is
        Matches,
        Mismatch,  // nothing of the package may be applied
        NotSigned, // no valid signature by a built-in key: nothing of it may be applied
        Cancelled,
    };

    Result result = Result::NoManifest;
    // The files whose hash was checked.
    int files = 0;
    // On a mismatch, the first offending entry and why: ""bin/app.dll": content differs";
    // when not signed, why not.
    QString problem;
    // On a match: what each listed file must be when the run uses it.
    std::shared_ptr<const ListedContent> listed;
    // On a match with a signature: who signed, and what they said.
    SignatureCheck signature;

    bool allowsApplying() const { return result == Result::NoManifest || result == Result::Matches; }
};

// The manifest a package may carry beside its payload, "SHA256SUMS", in the
// format GNU sha256sum writes: a line per file with its SHA-256 in hex, two
// spaces (or a space and "*") and its path relative to the payload, with "/"
// between names, in UTF-8; a leading "./" is allowed, and a line that starts
// with a backslash escapes a backslash, line feed or carriage return in the
// name. When a package carries one, it is applied only if every listed file
// is a plain file with that hash, and every file the copy would apply is
// listed, the deletion list among them; what PayloadWalk leaves out (hidden
// entries, "__MACOSX", links that lead nowhere, pipes, sockets and devices)
// need not be. A manifest that cannot be read counts as a mismatch. With keys, the
// manifest is required, and so is its minisign signature "SHA256SUMS.minisig"
// by one of them, checked over the very bytes the listing is read from.
class PackageManifest
{
public:
    // Checks `package`'s payload against its manifest, hashing on `threads`
    // threads at once (0: one per processor core). Checks `cancel` between
    // two files.
    static ManifestCheck check(const Package &package, const PackageKeys &keys, const CancelToken &cancel,
                               int threads = 0);
    static QString signatureName() { return QStringLiteral("SHA256SUMS.minisig"); }
};
