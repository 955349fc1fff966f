// Peak memory of the package check against its manifest, each case in a
// child process of its own: a manifest of a million lines (about 115 MiB),
// unsigned, signed prehashed and signed the legacy way, and /dev/zero linked
// in as the manifest and as its signature. Exit status 3 when a case misses
// its target: a manifest checked within twice its size (and 8 MiB for the
// hashing threads) over the check of a one-line manifest, /dev/zero refused
// under 100 MiB. A legacy signature takes only a manifest of at most 64 KiB:
// a longer one is refused at once.
//   manifestcheck [lines]   (default: 1000000)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "package.h"
#include "packagemanifest.h"
#include "testsupport.h"

namespace {

struct Case
{
    const char *name;
    int lines;
    enum { Unsigned, Prehashed, Legacy } signing;
    enum { Written, ZeroManifest, ZeroSignature } file;
};

struct Measured
{
    qint64 peakKiB = -1;
    qint64 manifestBytes = 0;
    double seconds = 0;
    int verdict = -1; // ManifestCheck::Result, or -1 when the child failed
};

const char *verdictName(int verdict)
{
    switch (ManifestCheck::Result(verdict)) {
    case ManifestCheck::Result::NoManifest:
        return "no manifest";
    case ManifestCheck::Result::Matches:
        return "matches";
    case ManifestCheck::Result::Mismatch:
        return "refused: mismatch";
    case ManifestCheck::Result::NotSigned:
        return "refused: not signed";
    case ManifestCheck::Result::Cancelled:
        return "cancelled";
    }
    return "the check did not end";
}

// A payload of one file, listed first; the other lines name files that are
// not there, so the check reads, verifies and hashes its way through all of
// them and refuses the package at the end.
bool writePackage(const QString &package, int lines)
{
    if (!writeFile(package + QStringLiteral("/Env/present.txt"), "present") ||
        !writeManifest(package, {QStringLiteral("present.txt")}))
        return false;
    QFile manifest(package + QStringLiteral("/SHA256SUMS"));
    if (!manifest.open(QIODevice::Append))
        return false;
    const QByteArray digest(64, 'a');
    QByteArray chunk;
    for (int line = 1; line < lines; ++line) {
        chunk += digest + "  bulk/folder-" + QByteArray::number(line / 1000).rightJustified(4, '0') +
                 "/a-file-name-of-middling-length-" + QByteArray::number(line).rightJustified(7, '0') +
                 ".txt\n";
        if (chunk.size() > (1 << 20) && manifest.write(chunk) != chunk.size())
            return false;
        if (chunk.size() > (1 << 20))
            chunk.clear();
    }
    return manifest.write(chunk) == chunk.size() && manifest.flush();
}

Measured measure(const Case &which, const QString &workspace, const QByteArray &publicKey,
                 const QString &secretKey)
{
    Measured measured;
    const QString package = workspace + QLatin1Char('/') + QString::fromLatin1(which.name).replace(' ', '-');
    const QString manifest = package + QStringLiteral("/SHA256SUMS");
    if (!writePackage(package, which.lines))
        return measured;
    if (which.signing != Case::Unsigned &&
        !minisignSign(secretKey, manifest, QStringLiteral("bench"), which.signing == Case::Legacy))
        return measured;
    if (which.file == Case::ZeroManifest)
        QFile::remove(manifest);
    if (which.file == Case::ZeroSignature)
        QFile::remove(manifest + QStringLiteral(".minisig"));
    if (which.file == Case::ZeroManifest && !QFile::link(QStringLiteral("/dev/zero"), manifest))
        return measured;
    if (which.file == Case::ZeroSignature &&
        !QFile::link(QStringLiteral("/dev/zero"), manifest + QStringLiteral(".minisig")))
        return measured;
    measured.manifestBytes = QFileInfo(manifest).size();

    QElapsedTimer clock;
    clock.start();
    const pid_t child = ::fork();
    if (child == 0) {
        const PackageKeys keys =
            which.signing == Case::Unsigned ? PackageKeys() : PackageKeys::read(publicKey);
        const ManifestCheck check = PackageManifest::check(Package(package), keys, CancelToken());
        ::_exit(int(check.result));
    }
    int status = 0;
    struct rusage usage;
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status))
        return measured;
    measured.seconds = clock.elapsed() / 1000.0;
    measured.peakKiB = usage.ru_maxrss;
    measured.verdict = WEXITSTATUS(status);
    QDir(package).removeRecursively();
    return measured;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int lines = argc > 1 ? QByteArray(argv[1]).toInt() : 1000000;
    if (lines <= 0) {
        std::fprintf(stderr, "usage: manifestcheck [lines]\n");
        return 2;
    }
    QTemporaryDir workspace;
    const QString keyBase = workspace.path() + QStringLiteral("/key");
    if (!workspace.isValid() || !makeMinisignKeys(keyBase)) {
        std::fprintf(stderr, "cannot make a minisign key pair in %s\n", qPrintable(workspace.path()));
        return 2;
    }
    const QByteArray publicKey = readFile(keyBase + QStringLiteral(".pub"));
    const QString secretKey = keyBase + QStringLiteral(".key");

    const Case cases[] = {
        {"one line", 1, Case::Unsigned, Case::Written},
        {"unsigned", lines, Case::Unsigned, Case::Written},
        {"signed prehashed", lines, Case::Prehashed, Case::Written},
        {"signed legacy", lines, Case::Legacy, Case::Written},
        {"dev zero as manifest", 1, Case::Unsigned, Case::ZeroManifest},
        {"signed, dev zero as manifest", 1, Case::Prehashed, Case::ZeroManifest},
        {"dev zero as signature", 1, Case::Prehashed, Case::ZeroSignature},
    };
    std::printf("%-30s %9s %12s %12s %8s  %s\n", "case", "lines", "MiB listed", "peak MiB", "s", "verdict");
    bool met = true;
    qint64 baselineKiB = 0;
    for (const Case &which : cases) {
        const Measured measured = measure(which, workspace.path(), publicKey, secretKey);
        const double listedMiB = which.file == Case::Written ? measured.manifestBytes / 1048576.0 : 0;
        const double peakMiB = measured.peakKiB / 1024.0;
        std::printf("%-30s %9d %12.1f %12.1f %8.2f  %s\n", which.name, which.lines, listedMiB, peakMiB,
                    measured.seconds, verdictName(measured.verdict));
        if (which.lines == 1 && which.file == Case::Written)
            baselineKiB = measured.peakKiB;
        const bool refused = measured.verdict == int(ManifestCheck::Result::Mismatch) ||
                             measured.verdict == int(ManifestCheck::Result::NotSigned);
        const bool withinTarget = which.file == Case::Written
                                      ? measured.peakKiB - baselineKiB <= 2 * measured.manifestBytes / 1024 + 8192
                                      : peakMiB < 100;
        const bool baseline = which.lines == 1 && which.file == Case::Written;
        met = met && (baseline ? measured.verdict == int(ManifestCheck::Result::Matches) : refused) &&
              withinTarget;
    }
    std::printf("targets %s: within twice the manifest and 8 MiB over the one-line check (%.1f MiB); /dev/zero "
                "refused under 100 MiB\n",
                met ? "met" : "MISSED", baselineKiB / 1024.0);
    return met ? 0 : 3;
}
