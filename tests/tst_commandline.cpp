#include <QProcess>
#include <QtTest>

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "testsupport.h"

// Runs the built updater from a stand-in installation, whose stop program
// and product only record that they were started.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void rejectedCommandLines_data();
    void rejectedCommandLines();
    void acceptedCommandLines_data();
    void acceptedCommandLines();
    void escapeClosesWithoutRelaunch();
};

void TestCommandLine::rejectedCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("only update") << QStringList{"update"};
    QTest::newRow("letter case differs") << QStringList{"Update", "pkg"};
    QTest::newRow("other word") << QStringList{"install", "pkg"};
    QTest::newRow("package folder taken by a Qt option") << QStringList{"update", "-reverse"};
}

void TestCommandLine::rejectedCommandLines()
{
    QFETCH(QStringList, arguments);
    UpdaterProcessLock lock;
    StandInInstallation install;
    QVERIFY(install.installUpdater());

    QProcess updater;
    updater.setProcessEnvironment(install.updaterEnvironment());
    updater.setWorkingDirectory(install.root());
    updater.start(install.binDir() + QStringLiteral("/quillFern"), arguments);
    QVERIFY(updater.waitForFinished(30000));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY2(!updater.readAllStandardError().contains("kill finish"), "a window was shown");
    QVERIFY(install.stopRequests().isEmpty());
}

void TestCommandLine::acceptedCommandLines_data()
{
    QTest::addColumn<QString>("packageName");
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("plain") << "package" << QStringList();
    QTest::newRow("extra trailing arguments") << "package" << QStringList{"more", "--and-more"};
    QTest::newRow("non-ASCII package folder") << QString::fromUtf8("paquet mis à jour 更新") << QStringList();
    QTest::newRow("Qt option before the folder") << "package" << QStringList{"-platform", "offscreen"};
}

void TestCommandLine::acceptedCommandLines()
{
    QFETCH(QString, packageName);
    QFETCH(QStringList, extra);
    UpdaterProcessLock lock;
    StandInInstallation install;
    QVERIFY(install.installUpdater());
    const QString package = install.path(packageName);
    QVERIFY(QDir().mkpath(package + QStringLiteral("/Env")));

    QStringList arguments{QStringLiteral("update")};
    if (extra.startsWith(QStringLiteral("-platform")))
        arguments << extra << package;
    else
        arguments << package << extra;

    QProcess updater;
    updater.setProcessEnvironment(install.updaterEnvironment());
    updater.setWorkingDirectory(install.root());
    updater.start(install.binDir() + QStringLiteral("/quillFern"), arguments);
    QVERIFY(updater.waitForStarted());
    QByteArray errors;
    QTRY_VERIFY_WITH_TIMEOUT((errors += updater.readAllStandardError()).contains("kill finish"), 30000);
    // The stages run and remove the package: the folder name arrived intact.
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(package), 30000);
    QCOMPARE(updater.state(), QProcess::Running);
    updater.kill();
    updater.waitForFinished();
    const QString runLog = QString::fromUtf8(readFile(install.runLogPath()));
    // Its first line names the package the run was given.
    QVERIFY2(runLog.section(QLatin1Char('\n'), 0, 0).contains(QLatin1Char('"') + package + QLatin1Char('"')),
             qPrintable(runLog));
}

void TestCommandLine::escapeClosesWithoutRelaunch()
{
    StandInInstallation install;
    PreparedDlgUpdate dlg(install.binDir(), install.path(QStringLiteral("package")));
    MessageLog log;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    // As in the updater's entry: Escape hides the last window, which ends the event loop.
    QTimer::singleShot(200, &dlg, [&dlg] { QTest::keyClick(&dlg, Qt::Key_Escape); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);

    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QCOMPARE(log.count(QStringLiteral("Finish!")), 0);
    QCOMPARE(install.productStarts(), 0);
}

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
