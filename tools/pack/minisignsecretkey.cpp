#include "minisignsecretkey.h"

#include <utility>

#include <QList>
#include <QtEndian>

#include <gcrypt.h>

#include "crypto.h"

namespace {

const QByteArray UntrustedPrefix = QByteArrayLiteral("untrusted comment:");
const QByteArray Ed25519Algorithm = QByteArrayLiteral("Ed");
const QByteArray ScryptAlgorithm = QByteArrayLiteral("Sc");
const QByteArray NoKdfAlgorithm = QByteArray(2, '\0');
const QByteArray Blake2bAlgorithm = QByteArrayLiteral("B2");

// The layout of the key line, as minisign's SeckeyStruct lays it out.
constexpr int AlgorithmBytes = 2;
constexpr int SaltBytes = 32;
constexpr int KeyIdBytes = 8;
constexpr int SecretKeyBytes = 64; // the seed, then the public key
constexpr int SeedBytes = 32;
constexpr int ChecksumBytes = 32;
constexpr int SaltAt = 3 * AlgorithmBytes;
constexpr int OpsLimitAt = SaltAt + SaltBytes;
constexpr int MemLimitAt = OpsLimitAt + 8;
constexpr int EncryptedAt = MemLimitAt + 8;
constexpr int EncryptedBytes = KeyIdBytes + SecretKeyBytes + ChecksumBytes;
constexpr int KeyLineBytes = EncryptedAt + EncryptedBytes;
constexpr int PublicKeyLineBytes = AlgorithmBytes + KeyIdBytes + 32;

void wipe(QByteArray &bytes)
{
    volatile char *data = bytes.data();
    for (int at = 0; at < bytes.size(); ++at)
        data[at] = 0;
}

// Holds secret bytes, and wipes them when it ends. Every holder of a secret
// is one of these (or a MinisignSecretKey), so that whichever lets the shared
// bytes go last wipes them.
class Secret
{
public:
    explicit Secret(QByteArray bytes)
        : bytes(std::move(bytes))
    {}
    ~Secret() { wipe(bytes); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    QByteArray bytes;
};

MinisignSecretKey::Read problem(MinisignSecretKey::Problem problem, const QString &reason)
{
    MinisignSecretKey::Read read;
    read.problem = problem;
    read.reason = reason;
    return read;
}

// BLAKE2b with a 32-byte output, which is not BLAKE2b-512 cut short.
QByteArray checksumOf(const QByteArray &algorithm, const QByteArray &keyIdAndSecretKey)
{
    Crypto::initialise();
    QByteArray checksum(ChecksumBytes, '\0');
    const Secret input(algorithm + keyIdAndSecretKey);
    gcry_md_hash_buffer(GCRY_MD_BLAKE2B_256, checksum.data(), input.bytes.constData(),
                        size_t(input.bytes.size()));
    return checksum;
}

} // namespace

ScryptParameters ScryptParameters::fromLimits(quint64 opsLimit, quint64 memLimit)
{
    ScryptParameters parameters;
    opsLimit = qMax<quint64>(opsLimit, 32768);
    const auto firstAbove = [](quint64 half) {
        int nLog2 = 1;
        while (nLog2 < 63 && (quint64(1) << nLog2) <= half)
            ++nLog2;
        return nLog2;
    };
    if (opsLimit < memLimit / 32) {
        parameters.p = 1;
        parameters.nLog2 = firstAbove(opsLimit / (parameters.r * 4) / 2);
    } else {
        parameters.nLog2 = firstAbove(memLimit / (quint64(parameters.r) * 128) / 2);
        const quint64 maxRp = qMin<quint64>((opsLimit / 4) >> parameters.nLog2, 0x3fffffff);
        parameters.p = quint32(maxRp) / parameters.r;
    }
    return parameters;
}

quint64 ScryptParameters::memoryBytes() const
{
    if (nLog2 >= 50)
        return ~quint64(0);
    return 128 * quint64(r) * ((quint64(1) << nLog2) + p);
}

MinisignSecretKey::MinisignSecretKey(const MinisignKey &publicPart, const QByteArray &seed)
    : publicPart(publicPart)
    , secretSeed(seed)
{}

MinisignSecretKey::~MinisignSecretKey()
{
    wipe(secretSeed);
}

MinisignSecretKey::Read MinisignSecretKey::read(const QByteArray &text, const PasswordSource &password)
{
    const QList<QByteArray> lines = minisignLines(text);
    if (lines.isEmpty() || !lines.first().startsWith(UntrustedPrefix))
        return problem(Problem::NotMinisignKey, QStringLiteral("it is not a minisign secret key"));
    if (lines.size() != 2)
        return problem(Problem::Damaged,
                       QStringLiteral("it is damaged: a minisign secret key has two lines"));

    const auto decoded = QByteArray::fromBase64Encoding(lines.at(1), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return problem(Problem::Damaged, QStringLiteral("it is damaged: its key line is not base64"));
    Secret keyLine(std::move(decoded.decoded));
    const QByteArray &bytes = keyLine.bytes;
    if (bytes.size() == PublicKeyLineBytes && bytes.startsWith(Ed25519Algorithm))
        return problem(Problem::PublicKeyGiven,
                       QStringLiteral("it is a minisign public key; signing needs the secret key"));
    if (bytes.size() != KeyLineBytes)
        return problem(Problem::Damaged, QStringLiteral("it is damaged: its key line holds %1 bytes, not %2")
                                             .arg(bytes.size())
                                             .arg(KeyLineBytes));

    const QByteArray signatureAlgorithm = bytes.mid(0, AlgorithmBytes);
    const QByteArray kdfAlgorithm = bytes.mid(AlgorithmBytes, AlgorithmBytes);
    const QByteArray checksumAlgorithm = bytes.mid(2 * AlgorithmBytes, AlgorithmBytes);
    if (signatureAlgorithm != Ed25519Algorithm || checksumAlgorithm != Blake2bAlgorithm ||
        (kdfAlgorithm != ScryptAlgorithm && kdfAlgorithm != NoKdfAlgorithm))
        return problem(
            Problem::OtherAlgorithm,
            QStringLiteral("it uses algorithms other than minisign's Ed25519, scrypt and BLAKE2b"));

    const bool encrypted = kdfAlgorithm == ScryptAlgorithm;
    Secret secret(bytes.mid(EncryptedAt, EncryptedBytes));
    if (encrypted) {
        const auto opsLimit = qFromLittleEndian<quint64>(bytes.constData() + OpsLimitAt);
        const auto memLimit = qFromLittleEndian<quint64>(bytes.constData() + MemLimitAt);
        const ScryptParameters scrypt = ScryptParameters::fromLimits(opsLimit, memLimit);
        // A key file is data: its limits must not make this tool claim any memory or time they name.
        if (scrypt.memoryBytes() > MaxScryptMemoryBytes || scrypt.p > MaxScryptP || scrypt.p == 0)
            return problem(Problem::TooCostly,
                           QStringLiteral("its password protection asks for more memory or time than allowed "
                                          "(scrypt N = 2^%1, p = %2)")
                               .arg(scrypt.nLog2)
                               .arg(scrypt.p));
        std::optional<QByteArray> given = password ? password() : std::nullopt;
        if (!given)
            return problem(Problem::NoPassword,
                           QStringLiteral("the key is encrypted and no password was given: set "
                                          "QUILLFERN_PACK_PASSWORD or run it from a terminal"));
        const Secret passwordBytes(std::move(*given));
        Secret stream(QByteArray(EncryptedBytes, '\0'));
        Crypto::initialise();
        // libgcrypt takes no null passphrase, and minisign allows an empty one.
        const char *passphrase = passwordBytes.bytes.isEmpty() ? "" : passwordBytes.bytes.constData();
        const gcry_error_t derived = gcry_kdf_derive(
            passphrase, size_t(passwordBytes.bytes.size()), GCRY_KDF_SCRYPT, 1 << scrypt.nLog2,
            bytes.constData() + SaltAt, SaltBytes, scrypt.p, size_t(EncryptedBytes), stream.bytes.data());
        if (derived != 0)
            return problem(Problem::DerivationFailed,
                           QStringLiteral("the key could not be decrypted: scrypt with N = 2^%1 failed: %2")
                               .arg(scrypt.nLog2)
                               .arg(QString::fromUtf8(gcry_strerror(derived))));
        for (int at = 0; at < EncryptedBytes; ++at)
            secret.bytes[at] = char(secret.bytes.at(at) ^ stream.bytes.at(at));
    }

    const Secret keyIdAndSecretKey(secret.bytes.left(KeyIdBytes + SecretKeyBytes));
    const QByteArray storedChecksum = secret.bytes.mid(KeyIdBytes + SecretKeyBytes);
    // minisign -G -W leaves an unencrypted key's checksum zero; the signature check against the
    // public half still catches a damaged one.
    const bool unchecked = !encrypted && storedChecksum == QByteArray(ChecksumBytes, '\0');
    if (!unchecked && checksumOf(signatureAlgorithm, keyIdAndSecretKey.bytes) != storedChecksum) {
        if (encrypted)
            return problem(Problem::WrongPassword,
                           QStringLiteral("wrong password for this key (or the key file is damaged)"));
        return problem(Problem::Damaged, QStringLiteral("it is damaged: its checksum does not match"));
    }

    const MinisignKey publicPart{secret.bytes.left(KeyIdBytes),
                                 secret.bytes.mid(KeyIdBytes + SeedBytes, SecretKeyBytes - SeedBytes)};
    Read read;
    read.key = MinisignSecretKey(publicPart, secret.bytes.mid(KeyIdBytes, SeedBytes));
    return read;
}
