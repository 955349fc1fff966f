#include "packagesignature.h"

#include <algorithm>

#include <QList>

#include "crypto.h"

namespace {

const QByteArray UntrustedPrefix = QByteArrayLiteral("untrusted comment:");
const QByteArray TrustedPrefix = QByteArrayLiteral("trusted comment: ");
constexpr int KeyIdBytes = 8;
constexpr int PublicKeyLineBytes = 2 + KeyIdBytes + 32;
constexpr int SignatureLineBytes = 2 + KeyIdBytes + 64;

// Strict base64: anything else, or another length, gives an empty result.
QByteArray decodedLine(const QByteArray &line, int expectedBytes)
{
    const auto decoded = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == expectedBytes ? decoded.decoded : QByteArray();
}

SignatureCheck refusal(const QString &problem)
{
    SignatureCheck check;
    check.problem = problem;
    return check;
}

} // namespace

QString MinisignKey::idText() const
{
    // minisign shows the id as a little-endian number.
    QByteArray reversed(id.size(), '\0');
    std::reverse_copy(id.cbegin(), id.cend(), reversed.begin());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

PackageKeys PackageKeys::read(const QByteArray &text)
{
    PackageKeys result;
    const QList<QByteArray> lines = minisignLines(text);
    for (int at = 0; at < lines.size(); at += 2) {
        const QByteArray keyLine = at + 1 < lines.size() ? lines.at(at + 1) : QByteArray();
        const QByteArray key = decodedLine(keyLine, PublicKeyLineBytes);
        if (!lines.at(at).startsWith(UntrustedPrefix) || !key.startsWith("Ed")) {
            result.keys.clear();
            result.problem = QStringLiteral("line %1 of the public keys is not part of a minisign public key")
                                 .arg(lines.at(at).startsWith(UntrustedPrefix) ? at + 2 : at + 1);
            return result;
        }
        result.keys.append({key.mid(2, KeyIdBytes), key.mid(2 + KeyIdBytes)});
    }
    return result;
}

PackageSignature::PackageSignature(const QByteArray &signatureFile, const PackageKeys &keys)
{
    if (!keys.problem.isEmpty()) {
        refused = refusal(QStringLiteral("the built-in public keys cannot be read: ") + keys.problem);
        return;
    }
    const QList<QByteArray> lines = minisignLines(signatureFile);
    if (lines.size() != 4 || !lines.at(0).startsWith(UntrustedPrefix) ||
        !lines.at(2).startsWith(TrustedPrefix)) {
        refused = refusal(QStringLiteral("it is not a minisign signature"));
        return;
    }
    const QByteArray signatureLine = decodedLine(lines.at(1), SignatureLineBytes);
    globalSignature = decodedLine(lines.at(3), 64);
    if (signatureLine.isEmpty() || globalSignature.isEmpty()) {
        refused = refusal(QStringLiteral("it is not a minisign signature: a signature line is damaged"));
        return;
    }

    const QByteArray algorithm = signatureLine.left(2);
    if (algorithm != "ED" && algorithm != "Ed") {
        refused = refusal(QStringLiteral("it uses a signature algorithm other than Ed25519"));
        return;
    }
    const MinisignKey signer{signatureLine.mid(2, KeyIdBytes), QByteArray()};
    for (const MinisignKey &candidate : keys.keys) {
        if (candidate.id == signer.id)
            key = candidate;
    }
    if (!key) {
        refused = refusal(QStringLiteral("it is signed with key %1, which is not one of the built-in keys")
                              .arg(signer.idText()));
        return;
    }
    signature = signatureLine.mid(2 + KeyIdBytes);
    trustedComment = lines.at(2).mid(TrustedPrefix.size());
    if (algorithm == "ED")
        prehash = std::make_unique<Crypto::Blake2b512>();
}

PackageSignature::~PackageSignature() = default;

void PackageSignature::add(const char *data, qint64 size)
{
    if (prehash)
        prehash->add(data, size);
    else if (key && !legacyTooLong)
        legacyTooLong =
            (message += QByteArray::fromRawData(data, int(size))).size() > Crypto::MaxEd25519MessageBytes;
    if (legacyTooLong)
        message.clear();
}

SignatureCheck PackageSignature::finish()
{
    if (!key)
        return refused;
    if (legacyTooLong)
        return refusal(QStringLiteral("it is a legacy signature of a manifest over %1 bytes, which cannot be "
                                      "verified: sign it prehashed, as minisign does by default")
                           .arg(Crypto::MaxEd25519MessageBytes));
    if (!Crypto::verifyEd25519(key->publicKey, prehash ? prehash->result() : message, signature))
        return refusal(QStringLiteral("the signature does not match SHA256SUMS: the manifest was changed "
                                      "after signing, or the signature belongs to another file"));
    if (!Crypto::verifyEd25519(key->publicKey, signature + trustedComment, globalSignature))
        return refusal(QStringLiteral("its trusted comment was changed after signing"));

    SignatureCheck check;
    check.valid = true;
    check.keyId = key->idText();
    check.trustedComment = QString::fromUtf8(trustedComment);
    return check;
}

QList<QByteArray> minisignLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    // A last line end leaves an empty last line.
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
