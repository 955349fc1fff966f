// Times the copy stage against "cp -r" of the same payload over the same installation.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdio>
#include <vector>

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "installationbackup.h"
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
    explicit Random(quint64 seed) : state(seed) {}
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
    Scenario(const QString &name, const QString &title, double target) : name(name), title(title), target(target) {}

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
    std::vector<quint64> chunk(128 * 1024);
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
    return writeRandomFile(env + QStringLiteral("/data.bin"), size, fresh)
           && writeRandomFile(root + QStringLiteral("/data.bin"), size, old);
}

bool makeSmall(Scenario &scenario, const QString &env, const QString &root)
{
    Random sizes(3), fresh(4), old(5);
    for (int folder = 0; folder < FolderCount; ++folder) {
        const QString relativeFolder = QStringLiteral("dir%1").arg(folder, 3, 10, QLatin1Char('0'));
        if (!QDir().mkpath(env + QLatin1Char('/') + relativeFolder)
            || !QDir().mkpath(root + QLatin1Char('/') + relativeFolder))
            return false;
        for (int index = 0; index < FilesPerFolder; ++index) {
            const QString relative =
                relativeFolder + QStringLiteral("/file%1.dat").arg(index, 3, 10, QLatin1Char('0'));
            const qint64 size = SmallMin + qint64(sizes.next() % quint64(SmallMax - SmallMin + 1));
            if (!writeRandomFile(env + QLatin1Char('/') + relative, size, fresh)
                || !writeRandomFile(root + QLatin1Char('/') + relative, size, old))
                return false;
            scenario.files << relative;
            scenario.bytes += size;
        }
    }
    return true;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double runCp(const QString &env, const QString &root)
{
    const QByteArray from = QFile::encodeName(env + QStringLiteral("/."));
    const QByteArray to = QFile::encodeName(root + QLatin1Char('/'));
    char cp[] = "cp";
    char recursive[] = "-r";
    char *const argv[] = {cp, recursive, const_cast<char *>(from.constData()), const_cast<char *>(to.constData()),
                          nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, "cp", nullptr, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    const double seconds = secondsSince(start);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
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

// Each run is a run of its own: a fresh window, and no backup area from the run before.
double runQuillFern(const QString &root, const QString &package, const QStringList &files)
{
    QDir(root + QLatin1Char('/') + InstallationBackup::areaName()).removeRecursively();
    DlgUpdate dlg;
    dlg.setApplicationDir(root + QStringLiteral("/bin"));
    dlg.setPackageDir(package);
    const std::vector<ino_t> before = inodes(root, files);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = DlgUpdateProbe::copy(dlg);
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
        std::fprintf(stderr, "cannot write the %s payload under %s\n", qPrintable(scenario.name), qPrintable(base));
        return false;
    }

    const QString package = base + QStringLiteral("/package");

    // Warm-up; the copy stage goes first, over the older files, so the content check means something.
    settle(settings);
    if (runQuillFern(root, package, scenario.files) < 0)
        return false;
    if (!sameContent(env, root, scenario.files)) {
        std::fprintf(stderr, "%s: the copy stage left the installation unlike the payload\n", qPrintable(scenario.name));
        return false;
    }
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
        std::printf("%s: round %d/%d  cp %.3f s  quillFern %.3f s\n", qPrintable(scenario.name), round + 1, rounds,
                    scenario.cpSeconds.back(), scenario.quillFernSeconds.back());
        std::fflush(stdout);
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
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Times the copy stage against cp -r of the same payload."));
    parser.addHelpOption();
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"), QStringLiteral("big, small or all (default)."),
                                            QStringLiteral("name"), QStringLiteral("all"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Timed runs of each (default 5)."),
                                          QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption dirOption(QStringLiteral("dir"),
                                       QStringLiteral("Folder to work in (default: the system temporary folder)."),
                                       QStringLiteral("path"), QDir::tempPath());
    const QCommandLineOption bigOption(QStringLiteral("big-mib"), QStringLiteral("Size of the big file (default 1024)."),
                                       QStringLiteral("MiB"), QStringLiteral("1024"));
    const QCommandLineOption settleOption(
        QStringLiteral("settle"), QStringLiteral("Seconds to wait after the sync before every run (default 0)."),
        QStringLiteral("s"), QStringLiteral("0"));
    parser.addOptions({scenarioOption, roundsOption, dirOption, bigOption, settleOption});
    parser.process(app);

    const QString which = parser.value(scenarioOption);
    bool roundsOk = false, bigOk = false, settleOk = false;
    Settings settings;
    settings.rounds = parser.value(roundsOption).toInt(&roundsOk);
    const qint64 bigMib = parser.value(bigOption).toLongLong(&bigOk);
    settings.bigBytes = bigMib << 20;
    settings.settleSeconds = parser.value(settleOption).toInt(&settleOk);
    if (!roundsOk || settings.rounds < 1 || !bigOk || bigMib < 1 || !settleOk || settings.settleSeconds < 0
        || !QStringList{"big", "small", "all"}.contains(which)) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        return 2;
    }

    std::vector<Scenario> scenarios;
    if (which != QLatin1String("small"))
        scenarios.emplace_back(QStringLiteral("big"), QStringLiteral("(a) 1 file of %1 MiB").arg(bigMib), 1.15);
    if (which != QLatin1String("big"))
        scenarios.emplace_back(QStringLiteral("small"),
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
    std::printf("%-28s %12s %8s %13s %13s %7s %8s\n", "scenario", "MiB", "rounds", "cp median", "quillFern med",
                "ratio", "target");
    for (const Scenario &scenario : scenarios) {
        const double cp = median(scenario.cpSeconds);
        const double quillFern = median(scenario.quillFernSeconds);
        const double ratio = quillFern / cp;
        std::printf("%-28s %12.1f %8d %11.3f s %11.3f s %7.3f %5.2f %s\n", qPrintable(scenario.title),
                    double(scenario.bytes) / (1 << 20), settings.rounds, cp, quillFern, ratio, scenario.target,
                    ratio <= scenario.target ? "met" : "MISSED");
    }
    for (const Scenario &scenario : scenarios) {
        std::printf("%s cp runs (s):        %s\n", qPrintable(scenario.name), qPrintable(formatValues(scenario.cpSeconds)));
        std::printf("%s quillFern runs (s): %s\n", qPrintable(scenario.name),
                    qPrintable(formatValues(scenario.quillFernSeconds)));
    }
    return 0;
}
