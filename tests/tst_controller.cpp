#include <QAbstractEventDispatcher>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "installationbackup.h"
#include "installationlock.h"
#include "installationpaths.h"
#include "installationupdate.h"
#include "platform.h"
#include "processending.h"
#include "startupentry.h"
#include "testsupport.h"

#ifdef Q_OS_WIN
#include "win32calls_p.h"
#endif

namespace {
// Before any thread starts: the mounts of these tests stay in this process.
const bool ownMounts = PrivateMounts::enterOwnMountNamespace();
} // namespace

// The controller's timers are driven by delivering their events directly;
// no test waits for the real 3-second stage timer.
class TestController : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fullClimbFrom24();
    void valueAtOrAboveTargetStays_data();
    void valueAtOrAboveTargetStays();

    void showStartsRun_data();
    void showStartsRun();
    void unwritableInstallationElevates_data();
    void unwritableInstallationElevates();
    void successOnFirstTry();
    void stageTimerIsOneShot();
    void copyFailingEveryTime();
    void failureThenSuccess();
    void lockLeftBehind_data();
    void lockLeftBehind();
    void stopNamesWhatItCannotEnd_data();
    void stopNamesWhatItCannotEnd();
    void packageCheckedAgainstManifest_data();
    void packageCheckedAgainstManifest();

private:
    QTemporaryDir workDir;
    QString previousDir;
};

void TestController::init()
{
    // The failure log is written to the working directory.
    previousDir = QDir::currentPath();
    QVERIFY(workDir.isValid());
    QDir::setCurrent(workDir.path());
}

void TestController::cleanup()
{
    QDir::setCurrent(previousDir);
}

void TestController::fullClimbFrom24()
{
    StandInInstallation install;
    PreparedDlgUpdate dlg(install.binDir());
    auto *okButton = dlg.findChild<QPushButton *>(QStringLiteral("btnOK"));
    auto *progressBar = dlg.findChild<QProgressBar *>(QStringLiteral("progress"));
    DlgUpdateProbe::setTargetProgress(dlg, 100);

    MessageLog log;
    int ticks = 0;
    while (progressBar->value() < 100 && ticks < 1000) {
        QVERIFY(!okButton->isEnabled());
        const int before = progressBar->value();
        DlgUpdateProbe::progressTick(dlg);
        // Every tick moves the bar, also when the step toward the target is below one.
        QVERIFY2(progressBar->value() > before, qPrintable(QString::number(before)));
        ++ticks;
    }
    QCOMPARE(ticks, 54);
    QCOMPARE(progressBar->value(), 100);
    QVERIFY(okButton->isEnabled());
    QCOMPARE(log.count(QStringLiteral("Finish!")), 1);

    // Further ticks neither move the bar nor hand over again.
    for (int i = 0; i < 10; ++i)
        DlgUpdateProbe::progressTick(dlg);
    QCOMPARE(progressBar->value(), 100);
    QCOMPARE(log.count(QStringLiteral("Finish!")), 1);
}

void TestController::valueAtOrAboveTargetStays_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("target");
    QTest::newRow("targets 5 and 15 stay below the initial 24") << 24 << 15;
    QTest::newRow("equal") << 95 << 95;
    QTest::newRow("above after a retry set 35") << 72 << 35;
    QTest::newRow("zero target") << 24 << 0;
}

void TestController::valueAtOrAboveTargetStays()
{
    QFETCH(int, value);
    QFETCH(int, target);
    StandInInstallation install;
    PreparedDlgUpdate dlg(install.binDir());
    auto *bar = dlg.findChild<QProgressBar *>(QStringLiteral("progress"));
    bar->setValue(value);
    DlgUpdateProbe::setTargetProgress(dlg, target);
    DlgUpdateProbe::progressTick(dlg);
    QCOMPARE(bar->value(), value);
}

namespace {

// The interval the event dispatcher holds for one of the window's timers, -1 when it has none.
int timerInterval(DlgUpdate &dlg, int timerId)
{
    for (const QAbstractEventDispatcher::TimerInfo &timer :
         QAbstractEventDispatcher::instance()->registeredTimers(&dlg)) {
        if (timer.timerId == timerId)
            return timer.interval;
    }
    return -1;
}

} // namespace

void TestController::showStartsRun_data()
{
    QTest::addColumn<bool>("writable");
    QTest::newRow("an installation the updater can write") << true;
    QTest::newRow("an installation it cannot write: nothing stopped") << false;
}

void TestController::showStartsRun()
{
    QFETCH(bool, writable);
    StandInInstallation install;
    QVERIFY(writeFile(install.path(QStringLiteral("package/Env/new.txt")), "new"));
    PreparedDlgUpdate dlg(install.binDir(), install.path(QStringLiteral("package")));
    const auto unmount = qScopeGuard([&install] { PrivateMounts::unmount(install.root()); });
    if (!writable && !(PrivateMounts::ownMountNamespace() && PrivateMounts::makeReadOnly(install.root())))
        QSKIP("a read-only installation needs root and a mount namespace of the test's own");
    const auto installed = snapshotTree(install.root());
    MessageLog log;
    dlg.show();
    if (!writable) {
        QCOMPARE(dlg.runState(), DlgUpdate::RunState::Failed);
        QCOMPARE(dlg.findChild<QPushButton *>(QStringLiteral("btnOK"))->text(), QStringLiteral("重启"));
        const QString root =
            QStringLiteral("\"%1\"").arg(InstallationPaths::installationRoot(install.binDir()));
        QVERIFY2(log.count("quillfern.run.not-writable", root) == 1, log.dump().constData());
        // Given time, a stop would have shown by now.
        QTest::qWait(200);
        QCOMPARE(install.stopRequests(), QStringList());
        QCOMPARE(log.count(QStringLiteral("kill finish")), 0);
        QCOMPARE(snapshotTree(install.root()), installed);
        return;
    }

    QVERIFY(DlgUpdateProbe::progressTimerId(dlg) != -1);
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 5);
    QTRY_COMPARE(log.count(QStringLiteral("kill finish")), 1);
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 15);
    QVERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);
    QCOMPARE(dlg.findChild<QProgressBar *>(QStringLiteral("progress"))->value(), 24);
    QCOMPARE(timerInterval(dlg, DlgUpdateProbe::progressTimerId(dlg)), 100);
    QCOMPARE(timerInterval(dlg, DlgUpdateProbe::stageTimerId(dlg)), 3000);
}

void TestController::successOnFirstTry()
{
    StandInInstallation install;
    const QString package = install.path(QStringLiteral("package"));
    QVERIFY(QDir().mkpath(package + QStringLiteral("/Env")));
    PreparedDlgUpdate dlg(install.binDir(), package);
    MessageLog log;
    dlg.show();
    QTRY_VERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);

    DlgUpdateProbe::stageTick(dlg);
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 100);
    QCOMPARE(DlgUpdateProbe::stageTimerId(dlg), -1);
    QCOMPARE(DlgUpdateProbe::attemptCount(dlg), 0);
    QVERIFY(!QFileInfo::exists(package));

    auto *button = dlg.findChild<QPushButton *>(QStringLiteral("btnOK"));

    auto *bar = dlg.findChild<QProgressBar *>(QStringLiteral("progress"));
    QList<int> values;
    while (bar->value() < 100 && values.size() < 100) {
        DlgUpdateProbe::progressTick(dlg);
        values << bar->value();
    }
    QCOMPARE(values.size(), 54);
    QCOMPARE(values.mid(0, 7), (QList<int>{27, 30, 33, 36, 39, 42, 44}));
    QVERIFY(button->isEnabled());
    QCOMPARE(button->text(), QStringLiteral("Update completed"));
    const QStringList expected{QStringLiteral("kill finish"), QStringLiteral("copy finish"),
                               QStringLiteral("100!"), QStringLiteral("Finish!")};
    QStringList seen;
    for (const QString &message : log.messages()) {
        if (expected.contains(message))
            seen << message;
    }
    QCOMPARE(seen, expected);
}

void TestController::stageTimerIsOneShot()
{
    StandInInstallation install;
    PreparedDlgUpdate dlg(install.binDir(), install.path(QStringLiteral("package")));
    DlgUpdateProbe::onKillFinish(dlg);
    const int first = DlgUpdateProbe::stageTimerId(dlg);
    QVERIFY(first != -1);
    // Arming again replaces the pending timer instead of adding one.
    DlgUpdateProbe::onKillFinish(dlg);
    QVERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);
    DlgUpdateProbe::stageTick(dlg);
    QCOMPARE(DlgUpdateProbe::stageTimerId(dlg), -1);
    // The old id no longer runs the stages.
    MessageLog log;
    DlgUpdateProbe::fire(dlg, first);
    QCOMPARE(log.count(QStringLiteral("copy finish")), 0);
}

namespace {

// A payload file whose installed counterpart is a folder with content: the copy fails every time.
void blockCopy(const StandInInstallation &install, const QString &package)
{
    QVERIFY(writeFile(package + QStringLiteral("/Env/config"), "new config"));
    QVERIFY(writeFile(install.path(QStringLiteral("config/inside.txt")), "in the way"));
}

} // namespace

void TestController::copyFailingEveryTime()
{
    StandInInstallation install;
    const QString package = install.path(QStringLiteral("package"));
    blockCopy(install, package);
    PreparedDlgUpdate dlg(install.binDir(), package);
    auto *okButton = dlg.findChild<QPushButton *>(QStringLiteral("btnOK"));
    auto *statusLabel = dlg.findChild<QLabel *>(QStringLiteral("label"));
    auto *progressBar = dlg.findChild<QProgressBar *>(QStringLiteral("progress"));
    MessageLog log;
    dlg.show();
    QTRY_VERIFY(DlgUpdateProbe::stageTimerId(dlg) != -1);

    for (int attempt = 1; attempt <= 5; ++attempt) {
        DlgUpdateProbe::stageTick(dlg);
        QCOMPARE(log.count(QStringLiteral("copy finish")), attempt);
        QCOMPARE(DlgUpdateProbe::attemptCount(dlg), attempt);
        QVERIFY2(DlgUpdateProbe::stageTimerId(dlg) != -1, "the next try is armed");
        QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 95);
        QVERIFY(!okButton->isEnabled());
        QVERIFY(dlg.runState() != DlgUpdate::RunState::Failed);
    }
    QCOMPARE(readFile(QStringLiteral("log.txt")), QByteArray("copy fail!"));

    // The tick after the fifth try shows the failure instead of a sixth try.
    DlgUpdateProbe::stageTick(dlg);
    QCOMPARE(log.count(QStringLiteral("copy finish")), 5);
    QCOMPARE(DlgUpdateProbe::stageTimerId(dlg), -1);
    QVERIFY(dlg.runState() == DlgUpdate::RunState::Failed);
    QCOMPARE(statusLabel->text(), QStringLiteral("更新失败"));
    QCOMPARE(statusLabel->styleSheet(), QStringLiteral("color:rgb(255,0,0);"));
    QVERIFY(okButton->isEnabled());
    QCOMPARE(okButton->text(), QStringLiteral("重启"));
    QVERIFY(QFileInfo::exists(package));

    // The bar climbs to 95 and stays there; nothing is relaunched until the button is pressed.
    for (int i = 0; i < 200; ++i)
        DlgUpdateProbe::progressTick(dlg);
    QCOMPARE(progressBar->value(), 95);
    QCOMPARE(log.count(QStringLiteral("Finish!")), 0);
    QCOMPARE(install.productStarts(), 0);
}

void TestController::failureThenSuccess()
{
    StandInInstallation install;
    const QString package = install.path(QStringLiteral("package"));
    blockCopy(install, package);
    QVERIFY(writeFile(package + QStringLiteral("/Env/del.xml"), "<DelLs><f>gone.txt</f></DelLs>"));
    QVERIFY(writeFile(install.path(QStringLiteral("gone.txt")), "old"));
    PreparedDlgUpdate dlg(install.binDir(), package);
    MessageLog log;
    DlgUpdateProbe::onKillFinish(dlg);

    DlgUpdateProbe::stageTick(dlg);
    QCOMPARE(DlgUpdateProbe::attemptCount(dlg), 1);
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 95);
    QVERIFY(!QFileInfo::exists(install.path(QStringLiteral("gone.txt"))));
    QVERIFY(!QFileInfo::exists(package + QStringLiteral("/Env/del.xml")));

    QVERIFY(QDir(install.path(QStringLiteral("config"))).removeRecursively());
    DlgUpdateProbe::stageTick(dlg);
    QCOMPARE(log.count(QStringLiteral("copy finish")), 2);
    QCOMPARE(log.count(QStringLiteral("delete finish!")), 1);
    QVERIFY(!QFileInfo::exists(install.path(QStringLiteral("del.xml"))));
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 100);
    QCOMPARE(DlgUpdateProbe::stageTimerId(dlg), -1);
    QCOMPARE(readFile(install.path(QStringLiteral("config"))), QByteArray("new config"));
    QVERIFY(!QFileInfo::exists(package));
    QCOMPARE(readFile(QStringLiteral("log.txt")), QByteArray("copy fail!"));
}

void TestController::unwritableInstallationElevates_data()
{
    QTest::addColumn<QString>("launch"); // how this updater was started
    QTest::addColumn<QString>("prompt"); // what the elevation prompt comes to; empty: no prompt expected
    QTest::addColumn<int>("elevatedEnd"); // the elevated updater's exit status
    QTest::addColumn<int>("productStarts");
    QTest::newRow("UAC on: the elevated run ends, the product is started here, unelevated")
        << "plain" << "started" << int(Platform::ProductLeftToLauncher) << 1;
    QTest::newRow("the elevated run closed before its end: no product started")
        << "plain" << "started" << 0 << 0;
    QTest::newRow("a relative package path goes absolute, with the working folder")
        << "relative package" << "started" << int(Platform::ProductLeftToLauncher) << 1;
    QTest::newRow("the prompt declined: the lock kept, the failure state")
        << "plain" << "declined" << 0 << 0;
    // UAC off, or a standard user without a prompt: the relaunch is not elevated either.
    QTest::newRow("a relaunch that comes back unelevated never relaunches again")
        << "marked" << QString() << 0 << 0;
    QTest::newRow("over the shoulder: the entry stays with the launching user")
        << "marked by another account" << QString() << 0 << 0;
}

#ifdef Q_OS_WIN
namespace {

int elevations = 0;
QString elevatedParameters;
QString elevatedDirectory;
QString elevatedVerb;
bool promptDeclined = false;
DWORD elevatedStatus = 0;

// The system's elevation prompt: accepted, the elevated updater a process
// that has already ended (an event set at once); or declined.
BOOL WINAPI standInElevation(SHELLEXECUTEINFOW *info)
{
    ++elevations;
    elevatedVerb = QString::fromWCharArray(info->lpVerb);
    elevatedParameters = QString::fromWCharArray(info->lpParameters);
    elevatedDirectory = info->lpDirectory ? QString::fromWCharArray(info->lpDirectory) : QString();
    if (promptDeclined) {
        SetLastError(ERROR_CANCELLED);
        return FALSE;
    }
    info->hProcess = (info->fMask & SEE_MASK_NOCLOSEPROCESS) ? CreateEventW(nullptr, TRUE, TRUE, nullptr) : nullptr;
    return TRUE;
}

// Wine runs every process with an elevated token; UAC would give a filtered one.
BOOL WINAPI filteredToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID info, DWORD size, PDWORD needed)
{
    if (kind != TokenElevation)
        return GetTokenInformation(token, kind, info, size, needed);
    if (size < sizeof(TOKEN_ELEVATION))
        return FALSE;
    static_cast<TOKEN_ELEVATION *>(info)->TokenIsElevated = 0;
    *needed = sizeof(TOKEN_ELEVATION);
    return TRUE;
}

BOOL WINAPI standInExitStatus(HANDLE, LPDWORD status)
{
    *status = elevatedStatus;
    return TRUE;
}

QStringList splitCommandLine(const QString &line)
{
    int count = 0;
    wchar_t **split =
        CommandLineToArgvW(reinterpret_cast<const wchar_t *>((QStringLiteral("x ") + line).utf16()), &count);
    QStringList arguments;
    for (int i = 1; i < count; ++i)
        arguments << QString::fromWCharArray(split[i]);
    LocalFree(split);
    return arguments;
}

} // namespace
#endif

// An installation this updater cannot write: it asks once to run elevated,
// keeps the lock until the elevated one can take it, and starts the product
// itself, unelevated, when the elevated run is over. Wine has no UAC: the
// prompt is the table's.
void TestController::unwritableInstallationElevates()
{
#ifndef Q_OS_WIN
    QSKIP("only Windows elevates; elsewhere an installation the user cannot write is left as it is");
#else
    QFETCH(QString, launch);
    QFETCH(QString, prompt);
    QFETCH(int, elevatedEnd);
    QFETCH(int, productStarts);
    Workspace ws(Workspace::Bin::StandIns);
    QVERIFY(ws.isValid());
    QVERIFY(writeFile(ws.env(QStringLiteral("new.txt")), "new"));
    // The product stand-in records its starts beside itself.
    QVERIFY(QFile::copy(QStringLiteral("Z:") + QStringLiteral(QUILLFERN_PRODUCT_STANDIN),
                        ws.binDir() + QStringLiteral("/Halvorquintel.exe")));
    const auto endProducts = qScopeGuard([&ws] {
        for (const QString &record : ws.productRecords()) {
            const HANDLE product = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, record.section(QLatin1Char(' '), 0, 0).toULong());
            if (product) {
                TerminateProcess(product, 0);
                WaitForSingleObject(product, 5000);
                CloseHandle(product);
            }
        }
    });
    QVERIFY(ws.enterWork());
    const QString package = launch == QLatin1String("relative package")
                                ? QDir(ws.work()).relativeFilePath(ws.package())
                                : ws.package();
    PreparedDlgUpdate dlg(ws.binDir(), package);
    Platform::ElevationMark mark;
    if (launch.startsWith(QLatin1String("marked"))) {
        mark.launcherPid = QCoreApplication::applicationPid() + 1;
        mark.launcherUser = launch.endsWith(QLatin1String("another account")) ? QStringLiteral("S-1-5-21-1-2-3-1001")
                                                                               : Platform::currentUser();
        mark.workingDir = ws.work();
        mark.runLogFolder = ws.beside(QStringLiteral("log"));
    }
    dlg.setElevationMark(mark);
    const auto unmarked = qScopeGuard([&dlg] { dlg.setElevationMark(Platform::ElevationMark()); });
    elevations = 0;
    promptDeclined = prompt == QLatin1String("declined");
    elevatedStatus = DWORD(elevatedEnd);
    const Win32Calls system = win32();
    const auto putBack = qScopeGuard([system] { win32() = system; });
    win32().shellExecuteEx = &standInElevation;
    win32().getExitCodeProcess = &standInExitStatus;
    win32().getTokenInformation = &filteredToken;
    QVERIFY(dlg.claimInstallation());
    const auto installed = snapshotTree(ws.root());

    DlgUpdateProbe::writeRefused(dlg, QStringLiteral("Access is denied."));
    QCOMPARE(elevations, prompt.isEmpty() ? 0 : 1);
    InstallationLock other(ws.root());
    if (prompt == QLatin1String("started")) {
        QCOMPARE(elevatedVerb, QStringLiteral("runas"));
        const QStringList arguments = splitCommandLine(elevatedParameters);
        QCOMPARE(arguments.value(0), QStringLiteral("update"));
        QCOMPARE(QDir::fromNativeSeparators(arguments.value(1)), QFileInfo(ws.package()).absoluteFilePath());
        QCOMPARE(QDir::fromNativeSeparators(elevatedDirectory), QDir::currentPath());
        const Platform::ElevationMark carried =
            Platform::readElevationMark(QStringList{QStringLiteral("quillFern")} + arguments);
        QVERIFY(carried.isSet());
        QCOMPARE(carried.launcherPid, QCoreApplication::applicationPid());
        QCOMPARE(carried.launcherUser, Platform::currentUser());
        QCOMPARE(carried.workingDir, QDir::currentPath());
        // The elevated one takes the lock over; this one starts the product once it is over.
        QTRY_COMPARE(dlg.runState(), DlgUpdate::RunState::ElevatedRunOver);
        QVERIFY(other.claim());
        other.release();
    } else {
        // Nothing stopped or changed, and the lock still held for this run.
        QCOMPARE(dlg.runState(), DlgUpdate::RunState::Failed);
        QVERIFY(!other.claim());
    }
    // Under Wine a process starts in seconds when other tests keep its server busy.
    if (productStarts > 0)
        QTRY_COMPARE_WITH_TIMEOUT(ws.productStarts(), productStarts, 30000);
    QTest::qWait(200);
    QCOMPARE(ws.productStarts(), productStarts);
    QCOMPARE(ws.stopRequests(), QStringList());
    // Nothing changed but the lock and the product stand-in's record of its starts.
    auto now = snapshotTree(ws.root());
    now.remove(QStringLiteral("bin/product-starts.log"));
    now.remove(InstallationBackup::lockName());
    auto before = installed;
    before.remove(InstallationBackup::lockName());
    QCOMPARE(now, before);
    if (launch == QLatin1String("marked by another account")) {
        // The launching user's Run key, in that user's hive, never the elevated account's.
        QVERIFY2(StartupEntry(ws.root()).location().startsWith(
                     QStringLiteral("HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\")),
                 qPrintable(StartupEntry(ws.root()).location()));
    } else {
        QVERIFY(StartupEntry(ws.root()).location().startsWith(QStringLiteral("HKEY_CURRENT_USER\\")));
    }
    if (mark.isSet()) {
        // At its end, a marked run leaves the product to its launcher: started here, it would run elevated.
        DlgUpdateProbe::onAfterUpdateTaskFinish(dlg);
        QCOMPARE(dlg.exitStatus(), int(Platform::ProductLeftToLauncher));
        QTest::qWait(100);
        QCOMPARE(ws.productStarts(), 0);
    }
#endif
}

QTEST_MAIN(TestController)
#include "tst_controller.moc"

namespace {

// Sets the modification time of the entry at `path` itself (a link's own, a
// folder's) a minute back.
bool ageByAMinute(const QString &path)
{
#ifdef Q_OS_WIN
    const HANDLE entry =
        CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                    FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (entry == INVALID_HANDLE_VALUE)
        return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks; // 100 ns each
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart -= 60ULL * 10000000ULL;
    FILETIME before;
    before.dwLowDateTime = ticks.LowPart;
    before.dwHighDateTime = ticks.HighPart;
    const bool set = SetFileTime(entry, nullptr, nullptr, &before) != 0;
    CloseHandle(entry);
    return set;
#else
    return QProcess::execute(QStringLiteral("touch"), {QStringLiteral("-h"), QStringLiteral("-d"),
                                                       QStringLiteral("1 minute ago"), path}) == 0;
#endif
}

} // namespace

void TestController::lockLeftBehind_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("claimed");
    // After a restart a new updater may get the process id of the one that left the lock.
    QTest::newRow("this process's id, this machine: left before a restart") << QStringLiteral("self") << true;
    QTest::newRow("this process's id, another machine") << QStringLiteral("self elsewhere") << false;
    QTest::newRow("a live process of the name it gives") << QStringLiteral("live") << false;
    // No updater makes anything but a plain file: once a few seconds old, anything else goes.
    QTest::newRow("a link that leads nowhere, a minute old") << QStringLiteral("dangling link, old") << true;
    QTest::newRow("a link that leads nowhere, just made") << QStringLiteral("dangling link, new") << false;
    QTest::newRow("a link to a lock kept from elsewhere, a minute old")
        << QStringLiteral("link, old") << true;
    QTest::newRow("a folder, a minute old") << QStringLiteral("folder, old") << true;
    QTest::newRow("a folder, just made") << QStringLiteral("folder, new") << false;
    // Another updater takes the folder over and makes its lock between the look and the takeover.
    QTest::newRow("a folder, a minute old, taken over meanwhile by another updater")
        << QStringLiteral("folder, old, raced") << false;
}

namespace {
// What another updater writes as its lock in the instant before a takeover (Windows rows).
QByteArray racingContent;
} // namespace

#ifdef Q_OS_WIN
namespace {

QString racedLock;

// Another updater, at the instant before the takeover renames the folder
// aside: it empties the folder's place and makes its own lock there.
HANDLE WINAPI lockTakenMeanwhile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE model)
{
    const QString opened = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    if ((access & DELETE) && !racedLock.isEmpty() && opened.endsWith(racedLock, Qt::CaseInsensitive)) {
        QDir(racedLock).removeRecursively();
        writeFile(racedLock, racingContent);
        racedLock.clear();
    }
    return CreateFileW(path, access, share, security, disposition, flags, model);
}

} // namespace
#endif

void TestController::lockLeftBehind()
{
    QFETCH(QString, holder);
    QFETCH(bool, claimed);
    const QString lockPath = workDir.filePath(InstallationBackup::lockName());
    QFile::remove(lockPath);
    // The lock's own layout, as this Qt writes it, with the holder put in.
    QByteArrayList lines;
    {
        QLockFile model(lockPath);
        QVERIFY(model.tryLock(0));
        lines = readFile(lockPath).split('\n');
    }
    QVERIFY(lines.size() >= 3);
    QProcess live;
    if (holder == QLatin1String("live")) {
        live.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        if (!live.waitForStarted())
            QSKIP("no sleep program to stand for a live updater");
        lines[0] = QByteArray::number(live.processId());
        lines[1] = "sleep";
    } else if (holder == QLatin1String("self elsewhere")) {
        lines[2] = "another-machine";
    }
    const QString inFolder = lockPath + QStringLiteral("/left.txt");
    const QString trash = workDir.filePath(InstallationBackup::trashName());
    const auto cleanUp = qScopeGuard([&] {
        QFile::remove(workDir.filePath(QStringLiteral("held.lock")));
        QFile::remove(lockPath);
        QDir(lockPath).removeRecursively();
        QDir(trash).removeRecursively();
    });
    if (holder.contains(QLatin1String("link"))) {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a shell shortcut here, a plain file");
#endif
    }
    if (holder.startsWith(QLatin1String("dangling link"))) {
        QVERIFY(QFile::link(workDir.filePath(QStringLiteral("nowhere")), lockPath));
    } else if (holder.startsWith(QLatin1String("link"))) {
        // What it leads to would keep every run out as a plain file (see "self elsewhere").
        lines[2] = "another-machine";
        QVERIFY(writeFile(workDir.filePath(QStringLiteral("held.lock")), lines.join('\n')));
        QVERIFY(QFile::link(workDir.filePath(QStringLiteral("held.lock")), lockPath));
    } else if (holder.startsWith(QLatin1String("folder"))) {
        QVERIFY(writeFile(inFolder, "not the updater's to empty"));
    } else {
        QVERIFY(writeFile(lockPath, lines.join('\n')));
    }
    if (holder.contains(QLatin1String(", old")))
        QVERIFY(ageByAMinute(lockPath));
    const bool raced = holder.endsWith(QLatin1String("raced"));
#ifdef Q_OS_WIN
    const Win32Calls system = win32();
    const auto putBack = qScopeGuard([system] { win32() = system; });
    if (raced) {
        lines[2] = "another-machine"; // a live updater's lock, as far as this process can tell
        racingContent = lines.join('\n');
        racedLock = lockPath;
        win32().createFile = &lockTakenMeanwhile;
    }
#else
    if (raced)
        QSKIP("the instant between the look and the takeover is reached through the Windows calls' table");
#endif

    MessageLog log;
    InstallationLock lock(workDir.path());
    QCOMPARE(lock.claim(), claimed);
    if (claimed && holder != QLatin1String("self")) {
        QVERIFY(QFileInfo(lockPath).isFile() && !QFileInfo(lockPath).isSymLink());
        QCOMPARE(log.count("quillfern.lock.taken-over", QStringLiteral("\"%1\"").arg(lockPath)), 1);
    }
    if (holder.startsWith(QLatin1String("link")))
        QVERIFY(QFileInfo::exists(workDir.filePath(QStringLiteral("held.lock"))));
    if (raced) {
        // The other updater's lock stays where it made it, as it made it.
        QVERIFY(QFileInfo(lockPath).isFile());
        QCOMPARE(readFile(lockPath), racingContent);
        QVERIFY(!QFileInfo::exists(inFolder));
    } else if (holder.startsWith(QLatin1String("folder"))) {
        // Moved aside whole, never emptied where it stood.
        const QStringList thrown =
            QDir(trash).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QCOMPARE(thrown.size(), claimed ? 1 : 0);
        QCOMPARE(readFile(claimed ? trash + QLatin1Char('/') + thrown.value(0) + QStringLiteral("/left.txt")
                                  : inFolder),
                 QByteArray("not the updater's to empty"));
    }
    QCOMPARE(log.count("quillfern.lock.busy", QStringLiteral("\"%1\"").arg(lockPath)), claimed ? 0 : 1);
    lock.release();
    if (live.state() != QProcess::NotRunning) {
        live.kill();
        live.waitForFinished();
    }
}

void TestController::stopNamesWhatItCannotEnd_data()
{
    QTest::addColumn<QString>("refusal"); // the call the system stands in for with access denied
    QTest::newRow("its account cannot be read: an elevated product") << "token";
    QTest::newRow("it refuses to end") << "termination";
}

#ifdef Q_OS_WIN
namespace {

BOOL WINAPI tokenDenied(HANDLE, DWORD, PHANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI terminationDenied(HANDLE, UINT)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

} // namespace
#endif

// A product the stop cannot inspect or end is named in the run log, with its
// id and the reason, and left running; never taken for another user's in silence.
void TestController::stopNamesWhatItCannotEnd()
{
#ifndef Q_OS_WIN
    QSKIP("the Windows process calls stand in here; tst_process covers /proc");
#else
    QFETCH(QString, refusal);
    QProcess product;
    product.start(QStringLiteral("Z:") + QStringLiteral(QUILLFERN_PRODUCT_STANDIN), QStringList());
    QVERIFY(product.waitForStarted());
    const auto endProduct = qScopeGuard([&product] {
        product.kill();
        product.waitForFinished();
    });
    const Win32Calls system = win32();
    const auto putBack = qScopeGuard([system] { win32() = system; });
    if (refusal == QLatin1String("token"))
        win32().openProcessToken = &tokenDenied;
    else
        win32().terminateProcess = &terminationDenied;

    const auto ending = ProcessEnding::endByName(QStringLiteral("Halvorquintel"));
    // The problem names the process the system kept from ending.
    QVERIFY2(ending->problem().contains(QStringLiteral("Halvorquintel.exe (%1)").arg(product.processId())),
             qPrintable(ending->problem()));
    QCOMPARE(ending->ending(), 0);
    QVERIFY(!product.waitForFinished(200));
#endif
}

void TestController::packageCheckedAgainstManifest_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("applied");
    // The file the refusal, or the failure of the try that met the change, names in double quotes;
    // empty where it is the manifest or the signature as a whole.
    QTest::addColumn<QString>("named");

    QTest::newRow("a match") << QString() << true << QString();
    QTest::newRow("a file cut short") << "cut short" << false << R"("data/readme.txt")";
    QTest::newRow("an empty file") << "emptied" << false << R"("bin/app.dll")";
    QTest::newRow("a missing file") << "removed" << false << R"("data/readme.txt")";
    QTest::newRow("an unlisted file") << "added" << false << R"("bin/extra.dll")";
    QTest::newRow("unlisted files: the first the copy meets is named")
        << "added two" << false << R"("bin/a-extra.dll")";
    QTest::newRow("the deletion list changed") << "list changed" << false << R"("del.xml")";
    QTest::newRow("a garbled line") << "garbled" << false << QString();
    QTest::newRow("a path with ..") << "parent" << false << R"("../outside.txt")";
    QTest::newRow("a manifest that cannot be read") << "unreadable" << false << QString();
    QTest::newRow("a run cut short had moved the payload in") << "earlier run" << true << QString();
    // A list no try could apply refuses the package before anything changes.
    QTest::newRow("a deletion list that is not well-formed")
        << "bad list, not well-formed" << false << QString();
    QTest::newRow("a deletion list without DelLs") << "bad list, without DelLs" << false << R"("DelLs")";
    // The check shows no progress (a file system that stopped answering): the wait is bounded.
    QTest::newRow("a check that stops answering") << "stalled" << false << QString();
#ifndef Q_OS_WIN
    // A pipe in a file's place: never waited on.
    QTest::newRow("a pipe as the manifest") << "pipe manifest" << false << R"(SHA256SUMS")";
    QTest::newRow("a pipe as the deletion list") << "pipe list" << false << R"("del.xml")";
    QTest::newRow("escaped names, written by sha256sum") << "escaped" << true << QString();
    QTest::newRow("an unlisted file behind a folder link")
        << "linked" << false << R"("data/linked/extra.txt")";

    // With keys built in, signed by the real minisign command.
    QTest::newRow("signed, prehashed") << "signed" << true << QString();
    QTest::newRow("signed the legacy way") << "signed legacy" << true << QString();
    // libgcrypt verifies no longer message: refused, where it would end the process.
    QTest::newRow("signed the legacy way, over 64 KiB") << "signed legacy long" << false << QString();
    QTest::newRow("signed with the second of two keys") << "signed second key" << true << QString();
    QTest::newRow("no signature") << "signed by none" << false << QString();
    QTest::newRow("signed with another key") << "signed another key" << false << QString();
    QTest::newRow("the trusted comment altered") << "signed comment altered" << false << QString();
    QTest::newRow("the manifest edited after signing") << "signed manifest edited" << false << QString();
    QTest::newRow("a damaged signature file") << "signed malformed" << false << QString();
    QTest::newRow("built-in keys that cannot be read") << "signed, keys unreadable" << false << QString();
    QTest::newRow("no manifest at all") << "signed no manifest" << false << QString();
    QTest::newRow("signed, a pipe as the manifest") << "signed pipe manifest" << false << R"(SHA256SUMS")";
    QTest::newRow("signed, a pipe as the signature")
        << "signed pipe signature" << false << R"(SHA256SUMS.minisig")";
    QTest::newRow("signed, a pipe as the deletion list") << "signed pipe list" << false << R"("del.xml")";

    // The package changes after it was checked; a folder link as Env makes the run copy it.
    // Named by their paths in the installation or the package.
    const QString readme = QStringLiteral(R"(/data/readme.txt")");
    const QString list = QStringLiteral(R"(/del.xml")");
    for (const char *how : {"moved", "copied"}) {
        for (const char *when : {"in the wait", "between tries"}) {
            QTest::addRow("%s, a listed file removed %s", how, when)
                << QStringLiteral("%1: removed %2").arg(how, when) << false << readme;
            QTest::addRow("%s, a listed file rewritten %s", how, when)
                << QStringLiteral("%1: rewritten %2").arg(how, when) << false << readme;
            QTest::addRow("%s, the deletion list rewritten %s", how, when)
                << QStringLiteral("%1: list rewritten %2").arg(how, when) << false << list;
        }
    }
#endif
}

// A package that does not match its manifest changes nothing, fails at once
// and stays; hidden entries and "__MACOSX" need not be listed. With keys, only
// a package whose manifest one of them signed is applied. A package that
// changes after the check fails the try that uses it, and is rolled back.
void TestController::packageCheckedAgainstManifest()
{
    QFETCH(QString, damage);
    QFETCH(bool, applied);
    QFETCH(QString, named);
    StandInInstallation install;
    const bool signing = damage.startsWith(QLatin1String("signed"));
    const bool afterCheck =
        damage.contains(QLatin1String(" in the wait")) || damage.contains(QLatin1String(" between tries"));
    const QString package = install.path(QStringLiteral("package"));
    const QString env = package + QStringLiteral("/Env/");
    QVERIFY(writeFile(env + QStringLiteral("bin/app.dll"), "new app"));
    QVERIFY(writeFile(env + QStringLiteral("data/readme.txt"), "new readme"));
    QVERIFY(writeFile(env + QStringLiteral("del.xml"), "<DelLs><f>gone.txt</f></DelLs>"));
    QVERIFY(writeFile(env + QStringLiteral(".hidden"), "not installed"));
    QVERIFY(writeFile(env + QStringLiteral("__MACOSX/._app.dll"), "archiver's"));
    QVERIFY(writeFile(install.path(QStringLiteral("bin/app.dll")), "old app"));
    QVERIFY(writeFile(install.path(QStringLiteral("gone.txt")), "old"));
    QVERIFY(writeFile(install.path(QStringLiteral("outside.txt")), "beside the package"));
    QVERIFY(writeManifest(package, {QStringLiteral("bin/app.dll"), QStringLiteral("data/readme.txt"),
                                    QStringLiteral("del.xml")}));
    const QString manifest = package + QStringLiteral("/SHA256SUMS");
    int listed = 3;
    if (damage == QLatin1String("cut short"))
        QVERIFY(writeFile(env + QStringLiteral("data/readme.txt"), "new"));
    else if (damage == QLatin1String("emptied"))
        QVERIFY(writeFile(env + QStringLiteral("bin/app.dll"), QByteArray()));
    else if (damage == QLatin1String("removed"))
        QVERIFY(QFile::remove(env + QStringLiteral("data/readme.txt")));
    else if (damage == QLatin1String("added"))
        QVERIFY(writeFile(env + QStringLiteral("bin/extra.dll"), "extra"));
    else if (damage == QLatin1String("added two")) {
        // Met by the copy in name order regardless of case: "a-extra" before "B-extra".
        QVERIFY(writeFile(env + QStringLiteral("bin/B-extra.dll"), "extra"));
        QVERIFY(writeFile(env + QStringLiteral("bin/a-extra.dll"), "extra"));
    } else if (damage == QLatin1String("linked")) {
        const QString outside = install.workspace() + QStringLiteral("/more");
        QVERIFY(writeFile(outside + QStringLiteral("/extra.txt"), "extra"));
        QVERIFY(QFile::link(outside, env + QStringLiteral("data/linked")));
    } else if (damage == QLatin1String("list changed"))
        QVERIFY(writeFile(env + QStringLiteral("del.xml"), "<DelLs><f>bin/app.dll</f></DelLs>"));
    else if (damage == QLatin1String("garbled")) {
        QList<QByteArray> lines = readFile(manifest).split('\n');
        lines[1] = lines.at(1).mid(1);
        QVERIFY(writeFile(manifest, lines.join('\n')));
    } else if (damage == QLatin1String("parent")) {
        // The file is there with that content, beside the package: still never read through the manifest.
        QVERIFY(writeFile(package + QStringLiteral("/outside.txt"), "beside the package"));
        QVERIFY(writeManifest(package, {QStringLiteral("bin/app.dll"), QStringLiteral("data/readme.txt"),
                                        QStringLiteral("del.xml"), QStringLiteral("../outside.txt")}));
    } else if (damage == QLatin1String("unreadable")) {
        QVERIFY(QFile::remove(manifest));
        QVERIFY(QDir().mkpath(manifest));
    } else if (damage == QLatin1String("earlier run")) {
        // Cut short after its copy: the files it moved in are missing from the payload until recovered.
        InstallationUpdate earlier(install.root(), package, install.binDir());
        QVERIFY(earlier.applyDeletionList().result == DeletionOutcome::Applied);
        QVERIFY(earlier.copyPayload(CancelToken()).ok());
        QVERIFY(!QFileInfo::exists(env + QStringLiteral("del.xml")));
    } else if (damage == QLatin1String("escaped")) {
        QVERIFY(writeFile(env + QStringLiteral("data/back\\slash.txt"), "a backslash"));
        QVERIFY(writeFile(env + QStringLiteral("data/line\nfeed.txt"), "a line feed"));
        QProcess sha256sum;
        sha256sum.setWorkingDirectory(env);
        sha256sum.setStandardOutputFile(manifest);
        sha256sum.start(QStringLiteral("sh"),
                        {QStringLiteral("-c"), QStringLiteral("find . -type f -print0 | sort -z | "
                                                              "xargs -0 sha256sum")});
        QVERIFY(sha256sum.waitForFinished());
        QCOMPARE(sha256sum.exitCode(), 0);
        QVERIFY(readFile(manifest).contains("\\"));
        listed = 7;
    } else if (damage.startsWith(QLatin1String("copied"))) {
        const QString elsewhere = install.workspace() + QStringLiteral("/Env elsewhere");
        QVERIFY(QDir().rename(package + QStringLiteral("/Env"), elsewhere));
        QVERIFY(QFile::link(elsewhere, package + QStringLiteral("/Env")));
    }
    QByteArray keys;
    QString signerId;
    if (signing) {
        const QString keyBase = install.workspace() + QStringLiteral("/key");
        QVERIFY2(makeMinisignKeys(keyBase + QLatin1Char('A')) && makeMinisignKeys(keyBase + QLatin1Char('B')),
                 "the minisign command makes the keys");
        const bool second = damage.endsWith(QLatin1String("second key"));
        const bool another = damage.endsWith(QLatin1String("another key"));
        keys = readFile(keyBase + QStringLiteral("A.pub"));
        if (second)
            keys += readFile(keyBase + QStringLiteral("B.pub"));
        // A key line cut short: no package may then be applied, signed or not.
        if (damage.endsWith(QLatin1String("keys unreadable")))
            keys.chop(5);
        const QString signer = keyBase + (second || another ? QStringLiteral("B") : QStringLiteral("A"));
        // The public key's comment gives its id without leading zeros.
        signerId = QString::fromLatin1(readFile(signer + QStringLiteral(".pub")).split('\n').first())
                       .section(' ', -1)
                       .rightJustified(16, QLatin1Char('0'));
        if (damage.endsWith(QLatin1String("legacy long")))
            QVERIFY(writeFile(manifest, readFile(manifest) + QByteArray(64 * 1024, '#') + '\n'));
        if (damage.endsWith(QLatin1String("no manifest")))
            QVERIFY(QFile::remove(manifest));
        else if (!damage.endsWith(QLatin1String("by none")))
            QVERIFY(minisignSign(signer + QStringLiteral(".key"), manifest,
                                 QStringLiteral("release 2.0 for the test"),
                                 damage.contains(QLatin1String("legacy"))));
        const QString signature = manifest + QStringLiteral(".minisig");
        if (damage.endsWith(QLatin1String("pipe signature"))) {
            QVERIFY(QFile::remove(signature));
            QVERIFY(makePipe(signature));
        } else if (damage.endsWith(QLatin1String("comment altered"))) {
            QVERIFY(readFile(signature).contains("release 2.0"));
            QVERIFY(writeFile(signature, readFile(signature).replace("release 2.0", "release 2.1")));
        } else if (damage.endsWith(QLatin1String("malformed"))) {
            QList<QByteArray> lines = readFile(signature).split('\n');
            lines[1].insert(10, "!");
            QVERIFY(writeFile(signature, lines.join('\n')));
        } else if (damage.endsWith(QLatin1String("manifest edited"))) {
            // Still a manifest the payload matches: only the signature tells.
            QVERIFY(writeFile(manifest, readFile(manifest) + "# edited\n"));
        }
    }
    // Put in after the manifest was written and signed, whose check they then meet.
    if (damage.endsWith(QLatin1String("pipe manifest"))) {
        QVERIFY(QFile::remove(manifest));
        QVERIFY(makePipe(manifest));
    } else if (damage.endsWith(QLatin1String("pipe list"))) {
        QVERIFY(QFile::remove(env + QStringLiteral("del.xml")));
        QVERIFY(makePipe(env + QStringLiteral("del.xml")));
    } else if (damage.startsWith(QLatin1String("bad list"))) {
        QVERIFY(writeFile(env + QStringLiteral("del.xml"), damage.endsWith(QLatin1String("well-formed"))
                                                               ? QByteArray("<DelLs><f>gone.txt</f>")
                                                               : QByteArray("<Other><f>gone.txt</f></Other>")));
        QVERIFY(writeManifest(package, {QStringLiteral("bin/app.dll"), QStringLiteral("data/readme.txt"),
                                        QStringLiteral("del.xml")}));
    }
    if (afterCheck)
        QVERIFY(QDir().mkpath(install.path(QStringLiteral("data"))));
    const QMap<QString, QString> before = snapshotTree(install.root());
    const auto changeListedFile = [&] {
        // Rewritten, the list would remove a file the package never named.
        if (damage.contains(QLatin1String("list rewritten")))
            return writeFile(env + QStringLiteral("del.xml"), "<DelLs><f>outside.txt</f></DelLs>");
        const QString file = env + QStringLiteral("data/readme.txt");
        return damage.contains(QLatin1String("removed")) ? QFile::remove(file)
                                                         : writeFile(file, "rewritten readme");
    };

    PreparedDlgUpdate dlg(install.binDir(), package, keys);
    MessageLog log;
    QSemaphore checkHeld;
    // Released, and waited for, before the semaphore goes.
    const auto releaseCheck = qScopeGuard([&] {
        checkHeld.release();
        DlgUpdateProbe::waitForPackageCheck(dlg);
    });
    if (damage == QLatin1String("stalled")) {
        DlgUpdate::Timings timings;
        timings.packageCheckStallBound = 50;
        dlg.setTimings(timings);
        DlgUpdateProbe::holdPackageCheck(dlg, checkHeld);
    }
    DlgUpdateProbe::onKillFinish(dlg);
    if (damage.endsWith(QLatin1String("in the wait"))) {
        DlgUpdateProbe::waitForPackageCheck(dlg);
        QVERIFY(changeListedFile());
    } else if (damage.endsWith(QLatin1String("between tries"))) {
        // A folder in the way fails the first try just as it reaches the file.
        const QString obstacle = install.path(QStringLiteral("data/readme.txt"));
        QVERIFY(writeFile(obstacle + QStringLiteral("/inside.txt"), "in the way"));
        DlgUpdateProbe::stageTick(dlg);
        QCOMPARE(DlgUpdateProbe::attemptCount(dlg), 1);
        QVERIFY(dlg.runState() != DlgUpdate::RunState::Failed);
        QVERIFY(QDir(obstacle).removeRecursively());
        QVERIFY(changeListedFile());
    }
    DlgUpdateProbe::stageTick(dlg);

    if (!signerId.isEmpty() && applied) {
        QCOMPARE(log.count("quillfern.run.package-signed", signerId), 1);
        QCOMPARE(log.count("quillfern.run.package-signed", QStringLiteral("release 2.0 for the test")), 1);
    }
    if (afterCheck) {
        // Named by the try that met the change, as where the first try met the folder in its way.
        const int naming = log.count("quillfern.run.copy-failed", named) +
                           log.count("quillfern.run.not-committed", named) +
                           log.count("quillfern.run.not-deleted", named);
        const bool obstacle =
            damage.endsWith(QLatin1String("between tries")) && named.endsWith(QLatin1String("readme.txt\""));
        QVERIFY2(naming == (obstacle ? 2 : 1), log.dump().constData());
        // The try that met it failed, the run went straight to the failure and put everything back.
        QVERIFY(dlg.runState() == DlgUpdate::RunState::Failed);
        const QStringList packageFolder{QStringLiteral("package")};
        QCOMPARE(treeDifferences(treeWithout(before, packageFolder),
                                 treeWithout(snapshotTree(install.root()), packageFolder)),
                 QStringList());
        QCOMPARE(readFile(env + QStringLiteral("bin/app.dll")), QByteArray("new app"));
        QVERIFY(QFileInfo::exists(env + QStringLiteral("del.xml")));
        return;
    }
    if (applied) {
        QCOMPARE(log.count("quillfern.run.package-checked", QString::number(listed)), 1);
        QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 100);
        QCOMPARE(readFile(install.path(QStringLiteral("bin/app.dll"))), QByteArray("new app"));
        QVERIFY(!QFileInfo::exists(install.path(QStringLiteral("gone.txt"))));
        QVERIFY(!QFileInfo::exists(package));
        return;
    }
    QCOMPARE(log.count("quillfern.run.package-refused"), 1);
    QVERIFY2(log.count("quillfern.run.package-refused", named) == 1, log.dump().constData());
    // Straight to the failure, as after the last failed copy: no try touched anything.
    QVERIFY(dlg.runState() == DlgUpdate::RunState::Failed);
    QCOMPARE(dlg.findChild<QPushButton *>(QStringLiteral("btnOK"))->text(), QStringLiteral("重启"));
    QCOMPARE(log.count(QStringLiteral("copy finish")), 0);
    QCOMPARE(treeDifferences(before, snapshotTree(install.root())), QStringList());
    QVERIFY(QFileInfo::exists(env + QStringLiteral("del.xml")));
}
