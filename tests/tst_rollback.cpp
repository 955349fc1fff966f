#include <QLabel>
#include <QRandomGenerator>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <mutex>
#include <utility>

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>

#include "win32calls_p.h"
#include "win32faults.h"
#endif

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "fileops.h"
#include "installationbackup.h"
#include "installationupdate.h"
#include "journal.h"
#include "startupentry.h"
#include "testsupport.h"

// A run that fails puts the installation back as it was; a run that was
// killed is rolled back by the next one.
namespace {
// Before any thread starts: the bind mounts of these tests stay in this process.
const bool ownMounts = PrivateMounts::enterOwnMountNamespace();
} // namespace

class TestRollback : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void failedRunRestoresInstallation_data();
    void failedRunRestoresInstallation();
    void retriesKeepFirstOriginal();
    void successDropsBackup_data();
    void successDropsBackup();
    void interruptedRunRolledBackByNextRun_data();
    void interruptedRunRolledBackByNextRun();
    void relativePackageRecoveredFromAnotherFolder();
    void packageRecoveredUnderAnotherSpelling_data();
    void packageRecoveredUnderAnotherSpelling();
    void plantedJournalRecordsSkipped_data();
    void plantedJournalRecordsSkipped();
    void bookkeepingLinksNotFollowed_data();
    void bookkeepingLinksNotFollowed();
    void damagedJournalReadUpToItsLastWholeRecord_data();
    void damagedJournalReadUpToItsLastWholeRecord();
    void shortJournalWriteIsTakenBack();
    void packageGoneAfterKill_data();
    void packageGoneAfterKill();
    void undoneOnlyWhereDone_data();
    void undoneOnlyWhereDone();
    void recoveryThatCannotGoOnChangesNothing_data();
    void recoveryThatCannotGoOnChangesNothing();
    void longJournalUndoneNewestFirst();
    void rollbackCutShortIsDoneAgain_data();
    void rollbackCutShortIsDoneAgain();
    void backupAreaIsNotDeletable();
    void committedRunIsNeverRolledBack();
    void fileGoneBeforeItsFlushFailsTheCommit_data();
    void fileGoneBeforeItsFlushFailsTheCommit();
    void commitThatFailsIsAFailedTry_data();
    void commitThatFailsIsAFailedTry();
    void closeDuringStageRollsBack();
    void win32FaultsWhileMoving_data();
    void win32FaultsWhileMoving();
    void win32FaultsWhileCopying_data();
    void win32FaultsWhileCopying();

private:
    QString root(const QString &relative) const { return ws->path(relative); }
    QString env(const QString &relative) const { return ws->env(relative); }
    QString area() const { return root(InstallationBackup::areaName()); }
    std::unique_ptr<DlgUpdate> newWindow() const;
    // Everything in the workspace beside the installation, the package and the working folder.
    QMap<QString, QString> surroundings() const;
    void layOutInstallation();
    void layOutLeftArea();
    void layOutVolume(const QString &how);
    void runAsAnotherUserBesideArea();
    void failEveryTry(DlgUpdate &dlg);
    static void addWin32FaultRows(bool inside);
    void sweepWin32Faults(bool inside);

    std::unique_ptr<Workspace> ws;
};

void TestRollback::init()
{
    ws = std::make_unique<Workspace>();
    QVERIFY(ws->isValid());
    QVERIFY(ws->enterWork());
}

void TestRollback::cleanup()
{
    ws.reset();
}

std::unique_ptr<DlgUpdate> TestRollback::newWindow() const
{
    return std::make_unique<PreparedDlgUpdate>(root(QStringLiteral("bin")), ws->package());
}

// Files the list removes, files the payload replaces and adds, and an
// executable whose bit must survive; "zz-blocked" fails the copy at its end.
void TestRollback::layOutInstallation()
{
    QVERIFY(writeFile(root(QStringLiteral("bin/product.dat")), "old product"));
    QVERIFY(writeFile(root(QStringLiteral("bin/run.sh")), "#!/bin/sh\nold\n"));
    QVERIFY(makeExecutable(root(QStringLiteral("bin/run.sh"))));
    QVERIFY(writeFile(root(QStringLiteral("old/obsolete.txt")), "obsolete"));
    QVERIFY(writeFile(root(QStringLiteral("readme.txt")), "old readme"));
    // Named as a temporary copy beside a payload file could once be: the user's, not the run's.
    QVERIFY(writeFile(root(QStringLiteral("readme.txt.quillFern-new")), "a file of the user's"));
    QVERIFY(writeFile(root(QStringLiteral("zz-blocked/inside.txt")), "a folder in the way"));
    QVERIFY(QFile::link(QStringLiteral("readme.txt"), root(QStringLiteral("readme-link"))));

    QVERIFY(writeFile(env(QStringLiteral("del.xml")),
                      "<DelLs><f>old/obsolete.txt</f><f>readme.txt</f><f>readme-link</f></DelLs>"));
    QVERIFY(writeFile(env(QStringLiteral("bin/product.dat")), "new product"));
    QVERIFY(writeFile(env(QStringLiteral("bin/run.sh")), "#!/bin/sh\nnew\n"));
    QVERIFY(writeFile(env(QStringLiteral("readme.txt")), "new readme"));
    QVERIFY(writeFile(env(QStringLiteral("added/deep/er/file.txt")), "added"));
    QVERIFY(writeFile(env(QStringLiteral("zz-blocked")), "a file where a folder is"));
}

// A file system of its own at "data" inside the root ("mounted"; "bound":
// one mounted beside the installation and bound there whole, so that it can
// be taken away and brought back): the list removes a file of it, and the
// payload replaces one and adds a folder.
void TestRollback::layOutVolume(const QString &how)
{
    const QString data = root(QStringLiteral("data"));
    const QString beside = ws->beside(QStringLiteral("volume"));
    QVERIFY(QDir().mkpath(data));
    if (how == QLatin1String("bound")) {
        QVERIFY(QDir().mkpath(beside));
        QVERIFY(PrivateMounts::mountTmpfs(beside));
        QVERIFY(PrivateMounts::bind(beside, data));
    } else {
        QVERIFY(PrivateMounts::mountTmpfs(data));
    }
    QVERIFY(writeFile(root(QStringLiteral("data/obsolete.txt")), "obsolete on the volume"));
    QVERIFY(writeFile(root(QStringLiteral("data/kept/replaced.txt")), "old on the volume"));
    QVERIFY(writeFile(env(QStringLiteral("data/kept/replaced.txt")), "new on the volume"));
    QVERIFY(writeFile(env(QStringLiteral("data/added/new.txt")), "added on the volume"));
    QVERIFY(writeFile(env(QStringLiteral("del.xml")), "<DelLs><f>old/obsolete.txt</f><f>readme.txt</f>"
                                                      "<f>readme-link</f><f>data/obsolete.txt</f></DelLs>"));
}

void TestRollback::layOutLeftArea()
{
    for (const char *path : {"old/obsolete.txt", "readme.txt", "bin/product.dat"})
        QVERIFY(writeFile(area() + QStringLiteral("/files/") + QLatin1String(path), "stale"));
}

// The installation, the package and the working folder belong to a user who
// is not root, and the area to root, who left it; the user's updater (the
// quick build, run with setpriv) can neither write the area nor move it.
void TestRollback::runAsAnotherUserBesideArea()
{
#ifndef QUILLFERN_QUICK_EXECUTABLE
    QSKIP("needs the quick build of the updater, which is built for Linux only");
#else
    if (::geteuid() != 0)
        QSKIP("needs root, to leave an area as one user and run the updater as another");
    const QString user = QStringLiteral("65534"); // nobody
    const QString work = ws->work();
    QVERIFY(QFile::copy(QStringLiteral(QUILLFERN_QUICK_EXECUTABLE), root(QStringLiteral("bin/quillFern"))));
    QVERIFY(QFile::setPermissions(ws->workspace(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                       QFile::ReadOther | QFile::ExeOther));
    QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), user + QLatin1Char(':') + user,
                                                         ws->root(), ws->package(), work}),
             0);
    layOutLeftArea();
    const auto installed = treeWithout(snapshotTree(ws->root()), {InstallationBackup::lockName()});
    const auto packaged = snapshotTree(ws->package());

    UpdaterProcessLock turn;
    UpdaterRun run;
    QVERIFY(run.start(QStringLiteral("setpriv"),
                      {QStringLiteral("--reuid=") + user, QStringLiteral("--regid=") + user,
                       QStringLiteral("--clear-groups"), root(QStringLiteral("bin/quillFern")),
                       QStringLiteral("update"), ws->package()},
                      work));
    const QByteArray ended = run.waitForEvent({"quillfern.run.rolled-back"}, 60000);
    run.kill();
    QVERIFY2(ended == "quillfern.run.rolled-back" && !run.hasLine(QStringLiteral("Finish!")),
             qPrintable(run.errorOutput()));
    QVERIFY2(run.countEvent("quillfern.journal.blocked",
                            QStringLiteral("\"%1\": %2").arg(area(), qt_error_string(EACCES))) == 1,
             qPrintable(run.errorOutput()));
    const QStringList differences =
        treeDifferences(installed, treeWithout(snapshotTree(ws->root()), {InstallationBackup::lockName()}));
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char('\n'))));
    QCOMPARE(snapshotTree(ws->package()), packaged);
#endif
}

void TestRollback::failEveryTry(DlgUpdate &dlg)
{
    DlgUpdateProbe::onKillFinish(dlg);
    for (int tick = 0; tick < 6; ++tick)
        DlgUpdateProbe::stageTick(dlg);
}

namespace {

bool onOneFileSystem(const QString &first, const QString &second)
{
    struct stat a;
    struct stat b;
    return ::stat(QFile::encodeName(first).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev;
}

const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther;

bool makeReadOnly(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (!QFile::setPermissions(path, readOnly))
            return false;
    }
    return true;
}

#ifdef Q_OS_WIN
// A second name of the file at `path`: attributes belong to the file, so it
// shows what a call did to them even once `path` names another file.
bool makeSecondName(const QString &path, const QString &secondName)
{
    return CreateHardLinkW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(secondName).utf16()),
                           reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                           nullptr) != 0;
}

bool hasReadOnlyAttribute(const QString &path)
{
    const DWORD attributes =
        GetFileAttributesW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// The high half a file system of 128-bit file IDs (ReFS) gives every file in the stand-in below.
constexpr quint64 WideIdHigh = 0x5eed0000000000feULL;

// A system that refuses FILE_ID_INFO (before Windows 8, some file systems).
BOOL WINAPI fileIdInfoRefused(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    if (kind == FileIdInfo) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return GetFileInformationByHandleEx(file, kind, info, size);
}

// ReFS: file IDs of 128 bits, whose low half alone would not tell files apart.
BOOL WINAPI fileIdInfoWide(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    if (kind != FileIdInfo)
        return GetFileInformationByHandleEx(file, kind, info, size);
    BY_HANDLE_FILE_INFORMATION plain;
    if (size < sizeof(FILE_ID_INFO) || !GetFileInformationByHandle(file, &plain))
        return FALSE;
    auto *id = static_cast<FILE_ID_INFO *>(info);
    id->VolumeSerialNumber = plain.dwVolumeSerialNumber;
    const quint64 halves[2] = {(quint64(plain.nFileIndexHigh) << 32) | plain.nFileIndexLow, WideIdHigh};
    std::memcpy(id->FileId.Identifier, halves, sizeof halves);
    return TRUE;
}
#endif

// The records of the journal at `path` but those of what a run made, which it writes once made.
int recordsOtherThanMade(const QString &path)
{
    int count = 0;
    const Outcome read = Journal::readNewestFirst(path, [&count](const JournalRecord &record) {
        count += record.kind != JournalRecord::Made ? 1 : 0;
    });
    return read ? count : -1;
}

} // namespace

void TestRollback::failedRunRestoresInstallation_data()
{
    QTest::addColumn<bool>("withList");
    QTest::addColumn<bool>("packageElsewhere");
    // An area no journal explains, whose files name paths the run removes and replaces.
    QTest::addColumn<QString>("leftArea");
    QTest::addColumn<bool>("volume"); // a file system of its own mounted inside the root
    QTest::newRow("with deletion list") << true << false << QString() << false;
    QTest::newRow("payload only") << false << false << QString() << false;
    QTest::newRow("package on another file system") << true << true << QString() << false;
    QTest::newRow("a stale area behind a taken trash name")
        << true << false << QStringLiteral("stale") << false;
    QTest::newRow("an area another user left") << true << false << QStringLiteral("another user's") << false;
    QTest::newRow("a volume mounted inside the root") << true << false << QString() << true;
}

void TestRollback::failedRunRestoresInstallation()
{
    QFETCH(bool, withList);
    QFETCH(bool, packageElsewhere);
    QFETCH(QString, leftArea);
    QFETCH(bool, volume);
    const auto unmount = qScopeGuard([this] { PrivateMounts::unmount(root(QStringLiteral("data"))); });
    if (volume && !ownMounts)
        QSKIP("a file system of the test's own needs root and a mount namespace of its own");
    if (packageElsewhere) {
        // /dev/shm is a tmpfs on most Linux systems, apart from the temporary folder.
        ws = std::make_unique<Workspace>(Workspace::Bin::Empty, QStringLiteral("install"),
                                         QStringLiteral("package"), Workspace::PackagePlace::OtherFileSystem);
        if (!ws->isValid() || onOneFileSystem(QFileInfo(ws->package()).path(), ws->root()))
            QSKIP("no second file system beside the temporary folder (/dev/shm)");
        QVERIFY(ws->enterWork());
    }
    layOutInstallation();
    if (volume)
        layOutVolume(QStringLiteral("mounted"));
    if (!withList)
        QVERIFY(QFile::remove(env(QStringLiteral("del.xml"))));
    if (leftArea == QLatin1String("another user's")) {
        runAsAnotherUserBesideArea();
        return;
    }
    const auto installed = snapshotTree(ws->root());
    const auto packaged = snapshotTree(ws->package());
    if (!leftArea.isEmpty()) {
        // Files of the area no journal names are no originals of this run's.
        QVERIFY(writeFile(root(InstallationBackup::trashName()), "in the trash's place"));
        layOutLeftArea();
    }

    auto dlg = newWindow();
    MessageLog log;
    failEveryTry(*dlg);

    QVERIFY(dlg->runState() == DlgUpdate::RunState::Failed);
    QCOMPARE(dlg->findChild<QPushButton *>(QStringLiteral("btnOK"))->text(), QStringLiteral("重启"));
    QCOMPARE(log.count(QStringLiteral("copy finish")), 5);
    QCOMPARE(log.count("quillfern.run.rolled-back"), 1);
    QCOMPARE(snapshotTree(ws->root()), installed);
    QCOMPARE(snapshotTree(ws->package()), packaged);
    QCOMPARE(readFile(QStringLiteral("log.txt")), QByteArray("copy fail!"));
}

void TestRollback::retriesKeepFirstOriginal()
{
    layOutInstallation();
    const auto installed = snapshotTree(ws->root());
    auto dlg = newWindow();
    DlgUpdateProbe::onKillFinish(dlg.operator*());

    // Between tries the installation is partly updated, as each try leaves it.
    DlgUpdateProbe::stageTick(*dlg);
    QCOMPARE(readFile(root(QStringLiteral("readme.txt"))), QByteArray("new readme"));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("old/obsolete.txt"))));
    QVERIFY(QFileInfo::exists(area()));

    // A change between tries is what the next try replaces, never what the rollback restores.
    QVERIFY(writeFile(root(QStringLiteral("readme.txt")), "changed between tries"));
    for (int tick = 0; tick < 5; ++tick)
        DlgUpdateProbe::stageTick(*dlg);
    QVERIFY(dlg->runState() == DlgUpdate::RunState::Failed);
    QCOMPARE(snapshotTree(ws->root()), installed);
}

void TestRollback::successDropsBackup_data()
{
    QTest::addColumn<bool>("readOnlyFiles");
    QTest::addColumn<bool>("volume"); // a file system of its own mounted inside the root
    QTest::newRow("plain files") << false << false;
    // Windows removes no read-only file, and renames nothing onto one.
    QTest::newRow("read-only originals and payload") << true << false;
    QTest::newRow("a volume mounted inside the root") << false << true;
}

void TestRollback::successDropsBackup()
{
    QFETCH(bool, readOnlyFiles);
    QFETCH(bool, volume);
    const auto unmount = qScopeGuard([this] { PrivateMounts::unmount(root(QStringLiteral("data"))); });
    if (volume && !ownMounts)
        QSKIP("a file system of the test's own needs root and a mount namespace of its own");
    layOutInstallation();
    if (volume)
        layOutVolume(QStringLiteral("mounted"));
    QVERIFY(QDir(root(QStringLiteral("zz-blocked"))).removeRecursively());
    if (readOnlyFiles) {
        QVERIFY(
            makeReadOnly({root(QStringLiteral("bin/product.dat")), root(QStringLiteral("readme.txt")),
                          root(QStringLiteral("old/obsolete.txt")), env(QStringLiteral("bin/product.dat"))}));
    }
    const auto payloadPermissions = QFileInfo(env(QStringLiteral("bin/product.dat"))).permissions();
    auto dlg = newWindow();
    DlgUpdateProbe::onKillFinish(*dlg);
    DlgUpdateProbe::stageTick(*dlg);

    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 100);
    QVERIFY(!QFileInfo::exists(area()));
    QVERIFY(!QFileInfo::exists(ws->package()));
    QTRY_VERIFY(!QFileInfo::exists(root(InstallationBackup::trashName())));
    QCOMPARE(QFileInfo(root(QStringLiteral("bin/product.dat"))).permissions(), payloadPermissions);
    QCOMPARE(readFile(root(QStringLiteral("readme.txt"))), QByteArray("new readme"));
    QCOMPARE(readFile(root(QStringLiteral("bin/run.sh"))), QByteArray("#!/bin/sh\nnew\n"));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("old/obsolete.txt"))));
    QVERIFY(!QFileInfo(root(QStringLiteral("readme-link"))).isSymLink());
    // No temporary copy is left, and the user's file of a similar name stays.
    for (const QString &path : snapshotTree(ws->root()).keys())
        QVERIFY2(InstallationBackup::isInArea(path) ||
                     !QFileInfo(path).fileName().startsWith(QStringLiteral(".quillFern-")),
                 qPrintable(path));
    QCOMPARE(readFile(root(QStringLiteral("readme.txt.quillFern-new"))), QByteArray("a file of the user's"));
    if (!volume)
        return;
    QCOMPARE(readFile(root(QStringLiteral("data/kept/replaced.txt"))), QByteArray("new on the volume"));
    QCOMPARE(readFile(root(QStringLiteral("data/added/new.txt"))), QByteArray("added on the volume"));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("data/obsolete.txt"))));
    // The volume's own area and trash go with the run.
    QTRY_COMPARE(
        QDir(root(QStringLiteral("data"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        (QStringList{QStringLiteral("added"), QStringLiteral("kept")}));
}

void TestRollback::interruptedRunRolledBackByNextRun_data()
{
    // How a file system of its own is mounted inside the root, if at all.
    QTest::addColumn<QString>("volume");
    QTest::newRow("the root's file system only") << QString();
    QTest::newRow("a volume mounted inside the root") << "mounted";
    // Its originals are out of reach meanwhile: the run between changes nothing there.
    QTest::newRow("a volume taken away, then back") << "bound";
    // Identities as the journal keeps them, from FILE_ID_INFO or from the older call.
    QTest::newRow("file IDs of 128 bits") << "wide ids";
    QTest::newRow("FILE_ID_INFO refused") << "no id info";
}

void TestRollback::interruptedRunRolledBackByNextRun()
{
    QFETCH(QString, volume);
    const QString data = root(QStringLiteral("data"));
    const QString beside = ws->beside(QStringLiteral("volume"));
    const auto unmount = qScopeGuard([&data, &beside] {
        PrivateMounts::unmount(data);
        PrivateMounts::unmount(beside);
    });
    const bool ids = volume.endsWith(QLatin1String("id info")) || volume.endsWith(QLatin1String("ids"));
#ifdef Q_OS_WIN
    const Win32Calls system = win32();
    const auto putBack = qScopeGuard([system] { win32() = system; });
    if (volume == QLatin1String("wide ids"))
        win32().getFileInformationByHandleEx = &fileIdInfoWide;
    else if (volume == QLatin1String("no id info"))
        win32().getFileInformationByHandleEx = &fileIdInfoRefused;
#else
    if (ids)
        QSKIP("FILE_ID_INFO is Windows' own");
#endif
    if (!volume.isEmpty() && !ids && !ownMounts)
        QSKIP("a file system of the test's own needs root and a mount namespace of its own");
    layOutInstallation();
    if (!volume.isEmpty() && !ids)
        layOutVolume(volume);
    const auto installed = snapshotTree(ws->root());
    {
        // The first run gets through one try and is then gone, as if killed.
        auto first = newWindow();
        DlgUpdateProbe::onKillFinish(*first);
        DlgUpdateProbe::stageTick(*first);
        QVERIFY(!QFileInfo::exists(env(QStringLiteral("del.xml"))));
    }
    QVERIFY(QFileInfo::exists(area()));
    QVERIFY(QDir(root(QStringLiteral("zz-blocked"))).removeRecursively());
    // The journal keeps the whole 128 bits, where the system gives them.
    const QByteArray wideHigh = QByteArray::number(Q_UINT64_C(0x5eed0000000000fe), 16);
    if (ids)
        QCOMPARE(readFile(area() + QStringLiteral("/journal")).contains("%3A" + wideHigh + "%3A"),
                 volume == QLatin1String("wide ids"));

    if (volume == QLatin1String("bound")) {
        PrivateMounts::unmount(data);
        auto between = newWindow();
        MessageLog log;
        DlgUpdateProbe::onKillFinish(*between);
        DlgUpdateProbe::stageTick(*between);
        QVERIFY(between->runState() == DlgUpdate::RunState::Failed);
        // Once for the run, and for each folder whose volume is away.
        QVERIFY2(log.count("quillfern.journal.volume-away", data) > 0, log.dump().constData());
        QVERIFY2(log.count("quillfern.journal.volume-away") >
                     log.count("quillfern.journal.volume-away", data),
                 log.dump().constData());
        QVERIFY(QDir(data).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        QCOMPARE(readFile(beside + QStringLiteral("/.quillFern-backup/files/obsolete.txt")),
                 QByteArray("obsolete on the volume"));
        QVERIFY(QFileInfo::exists(area() + QStringLiteral("/journal")));
        QVERIFY(PrivateMounts::bind(beside, data));
    }

    // The next run with the same package undoes it first, then updates fully.
    auto second = newWindow();
    MessageLog log;
    DlgUpdateProbe::onKillFinish(*second);
    DlgUpdateProbe::stageTick(*second);

    QCOMPARE(log.count("quillfern.journal.recovering"), 1);
    QCOMPARE(log.count(QStringLiteral("delete finish!")), 1);
    QCOMPARE(DlgUpdateProbe::targetProgress(*second), 100);
    QVERIFY(!QFileInfo::exists(area()));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("old/obsolete.txt"))));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("del.xml"))));
    QCOMPARE(readFile(root(QStringLiteral("readme.txt"))), QByteArray("new readme"));
    QCOMPARE(readFile(root(QStringLiteral("added/deep/er/file.txt"))), QByteArray("added"));
    QCOMPARE(readFile(root(QStringLiteral("bin/product.dat"))), QByteArray("new product"));
    QVERIFY(installed.contains(QStringLiteral("old/obsolete.txt")));
    if (volume.isEmpty() || ids)
        return;
    QCOMPARE(readFile(root(QStringLiteral("data/kept/replaced.txt"))), QByteArray("new on the volume"));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("data/obsolete.txt"))));
    QTRY_COMPARE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("added"), QStringLiteral("kept")}));
}

QMap<QString, QString> TestRollback::surroundings() const
{
    return treeWithout(snapshotTree(ws->workspace()),
                       {QStringLiteral("install"), QStringLiteral("package"), QStringLiteral("work")});
}

// The journal names the package's files by absolute path: a run killed after it
// moved them is rolled back by the next one wherever that one is started from.
void TestRollback::relativePackageRecoveredFromAnotherFolder()
{
    layOutInstallation();
    const auto installed = snapshotTree(ws->root());
    const auto packaged = snapshotTree(ws->package());
    const auto around = surroundings();
    QDir::setCurrent(ws->workspace());
    {
        InstallationUpdate first(ws->root(), QStringLiteral("package"), root(QStringLiteral("bin")));
        first.applyDeletionList();
        QVERIFY(!first.copyPayload(CancelToken()).ok());
    }
    QVERIFY(QFileInfo::exists(area()));
    // Moved where the system allows it (on Windows only from inside the installation).
    if (FileOps::mayMoveInto(env(QString()), ws->root()))
        QVERIFY(!QFileInfo::exists(env(QStringLiteral("readme.txt"))));

    QDir::setCurrent(ws->work());
    InstallationUpdate(ws->root(), ws->package(), root(QStringLiteral("bin"))).recoverEarlierRun();
    QCOMPARE(snapshotTree(ws->root()), installed);
    QCOMPARE(snapshotTree(ws->package()), packaged);
    QCOMPARE(surroundings(), around);
    QVERIFY(QDir(ws->work()).isEmpty());
}

void TestRollback::packageRecoveredUnderAnotherSpelling_data()
{
    QTest::addColumn<QString>("change"); // what happens between the kill and the next run
    QTest::newRow("handed through a link, then by its own path") << "own path";
    QTest::newRow("the link re-pointed to another package") << "re-pointed";
    QTest::newRow("the next run handed another package") << "another package";
}

// The journal names the package the killed run applied: its files go back
// into it, whatever the next run was handed, and the next run's package is
// applied on the old version only.
void TestRollback::packageRecoveredUnderAnotherSpelling()
{
    QFETCH(QString, change);
    layOutInstallation();
    const QString decoy = ws->beside(QStringLiteral("decoy"));
    QVERIFY(writeFile(decoy + QStringLiteral("/package/Env/readme.txt"), "another package's readme"));
    const QString link = ws->beside(QStringLiteral("via"));
    const bool throughLink = change != QLatin1String("another package");
    QVERIFY(QFile::link(ws->workspace(), link));
    if (throughLink && !QFileInfo(link).isDir())
        QSKIP("QFile::link made a shell shortcut here, which no path passes through");
    const auto installed = snapshotTree(ws->root());
    const auto packaged = snapshotTree(ws->package());
    const auto decoyBefore = snapshotTree(decoy);
    {
        InstallationUpdate first(ws->root(), throughLink ? link + QStringLiteral("/package") : ws->package(),
                                 root(QStringLiteral("bin")));
        first.applyDeletionList();
        QVERIFY(!first.copyPayload(CancelToken()).ok());
    }
    if (FileOps::mayMoveInto(env(QString()), ws->root()))
        QVERIFY(!QFileInfo::exists(env(QStringLiteral("readme.txt"))));

    QString next = ws->package();
    if (change == QLatin1String("re-pointed")) {
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(decoy, link));
        next = link + QStringLiteral("/package");
    } else if (change == QLatin1String("another package")) {
        next = decoy + QStringLiteral("/package");
    }
    InstallationUpdate second(ws->root(), next, root(QStringLiteral("bin")));
    MessageLog log;
    QVERIFY(second.recoverEarlierRun());
    QCOMPARE(snapshotTree(ws->root()), installed);
    QCOMPARE(snapshotTree(ws->package()), packaged);
    QCOMPARE(snapshotTree(decoy), decoyBefore);
    QVERIFY2(log.count("quillfern.journal.record-skipped") == 0, log.dump().constData());
    if (next == ws->package())
        return;
    // The other package goes on the old version, with nothing of the first beside it.
    second.applyDeletionList();
    QVERIFY(second.copyPayload(CancelToken()).ok());
    QCOMPARE(readFile(root(QStringLiteral("readme.txt"))), QByteArray("another package's readme"));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("added"))));
    QCOMPARE(readFile(root(QStringLiteral("bin/product.dat"))), QByteArray("old product"));
    QCOMPARE(snapshotTree(ws->package()), packaged);
}

void TestRollback::plantedJournalRecordsSkipped_data()
{
    QTest::addColumn<QByteArray>("record"); // written as the journal holds it: kind, space, path
    QTest::newRow("created file out of the root") << QByteArray("N ../outside.txt");
    QTest::newRow("created folder out of the root") << QByteArray("D ../outside-empty");
    QTest::newRow("original put back out of the root") << QByteArray("M ../outside.txt");
    QTest::newRow("created file through a folder link") << QByteArray("N link-out/victim.txt");
    QTest::newRow("moved-in file whose source lies elsewhere")
        << QByteArray("V bin/installed.dat%00@/elsewhere/installed.dat");
    QTest::newRow("deletion list put back elsewhere") << QByteArray("L @/elsewhere/del.xml");
    QTest::newRow("absolute path") << QByteArray("N @/outside.txt");
}

// A damaged or planted journal reaches nothing outside the installation and the package.
void TestRollback::plantedJournalRecordsSkipped()
{
    QFETCH(QByteArray, record);
    QVERIFY(writeFile(root(QStringLiteral("bin/installed.dat")), "installed"));
    QVERIFY(writeFile(ws->beside(QStringLiteral("outside.txt")), "outside"));
    QVERIFY(writeFile(ws->beside(QStringLiteral("outside-dir/victim.txt")), "victim"));
    QVERIFY(QDir().mkpath(ws->beside(QStringLiteral("outside-empty"))));
    QVERIFY(QDir().mkpath(ws->beside(QStringLiteral("elsewhere"))));
    QVERIFY(QDir().mkpath(env(QString())));
    QVERIFY(QFile::link(ws->beside(QStringLiteral("outside-dir")), root(QStringLiteral("link-out"))));
    if (record.contains("link-out") && !QFileInfo(root(QStringLiteral("link-out"))).isDir())
        QSKIP("QFile::link made a shell shortcut here, which no path passes through");
    // What the planted records would put in place.
    QVERIFY(writeFile(area() + QStringLiteral("/outside.txt"), "planted"));
    QVERIFY(writeFile(area() + QStringLiteral("/del.xml"), "<DelLs/>"));
    record.replace('@', QFile::encodeName(ws->workspace()).toPercentEncoding("/"));
    QVERIFY(writeFile(area() + QStringLiteral("/journal"), record + '\n'));
    const auto around = surroundings();
    const auto installed = snapshotTree(root(QStringLiteral("bin")));

    MessageLog log;
    InstallationUpdate(ws->root(), ws->package(), root(QStringLiteral("bin"))).recoverEarlierRun();
    QCOMPARE(surroundings(), around);
    QCOMPARE(snapshotTree(root(QStringLiteral("bin"))), installed);
    QCOMPARE(log.count("quillfern.journal.record-skipped"), 1);
    QVERIFY(!QFileInfo::exists(area()));
}

void TestRollback::bookkeepingLinksNotFollowed_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("mount"); // a bind mount (on Windows a junction) instead of a link
    QTest::newRow("the trash") << InstallationBackup::trashName() << false;
    QTest::newRow("the backup area") << InstallationBackup::areaName() << false;
    QTest::newRow("the trash, a mount point") << InstallationBackup::trashName() << true;
    QTest::newRow("the backup area, a mount point") << InstallationBackup::areaName() << true;
}

// The bookkeeping folders are removed by the updater; a link in their place is never followed.
void TestRollback::bookkeepingLinksNotFollowed()
{
    QFETCH(QString, folder);
    QFETCH(bool, mount);
    QVERIFY(writeFile(ws->beside(QStringLiteral("outside-dir/victim.txt")), "victim"));
    QVERIFY(writeFile(ws->beside(QStringLiteral("outside-dir/journal")), ""));
    const auto unmount = qScopeGuard([this, &folder] { PrivateMounts::standInGone(root(folder)); });
    if (mount) {
        if (!PrivateMounts::standInMountPoint(ws->beside(QStringLiteral("outside-dir")), root(folder)))
            QSKIP("bind mounts need root and a mount namespace of the test's own");
    } else {
        QVERIFY(QFile::link(ws->beside(QStringLiteral("outside-dir")), root(folder)));
    }
    if (!QFileInfo(root(folder)).isDir())
        QSKIP("QFile::link made a shell shortcut here, which is a file, not a folder link");
    const auto around = surroundings();

    MessageLog log;
    InstallationUpdate(ws->root(), ws->package(), root(QStringLiteral("bin"))).recoverEarlierRun();
    QCOMPARE(surroundings(), around);
    if (mount) {
        QCOMPARE(readFile(root(folder + QStringLiteral("/victim.txt"))), QByteArray("victim"));
        // A run that finds no folder of its own there changes nothing through it.
        layOutInstallation();
        const auto installed = snapshotTree(ws->root());
        auto dlg = newWindow();
        failEveryTry(*dlg);
        QCOMPARE(surroundings(), around);
#ifndef Q_OS_WIN
        // A mount point cannot move, and shows the same; a junction is moved aside as the link it is (the
        // stand-in for one knows it only by its path, so what stands there afterwards is not looked at).
        QCOMPARE(readFile(root(folder + QStringLiteral("/victim.txt"))), QByteArray("victim"));
#endif
        // With no trash to take it, what is left of the area stays beside the installation, without a
        // journal.
        const QStringList bookkeeping{folder, InstallationBackup::areaName()};
        QCOMPARE(treeWithout(snapshotTree(ws->root()), bookkeeping), treeWithout(installed, bookkeeping));
        if (folder == InstallationBackup::trashName())
            QVERIFY(!QFileInfo::exists(area() + QStringLiteral("/journal")));
        return;
    }
    QVERIFY(!QFileInfo(root(folder)).isSymLink());
    QCOMPARE(log.count("quillfern.area.link-removed", QStringLiteral("\"%1\"").arg(root(folder))), 1);
}

void TestRollback::damagedJournalReadUpToItsLastWholeRecord_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("restored"); // whether the whole record's original comes back
    QTest::newRow("a record cut short at its end") << QStringLiteral("cut") << true;
    QTest::newRow("a record cut short, then the next try's record on its line")
        << QStringLiteral("merged") << true;
    QTest::newRow("a record cut short, then whole ones") << QStringLiteral("then whole") << true;
    QTest::newRow("a whole line whose checksum does not match") << QStringLiteral("checksum") << true;
    QTest::newRow("the unframed format before this one, cut short") << QStringLiteral("unframed") << true;
    QTest::newRow("a newer format, left alone") << QStringLiteral("newer") << false;
    QTest::newRow("a header cut short: nothing whole") << QStringLiteral("header cut") << false;
    // Bounded however long the damage: the bench journaltail reports the memory it takes.
    QTest::newRow("a long tail without a line end") << QStringLiteral("long tail") << true;
    // Framed records follow: the journal is never taken for the unframed format, nor for empty.
    for (const char kind : {'M', 'N', 'D', 'T', 'L', 'V'}) {
        QTest::addRow("the first byte damaged to '%c', left alone", kind)
            << QStringLiteral("first byte %1").arg(QLatin1Char(kind)) << false;
    }
}

// A record the journal does not hold whole is never read, nor anything after
// it: its change never happened, since every record is written ahead of it.
void TestRollback::damagedJournalReadUpToItsLastWholeRecord()
{
    QFETCH(QString, damage);
    QFETCH(bool, restored);
    QVERIFY(writeFile(root(QStringLiteral("kept.txt")), "kept"));
    QVERIFY(writeFile(root(QStringLiteral("bystander.txt")), "not the run's"));
    QVERIFY(writeFile(env(QStringLiteral("moved.txt")), "payload"));
    {
        // Gone before the next run, as a killed run is: Windows keeps an open journal from removal.
        InstallationBackup backup(root(QStringLiteral("bin/../")));
        QVERIFY(backup.removeFile(QStringLiteral("kept.txt")));
    }
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("kept.txt"))));
    const QString journal = area() + QStringLiteral("/journal");
    QByteArray records = readFile(journal);
    const QByteArray bystander =
        Journal::frame({JournalRecord::CreatedFile, QStringLiteral("bystander.txt"), {}});
    const QByteArray planted = Journal::frame(
        {JournalRecord::MovedIn, QStringLiteral("kept.txt"), env(QStringLiteral("moved.txt"))});
    if (damage == QLatin1String("cut")) {
        records += bystander.left(bystander.size() / 2);
    } else if (damage == QLatin1String("merged")) {
        records += planted.left(9) + bystander;
    } else if (damage == QLatin1String("then whole")) {
        records += planted.left(planted.size() - 4) + '\n' + bystander;
    } else if (damage == QLatin1String("checksum")) {
        QByteArray altered = bystander;
        altered[altered.size() - 2] = altered.at(altered.size() - 2) == '0' ? '1' : '0';
        records += altered;
    } else if (damage == QLatin1String("unframed")) {
        records = "M kept.txt\nN bystand";
    } else if (damage == QLatin1String("newer")) {
        records.replace(0, 3, "J " + QByteArray::number(Journal::FormatVersion + 1));
    } else if (damage == QLatin1String("long tail")) {
        records += bystander.left(bystander.size() - 1) + QByteArray(8 * 1024 * 1024, 'x');
    } else if (damage.startsWith(QLatin1String("first byte"))) {
        records[0] = damage.back().toLatin1();
    } else {
        records = records.left(3);
    }
    QVERIFY(writeFile(journal, records));
    const auto around = surroundings();

    MessageLog log;
    InstallationBackup next(ws->root(), ws->package());
    QVERIFY(next.hasArea());
    const Outcome outcome = next.restore();
    QCOMPARE(readFile(root(QStringLiteral("bystander.txt"))), QByteArray("not the run's"));
    QCOMPARE(surroundings(), around);
    QCOMPARE(readFile(env(QStringLiteral("moved.txt"))), QByteArray("payload"));
    QCOMPARE(QFileInfo::exists(root(QStringLiteral("kept.txt"))), restored);
    if (damage == QLatin1String("newer") || damage.startsWith(QLatin1String("first byte"))) {
        QVERIFY(!outcome);
        // A newer journal is named by its format, for support to see which updater wrote it.
        if (damage == QLatin1String("newer"))
            QVERIFY2(outcome.reason.contains(QString::number(Journal::FormatVersion + 1)),
                     qPrintable(outcome.text()));
        QCOMPARE(readFile(journal), records);
        QVERIFY(QFileInfo::exists(area() + QStringLiteral("/files/kept.txt")));
        // Nor does a run add to it: it changes nothing.
        QVERIFY(!next.removeFile(QStringLiteral("bystander.txt")));
        QCOMPARE(readFile(root(QStringLiteral("bystander.txt"))), QByteArray("not the run's"));
        QCOMPARE(readFile(journal), records);

        // A whole run changes nothing either: it fails, and the original stays kept.
        auto dlg = newWindow();
        failEveryTry(*dlg);
        QVERIFY(dlg->runState() == DlgUpdate::RunState::Failed);
        QCOMPARE(log.count(QStringLiteral("copy finish")), 0);
        QCOMPARE(surroundings(), around);
        QCOMPARE(readFile(journal), records);
        QCOMPARE(readFile(area() + QStringLiteral("/files/kept.txt")), QByteArray("kept"));
        QCOMPARE(readFile(env(QStringLiteral("moved.txt"))), QByteArray("payload"));
        QVERIFY(!QFileInfo::exists(root(QStringLiteral("moved.txt"))));
        QCOMPARE(readFile(root(QStringLiteral("bystander.txt"))), QByteArray("not the run's"));
        if (damage != QLatin1String("newer"))
            QCOMPARE(log.count("quillfern.journal.blocked", QStringLiteral("\"%1/files\"").arg(area())), 1);
        return;
    }
    QVERIFY2(outcome, qPrintable(outcome.text()));
    if (restored)
        QCOMPARE(readFile(root(QStringLiteral("kept.txt"))), QByteArray("kept"));
    QVERIFY(!QFileInfo::exists(area()));
}

// A write to the journal that comes out short is taken back before anything
// else is written: the next record starts on a line of its own.
void TestRollback::shortJournalWriteIsTakenBack()
{
#ifdef Q_OS_UNIX
    QVERIFY(writeFile(root(QStringLiteral("first.txt")), "first"));
    QVERIFY(writeFile(root(QStringLiteral("second.txt")), "second"));
    const auto installed = snapshotTree(ws->root());
    const QString journal = area() + QStringLiteral("/journal");
    {
        InstallationBackup backup(ws->root());
        QVERIFY(backup.removeFile(QStringLiteral("first.txt")));
        const qint64 whole = QFileInfo(journal).size();

        // A file size limit cuts the next write short, as a full disk does.
        struct rlimit previous;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
        const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = previous;
        limited.rlim_cur = rlim_t(whole + 7);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        const Outcome refused = backup.removeFile(QStringLiteral("second.txt"));
        ::setrlimit(RLIMIT_FSIZE, &previous);
        ::signal(SIGXFSZ, previousHandler);

        QVERIFY(!refused);
        QCOMPARE(refused.reason, QString::fromLocal8Bit(::strerror(EFBIG)));
        QCOMPARE(QFileInfo(journal).size(), whole);
        QCOMPARE(readFile(root(QStringLiteral("second.txt"))), QByteArray("second"));
        // The next try's record is read whole.
        QVERIFY(backup.removeFile(QStringLiteral("second.txt")));
    }
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("second.txt"))));
    QVERIFY(InstallationBackup(ws->root()).restore());
    QCOMPARE(snapshotTree(ws->root()), installed);
#else
    QSKIP("a file size limit is how this test cuts a write short; it has none here");
#endif
}

void TestRollback::packageGoneAfterKill_data()
{
    QTest::addColumn<QString>("gone");
    QTest::newRow("the whole package") << QString();
    QTest::newRow("its payload folder") << QStringLiteral("Env");
    QTest::newRow("one folder of its payload") << QStringLiteral("Env/added");
    // A folder with another identity now, holding the rest of the package: the run's marker tells.
    QTest::newRow("the package copied anew") << QStringLiteral("copied anew");
}

// A package removed after a run that moved its files was killed: the
// installation still comes back whole, and no folder becomes a package again.
void TestRollback::packageGoneAfterKill()
{
    QFETCH(QString, gone);
    QVERIFY(writeFile(root(QStringLiteral("docs/guide.txt")), "old guide"));
    QVERIFY(writeFile(root(QStringLiteral("bin/old.dll")), "old library"));
    QVERIFY(writeFile(env(QStringLiteral("docs/guide.txt")), "new guide"));
    QVERIFY(writeFile(env(QStringLiteral("added/one.txt")), "added"));
    QVERIFY(writeFile(env(QStringLiteral("del.xml")), "<DelLs><f>bin/old.dll</f></DelLs>"));
    const auto installed = snapshotTree(ws->root());
    {
        InstallationBackup backup(ws->root(), ws->package());
        backup.allowMoves(true);
        QVERIFY(backup.removeFile(QStringLiteral("bin/old.dll")));
        QVERIFY(backup.setListAside(env(QStringLiteral("del.xml"))));
        QVERIFY(
            backup.recordAhead({{QString(), QStringLiteral("added")},
                                {env(QStringLiteral("added/one.txt")), QStringLiteral("added/one.txt")},
                                {env(QStringLiteral("docs/guide.txt")), QStringLiteral("docs/guide.txt")}}));
        QVERIFY(backup.makeFolder(QStringLiteral("added")));
        QVERIFY(backup.putFile(env(QStringLiteral("added/one.txt")), QStringLiteral("added/one.txt")));
        QVERIFY(backup.putFile(env(QStringLiteral("docs/guide.txt")), QStringLiteral("docs/guide.txt")));
    }
    QVERIFY(!QFileInfo::exists(env(QStringLiteral("docs/guide.txt"))));
    const bool copiedAnew = gone == QLatin1String("copied anew");
    if (copiedAnew) {
        const QString old = ws->beside(QStringLiteral("package before"));
        QVERIFY(QDir().rename(ws->package(), old));
        QVERIFY(copyTree(old, ws->package()));
        QVERIFY(QDir(old).removeRecursively());
    } else {
        QVERIFY(QDir(gone.isEmpty() ? ws->package() : ws->package() + QLatin1Char('/') + gone)
                    .removeRecursively());
    }
    // The run's marker leaves the package with the rollback.
    const auto left = QFileInfo::exists(ws->package())
                          ? treeWithout(snapshotTree(ws->package()), {QStringLiteral(".quillFern-package")})
                          : QMap<QString, QString>();

    MessageLog log;
    InstallationUpdate(ws->root(), ws->package(), root(QStringLiteral("bin"))).recoverEarlierRun();
    const QStringList differences = treeDifferences(installed, snapshotTree(ws->root()));
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char('\n'))));
    QVERIFY2(log.count("quillfern.journal.record-skipped") == 0, log.dump().constData());
    if (gone == QLatin1String("Env/added") || copiedAnew) {
        // The payload is there: what came from it goes back, into the folder it came from.
        QCOMPARE(readFile(env(QStringLiteral("added/one.txt"))), QByteArray("added"));
        QCOMPARE(readFile(env(QStringLiteral("docs/guide.txt"))), QByteArray("new guide"));
        QVERIFY(QFileInfo::exists(env(QStringLiteral("del.xml"))));
    } else {
        const auto packageLeft =
            QFileInfo::exists(ws->package()) ? snapshotTree(ws->package()) : QMap<QString, QString>();
        QCOMPARE(packageLeft, left);
        QVERIFY(!QFileInfo::exists(env(QString())));
    }
}

void TestRollback::undoneOnlyWhereDone_data()
{
    QTest::addColumn<QString>("happening");
    // A payload file whose move the batch recorded ahead, but never made, leaves the package (a
    // scanner quarantines it) after the first try; the run fails to its end, or is killed.
    QTest::newRow("package file gone between tries") << "gone between tries";
    QTest::newRow("package file gone, then killed") << "gone, then killed";
    // A file the run made is replaced by another before the rollback: that one is not the run's.
    QTest::newRow("made file replaced by another") << "made file replaced";
    QTest::newRow("made folder replaced by another") << "made folder replaced";
}

// Every undo first checks that its change was made.
void TestRollback::undoneOnlyWhereDone()
{
    QFETCH(QString, happening);
    if (happening.startsWith(QLatin1String("made"))) {
#ifdef Q_OS_WIN
        // NTFS file IDs carry a sequence number that a new file never shares with a removed one;
        // Wine's are the host's inode numbers, which the next file made takes again.
        if (runsUnderWine())
            QSKIP("Wine hands a removed file's number to the next file made");
#endif
        {
            InstallationBackup backup(ws->root(), ws->package());
            QVERIFY(writeFile(env(QStringLiteral("new/made.txt")), "the run's"));
            QVERIFY(backup.makeFolder(QStringLiteral("new")));
            QVERIFY(backup.putFile(env(QStringLiteral("new/made.txt")), QStringLiteral("new/made.txt")));
            QCOMPARE(readFile(root(QStringLiteral("new/made.txt"))), QByteArray("the run's"));
            if (happening.endsWith(QLatin1String("folder replaced"))) {
                QVERIFY(QDir(root(QStringLiteral("new"))).removeRecursively());
                QVERIFY(QDir().mkpath(root(QStringLiteral("new"))));
            } else {
                QVERIFY(QFile::remove(root(QStringLiteral("new/made.txt"))));
                QVERIFY(writeFile(root(QStringLiteral("new/made.txt")), "someone else's"));
            }
            QVERIFY(backup.restore());
        }
        // Left in place, and the folder it is in with it.
        if (happening.endsWith(QLatin1String("folder replaced")))
            QVERIFY(QFileInfo(root(QStringLiteral("new"))).isDir());
        else
            QCOMPARE(readFile(root(QStringLiteral("new/made.txt"))), QByteArray("someone else's"));
        QVERIFY(!QFileInfo::exists(area()));
        return;
    }

    layOutInstallation();
    QVERIFY(writeFile(root(QStringLiteral("zzz-late.txt")), "old late"));
    QVERIFY(writeFile(env(QStringLiteral("zzz-late.txt")), "new late"));
    {
        auto first = newWindow();
        DlgUpdateProbe::onKillFinish(*first);
        DlgUpdateProbe::stageTick(*first);
        // The try stopped at the folder in the way, before the late file's turn.
        QCOMPARE(readFile(root(QStringLiteral("zzz-late.txt"))), QByteArray("old late"));
        QVERIFY(QFile::remove(env(QStringLiteral("zzz-late.txt"))));
        if (happening == QLatin1String("gone between tries")) {
            for (int tick = 0; tick < 5; ++tick)
                DlgUpdateProbe::stageTick(*first);
            QVERIFY(first->runState() == DlgUpdate::RunState::Failed);
        }
    }
    if (happening == QLatin1String("gone, then killed")) {
        const Recovery recovery =
            InstallationUpdate(ws->root(), ws->package(), root(QStringLiteral("bin"))).recoverEarlierRun();
        QVERIFY(recovery == Recovery::RolledBack);
    }
    QCOMPARE(readFile(root(QStringLiteral("zzz-late.txt"))), QByteArray("old late"));
    QVERIFY(!QFileInfo::exists(env(QStringLiteral("zzz-late.txt"))));
    QCOMPARE(readFile(root(QStringLiteral("readme.txt"))), QByteArray("old readme"));
    QCOMPARE(readFile(env(QStringLiteral("readme.txt"))), QByteArray("new readme"));
    QVERIFY(!QFileInfo::exists(area()));
    QVERIFY(!QFileInfo::exists(Package::markerPath(ws->package())));
}

void TestRollback::recoveryThatCannotGoOnChangesNothing_data()
{
    QTest::addColumn<QString>("obstacle");
    // The journal names a volume at "data" that is not what is there now: nothing, or another one.
    QTest::newRow("no volume where the journal names one") << "no volume";
    QTest::newRow("another volume where the journal names one") << "another volume";
    // An original whose folder cannot be made again: a file of the user's stands in its place.
    QTest::newRow("an undo that fails") << "undo fails";
}

// A recovery that cannot undo everything blocks the run: the journal stays,
// nothing is applied on top, and where the cause is known beforehand
// (a volume), nothing at all is undone.
void TestRollback::recoveryThatCannotGoOnChangesNothing()
{
    QFETCH(QString, obstacle);
    const auto unmount = qScopeGuard([this] { PrivateMounts::unmount(root(QStringLiteral("data"))); });
    if (obstacle == QLatin1String("another volume") && !ownMounts)
        QSKIP("a file system of the test's own needs root and a mount namespace of its own");
    QVERIFY(writeFile(root(QStringLiteral("readme.txt")), "the new readme"));
    QVERIFY(writeFile(area() + QStringLiteral("/files/readme.txt"), "the old readme"));
    QVERIFY(writeFile(env(QStringLiteral("readme.txt")), "a newer readme"));
    QVERIFY(QDir().mkpath(root(QStringLiteral("data"))));
    if (obstacle == QLatin1String("another volume"))
        QVERIFY(PrivateMounts::mountTmpfs(root(QStringLiteral("data"))));
    QVERIFY(writeFile(root(QStringLiteral("data/user.txt")), "the user's"));
    QVERIFY(writeFile(root(QStringLiteral("stuck")), "the user's"));
    QByteArray records = Journal::frame({JournalRecord::MovedAside, QStringLiteral("readme.txt")});
    if (obstacle == QLatin1String("undo fails")) {
        QVERIFY(writeFile(area() + QStringLiteral("/files/stuck/old.txt"), "an original"));
        records += Journal::frame({JournalRecord::MovedAside, QStringLiteral("stuck/old.txt")});
    } else {
        Place::Identity elsewhere = Place::lastingIdentity(ws->workspace());
        elsewhere.fileLow ^= 0x5a5a;
        records += Journal::frame({JournalRecord::VolumeArea, QStringLiteral("data"), elsewhere.toText()}) +
                   Journal::frame({JournalRecord::CreatedFile, QStringLiteral("data/user.txt")});
    }
    QVERIFY(writeFile(area() + QStringLiteral("/journal"),
                      Journal::frame({'J', QString::number(Journal::FormatVersion)}) + records));
    const auto installed = snapshotTree(ws->root());

    MessageLog log;
    const Recovery recovery =
        InstallationUpdate(ws->root(), ws->package(), root(QStringLiteral("bin"))).recoverEarlierRun();
    QVERIFY(recovery == Recovery::Blocked);
    QCOMPARE(readFile(root(QStringLiteral("data/user.txt"))), QByteArray("the user's"));
    QCOMPARE(readFile(root(QStringLiteral("stuck"))), QByteArray("the user's"));
    QVERIFY(QFileInfo::exists(area() + QStringLiteral("/journal")));
    if (obstacle != QLatin1String("undo fails")) {
        // Decided before the first undo: the root's part is not rolled back either.
        QCOMPARE(snapshotTree(ws->root()), installed);
    }

    // A run on top applies nothing.
    auto dlg = newWindow();
    DlgUpdateProbe::onKillFinish(*dlg);
    DlgUpdateProbe::stageTick(*dlg);
    QVERIFY(readFile(root(QStringLiteral("readme.txt"))) != QByteArray("a newer readme"));
    QCOMPARE(readFile(env(QStringLiteral("readme.txt"))), QByteArray("a newer readme"));
    QVERIFY(QFileInfo::exists(area() + QStringLiteral("/journal")));
}

void TestRollback::longJournalUndoneNewestFirst()
{
    // Enough records, with names long enough, to span many blocks of the journal.
    const QString folder = QStringLiteral("many/") + QString(120, QLatin1Char('n'));
    QVERIFY(QDir().mkpath(root(folder)));
    QVERIFY(writeFile(root(QStringLiteral("replaced.txt")), "original"));
    const auto installed = snapshotTree(ws->root());
    QVERIFY(writeFile(env(QStringLiteral("source.txt")), "payload"));

    {
        InstallationBackup backup(ws->root());
        QVERIFY(backup.putFile(env(QStringLiteral("source.txt")), QStringLiteral("replaced.txt")));
        QVERIFY(backup.makeFolder(folder + QStringLiteral("/sub")));
        for (int i = 0; i < 3000; ++i) {
            const QString name = folder + QStringLiteral("/sub/file %1 ü").arg(i);
            QVERIFY2(backup.putFile(env(QStringLiteral("source.txt")), name), qPrintable(name));
        }
    }
    QVERIFY(QFileInfo(area() + QStringLiteral("/journal")).size() > 4 * 64 * 1024);

    InstallationBackup next(ws->root());
    QVERIFY(next.restore());
    const QStringList differences = treeDifferences(installed, snapshotTree(ws->root()));
    QVERIFY2(differences.isEmpty(), qPrintable(differences.mid(0, 5).join(QLatin1Char('\n'))));
}

void TestRollback::rollbackCutShortIsDoneAgain_data()
{
    QTest::addColumn<QString>("changes");
    QTest::newRow("list removes a file the payload brings back") << QStringLiteral("list, then copy");
    QTest::newRow("package files moved into place") << QStringLiteral("move");
    QTest::newRow("folders and files created") << QStringLiteral("create");
    QTest::newRow("records written ahead, changes never made") << QStringLiteral("ahead");
    QTest::newRow("records written ahead, then the changes") << QStringLiteral("ahead, then made");
    QTest::newRow("records written ahead, then the moves") << QStringLiteral("ahead, then moved");
    QTest::newRow("deletion list set aside") << QStringLiteral("list aside");
    // Foo.DLL names the installed foo.dll where names ignore case, and another file elsewhere.
    QTest::newRow("an installed name in other letter case, copied over") << QStringLiteral("case, copy");
    QTest::newRow("an installed name in other letter case, moved over") << QStringLiteral("case, move");
    QTest::newRow("an installed name in other letter case, listed") << QStringLiteral("case, list");
    QTest::newRow("read-only files replaced twice and added") << QStringLiteral("read-only");
}

// A power cut after the undo and before the journal's removal: the next run
// undoes every record again, over what the first undo put back.
void TestRollback::rollbackCutShortIsDoneAgain()
{
    QFETCH(QString, changes);
    QVERIFY(writeFile(root(QStringLiteral("docs/guide.txt")), "old guide"));
    QVERIFY(writeFile(root(QStringLiteral("docs/kept.txt")), "kept"));
    QVERIFY(writeFile(env(QStringLiteral("docs/guide.txt")), "new guide"));
    QVERIFY(writeFile(env(QStringLiteral("new/deeper/file.txt")), "new file"));
    QVERIFY(writeFile(env(QStringLiteral("del.xml")), "<DelLs><f>docs/guide.txt</f></DelLs>"));
    QVERIFY(writeFile(root(QStringLiteral("bin/foo.dll")), "old library"));
    QVERIFY(writeFile(env(QStringLiteral("bin/Foo.DLL")), "new library"));
    if (changes == QLatin1String("read-only")) {
        QVERIFY(makeReadOnly({root(QStringLiteral("docs/guide.txt")), env(QStringLiteral("docs/guide.txt")),
                              env(QStringLiteral("new/deeper/file.txt"))}));
    }
    const auto installed = snapshotTree(ws->root());
    const auto packaged = snapshotTree(ws->package());
    const QString journal = area() + QStringLiteral("/journal");
    QByteArray records;
    {
        InstallationBackup backup(ws->root(), ws->package());
        if (changes == QLatin1String("list, then copy")) {
            QVERIFY(backup.removeFile(QStringLiteral("docs/guide.txt")));
            QVERIFY(backup.putFile(env(QStringLiteral("docs/guide.txt")), QStringLiteral("docs/guide.txt")));
        } else if (changes == QLatin1String("move")) {
            backup.allowMoves(true);
            QVERIFY(backup.putFile(env(QStringLiteral("docs/guide.txt")), QStringLiteral("docs/guide.txt")));
            QVERIFY(!QFileInfo::exists(env(QStringLiteral("docs/guide.txt"))));
        } else if (changes == QLatin1String("create")) {
            QVERIFY(backup.makeFolder(QStringLiteral("new")));
            QVERIFY(backup.makeFolder(QStringLiteral("new/deeper")));
            QVERIFY(backup.putFile(env(QStringLiteral("new/deeper/file.txt")),
                                   QStringLiteral("new/deeper/file.txt")));
        } else if (changes.startsWith(QLatin1String("ahead"))) {
            backup.allowMoves(changes.endsWith(QLatin1String("moved")));
            QVERIFY(backup.recordAhead(
                {{QString(), QStringLiteral("new")},
                 {env(QStringLiteral("docs/guide.txt")), QStringLiteral("docs/guide.txt")},
                 {env(QStringLiteral("docs/kept.txt")), QStringLiteral("docs/kept.txt")}}));
            if (changes != QLatin1String("ahead")) {
                // Each change finds its record, and the temporary file it names, on disk already: only
                // the identity of the folder made is recorded once it is there.
                const int written = recordsOtherThanMade(journal);
                QVERIFY(backup.makeFolder(QStringLiteral("new")));
                QVERIFY(
                    backup.putFile(env(QStringLiteral("docs/guide.txt")), QStringLiteral("docs/guide.txt")));
                QCOMPARE(recordsOtherThanMade(journal), written);
            }
        } else if (changes.startsWith(QLatin1String("case"))) {
            backup.allowMoves(changes.endsWith(QLatin1String("move")));
            if (changes.endsWith(QLatin1String("list")))
                QVERIFY(backup.removeFile(QStringLiteral("bin/FOO.dll")));
            QVERIFY(backup.putFile(env(QStringLiteral("bin/Foo.DLL")), QStringLiteral("bin/Foo.DLL")));
        } else if (changes == QLatin1String("read-only")) {
            const QString guide = root(QStringLiteral("docs/guide.txt"));
            const auto payloadPermissions = QFileInfo(env(QStringLiteral("docs/guide.txt"))).permissions();
            QVERIFY(!payloadPermissions.testFlag(QFile::WriteOwner));
            QVERIFY(backup.putFile(env(QStringLiteral("docs/guide.txt")), QStringLiteral("docs/guide.txt")));
            QCOMPARE(QFileInfo(guide).permissions(), payloadPermissions);
#ifdef Q_OS_WIN
            const QString placed = ws->beside(QStringLiteral("placed guide"));
            QVERIFY(makeSecondName(guide, placed));
            QVERIFY(hasReadOnlyAttribute(placed));
#endif
            // A retry replaces the read-only file the first try put there.
            QVERIFY(backup.putFile(env(QStringLiteral("docs/guide.txt")), QStringLiteral("docs/guide.txt")));
            QCOMPARE(QFileInfo(guide).permissions(), payloadPermissions);
#ifdef Q_OS_WIN
            QVERIFY2(!hasReadOnlyAttribute(placed),
                     "replaced without clearing the read-only attribute first");
#endif
            QVERIFY(backup.makeFolder(QStringLiteral("new")));
            QVERIFY(backup.makeFolder(QStringLiteral("new/deeper")));
            QVERIFY(backup.putFile(env(QStringLiteral("new/deeper/file.txt")),
                                   QStringLiteral("new/deeper/file.txt")));
        } else {
            QVERIFY(backup.setListAside(env(QStringLiteral("del.xml"))));
        }
        records = readFile(journal);
        QVERIFY(!records.isEmpty());
        QVERIFY(backup.restore());
    }
    QCOMPARE(snapshotTree(ws->root()), installed);
    QCOMPARE(snapshotTree(ws->package()), packaged);

    QVERIFY(writeFile(journal, records));
    QVERIFY(InstallationBackup(ws->root(), ws->package()).restore());
    const QStringList differences = treeDifferences(installed, snapshotTree(ws->root())) +
                                    treeDifferences(packaged, snapshotTree(ws->package()));
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char('\n'))));
}

void TestRollback::backupAreaIsNotDeletable()
{
    layOutInstallation();
    auto dlg = newWindow();
    DlgUpdateProbe::onKillFinish(*dlg);
    DlgUpdateProbe::stageTick(*dlg);
    QVERIFY(QFileInfo::exists(area() + QStringLiteral("/journal")));

    // A later list cannot reach into the backup area.
    QVERIFY(
        writeFile(env(QStringLiteral("del.xml")),
                  "<DelLs><f>.quillFern-backup/journal</f><f>bin/../.quillFern-backup/del.xml</f></DelLs>"));
    MessageLog log;
    InstallationUpdate update(ws->root(), ws->package(), root(QStringLiteral("bin")));
    DlgUpdateProbe::updateDel(*dlg, update);
    QVERIFY(QFileInfo::exists(area() + QStringLiteral("/journal")));
    QVERIFY(QFileInfo::exists(area() + QStringLiteral("/del.xml")));
    QCOMPARE(log.count("quillfern.run.not-deleted", QStringLiteral("\".quillFern-backup/journal\"")), 1);
}

namespace {

// Makes `path` a file this process cannot remove (nor, on Windows, rename), as a
// running executable is there; `release` undoes it. False where there is no way.
// `appendable` leaves it open to appends, as the journal needs.
bool holdFile(const QString &path, QFile &holder, bool release, bool appendable = false)
{
#ifdef Q_OS_WIN
    Q_UNUSED(appendable) // others may still write to it
    // Windows removes no file that is open.
    holder.setFileName(path);
    if (release) {
        holder.close();
        return true;
    }
    return holder.open(QIODevice::ReadOnly);
#else
    Q_UNUSED(holder)
    const QString flag = (release ? QStringLiteral("-") : QStringLiteral("+")) +
                         (appendable ? QStringLiteral("a") : QStringLiteral("i"));
    if (QProcess::execute(QStringLiteral("chattr"), {flag, path}) == 0)
        return true;
    const QString folder = QFileInfo(path).absolutePath();
    const auto readOnly = QFile::ReadOwner | QFile::ExeOwner;
    // Root removes from read-only folders too.
    return (release || ::geteuid() != 0) &&
           QFile::setPermissions(folder, release ? readOnly | QFile::WriteOwner : readOnly);
#endif
}

} // namespace

void TestRollback::committedRunIsNeverRolledBack()
{
    QVERIFY(writeFile(root(QStringLiteral("replaced.txt")), "original"));
    QVERIFY(writeFile(env(QStringLiteral("replaced.txt")), "new"));
    QVERIFY(writeFile(env(QStringLiteral("added.txt")), "added"));
    InstallationBackup backup(ws->root());
    QVERIFY(backup.putFile(env(QStringLiteral("replaced.txt")), QStringLiteral("replaced.txt")));
    QVERIFY(backup.putFile(env(QStringLiteral("added.txt")), QStringLiteral("added.txt")));
    // An original that cannot be removed, as a running executable on Windows.
    const QString inUse = area() + QStringLiteral("/files/replaced.txt");
    QFile holder;
    if (!holdFile(inUse, holder, false))
        QSKIP("no way to make a file unremovable here");

    QVERIFY(backup.commit());
    backup.dropTrash();
    const QString trash = root(InstallationBackup::trashName());
    QVERIFY2(QFileInfo::exists(trash) || QFileInfo::exists(area()), "the file in use was removed");
    InstallationBackup next(ws->root());
    MessageLog log;
    QCOMPARE(next.recoverEarlierRun(), Recovery::NothingLeft);
    QCOMPARE(log.count("quillfern.journal.recovering"), 0);
    QCOMPARE(readFile(root(QStringLiteral("replaced.txt"))), QByteArray("new"));
    QCOMPARE(readFile(root(QStringLiteral("added.txt"))), QByteArray("added"));

    // Once the file can go, the next run removes what was left.
    for (const QString &folder : {trash, area()}) {
        for (const QString &path : snapshotTree(folder).keys()) {
            if (path.endsWith(QLatin1String("replaced.txt")))
                holdFile(folder + QLatin1Char('/') + path, holder, true);
        }
    }
    QCOMPARE(InstallationBackup(ws->root()).recoverEarlierRun(), Recovery::NothingLeft);
    QVERIFY(!QFileInfo::exists(trash));
    QVERIFY(!QFileInfo::exists(area()));
}

void TestRollback::fileGoneBeforeItsFlushFailsTheCommit_data()
{
    QTest::addColumn<QString>("installed"); // what the installation held there before; empty for nothing
    QTest::addColumn<bool>("moved");
    QTest::newRow("a file added by a copy") << QString() << false;
    QTest::newRow("a file replaced by a copy") << QStringLiteral("original") << false;
    QTest::newRow("a file moved in from the package") << QStringLiteral("original") << true;
}

// A file the run put in place and something took away before the commit (a
// scanner's quarantine) is not on disk as the new version needs it.
void TestRollback::fileGoneBeforeItsFlushFailsTheCommit()
{
    QFETCH(QString, installed);
    QFETCH(bool, moved);
    const QString put = root(QStringLiteral("data/put.txt"));
    QVERIFY(QDir().mkpath(root(QStringLiteral("data"))));
    if (!installed.isEmpty())
        QVERIFY(writeFile(put, installed.toUtf8()));
    QVERIFY(writeFile(env(QStringLiteral("data/put.txt")), "new"));
    QVERIFY(writeFile(env(QStringLiteral("data/kept.txt")), "new too"));
    const auto before = snapshotTree(ws->root());
    InstallationBackup backup(ws->root(), ws->package());
    backup.allowMoves(moved);
    QVERIFY(backup.putFile(env(QStringLiteral("data/put.txt")), QStringLiteral("data/put.txt")));
    QVERIFY(backup.putFile(env(QStringLiteral("data/kept.txt")), QStringLiteral("data/kept.txt")));
    QCOMPARE(QFileInfo::exists(env(QStringLiteral("data/put.txt"))), !moved);
    QVERIFY(QFile::remove(put));

    const Outcome committed = backup.commit();
    QVERIFY(!committed);
    QCOMPARE(committed.path, put);
    QVERIFY(QFileInfo::exists(area() + QStringLiteral("/journal")));
    // Not final: the run is rolled back as any failed try is.
    QVERIFY(backup.restore());
    QCOMPARE(snapshotTree(ws->root()), before);
}

void TestRollback::commitThatFailsIsAFailedTry_data()
{
    QTest::addColumn<int>("lastHeldTry");
    QTest::newRow("journal free again for the third try: completed") << 2;
    QTest::newRow("journal held through the fifth try: rolled back") << 5;
}

// A commit is the journal's removal; while something holds the journal (on Windows a
// scanner reading the fresh file is enough) the run is not final and must not look it.
void TestRollback::commitThatFailsIsAFailedTry()
{
    QFETCH(int, lastHeldTry);
    layOutInstallation();
    const auto installed = snapshotTree(ws->root());
    const auto packaged = snapshotTree(ws->package());
    auto dlg = newWindow();
    MessageLog log;
    DlgUpdateProbe::onKillFinish(*dlg);
    DlgUpdateProbe::stageTick(*dlg);
    const QString journal = area() + QStringLiteral("/journal");
    QVERIFY(QFileInfo::exists(journal));

    // From the second try on the copy succeeds, but the journal cannot be removed.
    QVERIFY(QDir(root(QStringLiteral("zz-blocked"))).removeRecursively());
    QFile holder;
    if (!holdFile(journal, holder, false, true))
        QSKIP("no way to make a file unremovable here");
    for (int attempt = 2; attempt <= lastHeldTry; ++attempt) {
        DlgUpdateProbe::stageTick(*dlg);
        QCOMPARE(DlgUpdateProbe::attemptCount(*dlg), attempt);
        QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 95);
        QCOMPARE(dlg->runState(), DlgUpdate::RunState::AwaitingRetry);
    }
    QVERIFY(holdFile(journal, holder, true, true));
    QCOMPARE(log.count(QStringLiteral("copy finish")), lastHeldTry);
    QCOMPARE(log.count(QStringLiteral("100!")), 0);
    QVERIFY(QFileInfo::exists(ws->package()));
    QVERIFY2(log.count("quillfern.run.not-committed", journal) > 0, log.dump().constData());

    DlgUpdateProbe::stageTick(*dlg);
    if (lastHeldTry == 5) {
        QCOMPARE(dlg->runState(), DlgUpdate::RunState::Failed);
        QCOMPARE(log.count("quillfern.run.rolled-back"), 1);
        auto unblocked = installed;
        unblocked.remove(QStringLiteral("zz-blocked"));
        unblocked.remove(QStringLiteral("zz-blocked/inside.txt"));
        QCOMPARE(snapshotTree(ws->root()), unblocked);
        QCOMPARE(snapshotTree(ws->package()), packaged);
        QCOMPARE(log.count(QStringLiteral("Finish!")), 0);
        return;
    }
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 100);
    QVERIFY(!QFileInfo::exists(ws->package()));
    for (int tick = 0; tick < 100 && log.count(QStringLiteral("Finish!")) == 0; ++tick)
        DlgUpdateProbe::progressTick(*dlg);
    QCOMPARE(log.count(QStringLiteral("Finish!")), 1);
    QCOMPARE(dlg->runState(), DlgUpdate::RunState::Relaunched);
    // The committed run's trash goes by itself meanwhile.
    const auto withoutTrash = [this] {
        auto tree = snapshotTree(ws->root());
        for (const QString &path : tree.keys()) {
            if (path.startsWith(InstallationBackup::trashName()))
                tree.remove(path);
        }
        return tree;
    };
    const auto updated = withoutTrash();
    QCOMPARE(readFile(root(QStringLiteral("zz-blocked"))), QByteArray("a file where a folder is"));
    // Closed now, the product is already running the new files: nothing is rolled back.
    dlg->reject();
    DlgUpdateProbe::finishWork(*dlg);
    QCOMPARE(withoutTrash(), updated);
    QCOMPARE(log.count("quillfern.run.rolled-back"), 0);
}

void TestRollback::closeDuringStageRollsBack()
{
    layOutInstallation();
    for (int i = 0; i < 2000; ++i)
        QVERIFY(writeFile(env(QStringLiteral("bulk/file %1.txt").arg(i)), "new"));
    const auto installed = snapshotTree(ws->root());
    const auto packaged = snapshotTree(ws->package());
    auto dlg = newWindow();
    QSignalSpy closed(dlg.get(), &QDialog::rejected);
    DlgUpdateProbe::onKillFinish(*dlg);

    // The close comes while the worker copies; it is taken once the worker stops.
    DlgUpdateProbe::fire(*dlg, DlgUpdateProbe::stageTimerId(*dlg));
    dlg->reject();
    QCOMPARE(closed.count(), 0);
    QCOMPARE(dlg->runState(), DlgUpdate::RunState::CancellingTry);
    QTRY_COMPARE(closed.count(), 1);
    // Closed only once the try and the rollback after it were over.
    QCOMPARE(dlg->runState(), DlgUpdate::RunState::Closed);
    QCOMPARE(DlgUpdateProbe::stageTimerId(*dlg), -1);
    QCOMPARE(snapshotTree(ws->root()), installed);
    QCOMPARE(snapshotTree(ws->package()), packaged);
}

// Faults in the Win32 calls, in-process: the Windows counterpart of the I/O
// error sweep on faultfs. A small update runs whole, as the window runs it
// (up to five tries, then the rollback), with every file-system and registry
// call of Win32Calls behind Win32Faults. A clean run counts the calls; each
// row then fails one of them, once or from then on. Whatever fails, a run
// that commits has put the whole new version in place, a run that gives up
// after a passing fault has left the old version and the whole package, the
// next run with healthy calls completes the update, and no installed file
// the update keeps or replaces is missing after any rename or removal.
#ifdef Q_OS_WIN
namespace {

// The package inside the installation, where Windows lets a run move it, or beside it, where it is copied.
QString sweepPackage(const Workspace &workspace, bool inside)
{
    return inside ? workspace.path(QStringLiteral("pkg")) : workspace.package();
}

const QStringList sweepReplaced{QStringLiteral("bin/product.dat"), QStringLiteral("readme.txt"),
                                QStringLiteral("docs/guide.txt")};
const QStringList sweepKept{QStringLiteral("data/config.ini")};
const QString sweepObsolete = QStringLiteral("docs/obsolete.txt");

// Three files replaced, one kept, one removed by the deletion list, and a new folder with a deeper one.
bool layOutSmallUpdate(const Workspace &workspace, bool inside)
{
    const QString env = sweepPackage(workspace, inside) + QStringLiteral("/Env/");
    bool ok = writeFile(workspace.path(sweepKept.first()), "the user's settings") &&
              writeFile(workspace.path(sweepObsolete), "obsolete") &&
              writeFile(env + QStringLiteral("plugins/a.plugin"), "plugin a") &&
              writeFile(env + QStringLiteral("plugins/deep/b.plugin"), "plugin b") &&
              writeFile(env + QStringLiteral("del.xml"), "<DelLs><f>" + sweepObsolete.toUtf8() + "</f></DelLs>");
    for (const QString &file : sweepReplaced)
        ok = ok && writeFile(workspace.path(file), "old " + file.toUtf8()) &&
             writeFile(env + file, "new " + file.toUtf8() + " and more");
    return ok;
}

// The installation without the package inside it and the run's bookkeeping.
QMap<QString, QString> sweepInstallation(const Workspace &workspace)
{
    return treeWithout(snapshotTree(workspace.root()),
                       {QStringLiteral("pkg"), InstallationBackup::lockName(), InstallationBackup::areaName(),
                        InstallationBackup::trashName()});
}

// What the whole update makes of `installed`.
QMap<QString, QString> sweepUpdated(QMap<QString, QString> installed, const QMap<QString, QString> &payload)
{
    installed.remove(sweepObsolete);
    for (auto it = payload.cbegin(); it != payload.cend(); ++it) {
        if (it.key() != QLatin1String("del.xml") &&
            (!it.value().startsWith(QLatin1String("dir")) || !installed.contains(it.key())))
            installed.insert(it.key(), it.value());
    }
    return installed;
}

// The run's debug lines, kept rather than printed: a failing row shows its own.
class QuietRun
{
public:
    QuietRun() { previous = qInstallMessageHandler(&QuietRun::keep); }
    ~QuietRun() { qInstallMessageHandler(previous); }
    QuietRun(const QuietRun &) = delete;
    QuietRun &operator=(const QuietRun &) = delete;
    static QString take()
    {
        const std::lock_guard<std::mutex> hold(mutex);
        return std::exchange(lines, QStringList()).join(QLatin1Char('\n'));
    }

private:
    static void keep(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtFatalMsg)
            std::abort();
        const std::lock_guard<std::mutex> hold(mutex);
        lines << message;
    }
    static inline std::mutex mutex;
    static inline QStringList lines;
    QtMessageHandler previous = nullptr;
};

struct WholeRun
{
    bool committed = false;
    bool gaveUp = false;
    QString output;
};

// One run of the window on the package: the tries one stage tick each, then the rollback.
WholeRun runWholeUpdate(const QString &applicationDir, const QString &package)
{
    using State = DlgUpdate::RunState;
    WholeRun run;
    {
        const QuietRun quiet;
        PreparedDlgUpdate dlg(applicationDir, package);
        DlgUpdateProbe::onKillFinish(dlg);
        for (int tick = 0; tick < 10 && (dlg.runState() == State::AwaitingFirstTry ||
                                         dlg.runState() == State::AwaitingRetry);
             ++tick)
            DlgUpdateProbe::stageTick(dlg);
        run.committed = dlg.runState() == State::Completing;
        run.gaveUp = dlg.runState() == State::Failed;
        if (run.committed)
            DlgUpdateProbe::waitForTrashRemoval(dlg);
    }
    run.output = QuietRun::take();
    return run;
}

struct SweepCount
{
    qint64 positions = 0;
    QString error;
};

SweepCount countWin32Calls(bool inside)
{
    SweepCount count;
    Workspace workspace;
    if (!workspace.isValid() || !workspace.enterWork() || !layOutSmallUpdate(workspace, inside)) {
        count.error = QStringLiteral("cannot lay the update out");
        return count;
    }
    const QString package = sweepPackage(workspace, inside);
    if (inside && !FileOps::mayMoveInto(package + QStringLiteral("/Env"), workspace.root())) {
        count.error = QStringLiteral("skip: the package cannot be moved from inside the installation here");
        return count;
    }
    const auto expected =
        sweepUpdated(sweepInstallation(workspace), snapshotTree(package + QStringLiteral("/Env")));
    WholeRun run;
    {
        Win32Faults faults;
        run = runWholeUpdate(workspace.binDir(), package);
        count.positions = faults.calls();
    }
    const QStringList differences = treeDifferences(expected, snapshotTree(workspace.root()));
    if (!run.committed || !differences.isEmpty() || QFileInfo::exists(package))
        count.error = QStringLiteral("the clean run did not update cleanly: %1\n%2")
                          .arg(differences.join(QStringLiteral("; ")), run.output);
    else if (count.positions == 0)
        count.error = QStringLiteral("the clean run made no Win32 call");
    StartupEntry(workspace.root()).remove();
    return count;
}

// The sampling, to keep both tables within a few minutes under Wine: once at
// every position, the error code taking turns from one position to the next
// (QUILLFERN_WIN32_SWEEP_FULL set: each code at every position); ERROR_DISK_FULL and ERROR_IO_DEVICE
// from then on at the first position and every 8th, in turn; and each code
// that a run waits out (a sharing violation, a denial that may pass) from
// then on at one drawn position of the moved package, which costs the whole
// retry budgets of the tries and the rollback. The draws take a fixed seed.
constexpr int Win32FromThenOnStride = 8;
constexpr quint32 Win32SampleSeed = 0x5eed2;
const QList<quint32> win32ErrorCodes{32 /* ERROR_SHARING_VIOLATION */, 5 /* ERROR_ACCESS_DENIED */,
                                     112 /* ERROR_DISK_FULL */, 1117 /* ERROR_IO_DEVICE */};

} // namespace
#endif

void TestRollback::addWin32FaultRows(bool inside)
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<quint32>("error");
    QTest::addColumn<bool>("fromThenOn");
    QTest::addColumn<QString>("countError");
#ifndef Q_OS_WIN
    Q_UNUSED(inside)
    QTest::newRow("Win32 only") << qint64(0) << quint32(0) << false << QString();
#else
    static QMap<bool, SweepCount> counts;
    if (!counts.contains(inside))
        counts.insert(inside, countWin32Calls(inside));
    const SweepCount count = counts.value(inside);
    const char *where = inside ? "moved" : "copied";
    if (!count.error.isEmpty()) {
        QTest::addRow("%s, clean run", where) << qint64(0) << quint32(0) << false << count.error;
        return;
    }
    qInfo("%s: %lld positions", where, count.positions);
    const qint64 n = count.positions;
    QTest::addRow("%s, no fault", where) << qint64(0) << quint32(0) << false << QString();
    const bool full = qEnvironmentVariableIsSet("QUILLFERN_WIN32_SWEEP_FULL");
    for (qint64 position = 1; position <= n; ++position) {
        for (int code = 0; code < win32ErrorCodes.size(); ++code) {
            if (!full && code != position % win32ErrorCodes.size())
                continue;
            const quint32 error = win32ErrorCodes.at(code);
            QTest::addRow("%s, %s once at %lld", where, qPrintable(Win32Faults::errorName(error)), position)
                << position << error << false << QString();
        }
    }
    int turn = 0;
    for (qint64 position = 1; position <= n;
         position = position == 1 ? Win32FromThenOnStride : position + Win32FromThenOnStride) {
        const quint32 error = win32ErrorCodes.at(2 + (turn++ % 2));
        QTest::addRow("%s, %s from %lld on", where, qPrintable(Win32Faults::errorName(error)), position)
            << position << error << true << QString();
    }
    if (inside) {
        QRandomGenerator random(Win32SampleSeed);
        for (const quint32 error : win32ErrorCodes.mid(0, 2)) {
            const qint64 position = 1 + qint64(random.bounded(quint32(n)));
            QTest::addRow("%s, %s from %lld on", where, qPrintable(Win32Faults::errorName(error)), position)
                << position << error << true << QString();
        }
    }
#endif
}

void TestRollback::sweepWin32Faults(bool inside)
{
    QFETCH(qint64, position);
    QFETCH(quint32, error);
    QFETCH(bool, fromThenOn);
    QFETCH(QString, countError);
#ifndef Q_OS_WIN
    Q_UNUSED(inside)
    Q_UNUSED(position)
    Q_UNUSED(error)
    Q_UNUSED(fromThenOn)
    Q_UNUSED(countError)
    QSKIP("Win32Calls is Windows' own; on Linux tst_ioerrors sweeps the I/O errors");
#else
    if (countError.startsWith(QLatin1String("skip: ")))
        QSKIP(qPrintable(countError.mid(6)));
    QVERIFY2(countError.isEmpty(), qPrintable(countError));
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    QVERIFY(layOutSmallUpdate(*ws, inside));
    const QString package = sweepPackage(*ws, inside);
    const auto installed = sweepInstallation(*ws);
    const auto packaged = snapshotTree(package);
    const auto expected = sweepUpdated(installed, snapshotTree(package + QStringLiteral("/Env")));
    const auto removeEntry = qScopeGuard([this] { StartupEntry(ws->root()).remove(); });

    WholeRun first;
    WholeRun next;
    QMap<QString, QString> afterFirst;
    QMap<QString, QString> packageAfterFirst;
    QString failedCall;
    QStringList gaps;
    QStringList around; // the calls about the armed one
    bool registryFailed = false;
    {
        Win32Faults faults;
        QStringList watched;
        for (const QString &file : sweepReplaced + sweepKept)
            watched << root(file);
        faults.watch(watched);
        faults.arm(position, DWORD(error),
                   fromThenOn ? Win32Faults::Mode::FromThenOn : Win32Faults::Mode::Once);
        first = runWholeUpdate(ws->binDir(), package);
        failedCall = faults.firstFailure();
        const QStringList made = faults.madeCalls();
        around = made.mid(int(qMax<qint64>(0, position - 4)), 7);
        registryFailed = faults.registryCallFailed();
        afterFirst = sweepInstallation(*ws);
        packageAfterFirst = snapshotTree(package);
        // The fault is gone: the next run, as the start-up entry would start it, finds the calls healthy.
        faults.heal();
        if (!first.committed)
            next = runWholeUpdate(ws->binDir(), package);
        gaps = faults.gaps();
    }
    const QString context =
        QStringLiteral("%1: the call that failed first: %2\nThe calls about it:\n%3\nThe first run wrote:\n%4")
            .arg(row, failedCall.isEmpty() ? QStringLiteral("none") : failedCall, around.join(QLatin1Char('\n')),
                 first.output);
    QVERIFY2(first.committed || first.gaveUp,
             qPrintable(QStringLiteral("the run neither committed nor gave up\n") + context));
    if (position == 0)
        QVERIFY2(first.committed, qPrintable(QStringLiteral("a run without a fault did not commit\n") + context));

    // A run may commit only over the whole new version, with nothing left to roll it back.
    if (first.committed) {
        const QStringList differences = treeDifferences(expected, afterFirst);
        QVERIFY2(differences.isEmpty(), qPrintable(QStringLiteral("committed, but: ") +
                                                   differences.join(QStringLiteral("; ")) + QLatin1Char('\n') +
                                                   context));
        QVERIFY2(!QFileInfo::exists(area() + QStringLiteral("/journal")),
                 qPrintable(QStringLiteral("committed, journal left\n") + context));
        // Calls gone bad after the commit may keep the package; a passing fault may not.
        QVERIFY2(!QFileInfo::exists(package) || fromThenOn,
                 qPrintable(QStringLiteral("committed, package left\n") + context));
    } else if (!fromThenOn) {
        // A passing fault that made the run give up: the old version, and the whole package to apply again.
        const QStringList differences = treeDifferences(installed, afterFirst);
        QVERIFY2(differences.isEmpty(), qPrintable(QStringLiteral("gave up, but: ") +
                                                   differences.join(QStringLiteral("; ")) + QLatin1Char('\n') +
                                                   context));
        const QStringList packageDifferences = treeDifferences(packaged, packageAfterFirst);
        QVERIFY2(packageDifferences.isEmpty(),
                 qPrintable(QStringLiteral("gave up, package: ") + packageDifferences.join(QStringLiteral("; ")) +
                            QLatin1Char('\n') + context));
    }
    if (!first.committed) {
        const QString nextContext = context + QStringLiteral("\nThe next run wrote:\n") + next.output;
        QVERIFY2(next.committed, qPrintable(QStringLiteral("the next run did not commit\n") + nextContext));
        // With healthy calls nothing is left behind: no bookkeeping, no package.
        const QStringList differences = treeDifferences(expected, snapshotTree(ws->root()));
        QVERIFY2(differences.isEmpty(), qPrintable(QStringLiteral("next run: ") +
                                                   differences.join(QStringLiteral("; ")) + QLatin1Char('\n') +
                                                   nextContext));
        QVERIFY2(!QFileInfo::exists(package), qPrintable(QStringLiteral("next run, package left\n") + nextContext));
    }
    // The entry that would finish the run goes with its end; one whose removal was refused stays, and runs
    // a harmless update at the next logon.
    QVERIFY2(!StartupEntry(ws->root()).exists() || (first.committed && registryFailed),
             qPrintable(QStringLiteral("a start-up entry was left\n") + context));
    QVERIFY2(gaps.isEmpty(), qPrintable(QStringLiteral("installed files missing: ") +
                                        gaps.mid(0, 8).join(QStringLiteral("; ")) + QLatin1Char('\n') + context));
#endif
}

void TestRollback::win32FaultsWhileMoving_data()
{
    addWin32FaultRows(true);
}

void TestRollback::win32FaultsWhileMoving()
{
    sweepWin32Faults(true);
}

void TestRollback::win32FaultsWhileCopying_data()
{
    addWin32FaultRows(false);
}

void TestRollback::win32FaultsWhileCopying()
{
    sweepWin32Faults(false);
}

QTEST_MAIN(TestRollback)
#include "tst_rollback.moc"
