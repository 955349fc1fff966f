// Times the copy stage against "cp -r" of the same payload over the same installation,
// (--scenario apply) whole runs of the installed updater against "cp -r" + "rm -rf", and
// (--scenario deletions) whole runs whose package only lists installed files to delete, and
// (--scenario hashing) the rate at which a package is checked against its SHA256SUMS.
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <cstdio>
#include <vector>

#include "installationbackup.h"
#include "installationupdate.h"
#include "installedupdater.h"
#include "package.h"
#include "packagemanifest.h"
#include "platform.h"

extern char **environ;

namespace {

constexpr int FolderCount = 200;
constexpr int FilesPerFolder = 100;
constexpr qint64 SmallMin = 100;
constexpr qint64 SmallMax = 20 * 1024;

// splitmix64, so every run writes the same sizes and bytes.
class Random
{
public:
    explicit Random(quint64 seed)
        : state(seed)
    {}
    quint64 next()
    {
        quint64 z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

private:
    quint64 state;
};

struct Scenario
{
    Scenario(const QString &name, const QString &title, double target)
        : name(name)
        , title(title)
        , target(target)
    {}

    QString name;
    QString title;
    double target;
    QStringList files;
    qint64 bytes = 0;
    std::vector<double> cpSeconds;
    std::vector<double> quillFernSeconds;
};

bool writeRandomFile(const QString &path, qint64 size, Random &random)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    std::vector<quint64> chunk(size_t(qMin<qint64>(size / 8 + 1, 128 * 1024)));
    while (size > 0) {
        for (quint64 &word : chunk)
            word = random.next();
        const qint64 part = qMin<qint64>(size, qint64(chunk.size() * sizeof(quint64)));
        if (file.write(reinterpret_cast<const char *>(chunk.data()), part) != part)
            return false;
        size -= part;
    }
    return file.flush();
}

bool makeBig(Scenario &scenario, const QString &env, const QString &root, qint64 size)
{
    Random fresh(1), old(2);
    scenario.files = QStringList(QStringLiteral("data.bin"));
    scenario.bytes = size;
    return writeRandomFile(env + QStringLiteral("/data.bin"), size, fresh) &&
           writeRandomFile(root + QStringLiteral("/data.bin"), size, old);
}

// Writes `count` files of SmallMin to SmallMax bytes, FilesPerFolder to a folder, under each of
// `roots`: the same names and sizes everywhere, other bytes in each root, the same in every call.
bool writeSmallFiles(const QStringList &roots, int count, QStringList &files, qint64 &bytes)
{
    Random sizes(3);
    std::vector<Random> contents;
    for (int i = 0; i < roots.size(); ++i)
        contents.emplace_back(quint64(4 + i));
    for (int index = 0; index < count; ++index) {
        const QString relativeFolder =
            QStringLiteral("dir%1").arg(index / FilesPerFolder, 3, 10, QLatin1Char('0'));
        if (index % FilesPerFolder == 0) {
            for (const QString &root : roots) {
                if (!QDir().mkpath(root + QLatin1Char('/') + relativeFolder))
                    return false;
            }
        }
        const QString relative =
            relativeFolder +
            QStringLiteral("/file%1.dat").arg(index % FilesPerFolder, 3, 10, QLatin1Char('0'));
        const qint64 size = SmallMin + qint64(sizes.next() % quint64(SmallMax - SmallMin + 1));
        for (int i = 0; i < roots.size(); ++i) {
            if (!writeRandomFile(roots.at(i) + QLatin1Char('/') + relative, size, contents[size_t(i)]))
                return false;
        }
        files << relative;
        bytes += size;
    }
    return true;
}

bool makeSmall(Scenario &scenario, const QString &env, const QString &root)
{
    return writeSmallFiles({env, root}, FolderCount * FilesPerFolder, scenario.files, scenario.bytes);
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs a command to its end; its time in seconds, or -1 when it failed.
double runCommand(std::vector<QByteArray> arguments)
{
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    const double seconds = secondsSince(start);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double runCp(const QString &env, const QString &root)
{
    return runCommand({"cp", "-r", QFile::encodeName(env + QStringLiteral("/.")),
                       QFile::encodeName(root + QLatin1Char('/'))});
}

// Writes the SHA256SUMS of the files under `folder` to `manifest` with sha256sum, as a product's build would.
bool writeManifest(const QString &folder, const QString &manifest)
{
    const QByteArray command = "cd \"$0\" && find . -type f -print0 | sort -z | xargs -0 sha256sum > \"$1\"";
    return runCommand({"sh", "-c", command, QFile::encodeName(folder), QFile::encodeName(manifest)}) >= 0;
}

bool copyTree(const QString &from, const QString &to)
{
    return QDir().mkpath(to) && runCommand({"cp", "-a", QFile::encodeName(from + QStringLiteral("/.")),
                                            QFile::encodeName(to + QLatin1Char('/'))}) >= 0;
}

std::vector<ino_t> inodes(const QString &root, const QStringList &files)
{
    std::vector<ino_t> result;
    result.reserve(size_t(files.size()));
    for (const QString &file : files) {
        struct stat status;
        const QByteArray path = QFile::encodeName(root + QLatin1Char('/') + file);
        result.push_back(::stat(path.constData(), &status) == 0 ? status.st_ino : 0);
    }
    return result;
}

// Each run is a run of its own: fresh file work, and no backup area from the run before.
double runQuillFern(const QString &root, const QString &package, const QStringList &files,
                    const std::function<bool()> &check = {})
{
    QDir(root + QLatin1Char('/') + InstallationBackup::areaName()).removeRecursively();
    InstallationUpdate update(root, package, root + QStringLiteral("/bin"));
    const std::vector<ino_t> before = inodes(root, files);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = update.copyPayload(CancelToken()).ok();
    const double seconds = secondsSince(start);
    if (!ok) {
        std::fprintf(stderr, "the copy stage failed\n");
        return -1;
    }
    const std::vector<ino_t> after = inodes(root, files);
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i] == 0 || after[i] == before[i]) {
            std::fprintf(stderr, "not replaced: %s\n", qPrintable(files.at(int(i))));
            return -1;
        }
    }
    if (check && !check())
        return -1;
    // Files moved into place go back into the package, the originals back into place, for the next run.
    update.rollBack();
    return seconds;
}

bool sameContent(const QString &env, const QString &root, const QStringList &files)
{
    for (const QString &relative : files) {
        QFile a(env + QLatin1Char('/') + relative);
        QFile b(root + QLatin1Char('/') + relative);
        if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.size() != b.size())
            return false;
        while (!a.atEnd()) {
            if (a.read(4 << 20) != b.read(4 << 20))
                return false;
        }
    }
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

QString formatValues(const std::vector<double> &values)
{
    QStringList parts;
    for (double value : values)
        parts << QString::number(value, 'f', 3);
    return parts.join(QLatin1Char(' '));
}

struct Settings
{
    int rounds = 5;
    int settleSeconds = 0;
    qint64 bigBytes = qint64(1024) << 20;
};

// Without a journal, ext4 skips inodes freed in the last minute at every inode it hands out.
void settle(const Settings &settings)
{
    ::sync();
    std::this_thread::sleep_for(std::chrono::seconds(settings.settleSeconds));
}

bool runScenario(Scenario &scenario, const QString &workspace, const Settings &settings)
{
    const QString base = workspace + QLatin1Char('/') + scenario.name;
    const QString env = base + QStringLiteral("/package/Env");
    const QString root = base + QStringLiteral("/install");
    if (!QDir().mkpath(env) || !QDir().mkpath(root + QStringLiteral("/bin")))
        return false;

    std::printf("%s: writing payload and installation...\n", qPrintable(scenario.name));
    std::fflush(stdout);
    const bool made = scenario.name == QLatin1String("big") ? makeBig(scenario, env, root, settings.bigBytes)
                                                            : makeSmall(scenario, env, root);
    if (!made) {
        std::fprintf(stderr, "cannot write the %s payload under %s\n", qPrintable(scenario.name),
                     qPrintable(base));
        return false;
    }

    const QString package = base + QStringLiteral("/package");

    // Warm-up; the copy stage goes first, over the older files, so the content check means something.
    settle(settings);
    // The payload's master copy: the stage may move the package's own files into place.
    const QString master = base + QStringLiteral("/master");
    if (!copyTree(env, master))
        return false;
    const auto installedLikePayload = [&] {
        if (sameContent(master, root, scenario.files))
            return true;
        std::fprintf(stderr, "%s: the copy stage left the installation unlike the payload\n",
                     qPrintable(scenario.name));
        return false;
    };
    if (runQuillFern(root, package, scenario.files, installedLikePayload) < 0)
        return false;
    settle(settings);
    if (runCp(env, root) < 0)
        return false;

    const int rounds = settings.rounds;
    for (int round = 0; round < rounds; ++round) {
        // Swapping which goes first each round keeps either from always following the other.
        for (int turn = 0; turn < 2; ++turn) {
            settle(settings);
            const bool cpTurn = (turn == 0) == (round % 2 == 0);
            const double seconds = cpTurn ? runCp(env, root) : runQuillFern(root, package, scenario.files);
            if (seconds < 0)
                return false;
            (cpTurn ? scenario.cpSeconds : scenario.quillFernSeconds).push_back(seconds);
        }
        std::printf("%s: round %d/%d  cp %.3f s  quillFern %.3f s\n", qPrintable(scenario.name), round + 1,
                    rounds, scenario.cpSeconds.back(), scenario.quillFernSeconds.back());
        std::fflush(stdout);
    }

    QDir(base).removeRecursively();
    return true;
}

// Whole runs of the installed updater (see installedupdater.h): how much time a package
// adds until the product is started again and until the updater has ended, against a
// run with an empty package.
// What a package added to whole runs, round by round.
struct AddedTimes
{
    void add(const RunTimes &empty, const RunTimes &full)
    {
        relaunch.push_back(full.relaunch - empty.relaunch);
        exit.push_back(full.exit - empty.exit);
    }

    std::vector<double> relaunch;
    std::vector<double> exit;
};

// A payload installed by whole runs, held against the same payload copied with
// "cp -r" and its package removed with "rm -rf".
struct ApplyCase
{
    ApplyCase(const QString &name, const QString &title, bool onTmpfs, double relaunchTarget,
              double exitTarget, const QString &updater, bool withManifest = false)
        : name(name)
        , title(title)
        , onTmpfs(onTmpfs)
        , withManifest(withManifest)
        , relaunchTarget(relaunchTarget)
        , exitTarget(exitTarget)
        , updater(updater)
    {}

    QString name;
    QString title;
    bool onTmpfs;
    bool withManifest; // the package carries a SHA256SUMS, checked before it is applied
    double relaunchTarget;
    double exitTarget;
    QString updater; // the build under test
    std::vector<double> cpRmSeconds;
    AddedTimes added;
};

RunTimes runUpdater(const QString &root, const QString &package)
{
    const QString started = root + QStringLiteral("/bin/product-started");
    QFile::remove(started);
    QProcess updater;
    updater.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    updater.setStandardErrorFile(QProcess::nullDevice());
    const double start = wallSeconds();
    updater.start(root + QStringLiteral("/bin/quillFern"), {QStringLiteral("update"), package});
    if (!updater.waitForFinished(180000)) {
        std::fprintf(stderr, "quillFern did not end within 180 s\n");
        return {};
    }
    if (updater.exitStatus() != QProcess::NormalExit || updater.exitCode() != 0) {
        std::fprintf(stderr, "quillFern crashed or ended with status %d\n", updater.exitCode());
        return {};
    }
    RunTimes times;
    times.exit = wallSeconds() - start;
    const double startedAt = readStartNote(started);
    if (startedAt < 0) {
        std::fprintf(stderr, "quillFern did not start the product\n");
        return {};
    }
    times.relaunch = startedAt - start;
    return times;
}

// One round: a run with an empty package, then one with the package `layOutPackage` writes.
bool runEmptyThenFull(const QString &root, const QString &package, const Settings &settings,
                      const std::function<bool()> &layOutPackage, RunTimes &empty, RunTimes &full)
{
    settle(settings);
    if (!QDir().mkpath(package + QStringLiteral("/Env")))
        return false;
    empty = runUpdater(root, package);
    if (!layOutPackage())
        return false;
    settle(settings);
    full = runUpdater(root, package);
    return empty.relaunch >= 0 && full.relaunch >= 0;
}

QString describeRuns(const RunTimes &empty, const RunTimes &full)
{
    return QString::asprintf("relaunch %.3f s (empty %.3f s)  exit %.3f s (empty %.3f s)", full.relaunch,
                             empty.relaunch, full.exit, empty.exit);
}

void printAddedTimes(const QString &name, const AddedTimes &added)
{
    std::printf("%s added to relaunch:  %s\n", qPrintable(name), qPrintable(formatValues(added.relaunch)));
    std::printf("%s added to exit:      %s\n", qPrintable(name), qPrintable(formatValues(added.exit)));
}

bool runApplyCase(ApplyCase &applyCase, const QString &workspace, const Settings &settings)
{
    const QString base = workspace + QStringLiteral("/apply-") + applyCase.name;
    const QString root = base + QStringLiteral("/install");
    const QString master = base + QStringLiteral("/master");
    QTemporaryDir tmpfs(QStringLiteral("/dev/shm/copybench-XXXXXX"));
    if (applyCase.onTmpfs && !tmpfs.isValid()) {
        std::fprintf(stderr, "no tmpfs at /dev/shm\n");
        return false;
    }
    const QString package = (applyCase.onTmpfs ? tmpfs.path() : base) + QStringLiteral("/package");
    const QString env = package + QStringLiteral("/Env");

    std::printf("apply-%s: writing payload and installation...\n", qPrintable(applyCase.name));
    std::fflush(stdout);
    Scenario payload(applyCase.name, applyCase.title, 0);
    if (!QDir().mkpath(master) || !QDir().mkpath(root) || !makeSmall(payload, master, root) ||
        !installUpdater(root, applyCase.updater)) {
        std::fprintf(stderr, "cannot lay out %s\n", qPrintable(base));
        return false;
    }

    // The manifest as the product's build writes it, once; each package gets a copy.
    const QString manifest = base + QStringLiteral("/SHA256SUMS");
    if (applyCase.withManifest && !writeManifest(master, manifest)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(manifest));
        return false;
    }
    const auto layOutPackage = [&] {
        return copyTree(master, env) &&
               (!applyCase.withManifest || QFile::copy(manifest, package + QStringLiteral("/SHA256SUMS")));
    };
    // Warm-up, which also proves the run installs the payload and removes the package.
    const char *fault = nullptr;
    if (!layOutPackage())
        fault = "cannot lay out the package";
    else if (runUpdater(root, package).relaunch < 0)
        fault = "the updater failed or did not start the product";
    else if (QFileInfo::exists(package))
        fault = "the package is still there";
    else if (!sameContent(master, root, payload.files))
        fault = "the installation is unlike the payload";
    if (fault) {
        std::fprintf(stderr, "apply-%s: warm-up run: %s\n", qPrintable(applyCase.name), fault);
        return false;
    }
    for (int round = 0; round < settings.rounds; ++round) {
        RunTimes empty, full;
        if (!runEmptyThenFull(root, package, settings, layOutPackage, empty, full) || !layOutPackage()) {
            std::fprintf(stderr, "apply-%s: a run failed\n", qPrintable(applyCase.name));
            return false;
        }
        settle(settings);
        const double cp = runCp(env, root);
        const auto start = std::chrono::steady_clock::now();
        const bool removed = QDir(package).removeRecursively();
        const double cpRm = cp + secondsSince(start);
        if (cp < 0 || !removed) {
            std::fprintf(stderr, "apply-%s: cp -r or rm -rf failed\n", qPrintable(applyCase.name));
            return false;
        }
        applyCase.cpRmSeconds.push_back(cpRm);
        applyCase.added.add(empty, full);
        std::printf("apply-%s: round %d/%d  cp+rm %.3f s  %s\n", qPrintable(applyCase.name), round + 1,
                    settings.rounds, cpRm, qPrintable(describeRuns(empty, full)));
        std::fflush(stdout);
    }
    QDir(base).removeRecursively();
    return true;
}

void reportApplyCases(const std::vector<ApplyCase> &cases)
{
    std::printf("\n%-44s %10s %14s %14s %9s %9s\n", "case", "cp+rm med", "relaunch +med", "exit +med",
                "relaunch", "exit");
    for (const ApplyCase &applyCase : cases) {
        const double cpRm = median(applyCase.cpRmSeconds);
        const double relaunch = median(applyCase.added.relaunch);
        const double exit = median(applyCase.added.exit);
        std::printf(
            "%-44s %8.3f s %12.3f s %12.3f s %5.2f/%.1f %5.2f/%.1f  %s\n", qPrintable(applyCase.title), cpRm,
            relaunch, exit, relaunch / cpRm, applyCase.relaunchTarget, exit / cpRm, applyCase.exitTarget,
            relaunch / cpRm <= applyCase.relaunchTarget && exit / cpRm <= applyCase.exitTarget ? "met"
                                                                                               : "MISSED");
    }
    for (const ApplyCase &applyCase : cases) {
        std::printf("apply-%s cp+rm (s):          %s\n", qPrintable(applyCase.name),
                    qPrintable(formatValues(applyCase.cpRmSeconds)));
        printAddedTimes(QStringLiteral("apply-") + applyCase.name, applyCase.added);
    }
}

// The package's deletion list, naming each of `files` relative to the installation root.
bool writeDeletionList(const QString &env, const QStringList &files)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DelLs>\n";
    for (const QString &file : files)
        xml += "<file>" + file.toUtf8() + "</file>\n";
    xml += "</DelLs>";
    QFile list(env + QStringLiteral("/del.xml"));
    return QDir().mkpath(env) && list.open(QIODevice::WriteOnly) && list.write(xml) == xml.size();
}

// The first of `files` still under `root`, or an empty string once every one is gone.
QString firstLeft(const QString &root, const QStringList &files)
{
    for (const QString &file : files) {
        if (QFileInfo::exists(root + QLatin1Char('/') + file))
            return file;
    }
    return QString();
}

// Whole runs of a package whose only content is a deletion list naming every
// file of the installation. Each round's run with an empty package warms up.
bool runDeletions(AddedTimes &added, int entries, const QString &workspace, const Settings &settings)
{
    const QString base = workspace + QStringLiteral("/deletions");
    const QString root = base + QStringLiteral("/install");
    const QString package = base + QStringLiteral("/package");
    if (!installUpdater(root, QStringLiteral(QUILLFERN_EXECUTABLE))) {
        std::fprintf(stderr, "cannot install the updater under %s\n", qPrintable(root));
        return false;
    }
    QStringList files;
    const auto layOutPackage = [&] { return writeDeletionList(package + QStringLiteral("/Env"), files); };
    for (int round = 0; round < settings.rounds; ++round) {
        // Untimed, so that every timed run finds each listed file in place.
        std::printf("deletions: round %d/%d: writing the installation...\n", round + 1, settings.rounds);
        std::fflush(stdout);
        files.clear();
        qint64 bytes = 0;
        if (!writeSmallFiles({root}, entries, files, bytes)) {
            std::fprintf(stderr, "cannot lay out %s\n", qPrintable(root));
            return false;
        }
        RunTimes empty, full;
        if (!runEmptyThenFull(root, package, settings, layOutPackage, empty, full)) {
            std::fprintf(stderr, "deletions: a run failed\n");
            return false;
        }
        const QString left = QFileInfo::exists(package) ? package : firstLeft(root, files);
        if (!left.isEmpty()) {
            std::fprintf(stderr, "deletions: round %d left %s in place\n", round + 1, qPrintable(left));
            return false;
        }
        added.add(empty, full);
        std::printf("deletions: round %d/%d  %s\n", round + 1, settings.rounds,
                    qPrintable(describeRuns(empty, full)));
        std::fflush(stdout);
    }
    QDir(base).removeRecursively();
    return true;
}

void reportDeletions(const AddedTimes &added, int entries)
{
    const QString title = QStringLiteral("%1 deletion-list entries in %2 folders")
                              .arg(entries)
                              .arg((entries + FilesPerFolder - 1) / FilesPerFolder);
    std::printf("\n%-44s %14s %14s\n", "case", "relaunch +med", "exit +med");
    std::printf("%-44s %12.3f s %12.3f s\n", qPrintable(title), median(added.relaunch), median(added.exit));
    printAddedTimes(QStringLiteral("deletions"), added);
}

// The manifest check alone, on a warm page cache, against openssl's and
// sha256sum's one thread over the same files: 20,000 small files, then one big file.
bool runHashing(const QString &workspace, const Settings &settings)
{
    struct Payload
    {
        QString title;
        QString package;
        qint64 bytes = 0;
    };
    const QString base = workspace + QStringLiteral("/hashing");
    std::vector<Payload> payloads(2);
    payloads[0].title = QStringLiteral("%1 files").arg(FolderCount * FilesPerFolder);
    payloads[1].title = QStringLiteral("1 file of %1 MiB").arg(settings.bigBytes >> 20);
    std::printf("hashing: writing the payloads...\n");
    std::fflush(stdout);
    QStringList files;
    for (size_t i = 0; i < payloads.size(); ++i) {
        Payload &payload = payloads[i];
        payload.package = base + QStringLiteral("/package%1").arg(i);
        const QString env = payload.package + QStringLiteral("/Env");
        Random random(1);
        const bool made =
            QDir().mkpath(env) &&
            (i == 0 ? writeSmallFiles({env}, FolderCount * FilesPerFolder, files, payload.bytes)
                    : writeRandomFile(env + QStringLiteral("/data.bin"), settings.bigBytes, random));
        if (i == 1)
            payload.bytes = settings.bigBytes;
        if (!made || !writeManifest(env, payload.package + QStringLiteral("/SHA256SUMS"))) {
            std::fprintf(stderr, "cannot lay out %s\n", qPrintable(payload.package));
            return false;
        }
    }
    const int cores = qMax(1, QThread::idealThreadCount());
    std::printf("\n%-22s %9s %15s %14s %14s %14s %10s\n", "payload", "MB", "openssl MB/s", "sha256sum MB/s",
                "1 thread MB/s", qPrintable(QStringLiteral("%1 threads MB/s").arg(cores)), "1 thr/ossl");
    for (const Payload &payload : payloads) {
        const QString env = payload.package + QStringLiteral("/Env");
        std::vector<double> openssl, reference, one, all;
        for (int round = 0; round < settings.rounds + 1; ++round) {
            const double opensslSeconds =
                runCommand({"sh", "-c",
                            "cd \"$0\" && find . -type f -print0 | xargs -0 openssl dgst -sha256 > /dev/null",
                            QFile::encodeName(env)});
            const double sha256sum = runCommand(
                {"sh", "-c", "cd \"$0\" && find . -type f -print0 | xargs -0 sha256sum > /dev/null",
                 QFile::encodeName(env)});
            const auto timeCheck = [&](int threads) {
                const auto start = std::chrono::steady_clock::now();
                const ManifestCheck check =
                    PackageManifest::check(Package(payload.package), PackageKeys(), CancelToken(), threads);
                return check.result == ManifestCheck::Result::Matches ? secondsSince(start) : -1;
            };
            const double single = timeCheck(1);
            const double parallel = timeCheck(cores);
            if (opensslSeconds < 0 || sha256sum < 0 || single < 0 || parallel < 0) {
                std::fprintf(stderr, "hashing: %s: a check failed\n", qPrintable(payload.title));
                return false;
            }
            // The first round only warms the page cache.
            if (round == 0)
                continue;
            openssl.push_back(opensslSeconds);
            reference.push_back(sha256sum);
            one.push_back(single);
            all.push_back(parallel);
        }
        const double megabytes = double(payload.bytes) / 1e6;
        std::printf("%-22s %9.1f %15.0f %14.0f %14.0f %14.0f %10.2f\n", qPrintable(payload.title), megabytes,
                    megabytes / median(openssl), megabytes / median(reference), megabytes / median(one),
                    megabytes / median(all), median(openssl) / median(one));
        if (&payload == &payloads.back()) {
            // The check runs during the 3 s wait after the product's stop; only what goes beyond delays the
            // first try.
            std::printf("%s: checked in %.2f s; the first try starts %.2f s after the 3 s wait\n",
                        qPrintable(payload.title), median(all), qMax(0.0, median(all) - 3.0));
        }
    }
    QDir(base).removeRecursively();
    return true;
}

void silenceDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Times the copy stage against cp -r of the same payload."));
    parser.addHelpOption();
    const QCommandLineOption scenarioOption(
        QStringLiteral("scenario"),
        QStringLiteral("big, small, all (default: both), apply or deletions (whole runs), or hashing (the "
                       "manifest check alone)."),
        QStringLiteral("name"), QStringLiteral("all"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Timed runs of each (default 5)."),
                                          QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption dirOption(
        QStringLiteral("dir"), QStringLiteral("Folder to work in (default: the system temporary folder)."),
        QStringLiteral("path"), QDir::tempPath());
    const QCommandLineOption bigOption(QStringLiteral("big-mib"),
                                       QStringLiteral("Size of the big file (default 1024)."),
                                       QStringLiteral("MiB"), QStringLiteral("1024"));
    const QCommandLineOption settleOption(
        QStringLiteral("settle"),
        QStringLiteral("Seconds to wait after the sync before every run (default 0)."), QStringLiteral("s"),
        QStringLiteral("0"));
    const QCommandLineOption placementOption(
        QStringLiteral("placement"),
        QStringLiteral("With --scenario apply: beside, tmpfs or both (default) package placements."),
        QStringLiteral("where"), QStringLiteral("both"));
    const QCommandLineOption entriesOption(
        QStringLiteral("entries"),
        QStringLiteral("With --scenario deletions: files the deletion list names (default 20000)."),
        QStringLiteral("n"), QStringLiteral("20000"));
    const QCommandLineOption casesOption(
        QStringLiteral("cases"),
        QStringLiteral("With --scenario apply: only these cases, by name, comma-separated (default all), "
                       "e.g. beside,beside-renamepair,tmpfs,tmpfs-renamepair."),
        QStringLiteral("names"));
    parser.addOptions({scenarioOption, roundsOption, dirOption, bigOption, settleOption, placementOption,
                       entriesOption, casesOption});
    parser.process(app);

    const QString which = parser.value(scenarioOption);
    bool roundsOk = false, bigOk = false, settleOk = false, entriesOk = false;
    Settings settings;
    settings.rounds = parser.value(roundsOption).toInt(&roundsOk);
    const qint64 bigMib = parser.value(bigOption).toLongLong(&bigOk);
    settings.bigBytes = bigMib << 20;
    settings.settleSeconds = parser.value(settleOption).toInt(&settleOk);
    const int entries = parser.value(entriesOption).toInt(&entriesOk);
    if (!roundsOk || settings.rounds < 1 || !bigOk || bigMib < 1 || !settleOk || settings.settleSeconds < 0 ||
        !entriesOk || entries < 1 ||
        !QStringList{"big", "small", "all", "apply", "deletions", "hashing"}.contains(which)) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        return 2;
    }

    std::vector<Scenario> scenarios;
    std::vector<ApplyCase> applyCases;
    if (which == QLatin1String("apply")) {
        // Side by side: the updater as shipped, and the same build without flushes, for what durability
        // costs.
        const QString flushing = QStringLiteral(QUILLFERN_EXECUTABLE);
        const QString notFlushing = QStringLiteral(QUILLFERN_WITHOUT_FLUSHES_EXECUTABLE);
        // And the same build replacing files by a pair of renames, as before a second name was kept first.
        const QString renamePair = QStringLiteral(QUILLFERN_RENAME_PAIR_EXECUTABLE);
        applyCases.emplace_back(QStringLiteral("beside"),
                                QStringLiteral("20,000 files, package on the same file system"), false, 0.3,
                                1.0, flushing);
        applyCases.emplace_back(QStringLiteral("beside-manifest"),
                                QStringLiteral("  the same with a SHA256SUMS checked"), false, 0.3, 1.0,
                                flushing, true);
        applyCases.emplace_back(QStringLiteral("beside-noflush"),
                                QStringLiteral("  the same without flushes"), false, 0.3, 1.0, notFlushing);
        applyCases.emplace_back(QStringLiteral("beside-renamepair"),
                                QStringLiteral("  the same replacing by a pair of renames"), false, 0.3, 1.0,
                                renamePair);
        applyCases.emplace_back(QStringLiteral("tmpfs"), QStringLiteral("20,000 files, package on a tmpfs"),
                                true, 1.0, 1.3, flushing);
        applyCases.emplace_back(QStringLiteral("tmpfs-manifest"),
                                QStringLiteral("  the same with a SHA256SUMS, hashed while copied"), true,
                                1.0, 1.3, flushing, true);
        applyCases.emplace_back(QStringLiteral("tmpfs-noflush"), QStringLiteral("  the same without flushes"),
                                true, 1.0, 1.3, notFlushing);
        applyCases.emplace_back(QStringLiteral("tmpfs-renamepair"),
                                QStringLiteral("  the same replacing by a pair of renames"), true, 1.0, 1.3,
                                renamePair);
    } else if (which != QLatin1String("small"))
        scenarios.emplace_back(QStringLiteral("big"), QStringLiteral("(a) 1 file of %1 MiB").arg(bigMib),
                               1.15);
    if (which != QLatin1String("big"))
        scenarios.emplace_back(
            QStringLiteral("small"),
            QStringLiteral("(b) %1 files in %2 folders").arg(FolderCount * FilesPerFolder).arg(FolderCount),
            1.3);

    QTemporaryDir workspace(parser.value(dirOption) + QStringLiteral("/copybench-XXXXXX"));
    if (!workspace.isValid()) {
        std::fprintf(stderr, "cannot make a folder under %s\n", qPrintable(parser.value(dirOption)));
        return 2;
    }
    // A failure log of the copy stage lands in the working folder; keep it out of the caller's.
    QDir::setCurrent(workspace.path());
    qInstallMessageHandler(silenceDebug);
    Platform::prepareProcess();

    if (which == QLatin1String("hashing"))
        return runHashing(workspace.path(), settings) ? 0 : 1;
    if (which == QLatin1String("deletions")) {
        AddedTimes added;
        if (!runDeletions(added, entries, workspace.path(), settings))
            return 1;
        reportDeletions(added, entries);
        return 0;
    }
    const QString placement = parser.value(placementOption);
    for (ApplyCase &applyCase : applyCases) {
        if (placement != QLatin1String("both") && !applyCase.name.startsWith(placement))
            continue;
        if (parser.isSet(casesOption) &&
            !parser.value(casesOption).split(QLatin1Char(',')).contains(applyCase.name))
            continue;
        if (!runApplyCase(applyCase, workspace.path(), settings))
            return 1;
    }
    applyCases.erase(std::remove_if(applyCases.begin(), applyCases.end(),
                                    [](const ApplyCase &applyCase) { return applyCase.cpRmSeconds.empty(); }),
                     applyCases.end());
    if (!applyCases.empty()) {
        reportApplyCases(applyCases);
        return 0;
    }
    for (Scenario &scenario : scenarios) {
        if (!runScenario(scenario, workspace.path(), settings)) {
            if (QFile::exists(QStringLiteral("log.txt"))) {
                QFile log(QStringLiteral("log.txt"));
                log.open(QIODevice::ReadOnly);
                std::fprintf(stderr, "copy stage log: %s\n", log.readAll().constData());
            }
            return 1;
        }
    }

    std::printf("\nsettle %d s before every run\n", settings.settleSeconds);
    std::printf("%-28s %12s %8s %13s %13s %7s %8s\n", "scenario", "MiB", "rounds", "cp median",
                "quillFern med", "ratio", "target");
    for (const Scenario &scenario : scenarios) {
        const double cp = median(scenario.cpSeconds);
        const double quillFern = median(scenario.quillFernSeconds);
        const double ratio = quillFern / cp;
        std::printf("%-28s %12.1f %8d %11.3f s %11.3f s %7.3f %5.2f %s\n", qPrintable(scenario.title),
                    double(scenario.bytes) / (1 << 20), settings.rounds, cp, quillFern, ratio,
                    scenario.target, ratio <= scenario.target ? "met" : "MISSED");
    }
    for (const Scenario &scenario : scenarios) {
        std::printf("%s cp runs (s):        %s\n", qPrintable(scenario.name),
                    qPrintable(formatValues(scenario.cpSeconds)));
        std::printf("%s quillFern runs (s): %s\n", qPrintable(scenario.name),
                    qPrintable(formatValues(scenario.quillFernSeconds)));
    }
    return 0;
}
