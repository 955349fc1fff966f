#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

#include <memory>
#include <optional>

#include "crypto.h"

// The lines of a minisign file, without their line ends ("\n" or "\r\n")
// and without the empty line a last line end leaves.
QList<QByteArray> minisignLines(const QByteArray &text);

// One minisign public key: its 8-byte id as the files carry it, and the Ed25519 key.
struct MinisignKey
{
    QByteArray id;
    QByteArray publicKey;

    // As minisign shows it: "4A2B91C0D3E5F607".
    QString idText() const;
};

// The keys a package must be signed with. None: a package needs no signature.
struct PackageKeys
{
    QVector<MinisignKey> keys;
    // Set when keys were given but could not be read: then no package is applied.
    QString problem;

    bool requireSignature() const { return !keys.isEmpty() || !problem.isEmpty(); }

    // Reads public keys as "minisign -G" writes them, one or more in a row: an
    // "untrusted comment:" line, then the base64 key line. Empty text: no keys.
    static PackageKeys read(const QByteArray &text);
};

// What checking a signature came to; on success, who signed and what they said.
struct SignatureCheck
{
    bool valid = false;
    QString keyId;
    QString trustedComment;
    // Why it is not valid.
    QString problem;
};

// A minisign signature (a ".minisig" file) of a file: prehashed ("ED", over
// the file's BLAKE2b-512) or legacy ("Ed", over the file itself). It is valid
// when its key id is one of the keys, its signature of the file verifies with
// that key, and so does its global signature over that signature and the
// trusted comment. The file is handed over piece by piece as it is read:
// only a legacy signature needs it held whole, and takes only a file of at
// most 64 KiB (Crypto::MaxEd25519MessageBytes).
class PackageSignature
{
public:
    PackageSignature(const QByteArray &signatureFile, const PackageKeys &keys);
    ~PackageSignature();
    PackageSignature(const PackageSignature &) = delete;
    PackageSignature &operator=(const PackageSignature &) = delete;

    void add(const char *data, qint64 size);
    // Whether the signature holds for everything added.
    SignatureCheck finish();

private:
    SignatureCheck refused;
    std::optional<MinisignKey> key;
    QByteArray signature;
    QByteArray trustedComment;
    QByteArray globalSignature;
    std::unique_ptr<Crypto::Blake2b512> prehash;
    QByteArray message; // a legacy signature's signed file
    bool legacyTooLong = false;
};
