#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <memory>

#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "startupentry.h"
#include "testsupport.h"

namespace {
// Before any thread starts. These tables prove what kills and failures leave,
// not what a power cut does (tst_lazyfs proves that): their files live in a
// file system in memory, where no flush waits on the disk, and the package
// "elsewhere" still lies on another file system (/dev/shm).
[[maybe_unused]] const bool inMemory =
    PrivateMounts::enterOwnMountNamespace() && PrivateMounts::keepTemporaryFilesInMemory();
} // namespace

// Broken updates run by the installed updater; the recording stand-in stop program keeps its stop of the
// product harmless, and its self-stop ends nothing but the temporary installation's updaters.
class TestFaults : public QObject
{
    Q_OBJECT

public:
    enum Fault {
        FolderOverFile,
        FileOverFolder,
        UnreadableSource,
        OutsideEntries,
        DeepNames,
    };
    Q_ENUM(Fault)
    enum Ending {
        CloseBetweenTries,
        CloseDuringStage,
        StopProgramMissing,
        StopProgramHanging,
        SecondUpdaterAtOnce,
        SecondUpdaterWhileWaiting,
        SecondUpdaterDuringStage,
        EmptyLockLeftBehind,
        TrashThatCannotGo,
        SelfUpdate,
    };
    Q_ENUM(Ending)
    enum FullDisk {
        PayloadOverflows,
        JournalCutShort,
    };
    Q_ENUM(FullDisk)

private slots:
    void initTestCase();

    void failedRunIsRolledBack_data();
    void failedRunIsRolledBack();
    void fullFileSystemIsRolledBack_data();
    void fullFileSystemIsRolledBack();
    void killedRunIsFinishedByNextRun_data();
    void killedRunIsFinishedByNextRun();
    void everyEndingLeavesInstallationWhole_data();
    void everyEndingLeavesInstallationWhole();
};

namespace {

const QByteArray rolledBack = "quillfern.run.rolled-back";
const QByteArray notRolledBack = "quillfern.run.rollback-stopped";
const QString copyFinished = QStringLiteral("copy finish");
const QString finished = QStringLiteral("Finish!");
const char interruptedRun[] = "quillfern.journal.recovering";
const QString areaName = QStringLiteral(".quillFern-backup");

// The quick build tries every 300 ms; a loaded machine still gets ample time.
constexpr int FirstTryTimeout = 30000;
constexpr int OutcomeTimeout = 60000;

const QString lockName = QStringLiteral(".quillFern.lock");

// What the stand-ins record when they are started is theirs, not the updater's; so is the
// lock that an updater the test kills leaves behind.
QMap<QString, QString> installationTree(const QString &root)
{
    return treeWithout(snapshotTree(root), {QStringLiteral("bin/stop-requests.log"),
                                            QStringLiteral("bin/product-starts.log"), lockName});
}

int countLost(const QMap<QString, QString> &expected, const QMap<QString, QString> &actual)
{
    int lost = 0;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        lost += actual.value(it.key()) != it.value() ? 1 : 0;
    return lost;
}

QString describe(const QStringList &differences, const QString &where)
{
    return where + QStringLiteral(": ") + differences.mid(0, 10).join(QStringLiteral("; "));
}

const char rowFormat[] = "| %-48s | %-64s | %7s | %5s | %7s |";

void report(const QString &scenario, const QString &faults, int checked, int lost, int touched)
{
    qInfo(rowFormat, qPrintable(scenario), qPrintable(faults), qPrintable(QString::number(checked)),
          qPrintable(QString::number(lost)), qPrintable(QString::number(touched)));
}

QByteArray block(int size, char fill)
{
    return QByteArray(size, fill);
}

qint64 usedBytes(const QString &root)
{
    qint64 used = 0;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isSymLink())
            used += (it.fileInfo().size() + 4095) / 4096 * 4096;
    }
    return used;
}

int journalLines(const QString &root)
{
    return readFile(root + QLatin1Char('/') + areaName + QStringLiteral("/journal")).count('\n');
}

// The workspace as every fault run finds it, beside files no run may touch.
class FaultWorkspace : public Workspace
{
public:
    // `packageElsewhere` puts the package on a tmpfs, where it is copied instead of moved.
    FaultWorkspace(const QString &rootName, const QString &packageName, bool packageElsewhere = false)
        : Workspace(Bin::StandIns, rootName, packageName,
                    packageElsewhere ? PackagePlace::OtherFileSystem : PackagePlace::Beside)
    {}

    bool layOut()
    {
        return isValid() && installUpdater(QStringLiteral(QUILLFERN_QUICK_EXECUTABLE)) &&
               writeFile(beside(QStringLiteral("outside.txt")), "outside") &&
               writeFile(beside(QStringLiteral("outside-dir/victim.txt")), "victim") &&
               writeFile(beside(QStringLiteral("outside-dir/keep.txt")), "keep") &&
               writeFile(beside(QStringLiteral("keep-me/notes.txt")), "notes") &&
               writeFile(path(QStringLiteral("bin/product.dat")), "old product") &&
               writeFile(path(QStringLiteral("bin/run.sh")), "#!/bin/sh\nold\n") &&
               makeExecutable(path(QStringLiteral("bin/run.sh"))) &&
               writeFile(path(QStringLiteral("readme.txt")), "old readme") &&
               QFile::link(QStringLiteral("readme.txt"), path(QStringLiteral("readme-link"))) &&
               writeFile(path(QStringLiteral("docs/guide.txt")), "old guide") &&
               writeFile(path(QStringLiteral("docs/obsolete.txt")), "obsolete") &&
               writeFile(path(QStringLiteral("data/config.ini")), "user settings") &&
               QDir().mkpath(path(QStringLiteral("empty-folder"))) &&
               writeFile(env(QStringLiteral("bin/product.dat")), "new product") &&
               writeFile(env(QStringLiteral("bin/run.sh")), "#!/bin/sh\nnew\n") &&
               makeExecutable(env(QStringLiteral("bin/run.sh"))) &&
               writeFile(env(QStringLiteral("readme.txt")), "new readme") &&
               writeFile(env(QStringLiteral("docs/guide.txt")), "new guide") &&
               writeFile(env(QStringLiteral("added/deep/er/file.txt")), "added");
    }

    bool writeList(const QStringList &entries) const
    {
        QByteArray list = "<DelLs>";
        for (const QString &entry : entries)
            list += "<f>" + entry.toHtmlEscaped().toUtf8() + "</f>";
        return writeFile(env(QStringLiteral("del.xml")), list + "</DelLs>");
    }

    QString updater() const { return binDir() + QStringLiteral("/quillFern"); }

    QMap<QString, QString> outsideTree(const QStringList &alsoLeaveOut = QStringList()) const
    {
        const QDir base(workspace());
        return treeWithout(snapshotTree(workspace()),
                           QStringList{base.relativeFilePath(root()), base.relativeFilePath(package()),
                                       base.relativeFilePath(work())} +
                               alsoLeaveOut);
    }
};

// What a completed update makes of `installed`: the list's files gone, the payload's files in.
QMap<QString, QString> updatedTree(const QMap<QString, QString> &installed, const QStringList &list,
                                   const QMap<QString, QString> &payload)
{
    auto expected = treeWithout(installed, list);
    for (auto it = payload.cbegin(); it != payload.cend(); ++it) {
        if (!it.value().startsWith(QLatin1String("dir")) || !expected.contains(it.key()))
            expected.insert(it.key(), it.value());
    }
    return expected;
}

// The process may have ended already while its lines were read.
bool ended(UpdaterRun &run, int timeoutMs)
{
    return run.process().state() == QProcess::NotRunning || run.process().waitForFinished(timeoutMs);
}

bool waitForJournal(UpdaterRun &run, const QString &root, int records)
{
    QElapsedTimer clock;
    clock.start();
    while (run.isRunning() && clock.elapsed() < FirstTryTimeout) {
        if (journalLines(root) >= records)
            return true;
        QTest::qSleep(2);
    }
    return false;
}

// The updater copies a folder in the order the file system lists it, so the link must list after `earlier`.
QString linkListedAfter(const QString &folder, const QString &earlier, const QString &target)
{
    for (int i = 0; i < 500; ++i) {
        const QString name = QStringLiteral("unreadable-%1").arg(i);
        const QString path = folder + QLatin1Char('/') + name;
        if (!QFile::link(target, path))
            return QString();
        const QStringList order = QDir(folder).entryList(QDir::NoFilter, QDir::NoSort);
        if (order.indexOf(name) > order.indexOf(earlier))
            return name;
        QFile::remove(path);
    }
    return QString();
}

// A file system lists a folder in the order its entries came in or the reverse: moving them all out
// and back in one of the two orders makes it list them as `order` says. `aside` is an empty folder on
// the same file system.
bool arrangeListing(const QString &folder, const QStringList &order, const QString &aside)
{
    const auto listed = [&] {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                      QDir::NoSort);
    };
    for (const bool reversed : {false, true}) {
        if (listed() == order)
            return true;
        QStringList moves = order;
        if (reversed)
            std::reverse(moves.begin(), moves.end());
        for (const QString &entry : qAsConst(moves)) {
            if (!QDir().rename(folder + QLatin1Char('/') + entry, aside + QLatin1Char('/') + entry))
                return false;
        }
        for (const QString &entry : qAsConst(moves)) {
            if (!QDir().rename(aside + QLatin1Char('/') + entry, folder + QLatin1Char('/') + entry))
                return false;
        }
    }
    return listed() == order;
}

qint64 freeBytes(const QString &path)
{
    struct statvfs disk;
    if (::statvfs(QFile::encodeName(path).constData(), &disk) != 0)
        return -1;
    return qint64(disk.f_bavail) * qint64(disk.f_frsize);
}

} // namespace

void TestFaults::initTestCase()
{
    // Outside the root counts the package too where it must stay as it was.
    qInfo(rowFormat, "scenario", "faults injected", "checked", "lost", "outside");
}

void TestFaults::failedRunIsRolledBack_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("rootName");
    QTest::addColumn<QString>("packageName");
    QTest::addColumn<bool>("packageElsewhere");
    // Beside the installation its files are moved into place, on a tmpfs they are copied.
    for (const bool elsewhere : {false, true}) {
        const char *where = elsewhere ? ", package on tmpfs (copied)" : ", package beside (moved)";
        QTest::addRow("payload folder over an installed file%s", where) << FolderOverFile << "install"
                                                                        << "package" << elsewhere;
        QTest::addRow("payload file over a non-empty folder%s", where) << FileOverFolder << "install"
                                                                       << "package" << elsewhere;
        QTest::addRow("unreadable source after replacements%s", where) << UnreadableSource << "install"
                                                                       << "package" << elsewhere;
        QTest::addRow("deletion list reaching outside the root%s", where) << OutsideEntries << "install"
                                                                          << "package" << elsewhere;
        QTest::addRow("spaces, non-ASCII letters, 100 nested folders%s", where)
            << DeepNames << QString::fromUtf8("Program Files/Halvorquintel Édition 更新")
            << QString::fromUtf8("paquet mis à jour 更新") << elsewhere;
    }
}

void TestFaults::failedRunIsRolledBack()
{
    QFETCH(Fault, fault);
    QFETCH(QString, rootName);
    QFETCH(QString, packageName);
    QFETCH(bool, packageElsewhere);
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    UpdaterProcessLock lock;
    FaultWorkspace ws(rootName, packageName, packageElsewhere);
    QVERIFY(ws.layOut());
    QStringList list{QStringLiteral("docs/obsolete.txt"), QStringLiteral("readme-link")};
    QString faults;
    // Proves the failure came after files were already replaced.
    QString replacedEarly;

    switch (fault) {
    case FolderOverFile:
        QVERIFY(writeFile(ws.path(QStringLiteral("zz-file")), "a file where the payload has a folder"));
        QVERIFY(writeFile(ws.env(QStringLiteral("zz-file/inside.txt")), "inside"));
        faults = QStringLiteral("folder zz-file/ over installed file, 5 tries");
        break;
    case FileOverFolder:
        QVERIFY(writeFile(ws.path(QStringLiteral("zz-folder/inside.txt")),
                          "a folder where the payload has a file"));
        QVERIFY(writeFile(ws.env(QStringLiteral("zz-folder")), "a file"));
        faults = QStringLiteral("file zz-folder over non-empty folder, 5 tries");
        break;
    case UnreadableSource: {
        for (char letter = 'a'; letter <= 'h'; ++letter) {
            const QString name = QStringLiteral("docs/part-%1.txt").arg(QLatin1Char(letter));
            QVERIFY(writeFile(ws.path(name), "old part"));
            QVERIFY(writeFile(ws.env(name), "new part"));
        }
        const QString link = linkListedAfter(ws.env(QStringLiteral("docs")), QStringLiteral("guide.txt"),
                                             QStringLiteral("/proc/self/mem"));
        QVERIFY2(!link.isEmpty(), "no link name lists after docs/guide.txt");
        replacedEarly = QStringLiteral("docs/guide.txt");
        faults = QStringLiteral("docs/") + link + QStringLiteral(" -> /proc/self/mem (reads fail), 5 tries");
        break;
    }
    case OutsideEntries: {
        QVERIFY(QFile::link(QStringLiteral("../outside-dir"), ws.path(QStringLiteral("link-out"))));
        QVERIFY(QFile::link(QStringLiteral("../outside.txt"), ws.path(QStringLiteral("file-link-out"))));
        QVERIFY(QDir().mkpath(ws.path(QStringLiteral("sub"))));
        list << QStringLiteral("../outside.txt") << QStringLiteral("sub/../../outside.txt")
             << QStringLiteral("link-out/victim.txt") << QStringLiteral("link-out/../keep-me/notes.txt")
             << QStringLiteral("bin/../../outside-dir/keep.txt") << ws.beside(QStringLiteral("outside.txt"))
             << QStringLiteral("file-link-out") << QStringLiteral("link-out");
        QVERIFY(writeFile(ws.path(QStringLiteral("zz-file")), "a file where the payload has a folder"));
        QVERIFY(writeFile(ws.env(QStringLiteral("zz-file/inside.txt")), "inside"));
        faults = QStringLiteral("8 list entries out of the root or via links, folder over file");
        break;
    }
    case DeepNames: {
        QString folder;
        for (int level = 1; level <= 100; ++level) {
            folder += QString::fromUtf8("niveau ü %1/").arg(level);
            QVERIFY(
                writeFile(ws.path(folder + QString::fromUtf8("fichier é %1.txt").arg(level)), "old level"));
            QVERIFY(
                writeFile(ws.env(folder + QString::fromUtf8("fichier é %1.txt").arg(level)), "new level"));
            QVERIFY(
                writeFile(ws.env(folder + QString::fromUtf8("nouveau 新 %1.txt").arg(level)), "added level"));
            if (level % 25 == 0) {
                const QString gone = folder + QString::fromUtf8("à supprimer 删除 %1.txt").arg(level);
                QVERIFY(writeFile(ws.path(gone), "listed"));
                list << gone;
            }
        }
        QVERIFY(writeFile(ws.path(folder + QString::fromUtf8("bloqué 阻")),
                          "a file where the payload has a folder"));
        QVERIFY(writeFile(ws.env(folder + QString::fromUtf8("bloqué 阻/dedans.txt")), "inside"));
        faults = QString::fromUtf8("folder over file at depth 100, 4 deep list entries, 5 tries");
        break;
    }
    }
    QVERIFY(ws.writeList(list));

    const auto installed = installationTree(ws.root());
    const auto packaged = snapshotTree(ws.package());
    const auto outside = ws.outsideTree();

    UpdaterRun run;
    QVERIFY(run.start(ws.updater(), {QStringLiteral("update"), ws.package()}, ws.work()));
    QVERIFY2(run.waitForLine({copyFinished}, FirstTryTimeout) == copyFinished, qPrintable(run.errorOutput()));
    // Between tries: the rollback has real changes to undo.
    const auto midRun = treeWithout(installationTree(ws.root()), {areaName});
    QVERIFY2(!treeDifferences(installed, midRun).isEmpty(),
             qPrintable(row + QStringLiteral(": the first try changed nothing")));
    if (!replacedEarly.isEmpty())
        QVERIFY2(midRun.value(replacedEarly) == packaged.value(QStringLiteral("Env/") + replacedEarly),
                 qPrintable(replacedEarly + QStringLiteral(" was not replaced before the unreadable file")));

    const QByteArray outcome = run.waitForEvent({rolledBack, notRolledBack}, OutcomeTimeout);
    QVERIFY2(run.isRunning(), qPrintable(row + QStringLiteral(": the updater ended: ") + run.errorOutput()));
    QVERIFY2(!run.hasLine(finished), qPrintable(row + QStringLiteral(": the product was relaunched")));
    const int productStarts = ws.productStarts();
    const QStringList stopRequests = ws.stopRequests();
    run.kill();

    const auto after = installationTree(ws.root());
    const QStringList lostDifferences = treeDifferences(installed, after);
    const QStringList packageDifferences = treeDifferences(packaged, snapshotTree(ws.package()));
    const QStringList outsideDifferences = treeDifferences(outside, ws.outsideTree());
    report(row, faults, installed.size() + packaged.size() + outside.size(), countLost(installed, after),
           packageDifferences.size() + outsideDifferences.size());

    QVERIFY2(lostDifferences.isEmpty(), qPrintable(describe(lostDifferences, ws.root())));
    QVERIFY2(packageDifferences.isEmpty(), qPrintable(describe(packageDifferences, ws.package())));
    QVERIFY2(outsideDifferences.isEmpty(), qPrintable(describe(outsideDifferences, ws.workspace())));
    QCOMPARE(outcome, rolledBack);
    QVERIFY2(!StartupEntry(ws.root()).exists(), "a start-up entry outlived the rollback");
    QCOMPARE(run.errorOutput().count(copyFinished), 5);
    QCOMPARE(readFile(ws.work() + QStringLiteral("/log.txt")), QByteArray("copy fail!"));
    // The run log tells support the same, beyond the one failure message.
    const QString runLog = QString::fromUtf8(readFile(run.runLogPath()));
    // Its first line names the package the run was given.
    QVERIFY2(
        runLog.section(QLatin1Char('\n'), 0, 0).contains(QLatin1Char('"') + ws.package() + QLatin1Char('"')),
        qPrintable(runLog));
    QCOMPARE(runLog.count(QLatin1Char(' ') + copyFinished + QLatin1Char('\n')), 5);
    QVERIFY2(runLog.contains(QLatin1Char(' ') + run.eventText(rolledBack) + QLatin1Char('\n')),
             qPrintable(runLog));
    QCOMPARE(productStarts, 0);
    QCOMPARE(stopRequests, QStringList{QStringLiteral("Halvorquintel")});
}

void TestFaults::fullFileSystemIsRolledBack_data()
{
    QTest::addColumn<FullDisk>("fullDisk");
    QTest::addColumn<int>("freeKiB"); // left for the journal on a tmpfs that holds the package too
    QTest::newRow("installation on a full file system") << PayloadOverflows << 0;
    // How far the first try's journal write gets decides where its record is cut.
    for (const int freeKiB : {4, 8, 12, 28})
        QTest::addRow("full disk, short journal write, %d KiB free", freeKiB) << JournalCutShort << freeKiB;
}

void TestFaults::fullFileSystemIsRolledBack()
{
    QFETCH(FullDisk, fullDisk);
    QFETCH(int, freeKiB);
    if (::geteuid() != 0)
        QSKIP("mounting a size-limited tmpfs in a private mount namespace needs root");
    const bool journalCut = fullDisk == JournalCutShort;
    UpdaterProcessLock lock;
    FaultWorkspace ws(QStringLiteral("install"), QStringLiteral("package"));
    QVERIFY(ws.layOut());
    constexpr int Clips = 24;
    constexpr int ClipSize = 128 * 1024;
    constexpr int LongNames = 200;
    const QString blocker = QStringLiteral("zzz");
    if (journalCut) {
        // Long names make the records of one batch far larger than the room left.
        for (int file = 0; file < LongNames; ++file) {
            const QString name = QStringLiteral("file-with-a-rather-long-name-number-%1.dat")
                                     .arg(file, 3, 10, QLatin1Char('0'));
            QVERIFY(writeFile(ws.path(name), "old " + name.toUtf8()));
            QVERIFY(writeFile(ws.env(name), "new " + name.toUtf8()));
        }
        // Listed last, it makes every try fail after all its moves.
        QVERIFY(writeFile(ws.path(blocker), "a file where the payload has a folder"));
        QVERIFY(writeFile(ws.env(blocker + QStringLiteral("/inside.txt")), "inside"));
    } else {
        for (int clip = 0; clip < Clips; ++clip) {
            const QString name = QStringLiteral("media/clip-%1.bin").arg(clip, 2, 10, QLatin1Char('0'));
            if (clip % 2 == 0)
                QVERIFY(writeFile(ws.path(name), block(1024, 'o')));
            QVERIFY(writeFile(ws.env(name), block(ClipSize, char('a' + clip))));
        }
    }
    QVERIFY(ws.writeList({QStringLiteral("docs/obsolete.txt"), QStringLiteral("readme-link")}));
    // Room for the installation and a few clips, not for all of them; or for installation and
    // package, which a filler then leaves only a few KiB beside.
    const qint64 size = journalCut ? usedBytes(ws.root()) + usedBytes(ws.package()) + 1024 * 1024
                                   : usedBytes(ws.root()) + 512 * 1024;
    // Of one length wherever the temporary folder is, so that the journal's records, and where the full
    // disk cuts them, stay the same.
    const QTemporaryDir mountFolder(QStringLiteral("/tmp/quillFern-disk-XXXXXX"));
    QVERIFY(mountFolder.isValid());
    const QString mountPoint = mountFolder.path();

    const auto staged = installationTree(ws.root());
    const auto packaged = snapshotTree(ws.package());
    const auto outside = ws.outsideTree();

    // Mounts, copies the installation (and the package, with "along") in, waits for the go, then
    // becomes the updater (same process id).
    const QString driver = QStringLiteral("mount -t tmpfs -o size=\"$2\" tmpfs \"$1\" || exit 3\n"
                                          "cp -a \"$3\" \"$1/install\" || exit 4\n"
                                          "package=\"$4\"\n"
                                          "if [ \"$5\" = along ]; then\n"
                                          "    cp -a \"$4\" \"$1/package\" || exit 4\n"
                                          "    package=\"$1/package\"\n"
                                          "fi\n"
                                          "echo ready >&2\n"
                                          "read go || exit 5\n"
                                          "exec \"$1/install/bin/quillFern\" update \"$package\"\n");
    UpdaterRun run;
    QVERIFY(run.start(QStringLiteral("unshare"),
                      {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                       QStringLiteral("sh"), QStringLiteral("-c"), driver, QStringLiteral("sh"), mountPoint,
                       QString::number(size), ws.root(), ws.package(),
                       journalCut ? QStringLiteral("along") : QStringLiteral("beside")},
                      ws.work()));
    if (run.waitForLine({QStringLiteral("ready")}, 30000).isEmpty()) {
        const bool ended = !run.isRunning();
        run.kill();
        const int status = run.process().exitCode();
        // unshare itself fails with 1, the mount with 3.
        if (ended && run.process().exitStatus() == QProcess::NormalExit && (status == 1 || status == 3))
            QSKIP(qPrintable(QStringLiteral("no private size-limited tmpfs here (status %1): %2")
                                 .arg(status)
                                 .arg(run.errorOutput().trimmed())));
        QFAIL(qPrintable(QStringLiteral("laying out the installation on the tmpfs failed: ") +
                         run.errorOutput()));
    }
    // The mount exists only in the driver's namespace, which its /proc entry shows.
    const QString disk = QStringLiteral("/proc/%1/root%2").arg(run.pid()).arg(mountPoint);
    const QString root = disk + QStringLiteral("/install");
    const QString package = journalCut ? disk + QStringLiteral("/package") : ws.package();
    const auto installed = installationTree(root);
    QVERIFY2(treeDifferences(staged, installed).isEmpty(),
             qPrintable(describe(treeDifferences(staged, installed), root)));
    QVERIFY(QDir(mountPoint).isEmpty());
    const QString filler = disk + QStringLiteral("/filler");
    if (journalCut) {
        QVERIFY2(treeDifferences(packaged, snapshotTree(package)).isEmpty(),
                 qPrintable(describe(treeDifferences(packaged, snapshotTree(package)), package)));
        const QString aside = disk + QStringLiteral("/aside");
        QVERIFY(QDir().mkpath(aside));
        // In name order, the blocker last: each try makes the same records, all its moves before it fails.
        const QString payload = package + QStringLiteral("/Env");
        const QStringList byName = QDir(payload).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        QCOMPARE(byName.value(byName.size() - 1), blocker);
        QVERIFY2(arrangeListing(payload, byName, aside),
                 qPrintable(payload + QStringLiteral(" is not listed by name")));
        QVERIFY(QDir().rmdir(aside));
        // The run's lock and the stop stand-in's record take a page each before the journal's first.
        const qint64 leave = (freeKiB + 2 * 4) * 1024;
        const qint64 available = freeBytes(disk);
        QVERIFY2(available > leave, qPrintable(QString::number(available)));
        QVERIFY(writeFile(filler, QByteArray(int(available - leave), 'f')));
        QCOMPARE(freeBytes(disk), leave);
    }
    run.process().write("go\n");

    QVERIFY2(run.waitForLine({copyFinished}, FirstTryTimeout) == copyFinished, qPrintable(run.errorOutput()));
    if (journalCut) {
        // The disk has room again from the second try on.
        QVERIFY(QFile::remove(filler));
    } else {
        int clipsIn = 0;
        for (int clip = 0; clip < Clips; ++clip) {
            const QString name = QStringLiteral("/media/clip-%1.bin").arg(clip, 2, 10, QLatin1Char('0'));
            clipsIn += readFile(root + name) == block(ClipSize, char('a' + clip)) ? 1 : 0;
        }
        QVERIFY2(clipsIn > 0 && clipsIn < Clips,
                 qPrintable(QStringLiteral("%1 of %2 clips in after the first try").arg(clipsIn).arg(Clips)));
    }

    const QByteArray outcome = run.waitForEvent({rolledBack, notRolledBack}, OutcomeTimeout);
    QVERIFY2(run.isRunning(), qPrintable(QStringLiteral("the updater ended: ") + run.errorOutput()));
    QVERIFY2(!run.hasLine(finished), "the product was relaunched");
    const auto after = installationTree(root);
    const auto packageAfter = snapshotTree(package);
    const QByteArray productStarts = readFile(root + QStringLiteral("/bin/product-starts.log"));
    const QByteArray stopRequests = readFile(root + QStringLiteral("/bin/stop-requests.log"));
    run.kill();

    const QStringList lostDifferences = treeDifferences(installed, after);
    const QStringList packageDifferences = treeDifferences(packaged, packageAfter);
    const QStringList outsideDifferences = treeDifferences(outside, ws.outsideTree());
    report(QString::fromUtf8(QTest::currentDataTag()),
           journalCut ? QStringLiteral("%1 KiB tmpfs, %2 long names moved, folder over file, 5 tries")
                            .arg(size / 1024)
                            .arg(LongNames)
                      : QStringLiteral("%1 KiB tmpfs, %2 x 128 KiB payload, ENOSPC, 5 tries")
                            .arg(size / 1024)
                            .arg(Clips),
           installed.size() + packaged.size() + outside.size(), countLost(installed, after),
           packageDifferences.size() + outsideDifferences.size());

    QVERIFY2(lostDifferences.isEmpty(), qPrintable(describe(lostDifferences, root)));
    QVERIFY2(packageDifferences.isEmpty(), qPrintable(describe(packageDifferences, package)));
    QVERIFY2(outsideDifferences.isEmpty(), qPrintable(describe(outsideDifferences, ws.workspace())));
    QCOMPARE(outcome, rolledBack);
    QCOMPARE(readFile(ws.work() + QStringLiteral("/log.txt")), QByteArray("copy fail!"));
    QCOMPARE(productStarts, QByteArray());
    QCOMPARE(stopRequests, QByteArray("Halvorquintel\n"));
    // A journal write the full disk cut short says why, for support to see.
    const QString runLog = QString::fromUtf8(readFile(run.runLogPath()));
    QVERIFY2(runLog.contains(QLatin1Char(' ') + run.eventText(rolledBack) + QLatin1Char('\n')),
             qPrintable(runLog));
    // The journal, as the updater names it in its own mount namespace.
    const QString journal = QStringLiteral("/install/%1/journal\": ").arg(areaName);
    if (journalCut)
        QVERIFY2(runLog.contains(journal),
                 qPrintable(QStringLiteral("no journal write was cut short: ") + runLog));
    for (const QString &line : runLog.split(QLatin1Char('\n'))) {
        QVERIFY2(!line.contains(QLatin1String("Unknown error")),
                 qPrintable(line)); // Qt's, for no reason given
        if (line.contains(journal))
            QVERIFY2(line.contains(journal + qt_error_string(ENOSPC)), qPrintable(line));
    }
}

void TestFaults::killedRunIsFinishedByNextRun_data()
{
    QTest::addColumn<int>("killAt");            // journal records written when the kill comes
    QTest::addColumn<bool>("packageDeleted");   // before the next run, which then can only roll back
    QTest::addColumn<bool>("listNamesUpdater"); // which the start-up entry runs
    QTest::newRow("killed early") << 200 << false << false;
    QTest::newRow("killed half-way") << 2000 << false << false;
    QTest::newRow("killed late") << 15000 << false << false;
    QTest::newRow("killed half-way, the list naming the updater") << 2000 << false << true;
    // Each of 8 folders of 500 replaced files has its 1000 records written before its moves: at 5000
    // records the first 4 are in place.
    QTest::newRow("killed half-way, package deleted") << 5000 << true << false;
}

void TestFaults::killedRunIsFinishedByNextRun()
{
    QFETCH(int, killAt);
    QFETCH(bool, packageDeleted);
    QFETCH(bool, listNamesUpdater);
    UpdaterProcessLock lock;
    FaultWorkspace ws(QStringLiteral("install"), QStringLiteral("package"));
    QVERIFY(ws.layOut());
    QStringList list;
    if (packageDeleted) {
        // Every payload file replaces an installed one; added files and a deletion list besides.
        constexpr int Parts = 8;
        constexpr int FilesPerPart = 500;
        for (int part = 0; part < Parts; ++part) {
            for (int file = 0; file < FilesPerPart; ++file) {
                const QString name = QStringLiteral("bulk/part-%1/file-%2.txt").arg(part).arg(file);
                QVERIFY(writeFile(ws.path(name), "old " + name.toUtf8()));
                QVERIFY(writeFile(ws.env(name), "new " + name.toUtf8()));
            }
        }
        for (int number = 1; number <= 3; ++number) {
            QVERIFY(writeFile(ws.env(QStringLiteral("adir/added-%1.txt").arg(number)), "added"));
            list << QStringLiteral("bin/plugin-%1.dll").arg(number);
            QVERIFY(writeFile(ws.path(list.last()), "old plugin"));
        }
    } else {
        list = QStringList{QStringLiteral("docs/obsolete.txt"), QStringLiteral("readme-link")};
        constexpr int Parts = 40;
        constexpr int FilesPerPart = 500;
        for (int part = 0; part < Parts; ++part) {
            for (int file = 0; file < FilesPerPart; ++file) {
                const QString name = QStringLiteral("bulk/part-%1/file-%2.txt").arg(part).arg(file);
                if (file % 10 == 0)
                    QVERIFY(writeFile(ws.path(name), "old " + name.toUtf8()));
                QVERIFY(writeFile(ws.env(name), "new " + name.toUtf8()));
            }
        }
        for (int big = 0; big < 4; ++big) {
            const QString name = QStringLiteral("media/big-%1.bin").arg(big);
            if (big % 2 == 0)
                QVERIFY(writeFile(ws.path(name), block(1024, 'o')));
            QVERIFY(writeFile(ws.env(name), block(8 * 1024 * 1024, char('a' + big))));
        }
    }
    const QString updater = QStringLiteral("bin/") + QFileInfo(ws.updater()).fileName();
    QVERIFY(ws.writeList(listNamesUpdater ? list + QStringList{updater} : list));

    const auto installed = installationTree(ws.root());
    const auto outside = ws.outsideTree();
    const auto payload =
        treeWithout(snapshotTree(ws.package() + QStringLiteral("/Env")), {QStringLiteral("del.xml")});
    // With the package gone nothing can complete the update: the next run puts the old version back.
    const auto expected = packageDeleted ? installed : updatedTree(installed, list, payload);

    int recordsAtKill = 0;
    {
        UpdaterRun first;
        QVERIFY(first.start(ws.updater(), {QStringLiteral("update"), ws.package()}, ws.work()));
        QElapsedTimer clock;
        clock.start();
        while (first.isRunning() && clock.elapsed() < FirstTryTimeout && recordsAtKill < killAt) {
            QTest::qSleep(2);
            recordsAtKill = journalLines(ws.root());
        }
        first.kill();
        QVERIFY2(recordsAtKill >= killAt,
                 qPrintable(QStringLiteral("the copy never got going: ") + first.errorOutput()));
        QVERIFY2(!first.hasLine(copyFinished), "the copy finished before the kill");
    }
    const auto killed = installationTree(ws.root());
    // Nothing torn: every payload file is whole, still in the package or in its place.
    const auto leftInPackage = snapshotTree(ws.package() + QStringLiteral("/Env"));
    for (auto it = payload.cbegin(); it != payload.cend(); ++it)
        QVERIFY2(leftInPackage.value(it.key()) == it.value() || killed.value(it.key()) == it.value(),
                 qPrintable(it.key()));
    QVERIFY2(killed.contains(areaName), "no backup area after the kill");
    QVERIFY2(!treeDifferences(installed, treeWithout(killed, {areaName})).isEmpty(),
             "the killed run changed nothing");
    QVERIFY2(!treeDifferences(expected, treeWithout(killed, {areaName})).isEmpty(),
             "the killed run had finished");
    QCOMPARE(ws.productStarts(), 0);
    // The user removes the package the killed run had half moved into the installation.
    if (packageDeleted)
        QVERIFY2(QDir(ws.package()).removeRecursively(), qPrintable(ws.package()));

    // The next logon runs the command the killed run left in its start-up entry.
    const StartupEntry entry(ws.root());
    QVERIFY2(entry.exists(), qPrintable(entry.location()));
    const QStringList command = desktopEntryCommand(entry.location());
    QCOMPARE(command, (QStringList{ws.updater(), QStringLiteral("update"), ws.package()}));
    UpdaterRun second;
    QVERIFY(second.start(command.value(0), command.mid(1), ws.work()));
    if (!packageDeleted)
        QVERIFY2(second.waitForLine({finished}, OutcomeTimeout) == finished,
                 qPrintable(second.errorOutput()));
    // The product runs again either way; the self-stop is the last thing the run does.
    QTRY_COMPARE_WITH_TIMEOUT(ws.productStarts(), 1, OutcomeTimeout);
    QVERIFY2(ended(second, 10000), "the run did not end after its self-stop");
    // Every line it wrote, up to its end.
    second.waitForLine(QStringList(), 0);

    const auto after = installationTree(ws.root());
    const QStringList differences = treeDifferences(expected, after);
    const QStringList outsideDifferences = treeDifferences(outside, ws.outsideTree());
    report(QString::fromUtf8(QTest::currentDataTag()) + QStringLiteral(", then run again"),
           QStringLiteral("SIGKILL at %1 journal records, %2 payload entries, %3")
               .arg(recordsAtKill)
               .arg(payload.size())
               .arg(packageDeleted ? QStringLiteral("deleted") : QStringLiteral("rerun")),
           expected.size() + outside.size(), countLost(expected, after), outsideDifferences.size());

    QVERIFY2(differences.isEmpty(), qPrintable(describe(differences, ws.root())));
    QVERIFY2(outsideDifferences.isEmpty(), qPrintable(describe(outsideDifferences, ws.workspace())));
    if (packageDeleted) {
        // A journal whose package is gone is no damaged one.
        QVERIFY2(second.countEvent("quillfern.journal.record-skipped") == 0,
                 qPrintable(second.errorOutput()));
        QVERIFY2(!second.hasLine(QStringLiteral("delete finish!")), "a deletion list was applied");
        QVERIFY2(!QFileInfo::exists(ws.package()),
                 qPrintable(ws.package() + QStringLiteral(" was made again")));
        QVERIFY2(!QFileInfo::exists(ws.path(lockName)), "the lock outlived the run");
        QVERIFY2(!entry.exists(), "the start-up entry outlived the run that rolled the update back");
        QCOMPARE(ws.productStarts(), 1);
        return;
    }
    QVERIFY(second.countEvent(interruptedRun) == 1);
    QVERIFY(second.hasLine(QStringLiteral("100!")));
    if (listNamesUpdater)
        QVERIFY(second.countEvent("quillfern.run.not-deleted", QStringLiteral("\"%1\"").arg(updater)) == 1);
    QVERIFY2(!QFileInfo::exists(ws.package()), qPrintable(ws.package()));
    QVERIFY2(!QFileInfo::exists(ws.path(areaName)), qPrintable(ws.path(areaName)));
    QVERIFY(!QFileInfo::exists(ws.work() + QStringLiteral("/log.txt")));
    QVERIFY2(!entry.exists(), "the start-up entry outlived the run that finished the update");
    QCOMPARE(ws.productStarts(), 1);
    QCOMPARE(ws.stopRequests(),
             QStringList({QStringLiteral("Halvorquintel"), QStringLiteral("Halvorquintel")}));
}

void TestFaults::everyEndingLeavesInstallationWhole_data()
{
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<bool>("rolledBack");
    QTest::newRow("closed between tries") << CloseBetweenTries << true;
    QTest::newRow("closed during the stage") << CloseDuringStage << true;
    QTest::newRow("stop program missing") << StopProgramMissing << false;
    QTest::newRow("stop program hanging") << StopProgramHanging << false;
    QTest::newRow("second updater at once") << SecondUpdaterAtOnce << false;
    QTest::newRow("second updater after 1 s") << SecondUpdaterWhileWaiting << false;
    QTest::newRow("second updater during the stage") << SecondUpdaterDuringStage << false;
    QTest::newRow("empty lock left by an updater that crashed") << EmptyLockLeftBehind << false;
    QTest::newRow("trash that cannot be removed, then a second run") << TrashThatCannotGo << false;
    QTest::newRow("self-update of bin/") << SelfUpdate << false;
}

// Each way a run can end, by the whole tree: a rolled-back run leaves installation and
// package as they were, any other one the update complete and the package gone.
void TestFaults::everyEndingLeavesInstallationWhole()
{
    QFETCH(Ending, ending);
    QFETCH(bool, rolledBack);
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    UpdaterProcessLock lock;
    FaultWorkspace ws(QStringLiteral("install"), QStringLiteral("package"));
    QVERIFY(ws.layOut());
    const QStringList list{QStringLiteral("docs/obsolete.txt"), QStringLiteral("readme-link")};
    QVERIFY(ws.writeList(list));
    // At the real pace the first run waits 3 s for its first try, which the second one must meet.
    if (ending == SecondUpdaterWhileWaiting)
        QVERIFY(ws.installUpdater());
    const int bulk = ending == CloseDuringStage || ending == SecondUpdaterDuringStage ? 4000 : 0;
    for (int file = 0; file < bulk; ++file) {
        const QString name = QStringLiteral("bulk/part-%1/file-%2.txt").arg(file / 200).arg(file);
        if (file % 4 == 0)
            QVERIFY(writeFile(ws.path(name), "old"));
        QVERIFY(writeFile(ws.env(name), "new " + name.toUtf8()));
    }
    if (rolledBack) {
        QVERIFY(writeFile(ws.path(QStringLiteral("zz-file")), "a file where the payload has a folder"));
        QVERIFY(writeFile(ws.env(QStringLiteral("zz-file/inside.txt")), "inside"));
    }
    const QString stop = ws.binDir() + QStringLiteral("/tskill");
    QString stuck;
    switch (ending) {
    case StopProgramMissing:
        QVERIFY(QFile::remove(stop));
        break;
    case StopProgramHanging:
        QVERIFY(writeFile(stop, "#!/bin/sh\necho \"$*\" >> \"$(dirname \"$0\")/stop-requests.log\"\n"
                                "exec sleep 120\n"));
        break;
    case TrashThatCannotGo:
        // Left by an earlier run whose clean-up could not finish; root needs the immutable flag.
        stuck = ws.path(QStringLiteral(".quillFern-trash/earlier/files/bin/product.dat"));
        QVERIFY(writeFile(stuck, "an original still in use"));
        QVERIFY(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), stuck}) == 0 ||
                QFile::setPermissions(QFileInfo(stuck).absolutePath(), QFile::ReadOwner | QFile::ExeOwner));
        break;
    case EmptyLockLeftBehind: {
        // Created and never written: it names no updater, live or dead.
        QFile lock(ws.path(lockName));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        QVERIFY(
            lock.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        break;
    }
    case SelfUpdate:
        QVERIFY(QFile::copy(ws.updater(), ws.env(QStringLiteral("bin/quillFern"))));
        QVERIFY(writeFile(ws.env(QStringLiteral("bin/tskill")), readFile(stop) + "# the new stop program\n"));
        QVERIFY(makeExecutable(ws.env(QStringLiteral("bin/tskill"))));
        QVERIFY(writeFile(ws.path(QStringLiteral("bin/libhelper.so.1")), "old library"));
        QVERIFY(writeFile(ws.env(QStringLiteral("bin/libhelper.so.1")), "new library"));
        break;
    default:
        break;
    }

    const auto installed = treeWithout(installationTree(ws.root()), {QStringLiteral(".quillFern-trash")});
    const auto packaged = snapshotTree(ws.package());
    const auto outside = ws.outsideTree();
    const auto payload =
        treeWithout(snapshotTree(ws.package() + QStringLiteral("/Env")), {QStringLiteral("del.xml")});
    const auto expected = rolledBack ? installed : updatedTree(installed, list, payload);

    const QByteArray leaving = "quillfern.lock.busy";
    UpdaterRun run;
    UpdaterRun second;
    UpdaterRun *updating = &run;
    UpdaterRun *leaver = &second;
    QString program = ws.updater();
    QStringList arguments{QStringLiteral("update"), ws.package()};
    if (ending == StopProgramMissing) {
        // Without a stop program the updater ends every Halvorquintel of the user itself: in a
        // process namespace of its own it sees no process but its own.
        const QStringList ownNamespace{QStringLiteral("--pid"), QStringLiteral("--fork"),
                                       QStringLiteral("--mount-proc"), QStringLiteral("--kill-child")};
        if (QProcess::execute(QStringLiteral("unshare"),
                              ownNamespace + QStringList{QStringLiteral("true")}) != 0)
            QSKIP("needs unshare and the right to make a process namespace (root)");
        // The namespace ends with its first process, and takes the product the updater has just
        // started with it: a shell outlives the updater until the product has noted its start.
        const QString thenWaitForProduct =
            QStringLiteral("\"$@\"; status=$?; tries=0; while [ ! -s '%1' ] && [ $tries -lt 100 ]; "
                           "do sleep 0.05; tries=$((tries + 1)); done; exit $status")
                .arg(ws.path(QStringLiteral("bin/product-starts.log")));
        arguments = ownNamespace +
                    QStringList{QStringLiteral("sh"), QStringLiteral("-c"), thenWaitForProduct,
                                QStringLiteral("sh"), program} +
                    arguments;
        program = QStringLiteral("unshare");
    }
    QVERIFY(run.start(program, arguments, ws.work()));
    switch (ending) {
    case CloseBetweenTries:
        QVERIFY2(run.waitForLine({copyFinished}, FirstTryTimeout) == copyFinished,
                 qPrintable(run.errorOutput()));
        QVERIFY(::kill(pid_t(run.pid()), SIGTERM) == 0);
        break;
    case CloseDuringStage:
        QVERIFY2(waitForJournal(run, ws.root(), 100), qPrintable(run.errorOutput()));
        QVERIFY(::kill(pid_t(run.pid()), SIGTERM) == 0);
        break;
    case SecondUpdaterAtOnce:
    case SecondUpdaterWhileWaiting:
    case SecondUpdaterDuringStage:
        if (ending == SecondUpdaterWhileWaiting)
            QTest::qWait(1000);
        if (ending == SecondUpdaterDuringStage)
            QVERIFY2(waitForJournal(run, ws.root(), 100), qPrintable(run.errorOutput()));
        QVERIFY(second.start(ws.updater(), {QStringLiteral("update"), ws.package()}, ws.work()));
        // Started together, either may take the installation; the other one leaves.
        for (int wait = 0; wait < 100 && !second.countEvent(leaving) && !run.countEvent(leaving); ++wait) {
            second.waitForEvent({leaving}, 50);
            run.waitForEvent({leaving}, 50);
        }
        if (run.countEvent(leaving))
            std::swap(updating, leaver);
        QVERIFY2(leaver->countEvent(leaving) == 1, qPrintable(leaver->errorOutput()));
        QVERIFY2(ended(*leaver, 10000), "the second updater did not leave at once");
        QCOMPARE(leaver->process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(leaver->process().exitCode(), 0);
        break;
    default:
        break;
    }
    QVERIFY2(ended(*updating, OutcomeTimeout), qPrintable(row + QStringLiteral(": still running")));
    QCOMPARE(updating->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(updating->process().exitCode(), 0);
    if (ending == TrashThatCannotGo) {
        // A second run, over what the first one installed, must not roll it back.
        QVERIFY(writeFile(ws.env(QStringLiteral("docs/guide.txt")), "new guide"));
        UpdaterRun again;
        QVERIFY(again.start(ws.updater(), {QStringLiteral("update"), ws.package()}, ws.work()));
        QVERIFY2(ended(again, OutcomeTimeout), qPrintable(again.errorOutput()));
        QVERIFY2(again.countEvent(interruptedRun) == 0, qPrintable(again.errorOutput()));
        QVERIFY(QFileInfo::exists(stuck));
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), stuck});
        QFile::setPermissions(QFileInfo(stuck).absolutePath(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    const auto after = treeWithout(installationTree(ws.root()), {QStringLiteral(".quillFern-trash")});
    const QStringList differences = treeDifferences(expected, after);
    const QStringList packageDifferences =
        rolledBack ? treeDifferences(packaged, snapshotTree(ws.package())) : QStringList();
    const QStringList outsideDifferences = treeDifferences(outside, ws.outsideTree());
    report(row,
           rolledBack ? QStringLiteral("rolled back, package kept")
                      : QStringLiteral("completed, package removed"),
           expected.size() + (rolledBack ? packaged.size() : 0) + outside.size(), countLost(expected, after),
           packageDifferences.size() + outsideDifferences.size());

    QVERIFY2(differences.isEmpty(), qPrintable(describe(differences, ws.root())));
    QVERIFY2(packageDifferences.isEmpty(), qPrintable(describe(packageDifferences, ws.package())));
    QVERIFY2(outsideDifferences.isEmpty(), qPrintable(describe(outsideDifferences, ws.workspace())));
    QCOMPARE(QFileInfo::exists(ws.package()), rolledBack);
    QVERIFY2(!QFileInfo::exists(ws.path(lockName)), "the lock outlived the run");
    QVERIFY2(!StartupEntry(ws.root()).exists(), "a start-up entry outlived the run");
    // The product is started detached: its record of the start may come just after the run ends.
    QTRY_COMPARE_WITH_TIMEOUT(ws.productStarts(), rolledBack ? 0 : (ending == TrashThatCannotGo ? 2 : 1),
                              OutcomeTimeout);
    if (ending != StopProgramMissing)
        QCOMPARE(ws.stopRequests().count(QStringLiteral("Halvorquintel")),
                 ending == TrashThatCannotGo ? 2 : 1);
    // Without tskill the updater stopped the product by name itself, and still ended with its run.
    if (ending == StopProgramMissing) {
        const QString runLog = QString::fromUtf8(readFile(updating->runLogPath()));
        updating->waitForEvent(QByteArrayList(), 0); // what it wrote last
        const QString endingHere = updating->eventText("quillfern.stop.ending-here");
        QVERIFY2(endingHere.contains(QStringLiteral("Halvorquintel")), qPrintable(updating->errorOutput()));
        QVERIFY2(runLog.contains(endingHere), qPrintable(runLog));
    }
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
