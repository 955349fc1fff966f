#include <algorithm>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QtTest>

#include "pixels.h"
#include "testsupport.h"

// The cross-built Windows updater, run under Wine on a virtual X display
// against a stand-in Halvorquintel.exe, with the stand-in tskill.exe on
// Wine's path or, as on a Windows without tskill, with nothing on it. Copies
// of the product stand-in, which runs for two minutes, stand for other updaters.
// Everything runs in a Wine prefix of the Windows build kept for this display
// test, so the updater's stops reach no process outside it, and no Wine server
// the headless Windows tests started stands between its windows and the display.
class TestWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeUpdate_data();
    void wholeUpdate();
    void killedRunFinishedAtNextLogon();
};

namespace {

const QString windowsBuild = QStringLiteral(QUILLFERN_WINDOWS_BUILD);

QString wineLauncher()
{
    return windowsBuild + QStringLiteral("/wine-test.sh");
}

QString windowsPath(const QString &path)
{
    return QStringLiteral("Z:") + QDir::toNativeSeparators(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

// The values of the user's Run key in the build's Wine prefix, as "reg query" lists them.
QString runKeyValues()
{
    QProcess reg;
    reg.start(wineLauncher(), {QStringLiteral("reg"), QStringLiteral("query"),
                               QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run")});
    reg.waitForFinished(60000);
    return QString::fromUtf8(reg.readAllStandardOutput());
}

// Whether the user's Run key holds an entry naming a place in `workspace`.
bool runKeyNames(const QTemporaryDir &workspace)
{
    return runKeyValues().contains(QFileInfo(workspace.path()).fileName());
}

// The installed Windows build and the stand-in product, in `bin`.
bool installWindowsBuild(const QString &bin)
{
    return copyTree(windowsBuild + QStringLiteral("/installation/bin"), bin) &&
           QFile::copy(windowsBuild + QStringLiteral("/tests/windows/Halvorquintel.exe"),
                       bin + QStringLiteral("/Halvorquintel.exe"));
}

int panelPixels(const QImage &screen)
{
    int count = 0;
    for (int y = 0; y < screen.height(); ++y)
        for (int x = 0; x < screen.width(); ++x)
            count += near(screen.pixel(x, y), qRgb(0x73, 0xa1, 0xd8), 2) ? 1 : 0;
    return count;
}

} // namespace

void TestWine::initTestCase()
{
    QVERIFY2(QFileInfo(wineLauncher()).isExecutable(),
             "build the Windows executable first: tools/build-windows.sh");
    QVERIFY(QFileInfo::exists(windowsBuild + QStringLiteral("/installation/bin/quillFern.exe")));
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    qputenv("QUILLFERN_WINEPREFIX", QFile::encodeName(windowsBuild + QStringLiteral("/wineprefix-display")));
    // A server left by an earlier run of this test holds that run's display; the stand-ins it
    // may still be running end within two minutes.
    QProcess server;
    server.start(wineLauncher(), {QStringLiteral("--wait-for-server")});
    QVERIFY2(server.waitForFinished(180000), "the display prefix's Wine server did not end");
}

void TestWine::wholeUpdate_data()
{
    QTest::addColumn<bool>("copyFails");
    QTest::addColumn<bool>("stopProgram");
    QTest::addColumn<bool>("otherLetterCase");
    QTest::addColumn<bool>("readOnlyFiles");
    // One more updater of this installation, started by its path in other letter case, and one of
    // another installation's, both running when the update begins.
    QTest::addColumn<bool>("otherUpdaters");
    // The package's SHA256SUMS: none, one it matches, or one a payload file no longer matches; or,
    // run by the build with a test key built in, one it matches, signed or not.
    QTest::addColumn<QString>("manifest");
    // Two payload entries that are one name on Windows, put there as Linux names them: in letter case
    // alone, or by a dot at the end.
    QTest::addColumn<QStringList>("colliding");
    const QStringList none;
    QTest::newRow("success with deletion list and manifest")
        << false << true << false << false << true << "match" << none;
    QTest::newRow("failure rolled back") << true << true << false << false << false << QString() << none;
    QTest::newRow("success without tskill.exe")
        << false << false << false << false << true << QString() << none;
    QTest::newRow("failure rolled back, Foo.DLL over foo.dll")
        << true << true << true << false << false << QString() << none;
    QTest::newRow("failure rolled back over read-only files")
        << true << true << false << true << false << QString() << none;
    QTest::newRow("manifest mismatch, nothing applied")
        << false << true << false << false << false << "mismatch" << none;
    QTest::newRow("built with a key: a signed package applied")
        << false << true << false << false << false << "signed" << none;
    QTest::newRow("built with a key: an unsigned package refused")
        << false << true << false << false << false << "unsigned" << none;
    QTest::newRow("names one in letter case refused, nothing applied")
        << false << true << false << false << false << QString()
        << QStringList{QStringLiteral("data/Notes.txt"), QStringLiteral("data/notes.txt")};
    QTest::newRow("names one but for a dot refused, nothing applied")
        << false << true << false << false << false << QString()
        << QStringList{QStringLiteral("added/x.txt"), QStringLiteral("added/x.txt.")};
}

void TestWine::wholeUpdate()
{
    QFETCH(bool, copyFails);
    QFETCH(bool, stopProgram);
    QFETCH(bool, otherLetterCase);
    QFETCH(bool, readOnlyFiles);
    QFETCH(bool, otherUpdaters);
    QFETCH(QString, manifest);
    QFETCH(QStringList, colliding);
    const bool fails = copyFails || manifest == QLatin1String("mismatch") ||
                       manifest == QLatin1String("unsigned") || !colliding.isEmpty();
    const bool withKey = manifest == QLatin1String("signed") || manifest == QLatin1String("unsigned");
    UpdaterProcessLock lock;
    QTemporaryDir workspace;
    QVERIFY(workspace.isValid());
    const QString root = workspace.filePath(QString::fromUtf8("Program Files/Halvorquintel Édition 更新"));
    const QString bin = root + QStringLiteral("/bin");
    const QString package = workspace.filePath(QString::fromUtf8("pkg dir 更新"));
    QVERIFY(installWindowsBuild(bin));
    const QString signedBuild = windowsBuild + QStringLiteral("/tests/windows/quillFernSigned.exe");
    if (withKey)
        QVERIFY(QFile::remove(bin + QStringLiteral("/quillFern.exe")) &&
                QFile::copy(signedBuild, bin + QStringLiteral("/quillFern.exe")));

    QVERIFY(writeFile(root + QStringLiteral("/old.txt"), "obsolete"));
    QVERIFY(writeFile(root + QString::fromUtf8("/data/données.txt"), "old data"));
    QVERIFY(writeFile(root + QStringLiteral("/keep.txt"), "kept"));
    // Without a path to other DLLs, the list also names one the updater loads from its own folder.
    QVERIFY(writeFile(package + QStringLiteral("/Env/del.xml"),
                      stopProgram ? "<DelLs>\n<file>old.txt</file>\n</DelLs>"
                                  : "<DelLs>\n<file>old.txt</file>\n<file>bin/Qt5Core.dll</file>\n</DelLs>"));
    QVERIFY(writeFile(package + QString::fromUtf8("/Env/data/données.txt"), "new data"));
    QVERIFY(writeFile(package + QString::fromUtf8("/Env/added/新.txt"), "added"));
    if (copyFails) {
        // A payload file where the installation has a folder fails every try.
        QVERIFY(writeFile(root + QStringLiteral("/zz-blocked/inside.txt"), "a folder"));
        QVERIFY(writeFile(package + QStringLiteral("/Env/zz-blocked"), "a file"));
    }
    for (const QString &name : colliding)
        QVERIFY(writeFile(package + QStringLiteral("/Env/") + name, name.toUtf8()));
    if (otherLetterCase) {
        // Windows names ignore case: the payload's Foo.DLL replaces the installed foo.dll.
        QVERIFY(writeFile(bin + QStringLiteral("/foo.dll"), "old library"));
        QVERIFY(writeFile(package + QStringLiteral("/Env/bin/Foo.DLL"), "new library"));
    }
    if (!manifest.isEmpty()) {
        QVERIFY(writeManifest(package, {QStringLiteral("del.xml"), QString::fromUtf8("data/données.txt"),
                                        QString::fromUtf8("added/新.txt")}));
        if (manifest == QLatin1String("mismatch"))
            QVERIFY(writeFile(package + QString::fromUtf8("/Env/data/données.txt"), "new dat"));
        if (manifest == QLatin1String("signed"))
            QVERIFY(minisignSign(windowsBuild + QStringLiteral("/tests/windows/packagekeys/test.key"),
                                 package + QStringLiteral("/SHA256SUMS"), QStringLiteral("signed for Wine")));
    }
    if (readOnlyFiles) {
        // Wine keeps the read-only attribute as the file's write permission bits.
        const auto readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        for (const QString &path : {root + QString::fromUtf8("/data/données.txt"),
                                    package + QString::fromUtf8("/Env/data/données.txt"),
                                    package + QString::fromUtf8("/Env/added/新.txt")})
            QVERIFY2(QFile::setPermissions(path, readOnly), qPrintable(path));
    }
    const QString starts = bin + QStringLiteral("/product-starts.log");
    // The stand-in notes its starts as the product's do; the copy in this installation's bin/ comes first.
    const int before = otherUpdaters ? 1 : 0;
    QProcess thisUpdater;
    QProcess otherUpdater;
    const QString otherBin = workspace.filePath(QString::fromUtf8("Other Édition/bin"));
    if (otherUpdaters) {
        const QString standIn = windowsBuild + QStringLiteral("/tests/windows/Halvorquintel.exe");
        const QString updater = bin + QStringLiteral("/quillFern.exe");
        QVERIFY(QDir().mkpath(otherBin) && QFile::copy(standIn, otherBin + QStringLiteral("/quillFern.exe")));
        otherUpdater.start(wineLauncher(), {otherBin + QStringLiteral("/quillFern.exe")});
        QVERIFY(otherUpdater.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(otherBin + QStringLiteral("/product-starts.log")).count('\n'), 1,
                                  60000);
        // Runs the stand-in from this installation's path; the real updater then takes that path.
        QVERIFY(QFile::remove(updater) && QFile::copy(standIn, updater));
        thisUpdater.start(wineLauncher(), {windowsPath(root + QStringLiteral("/BIN/QUILLFERN.EXE"))});
        QVERIFY(thisUpdater.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(starts).count('\n'), 1, 60000);
        QVERIFY(QFile::remove(updater) &&
                QFile::copy(windowsBuild + QStringLiteral("/installation/bin/quillFern.exe"), updater));
    }
    QProcess product;
    product.start(wineLauncher(), {bin + QStringLiteral("/Halvorquintel.exe")});
    QVERIFY(product.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(readFile(starts).count('\n'), before + 1, 60000);
    const auto installed = snapshotTree(root);
    const auto packaged = snapshotTree(package);

    QProcess updater;
    updater.setWorkingDirectory(workspace.path());
    if (!stopProgram) {
        // The updater's own folder holds every DLL it needs; nothing else is on the path.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUILLFERN_WINEPATH"), QString());
        updater.setProcessEnvironment(environment);
    }
    updater.start(wineLauncher(),
                  {bin + QStringLiteral("/quillFern.exe"), QStringLiteral("update"), windowsPath(package)});
    QVERIFY(updater.waitForStarted());
    QVERIFY2(product.waitForFinished(60000), "the product was not stopped");
    // Stopped before a file was touched.
    QByteArray errors = updater.readAllStandardError();
    QVERIFY2(!errors.contains("copy finish"), errors.constData());
    QCOMPARE(readFile(root + QString::fromUtf8("/data/données.txt")), QByteArray("old data"));

    const QByteArray awaited = fails ? "quillfern.run.rolled-back: " : "copy finish";
    QTRY_VERIFY_WITH_TIMEOUT((errors += updater.readAllStandardError()).contains(awaited), 90000);
    QTest::qWait(1000);
    const QImage screen =
        QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    const QString picture = QStringLiteral(QUILLFERN_ARTEFACT_DIR "/tst_wine_%1.png")
                                .arg(fails ? QStringLiteral("failed") : QStringLiteral("climbing"));
    QVERIFY(screen.save(picture));
    QVERIFY2(panelPixels(screen) > 10000, qPrintable(picture));

    if (fails) {
        // The window waits on its restart button; the installation and package are as they were.
        updater.kill();
        updater.waitForFinished();
        // The lock an updater leaves when it is killed is taken over by the next one.
        auto after = snapshotTree(root);
        after.remove(QStringLiteral(".quillFern.lock"));
        const QStringList differences =
            treeDifferences(installed, after) + treeDifferences(packaged, snapshotTree(package));
        QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char('\n'))));
        if (otherLetterCase)
            QCOMPARE(QDir(bin).entryList({QStringLiteral("foo.dll")}),
                     QStringList{QStringLiteral("foo.dll")});
        if (!colliding.isEmpty()) {
            // Refused before the first change, naming both.
            for (const QString &name : colliding)
                QVERIFY2(errors.contains('"' + name.toUtf8() + '"'), errors.constData());
        } else if (copyFails) {
            QCOMPARE(readFile(workspace.filePath(QStringLiteral("log.txt"))), QByteArray("copy fail!"));
        } else {
            const EventLines events = EventLines::read(errors, ": ");
            QVERIFY2(events.count("quillfern.run.package-refused") == 1, errors.constData());
            // Standard error carries the name in the system's code page, not UTF-8.
            if (!withKey)
                QVERIFY2(
                    events.first("quillfern.run.package-refused").contains(QLatin1String("\"data/donn")) &&
                        events.first("quillfern.run.package-refused").contains(QLatin1String("es.txt\"")),
                    errors.constData());
        }
        QCOMPARE(readFile(starts).count('\n'), 1);
        QVERIFY2(!runKeyNames(workspace), qPrintable(runKeyValues()));
        return;
    }

    QTRY_VERIFY_WITH_TIMEOUT((errors += updater.readAllStandardError()).contains("Finish!"), 60000);
    QElapsedTimer sinceFinish;
    sinceFinish.start();
    QVERIFY2(updater.state() == QProcess::NotRunning || updater.waitForFinished(60000),
             "the updater did not end itself");
    errors += updater.readAllStandardError();
    if (otherUpdaters) {
        QVERIFY2(isAlive(otherUpdater.processId()), "the self-stop ended another installation's updater");
        // Its end may have been seen already, while the events ran: waiting on it then returns false.
        QVERIFY2(thisUpdater.state() == QProcess::NotRunning || thisUpdater.waitForFinished(30000),
                 "the self-stop left this installation's other updater");
        // Named by its path, as this installation's other updater.
        QVERIFY2(EventLines::read(errors, ": ").count("quillfern.stop.ending-here", "quillFern.exe\"") == 1,
                 errors.constData());
        otherUpdater.kill();
        otherUpdater.waitForFinished();
    }
    const EventLines events = EventLines::read(errors, ": ");
    if (manifest == QLatin1String("match") || withKey)
        QVERIFY2(events.count("quillfern.run.package-checked", QStringLiteral(" 3 ")) == 1,
                 errors.constData());
    if (withKey)
        QVERIFY2(events.count("quillfern.run.package-signed", QStringLiteral("signed for Wine")) == 1,
                 errors.constData());
    // Without tskill.exe it stopped the product itself, by its name: a line that names no updater.
    QVERIFY2(events.count("quillfern.stop.ending-here") -
                     events.count("quillfern.stop.ending-here", QStringLiteral("quillFern.exe\"")) ==
                 (stopProgram ? 0 : 1),
             errors.constData());
    // The self-stop ends this installation's other updaters itself, tskill.exe or not, and then the
    // updater ends with status 0, well before the self-stop's 20 s bound.
    QVERIFY2(sinceFinish.elapsed() < 20000, qPrintable(QString::number(sinceFinish.elapsed())));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY2(!events.has("quillfern.stop.self-stop-ended"), errors.constData());
    QTRY_COMPARE_WITH_TIMEOUT(readFile(starts).count('\n'), before + 2, 60000);
    QVERIFY(readFile(starts)
                .split('\n')
                .value(before + 1)
                .endsWith(QString::fromUtf8("\\bin\\Halvorquintel.exe").toUtf8()));
    // Started once: the relaunched stand-in runs, and no other start follows.
    QTest::qWait(1000);
    QCOMPARE(readFile(starts).count('\n'), before + 2);
    // The relaunched stand-in was started by the updater this test ran.
    QProcess::execute(wineLauncher(), {windowsBuild + QStringLiteral("/tests/windows/tskill.exe"),
                                       QStringLiteral("Halvorquintel")});

    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/old.txt")));
    QCOMPARE(readFile(root + QString::fromUtf8("/data/données.txt")), QByteArray("new data"));
    QCOMPARE(readFile(root + QString::fromUtf8("/added/新.txt")), QByteArray("added"));
    QCOMPARE(readFile(root + QStringLiteral("/keep.txt")), QByteArray("kept"));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/del.xml")));
    for (const char *bookkeeping : {"/.quillFern-backup", "/.quillFern-trash", "/.quillFern.lock"})
        QVERIFY2(!QFileInfo::exists(root + QLatin1String(bookkeeping)), bookkeeping);
    QVERIFY(!QFileInfo::exists(package));
    if (!stopProgram) {
        QVERIFY(QFileInfo::exists(bin + QStringLiteral("/Qt5Core.dll")));
        QVERIFY2(events.count("quillfern.run.not-deleted", QStringLiteral("\"bin/Qt5Core.dll\"")) == 1,
                 errors.constData());
    }
    QVERIFY2(!runKeyNames(workspace), qPrintable(runKeyValues()));
}

// Killed in the middle of its copy, as a power cut ends it; the value it left under the
// user's Run key brings the whole update at the next logon, which wineboot stands for.
void TestWine::killedRunFinishedAtNextLogon()
{
    UpdaterProcessLock lock;
    QTemporaryDir workspace;
    QVERIFY(workspace.isValid());
    const QString root = workspace.filePath(QString::fromUtf8("Program Files/Halvorquintel Édition 更新"));
    const QString bin = root + QStringLiteral("/bin");
    const QString package = workspace.filePath(QString::fromUtf8("pkg dir 更新"));
    QVERIFY(installWindowsBuild(bin));
    QVERIFY(writeFile(root + QStringLiteral("/old.txt"), "obsolete"));
    QVERIFY(writeFile(package + QStringLiteral("/Env/del.xml"), "<DelLs>\n<file>old.txt</file>\n</DelLs>"));
    for (int file = 0; file < 3000; ++file) {
        const QString name = QStringLiteral("/data/part-%1/file-%2.txt").arg(file / 300).arg(file);
        if (file % 2 == 0)
            QVERIFY(writeFile(root + name, "old"));
        QVERIFY(writeFile(package + QStringLiteral("/Env") + name, "new " + name.toUtf8()));
    }
    QVERIFY(!runKeyNames(workspace));

    QProcess updater;
    updater.setWorkingDirectory(workspace.path());
    updater.start(wineLauncher(),
                  {bin + QStringLiteral("/quillFern.exe"), QStringLiteral("update"), windowsPath(package)});
    QVERIFY(updater.waitForStarted());
    const QString journal = root + QStringLiteral("/.quillFern-backup/journal");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(journal).count('\n') >= 200 || updater.state() == QProcess::NotRunning,
                             90000);
    updater.kill();
    updater.waitForFinished();
    QVERIFY2(QFileInfo::exists(journal), "the run was over before the kill");
    QVERIFY2(runKeyNames(workspace), qPrintable(runKeyValues()));

    // Wine runs the user's Run key at wineboot, as Windows does at logon.
    QCOMPARE(QProcess::execute(wineLauncher(), {QStringLiteral("wineboot")}), 0);
    const QString starts = bin + QStringLiteral("/product-starts.log");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(starts).count('\n') == 1 && !QFileInfo::exists(package) &&
                                 !QFileInfo::exists(root + QStringLiteral("/.quillFern.lock")),
                             120000);
    QProcess::execute(wineLauncher(), {windowsBuild + QStringLiteral("/tests/windows/tskill.exe"),
                                       QStringLiteral("Halvorquintel")});
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/old.txt")));
    for (int file = 0; file < 3000; ++file) {
        const QString name = QStringLiteral("/data/part-%1/file-%2.txt").arg(file / 300).arg(file);
        QCOMPARE(readFile(root + name), "new " + name.toUtf8());
    }
    for (const char *bookkeeping : {"/.quillFern-backup", "/.quillFern-trash"})
        QVERIFY2(!QFileInfo::exists(root + QLatin1String(bookkeeping)), bookkeeping);
    QTRY_VERIFY_WITH_TIMEOUT(!runKeyNames(workspace), 30000);
}

QTEST_MAIN(TestWine)
#include "tst_wine.moc"
