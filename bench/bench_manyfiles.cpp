// Peak memory of whole updater runs over many small files in equal folders; exit status 3 when it grows by
// over 1 MiB. With --manifest the package carries a SHA256SUMS of its files, which the run holds while it
// checks them: the allowance then grows by 200 bytes a file.
//   bench_manyfiles [--manifest] [files per folder] [file count...]   (defaults: 1000, 10000 100000)
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>

#include "testsupport.h"

namespace {

struct Result
{
    int files = 0;
    int folders = 0;
    qint64 peakKiB = -1;
    double setUpSeconds = 0;
    double runSeconds = 0;
    bool complete = false;
    QString problem;
};

QString payloadName(int index, int filesPerFolder)
{
    return QStringLiteral("bulk/folder-%1/file-%2.txt")
        .arg(index / filesPerFolder, 4, 10, QLatin1Char('0'))
        .arg(index);
}

Result run(int files, int filesPerFolder, bool withManifest)
{
    Result result;
    result.files = files;
    result.folders = (files + filesPerFolder - 1) / filesPerFolder;
    QElapsedTimer clock;
    clock.start();

    StandInInstallation install;
    const QString package = install.workspace() + QStringLiteral("/package");
    const QString work = install.workspace() + QStringLiteral("/work");
    if (!install.isValid() || !install.installUpdater() || !QDir().mkpath(work)) {
        result.problem = QStringLiteral("cannot lay out the installation in ") + install.workspace();
        return result;
    }
    QStringList names;
    for (int index = 0; index < files; ++index) {
        const QString name = payloadName(index, filesPerFolder);
        if (!writeFile(package + QStringLiteral("/Env/") + name, name.toUtf8())) {
            result.problem = QStringLiteral("cannot write ") + package + QStringLiteral("/Env/") + name;
            return result;
        }
        if (withManifest)
            names << name;
    }
    if (withManifest && !writeManifest(package, names)) {
        result.problem = QStringLiteral("cannot write the manifest of ") + package;
        return result;
    }
    result.setUpSeconds = clock.restart() / 1000.0;

    UpdaterRun updater;
    if (!updater.start(install.binDir() + QStringLiteral("/quillFern"), {QStringLiteral("update"), package},
                       work)) {
        result.problem = QStringLiteral("the updater did not start");
        return result;
    }
    const QString finished = QStringLiteral("Finish!");
    const QString checked = QStringLiteral("checked %1 files against SHA256SUMS").arg(files);
    QString seen;
    // The peak so far is kept by the kernel; polling only guards against an early end.
    while (seen.isEmpty() && updater.isRunning() && clock.elapsed() < 20 * 60 * 1000) {
        result.peakKiB = qMax(result.peakKiB, peakMemoryKiB(updater.pid()));
        seen = updater.waitForLine({finished}, 250);
    }
    result.peakKiB = qMax(result.peakKiB, peakMemoryKiB(updater.pid()));
    result.runSeconds = clock.elapsed() / 1000.0;
    // The updater ends itself after its self-stop; one that has not within 10 s is ended here.
    QElapsedTimer wait;
    wait.start();
    while (updater.isRunning() && wait.elapsed() < 10000)
        updater.waitForLine({}, 50);
    updater.kill();
    if (seen != finished) {
        result.problem = QStringLiteral("the run did not finish: ") + updater.errorOutput().right(2000);
        return result;
    }

    int inPlace = 0;
    for (int index = 0; index < files; ++index) {
        const QString name = payloadName(index, filesPerFolder);
        inPlace += readFile(install.path(name)) == name.toUtf8() ? 1 : 0;
    }
    if (withManifest && !updater.errorOutput().contains(checked))
        result.problem = QStringLiteral("the run did not say it checked the manifest");
    else if (inPlace != files)
        result.problem =
            QStringLiteral("%1 of %2 files in place under %3").arg(inPlace).arg(files).arg(install.root());
    else if (QFileInfo::exists(package))
        result.problem = QStringLiteral("the package is still there: ") + package;
    else if (QFileInfo::exists(install.path(QStringLiteral(".quillFern-backup"))))
        result.problem = QStringLiteral("the backup area is still there in ") + install.root();
    else if (install.productStarts() != 1)
        result.problem = QStringLiteral("the product was started %1 times").arg(install.productStarts());
    result.complete = result.problem.isEmpty();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const bool withManifest = arguments.removeAll(QStringLiteral("--manifest")) > 0;
    const int filesPerFolder = arguments.isEmpty() ? 1000 : arguments.takeFirst().toInt();
    QList<int> counts;
    for (const QString &argument : arguments)
        counts << argument.toInt();
    if (counts.isEmpty())
        counts = {10000, 100000};
    if (filesPerFolder <= 0 || counts.contains(0)) {
        std::fprintf(stderr, "usage: bench_manyfiles [--manifest] [files per folder] [file count...]\n");
        return 2;
    }

    // Runs the updater's executable: it takes turns with the tests that do (see UpdaterProcessLock).
    UpdaterProcessLock lock;
    std::printf("%9s %8s %12s %10s %10s  %s\n", "files", "folders", "peak KiB", "set-up s", "run s",
                "outcome");
    QList<Result> results;
    bool allComplete = true;
    for (int files : qAsConst(counts)) {
        const Result result = run(files, filesPerFolder, withManifest);
        results << result;
        allComplete = allComplete && result.complete;
        std::printf("%9d %8d %12lld %10.1f %10.1f  %s\n", result.files, result.folders, result.peakKiB,
                    result.setUpSeconds, result.runSeconds,
                    result.complete ? "complete" : qPrintable(result.problem));
        std::fflush(stdout);
    }
    if (!allComplete)
        return 1;
    if (results.size() > 1) {
        const qint64 growth = results.last().peakKiB - results.first().peakKiB;
        // Far more than a listing of one folder of this size takes.
        const qint64 allowance =
            1024 + (withManifest ? qint64(results.last().files - results.first().files) * 200 / 1024 : 0);
        std::printf("peak memory from %d to %d files: %+lld KiB (%s)\n", results.first().files,
                    results.last().files, growth,
                    growth <= allowance ? "flat" : "grows with the number of files");
        if (growth > allowance)
            return 3;
    }
    return 0;
}
