#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>

#include "testsupport.h"

namespace {
// Before any thread starts: faultfs is mounted in the test's own mount
// namespace, and every file of the test (the disk below faultfs included)
// lies in a file system in memory.
[[maybe_unused]] const bool inMemory =
    PrivateMounts::enterOwnMountNamespace() && PrivateMounts::keepTemporaryFilesInMemory();
} // namespace

// I/O errors at every step of a run: whole updates on faultfs, a FUSE
// passthrough that fails the n-th call that changes something (see
// tests/faultfs/faultfs.cpp for the calls it counts), with EIO, ENOSPC,
// EACCES or EROFS, once (a passing fault) or from then on (a disk gone bad);
// the opens and reads of the deletion list count too.
// A clean run counts the positions; each row then arms one of them. Whatever
// fails, a run that says "Finish!" has put the whole new version in place,
// a run that gives up after a passing fault has left the old version and the
// whole package, the next run on a healthy disk completes the update, and no
// installed file the update keeps or replaces is ever missing.
class TestIoErrors : public QObject
{
    Q_OBJECT

public:
    enum Placement {
        Moved,  // the package beside the installation, on the same file system
        Copied, // the package on another file system
    };
    Q_ENUM(Placement)
    enum Mode {
        Once,       // only the n-th call fails
        FromThenOn, // the n-th and every later call fail, until the disk is mounted again
    };
    Q_ENUM(Mode)

private slots:
    void initTestCase();
    void faultWhileMoving_data();
    void faultWhileMoving();
    void faultWhileCopying_data();
    void faultWhileCopying();

private:
    void addRows(Placement placement);
    void sweep(Placement placement);
};

namespace {

constexpr int OutcomeTimeout = 60000;
constexpr int EndTimeout = 20000;
constexpr int MountTimeout = 20000;

const QString finished = QStringLiteral("Finish!");
// The events after which the updater waits in its failure state, its restart button shown: after a
// rollback, whole or not, or having changed nothing, the installation being one it cannot write.
const QByteArrayList failureEvents{"quillfern.run.rolled-back", "quillfern.run.rollback-stopped",
                                   "quillfern.run.not-writable"};

const QString installName = QStringLiteral("install");
const QString packageName = QStringLiteral("package");
const QString lockName = QStringLiteral(".quillFern.lock");
const QString areaName = QStringLiteral(".quillFern-backup");
const QString trashName = QStringLiteral(".quillFern-trash");
const QString journal = areaName + QStringLiteral("/journal");

const QStringList errnoNames{QStringLiteral("EIO"), QStringLiteral("ENOSPC"), QStringLiteral("EACCES"),
                             QStringLiteral("EROFS")};

// The sampling, to keep both tables side by side within a few minutes: EIO
// once at every position of a moved package, and at a random half of the
// positions of a copied one, which has more; EIO from then on at the first
// position and every 8th; and each other error number in either mode at a
// random position. The random draws take a fixed seed, so that every run of
// the test arms the same rows.
constexpr int FromThenOnStride = 8;
constexpr quint32 SampleSeed = 0x5eed1;

// The counted calls of one mount, as faultfs logs them: "<n> <op> <path>[ <path>][ failed]".
QStringList loggedCalls(const QString &log)
{
    return QString::fromUtf8(readFile(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString firstFailedCall(const QString &log)
{
    for (const QString &line : loggedCalls(log)) {
        if (line.endsWith(QLatin1String(" failed")))
            return line.chopped(7);
    }
    return QString();
}

// faultfs over a backing folder, "the disk". Unmounted however the test ends.
class FaultFsMount
{
public:
    FaultFsMount(const QString &backing, const QString &mountPoint)
        : backing(backing)
        , mountPoint(mountPoint)
    {
        faultfs.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~FaultFsMount() { unmount(); }
    FaultFsMount(const FaultFsMount &) = delete;
    FaultFsMount &operator=(const FaultFsMount &) = delete;

    // `failAt` 0 only counts.
    bool mount(qint64 failAt, const QString &errnoName, TestIoErrors::Mode mode, const QString &log,
               const QString &watch, const QString &gaps, QString *error)
    {
        QDir().mkpath(mountPoint);
        faultfs.start(QStringLiteral(QUILLFERN_FAULTFS_EXECUTABLE),
                      {QStringLiteral("--backing=") + backing, QStringLiteral("--fail-at=%1").arg(failAt),
                       QStringLiteral("--errno=") + errnoName,
                       QStringLiteral("--mode=") +
                           (mode == TestIoErrors::Once ? QStringLiteral("once") : QStringLiteral("persist")),
                       QStringLiteral("--log=") + log, QStringLiteral("--watch=") + watch,
                       QStringLiteral("--gaps=") + gaps, QStringLiteral("--count-reads-of=del.xml"),
                       mountPoint, QStringLiteral("-f"),
                       QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("fsname=faultfs")});
        if (!faultfs.waitForStarted()) {
            *error = QStringLiteral("faultfs did not start: ") + faultfs.errorString();
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < MountTimeout) {
            if (isMounted())
                return true;
            if (faultfs.waitForFinished(20)) {
                *error = QStringLiteral("faultfs ended at once: ") + QString::fromUtf8(faultfs.readAll());
                return false;
            }
        }
        *error = QStringLiteral("faultfs did not mount: ") + QString::fromUtf8(faultfs.readAll());
        unmount();
        return false;
    }

    bool isMounted() const
    {
        const QByteArray mounts = readFile(QStringLiteral("/proc/self/mounts"));
        return mounts.contains(' ' + QFile::encodeName(mountPoint) + ' ');
    }

    // Detached at once; faultfs ends when the kernel lets go of it.
    void unmount()
    {
        if (isMounted())
            PrivateMounts::unmount(mountPoint);
        if (faultfs.state() != QProcess::NotRunning && !faultfs.waitForFinished(10000)) {
            faultfs.terminate();
            if (!faultfs.waitForFinished(10000)) {
                faultfs.kill();
                faultfs.waitForFinished(10000);
            }
        }
    }

private:
    const QString backing;
    const QString mountPoint;
    QProcess faultfs;
};

QByteArray content(const QString &name, int size)
{
    QByteArray bytes = name.toUtf8() + ' ';
    while (bytes.size() < size)
        bytes += bytes;
    return bytes.left(size);
}

// The stand-ins record their starts outside the disk, where no fault reaches them.
bool writeStandIns(const QString &root, const QString &records)
{
    const QString stop = root + QStringLiteral("/bin/tskill");
    const QString product = root + QStringLiteral("/bin/Halvorquintel");
    return writeFile(
               stop,
               QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1/stop-requests.log'\n").arg(records).toUtf8()) &&
           makeExecutable(stop) &&
           writeFile(product, QStringLiteral("#!/bin/sh\necho started >> '%1/product-starts.log'\n")
                                  .arg(records)
                                  .toUtf8()) &&
           makeExecutable(product);
}

// Installed files the update replaces, relative to the root.
const QStringList replaced{
    QStringLiteral("bin/product.dat"), QStringLiteral("bin/run.sh"),  QStringLiteral("readme.txt"),
    QStringLiteral("docs/guide.txt"),  QStringLiteral("lib/core.so"),
};
const QString obsolete = QStringLiteral("docs/obsolete.txt");

// An installation of 11 files and an update of 9: 5 replacing installed
// ones, 1 new in an existing folder, 3 in a new folder (one of them deeper),
// and the deletion list removing one file.
bool layOutUpdate(const QString &root, const QString &package, const QString &records)
{
    const QString env = package + QStringLiteral("/Env/");
    const QString bin = root + QStringLiteral("/bin/quillFern");
    bool ok =
        QDir().mkpath(root + QStringLiteral("/bin")) &&
        QFile::copy(QStringLiteral(QUILLFERN_QUICK_EXECUTABLE), bin) && makeExecutable(bin) &&
        writeStandIns(root, records) &&
        writeFile(root + QStringLiteral("/data/config.ini"), "the user's settings") &&
        writeFile(root + QStringLiteral("/lib/extra.so"), content(QStringLiteral("extra"), 3000)) &&
        writeFile(root + QLatin1Char('/') + obsolete, "obsolete") &&
        writeFile(env + QStringLiteral("docs/new-topic.txt"), "a new topic") &&
        writeFile(env + QStringLiteral("plugins/a.plugin"), content(QStringLiteral("plugin a"), 5000)) &&
        writeFile(env + QStringLiteral("plugins/b.plugin"), "plugin b") &&
        writeFile(env + QStringLiteral("plugins/deep/c.plugin"), "plugin c") &&
        writeFile(env + QStringLiteral("del.xml"), "<DelLs><f>" + obsolete.toUtf8() + "</f></DelLs>");
    for (const QString &file : replaced) {
        const int size = file.endsWith(QLatin1String(".so")) ? 200 * 1024 : 100;
        ok = ok && writeFile(root + QLatin1Char('/') + file, content(QStringLiteral("old ") + file, size)) &&
             writeFile(env + file, content(QStringLiteral("new ") + file, size + 17));
    }
    ok = ok && makeExecutable(root + QStringLiteral("/bin/run.sh")) &&
         makeExecutable(env + QStringLiteral("bin/run.sh"));
    return ok;
}

// What the whole update makes of `installed`.
QMap<QString, QString> updatedTree(QMap<QString, QString> installed, const QMap<QString, QString> &payload)
{
    installed.remove(obsolete);
    for (auto it = payload.cbegin(); it != payload.cend(); ++it) {
        if (it.key() != QLatin1String("del.xml") &&
            (!it.value().startsWith(QLatin1String("dir")) || !installed.contains(it.key())))
            installed.insert(it.key(), it.value());
    }
    return installed;
}

// The installation without the updater's bookkeeping, which a failed call may leave for a later run:
// the lock, the backup area and the trash.
QMap<QString, QString> withoutBookkeeping(const QMap<QString, QString> &tree)
{
    return treeWithout(tree, {lockName, areaName, trashName});
}

QString describe(const QStringList &differences)
{
    return differences.mid(0, 8).join(QStringLiteral("; "));
}

// How a run ended.
struct Ending
{
    bool finished = false; // said "Finish!"
    bool gaveUp = false;   // waited in its failure state, and was killed there; else it ended by itself
    QString output;
};

// Waits until the run ends by itself or waits in its failure state (killed there, as a user closing
// the machine would); false when it does neither.
bool settle(UpdaterRun &run, Ending *ending)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < OutcomeTimeout) {
        const bool failing = !run.waitForEvent(failureEvents, 100).isEmpty();
        if (!run.isRunning() || run.hasLine(finished))
            break;
        if (failing) {
            ending->gaveUp = true;
            run.kill();
            break;
        }
    }
    if (run.hasLine(finished)) {
        ending->finished = true;
        // The product is started, then the self-stop: it ends by itself.
        if (run.process().state() != QProcess::NotRunning && !run.process().waitForFinished(EndTimeout))
            return false;
    }
    if (run.isRunning())
        return false;
    run.waitForLine(QStringList(), 0);
    ending->output = run.errorOutput();
    return true;
}

// One row's disk, mount, package and records, in temporary folders of its own.
class Rig
{
public:
    explicit Rig(TestIoErrors::Placement placement)
        : base(QDir::tempPath() + QStringLiteral("/ioerrorsXXXXXX"))
        , mount(disk(), mountPoint())
        , placement(placement)
    {}

    bool isValid() const { return base.isValid() && elsewhere.isValid() && configHome.isValid(); }
    QString disk() const { return base.path() + QStringLiteral("/disk"); }
    QString mountPoint() const { return base.path() + QStringLiteral("/mnt"); }
    QString records() const { return base.path() + QStringLiteral("/records"); }
    QString diskRoot() const { return disk() + QLatin1Char('/') + installName; }
    QString root() const { return mountPoint() + QLatin1Char('/') + installName; }
    QString work() const { return elsewhere.filePath(QStringLiteral("work")); }
    // Where the updater is told the package is, and where it lies below faultfs.
    QString package() const
    {
        return placement == TestIoErrors::Moved ? mountPoint() + QLatin1Char('/') + packageName
                                                : elsewhere.filePath(packageName);
    }
    QString diskPackage() const
    {
        return placement == TestIoErrors::Moved ? disk() + QLatin1Char('/') + packageName
                                                : elsewhere.filePath(packageName);
    }
    QString watchList() const { return base.path() + QStringLiteral("/watch"); }
    QString gaps(int mountNumber) const { return base.path() + QStringLiteral("/gaps-%1").arg(mountNumber); }
    QString log(int mountNumber) const { return base.path() + QStringLiteral("/calls-%1").arg(mountNumber); }

    bool layOut()
    {
        QStringList watched;
        for (const QString &file :
             replaced + QStringList{QStringLiteral("bin/quillFern"), QStringLiteral("bin/tskill"),
                                    QStringLiteral("bin/Halvorquintel"), QStringLiteral("data/config.ini"),
                                    QStringLiteral("lib/extra.so")})
            watched << installName + QLatin1Char('/') + file;
        return QDir().mkpath(records()) && QDir().mkpath(work()) &&
               layOutUpdate(diskRoot(), diskPackage(), records()) &&
               writeFile(watchList(), watched.join(QLatin1Char('\n')).toUtf8() + '\n');
    }

    bool mountDisk(qint64 failAt, const QString &errnoName, TestIoErrors::Mode mode, int mountNumber,
                   QString *error)
    {
        return mount.mount(failAt, errnoName, mode, log(mountNumber), watchList(), gaps(mountNumber), error);
    }
    void unmountDisk() { mount.unmount(); }

    // Runs the installed updater on the package until it settles; every run of a row sees the row's
    // configuration, its start-up entries included.
    bool run(Ending *ending)
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
        const int startsBefore = productStarts();
        UpdaterRun run;
        if (!run.start(root() + QStringLiteral("/bin/quillFern"), {QStringLiteral("update"), package()},
                       work()))
            return false;
        if (!settle(run, ending))
            return false;
        // The product, started detached from the disk as the run ends, must find its program there
        // before the disk goes: the stand-in notes its start, or the wait runs out and the row fails.
        QElapsedTimer clock;
        clock.start();
        while (ending->finished && productStarts() == startsBefore && clock.elapsed() < EndTimeout)
            QTest::qSleep(10);
        return true;
    }

    QMap<QString, QString> installation() const { return snapshotTree(diskRoot()); }
    QMap<QString, QString> packageTree() const { return snapshotTree(diskPackage()); }
    int productStarts() const
    {
        return readFile(records() + QStringLiteral("/product-starts.log")).count('\n');
    }
    QStringList startupEntries() const { return autostartFiles(configHome.path()); }

private:
    QTemporaryDir base;
    QTemporaryDir elsewhere;
    QTemporaryDir configHome;
    FaultFsMount mount;
    const TestIoErrors::Placement placement;
};

struct Count
{
    int positions = 0;
    QString error;
};

// The clean run of each placement, whose counted calls are the positions the rows arm.
Count countPositions(TestIoErrors::Placement placement)
{
    Count count;
    Rig rig(placement);
    if (!rig.isValid() || !rig.layOut()) {
        count.error = QStringLiteral("cannot lay the installation out");
        return count;
    }
    const auto expected =
        updatedTree(rig.installation(), snapshotTree(rig.diskPackage() + QStringLiteral("/Env")));
    if (!rig.mountDisk(0, errnoNames.first(), TestIoErrors::Once, 0, &count.error))
        return count;
    Ending ending;
    if (!rig.run(&ending)) {
        count.error = QStringLiteral("the clean run did not end");
        return count;
    }
    rig.unmountDisk();
    // Its gaps, if any, are the "no fault" row's to show.
    const QStringList differences = treeDifferences(expected, rig.installation());
    if (!ending.finished || !differences.isEmpty() || QFileInfo::exists(rig.diskPackage())) {
        count.error = QStringLiteral("the clean run did not update cleanly: %1; output:\n%2")
                          .arg(describe(differences), ending.output);
        return count;
    }
    count.positions = loggedCalls(rig.log(0)).size();
    if (count.positions == 0)
        count.error = QStringLiteral("faultfs counted no call");
    return count;
}

QMap<TestIoErrors::Placement, Count> &counts()
{
    static QMap<TestIoErrors::Placement, Count> known;
    return known;
}

const char rowFormat[] = "| %-34s | %-58s | %-9s | %-8s |";

} // namespace

void TestIoErrors::initTestCase()
{
    if (!PrivateMounts::ownMountNamespace())
        QSKIP("mounting faultfs in a mount namespace of the test's own needs root");
    QVERIFY2(QFileInfo::exists(QStringLiteral("/dev/fuse")),
             "/dev/fuse is missing: faultfs needs FUSE (run on a machine or container with /dev/fuse)");
    QVERIFY2(QFileInfo(QStringLiteral(QUILLFERN_FAULTFS_EXECUTABLE)).isExecutable(),
             QUILLFERN_FAULTFS_EXECUTABLE);
    qInfo(rowFormat, "row", "the call that failed first", "first run", "next run");
}

void TestIoErrors::addRows(Placement placement)
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<QString>("errnoName");
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QString>("countError");

    if (!PrivateMounts::ownMountNamespace()) {
        QTest::newRow("no mount namespace") << qint64(0) << QString() << Once << QString();
        return;
    }
    if (!counts().contains(placement))
        counts().insert(placement, countPositions(placement));
    const Count count = counts().value(placement);
    const char *where = placement == Moved ? "moved" : "copied";
    if (!count.error.isEmpty()) {
        QTest::addRow("%s, clean run", where) << qint64(0) << QString() << Once << count.error;
        return;
    }
    qInfo("%s: %d positions", where, count.positions);
    const int n = count.positions;
    QTest::addRow("%s, no fault", where) << qint64(0) << QStringLiteral("EIO") << Once << QString();
    QRandomGenerator random(SampleSeed);
    for (int position = 1; position <= n; ++position) {
        if (placement == Moved || random.bounded(2) == 0)
            QTest::addRow("%s, EIO once at %d", where, position)
                << qint64(position) << QStringLiteral("EIO") << Once << QString();
    }
    QList<int> fromThenOn{1};
    for (int position = FromThenOnStride; position <= n; position += FromThenOnStride)
        fromThenOn << position;
    for (const int position : qAsConst(fromThenOn))
        QTest::addRow("%s, EIO from %d on", where, position)
            << qint64(position) << QStringLiteral("EIO") << FromThenOn << QString();
    for (const QString &errnoName : errnoNames.mid(1)) {
        for (const Mode mode : {Once, FromThenOn}) {
            const qint64 position = 1 + random.bounded(n);
            if (mode == Once)
                QTest::addRow("%s, %s once at %lld", where, qPrintable(errnoName), position)
                    << position << errnoName << mode << QString();
            else
                QTest::addRow("%s, %s from %lld on", where, qPrintable(errnoName), position)
                    << position << errnoName << mode << QString();
        }
    }
}

void TestIoErrors::sweep(Placement placement)
{
    QFETCH(qint64, position);
    QFETCH(QString, errnoName);
    QFETCH(Mode, mode);
    QFETCH(QString, countError);
    if (!PrivateMounts::ownMountNamespace())
        QSKIP("mounting faultfs in a mount namespace of the test's own needs root");
    QVERIFY2(countError.isEmpty(), qPrintable(countError));
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    UpdaterProcessLock lock;
    Rig rig(placement);
    QVERIFY(rig.isValid());
    QVERIFY(rig.layOut());
    const auto installed = rig.installation();
    const auto packaged = rig.packageTree();
    const auto expected = updatedTree(installed, snapshotTree(rig.diskPackage() + QStringLiteral("/Env")));

    QString error;
    QVERIFY2(rig.mountDisk(position, errnoName, mode, 1, &error), qPrintable(error));
    Ending first;
    QVERIFY2(rig.run(&first), qPrintable(row + QStringLiteral(": the run neither ended nor gave up")));
    rig.unmountDisk();
    const QString failedCall = firstFailedCall(rig.log(1));
    const auto afterFirst = rig.installation();
    const auto packageAfterFirst = rig.packageTree();
    const QString context =
        QStringLiteral("%1: the call that failed first: %2\nThe first run wrote:\n%3")
            .arg(row, failedCall.isEmpty() ? QStringLiteral("none") : failedCall, first.output);

    if (position == 0)
        QVERIFY2(first.finished,
                 qPrintable(QStringLiteral("a run without a fault did not finish\n") + context));
    Ending next;
    if (!first.finished) {
        // The fault is gone: the disk comes back healthy, and the update is run again, as the
        // start-up entry would.
        QVERIFY2(rig.mountDisk(0, errnoName, mode, 2, &error), qPrintable(error));
        QVERIFY2(rig.run(&next),
                 qPrintable(row + QStringLiteral(": the next run neither ended nor gave up")));
        rig.unmountDisk();
    }
    qInfo(rowFormat, qPrintable(row), qPrintable(failedCall.isEmpty() ? QStringLiteral("none") : failedCall),
          first.finished ? "finished" : (first.gaveUp ? "gave up" : "ended"),
          first.finished ? "-" : (next.finished ? "finished" : (next.gaveUp ? "gave up" : "ended")));

    // A run may say it finished only over the whole new version, with nothing left to roll it back.
    if (first.finished) {
        const QStringList differences = treeDifferences(expected, withoutBookkeeping(afterFirst));
        QVERIFY2(differences.isEmpty(), qPrintable(QStringLiteral("finished, but: ") + describe(differences) +
                                                   QLatin1Char('\n') + context));
        QVERIFY2(!afterFirst.contains(journal),
                 qPrintable(QStringLiteral("finished, journal left\n") + context));
        // A disk gone bad after the commit may keep the package; a passing fault may not.
        QVERIFY2(!QFileInfo::exists(rig.diskPackage()) || mode == FromThenOn,
                 qPrintable(QStringLiteral("finished, package left\n") + context));
    } else if (mode == Once) {
        // A passing fault that made the run give up: the old version, and the whole package to apply again.
        const QStringList differences = treeDifferences(installed, withoutBookkeeping(afterFirst));
        QVERIFY2(differences.isEmpty(), qPrintable(QStringLiteral("gave up, but: ") + describe(differences) +
                                                   QLatin1Char('\n') + context));
        const QStringList packageDifferences = treeDifferences(packaged, packageAfterFirst);
        QVERIFY2(packageDifferences.isEmpty(),
                 qPrintable(QStringLiteral("gave up, package: ") + describe(packageDifferences) +
                            QLatin1Char('\n') + context));
    }
    if (!first.finished) {
        const QString nextContext = context + QStringLiteral("\nThe next run wrote:\n") + next.output;
        QVERIFY2(next.finished, qPrintable(QStringLiteral("the next run did not finish\n") + nextContext));
        // On a healthy disk nothing is left behind: no bookkeeping, no package.
        const QStringList differences = treeDifferences(expected, rig.installation());
        QVERIFY2(differences.isEmpty(), qPrintable(QStringLiteral("next run: ") + describe(differences) +
                                                   QLatin1Char('\n') + nextContext));
        QVERIFY2(!QFileInfo::exists(rig.diskPackage()),
                 qPrintable(QStringLiteral("next run, package left\n") + nextContext));
    }
    // The product runs again once, on whichever version: after the finish, never after giving up.
    QVERIFY2(rig.productStarts() == 1,
             qPrintable(QStringLiteral("the product was started %1 times\n").arg(rig.productStarts()) +
                        context + QStringLiteral("\nThe next run wrote:\n") + next.output));
    QVERIFY2(rig.startupEntries().isEmpty(),
             qPrintable(QStringLiteral("a start-up entry was left\n") + context));
    // Call numbers count from 1 again on each mount.
    QStringList gaps;
    for (int mountNumber : {1, 2}) {
        QString missing = QString::fromUtf8(readFile(rig.gaps(mountNumber))).trimmed();
        if (!missing.isEmpty())
            gaps << (mountNumber == 1 ? QStringLiteral("first run: ") : QStringLiteral("next run: ")) +
                        missing.replace(QLatin1Char('\n'), QStringLiteral(", "));
    }
    QVERIFY2(gaps.isEmpty(), qPrintable(QStringLiteral("installed files missing after calls: ") +
                                        gaps.join(QStringLiteral("; ")) + QLatin1Char('\n') + context));
}

void TestIoErrors::faultWhileMoving_data()
{
    addRows(Moved);
}

void TestIoErrors::faultWhileMoving()
{
    sweep(Moved);
}

void TestIoErrors::faultWhileCopying_data()
{
    addRows(Copied);
}

void TestIoErrors::faultWhileCopying()
{
    sweep(Copied);
}

QTEST_MAIN(TestIoErrors)
#include "tst_ioerrors.moc"
