// What quillFern-pack make costs and what its package saves, over a seeded
// release pair of 1,400 files (about 175 MiB) of which 300 differ:
//  1. "quillFern-pack make" against sha256sum of both releases' files plus
//     cp of the differing files into a package folder (the aim: within 1.5 times);
//  2. the package's bytes against a full one ("make --full");
//  3. whole runs of the installed updater applying each, over a fresh copy of
//     the old release every time, and with an empty package for reference.
// Medians over --rounds. As root it drops the page cache before each cold
// run; the make rows are timed on a cold and on a warm cache. Exit status 3
// when make misses its aim. The updater stops every process named
// Halvorquintel of the user: run it in a PID namespace of its own,
//   unshare --pid --fork --mount-proc build/bench/packbench [--rounds N] [--dir folder] [--warm] [--keep]
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "installedupdater.h"

namespace {

constexpr quint64 Seed = 20261209;
constexpr int OldFileCount = 1400;
constexpr int BigFileCount = 12;
constexpr int RemovedCount = 40;
constexpr int ChangedCount = 200;
constexpr int AddedCount = 60;
constexpr double MakeAim = 1.5;

// splitmix64: every run writes the same names, sizes and bytes.
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
    qint64 between(qint64 low, qint64 high) { return low + qint64(next() % quint64(high - low)); }

private:
    quint64 state;
};

// A file of a release: its bytes follow from its content seed alone, so an
// unchanged file is the same in both releases and a changed one differs.
struct PlannedFile
{
    QString path;
    qint64 size = 0;
    quint64 contentSeed = 0;
    bool executable = false;
};

struct ReleasePair
{
    std::vector<PlannedFile> oldFiles;
    std::vector<PlannedFile> newFiles;
    QStringList differing; // new or changed in the new release: what a delta package carries
    int sameSizeChanges = 0;
    int resizedChanges = 0;
};

QString folderFor(Random &random)
{
    static const char *const areas[] = {"plugins",     "data",         "lang", "docs",
                                        "share/icons", "share/sounds", "lib",  "maps"};
    const char *area = areas[random.next() % (sizeof areas / sizeof *areas)];
    return QStringLiteral("%1/set-%2").arg(QLatin1String(area)).arg(random.next() % 6);
}

// Mostly small files, a fair share of some hundred KiB, a few of several MiB.
qint64 sizeFor(Random &random, bool big)
{
    if (big)
        return random.between(3 << 20, 9 << 20);
    return random.next() % 100 < 22 ? random.between(64 << 10, 384 << 10) : random.between(1 << 10, 64 << 10);
}

PlannedFile planFile(Random &random, const QString &folder, int number, bool big)
{
    static const char *const extensions[] = {"dll", "dat", "qm", "png", "ogg", "bin", "json", "so"};
    PlannedFile planned;
    const char *extension = extensions[random.next() % (sizeof extensions / sizeof *extensions)];
    planned.path = QStringLiteral("%1/file-%2.%3")
                       .arg(folder)
                       .arg(number, 4, 10, QLatin1Char('0'))
                       .arg(QLatin1String(extension));
    planned.size = sizeFor(random, big);
    planned.contentSeed = random.next();
    planned.executable = random.next() % 10 == 0;
    return planned;
}

// The old release; then the new one drops some files, changes others (most
// keeping their size, so only their content tells) and adds some.
ReleasePair makeReleasePair()
{
    Random random(Seed);
    ReleasePair pair;
    for (int i = 0; i < OldFileCount; ++i)
        pair.oldFiles.push_back(planFile(random, folderFor(random), i, i < BigFileCount));

    // Three big files change, two of them in place; the rest are picked at random.
    std::vector<int> order;
    for (int i = 3; i < OldFileCount; ++i)
        order.push_back(i);
    for (size_t i = order.size() - 1; i > 0; --i)
        std::swap(order[i], order[random.next() % (i + 1)]);
    std::vector<int> changed{0, 1, 2};
    changed.insert(changed.end(), order.begin() + RemovedCount,
                   order.begin() + RemovedCount + ChangedCount - 3);
    const std::vector<int> removed(order.begin(), order.begin() + RemovedCount);

    std::vector<bool> keep(OldFileCount, true);
    for (int index : removed)
        keep[size_t(index)] = false;
    std::vector<PlannedFile> newFiles = pair.oldFiles;
    for (int index : changed) {
        PlannedFile &file = newFiles[size_t(index)];
        file.contentSeed = random.next();
        const bool resized = index == 2 || random.next() % 10 < 3;
        if (resized)
            file.size = std::max<qint64>(1, file.size * random.between(80, 125) / 100);
        ++(resized ? pair.resizedChanges : pair.sameSizeChanges);
        pair.differing << file.path;
    }
    for (int i = 0; i < OldFileCount; ++i) {
        if (keep[size_t(i)])
            pair.newFiles.push_back(newFiles[size_t(i)]);
    }
    for (int i = 0; i < AddedCount; ++i) {
        const QString folder = i < 15 ? QStringLiteral("plugins/added") : folderFor(random);
        pair.newFiles.push_back(planFile(random, folder, OldFileCount + i, i == 0));
        pair.differing << pair.newFiles.back().path;
    }
    return pair;
}

bool writePlannedFile(const QString &root, const PlannedFile &planned)
{
    const QString path = root + QLatin1Char('/') + planned.path;
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly))
        return false;
    Random random(planned.contentSeed);
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 left = planned.size; left > 0;) {
        const int length = int(std::min<qint64>(left, chunk.size()));
        for (int at = 0; at < length; at += 8) {
            const quint64 word = random.next();
            std::memcpy(chunk.data() + at, &word, size_t(std::min(8, length - at)));
        }
        if (file.write(chunk.constData(), length) != length)
            return false;
        left -= length;
    }
    const QFileDevice::Permissions executable =
        QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    return file.setPermissions(planned.executable ? file.permissions() | executable
                                                  : file.permissions() & ~executable);
}

bool writeRelease(const QString &root, const std::vector<PlannedFile> &files)
{
    return std::all_of(files.cbegin(), files.cend(),
                       [&root](const PlannedFile &file) { return writePlannedFile(root, file); });
}

qint64 bytesOf(const std::vector<PlannedFile> &files)
{
    qint64 bytes = 0;
    for (const PlannedFile &file : files)
        bytes += file.size;
    return bytes;
}

// Every file's bytes under `folder`.
qint64 bytesUnder(const QString &folder)
{
    qint64 bytes = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        bytes += it.fileInfo().size();
    }
    return bytes;
}

int filesUnder(const QString &folder)
{
    int count = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    for (; it.hasNext(); it.next())
        ++count;
    return count;
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

// Runs a program to its end, its output discarded; its time in seconds, or -1 when it failed.
// The updater's debug lines are many and say nothing here; other programs' errors are shown.
double runTimed(const QString &program, const QStringList &arguments, const QString &workingDir = QString(),
                const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                bool showErrors = true)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDir);
    process.setStandardOutputFile(QProcess::nullDevice());
    if (showErrors)
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", qPrintable(program), process.exitCode());
        return -1;
    }
    return clock.nsecsElapsed() / 1e9;
}

bool copyTree(const QString &from, const QString &to)
{
    return QDir().mkpath(to) &&
           runTimed(QStringLiteral("cp"),
                    {QStringLiteral("-a"), from + QStringLiteral("/."), to + QLatin1Char('/')}) >= 0;
}

// The page cache, dropped before a cold run where the system lets us; otherwise every run is warm.
class PageCache
{
public:
    explicit PageCache(bool wanted)
        : canDrop(wanted && QFileInfo(QStringLiteral("/proc/sys/vm/drop_caches")).isWritable())
    {}
    bool drops() const { return canDrop; }
    // Written data reaches the disk first, so no flush of an earlier step lands in a timed one.
    void settle() const
    {
        ::sync();
        if (!canDrop)
            return;
        QFile control(QStringLiteral("/proc/sys/vm/drop_caches"));
        if (control.open(QIODevice::WriteOnly))
            control.write("3\n");
    }

private:
    bool canDrop;
};

struct Layout
{
    QString oldRelease;
    QString newRelease;
    QString work;
    ReleasePair pair;
};

// Make and its reference, each timed cold (where the cache can be dropped) and then warm.
struct MakeTimes
{
    std::vector<double> makeCold, makeWarm, referenceCold, referenceWarm, fullCold;
};

double timeMake(const Layout &layout, const QString &out, bool full)
{
    QDir(out).removeRecursively();
    QStringList arguments{QStringLiteral("make"),
                          QStringLiteral("--from"),
                          layout.oldRelease,
                          QStringLiteral("--to"),
                          layout.newRelease,
                          QStringLiteral("--out"),
                          out,
                          QStringLiteral("--quiet")};
    if (full)
        arguments << QStringLiteral("--full");
    return runTimed(QStringLiteral(QUILLFERN_PACK_EXECUTABLE), arguments);
}

// What make must at least do by hand: read both releases through sha256sum
// and copy the differing files into a package folder.
double timeReference(const Layout &layout, const QString &out)
{
    QDir(out).removeRecursively();
    QStringList everyFile;
    for (const PlannedFile &file : layout.pair.oldFiles)
        everyFile << layout.oldRelease + QLatin1Char('/') + file.path;
    for (const PlannedFile &file : layout.pair.newFiles)
        everyFile << layout.newRelease + QLatin1Char('/') + file.path;
    const double hashed = runTimed(QStringLiteral("sha256sum"), everyFile);
    if (hashed < 0 || !QDir().mkpath(out + QStringLiteral("/Env")))
        return -1;
    const double copied = runTimed(QStringLiteral("cp"),
                                   QStringList{QStringLiteral("--parents")} + layout.pair.differing +
                                       QStringList{out + QStringLiteral("/Env")},
                                   layout.newRelease);
    return copied < 0 ? -1 : hashed + copied;
}

// One timed run on a cold cache, then one on the cache it left.
bool timeColdThenWarm(const PageCache &cache, const std::function<double()> &run, std::vector<double> &cold,
                      std::vector<double> &warm)
{
    cache.settle();
    const double first = run();
    ::sync();
    const double second = run();
    if (first < 0 || second < 0)
        return false;
    if (cache.drops())
        cold.push_back(first);
    warm.push_back(second);
    return true;
}

bool timeMakeRounds(const Layout &layout, const PageCache &cache, int rounds, MakeTimes &times)
{
    const QString out = layout.work + QStringLiteral("/made");
    const QString reference = layout.work + QStringLiteral("/copied");
    for (int round = 0; round < rounds; ++round) {
        // Swapping which goes first each round keeps either from always following the other.
        for (int turn = 0; turn < 2; ++turn) {
            const bool makeTurn = (turn == 0) == (round % 2 == 0);
            const bool timed = makeTurn ? timeColdThenWarm(
                                              cache, [&] { return timeMake(layout, out, false); },
                                              times.makeCold, times.makeWarm)
                                        : timeColdThenWarm(
                                              cache, [&] { return timeReference(layout, reference); },
                                              times.referenceCold, times.referenceWarm);
            if (!timed)
                return false;
        }
        std::printf("make: round %d/%d  make %.3f s  sha256sum+cp %.3f s (warm)\n", round + 1, rounds,
                    times.makeWarm.back(), times.referenceWarm.back());
        std::fflush(stdout);
    }
    QDir(out).removeRecursively();
    QDir(reference).removeRecursively();
    return true;
}

// The package make lays out, kept as the master that each apply round copies.
bool makeMasterPackage(const Layout &layout, const PageCache &cache, const QString &out, bool full,
                       std::vector<double> *coldSeconds)
{
    cache.settle();
    const double seconds = timeMake(layout, out, full);
    if (seconds >= 0 && coldSeconds && cache.drops())
        coldSeconds->push_back(seconds);
    return seconds >= 0;
}

RunTimes runUpdater(const QString &root, const QString &package, const QProcessEnvironment &environment)
{
    const double start = wallSeconds();
    const double seconds = runTimed(root + QStringLiteral("/bin/quillFern"),
                                    {QStringLiteral("update"), package}, root, environment, false);
    if (seconds < 0)
        return {};
    const double startedAt = readStartNote(root + QStringLiteral("/bin/product-started"));
    if (startedAt < 0) {
        std::fprintf(stderr, "quillFern did not start the product\n");
        return {};
    }
    return {startedAt - start, seconds};
}

// Whether the installation holds the new release, byte for byte, and none of the files it drops.
bool holdsNewRelease(const QString &root, const ReleasePair &pair, const QString &newRelease)
{
    for (const PlannedFile &file : pair.newFiles) {
        QFile installed(root + QLatin1Char('/') + file.path);
        QFile expected(newRelease + QLatin1Char('/') + file.path);
        if (!installed.open(QIODevice::ReadOnly) || !expected.open(QIODevice::ReadOnly) ||
            installed.size() != expected.size() || installed.permissions() != expected.permissions())
            return false;
        while (!expected.atEnd()) {
            if (installed.read(4 << 20) != expected.read(4 << 20))
                return false;
        }
    }
    QStringList kept;
    for (const PlannedFile &file : pair.newFiles)
        kept << file.path;
    return std::none_of(pair.oldFiles.cbegin(), pair.oldFiles.cend(), [&](const PlannedFile &file) {
        return !kept.contains(file.path) && QFileInfo::exists(root + QLatin1Char('/') + file.path);
    });
}

// A package applied by whole runs, each over a fresh copy of the old release.
struct ApplyCase
{
    QString name;
    QString master; // the package as made; each run gets a copy, since the updater consumes it
    std::vector<RunTimes> runs;
    bool checked = false;
};

bool applyOnce(const Layout &layout, const PageCache &cache, ApplyCase &applyCase,
               const QProcessEnvironment &environment)
{
    const QString root = layout.work + QStringLiteral("/install");
    const QString package = layout.work + QStringLiteral("/package");
    QDir(root).removeRecursively();
    QDir(package).removeRecursively();
    if (!copyTree(layout.oldRelease, root) || !installUpdater(root, QStringLiteral(QUILLFERN_EXECUTABLE)) || !copyTree(applyCase.master, package)) {
        std::fprintf(stderr, "cannot lay out the installation and the %s package\n",
                     qPrintable(applyCase.name));
        return false;
    }
    cache.settle();
    const RunTimes times = runUpdater(root, package, environment);
    if (times.exit < 0)
        return false;
    if (QFileInfo::exists(package)) {
        std::fprintf(stderr, "the %s package is still there after the run\n", qPrintable(applyCase.name));
        return false;
    }
    // Checked once per package, untimed: the figures mean something only for an update that happened.
    if (!applyCase.checked && applyCase.name != QLatin1String("empty")) {
        if (!holdsNewRelease(root, layout.pair, layout.newRelease)) {
            std::fprintf(stderr, "the %s package did not leave the new release installed\n",
                         qPrintable(applyCase.name));
            return false;
        }
        applyCase.checked = true;
    }
    applyCase.runs.push_back(times);
    return true;
}

bool applyRounds(const Layout &layout, const PageCache &cache, int rounds, std::vector<ApplyCase> &cases)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The updater's run log goes here, away from the user's own data folder.
    environment.insert(QStringLiteral("XDG_DATA_HOME"), layout.work + QStringLiteral("/data-home"));
    for (int round = 0; round < rounds; ++round) {
        QStringList line;
        for (size_t turn = 0; turn < cases.size(); ++turn) {
            ApplyCase &applyCase = cases[(turn + size_t(round)) % cases.size()];
            if (!applyOnce(layout, cache, applyCase, environment))
                return false;
        }
        for (const ApplyCase &applyCase : cases)
            line << QStringLiteral("%1 %2 s").arg(applyCase.name).arg(applyCase.runs.back().exit, 0, 'f', 3);
        std::printf("apply: round %d/%d  %s\n", round + 1, rounds,
                    qPrintable(line.join(QStringLiteral("  "))));
        std::fflush(stdout);
    }
    return true;
}

std::vector<double> exits(const ApplyCase &applyCase)
{
    std::vector<double> values;
    for (const RunTimes &run : applyCase.runs)
        values.push_back(run.exit);
    return values;
}

std::vector<double> relaunches(const ApplyCase &applyCase)
{
    std::vector<double> values;
    for (const RunTimes &run : applyCase.runs)
        values.push_back(run.relaunch);
    return values;
}

// Prints make against its reference on one cache state; whether it is within the aim.
bool reportMake(const char *cacheState, const std::vector<double> &make, const std::vector<double> &reference)
{
    const double ratio = median(make) / median(reference);
    std::printf("make, %s cache:  make %.3f s  sha256sum+cp %.3f s  ratio %.2f (aim %.1f: %s)\n", cacheState,
                median(make), median(reference), ratio, MakeAim, ratio <= MakeAim ? "met" : "MISSED");
    std::printf("  make (s):          %s\n  sha256sum+cp (s):  %s\n", qPrintable(formatValues(make)),
                qPrintable(formatValues(reference)));
    return ratio <= MakeAim;
}

void reportApply(const std::vector<ApplyCase> &cases)
{
    const ApplyCase &empty = cases[0];
    std::printf("%-8s %14s %14s %20s\n", "package", "relaunch (s)", "exit (s)", "over empty: exit (s)");
    for (const ApplyCase &applyCase : cases)
        std::printf("%-8s %14.3f %14.3f %20.3f\n", qPrintable(applyCase.name), median(relaunches(applyCase)),
                    median(exits(applyCase)), median(exits(applyCase)) - median(exits(empty)));
    const double delta = median(exits(cases[1])) - median(exits(empty));
    const double full = median(exits(cases[2])) - median(exits(empty));
    std::printf("apply: delta/full %.2f of the whole run, %.2f of the time over an empty package\n",
                median(exits(cases[1])) / median(exits(cases[2])), delta / full);
    for (const ApplyCase &applyCase : cases)
        std::printf("  %-6s exit (s): %s\n", qPrintable(applyCase.name),
                    qPrintable(formatValues(exits(applyCase))));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("quillFern-pack make against sha256sum + cp, package sizes, "
                       "and whole updater runs applying a delta and a full package."));
    parser.addHelpOption();
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Timed rounds (default 3)."), QStringLiteral("N"),
                                          QStringLiteral("3"));
    const QCommandLineOption dirOption(QStringLiteral("dir"),
                                       QStringLiteral("Work in a new temporary folder under this one."),
                                       QStringLiteral("folder"));
    const QCommandLineOption warmOption(QStringLiteral("warm"), QStringLiteral("Never drop the page cache."));
    const QCommandLineOption keepOption(
        QStringLiteral("keep"),
        QStringLiteral("Keep the releases and the packages made, for a closer look."));
    parser.addOptions({roundsOption, dirOption, warmOption, keepOption});
    parser.process(app);
    const int rounds = parser.value(roundsOption).toInt();
    if (rounds < 1) {
        std::fprintf(stderr, "--rounds wants a count of 1 or more\n");
        return 2;
    }
    QTemporaryDir workspace(parser.isSet(dirOption)
                                ? parser.value(dirOption) + QStringLiteral("/packbench-XXXXXX")
                                : QDir::tempPath() + QStringLiteral("/packbench-XXXXXX"));
    if (!workspace.isValid()) {
        std::fprintf(stderr, "cannot make a working folder: %s\n", qPrintable(workspace.errorString()));
        return 2;
    }
    const PageCache cache(!parser.isSet(warmOption));
    workspace.setAutoRemove(!parser.isSet(keepOption));
    if (parser.isSet(keepOption))
        std::printf("kept: %s\n", qPrintable(workspace.path()));

    Layout layout;
    layout.oldRelease = workspace.filePath(QStringLiteral("release-1"));
    layout.newRelease = workspace.filePath(QStringLiteral("release-2"));
    layout.work = workspace.path();
    layout.pair = makeReleasePair();
    const ReleasePair &pair = layout.pair;
    std::printf("releases: %zu -> %zu files, %.1f -> %.1f MiB; %d differ: %d added, %d removed, %d changed "
                "(%d of the same size)\n",
                pair.oldFiles.size(), pair.newFiles.size(), bytesOf(pair.oldFiles) / 1048576.0,
                bytesOf(pair.newFiles) / 1048576.0, AddedCount + RemovedCount + ChangedCount, AddedCount,
                RemovedCount, ChangedCount, pair.sameSizeChanges);
    std::printf("page cache: %s\n", cache.drops() ? "dropped before each cold run" : "warm only");
    std::fflush(stdout);
    if (!writeRelease(layout.oldRelease, pair.oldFiles) || !writeRelease(layout.newRelease, pair.newFiles)) {
        std::fprintf(stderr, "cannot write the releases under %s\n", qPrintable(workspace.path()));
        return 2;
    }

    MakeTimes makeTimes;
    if (!timeMakeRounds(layout, cache, rounds, makeTimes))
        return 2;
    const QString delta = workspace.filePath(QStringLiteral("delta"));
    const QString full = workspace.filePath(QStringLiteral("full"));
    const QString empty = workspace.filePath(QStringLiteral("empty"));
    if (!makeMasterPackage(layout, cache, delta, false, nullptr) ||
        !makeMasterPackage(layout, cache, full, true, &makeTimes.fullCold) ||
        !QDir().mkpath(empty + QStringLiteral("/Env")))
        return 2;
    if (filesUnder(delta + QStringLiteral("/Env")) != pair.differing.size() + 1) {
        std::fprintf(stderr, "the delta package holds %d files, not the %d that differ and del.xml\n",
                     filesUnder(delta + QStringLiteral("/Env")), pair.differing.size());
        return 2;
    }
    std::vector<ApplyCase> applyCases{{QStringLiteral("empty"), empty, {}, false},
                                      {QStringLiteral("delta"), delta, {}, false},
                                      {QStringLiteral("full"), full, {}, false}};
    if (!applyRounds(layout, cache, rounds, applyCases))
        return 2;

    std::printf("\n");
    bool met = true;
    if (cache.drops())
        met = reportMake("cold", makeTimes.makeCold, makeTimes.referenceCold) && met;
    met = reportMake("warm", makeTimes.makeWarm, makeTimes.referenceWarm) && met;
    if (!makeTimes.fullCold.empty())
        std::printf("make --full, cold cache: %.3f s\n", makeTimes.fullCold.front());
    const qint64 deltaBytes = bytesUnder(delta);
    const qint64 fullBytes = bytesUnder(full);
    std::printf("package: delta %.1f MiB (%d files), full %.1f MiB (%d files): %.1f%% of the full one\n",
                deltaBytes / 1048576.0, filesUnder(delta), fullBytes / 1048576.0, filesUnder(full),
                100.0 * double(deltaBytes) / double(fullBytes));
    reportApply(applyCases);
    std::printf("aim %s: make within %.1f times sha256sum of both releases plus cp of what differs\n",
                met ? "met" : "MISSED", MakeAim);
    return met ? 0 : 3;
}
