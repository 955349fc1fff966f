#include "packagesigner.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include "crypto.h"
#include "fileops.h"
#include "place.h"

namespace {

const QString ManifestName = QStringLiteral("SHA256SUMS");
const QString SignatureName = QStringLiteral("SHA256SUMS.minisig");
const QByteArray PrehashedAlgorithm = QByteArrayLiteral("ED");
constexpr int Ed25519Bytes = 32;

} // namespace

PackageSigner::PackageSigner(const QString &packageDir)
    : package(packageDir)
{}

QString PackageSigner::manifestPath() const
{
    return QDir(package).filePath(ManifestName);
}

QString PackageSigner::signaturePath() const
{
    return QDir(package).filePath(SignatureName);
}

QString PackageSigner::defaultTrustedComment(qint64 unixSeconds)
{
    return QStringLiteral("timestamp:%1\tfile:%2\thashed").arg(unixSeconds).arg(ManifestName);
}

QString PackageSigner::trustedCommentProblem(const QString &comment)
{
    // Every reader of .minisig files takes the comment to end at either.
    if (comment.contains(QLatin1Char('\n')) || comment.contains(QLatin1Char('\r')))
        return QStringLiteral("the trusted comment holds a line break");
    if (comment.toUtf8().size() > MaxTrustedCommentBytes)
        return QStringLiteral("the trusted comment is longer than %1 bytes").arg(MaxTrustedCommentBytes);
    return QString();
}

bool PackageSigner::fail(Problem problem, const QString &reason)
{
    failure = problem;
    failureReason = reason;
    return false;
}

bool PackageSigner::readManifest()
{
    if (!Place::followingLastLink(package).leadsToFolder())
        return fail(Problem::NoPackage, QStringLiteral("no package folder at \"%1\"").arg(package));
    Crypto::Blake2b512 hash;
    const FileOps::ReadResult read = FileOps::readPlainFile(
        manifestPath(), -1, [&hash](const char *data, qint64 size) { hash.add(data, size); });
    switch (read) {
    case FileOps::ReadResult::Read:
        prehash = hash.result();
        return true;
    case FileOps::ReadResult::Missing:
        return fail(Problem::NoManifest, QStringLiteral("no %1 in \"%2\"").arg(ManifestName, package));
    case FileOps::ReadResult::NotPlainFile:
        return fail(Problem::ManifestNotPlainFile,
                    QStringLiteral("\"%1\" is not a plain file (a folder or a link?)").arg(manifestPath()));
    case FileOps::ReadResult::TooLarge:
    case FileOps::ReadResult::Failed:
        break;
    }
    return fail(Problem::ManifestUnreadable,
                QStringLiteral("cannot read \"%1\": %2").arg(manifestPath(), FileOps::lastError()));
}

bool PackageSigner::sign(const MinisignSecretKey &key, const QString &trustedComment)
{
    if (prehash.isEmpty())
        return fail(Problem::ManifestUnreadable, QStringLiteral("the manifest was not read"));
    const QString commentProblem = trustedCommentProblem(trustedComment);
    if (!commentProblem.isEmpty())
        return fail(Problem::BadTrustedComment, commentProblem);

    const MinisignKey &publicKey = key.publicKey();
    const QByteArray comment = trustedComment.toUtf8();
    const QByteArray signature = Crypto::signEd25519(key.seed(), publicKey.publicKey, prehash);
    const QByteArray globalSignature =
        Crypto::signEd25519(key.seed(), publicKey.publicKey, signature + comment);
    if (signature.isEmpty() || globalSignature.isEmpty())
        return fail(Problem::SigningFailed, QStringLiteral("libgcrypt could not sign with this key"));
    // A seed that does not make the stored public key signs for no one who trusts that key.
    if (!Crypto::verifyEd25519(publicKey.publicKey, prehash, signature) ||
        !Crypto::verifyEd25519(publicKey.publicKey, signature + comment, globalSignature))
        return fail(Problem::KeyHalvesDisagree,
                    QStringLiteral("the key is damaged: its secret half does not match its public key %1")
                        .arg(publicKey.idText()));

    const QByteArray text = "untrusted comment: signature from quillFern-pack secret key\n" +
                            (PrehashedAlgorithm + publicKey.id + signature).toBase64() + "\n" +
                            "trusted comment: " + comment + "\n" + globalSignature.toBase64() + "\n";
    return writeSignature(text);
}

bool PackageSigner::writeSignature(const QByteArray &text)
{
    QTemporaryFile temporary(QDir(package).filePath(SignatureName + QStringLiteral(".XXXXXX.part")));
    if (!temporary.open())
        return fail(Problem::WriteFailed,
                    QStringLiteral("cannot write in \"%1\": %2").arg(package, temporary.errorString()));
    const QString temporaryPath = temporary.fileName();
    // QTemporaryFile makes it readable by its owner only; a signature is public.
    const bool written = temporary.write(text) == text.size() && temporary.flush() &&
                         temporary.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadGroup | QFileDevice::ReadOther);
    const QString writeError = temporary.errorString();
    temporary.close();
    if (!written)
        return fail(Problem::WriteFailed,
                    QStringLiteral("cannot write \"%1\": %2").arg(temporaryPath, writeError));
    if (!FileOps::flushFile(temporaryPath) || !FileOps::renameOver(temporaryPath, signaturePath()))
        return fail(
            Problem::WriteFailed,
            QStringLiteral("cannot put \"%1\" in place: %2").arg(signaturePath(), FileOps::lastError()));
    temporary.setAutoRemove(false);
    FileOps::flushFolder(package);
    return true;
}
