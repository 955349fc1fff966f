#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

#include <unistd.h>

#include "testsupport.h"

namespace {
// Before any thread starts. LazyFS keeps what was flushed in a folder below
// it and drops the rest at a cut: that folder lies in a file system in memory,
// where a flush that reaches it never waits on the machine's disk.
[[maybe_unused]] const bool inMemory =
    PrivateMounts::enterOwnMountNamespace() && PrivateMounts::keepTemporaryFilesInMemory();
} // namespace

// Power cuts at chosen instants of a run, on LazyFS: a FUSE file system that
// keeps every byte not flushed file by file in memory and drops it when the
// power is "cut". The installed updater runs on it; after each cut the next
// run is started with the command the start-up entry holds, as the next
// logon would, and the power is cut again once that run has ended. What is on
// the disk below then must be the whole new version.
class TestLazyFs : public QObject
{
    Q_OBJECT

public:
    enum Placement {
        Copied, // the package on another file system
        Moved,  // the package beside the installation, on the same file system; LazyFS gives its
                // files no identity that outlasts a remount, so its files are copied all the same
    };
    Q_ENUM(Placement)
    enum EntryAfterCut { Gone, Kept, Either };
    Q_ENUM(EntryAfterCut)

private slots:
    void initTestCase();
    void cleanupTestCase();
    void powerCutLeavesWholeVersion_data();
    void powerCutLeavesWholeVersion();

private:
    std::unique_ptr<QTemporaryDir> tools;
    QString lazyfs;
    QString updaterBuild;
};

namespace {

constexpr int RunTimeout = 60000;
constexpr int Parts = 4;
constexpr int FilesPerPart = 60;

const QString installName = QStringLiteral("install");
const QString packageName = QStringLiteral("package");

// A mount of LazyFS over a backing folder, "the disk". Unmounted however the test ends.
class LazyFsMount
{
public:
    LazyFsMount(const QString &program, const QString &base)
        : program(program)
        , base(base)
    {
        lazyfs.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~LazyFsMount() { unmount(); }
    LazyFsMount(const LazyFsMount &) = delete;
    LazyFsMount &operator=(const LazyFsMount &) = delete;

    QString mountPoint() const { return base + QStringLiteral("/mnt"); }
    QString disk() const { return base + QStringLiteral("/disk"); }
    QString fifo() const { return base + QStringLiteral("/faults"); }

    bool mount(QString *error)
    {
        const QString config = base + QStringLiteral("/lazyfs.toml");
        QDir().mkpath(mountPoint());
        QDir().mkpath(disk());
        // The cache is taken up front: a small one keeps many mounts cheap.
        writeFile(config, QStringLiteral("[faults]\nfifo_path=\"%1\"\n"
                                         "[cache]\napply_eviction=false\n"
                                         "[cache.simple]\ncustom_size=\"64mb\"\nblocks_per_page=1\n"
                                         "[filesystem]\nlog_all_operations=false\nlogfile=\"%2\"\n")
                              .arg(fifo(), base + QStringLiteral("/lazyfs.log"))
                              .toUtf8());
        output.clear();
        lazyfs.start(program, {mountPoint(), QStringLiteral("--config-path"), config, QStringLiteral("-o"),
                               QStringLiteral("modules=subdir"), QStringLiteral("-o"),
                               QStringLiteral("subdir=") + disk(), QStringLiteral("-f")});
        if (!lazyfs.waitForStarted()) {
            *error = QStringLiteral("LazyFS did not start: ") + lazyfs.errorString();
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            if (isMounted())
                return true;
            if (lazyfs.waitForFinished(50)) {
                *error = QStringLiteral("LazyFS ended at once: ") + takeOutput();
                return false;
            }
        }
        *error = QStringLiteral("LazyFS did not mount within 20 s: ") + takeOutput();
        unmount();
        return false;
    }

    bool isMounted() const
    {
        const QByteArray mounts = readFile(QStringLiteral("/proc/self/mounts"));
        return mounts.contains(' ' + QFile::encodeName(mountPoint()) + ' ');
    }

    bool command(const QByteArray &line)
    {
        QFile faults(fifo());
        return faults.open(QIODevice::WriteOnly) && faults.write(line + '\n') == line.size() + 1;
    }

    // The power goes: every byte not flushed is gone, and the file system goes on.
    bool cutPower()
    {
        if (!command("lazyfs::clear-cache"))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            lazyfs.waitForReadyRead(50);
            if (takeOutput().contains(QStringLiteral("cache is cleared")))
                return true;
        }
        return false;
    }

    // A cut armed with command(): the file system kills itself at that operation.
    bool waitForCut(int timeoutMs) { return lazyfs.waitForFinished(timeoutMs) || !isMounted(); }

    void unmount()
    {
        if (isMounted())
            QProcess::execute(QStringLiteral("fusermount3"),
                              {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint()});
        if (lazyfs.state() != QProcess::NotRunning) {
            lazyfs.terminate();
            if (!lazyfs.waitForFinished(10000)) {
                lazyfs.kill();
                lazyfs.waitForFinished(10000);
            }
        }
    }

    QString takeOutput()
    {
        output += QString::fromUtf8(lazyfs.readAll());
        return output;
    }

private:
    const QString program;
    const QString base;
    QProcess lazyfs;
    QString output;
};

// What a run leaves of the stand-ins, which write through the file system unflushed, is theirs.
QMap<QString, QString> installationTree(const QString &root)
{
    auto tree = snapshotTree(root);
    tree.remove(QStringLiteral("bin/stop-requests.log"));
    tree.remove(QStringLiteral("bin/product-starts.log"));
    return tree;
}

QByteArray content(const QString &name, int size)
{
    QByteArray bytes = name.toUtf8() + ' ';
    while (bytes.size() < size)
        bytes += bytes;
    return bytes.left(size);
}

// The installation with the updater and stand-ins in bin/, an update of 240
// files (half replacing installed ones, half new) with a deletion list that
// also names a file the payload brings back, and, for a failed first run,
// a folder where the payload has a file.
bool layOut(const QString &root, const QString &package, const QString &updater, bool blocked)
{
    bool ok = QDir().mkpath(root + QStringLiteral("/bin")) &&
              QFile::copy(updater, root + QStringLiteral("/bin/quillFern")) &&
              makeExecutable(root + QStringLiteral("/bin/quillFern")) &&
              writeFile(root + QStringLiteral("/bin/tskill"),
                        "#!/bin/sh\necho \"$*\" >> \"$(dirname \"$0\")/stop-requests.log\"\n") &&
              makeExecutable(root + QStringLiteral("/bin/tskill")) &&
              writeFile(root + QStringLiteral("/bin/Halvorquintel"),
                        "#!/bin/sh\necho started >> \"$(dirname \"$0\")/product-starts.log\"\n") &&
              makeExecutable(root + QStringLiteral("/bin/Halvorquintel")) &&
              writeFile(root + QStringLiteral("/docs/obsolete.txt"), "obsolete") &&
              writeFile(root + QStringLiteral("/docs/guide.txt"), "old guide") &&
              writeFile(root + QStringLiteral("/data/settings.ini"), "the user's settings") &&
              writeFile(package + QStringLiteral("/Env/docs/guide.txt"), "new guide") &&
              writeFile(package + QStringLiteral("/Env/added/deep/er/file.txt"), "added") &&
              writeFile(package + QStringLiteral("/Env/del.xml"),
                        "<DelLs><f>docs/obsolete.txt</f><f>docs/guide.txt</f></DelLs>");
    for (int part = 0; part < Parts && ok; ++part) {
        for (int file = 0; file < FilesPerPart && ok; ++file) {
            const QString name =
                QStringLiteral("payload/part-%1/f-%2.dat").arg(part).arg(file, 3, 10, QLatin1Char('0'));
            if (file % 2 == 0)
                ok = writeFile(root + QLatin1Char('/') + name, content(QStringLiteral("old ") + name, 2000));
            ok = ok && writeFile(package + QStringLiteral("/Env/") + name,
                                 content(QStringLiteral("new ") + name, 1000 + 97 * file));
        }
    }
    if (blocked)
        ok = ok &&
             writeFile(root + QStringLiteral("/zz-blocked/inside.txt"),
                       "a folder where the payload has a file") &&
             writeFile(package + QStringLiteral("/Env/zz-blocked"), "a file");
    return ok;
}

// What the whole update makes of `installed`.
QMap<QString, QString> updatedTree(QMap<QString, QString> installed, const QMap<QString, QString> &payload)
{
    installed.remove(QStringLiteral("docs/obsolete.txt"));
    for (auto it = payload.cbegin(); it != payload.cend(); ++it) {
        if (it.key() != QLatin1String("del.xml"))
            installed.insert(it.key(), it.value());
    }
    return installed;
}

// LazyFS reads a command of at most 99 bytes, and sees the paths of the disk
// below: patterns start with ".*". A rename is picked by where it goes only.
QString renameCut(const QString &to)
{
    return QStringLiteral("lazyfs::crash::timing=after::op=rename::from_rgx=x::to_rgx=") + to;
}

QString cut(const char *timing, const char *op, const QString &path)
{
    return QStringLiteral("lazyfs::crash::timing=%1::op=%2::from_rgx=.*%3")
        .arg(QLatin1String(timing), QLatin1String(op), path);
}

} // namespace

void TestLazyFs::initTestCase()
{
    QVERIFY2(QFileInfo::exists(QStringLiteral("/dev/fuse")),
             "/dev/fuse is missing: LazyFS needs FUSE (run on a machine or container with /dev/fuse)");
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("fusermount3")).isEmpty(),
             "fusermount3 is missing: install the Debian package fuse3 (tools/install-deps.sh does)");
    const QString tarball =
        qEnvironmentVariable("QUILLFERN_LAZYFS_TARBALL", QStringLiteral(QUILLFERN_LAZYFS_TARBALL));
    QVERIFY2(QFileInfo::exists(tarball), qPrintable(QStringLiteral("no LazyFS at ") + tarball));
    // LazyFS takes any argument holding "-o", in any case, for a mount option: no dash in these names.
    QVERIFY2(!QDir::tempPath().contains(QStringLiteral("-o"), Qt::CaseInsensitive),
             qPrintable(QStringLiteral("the temporary folder's name holds \"-o\", which LazyFS misreads: ") +
                        QDir::tempPath()));
    tools = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/lazyfsXXXXXX"));
    QVERIFY(tools->isValid());
    QCOMPARE(QProcess::execute(QStringLiteral("tar"),
                               {QStringLiteral("-xJf"), tarball, QStringLiteral("-C"), tools->path()}),
             0);
    lazyfs = tools->filePath(QStringLiteral("lazyfs/bin/lazyfs"));
    QVERIFY(QFileInfo(lazyfs).isExecutable());
    // Another build of the updater can be put to the same test, one without flushes say.
    updaterBuild =
        qEnvironmentVariable("QUILLFERN_UPDATER_UNDER_TEST", QStringLiteral(QUILLFERN_QUICK_EXECUTABLE));

    // A mount that works at all, or the reason why not.
    QTemporaryDir probe(QDir::tempPath() + QStringLiteral("/lazyfsXXXXXX"));
    LazyFsMount mount(lazyfs, probe.path());
    QString error;
    QVERIFY2(mount.mount(&error), qPrintable(QStringLiteral("cannot mount LazyFS: ") + error));
    QVERIFY(writeFile(mount.mountPoint() + QStringLiteral("/flushed"), "kept"));
    QVERIFY(writeFile(mount.mountPoint() + QStringLiteral("/unflushed"), "lost"));
    {
        QFile flushed(mount.mountPoint() + QStringLiteral("/flushed"));
        QVERIFY(flushed.open(QIODevice::ReadWrite));
        QCOMPARE(::fsync(flushed.handle()), 0);
    }
    QVERIFY(mount.cutPower());
    mount.unmount();
    // The test means something only where unflushed data is lost and flushed data kept.
    QCOMPARE(readFile(mount.disk() + QStringLiteral("/flushed")), QByteArray("kept"));
    QCOMPARE(readFile(mount.disk() + QStringLiteral("/unflushed")), QByteArray());
    qInfo("| %-56s | %4s | %7s | %5s | %5s |", "power cut", "runs", "checked", "wrong", "empty");
}

void TestLazyFs::cleanupTestCase()
{
    tools.reset();
}

void TestLazyFs::powerCutLeavesWholeVersion_data()
{
    QTest::addColumn<Placement>("placement");
    // Cuts armed before a run, one per run that is cut; the last run is never cut while it runs.
    QTest::addColumn<QStringList>("cuts");
    QTest::addColumn<bool>("blocked"); // the first run fails and is rolled back
    QTest::addColumn<bool>("packageFlushed");
    // Whether the cut came before the run ended whole, so that the next logon finishes it: Kept or
    // Gone; Either where a recovery cut short goes to the failure state, whose rollback may end
    // before the run is gone.
    QTest::addColumn<EntryAfterCut>("entryAfterCut");

    const QString journal = QStringLiteral("backup/journal");
    // The original that the deletion list set aside goes back late in the undo, as the oldest change.
    const QString putBack = renameCut(QStringLiteral("install/docs/obsolete\\.txt$"));
    const QString landing = renameCut(QStringLiteral("install/payload/part-1/f-030\\.dat$"));
    const QString beforeLanding = QString(landing).replace(QStringLiteral("timing=after"),
                                                           QStringLiteral("timing=before"));
    for (const Placement placement : {Copied, Moved}) {
        const char *where = placement == Copied ? "package elsewhere" : "package beside";
        QTest::addRow("first journal write, %s", where)
            << placement << QStringList{cut("before", "write", journal)} << false << true << Kept;
        QTest::addRow("a file lands, %s", where)
            << placement << QStringList{landing} << false << true << Kept;
        // The original is kept in the area, and the new file not yet in its place.
        QTest::addRow("between the original's keeping and the new file's landing, %s", where)
            << placement << QStringList{beforeLanding} << false << true << Kept;
        QTest::addRow("a deletion, %s", where)
            << placement << QStringList{renameCut(QStringLiteral("backup/files/docs/obsolete\\.txt$"))}
            << false << true << Kept;
        QTest::addRow("the commit, %s", where)
            << placement << QStringList{cut("before", "unlink", journal)} << false << true << Kept;
        QTest::addRow("just after the commit, %s", where)
            << placement << QStringList{cut("after", "unlink", journal)} << false << true << Kept;
        QTest::addRow("the originals' removal, %s", where)
            << placement << QStringList{cut("after", "unlink", QStringLiteral("Fern-trash/.*"))} << false
            << true << Gone;
        QTest::addRow("the failure's rollback, %s", where)
            << placement << QStringList{putBack} << true << true << Kept;
        QTest::addRow("the recovery of a cut run, %s", where)
            << placement << QStringList{landing, putBack} << false << true << Either;
        QTest::addRow("none while it runs, %s%s", where, placement == Moved ? " never flushed" : "")
            << placement << QStringList() << false << (placement == Copied) << Kept;
    }
}

void TestLazyFs::powerCutLeavesWholeVersion()
{
    QFETCH(Placement, placement);
    QFETCH(QStringList, cuts);
    QFETCH(bool, blocked);
    QFETCH(bool, packageFlushed);
    QFETCH(EntryAfterCut, entryAfterCut);
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    UpdaterProcessLock lock;
    QTemporaryDir base(QDir::tempPath() + QStringLiteral("/lazyfsXXXXXX"));
    QTemporaryDir elsewhere;
    QTemporaryDir configHome;
    QVERIFY(base.isValid() && elsewhere.isValid() && configHome.isValid());
    LazyFsMount mount(lazyfs, base.path());
    const QString diskRoot = mount.disk() + QLatin1Char('/') + installName;
    const QString root = mount.mountPoint() + QLatin1Char('/') + installName;
    const QString package = placement == Copied ? elsewhere.filePath(packageName)
                                                : mount.mountPoint() + QLatin1Char('/') + packageName;
    // Laid out on the disk below, as a product that flushed its package leaves it.
    const QString stagedPackage =
        placement == Copied ? package : mount.disk() + QLatin1Char('/') + packageName;
    const QString unflushed = base.filePath(QStringLiteral("unflushed-package"));
    QVERIFY(layOut(diskRoot, packageFlushed ? stagedPackage : unflushed, updaterBuild, blocked));
    auto installed = installationTree(diskRoot);
    if (blocked) {
        installed.remove(QStringLiteral("zz-blocked"));
        installed.remove(QStringLiteral("zz-blocked/inside.txt"));
    }
    const auto payload = snapshotTree((packageFlushed ? stagedPackage : unflushed) + QStringLiteral("/Env"));
    const auto expected = updatedTree(installed, payload);
    // The installed files the update replaces: at every cut, each is there, old or new.
    QStringList replaced;
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        if (payload.contains(it.key()) && payload.value(it.key()) != it.value())
            replaced << it.key();
    }
    QVERIFY(replaced.contains(QStringLiteral("payload/part-1/f-030.dat")));

    QString error;
    QVERIFY2(mount.mount(&error), qPrintable(error));
    if (!packageFlushed) {
        // Unpacked through the file system and never flushed, as a careless product leaves it.
        QVERIFY(QDir().mkpath(package));
        QCOMPARE(QProcess::execute(QStringLiteral("cp"),
                                   {QStringLiteral("-r"), unflushed + QStringLiteral("/Env"), package}),
                 0);
    }

    // Every run of this row, and the start-up entries they leave, see this row's configuration.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    QStringList command{root + QStringLiteral("/bin/quillFern"), QStringLiteral("update"), package};
    int runs = 0;
    QStringList occupants;
    const auto unmountOccupants = qScopeGuard([&occupants] {
        for (const QString &occupant : qAsConst(occupants))
            PrivateMounts::unmount(occupant);
    });
    for (const QString &cut : cuts) {
        QVERIFY(mount.command(cut.toUtf8()));
        {
            UpdaterRun run;
            QVERIFY(run.start(command.value(0), command.mid(1), elsewhere.path()));
            ++runs;
            QVERIFY2(mount.waitForCut(RunTimeout),
                     qPrintable(row + QStringLiteral(": the cut never came; the run wrote: ") +
                                run.errorOutput()));
            run.kill();
        }
        for (const QString &path : qAsConst(replaced))
            QVERIFY2(QFileInfo::exists(diskRoot + QLatin1Char('/') + path),
                     qPrintable(row + QStringLiteral(": no file at ") + path + QStringLiteral(" after the cut")));
        // The next boot: the file system comes back over what reached the disk,
        // and may come back under another device number; a file system mounted
        // meanwhile takes the one it had, where the test can mount one.
        mount.unmount();
        QVERIFY(QDir().mkpath(base.filePath(QStringLiteral("occupant-%1").arg(runs))));
        if (PrivateMounts::mountTmpfs(base.filePath(QStringLiteral("occupant-%1").arg(runs))))
            occupants << base.filePath(QStringLiteral("occupant-%1").arg(runs));
        if (blocked) {
            // Whatever held the folder in place is gone by the next run.
            QVERIFY(QDir(diskRoot + QStringLiteral("/zz-blocked")).removeRecursively());
            blocked = false;
        }
        QVERIFY2(mount.mount(&error), qPrintable(error));
        // The next logon runs what the start-up entry holds; without one the product hands over again.
        const QStringList entries = autostartFiles(configHome.path());
        QVERIFY2(entryAfterCut == Either ? entries.size() <= 1 : entries.size() == (entryAfterCut == Kept ? 1 : 0),
                 qPrintable(row + QStringLiteral(": start-up entries after the cut: ") +
                            entries.join(QLatin1Char(' '))));
        if (!entries.isEmpty())
            command = desktopEntryCommand(entries.first());
        QCOMPARE(command,
                 (QStringList{root + QStringLiteral("/bin/quillFern"), QStringLiteral("update"), package}));
    }

    QString lastOutput;
    {
        UpdaterRun last;
        QVERIFY(last.start(command.value(0), command.mid(1), elsewhere.path()));
        ++runs;
        QVERIFY2(last.waitForLine({QStringLiteral("100!")}, RunTimeout) == QStringLiteral("100!"),
                 qPrintable(row + QStringLiteral(": the last run did not complete: ") + last.errorOutput()));
        QVERIFY2(last.process().state() == QProcess::NotRunning || last.process().waitForFinished(RunTimeout),
                 qPrintable(row + QStringLiteral(": the last run did not end")));
        lastOutput = last.errorOutput();
    }
    // The power goes right after the run ended.
    QVERIFY(mount.isMounted());
    QVERIFY(mount.cutPower());
    mount.unmount();

    const auto after = installationTree(diskRoot);
    const QStringList differences = treeDifferences(expected, after);
    int empty = 0;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        empty += QFileInfo(diskRoot + QLatin1Char('/') + it.key()).isFile() &&
                         QFileInfo(diskRoot + QLatin1Char('/') + it.key()).size() == 0
                     ? 1
                     : 0;
    qInfo("| %-56s | %4d | %7d | %5d | %5d |", qPrintable(row), runs, int(expected.size()),
          int(differences.size()), empty);
    QVERIFY2(differences.isEmpty(),
             qPrintable(row + QStringLiteral(": ") + differences.mid(0, 8).join(QStringLiteral("; ")) +
                        QStringLiteral("\nThe last run wrote:\n") + lastOutput));
    const QString packageOnDisk =
        placement == Copied ? package : mount.disk() + QLatin1Char('/') + packageName;
    QVERIFY2(!QFileInfo::exists(packageOnDisk), qPrintable(packageOnDisk));
    QVERIFY2(autostartFiles(configHome.path()).isEmpty(),
             qPrintable(row + QStringLiteral(": a start-up entry was left")));
}

QTEST_MAIN(TestLazyFs)
#include "tst_lazyfs.moc"
