#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

#include "packagesignature.h"

// The scrypt cost of an encrypted minisign key, derived from the operation
// and memory limits the key file carries the way libsodium's
// crypto_pwhash_scryptsalsa208sha256 derives it, which minisign encrypts with.
struct ScryptParameters
{
    int nLog2 = 0;
    quint32 r = 8;
    quint32 p = 1;

    static ScryptParameters fromLimits(quint64 opsLimit, quint64 memLimit);
    // What scrypt holds while it works: 128 * r * N bytes (and a little per p).
    quint64 memoryBytes() const;
};

// A minisign secret key, read from the file "minisign -G" writes (encrypted
// with a password) or "minisign -G -W" writes (unencrypted). The secret
// parts are wiped when the key goes.
class MinisignSecretKey
{
public:
    enum class Problem {
        None,
        NotMinisignKey,   // no minisign key file at all
        PublicKeyGiven,   // a minisign public key where the secret one belongs
        Damaged,          // cut short, altered, or not base64
        OtherAlgorithm,   // a signature, key derivation or checksum algorithm other than minisign's
        TooCostly,        // key derivation parameters beyond what this tool will spend
        NoPassword,       // encrypted, and no password could be had
        WrongPassword,    // the checksum fails after decryption
        DerivationFailed, // scrypt itself failed (out of memory)
    };

    // Asked once, and only for an encrypted key; no value: no password can be had.
    using PasswordSource = std::function<std::optional<QByteArray>()>;

    struct Read;
    static Read read(const QByteArray &text, const PasswordSource &password);

    MinisignSecretKey(const MinisignSecretKey &other) = default;
    MinisignSecretKey &operator=(const MinisignSecretKey &other) = default;
    ~MinisignSecretKey();

    // The key id and the public key the file stores beside the secret one.
    const MinisignKey &publicKey() const { return publicPart; }
    // The 32-byte Ed25519 seed.
    const QByteArray &seed() const { return secretSeed; }

    // The most scrypt memory an encrypted key may ask for: four times
    // minisign's own default of 1 GiB.
    static constexpr quint64 MaxScryptMemoryBytes = quint64(4) << 30;
    static constexpr quint32 MaxScryptP = 64;

private:
    MinisignSecretKey(const MinisignKey &publicPart, const QByteArray &seed);

    MinisignKey publicPart;
    QByteArray secretSeed;
};

struct MinisignSecretKey::Read
{
    std::optional<MinisignSecretKey> key;
    Problem problem = Problem::None;
    QString reason; // in words, when there is a problem
};
