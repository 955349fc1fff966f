#include <QTranslator>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <memory>

#ifdef Q_OS_UNIX
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>

#include <thread>

#include "win32calls_p.h"
#endif

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "fileops.h"
#include "installationupdate.h"
#include "place.h"
#include "testsupport.h"

namespace {

// Gives every failure-log write a file of its own (log-1.txt, log-2.txt, ...),
// so a test sees each message the copy wrote, in order.
class SequencingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int n) const override
    {
        Q_UNUSED(context)
        Q_UNUSED(disambiguation)
        Q_UNUSED(n)
        if (qstrcmp(sourceText, "log.txt") != 0)
            return QString();
        return QStringLiteral("log-%1.txt").arg(++writes);
    }
    bool isEmpty() const override { return false; }

    mutable int writes = 0;
};

// Temporary files a copy left in the installation, outside its bookkeeping.
QStringList temporaryFiles(const QString &root)
{
    QStringList found;
    for (const QString &path : snapshotTree(root).keys()) {
        if (QFileInfo(path).fileName().startsWith(QLatin1String(".quillFern-")) &&
            !path.startsWith(QLatin1String(".quillFern-backup")))
            found << path;
    }
    return found;
}

} // namespace

namespace {
// Before any thread starts: the bind mounts of these tests stay in this process.
const bool ownMounts = PrivateMounts::enterOwnMountNamespace();
} // namespace

class TestCopy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void movedOnlyWithOneName_data();
    void movedOnlyWithOneName();
    void emptyPayload_data();
    void emptyPayload();
    void nestedPayloadReplacesAndCreates();
    void skippedEntries();
    void barCountsWhatIsCopied_data();
    void barCountsWhatIsCopied();
    void folderOverFileFailsWithMessageSequence();
    void fileOverFolderKeepsFolder();
    void listingOrderStopsAtFirstFailure();
    void unreadableSourceKeepsInstalledFile();
    void fileSizeLimitKeepsInstalledFile();
    void folderLinkCycleFails_data();
    void folderLinkCycleFails();
    void payloadFolderLinks_data();
    void payloadFolderLinks();
    void installedMountPoints_data();
    void installedMountPoints();
    void transientRefusalsRiddenOut_data();
    void transientRefusalsRiddenOut();
    void marksOfTheWebDropped_data();
    void marksOfTheWebDropped();
    void windowsShortcutsAreFiles_data();
    void windowsShortcutsAreFiles();
    void specialEntriesLeftOut_data();
    void specialEntriesLeftOut();
    void namesAndPermissionsCarried();
    void successAfterFailureKeepsLog();

private:
    QString env(const QString &relative = QString()) const;
    // Everything beside the installation and the package, which no copy may touch.
    QMap<QString, QString> surroundings() const;
    QStringList copyWithMessageSequence(bool *ok);

    std::unique_ptr<Workspace> ws;
    std::unique_ptr<DlgUpdate> dlg;
    std::unique_ptr<InstallationUpdate> update;
};

void TestCopy::init()
{
    ws = std::make_unique<Workspace>(Workspace::Bin::StandIns);
    QVERIFY(ws->isValid());
    QVERIFY(QDir().mkpath(ws->env()));
    QVERIFY(ws->enterWork());

    dlg = std::make_unique<DlgUpdate>();
    update = std::make_unique<InstallationUpdate>(ws->root(), ws->package(), ws->binDir());
}

void TestCopy::cleanup()
{
    update.reset();
    dlg.reset();
    ws.reset();
}

QString TestCopy::env(const QString &relative) const
{
    return ws->env(relative);
}

QMap<QString, QString> TestCopy::surroundings() const
{
    return treeWithout(snapshotTree(ws->workspace()),
                       {QStringLiteral("install"), QStringLiteral("package"), QStringLiteral("work")});
}

QStringList TestCopy::copyWithMessageSequence(bool *ok)
{
    SequencingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    *ok = DlgUpdateProbe::copy(*dlg, *update);
    QCoreApplication::removeTranslator(&translator);
    QStringList messages;
    for (int i = 1; i <= translator.writes; ++i)
        messages << QString::fromUtf8(readFile(QStringLiteral("log-%1.txt").arg(i)));
    return messages;
}

void TestCopy::movedOnlyWithOneName_data()
{
    QTest::addColumn<bool>("secondName"); // the payload file has another name outside the package
    QTest::addColumn<bool>("moved");
    QTest::newRow("a file with one name: moved") << false << true;
    QTest::newRow("a file with a second name outside the package: copied") << true << false;
}

// A moved file keeps its inode: one with a second name elsewhere would stay
// that file's twin once installed, and a write there would change it.
void TestCopy::movedOnlyWithOneName()
{
    QFETCH(bool, secondName);
    QFETCH(bool, moved);
    const QString outside = ws->beside(QStringLiteral("outside.txt"));
    QVERIFY(writeFile(ws->path(QStringLiteral("data/m.txt")), "old"));
    QVERIFY(writeFile(env(QStringLiteral("data/m.txt")), "new"));
    if (secondName && !FileOps::linkFile(env(QStringLiteral("data/m.txt")), outside))
        QSKIP("no hard links here");
    if (!FileOps::mayMoveInto(env(QString()), ws->root()) || !Place::keepsIdentities(env(QString())))
        QSKIP("the package cannot be moved from here");

    QVERIFY(DlgUpdateProbe::copy(*dlg, *update));
    const QString installed = ws->path(QStringLiteral("data/m.txt"));
    QCOMPARE(readFile(installed), QByteArray("new"));
    QCOMPARE(QFileInfo::exists(env(QStringLiteral("data/m.txt"))), !moved);
    QCOMPARE(Place::notFollowingLastLink(installed).hardLinks(), quint32(1));
    if (secondName) {
        QVERIFY(!Place::followingLastLink(installed).isSame(Place::followingLastLink(outside)));
        QVERIFY(writeFile(outside, "changed outside"));
        QCOMPARE(readFile(installed), QByteArray("new"));
    }
}

void TestCopy::emptyPayload_data()
{
    QTest::addColumn<bool>("envExists");
    QTest::newRow("empty Env") << true;
    QTest::newRow("missing Env") << false;
}

void TestCopy::emptyPayload()
{
    QFETCH(bool, envExists);
    if (!envExists)
        QVERIFY(QDir(env()).removeRecursively());
    QVERIFY(writeFile(ws->path(QStringLiteral("keep.txt")), "kept"));
    const auto before = snapshotTree(ws->root());

    QVERIFY(DlgUpdateProbe::copy(*dlg, *update));
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 95);
    QCOMPARE(snapshotTree(ws->root()), before);
    QVERIFY(!QFile::exists(QStringLiteral("log.txt")));
}

void TestCopy::nestedPayloadReplacesAndCreates()
{
    QVERIFY(writeFile(ws->path(QStringLiteral("readme.txt")), "old readme"));
    QVERIFY(writeFile(ws->path(QStringLiteral("bin/lib.so")), "old lib"));
    QVERIFY(writeFile(ws->path(QStringLiteral("keep/untouched.txt")), "untouched"));
    QVERIFY(writeFile(env(QStringLiteral("readme.txt")), "new readme"));
    QVERIFY(writeFile(env(QStringLiteral("bin/lib.so")), "new lib"));
    QVERIFY(writeFile(env(QStringLiteral("a/b/c/d/deep.txt")), "deep"));
    QVERIFY(QDir().mkpath(env(QStringLiteral("empty/folder"))));
    MessageLog log;

    QVERIFY(DlgUpdateProbe::copy(*dlg, *update));
    QCOMPARE(readFile(ws->path(QStringLiteral("readme.txt"))), QByteArray("new readme"));
    QCOMPARE(readFile(ws->path(QStringLiteral("bin/lib.so"))), QByteArray("new lib"));
    QCOMPARE(readFile(ws->path(QStringLiteral("a/b/c/d/deep.txt"))), QByteArray("deep"));
    QCOMPARE(readFile(ws->path(QStringLiteral("keep/untouched.txt"))), QByteArray("untouched"));
    QVERIFY(QFileInfo(ws->path(QStringLiteral("empty/folder"))).isDir());
    QVERIFY(QFileInfo::exists(ws->binDir() + QStringLiteral("/tskill")));
    QCOMPARE(log.count(QStringLiteral("copy finish")), 1);
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 95);
    // No temporary file is left anywhere.
    for (const QString &path : snapshotTree(ws->root()).keys())
        QVERIFY2(!QFileInfo(path).fileName().startsWith(QStringLiteral(".quillFern-")) ||
                     path.startsWith(QStringLiteral(".quillFern-backup")),
                 qPrintable(path));
}

void TestCopy::skippedEntries()
{
    for (const char *path : {".hidden", "sub/.hidden", "__MACOSX/meta", "sub/__MACOSX", ".hiddendir/file"})
        QVERIFY(writeFile(env(QString::fromLatin1(path)), "skip"));
    // Beside the skipped ones they would be the same names where letter case does not count.
    for (const char *path : {"lower/__macosx/meta", "mixed/__MacOSX", "sub/visible"})
        QVERIFY(writeFile(env(QString::fromLatin1(path)), "copy"));
    QStringList hidden{QStringLiteral(".hidden"), QStringLiteral("sub/.hidden"),
                       QStringLiteral(".hiddendir")};
#ifdef Q_OS_WIN
    // Hidden by its attribute, as Windows marks files (Wine marks dot files so too).
    QVERIFY(writeFile(env(QStringLiteral("sub/attribute.txt")), "skip"));
    QVERIFY(
        SetFileAttributesW(reinterpret_cast<const wchar_t *>(
                               QDir::toNativeSeparators(env(QStringLiteral("sub/attribute.txt"))).utf16()),
                           FILE_ATTRIBUTE_HIDDEN));
    hidden << QStringLiteral("sub/attribute.txt");
#endif

    MessageLog log;
    QVERIFY(DlgUpdateProbe::copy(*dlg, *update));
    for (const QString &path : hidden) {
        QVERIFY2(!QFileInfo::exists(ws->path(path)), qPrintable(path));
        QCOMPARE(log.count("quillfern.run.left-out", QStringLiteral("\"%1\"").arg(env(path))), 1);
    }
    for (const char *path : {"__MACOSX", "sub/__MACOSX"}) {
        QCOMPARE(
            log.count("quillfern.run.left-out", QStringLiteral("\"%1\"").arg(env(QString::fromLatin1(path)))),
            1);
    }
    for (const char *path : {"__MACOSX", "sub/__MACOSX"})
        QVERIFY2(!QFileInfo::exists(ws->path(QString::fromLatin1(path))), path);
    for (const char *path : {"lower/__macosx/meta", "mixed/__MacOSX", "sub/visible"})
        QCOMPARE(readFile(ws->path(QString::fromLatin1(path))), QByteArray("copy"));
}

void TestCopy::barCountsWhatIsCopied_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QStringList>("installed"); // beside a.txt and sub/b.txt, which every row installs
    QTest::newRow("hidden entries beside the files") << "hidden" << QStringList();
    QTest::newRow("a file and a folder named __MACOSX") << "archiver's" << QStringList();
    QTest::newRow("a folder link to files outside")
        << "folder link"
        << QStringList{QStringLiteral("linked/f.txt"), QStringLiteral("linked/deeper/g.txt")};
    QTest::newRow("a deletion list left in a payload that lies elsewhere") << "list left in" << QStringList();
    QTest::newRow("a package inside a folder named __MACOSX") << "archiver's parent" << QStringList();
}

// The bar's total is the bytes of the files the copy puts in place, no more and no fewer.
void TestCopy::barCountsWhatIsCopied()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, installed);
    installed << QStringLiteral("a.txt") << QStringLiteral("sub/b.txt");
    QString packagePath = ws->package();
    if (layout == QLatin1String("archiver's parent")) {
        packagePath = ws->beside(QStringLiteral("__MACOSX/package"));
        QVERIFY(QDir().mkpath(packagePath + QStringLiteral("/Env")));
    }
    const QString payload = packagePath + QStringLiteral("/Env/");
    QVERIFY(writeFile(payload + QStringLiteral("a.txt"), "alpha"));
    QVERIFY(writeFile(payload + QStringLiteral("sub/b.txt"), "bravo bravo"));
    if (layout == QLatin1String("hidden")) {
        QVERIFY(writeFile(payload + QStringLiteral(".hidden"), "not installed"));
        QVERIFY(writeFile(payload + QStringLiteral(".hiddendir/c.txt"), "not installed either"));
    } else if (layout == QLatin1String("archiver's")) {
        QVERIFY(writeFile(payload + QStringLiteral("sub/__MACOSX"), "the archiver's own"));
        QVERIFY(writeFile(payload + QStringLiteral("__MACOSX/._a.txt"), "the archiver's too"));
    } else if (layout == QLatin1String("folder link")) {
        const QString outside = ws->beside(QStringLiteral("out"));
        QVERIFY(writeFile(outside + QStringLiteral("/f.txt"), "foxtrot"));
        QVERIFY(writeFile(outside + QStringLiteral("/deeper/g.txt"), "golf golf golf"));
        QVERIFY(QFile::link(outside, payload + QStringLiteral("linked")));
        if (!QFileInfo(payload + QStringLiteral("linked")).isDir())
            QSKIP("QFile::link made a shell shortcut here, which is a file, not a folder link");
    } else if (layout == QLatin1String("list left in")) {
        QVERIFY(writeFile(payload + QStringLiteral("del.xml"), "<DelLs><f>nothing-there.txt</f></DelLs>"));
        const QString elsewhere = ws->beside(QStringLiteral("Env elsewhere"));
        QVERIFY(QDir().rename(payload, elsewhere));
        QVERIFY(QFile::link(elsewhere, packagePath + QStringLiteral("/Env")));
        if (!QFileInfo(packagePath + QStringLiteral("/Env")).isDir())
            QSKIP("QFile::link made a shell shortcut here, which is a file, not a folder link");
    }

    InstallationUpdate run(ws->root(), packagePath, ws->binDir());
    QVERIFY(run.isPackage());
    QCOMPARE(run.applyDeletionList().result,
             layout == QLatin1String("list left in") ? DeletionOutcome::Applied : DeletionOutcome::NoList);
    qint64 done = -1;
    qint64 total = -1;
    const CopyOutcome copied = run.copyPayload(CancelToken(), [&](qint64 soFar, qint64 all) {
        done = soFar;
        total = all;
    });
    QVERIFY2(copied.ok(), qPrintable(copied.outcome.text()));
    qint64 bytes = 0;
    for (const QString &path : installed) {
        QVERIFY2(QFileInfo(ws->path(path)).isFile(), qPrintable(path));
        bytes += QFileInfo(ws->path(path)).size();
    }
    QCOMPARE(total, bytes);
    QCOMPARE(done, bytes);
}

void TestCopy::folderOverFileFailsWithMessageSequence()
{
    QVERIFY(writeFile(ws->path(QStringLiteral("data")), "a file in the way"));
    QVERIFY(writeFile(env(QStringLiteral("data/inner.txt")), "new"));

    bool ok = true;
    MessageLog log;
    const QStringList messages = copyWithMessageSequence(&ok);
    QVERIFY(!ok);
    QCOMPARE(messages, (QStringList{"makedir error", "copyDirectory fail", "data", "copy fail!"}));
    // The run log says which path failed, and the system's reason.
    const QString failed = QStringLiteral("\"%1\"").arg(ws->path(QStringLiteral("data")));
    QVERIFY2(log.count("quillfern.run.copy-failed", failed + QStringLiteral(": ")) == 1,
             log.dump().constData());
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 95);
    QCOMPARE(readFile(ws->path(QStringLiteral("data"))), QByteArray("a file in the way"));

    // Without a translation the log is plain log.txt, holding the last message only.
    QVERIFY(!DlgUpdateProbe::copy(*dlg, *update));
    QCOMPARE(readFile(QStringLiteral("log.txt")), QByteArray("copy fail!"));
}

void TestCopy::fileOverFolderKeepsFolder()
{
    QVERIFY(writeFile(ws->path(QStringLiteral("sub/config/inside.txt")), "inside"));
    QVERIFY(writeFile(env(QStringLiteral("sub/config")), "a file where a folder is"));

    bool ok = true;
    const QStringList messages = copyWithMessageSequence(&ok);
    QVERIFY(!ok);
    QCOMPARE(messages, (QStringList{"config", "copyDirectory fail", "sub", "copy fail!"}));
    QCOMPARE(readFile(ws->path(QStringLiteral("sub/config/inside.txt"))), QByteArray("inside"));
    QVERIFY(temporaryFiles(ws->root()).isEmpty());
}

void TestCopy::listingOrderStopsAtFirstFailure()
{
    // Name order regardless of case, folders and files mixed.
    const QStringList names{"Aardvark.txt", "apple.txt", "Banana.txt", "cherry"};
    for (const QString &name : names)
        QVERIFY(writeFile(ws->path(name), "old"));
    // Folders in the way of both "apple.txt" and "Banana.txt".
    QVERIFY(QFile::remove(ws->path(QStringLiteral("apple.txt"))));
    QVERIFY(QFile::remove(ws->path(QStringLiteral("Banana.txt"))));
    QVERIFY(writeFile(ws->path(QStringLiteral("apple.txt/x")), "x"));
    QVERIFY(writeFile(ws->path(QStringLiteral("Banana.txt/x")), "x"));
    QVERIFY(writeFile(env(QStringLiteral("Aardvark.txt")), "new"));
    QVERIFY(writeFile(env(QStringLiteral("apple.txt")), "new"));
    QVERIFY(writeFile(env(QStringLiteral("Banana.txt")), "new"));
    QVERIFY(writeFile(env(QStringLiteral("cherry/in.txt")), "new"));

    bool ok = true;
    const QStringList messages = copyWithMessageSequence(&ok);
    QVERIFY(!ok);
    QCOMPARE(messages, (QStringList{"apple.txt", "copy fail!"}));
    QCOMPARE(readFile(ws->path(QStringLiteral("Aardvark.txt"))), QByteArray("new"));
    QVERIFY(!QFileInfo::exists(ws->path(QStringLiteral("cherry/in.txt"))));
}

void TestCopy::unreadableSourceKeepsInstalledFile()
{
#ifndef Q_OS_LINUX
    QSKIP("needs a file that opens but cannot be read");
#endif
    QVERIFY(writeFile(ws->path(QStringLiteral("a.txt")), "old a"));
    QVERIFY(writeFile(ws->path(QStringLiteral("b.bin")), "old b"));
    QVERIFY(writeFile(env(QStringLiteral("a.txt")), "new a"));
    // Opens fine, even for root, but every read of it fails.
    QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), env(QStringLiteral("b.bin"))));

    bool ok = true;
    MessageLog log;
    const QStringList messages = copyWithMessageSequence(&ok);
    QVERIFY(!ok);
    QCOMPARE(messages, (QStringList{"b.bin", "copy fail!"}));
    QCOMPARE(log.count("quillfern.run.copy-failed",
                       QStringLiteral("\"%1\": %2").arg(env(QStringLiteral("b.bin")), qt_error_string(EIO))),
             1);
    QCOMPARE(readFile(ws->path(QStringLiteral("a.txt"))), QByteArray("new a"));
    QCOMPARE(readFile(ws->path(QStringLiteral("b.bin"))), QByteArray("old b"));
    QVERIFY(temporaryFiles(ws->root()).isEmpty());
}

void TestCopy::fileSizeLimitKeepsInstalledFile()
{
#ifndef COPYRUNNER_EXECUTABLE
    QSKIP("file-size limits are a POSIX feature");
#else
    const QByteArray old(1000, 'o');
    QVERIFY(writeFile(ws->path(QStringLiteral("big.dat")), old));
    // A link is copied, never moved, so its bytes are written under the limit.
    QVERIFY(writeFile(ws->beside(QStringLiteral("big-source.dat")), QByteArray(4 << 20, 'n')));
    QVERIFY(QFile::link(ws->beside(QStringLiteral("big-source.dat")), env(QStringLiteral("big.dat"))));
    QVERIFY(writeFile(env(QStringLiteral("small.txt")), "small"));

    // The limit applies to the copy in a child process only.
    QProcess runner;
    runner.setWorkingDirectory(ws->beside(QStringLiteral("work")));
    runner.start(QStringLiteral(COPYRUNNER_EXECUTABLE),
                 {ws->binDir(), ws->package(), QString::number(64 * 1024)});
    QVERIFY(runner.waitForFinished(30000));
    QCOMPARE(runner.exitStatus(), QProcess::NormalExit);
    QCOMPARE(runner.readAllStandardOutput().trimmed(), QByteArray("copy failed"));

    QCOMPARE(readFile(ws->path(QStringLiteral("big.dat"))), old);
    QVERIFY(temporaryFiles(ws->root()).isEmpty());
    QVERIFY(!QFileInfo::exists(ws->path(QStringLiteral("small.txt"))));
    QCOMPARE(readFile(ws->beside(QStringLiteral("work/log.txt"))), QByteArray("copy fail!"));
#endif
}

void TestCopy::folderLinkCycleFails_data()
{
    QTest::addColumn<QString>("linkPath");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("failingName");
    QTest::newRow("link to itself's folder") << "sub/loop"
                                             << "."
                                             << "loop";
    QTest::newRow("link to the payload root") << "sub/deeper/up"
                                              << "../.."
                                              << "up";
}

void TestCopy::folderLinkCycleFails()
{
    QFETCH(QString, linkPath);
    QFETCH(QString, target);
    QFETCH(QString, failingName);
    QVERIFY(writeFile(env(QStringLiteral("sub/deeper/file.txt")), "x"));
    QVERIFY(QFile::link(target, env(linkPath)));
    if (!QFileInfo(env(linkPath)).isDir())
        QSKIP("QFile::link made a shell shortcut here, which is a file, not a folder link");

    bool ok = true;
    const QStringList messages = copyWithMessageSequence(&ok);
    QVERIFY(!ok);
    QCOMPARE(messages.value(0), failingName);
    QCOMPARE(messages.last(), QStringLiteral("copy fail!"));
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 95);
}

void TestCopy::payloadFolderLinks_data()
{
    QTest::addColumn<QString>("target");  // where the payload's folder link leads
    QTest::addColumn<bool>("mount");      // a bind mount (a junction on Windows) instead of a link
    QTest::addColumn<bool>("refused");    // false where the link is copied by its contents
    QTest::newRow("a folder outside: copied, its files left in place") << "outside" << false << false;
    QTest::newRow("the installation root") << "root" << false << true;
    QTest::newRow("a folder in the installation") << "bin" << false << true;
    QTest::newRow("a folder holding the installation") << "holder" << false << true;
    QTest::newRow("a mount of a folder outside: copied, its files left in place")
        << "outside" << true << false;
    QTest::newRow("a mount of the installation root") << "root" << true << true;
    QTest::newRow("a mount of a folder in the installation") << "bin" << true << true;
    QTest::newRow("a mount of a folder holding the installation") << "holder" << true << true;
    // The payload folder itself: not a package to apply, nothing copied.
    QTest::newRow("Env a link to a folder in the installation") << "Env:bin" << false << true;
    QTest::newRow("Env a mount of a folder in the installation") << "Env:bin" << true << true;
}

void TestCopy::payloadFolderLinks()
{
    QFETCH(QString, target);
    QFETCH(bool, mount);
    QFETCH(bool, refused);
    const QString outside = ws->beside(QStringLiteral("out"));
    QVERIFY(writeFile(outside + QStringLiteral("/f.txt"), "keep"));
    QVERIFY(writeFile(outside + QStringLiteral("/sub/g.txt"), "keep too"));
    const QMap<QString, QString> targets{{QStringLiteral("outside"), outside},
                                         {QStringLiteral("root"), ws->root()},
                                         {QStringLiteral("bin"), ws->binDir()},
                                         {QStringLiteral("holder"), ws->workspace()}};
    QVERIFY(writeFile(env(QStringLiteral("a.txt")), "new"));
    const bool wholePayload = target.startsWith(QLatin1String("Env:"));
    target.remove(QStringLiteral("Env:"));
    if (wholePayload)
        QVERIFY(QDir(env(QString())).removeRecursively());
    const QString linkdir = wholePayload ? ws->package() + QStringLiteral("/Env") : env(QStringLiteral("linkdir"));
    const auto unmount = qScopeGuard([&linkdir] { PrivateMounts::unmount(linkdir); });
    if (mount) {
        if (!ownMounts)
            QSKIP("bind mounts need root and a mount namespace of the test's own");
        QVERIFY(QDir().mkpath(linkdir));
        QVERIFY(PrivateMounts::bind(targets.value(target), linkdir));
    } else {
        QVERIFY(QFile::link(targets.value(target), linkdir));
    }
    if (!QFileInfo(linkdir).isDir())
        QSKIP("QFile::link made a shell shortcut here, which is a file, not a folder link");
    const auto around = surroundings();
    const auto installedBin = snapshotTree(ws->binDir());
    if (wholePayload) {
        update = std::make_unique<InstallationUpdate>(ws->root(), ws->package(), ws->binDir());
        QVERIFY(!update->isPackage());
        QVERIFY(update->copyPayload(CancelToken()).ok());
        QCOMPARE(surroundings(), around);
        QCOMPARE(snapshotTree(ws->binDir()), installedBin);
        return;
    }

    MessageLog log;
    const bool ok = DlgUpdateProbe::copy(*dlg, *update);
    QCOMPARE(surroundings(), around);
    QCOMPARE(ok, !refused);
    if (ok) {
        QCOMPARE(readFile(ws->path(QStringLiteral("linkdir/f.txt"))), QByteArray("keep"));
        QCOMPARE(readFile(ws->path(QStringLiteral("linkdir/sub/g.txt"))), QByteArray("keep too"));
        QVERIFY(!QFileInfo(ws->path(QStringLiteral("linkdir"))).isSymLink());
        // Copied, never moved out of the folder it leads to.
        QCOMPARE(readFile(outside + QStringLiteral("/f.txt")), QByteArray("keep"));
        return;
    }
    QCOMPARE(
        log.count("quillfern.run.copy-failed", QStringLiteral("\"%1\"").arg(env(QStringLiteral("linkdir")))),
        1);
    QVERIFY(!QFileInfo::exists(ws->path(QStringLiteral("linkdir"))));
    QCOMPARE(snapshotTree(ws->binDir()), installedBin);
}

void TestCopy::installedMountPoints_data()
{
    QTest::addColumn<QString>("mounted");
    QTest::addColumn<bool>("refused"); // false where the copy writes through it
    QTest::newRow("a file system of its own") << "volume" << false;
    QTest::newRow("a folder outside, shown there") << "folder" << true;
}

// An installed folder on a volume of its own is the installation's: its
// originals are set aside on that volume, where a rename can take them. One
// that shows a folder from elsewhere is never written through.
void TestCopy::installedMountPoints()
{
    QFETCH(QString, mounted);
    QFETCH(bool, refused);
    const QString data = ws->path(QStringLiteral("data"));
    const QString outside = ws->beside(QStringLiteral("out"));
    QVERIFY(writeFile(outside + QStringLiteral("/f.txt"), "outside"));
    const auto unmount = qScopeGuard([&data] { PrivateMounts::standInGone(data); });
    if (mounted == QLatin1String("volume")) {
        if (!ownMounts)
            QSKIP("a file system of the test's own needs root and a mount namespace of its own");
        QVERIFY(QDir().mkpath(data));
        QVERIFY(PrivateMounts::mountTmpfs(data));
        QVERIFY(writeFile(data + QStringLiteral("/f.txt"), "installed"));
    } else if (!PrivateMounts::standInMountPoint(outside, data)) {
        QSKIP("bind mounts need root and a mount namespace of the test's own");
    }
    QVERIFY(writeFile(env(QStringLiteral("data/f.txt")), "new"));
    QVERIFY(writeFile(env(QStringLiteral("data/sub/g.txt")), "added"));
    const auto around = surroundings();

    MessageLog log;
    const bool ok = DlgUpdateProbe::copy(*dlg, *update);
    QCOMPARE(ok, !refused);
    QCOMPARE(surroundings(), around);
    if (!ok) {
        QCOMPARE(log.count("quillfern.run.copy-failed", QStringLiteral("\"%1\"").arg(data)), 1);
        return;
    }
    QCOMPARE(readFile(data + QStringLiteral("/f.txt")), QByteArray("new"));
    QCOMPARE(readFile(data + QStringLiteral("/sub/g.txt")), QByteArray("added"));
    // Set aside on the volume itself, and copied, not moved out of the package.
    QCOMPARE(readFile(data + QStringLiteral("/.quillFern-backup/files/f.txt")), QByteArray("installed"));
    QCOMPARE(readFile(env(QStringLiteral("data/f.txt"))), QByteArray("new"));
    // A failed run puts the volume's original back, and leaves no area on it.
    QVERIFY(update->rollBack());
    QCOMPARE(readFile(data + QStringLiteral("/f.txt")), QByteArray("installed"));
    QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("f.txt")});
}

void TestCopy::transientRefusalsRiddenOut_data()
{
    const int duringTry = FileOps::RetryBudget::DuringTry;
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("budget");   // how long the call may keep trying
    QTest::addColumn<int>("refusals"); // refusals the system stands in for; 0: a real holder
    QTest::addColumn<int>("error");    // what those refusals say; 0: a sharing violation
    QTest::addColumn<int>("calls");    // the calls the system gets; -1: as many as the budget takes
    QTest::addColumn<bool>("done");
    QTest::newRow("a rename onto a file held for a moment") << "rename" << duringTry << 0 << 0 << -1 << true;
    QTest::newRow("a removal of a file held for a moment") << "remove" << duringTry << 0 << 0 << -1 << true;
    QTest::newRow("a rename with no time to wait") << "rename" << 0 << 0 << 0 << -1 << false;
    QTest::newRow("a sharing violation on the first three renames")
        << "rename" << duringTry << 3 << 0 << 4 << true;
    QTest::newRow("sharing violations on every removal") << "remove" << duringTry << 1000 << 0 << -1 << false;
#ifdef Q_OS_WIN
    // Another volume never becomes this one: the try fails at once.
    QTest::newRow("a rename across volumes")
        << "rename" << duringTry << 1000 << int(ERROR_NOT_SAME_DEVICE) << 1 << false;
    QTest::newRow("a file system that cannot flush a file")
        << "flush" << duringTry << 1000 << int(ERROR_NOT_SUPPORTED) << 1 << true;
    // An access list's denial never passes; a scanner's may, where one can be the cause.
    QTest::newRow("access denied on a removal")
        << "remove" << duringTry << 1000 << int(ERROR_ACCESS_DENIED) << 1 << false;
    QTest::newRow("access denied on the first three renames over a file")
        << "rename" << duringTry << 3 << int(ERROR_ACCESS_DENIED) << 4 << true;
    QTest::newRow("access denied on the first three removals of a read-only file")
        << "remove read-only" << duringTry << 3 << int(ERROR_ACCESS_DENIED) << 4 << true;
    QTest::newRow("access denied on the first three removals of a file this run wrote")
        << "remove written" << duringTry << 3 << int(ERROR_ACCESS_DENIED) << 4 << true;
    QTest::newRow("a file whose removal is pending, on the first three removals")
        << "remove pending" << duringTry << 3 << int(ERROR_ACCESS_DENIED) << 4 << true;
    // One budget for all the files: twenty held files cost little more than one.
    QTest::newRow("twenty files held every time, one budget")
        << "remove twenty" << 300 << 1000 << 0 << -1 << false;
    QTest::newRow("twenty files an access list denies, in a rollback")
        << "remove twenty denied" << 0 << 1000 << int(ERROR_ACCESS_DENIED) << 20 << false;
#endif
}

#ifdef Q_OS_WIN
namespace {

int refusalsLeft = 0;
DWORD refusalError = ERROR_SHARING_VIOLATION;
int callsMade = 0;

// Stands in for the system's calls: a refusal while refusals are left.
bool refuse()
{
    ++callsMade;
    if (refusalsLeft <= 0)
        return false;
    --refusalsLeft;
    SetLastError(refusalError);
    return true;
}

BOOL WINAPI refusingMove(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    return refuse() ? FALSE : MoveFileExW(from, to, flags);
}

// A rename by handle is refused as a move would be; where the system lacks it,
// the move that follows is the one call the stand-in counts.
BOOL WINAPI refusingRename(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
{
    if (refusalsLeft <= 0) {
        if (SetFileInformationByHandle(file, kind, information, size)) {
            ++callsMade;
            return TRUE;
        }
        return FALSE;
    }
    return refuse() ? FALSE : TRUE;
}

BOOL WINAPI refusingDelete(LPCWSTR path)
{
    return refuse() ? FALSE : DeleteFileW(path);
}

BOOL WINAPI refusingFlush(HANDLE file)
{
    return refuse() ? FALSE : FlushFileBuffers(file);
}

constexpr LONG StatusDeletePending = LONG(0xC0000056);
LONG lastNtStatus = 0;

LONG WINAPI standInNtStatus()
{
    return lastNtStatus;
}

} // namespace
#endif

// A scanner or an indexer opens a fresh file for a moment, without sharing its
// deletion: the call waits it out instead of failing the try. What no wait
// changes fails it at once.
void TestCopy::transientRefusalsRiddenOut()
{
#ifndef Q_OS_WIN
    QSKIP("only Windows refuses a rename or a removal while another program has the file open");
#else
    QFETCH(QString, call);
    QFETCH(int, budget);
    QFETCH(int, refusals);
    QFETCH(int, error);
    QFETCH(int, calls);
    QFETCH(bool, done);
    const QString held = ws->path(QStringLiteral("held.dll"));
    const QString fresh = ws->path(QStringLiteral("fresh.dll"));
    QVERIFY(writeFile(held, "installed"));
    QVERIFY(writeFile(fresh, "new"));
    if (call == QLatin1String("remove read-only"))
        QVERIFY(SetFileAttributesW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(held).utf16()),
                                   FILE_ATTRIBUTE_READONLY));
    QStringList many;
    if (call.startsWith(QLatin1String("remove twenty"))) {
        for (int i = 0; i < 20; ++i) {
            many << ws->path(QStringLiteral("held-%1.dll").arg(i));
            QVERIFY(writeFile(many.last(), "installed"));
        }
    }
    const QString written = ws->path(QStringLiteral("written.dll"));
    if (call == QLatin1String("remove written"))
        QVERIFY(FileOps::writeTemporaryCopy(fresh, written));
    HANDLE scanner = INVALID_HANDLE_VALUE;
    if (refusals == 0 && many.isEmpty()) {
        scanner = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(held).utf16()),
                              GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(scanner != INVALID_HANDLE_VALUE);
    }
    std::thread letsGo([scanner] {
        if (scanner == INVALID_HANDLE_VALUE)
            return;
        Sleep(300);
        CloseHandle(scanner);
    });
    refusalError = error == 0 ? ERROR_SHARING_VIOLATION : DWORD(error);
    lastNtStatus = call == QLatin1String("remove pending") ? StatusDeletePending : 0;
    const Win32Calls system = win32();
    const auto putBack = qScopeGuard([system] { win32() = system; });
    win32().moveFileEx = &refusingMove;
    win32().setFileInformationByHandle = &refusingRename;
    win32().deleteFile = &refusingDelete;
    win32().flushFileBuffers = &refusingFlush;
    win32().lastNtStatus = &standInNtStatus;
    // What one held file takes with the same budget on its own.
    int callsForOne = 0;
    if (call == QLatin1String("remove twenty")) {
        refusalsLeft = refusals;
        callsMade = 0;
        const FileOps::RetryBudget alone(budget);
        QVERIFY(!FileOps::removeFile(held));
        callsForOne = callsMade;
        QVERIFY(callsForOne > 2);
    }
    refusalsLeft = refusals;
    callsMade = 0;
    MessageLog log;
    bool succeeded = false;
    if (call == QLatin1String("remove twenty denied")) {
        const FileOps::RetryBudget patience(FileOps::RetryAllowance::forRollback());
        for (const QString &path : many)
            succeeded = FileOps::removeFile(path) || succeeded;
    } else {
        const FileOps::RetryBudget patience(budget);
        if (call == QLatin1String("rename"))
            succeeded = FileOps::renameOver(fresh, held);
        else if (call == QLatin1String("remove written"))
            succeeded = FileOps::removeFile(written);
        else if (call == QLatin1String("remove twenty"))
            for (const QString &path : many)
                succeeded = FileOps::removeFile(path) || succeeded;
        else if (call.startsWith(QLatin1String("remove")))
            succeeded = FileOps::removeFile(held);
        else
            succeeded = FileOps::flushFile(held);
    }
    letsGo.join();
    QCOMPARE(succeeded, done);
    if (calls >= 0)
        QCOMPARE(callsMade, calls);
    if (callsForOne > 0) {
        // Every file was asked once at least; the pauses (5 ms at the least) came out of one budget,
        // not out of one each.
        QVERIFY2(callsMade >= many.size() && callsMade <= many.size() + budget / 5 &&
                     callsMade < callsForOne * many.size(),
                 qPrintable(QStringLiteral("%1 calls; one file alone took %2").arg(callsMade).arg(callsForOne)));
    }
    if (!many.isEmpty()) {
        for (const QString &path : many)
            QCOMPARE(readFile(path), QByteArray("installed"));
        return;
    }
    if (call == QLatin1String("flush")) {
        QCOMPARE(log.count("quillfern.files.no-flush"), 1);
        return;
    }
    if (call == QLatin1String("remove written")) {
        QVERIFY(!QFileInfo::exists(written));
        return;
    }
    if (done)
        QCOMPARE(QFileInfo::exists(held) ? readFile(held) : QByteArray(),
                 call == QLatin1String("rename") ? QByteArray("new") : QByteArray());
    else
        QCOMPARE(readFile(held), QByteArray("installed"));
#endif
}

void TestCopy::marksOfTheWebDropped_data()
{
    QTest::addColumn<QString>("package"); // where the package lies: beside the root (copied), or inside (moved)
    QTest::addColumn<bool>("removable");  // whether the system lets the stream go
    QTest::newRow("a file copied from a downloaded package") << "beside" << true;
    QTest::newRow("a mark that cannot be removed fails the copy") << "beside" << false;
}

#ifdef Q_OS_WIN
namespace {

// Wine keeps no streams: the files that carry a Zone.Identifier stream, known
// by identity so that the mark follows a file through renames, stand in here.
QSet<QString> markedFiles;
bool marksRemovable = true;

QString identityText(const wchar_t *path)
{
    return Place::followingLastLink(QDir::fromNativeSeparators(QString::fromWCharArray(path)))
        .identity()
        .toText();
}

BOOL WINAPI copyKeepingMarks(LPCWSTR from, LPCWSTR to, BOOL failIfExists)
{
    if (!CopyFileW(from, to, failIfExists))
        return FALSE;
    if (markedFiles.contains(identityText(from)))
        markedFiles.insert(identityText(to));
    return TRUE;
}

BOOL WINAPI deleteWithStreams(LPCWSTR path)
{
    static const std::wstring stream = L":Zone.Identifier";
    const std::wstring name(path);
    if (name.size() <= stream.size() || name.compare(name.size() - stream.size(), stream.size(), stream) != 0)
        return DeleteFileW(path);
    const QString file = identityText(name.substr(0, name.size() - stream.size()).c_str());
    if (!markedFiles.contains(file)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!marksRemovable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    markedFiles.remove(file);
    return TRUE;
}

} // namespace
#endif

// A package unpacked from a download carries the Mark of the Web on every
// file. Installed with it, SmartScreen and Office would take the product for
// a download: no installed file keeps it, whether copied or moved.
void TestCopy::marksOfTheWebDropped()
{
#ifndef Q_OS_WIN
    QSKIP("the Mark of the Web is a Windows stream");
#else
    QFETCH(QString, package);
    QFETCH(bool, removable);
    QString payload = env();
    if (package == QLatin1String("inside")) {
        update.reset();
        update = std::make_unique<InstallationUpdate>(ws->root(), ws->path(QStringLiteral("pkg")), ws->binDir());
        payload = ws->path(QStringLiteral("pkg/Env"));
    }
    QVERIFY(writeFile(ws->path(QStringLiteral("bin/tool.dll")), "old"));
    QVERIFY(writeFile(payload + QStringLiteral("/bin/tool.dll"), "new"));
    QVERIFY(writeFile(payload + QStringLiteral("/bin/added.exe"), "added"));
    if (package == QLatin1String("inside") && !FileOps::mayMoveInto(payload, ws->root()))
        QSKIP("the package cannot be moved from here");
    markedFiles.clear();
    marksRemovable = removable;
    markedFiles.insert(identityText(reinterpret_cast<const wchar_t *>(
        QDir::toNativeSeparators(payload + QStringLiteral("/bin/tool.dll")).utf16())));
    markedFiles.insert(identityText(reinterpret_cast<const wchar_t *>(
        QDir::toNativeSeparators(payload + QStringLiteral("/bin/added.exe")).utf16())));
    QCOMPARE(markedFiles.size(), 2);
    const Win32Calls system = win32();
    const auto putBack = qScopeGuard([system] { win32() = system; });
    win32().copyFile = &copyKeepingMarks;
    win32().deleteFile = &deleteWithStreams;

    const bool copied = DlgUpdateProbe::copy(*dlg, *update);
    QCOMPARE(copied, removable);
    if (!removable) {
        QVERIFY(update->rollBack());
        QCOMPARE(readFile(ws->path(QStringLiteral("bin/tool.dll"))), QByteArray("old"));
        QVERIFY(!QFileInfo::exists(ws->path(QStringLiteral("bin/added.exe"))));
        return;
    }
    for (const QString &installed : {QStringLiteral("bin/tool.dll"), QStringLiteral("bin/added.exe")}) {
        QVERIFY2(QFileInfo::exists(ws->path(installed)),
                 qPrintable(snapshotTree(ws->root()).keys().join(QLatin1Char(' '))));
        QVERIFY2(!markedFiles.contains(Place::followingLastLink(ws->path(installed)).identity().toText()),
                 qPrintable(installed));
    }
    QCOMPARE(readFile(ws->path(QStringLiteral("bin/tool.dll"))), QByteArray("new"));
#endif
}

void TestCopy::windowsShortcutsAreFiles_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("to a folder outside") << "out";
    QTest::newRow("to a file outside") << "out/f.txt";
    QTest::newRow("to the installation root") << "root";
}

// A shell shortcut is a file of its own on Windows, whatever Qt makes of it:
// installed as the file it is, never followed.
void TestCopy::windowsShortcutsAreFiles()
{
#ifndef Q_OS_WIN
    QSKIP("shell shortcuts are Windows' own; elsewhere QFile::link makes a symbolic link");
#else
    QFETCH(QString, target);
    QVERIFY(writeFile(ws->beside(QStringLiteral("out/f.txt")), "keep"));
    const QString shortcut = env(QStringLiteral("short.lnk"));
    QVERIFY(QFile::link(target == QLatin1String("root") ? ws->root() : ws->beside(target), shortcut));
    const QByteArray bytes = readFile(shortcut);
    QVERIFY(!bytes.isEmpty());
    const auto around = surroundings();

    QVERIFY(DlgUpdateProbe::copy(*dlg, *update));
    QCOMPARE(surroundings(), around);
    const QString installed = ws->path(QStringLiteral("short.lnk"));
    QVERIFY(Place::notFollowingLastLink(installed).isPlainFile());
    QCOMPARE(readFile(installed), bytes);
#endif
}

void TestCopy::specialEntriesLeftOut_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("leftOut"); // named as left out; false where the try fails instead
    QTest::newRow("a link to a pipe") << "link to pipe" << true;
    QTest::newRow("a pipe") << "pipe" << true;
    QTest::newRow("a socket") << "socket" << true;
    QTest::newRow("a link that leads nowhere") << "dangling" << true;
    QTest::newRow("a file whose name is not UTF-8") << "gbk file" << false;
    QTest::newRow("a folder whose name is not UTF-8") << "gbk folder" << false;
}

// Nothing the payload holds is passed over without a word: an entry that
// holds no file to install is named in the run log, and one whose name cannot
// be installed as it is fails the try.
void TestCopy::specialEntriesLeftOut()
{
#ifndef Q_OS_UNIX
    QSKIP("pipes, sockets and names of raw bytes are POSIX features");
#else
    QFETCH(QString, kind);
    QFETCH(bool, leftOut);
    QVERIFY(writeFile(env(QStringLiteral("b.txt")), "new"));
    QString entry = env(QStringLiteral("odd"));
    const QByteArray native = QFile::encodeName(entry);
    if (kind == QLatin1String("link to pipe") || kind == QLatin1String("pipe")) {
        const QString pipe = kind == QLatin1String("pipe") ? entry : ws->beside(QStringLiteral("pipe"));
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        if (pipe != entry)
            QVERIFY(QFile::link(pipe, entry));
    } else if (kind == QLatin1String("socket")) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        QVERIFY(size_t(native.size()) < sizeof(address.sun_path));
        std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
        QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
        ::close(fd);
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(ws->beside(QStringLiteral("nothing-here")), entry));
    } else {
        // "更新" as Chinese Windows writes it, which unpacking keeps as it is.
        const QByteArray gbk = QFile::encodeName(env(QStringLiteral("data/"))) + "\xb8\xfc\xd0\xc2";
        QVERIFY(QDir().mkpath(env(QStringLiteral("data"))));
        if (kind == QLatin1String("gbk folder")) {
            QVERIFY(::mkdir(gbk.constData(), 0700) == 0);
            const int fd = ::open((gbk + "/plugin.dll").constData(), O_WRONLY | O_CREAT, 0600);
            QVERIFY(fd >= 0);
            ::close(fd);
        } else {
            const int fd = ::open((gbk + ".dll").constData(), O_WRONLY | O_CREAT, 0600);
            QVERIFY(fd >= 0);
            QVERIFY(::write(fd, "new", 3) == 3);
            ::close(fd);
        }
        entry = QFile::decodeName(gbk);
    }
    const auto around = surroundings();
    const auto installed = snapshotTree(ws->root());

    MessageLog log;
    const bool copied = DlgUpdateProbe::copy(*dlg, *update);
    QCOMPARE(surroundings(), around);
    QVERIFY(!QFileInfo::exists(ws->path(QStringLiteral("odd"))));
    QVERIFY(!QFileInfo(ws->path(QStringLiteral("odd"))).isSymLink());
    if (!leftOut) {
        QVERIFY(!copied);
        QVERIFY2(log.count("quillfern.run.copy-failed", QStringLiteral("\"%1").arg(entry)) == 1,
                 log.dump().constData());
        // Nothing of it was installed, not even an empty folder under a name of its own.
        const QDir data(ws->path(QStringLiteral("data")));
        QCOMPARE(data.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 QStringList());
        QCOMPARE(FileOps::namesNotValidUtf8(data.path()), QStringList());
        // No QString leads to it: the temporary folder could not remove it.
        const QByteArray gbk = QFile::encodeName(env(QStringLiteral("data/"))) + "\xb8\xfc\xd0\xc2";
        ::unlink((gbk + ".dll").constData());
        ::unlink((gbk + "/plugin.dll").constData());
        ::rmdir(gbk.constData());
        return;
    }
    QVERIFY(copied);
    QCOMPARE(readFile(ws->path(QStringLiteral("b.txt"))), QByteArray("new"));
    QCOMPARE(log.count("quillfern.run.left-out", QStringLiteral("\"%1\"").arg(entry)), 1);
#endif
}

void TestCopy::namesAndPermissionsCarried()
{
    const QString folder = QString::fromUtf8("dossier été/子目录");
    const QString file = folder + QString::fromUtf8("/fichier 更新.txt");
    QVERIFY(writeFile(env(file), "unicode"));
    QVERIFY(writeFile(env(QStringLiteral("run.sh")), "#!/bin/sh\n"));
    QVERIFY(makeExecutable(env(QStringLiteral("run.sh"))));
    QVERIFY(writeFile(ws->path(QStringLiteral("run.sh")), "old"));
    QVERIFY(QFile::setPermissions(ws->path(QStringLiteral("run.sh")),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(writeFile(env(QStringLiteral("plain.txt")), "plain"));
    QVERIFY(QFile::setPermissions(env(QStringLiteral("plain.txt")),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));

#ifdef Q_OS_UNIX
    // A name at the system's limit, copied rather than moved since it is a link.
    const QString longName = QString(250, QLatin1Char('n'));
    QVERIFY(writeFile(ws->beside(QStringLiteral("long-source")), "long"));
    QVERIFY(QFile::link(ws->beside(QStringLiteral("long-source")), env(longName)));
    QVERIFY(writeFile(ws->path(longName), "old long"));
#endif
    const auto executable = QFileInfo(env(QStringLiteral("run.sh"))).permissions();
    const auto plain = QFileInfo(env(QStringLiteral("plain.txt"))).permissions();
    QVERIFY(DlgUpdateProbe::copy(*dlg, *update));
    QCOMPARE(readFile(ws->path(file)), QByteArray("unicode"));
    QCOMPARE(QFileInfo(ws->path(QStringLiteral("run.sh"))).permissions(), executable);
    // Windows has no execute bit and tells executables by their suffix.
    QCOMPARE(QFileInfo(ws->path(QStringLiteral("run.sh"))).isExecutable(),
             executable.testFlag(QFileDevice::ExeOwner));
    QCOMPARE(QFileInfo(ws->path(QStringLiteral("plain.txt"))).permissions(), plain);
#ifdef Q_OS_UNIX
    QCOMPARE(readFile(ws->path(longName)), QByteArray("long"));
#endif
}

void TestCopy::successAfterFailureKeepsLog()
{
    QVERIFY(writeFile(ws->path(QStringLiteral("data")), "in the way"));
    QVERIFY(writeFile(env(QStringLiteral("data/inner.txt")), "new"));
    QVERIFY(!DlgUpdateProbe::copy(*dlg, *update));
    QCOMPARE(readFile(QStringLiteral("log.txt")), QByteArray("copy fail!"));
    // Dated back by hand: a rewrite just after the first one could keep the same time
    // on a file system with coarse time stamps.
    const QDateTime written = QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC);
    {
        QFile log(QStringLiteral("log.txt"));
        QVERIFY(log.open(QIODevice::ReadWrite));
        QVERIFY(log.setFileTime(written, QFileDevice::FileModificationTime));
    }

    QVERIFY(QFile::remove(ws->path(QStringLiteral("data"))));
    QVERIFY(DlgUpdateProbe::copy(*dlg, *update));
    QCOMPARE(readFile(QStringLiteral("log.txt")), QByteArray("copy fail!"));
    QCOMPARE(QFileInfo(QStringLiteral("log.txt")).lastModified(), written);
}

QTEST_MAIN(TestCopy)
#include "tst_copy.moc"
