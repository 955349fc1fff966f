#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

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
// trusted comment.
class PackageSignature
{
public:
    static SignatureCheck verify(const QByteArray &signedData, const QByteArray &signatureFile,
                                 const PackageKeys &keys);
};
