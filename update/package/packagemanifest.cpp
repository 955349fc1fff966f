#include "packagemanifest.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <utility>

#include <QDir>
#include <QFileInfo>

#include "crypto.h"
#include "fileops.h"
#include "package.h"
#include "payloadwalk.h"

namespace {

// A path can be long, but no line of a real manifest comes near this.
constexpr int MaxLineBytes = 64 * 1024;
// Room for well over a million lines, whose paths and digests are held while the run lasts.
constexpr qint64 MaxManifestBytes = 256 * 1024 * 1024;
constexpr qint64 MaxSignatureBytes = 64 * 1024;

// One line of the manifest, read.
struct Listed
{
    QString path; // relative to the payload
    Crypto::Sha256Digest digest;
};

ManifestCheck mismatch(const QString &problem)
{
    ManifestCheck check;
    check.result = ManifestCheck::Result::Mismatch;
    check.problem = problem;
    return check;
}

ManifestCheck cancelled()
{
    ManifestCheck check;
    check.result = ManifestCheck::Result::Cancelled;
    return check;
}

QString quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

// Undoes the escapes of a line that starts with a backslash; false on any other escape.
bool unescape(QByteArray &name)
{
    QByteArray plain;
    plain.reserve(name.size());
    for (int at = 0; at < name.size(); ++at) {
        if (name.at(at) != '\\') {
            plain += name.at(at);
            continue;
        }
        if (++at == name.size())
            return false;
        const char escaped = name.at(at);
        if (escaped == '\\')
            plain += '\\';
        else if (escaped == 'n')
            plain += '\n';
        else if (escaped == 'r')
            plain += '\r';
        else
            return false;
    }
    name = plain;
    return true;
}

// Reads one line, without its line end, into `entry`; false when it is not
// a line of the format.
bool parseLine(QByteArray line, Listed &entry)
{
    if (line.endsWith('\r'))
        line.chop(1);
    const bool escaped = line.startsWith('\\');
    const int hexAt = escaped ? 1 : 0;
    const int nameAt = hexAt + 64 + 2;
    if (line.size() <= nameAt || line.at(hexAt + 64) != ' ' ||
        (line.at(hexAt + 65) != ' ' && line.at(hexAt + 65) != '*'))
        return false;
    const QByteArray hex = line.mid(hexAt, 64);
    if (!std::all_of(hex.cbegin(), hex.cend(), [](char c) { return std::isxdigit(uchar(c)) != 0; }))
        return false;
    const QByteArray digest = QByteArray::fromHex(hex);
    std::transform(digest.cbegin(), digest.cend(), entry.digest.begin(), [](char c) { return uchar(c); });

    QByteArray name = line.mid(nameAt);
    if (escaped && !unescape(name))
        return false;
    entry.path = QString::fromUtf8(name);
    // Not valid UTF-8, or a name no system can hold.
    if (entry.path.toUtf8() != name || name.contains('\0'))
        return false;
    if (entry.path.startsWith(QLatin1String("./")))
        entry.path.remove(0, 2);
    return true;
}

// Why a listed path is not one inside the payload; empty when it is. Only a
// path as plain as the system would write it is taken: no "..", no "." or
// empty names, not absolute, and nothing the system reads as another
// separator.
QString pathRefusal(const QString &path)
{
    // Where a backslash separates names too, only the clean path shows its "..".
    const QString clean = QDir::cleanPath(path);
    const QString parent = QStringLiteral("..");
    if (path.split(QLatin1Char('/')).contains(parent) || clean.split(QLatin1Char('/')).contains(parent))
        return QStringLiteral("a path with \"..\" is refused");
    if (path.isEmpty() || QDir::isAbsolutePath(path) || clean != path)
        return QStringLiteral("not a plain path inside the payload; refused");
    return QString();
}

// Why a file the check reads whole could not be read; empty when it was.
QString readProblem(const QString &path, FileOps::ReadResult read, qint64 maxBytes)
{
    switch (read) {
    case FileOps::ReadResult::Read:
        return QString();
    case FileOps::ReadResult::Missing:
        return QStringLiteral("could not read %1: it is missing").arg(quoted(path));
    case FileOps::ReadResult::NotPlainFile:
        return QStringLiteral("could not read %1: it is not a plain file").arg(quoted(path));
    case FileOps::ReadResult::TooLarge:
        return QStringLiteral("could not read %1: it is larger than %2 bytes").arg(quoted(path)).arg(maxBytes);
    case FileOps::ReadResult::Failed:
        break;
    }
    return QStringLiteral("could not read %1: %2").arg(quoted(path), FileOps::lastError());
}

// Takes the manifest's lines into `content` as its bytes come, so that the
// manifest is never held whole. From the first line that is not one of the
// format on, `problem` says why and the rest is passed over.
class ManifestReader
{
public:
    explicit ManifestReader(ListedContent &content)
        : content(content)
    {}

    void add(const char *data, qint64 size)
    {
        for (qint64 at = 0; at < size && problem.isEmpty();) {
            const char *end = static_cast<const char *>(std::memchr(data + at, '\n', size_t(size - at)));
            const qint64 lineEnd = end ? end - data : size;
            pending.append(data + at, int(lineEnd - at));
            if (pending.size() >= MaxLineBytes)
                problem = QStringLiteral("line %1 unreadable").arg(number + 1);
            else if (end)
                takeLine();
            at = lineEnd + 1;
        }
    }

    // The last line, where no line end follows it.
    void finish()
    {
        if (problem.isEmpty() && !pending.isEmpty())
            takeLine();
    }

    QString problem;

private:
    void takeLine()
    {
        ++number;
        const QByteArray line = std::exchange(pending, QByteArray());
        if (line.startsWith('#'))
            return;
        Listed entry;
        if (!parseLine(line, entry)) {
            problem = QStringLiteral("line %1 unreadable").arg(number);
            return;
        }
        const QString refusal = pathRefusal(entry.path);
        if (!refusal.isEmpty()) {
            problem = QStringLiteral("line %1 names %2: %3").arg(number).arg(quoted(entry.path), refusal);
            return;
        }
        content.add(entry.path, entry.digest, number);
    }

    ListedContent &content;
    QByteArray pending;
    int number = 0;
};

// The first file the copy would apply that the manifest does not list, in
// the copy's order; empty when there is none. The deletion list is walked
// too: whether it stays in the package is known only when it is applied.
QString firstUnlisted(const Package &package, const ListedContent &listed, const CancelToken &cancel)
{
    QString found;
    PayloadWalk(package.payload(), package.payloadLiesElsewhere())
        .forEachFile(
            [&](const PayloadWalk::Entry &, const QString &path) {
                if (!listed.find(path))
                    found = path;
                return found.isEmpty();
            },
            cancel);
    return found;
}

// Why the file listed as `path` with `digest` is not what the manifest says; empty when it is.
QString describe(const QString &path, const Crypto::Sha256Digest &digest, const Crypto::FileHash &found)
{
    switch (found.state) {
    case Crypto::FileHash::State::Hashed:
        return found.digest == digest ? QString() : quoted(path) + QStringLiteral(": content differs");
    case Crypto::FileHash::State::Missing:
        return quoted(path) + QStringLiteral(": missing");
    case Crypto::FileHash::State::NotPlainFile:
        return quoted(path) + QStringLiteral(": not a plain file");
    case Crypto::FileHash::State::Unreadable:
        return quoted(path) + QStringLiteral(": could not be read: ") + found.reason;
    case Crypto::FileHash::State::Unhashed:
        break;
    }
    return quoted(path) + QStringLiteral(": not checked");
}

ManifestCheck notSigned(const QString &problem)
{
    ManifestCheck check;
    check.result = ManifestCheck::Result::NotSigned;
    check.problem = problem;
    return check;
}

} // namespace

ManifestCheck PackageManifest::check(const Package &package, const PackageKeys &keys,
                                     const CancelToken &cancel, int threads)
{
    const QString manifest = package.manifest();
    if (!FileOps::existsOrIsLink(QFileInfo(manifest))) {
        return keys.requireSignature()
                   ? notSigned(QStringLiteral("it carries no SHA256SUMS, and a package must be signed"))
                   : ManifestCheck();
    }

    // The signature is read first: the manifest's bytes then go to it as they are read.
    std::unique_ptr<PackageSignature> signature;
    if (keys.requireSignature()) {
        const QString signaturePath = package.path() + QLatin1Char('/') + signatureName();
        if (!FileOps::existsOrIsLink(QFileInfo(signaturePath)))
            return notSigned(QStringLiteral("it carries no %1").arg(signatureName()));
        QByteArray signatureFile;
        const QString problem = readProblem(
            signaturePath, FileOps::readPlainFile(signaturePath, MaxSignatureBytes, &signatureFile),
            MaxSignatureBytes);
        if (!problem.isEmpty())
            return notSigned(problem);
        signature = std::make_unique<PackageSignature>(signatureFile, keys);
    }

    // What is verified is what is listed: both are taken from the same bytes as they are read.
    auto content = std::make_shared<ListedContent>();
    ManifestReader reader(*content);
    const FileOps::ReadResult read =
        FileOps::readPlainFile(manifest, MaxManifestBytes, [&](const char *data, qint64 size) {
            if (signature)
                signature->add(data, size);
            reader.add(data, size);
            cancel.noteProgress();
        });
    const QString problem = readProblem(manifest, read, MaxManifestBytes);
    if (!problem.isEmpty())
        return keys.requireSignature() ? notSigned(problem) : mismatch(problem);
    reader.finish();
    SignatureCheck signer;
    if (signature) {
        signer = signature->finish();
        if (!signer.valid)
            return notSigned(quoted(signatureName()) + QStringLiteral(": ") + signer.problem);
    }
    if (!reader.problem.isEmpty())
        return mismatch(reader.problem);
    content->seal();

    const QString unlisted = firstUnlisted(package, *content, cancel);
    if (cancel.isCancelled())
        return cancelled();
    if (!unlisted.isEmpty())
        return mismatch(quoted(unlisted) + QStringLiteral(": not listed"));

    // The first by its line, whichever thread found it.
    const QString payload = package.payload() + QLatin1Char('/');
    std::mutex offenceHeld;
    int offendingLine = 0;
    QString offence;
    Crypto::hashEach(
        size_t(content->size()), [&](size_t index) { return payload + content->pathAt(int(index)); },
        [&](size_t index, const Crypto::FileHash &found) {
            const int at = int(index);
            const QString wrong = describe(content->pathAt(at), content->digestAt(at), found);
            const std::lock_guard<std::mutex> held(offenceHeld);
            if (!wrong.isEmpty() && (offence.isEmpty() || content->lineAt(at) < offendingLine)) {
                offendingLine = content->lineAt(at);
                offence = wrong;
            }
        },
        threads, cancel);
    if (cancel.isCancelled())
        return cancelled();
    if (!offence.isEmpty())
        return mismatch(offence);
    ManifestCheck check;
    check.result = ManifestCheck::Result::Matches;
    check.files = content->size();
    check.listed = std::move(content);
    check.signature = signer;
    return check;
}
