#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "testsupport.h"

#include "ui_dlgupdate.h"

// Stopping and relaunching the product, with stand-ins that only record
// their starts: nothing outside the temporary installation is ended.
class TestProcess : public QObject
{
    Q_OBJECT

private slots:
    void showStopsProduct_data();
    void showStopsProduct();
    void stopProgramThatNeverFinishesIsLeftBehind_data();
    void stopProgramThatNeverFinishesIsLeftBehind();
    void selfStopThatDoesNotEndUpdater_data();
    void selfStopThatDoesNotEndUpdater();
    void relaunchStartsProductAndStopsUpdater_data();
    void relaunchStartsProductAndStopsUpdater();
    void restartButtonRelaunchesOnEveryPress();
    void secondShowAfterStopFinished();
    void secondShowWhileStopRuns();
};

namespace {

// An empty body leaves no stop program at all.
void replaceStopProgram(const StandInInstallation &install, const QByteArray &body)
{
    const QString stop = install.binDir() + QStringLiteral("/tskill");
    if (body.isEmpty()) {
        QVERIFY(QFile::remove(stop));
        return;
    }
    QVERIFY(writeFile(stop, "#!/bin/sh\necho \"$*\" >> \"$(dirname \"$0\")/stop-requests.log\"\n" + body));
    QVERIFY(makeExecutable(stop));
}

} // namespace

void TestProcess::showStopsProduct_data()
{
    QTest::addColumn<QByteArray>("stopBody");
    QTest::newRow("product stopped") << QByteArray("exit 0\n");
    QTest::newRow("product not running") << QByteArray("exit 1\n");
    QTest::newRow("stop takes a while") << QByteArray("sleep 0.5\n");
}

void TestProcess::showStopsProduct()
{
    QFETCH(QByteArray, stopBody);
    StandInInstallation install;
    replaceStopProgram(install, stopBody);
    DlgUpdate dlg;
    dlg.setApplicationDir(install.binDir());
    dlg.setPackageDir(install.path(QStringLiteral("package")));
    MessageLog log;
    dlg.show();

    QPointer<QProcess> stop = DlgUpdateProbe::killProcess(dlg);
    QVERIFY(stop);
    QVERIFY(!stop->parent());
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 5);
    QTRY_COMPARE(log.count(QStringLiteral("kill finish")), 1);
    QCOMPARE(install.stopRequests(), QStringList{QStringLiteral("Halvorquintel")});
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 15);
    QVERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);
    QCOMPARE(DlgUpdateProbe::killProcess(dlg), nullptr);
    QTRY_VERIFY(stop.isNull()); // released once its notification is over
    QCOMPARE(install.productStarts(), 0);
}

void TestProcess::stopProgramThatNeverFinishesIsLeftBehind_data()
{
    QTest::addColumn<QByteArray>("stopBody"); // empty: no stop program at all
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QByteArray() << "could not be started";
    QTest::newRow("hanging") << QByteArray("exec sleep 60\n") << "did not finish within 20 s";
}

void TestProcess::stopProgramThatNeverFinishesIsLeftBehind()
{
    QFETCH(QByteArray, stopBody);
    QFETCH(QString, reason);
    StandInInstallation install;
    replaceStopProgram(install, stopBody);
    DlgUpdate dlg;
    dlg.setApplicationDir(install.binDir());
    MessageLog log;
    dlg.show();
    QPointer<QProcess> stop = DlgUpdateProbe::killProcess(dlg);
    QVERIFY(stop);
    if (!stopBody.isEmpty()) {
        QTRY_COMPARE(install.stopRequests(), QStringList{QStringLiteral("Halvorquintel")});
        QCOMPARE(log.count(QStringLiteral("kill finish")), 0);
        DlgUpdateProbe::expireStopDeadline(dlg);
    }

    QTRY_COMPARE(log.count(QStringLiteral("kill finish")), 1);
    QVERIFY2(log.messages().contains(QStringLiteral("Going on without the stop command, which ") + reason),
             qPrintable(log.messages().join(QLatin1Char('\n'))));
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 15);
    QVERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);
    QTRY_VERIFY(stop.isNull()); // a hanging stop program is ended with its process object
    QTest::qWait(200);
    QCOMPARE(log.count(QStringLiteral("kill finish")), 1);
}

void TestProcess::selfStopThatDoesNotEndUpdater_data()
{
    QTest::addColumn<QByteArray>("stopBody"); // empty: no stop program at all
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("returns") << QByteArray("exit 0\n");
    QTest::newRow("hanging") << QByteArray("exec sleep 60\n");
}

void TestProcess::selfStopThatDoesNotEndUpdater()
{
    QFETCH(QByteArray, stopBody);
    StandInInstallation install;
    replaceStopProgram(install, stopBody);
    DlgUpdate dlg;
    dlg.setApplicationDir(install.binDir());
    QSignalSpy closed(&dlg, &QDialog::rejected);
    MessageLog log;
    DlgUpdateProbe::setFailed(dlg, true);
    DlgUpdateProbe::ui(dlg)->btnOK->setEnabled(true);
    QTest::mouseClick(DlgUpdateProbe::ui(dlg)->btnOK, Qt::LeftButton);
    QTRY_COMPARE(install.productStarts(), 1);
    if (stopBody.startsWith("exec sleep")) {
        QTRY_COMPARE(install.stopRequests(), QStringList{QStringLiteral("quillFern")});
        QCOMPARE(closed.count(), 0);
        DlgUpdateProbe::expireSelfStopDeadline(dlg);
    }
    // As the last window of the real updater, closing ends it with status 0.
    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(log.count(QStringLiteral("Finish!")), 1);
}

void TestProcess::relaunchStartsProductAndStopsUpdater_data()
{
    QTest::addColumn<QString>("rootName");
    QTest::addColumn<bool>("productThere");
    QTest::newRow("plain") << "install" << true;
    QTest::newRow("spaces") << "Program Files/Halvorquintel App" << true;
    QTest::newRow("non-ASCII") << QString::fromUtf8("Programme/Mise à jour 更新") << true;
    QTest::newRow("product missing: said in the log") << "install" << false;
}

void TestProcess::relaunchStartsProductAndStopsUpdater()
{
    QFETCH(QString, rootName);
    QFETCH(bool, productThere);
    StandInInstallation install(rootName);
    QVERIFY(install.isValid());
    const QString product = install.binDir() + QStringLiteral("/Halvorquintel");
    if (!productThere)
        QVERIFY(QFile::remove(product));
    DlgUpdate dlg;
    dlg.setApplicationDir(install.binDir());
    Ui_DlgUpdate *ui = DlgUpdateProbe::ui(dlg);
    DlgUpdateProbe::setTargetProgress(dlg, 100);
    ui->progress->setValue(99);

    MessageLog log;
    DlgUpdateProbe::progressTick(dlg);
    QCOMPARE(ui->progress->value(), 100);
    QTRY_COMPARE(install.productStarts(), productThere ? 1 : 0);
    int reported = 0;
    for (const QString &line : log.messages())
        reported +=
            line == QStringLiteral("Could not start the product \"%1\": there is no such file").arg(product);
    QCOMPARE(reported, productThere ? 0 : 1);
    QTRY_COMPARE(install.stopRequests(), QStringList{QStringLiteral("quillFern")});
    QVERIFY(DlgUpdateProbe::killProcess(dlg));
}

void TestProcess::restartButtonRelaunchesOnEveryPress()
{
    StandInInstallation install;
    DlgUpdate dlg;
    dlg.setApplicationDir(install.binDir());
    Ui_DlgUpdate *ui = DlgUpdateProbe::ui(dlg);
    DlgUpdateProbe::setFailed(dlg, true);
    ui->btnOK->setEnabled(true);

    QTest::mouseClick(ui->btnOK, Qt::LeftButton);
    QTRY_COMPARE(install.productStarts(), 1);
    QProcess *selfStop = DlgUpdateProbe::killProcess(dlg);
    QVERIFY(selfStop);
    QTRY_COMPARE(selfStop->state(), QProcess::NotRunning);

    QTest::mouseClick(ui->btnOK, Qt::LeftButton);
    QTRY_COMPARE(install.productStarts(), 2);
    QCOMPARE(DlgUpdateProbe::killProcess(dlg), selfStop); // the same process object, started again
    QTRY_COMPARE(install.stopRequests(),
                 (QStringList{QStringLiteral("quillFern"), QStringLiteral("quillFern")}));
}

void TestProcess::secondShowAfterStopFinished()
{
    StandInInstallation install;
    DlgUpdate dlg;
    dlg.setApplicationDir(install.binDir());
    MessageLog log;
    dlg.show();
    QTRY_COMPARE(log.count(QStringLiteral("kill finish")), 1);
    QPointer<QProcess> first = DlgUpdateProbe::killProcess(dlg);
    QVERIFY(first.isNull());

    dlg.hide();
    dlg.show();
    QVERIFY(DlgUpdateProbe::killProcess(dlg));
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 5);
    QCOMPARE(DlgUpdateProbe::attemptCount(dlg), 0);
    QTRY_COMPARE(log.count(QStringLiteral("kill finish")), 2);
    QCOMPARE(install.stopRequests(),
             (QStringList{QStringLiteral("Halvorquintel"), QStringLiteral("Halvorquintel")}));
}

void TestProcess::secondShowWhileStopRuns()
{
    StandInInstallation install;
    replaceStopProgram(install, "sleep 1\n");
    DlgUpdate dlg;
    dlg.setApplicationDir(install.binDir());
    MessageLog log;
    dlg.show();
    QProcess *stop = DlgUpdateProbe::killProcess(dlg);
    QTRY_COMPARE(stop->state(), QProcess::Running);

    // The running process refuses a second start but gains a second connection.
    dlg.hide();
    dlg.show();
    QCOMPARE(DlgUpdateProbe::killProcess(dlg), stop);
    QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("kill finish")), 2, 5000);
    QCOMPARE(install.stopRequests().size(), 1);
    QCOMPARE(DlgUpdateProbe::killProcess(dlg), nullptr);
    QVERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);
}

QTEST_MAIN(TestProcess)
#include "tst_process.moc"
