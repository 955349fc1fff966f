#include "packagemanifest.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "crypto.h"
#include "fileops.h"
#include "package.h"
#include "payloadwalk.h"

namespace {

// A path can be long, but no line of a real manifest comes near this.
constexpr int MaxLineBytes = 64 * 1024;
// Room for well over a million lines; the manifest is held in memory whole.
constexpr qint64 MaxManifestBytes = 256 * 1024 * 1024;
constexpr qint64 MaxSignatureBytes = 64 * 1024;

// One file the manifest lists.
struct Listed
{
    QString path; // relative to the payload
    Crypto::Sha256Digest digest;
    int line = 0;
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

bool lessPath(const Listed &a, const Listed &b)
{
    return a.path.compare(b.path, FileOps::fileNameCaseSensitivity()) < 0;
}

bool isListed(const std::vector<Listed> &listed, const QString &path)
{
    const auto found = std::lower_bound(
        listed.cbegin(), listed.cend(), path, [](const Listed &entry, const QString &wanted) {
            return entry.path.compare(wanted, FileOps::fileNameCaseSensitivity()) < 0;
        });
    return found != listed.cend() && found->path.compare(path, FileOps::fileNameCaseSensitivity()) == 0;
}

// The whole file at `path`, read once, so that what is verified is what is used;
// on failure `problem` says why.
QByteArray readWhole(const QString &path, qint64 maxBytes, QString &problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("could not read %1: %2").arg(quoted(path), file.errorString());
        return QByteArray();
    }
    if (file.size() > maxBytes) {
        problem =
            QStringLiteral("could not read %1: it is larger than %2 bytes").arg(quoted(path)).arg(maxBytes);
        return QByteArray();
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        problem = QStringLiteral("could not read %1: %2").arg(quoted(path), file.errorString());
    return bytes;
}

// Reads the manifest's lines; on failure `problem` says why, naming the first
// line that is not one of the format, and `listed` is incomplete.
std::vector<Listed> parseManifest(const QByteArray &text, QString &problem)
{
    std::vector<Listed> listed;
    int number = 0;
    for (int start = 0; start < text.size();) {
        ++number;
        int end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QByteArray line = text.mid(start, end - start);
        start = end + 1;
        if (line.startsWith('#'))
            continue;
        Listed entry;
        entry.line = number;
        if (line.size() >= MaxLineBytes || !parseLine(line, entry)) {
            problem = QStringLiteral("line %1 unreadable").arg(number);
            return listed;
        }
        const QString refusal = pathRefusal(entry.path);
        if (!refusal.isEmpty()) {
            problem = QStringLiteral("line %1 names %2: %3").arg(number).arg(quoted(entry.path), refusal);
            return listed;
        }
        listed.push_back(std::move(entry));
    }
    return listed;
}

// The first file the copy would apply that the manifest does not list, in
// the copy's order; empty when there is none. The deletion list is walked
// too: whether it stays in the package is known only when it is applied.
QString firstUnlisted(const Package &package, const std::vector<Listed> &listed, const CancelToken &cancel)
{
    QString found;
    PayloadWalk(package.payload(), package.payloadLiesElsewhere())
        .forEachFile(
            [&](const PayloadWalk::Entry &, const QString &path) {
                if (!isListed(listed, path))
                    found = path;
                return found.isEmpty();
            },
            cancel);
    return found;
}

QString describe(const Listed &entry, const Crypto::FileHash &found)
{
    switch (found.state) {
    case Crypto::FileHash::State::Hashed:
        return found.digest == entry.digest ? QString()
                                            : quoted(entry.path) + QStringLiteral(": content differs");
    case Crypto::FileHash::State::Missing:
        return quoted(entry.path) + QStringLiteral(": missing");
    case Crypto::FileHash::State::NotPlainFile:
        return quoted(entry.path) + QStringLiteral(": not a plain file");
    case Crypto::FileHash::State::Unreadable:
        return quoted(entry.path) + QStringLiteral(": could not be read: ") + found.reason;
    case Crypto::FileHash::State::Unhashed:
        break;
    }
    return quoted(entry.path) + QStringLiteral(": not checked");
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

    QString problem;
    const QByteArray text = readWhole(manifest, MaxManifestBytes, problem);
    if (!problem.isEmpty())
        return keys.requireSignature() ? notSigned(problem) : mismatch(problem);
    SignatureCheck signature;
    if (keys.requireSignature()) {
        const QString signaturePath = package.path() + QLatin1Char('/') + signatureName();
        if (!FileOps::existsOrIsLink(QFileInfo(signaturePath)))
            return notSigned(QStringLiteral("it carries no %1").arg(signatureName()));
        const QByteArray signatureFile = readWhole(signaturePath, MaxSignatureBytes, problem);
        if (!problem.isEmpty())
            return notSigned(problem);
        signature = PackageSignature::verify(text, signatureFile, keys);
        if (!signature.valid)
            return notSigned(quoted(signatureName()) + QStringLiteral(": ") + signature.problem);
    }

    std::vector<Listed> listed = parseManifest(text, problem);
    if (!problem.isEmpty())
        return mismatch(problem);
    std::sort(listed.begin(), listed.end(), lessPath);

    const QString payload = package.payload();
    const QString unlisted = firstUnlisted(package, listed, cancel);
    if (cancel.isCancelled())
        return cancelled();
    if (!unlisted.isEmpty())
        return mismatch(quoted(unlisted) + QStringLiteral(": not listed"));

    std::vector<Crypto::FileHash> found(listed.size());
    for (size_t index = 0; index < listed.size(); ++index)
        found[index].path = payload + QLatin1Char('/') + listed[index].path;
    Crypto::hashFiles(found, threads, cancel);
    if (cancel.isCancelled())
        return cancelled();
    // The first by its line, whichever thread found it.
    const Listed *offending = nullptr;
    QString offence;
    auto content = std::make_shared<ListedContent>();
    for (size_t index = 0; index < listed.size(); ++index) {
        const QString wrong = describe(listed[index], found[index]);
        if (!wrong.isEmpty() && (!offending || listed[index].line < offending->line)) {
            offending = &listed[index];
            offence = wrong;
        }
        content->add(listed[index].path, listed[index].digest);
    }
    if (offending)
        return mismatch(offence);
    ManifestCheck check;
    check.result = ManifestCheck::Result::Matches;
    check.files = int(listed.size());
    check.listed = std::move(content);
    check.signature = signature;
    return check;
}
