#pragma once

#include <QByteArray>
#include <QString>

#include "minisignsecretkey.h"

// Signs a package's manifest: writes <package>/SHA256SUMS.minisig, the
// prehashed minisign signature ("ED", over the BLAKE2b-512 of SHA256SUMS)
// that PackageSignature checks. The manifest is read first, so that a
// package that cannot be signed is known before any password is asked.
class PackageSigner
{
public:
    enum class Problem {
        None,
        NoPackage,            // no folder there
        NoManifest,           // no SHA256SUMS in it
        ManifestNotPlainFile, // a folder, a link, a pipe...
        ManifestUnreadable,
        BadTrustedComment, // a line break, or longer than minisign reads
        KeyHalvesDisagree, // the seed does not make the public key stored with it
        SigningFailed,
        WriteFailed,
    };

    // The longest trusted comment minisign reads back: its line, with
    // "trusted comment: " and the line end, must fit 8191 bytes.
    static constexpr int MaxTrustedCommentBytes = 8191 - 17 - 1;

    explicit PackageSigner(const QString &packageDir);

    // Reads SHA256SUMS and takes its BLAKE2b-512; what is signed is what was read here.
    bool readManifest();
    // Signs what readManifest() read with `key` and puts SHA256SUMS.minisig in
    // place in one rename: on failure the package is as it was.
    bool sign(const MinisignSecretKey &key, const QString &trustedComment);

    Problem problem() const { return failure; }
    QString reason() const { return failureReason; }

    QString manifestPath() const;
    QString signaturePath() const;

    // What minisign says by default: "timestamp:<seconds>\tfile:SHA256SUMS\thashed".
    static QString defaultTrustedComment(qint64 unixSeconds);
    // Why `comment` cannot be a trusted comment; empty when it can.
    static QString trustedCommentProblem(const QString &comment);

private:
    bool fail(Problem problem, const QString &reason);
    bool writeSignature(const QByteArray &text);

    QString package;
    QByteArray prehash;
    Problem failure = Problem::None;
    QString failureReason;
};
