#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <signal.h>

#include "testsupport.h"

// Whole runs of the installed updater in real time, with the real stop
// program and a stand-in product that runs until it is stopped. The
// updater's self-stop ends every process of its name, so these runs hold
// the updater process lock.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void fullRun_data();
    void fullRun();

    void cleanup();

private:
    QList<qint64> startedProducts;
};

namespace {

// Seconds since the updater started, per debug message, from QT_MESSAGE_PATTERN.
QMap<QString, double> messageTimes(const QByteArray &errors)
{
    QMap<QString, double> times;
    static const QRegularExpression line(QStringLiteral("^\\s*(\\d+\\.\\d+) (.*)$"));
    for (const QString &text : QString::fromUtf8(errors).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch() && !times.contains(match.captured(2)))
            times.insert(match.captured(2), match.captured(1).toDouble());
    }
    return times;
}

} // namespace

void TestEndToEnd::fullRun_data()
{
    QTest::addColumn<QString>("rootName");
    QTest::addColumn<bool>("productRunning");
    QTest::newRow("product running") << "install" << true;
    QTest::newRow("product not running") << "install" << false;
    QTest::newRow("folder with spaces and non-ASCII letters")
        << QString::fromUtf8("Program Files/Halvorquintel Édition 更新") << true;
}

void TestEndToEnd::fullRun()
{
    QFETCH(QString, rootName);
    QFETCH(bool, productRunning);
    UpdaterProcessLock lock;
    StandInInstallation install(rootName);
    QVERIFY(install.isValid());
    QVERIFY(install.installUpdater());
    QVERIFY(install.installStopProgram());
    QVERIFY(install.installWaitingProduct());
    const QString package = install.path(QStringLiteral("update/package"));
    QVERIFY(writeFile(package + QStringLiteral("/Env/new.txt"), "new"));

    QProcess product;
    if (productRunning) {
        product.start(install.binDir() + QStringLiteral("/Halvorquintel"), QStringList());
        QVERIFY(product.waitForStarted());
        QTRY_COMPARE(install.productStarts(), 1);
    }

    QProcessEnvironment environment = install.updaterEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{time process} %{message}"));
    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(install.root());
    QElapsedTimer clock;
    clock.start();
    updater.start(install.binDir() + QStringLiteral("/quillFern"), {QStringLiteral("update"), package});
    QVERIFY(updater.waitForStarted());

    if (productRunning) {
        QVERIFY2(product.waitForFinished(10000), "the running product was not stopped");
        QCOMPARE(product.exitStatus(), QProcess::NormalExit);
    }
    QVERIFY2(updater.waitForFinished(30000), "the updater did not end itself");
    const qint64 runTime = clock.elapsed();
    // Its own stop command asked it to end, and it did so with status 0.
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    const int before = productRunning ? 1 : 0;
    QTRY_COMPARE(install.productStarts(), before + 1);
    const QStringList records = install.productRecords();
    const qint64 relaunched = records.last().section(QLatin1Char(' '), 0, 0).toLongLong();
    startedProducts << relaunched;
    QCOMPARE(records.last().section(QLatin1Char(' '), 1),
             install.binDir() + QStringLiteral("/Halvorquintel"));
    QVERIFY(QFileInfo::exists(QStringLiteral("/proc/%1").arg(relaunched)));

    const QByteArray errors = updater.readAllStandardError();
    QVERIFY2(!errors.contains("Ending the updater here"), errors.constData());
    const QMap<QString, double> times = messageTimes(errors);
    for (const char *message : {"kill finish", "copy finish", "100!", "Finish!"})
        QVERIFY2(times.contains(QString::fromLatin1(message)), message);
    const double stopped = times.value(QStringLiteral("kill finish"));
    const double staged = times.value(QStringLiteral("copy finish"));
    const double finished = times.value(QStringLiteral("Finish!"));
    // Coarse timers may fire up to 5 % early; how late they fire depends on the machine's
    // load, so only the lower bounds hold everywhere (the intervals are checked exactly in
    // the controller's tests).
    QVERIFY2(staged - stopped >= 2.8, qPrintable(QString::number(staged - stopped)));
    // 54 ticks of 100 ms from 24 to 100.
    QVERIFY2(finished - staged >= 5.0, qPrintable(QString::number(finished - staged)));

    QCOMPARE(readFile(install.path(QStringLiteral("new.txt"))), QByteArray("new"));
    QVERIFY(!QFileInfo::exists(package));
    qInfo("run took %lld ms from start to the updater's exit", runTime);
}

void TestEndToEnd::cleanup()
{
    // The relaunched stand-ins were started by the updater this test ran.
    for (qint64 pid : qAsConst(startedProducts))
        ::kill(pid_t(pid), SIGTERM);
    startedProducts.clear();
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
