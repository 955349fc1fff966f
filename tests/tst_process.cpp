#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <vector>

#include <sys/prctl.h>

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "installationlock.h"
#include "stopcommand.h"
#include "testsupport.h"

// Stopping and relaunching the product, with stand-ins that only record
// their starts: nothing outside the temporary installation is ended. Where no
// stop program is there to record, the processes are ended by names only
// this test uses, carried by stand-ins it started itself; the self-stop ends
// copies of sleep at the temporary installations' bin/quillFern.
class TestProcess : public QObject
{
    Q_OBJECT

private slots:
    void stopReportsOnce_data();
    void stopReportsOnce();
    void showStopsProduct_data();
    void showStopsProduct();
    void stopProgramThatNeverFinishesIsLeftBehind_data();
    void stopProgramThatNeverFinishesIsLeftBehind();
    void selfStopEndsOnlyThisInstallationsUpdaters_data();
    void selfStopEndsOnlyThisInstallationsUpdaters();
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

// A name no other process on the machine carries: this test's own, by its process id.
QString testOnlyName(const char *role)
{
    return QStringLiteral("qf%1%2").arg(QLatin1String(role)).arg(QCoreApplication::applicationPid());
}

QString sleepProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("sleep"));
}

// A process that runs until it is ended, started by this test.
class StandInProcess
{
public:
    enum class OnTerm { Ends, Ignored };

    // Called `name`, from a temporary folder. `body` empty: a copy of sleep; otherwise a script that runs it.
    explicit StandInProcess(const QString &name, const QByteArray &body = QByteArray())
    {
        const QString program = folder.filePath(name);
        if (body.isEmpty())
            QFile::copy(sleepProgram(), program);
        else
            writeFile(program, "#!/bin/sh\n" + body);
        makeExecutable(program);
        process.start(program, {QStringLiteral("60")});
    }
    // A copy of sleep at `program`, whose executable it then is; an ignored SIGTERM stays ignored in it.
    StandInProcess(const QString &program, OnTerm onTerm)
    {
        QFile::copy(sleepProgram(), program);
        makeExecutable(program);
        if (onTerm == OnTerm::Ignored)
            process.start(QStringLiteral("sh"),
                          {QStringLiteral("-c"), QStringLiteral("trap '' TERM; exec \"$0\" 60"), program});
        else
            process.start(program, {QStringLiteral("60")});
    }
    ~StandInProcess()
    {
        process.kill();
        process.waitForFinished();
    }
    bool started() { return process.waitForStarted(); }
    // Whether `program` is its executable yet: a shell that starts it runs first.
    bool runs(const QString &program) const
    {
        return QFileInfo(QStringLiteral("/proc/%1/exe").arg(process.processId())).canonicalFilePath() ==
               QFileInfo(program).canonicalFilePath();
    }
    // Gone, or a zombie this test has not collected yet.
    bool isGone() const { return !isAlive(process.processId()); }

private:
    QTemporaryDir folder;
    QProcess process;
};

// Gives this process another name, as the system lists it, while it lives.
class OwnName
{
public:
    explicit OwnName(const QString &name)
    {
        ::prctl(PR_GET_NAME, saved);
        ::prctl(PR_SET_NAME, name.toUtf8().constData());
    }
    ~OwnName() { ::prctl(PR_SET_NAME, saved); }

private:
    char saved[17] = {};
};

} // namespace

Q_DECLARE_METATYPE(StopCommand::Ending)

void TestProcess::stopReportsOnce_data()
{
    QTest::addColumn<QByteArray>("stopBody");    // empty: no stop program, the processes are ended here
    QTest::addColumn<QByteArray>("standInBody"); // empty: a copy of sleep
    QTest::addColumn<int>("standIns");
    QTest::addColumn<bool>("namedLikeThisProcess");
    QTest::addColumn<bool>("byOwnExecutable"); // this test's own file, which only this process runs
    QTest::addColumn<StopCommand::Ending>("ending");
    using E = StopCommand::Ending;
    QTest::newRow("command ends them")
        << QByteArray("exit 0\n") << QByteArray() << 0 << false << false << E::Ended;
    QTest::newRow("command finds none")
        << QByteArray("exit 1\n") << QByteArray() << 0 << false << false << E::NotFound;
    QTest::newRow("command refuses its arguments")
        << QByteArray("exit 2\n") << QByteArray() << 0 << false << false << E::Failed;
    QTest::newRow("command crashes") << QByteArray("kill -SEGV $$\n") << QByteArray() << 0 << false << false
                                     << E::Failed;
    QTest::newRow("command hangs") << QByteArray("exec sleep 60\n") << QByteArray() << 0 << false << false
                                   << E::BoundedOut;
    QTest::newRow("no command: two running")
        << QByteArray() << QByteArray() << 2 << false << false << E::Ended;
    QTest::newRow("no command: one ignores being asked")
        << QByteArray() << QByteArray("trap '' TERM\nwhile :; do sleep 0.1; done\n") << 1 << false << false
        << E::Ended;
    QTest::newRow("no command: none running")
        << QByteArray() << QByteArray() << 0 << false << false << E::NotFound;
    QTest::newRow("no command: only this process")
        << QByteArray() << QByteArray() << 0 << true << false << E::NotFound;
    QTest::newRow("by executable: only this process")
        << QByteArray() << QByteArray() << 0 << false << true << E::NotFound;
}

// Every way a stop can end is reported once, from the event loop, and the
// fallback ends exactly the processes of that name, never this one.
void TestProcess::stopReportsOnce()
{
    QFETCH(QByteArray, stopBody);
    QFETCH(QByteArray, standInBody);
    QFETCH(int, standIns);
    QFETCH(bool, namedLikeThisProcess);
    QFETCH(bool, byOwnExecutable);
    QFETCH(StopCommand::Ending, ending);
    StandInInstallation install;
    replaceStopProgram(install, stopBody);
    const QString name = testOnlyName("S");
    std::vector<std::unique_ptr<StandInProcess>> running;
    for (int i = 0; i < standIns; ++i) {
        running.push_back(std::make_unique<StandInProcess>(name, standInBody));
        QVERIFY(running.back()->started());
    }
    // A longer name that starts the same is not that name.
    StandInProcess bystander(name + QLatin1Char('x'));
    QVERIFY(bystander.started());
    std::unique_ptr<OwnName> ownName(namedLikeThisProcess ? new OwnName(name) : nullptr);

    StopCommand stop;
    QSignalSpy over(&stop, &StopCommand::over);
    if (byOwnExecutable)
        stop.startEndingProgram(QCoreApplication::applicationFilePath(), 20000);
    else
        stop.start(name, install.binDir(), 20000);
    QVERIFY(stop.isRunning());
    QCOMPARE(over.count(), 0); // never from inside start()
    if (ending == StopCommand::Ending::BoundedOut) {
        QTRY_COMPARE(install.stopRequests(), QStringList{name});
        QCOMPARE(over.count(), 0);
        DlgUpdateProbe::expireDeadline(stop);
    }
    QPointer<QProcess> command = DlgUpdateProbe::commandProcess(stop);
    QTRY_COMPARE_WITH_TIMEOUT(over.count(), 1, 10000);
    QCOMPARE(over.at(0).at(0).value<StopCommand::Ending>(), ending);
    QVERIFY(!stop.isRunning());
    for (const auto &standIn : running)
        QVERIFY2(standIn->isGone(), "reported over while a process of that name still ran");
    QVERIFY(!bystander.isGone());
    if (!stopBody.isEmpty())
        QCOMPARE(install.stopRequests(), QStringList{name});
    QTRY_VERIFY(command.isNull()); // a hung command is killed with its process object
    QTest::qWait(100);
    QCOMPARE(over.count(), 1);
}

void TestProcess::showStopsProduct_data()
{
    QTest::addColumn<QByteArray>("stopBody");
    QTest::newRow("product stopped") << QByteArray("exit 0\n");
    QTest::newRow("product not running") << QByteArray("exit 1\n");
    QTest::newRow("stop takes a while") << QByteArray("sleep 0.5\n");
    QTest::newRow("no stop program: the product is ended here") << QByteArray();
}

void TestProcess::showStopsProduct()
{
    QFETCH(QByteArray, stopBody);
    StandInInstallation install;
    replaceStopProgram(install, stopBody);
    const QString productName = testOnlyName("P");
    StandInProcess product(productName);
    QVERIFY(product.started());
    PreparedDlgUpdate dlg(install.binDir(), install.path(QStringLiteral("package")));
    DlgUpdateProbe::setProductName(dlg, productName);
    MessageLog log;
    dlg.show();

    QPointer<QProcess> stop = DlgUpdateProbe::killProcess(dlg);
    QVERIFY(stop);
    QVERIFY(!stop->parent());
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 5);
    QTRY_COMPARE(log.count(QStringLiteral("kill finish")), 1);
    // Only the stand-in stop program leaves the product running; without one it is gone before the stages.
    QCOMPARE(product.isGone(), stopBody.isEmpty());
    QCOMPARE(install.stopRequests(), stopBody.isEmpty() ? QStringList() : QStringList{productName});
    QVERIFY2(log.count("quillfern.stop.without-command") == 0, log.dump().constData());
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 15);
    QVERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);
    QCOMPARE(DlgUpdateProbe::killProcess(dlg), nullptr);
    QTRY_VERIFY(stop.isNull()); // released once its notification is over
    QCOMPARE(install.productStarts(), 0);
}

void TestProcess::stopProgramThatNeverFinishesIsLeftBehind_data()
{
    QTest::addColumn<QByteArray>("stopBody");
    QTest::newRow("hanging") << QByteArray("exec sleep 60\n");
    QTest::newRow("hanging, ignoring being ended")
        << QByteArray("trap '' TERM\nwhile :; do sleep 0.1; done\n");
}

void TestProcess::stopProgramThatNeverFinishesIsLeftBehind()
{
    QFETCH(QByteArray, stopBody);
    StandInInstallation install;
    replaceStopProgram(install, stopBody);
    PreparedDlgUpdate dlg(install.binDir());
    MessageLog log;
    dlg.show();
    QPointer<QProcess> stop = DlgUpdateProbe::killProcess(dlg);
    QVERIFY(stop);
    QTRY_COMPARE(install.stopRequests(), QStringList{QStringLiteral("Halvorquintel")});
    QCOMPARE(log.count(QStringLiteral("kill finish")), 0);
    DlgUpdateProbe::expireStopDeadline(dlg);

    QTRY_COMPARE(log.count(QStringLiteral("kill finish")), 1);
    // Named with the bound it waited for, in seconds.
    QVERIFY2(log.count("quillfern.stop.without-command", QStringLiteral(" 20 ")) == 1,
             log.dump().constData());
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 15);
    QVERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);
    QCOMPARE(dlg.runState(), DlgUpdate::RunState::AwaitingFirstTry);
    QTRY_VERIFY(stop.isNull()); // a hanging stop program is ended with its process object
    QTest::qWait(200);
    QCOMPARE(log.count(QStringLiteral("kill finish")), 1);
}

void TestProcess::selfStopEndsOnlyThisInstallationsUpdaters_data()
{
    QTest::addColumn<int>("ofThisInstallation"); // copies of sleep running as this installation's updater
    QTest::addColumn<bool>("ignoringTerm");
    QTest::addColumn<bool>("boundRunsOut"); // and the updater ends itself where it stands
    QTest::newRow("none of this installation") << 0 << false << false;
    QTest::newRow("two of this installation") << 2 << false << false;
    QTest::newRow("one of this installation ignores being asked") << 1 << true << false;
    QTest::newRow("one of this installation outlasts the bound") << 1 << true << true;
}

// Another installation's updater, busy with its own run, survives this one's self-stop, and
// the stop program, which ends by name, is not asked.
void TestProcess::selfStopEndsOnlyThisInstallationsUpdaters()
{
    QFETCH(int, ofThisInstallation);
    QFETCH(bool, ignoringTerm);
    QFETCH(bool, boundRunsOut);
    StandInInstallation install;
    StandInInstallation other;
    const QString updater = install.binDir() + QStringLiteral("/quillFern");
    using OnTerm = StandInProcess::OnTerm;
    std::vector<std::unique_ptr<StandInProcess>> running;
    for (int i = 0; i < ofThisInstallation; ++i) {
        running.push_back(
            std::make_unique<StandInProcess>(updater, ignoringTerm ? OnTerm::Ignored : OnTerm::Ends));
        QVERIFY(running.back()->started());
    }
    StandInProcess otherUpdater(other.binDir() + QStringLiteral("/quillFern"), OnTerm::Ends);
    QVERIFY(otherUpdater.started());
    // Give the shells time to become sleep, which then ignores SIGTERM as they did.
    for (const auto &standIn : running)
        QTRY_VERIFY(standIn->runs(updater));
    PreparedDlgUpdate dlg(install.binDir());
    QVERIFY(dlg.claimInstallation());
    QSignalSpy closed(&dlg, &QDialog::rejected);
    MessageLog log;
    DlgUpdateProbe::setFailed(dlg, true);
    dlg.findChild<QPushButton *>(QStringLiteral("btnOK"))->setEnabled(true);
    QTest::mouseClick(dlg.findChild<QPushButton *>(QStringLiteral("btnOK")), Qt::LeftButton);
    // An updater that took the installation now would be ended by the self-stop mid-run.
    QVERIFY(DlgUpdateProbe::selfStopRunning(dlg));
    QVERIFY2(!InstallationLock(install.root()).claim(), qPrintable(install.root()));
    QTRY_COMPARE(install.productStarts(), 1);
    if (boundRunsOut) {
        QVERIFY(DlgUpdateProbe::selfStopRunning(dlg));
        DlgUpdateProbe::expireSelfStopDeadline(dlg);
    }
    // As the last window of the real updater, closing ends it with status 0.
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QVERIFY2(InstallationLock(install.root()).claim(), qPrintable(install.root()));
    const QByteArray messages = log.dump();
    QVERIFY2(log.count("quillfern.stop.self-stop-ended", boundRunsOut ? QStringLiteral(" 20 ") : QString()) ==
                 (boundRunsOut ? 1 : 0),
             messages.constData());
    for (const auto &standIn : running)
        QVERIFY2(standIn->isGone() != boundRunsOut, messages.constData());
    QVERIFY2(!otherUpdater.isGone(), "the other installation's updater was ended");
    QCOMPARE(install.stopRequests(), QStringList());
    QTest::qWait(100);
    QCOMPARE(closed.count(), 1);
}

void TestProcess::relaunchStartsProductAndStopsUpdater_data()
{
    QTest::addColumn<QString>("rootName");
    QTest::addColumn<bool>("productThere");
    QTest::newRow("plain") << "install" << true;
    QTest::newRow("spaces") << "Program Files/Halvorquintel App" << true;
    QTest::newRow("non-ASCII") << QString::fromUtf8("Programme/Mise à jour 更新") << true;
    QTest::newRow("double quotes, a space and non-ASCII")
        << QString::fromUtf8("Programme/\"Mise à jour\" 更新") << true;
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
    PreparedDlgUpdate dlg(install.binDir());
    QSignalSpy closed(&dlg, &QDialog::rejected);
    auto *bar = dlg.findChild<QProgressBar *>(QStringLiteral("progress"));
    DlgUpdateProbe::setTargetProgress(dlg, 100);
    bar->setValue(99);

    MessageLog log;
    DlgUpdateProbe::progressTick(dlg);
    QCOMPARE(bar->value(), 100);
    QTRY_COMPARE(install.productStarts(), productThere ? 1 : 0);
    QCOMPARE(log.count("quillfern.stop.product-not-started", QStringLiteral("\"%1\"").arg(product)),
             productThere ? 0 : 1);
    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(install.stopRequests(), QStringList());
    QCOMPARE(dlg.runState(), DlgUpdate::RunState::Relaunched);
}

void TestProcess::restartButtonRelaunchesOnEveryPress()
{
    StandInInstallation install;
    PreparedDlgUpdate dlg(install.binDir());
    auto *button = dlg.findChild<QPushButton *>(QStringLiteral("btnOK"));
    DlgUpdateProbe::setFailed(dlg, true);
    button->setEnabled(true);

    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(DlgUpdateProbe::selfStopRunning(dlg));
    QTRY_COMPARE(install.productStarts(), 1);
    QTRY_VERIFY(!DlgUpdateProbe::selfStopRunning(dlg));
    QCOMPARE(dlg.runState(), DlgUpdate::RunState::Restarted);

    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(DlgUpdateProbe::selfStopRunning(dlg)); // started again
    QTRY_COMPARE(install.productStarts(), 2);
    QTRY_VERIFY(!DlgUpdateProbe::selfStopRunning(dlg));
    QCOMPARE(install.stopRequests(), QStringList());
}

void TestProcess::secondShowAfterStopFinished()
{
    StandInInstallation install;
    PreparedDlgUpdate dlg(install.binDir());
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
    PreparedDlgUpdate dlg(install.binDir());
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
