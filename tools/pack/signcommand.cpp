#include <QDateTime>
#include <QTextStream>

#include <cstdio>
#include <optional>

#include "fileops.h"
#include "minisignsecretkey.h"
#include "packagesigner.h"
#include "packcommands.h"
#include "terminal.h"

namespace {

const char *const PasswordVariable = "QUILLFERN_PACK_PASSWORD";
// A key file is two short lines; anything far larger is not one.
constexpr qint64 MaxKeyFileBytes = 64 * 1024;

struct SignOptions
{
    QString keyFile;
    std::optional<QString> trustedComment;
    QString package;
};

int refusedToSign(const QString &reason)
{
    QTextStream(stderr) << "quillFern-pack sign: " << reason << "\n";
    return PackCommands::Refused;
}

// The options, or the reason the command line cannot be read.
std::optional<SignOptions> parseSignWords(const QStringList &arguments, QString *problem)
{
    SignOptions options;
    bool keyGiven = false;
    bool onlyOperands = false;
    for (int at = 0; at < arguments.size(); ++at) {
        const QString &argument = arguments.at(at);
        const bool isOption = !onlyOperands && argument.startsWith(QLatin1String("--"));
        if (isOption && argument == QLatin1String("--")) {
            onlyOperands = true;
        } else if (isOption &&
                   (argument == QLatin1String("--key") || argument == QLatin1String("--trusted-comment"))) {
            if (at + 1 >= arguments.size()) {
                *problem = QStringLiteral("%1 needs a value").arg(argument);
                return std::nullopt;
            }
            const bool isKey = argument == QLatin1String("--key");
            if (isKey ? keyGiven : options.trustedComment.has_value()) {
                *problem = QStringLiteral("%1 is given twice").arg(argument);
                return std::nullopt;
            }
            if (isKey) {
                keyGiven = true;
                options.keyFile = arguments.at(++at);
            } else {
                options.trustedComment = arguments.at(++at);
            }
        } else if (isOption) {
            *problem = QStringLiteral("unknown option %1").arg(argument);
            return std::nullopt;
        } else if (options.package.isEmpty()) {
            options.package = argument;
        } else {
            *problem = QStringLiteral("one package folder only");
            return std::nullopt;
        }
    }
    if (!keyGiven || options.keyFile.isEmpty())
        *problem = QStringLiteral("--key <minisign secret key> is needed");
    else if (options.package.isEmpty())
        *problem = QStringLiteral("the package folder is needed");
    return problem->isEmpty() ? std::optional<SignOptions>(options) : std::nullopt;
}

// minisign's default comment, dated SOURCE_DATE_EPOCH where a reproducible build sets it.
std::optional<QString> trustedCommentOfNow(QString *problem)
{
    qint64 seconds = QDateTime::currentSecsSinceEpoch();
    if (qEnvironmentVariableIsSet("SOURCE_DATE_EPOCH")) {
        const QString given = qEnvironmentVariable("SOURCE_DATE_EPOCH");
        bool number = false;
        seconds = given.toLongLong(&number);
        if (!number || seconds < 0 || given.trimmed() != given || given.startsWith(QLatin1Char('+'))) {
            *problem = QStringLiteral("SOURCE_DATE_EPOCH is not a count of seconds: \"%1\"").arg(given);
            return std::nullopt;
        }
    }
    return PackageSigner::defaultTrustedComment(seconds);
}

std::optional<QByteArray> passwordForKey()
{
    if (std::optional<QByteArray> given = Terminal::passwordFromEnvironment(PasswordVariable))
        return given;
    return Terminal::askPassword(QStringLiteral("Password for the secret key: "));
}

} // namespace

int PackCommands::sign(const QStringList &arguments)
{
    QString problem;
    const std::optional<SignOptions> options = parseSignWords(arguments, &problem);
    if (!options)
        return PackCommands::badUsage(PackCommands::Command::Sign, problem);

    const std::optional<QString> trustedComment =
        options->trustedComment ? options->trustedComment : trustedCommentOfNow(&problem);
    if (!trustedComment)
        return refusedToSign(problem);
    problem = PackageSigner::trustedCommentProblem(*trustedComment);
    if (!problem.isEmpty())
        return refusedToSign(problem);

    // The package first, so that no password is asked for a package that cannot be signed.
    PackageSigner signer(options->package);
    if (!signer.readManifest())
        return refusedToSign(signer.reason());

    QByteArray keyText;
    switch (FileOps::readPlainFile(options->keyFile, MaxKeyFileBytes, &keyText, true)) {
    case FileOps::ReadResult::Read:
        break;
    case FileOps::ReadResult::Missing:
        return refusedToSign(QStringLiteral("no secret key at \"%1\"").arg(options->keyFile));
    case FileOps::ReadResult::NotPlainFile:
    case FileOps::ReadResult::TooLarge:
        return refusedToSign(QStringLiteral("\"%1\" is not a minisign secret key").arg(options->keyFile));
    case FileOps::ReadResult::Failed:
        return refusedToSign(
            QStringLiteral("cannot read \"%1\": %2").arg(options->keyFile, FileOps::lastError()));
    }
    const MinisignSecretKey::Read key = MinisignSecretKey::read(keyText, passwordForKey);
    if (!key.key)
        return refusedToSign(QStringLiteral("\"%1\": %2").arg(options->keyFile, key.reason));

    if (!signer.sign(*key.key, *trustedComment))
        return refusedToSign(signer.reason());
    return Done;
}
