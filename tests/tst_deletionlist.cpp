#include <QtTest>

#include <memory>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "fileops.h"
#include "installationpaths.h"
#include "installationupdate.h"
#include "platform.h"
#include "testsupport.h"

namespace {
// Before any thread starts: the bind mounts of these tests stay in this process.
const bool ownMounts = PrivateMounts::enterOwnMountNamespace();
} // namespace

// The deletion list, and the removal of the package at the end of a run.
// Installations live in temporary folders; "outside" is a sibling of the
// installation root in the same temporary folder.
class TestDeletionList : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void noList();
    void appliedList();
    void listNotApplied_data();
    void listNotApplied();
    void entriesThatRemoveNothing();
    void entryTextJoinsNestedTextAndCData();
    void utf16ListWithByteOrderMark();
    void listThatCannotBeSetAsideStaysInPackage_data();
    void listThatCannotBeSetAsideStaysInPackage();
    void traversalEntriesRefused_data();
    void traversalEntriesRefused();
    void updaterRuntimeKept_data();
    void updaterRuntimeKept();

    void packageRemovedAfterSuccess_data();
    void packageRemovedAfterSuccess();
    void dangerousPackageFolderKept_data();
    void dangerousPackageFolderKept();
    void fileSystemRootRefused();

private:
    QString root(const QString &relative) const { return ws->path(relative); }
    QString listPath() const { return ws->env(QStringLiteral("del.xml")); }
    void writeList(const QByteArray &xml) { QVERIFY(writeFile(listPath(), xml)); }

    void setPackageDir(const QString &dir);

    std::unique_ptr<Workspace> ws;

    std::unique_ptr<DlgUpdate> dlg;
    std::unique_ptr<InstallationUpdate> update;
    QString outside;
};

void TestDeletionList::init()
{
    ws = std::make_unique<Workspace>();
    QVERIFY(ws->isValid());
    outside = ws->beside(QStringLiteral("outside.txt"));
    QVERIFY(QDir().mkpath(ws->env()));
    QVERIFY(writeFile(outside, "outside"));
    QVERIFY(ws->enterWork());

    dlg = std::make_unique<DlgUpdate>();
    setPackageDir(ws->package());
    DlgUpdateProbe::setTargetProgress(*dlg, 7);
}

void TestDeletionList::setPackageDir(const QString &dir)
{
    update = std::make_unique<InstallationUpdate>(ws->root(), dir, root(QStringLiteral("bin")));
}

void TestDeletionList::cleanup()
{
    update.reset();
    dlg.reset();
    ws.reset();
}

void TestDeletionList::noList()
{
    QVERIFY(writeFile(root(QStringLiteral("keep.txt")), "keep"));
    const auto before = snapshotTree(ws->root());
    MessageLog log;
    DlgUpdateProbe::updateDel(*dlg, *update);
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 35);
    QCOMPARE(snapshotTree(ws->root()), before);
    QCOMPARE(log.count(QStringLiteral("delete finish!")), 0);
}

void TestDeletionList::appliedList()
{
    for (const char *path : {"bin/old.dll", "readme-old.txt", "sub/twice.txt", "keep.txt", "sub/keep.txt"})
        QVERIFY(writeFile(root(QString::fromLatin1(path)), "x"));
    writeList("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<DelLs>\n"
              "  <file>bin/old.dll</file>\n"
              "  <anything attr=\"ignored\">readme-old.txt</anything>\n"
              "  <f>sub/twice.txt</f>\n"
              "  <f>sub/twice.txt</f>\n"
              "</DelLs>\n");
    MessageLog log;
    DlgUpdateProbe::updateDel(*dlg, *update);

    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 35);
    for (const char *path : {"bin/old.dll", "readme-old.txt", "sub/twice.txt"})
        QVERIFY2(!QFileInfo::exists(root(QString::fromLatin1(path))), path);
    for (const char *path : {"keep.txt", "sub/keep.txt"})
        QVERIFY2(QFileInfo::exists(root(QString::fromLatin1(path))), path);
    QVERIFY(!QFileInfo::exists(listPath()));
    QCOMPARE(log.count(QStringLiteral("delete finish!")), 1);
}

void TestDeletionList::listNotApplied_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("inItsPlace"); // what stands where the list would be, instead of `xml`
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("refusesPackage"); // no try could ever apply it

    QTest::newRow("a folder in its place: cannot be opened")
        << QByteArray() << "folder" << "Failed to initialize update/Env/del.xml" << true;
    QTest::newRow("not well-formed") << QByteArray("<DelLs><f>target.txt</f>") << QString()
                                     << "Failed to load into QDomDocument" << true;
    QTest::newRow("element name in other case")
        << QByteArray("<dells><f>target.txt</f></dells>") << QString() << QString() << true;
    QTest::newRow("prefixed element name") << QByteArray("<x:DelLs xmlns:x=\"urn:quill\"><f>target.txt</f></x:DelLs>")
                                           << QString() << QString() << true;
    // The listed file cannot be set aside (a file stands where the area keeps originals): the try
    // fails, and the list stays in the package for the next one.
    QTest::newRow("a listed file that cannot be set aside")
        << QByteArray("<DelLs><f>target.txt</f></DelLs>") << QString() << "area blocked" << false;
    // Read only as a plain file of the package, never through a link, and never waited on.
    QTest::newRow("a link to a list in its place")
        << QByteArray("<DelLs><f>target.txt</f></DelLs>") << "link" << QString() << true;
    QTest::newRow("a list over 64 MiB") << QByteArray() << "huge" << QString() << true;
#ifndef Q_OS_WIN
    QTest::newRow("a named pipe in its place") << QByteArray() << "pipe" << QString() << true;
#endif
}

void TestDeletionList::listNotApplied()
{
    QFETCH(QByteArray, xml);
    QFETCH(QString, inItsPlace);
    QFETCH(QString, message);
    QFETCH(bool, refusesPackage);
    QVERIFY(writeFile(root(QStringLiteral("target.txt")), "target"));
    const bool areaBlocked = message == QLatin1String("area blocked");
    if (areaBlocked) {
        QVERIFY(writeFile(root(InstallationBackup::areaName() + QStringLiteral("/files")), "in the way"));
        message.clear();
    }
    if (inItsPlace == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(listPath() + QStringLiteral("/inside")));
    } else if (inItsPlace == QLatin1String("link")) {
        const QString listed = ws->beside(QStringLiteral("list.xml"));
        QVERIFY(writeFile(listed, xml));
        QVERIFY(QFile::link(listed, listPath()));
    } else if (inItsPlace == QLatin1String("huge")) {
        QFile list(listPath());
        QVERIFY(list.open(QIODevice::WriteOnly) && list.resize(64 * 1024 * 1024 + 1));
    } else if (inItsPlace == QLatin1String("pipe")) {
        QVERIFY(makePipe(listPath()));
    } else {
        writeList(xml);
    }
    const auto listBefore = snapshotTree(ws->package());
    QCOMPARE(update->checkDeletionList().refusesPackage(), refusesPackage);

    MessageLog log;
    DlgUpdateProbe::updateDel(*dlg, *update);
    QCOMPARE(readFile(root(QStringLiteral("target.txt"))), QByteArray("target"));
    QCOMPARE(snapshotTree(ws->package()), listBefore);
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 7);
    QCOMPARE(log.count(QStringLiteral("delete finish!")), 0);
    if (!message.isEmpty())
        QCOMPARE(log.count(message), 1);
    // Never installed as a payload file, whatever the copy does with the rest.
    DlgUpdateProbe::copy(*dlg, *update);
    QVERIFY(!FileOps::existsOrIsLink(QFileInfo(root(QStringLiteral("del.xml")))));
}

void TestDeletionList::entriesThatRemoveNothing()
{
    QVERIFY(writeFile(root(QStringLiteral("spaced.txt")), "x"));
    QVERIFY(writeFile(root(QStringLiteral("folder/inside.txt")), "x"));
    QVERIFY(writeFile(root(QStringLiteral("last.txt")), "x"));
    writeList("<DelLs>\n"
              "  <f>\n    spaced.txt\n  </f>\n"
              "  <!-- a comment -->\n"
              "  <f/>\n"
              "  <f>folder</f>\n"
              "  <f>missing.txt</f>\n"
              "  <f>missing-folder/missing.txt</f>\n"
              "  <?pi data?>\n"
              "  <f>last.txt</f>\n"
              "</DelLs>\n");
    MessageLog log;
    DlgUpdateProbe::updateDel(*dlg, *update);

    QVERIFY(QFileInfo::exists(root(QStringLiteral("spaced.txt"))));
    QVERIFY(QFileInfo::exists(root(QStringLiteral("folder/inside.txt"))));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("last.txt"))));
    QVERIFY(!QFileInfo::exists(listPath()));
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 35);
    // The folder is named as staying, and nothing was taken for a path out of bounds.
    const int folderLines =
        log.count("quillfern.run.not-deleted", QStringLiteral("\"%1\"").arg(root(QStringLiteral("folder"))));
    const int spacedLines = log.count("quillfern.run.not-deleted", QStringLiteral("spaced.txt"));
    QCOMPARE(folderLines, 1);
#ifdef Q_OS_WIN
    // Windows takes the name with the white space round it for another one.
    QCOMPARE(spacedLines, 1);
#endif
    QVERIFY2(log.count("quillfern.run.not-deleted") == folderLines + spacedLines, log.dump().constData());
}

void TestDeletionList::entryTextJoinsNestedTextAndCData()
{
    QVERIFY(writeFile(root(QStringLiteral("sub/file.txt")), "x"));
    QVERIFY(writeFile(root(QStringLiteral("sub/other.txt")), "x"));
    writeList("<DelLs><f>su<b>b/</b><![CDATA[file.txt]]></f></DelLs>");
    DlgUpdateProbe::updateDel(*dlg, *update);
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("sub/file.txt"))));
    QVERIFY(QFileInfo::exists(root(QStringLiteral("sub/other.txt"))));
}

void TestDeletionList::utf16ListWithByteOrderMark()
{
    const QString name = QString::fromUtf8("données 更新.txt");
    QVERIFY(writeFile(root(name), "x"));
    const QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<DelLs><f>") + name +
                        QStringLiteral("</f></DelLs>\n");
    QByteArray bytes("\xff\xfe", 2);
    bytes += QByteArray(reinterpret_cast<const char *>(xml.utf16()), xml.size() * 2);
    writeList(bytes);
    DlgUpdateProbe::updateDel(*dlg, *update);
    QVERIFY(!QFileInfo::exists(root(name)));
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 35);
}

namespace {

#ifdef Q_OS_LINUX
// This thread without root's right to write what its permissions forbid, as
// a normal user runs; nothing changes where that right was not held.
class WithoutPermissionOverride
{
public:
    WithoutPermissionOverride()
    {
        if (syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        dropped = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutPermissionOverride()
    {
        if (dropped)
            syscall(SYS_capset, &header, saved);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride &) = delete;
    WithoutPermissionOverride &operator=(const WithoutPermissionOverride &) = delete;

private:
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
    bool dropped = false;
};

// `folder` read-only for this thread alone: a bind mount in a mount namespace
// of its own, which the thread leaves again, taking the mount with it.
class ReadOnlyMount
{
public:
    explicit ReadOnlyMount(const QString &folder)
        : workingDir(QDir::currentPath())
        , original(::open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC))
    {
        const QByteArray path = QFile::encodeName(folder);
        mounted = original >= 0 && ::unshare(CLONE_NEWNS) == 0 &&
                  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  ::mount(path.constData(), path.constData(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
                  ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyMount()
    {
        if (original < 0)
            return;
        ::setns(original, CLONE_NEWNS);
        ::close(original);
        QDir::setCurrent(workingDir); // entering a namespace starts at its root
    }
    ReadOnlyMount(const ReadOnlyMount &) = delete;
    ReadOnlyMount &operator=(const ReadOnlyMount &) = delete;

    bool isMounted() const { return mounted; }

private:
    const QString workingDir;
    const int original;
    bool mounted = false;
};
#endif

} // namespace

void TestDeletionList::listThatCannotBeSetAsideStaysInPackage_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("setAside");
    // Applied all the same, and set aside: a rename does not write the list (the attribute on Windows).
    QTest::newRow("a list its user cannot write") << QStringLiteral("read-only list") << true;
    QTest::newRow("a package folder that keeps its entries") << QStringLiteral("immutable") << false;
    QTest::newRow("a read-only package (read-only mount)") << QStringLiteral("read-only mount") << false;
}

// A list leaves the package only by being set aside, so that a run rolled
// back hands the package over whole again; the copy then leaves it out. A
// list that can be read is applied, whether it can be set aside or not.
void TestDeletionList::listThatCannotBeSetAsideStaysInPackage()
{
    QFETCH(QString, how);
    QFETCH(bool, setAside);
    QVERIFY(writeFile(root(QStringLiteral("old.txt")), "old"));
    writeList("<DelLs><f>old.txt</f></DelLs>");
    QVERIFY(writeFile(ws->env(QStringLiteral("new.txt")), "new"));
    const QString env = ws->package() + QStringLiteral("/Env");
    const QByteArray list = readFile(listPath());
    MessageLog log;
    bool copied = false;
    if (how == QLatin1String("read-only list")) {
        QVERIFY(QFile::setPermissions(listPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
#ifdef Q_OS_LINUX
        const WithoutPermissionOverride normalUser;
#endif
        QFile writable(listPath());
        if (writable.open(QIODevice::ReadWrite))
            QSKIP("the list can still be written here (Wine run by root writes read-only files)");
        DlgUpdateProbe::updateDel(*dlg, *update);
        copied = DlgUpdateProbe::copy(*dlg, *update);
    } else if (how == QLatin1String("immutable")) {
#ifdef Q_OS_WIN
        QSKIP("needs a file that can be neither renamed nor removed by its owner");
#else
        // The list can be read and written, but not taken out of its folder.
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), env}) != 0)
            QSKIP("no immutable folders here (chattr)");
        DlgUpdateProbe::updateDel(*dlg, *update);
        copied = DlgUpdateProbe::copy(*dlg, *update);
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), env});
#endif
    } else {
#ifdef Q_OS_LINUX
        const ReadOnlyMount readOnly(ws->package());
        if (!readOnly.isMounted())
            QSKIP("a read-only bind mount in a mount namespace of its own needs root");
        DlgUpdateProbe::updateDel(*dlg, *update);
        copied = DlgUpdateProbe::copy(*dlg, *update);
#else
        QSKIP("read-only bind mounts are Linux's");
#endif
    }
    QVERIFY(copied);
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("old.txt"))));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("del.xml"))));
    QCOMPARE(readFile(root(QStringLiteral("new.txt"))), QByteArray("new"));
    QCOMPARE(log.count(QStringLiteral("delete finish!")), 1);
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 95);
    QCOMPARE(QFileInfo::exists(listPath()), !setAside);
    if (setAside)
        return;
    QCOMPARE(readFile(listPath()), list);
    QVERIFY2(log.count("quillfern.run.not-deleted", listPath()) == 1, log.dump().constData());
}

void TestDeletionList::traversalEntriesRefused_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("parent of the root") << "../outside.txt";
    QTest::newRow("down and up out of the root") << "sub/../../outside.txt";
    QTest::newRow("absolute-looking path") << "/../outside.txt";
    QTest::newRow("through a folder link pointing outside") << "escape/outside.txt";
    QTest::newRow("through a bind mount of a folder outside") << "mounted/outside.txt";
}

void TestDeletionList::traversalEntriesRefused()
{
    QFETCH(QString, entry);
    QVERIFY(QDir().mkpath(root(QStringLiteral("sub"))));
    QVERIFY(QFile::link(ws->workspace(), root(QStringLiteral("escape"))));
    const QString mounted = root(QStringLiteral("mounted"));
    const auto unmount = qScopeGuard([&mounted] { PrivateMounts::unmount(mounted); });
    if (entry.startsWith(QLatin1String("mounted/"))) {
        if (!ownMounts)
            QSKIP("bind mounts need root and a mount namespace of the test's own");
        QVERIFY(QDir().mkpath(mounted));
        QVERIFY(PrivateMounts::bind(ws->workspace(), mounted));
    }
    QVERIFY(QFile::link(outside, root(QStringLiteral("linked.txt"))));
    QVERIFY(writeFile(root(QStringLiteral("before.txt")), "x"));
    QVERIFY(writeFile(root(QStringLiteral("after.txt")), "x"));
    writeList(
        QStringLiteral("<DelLs><f>before.txt</f><f>%1</f><f>sub/../after.txt</f><f>linked.txt</f></DelLs>")
            .arg(entry)
            .toUtf8());
    MessageLog log;
    DlgUpdateProbe::updateDel(*dlg, *update);

    QCOMPARE(readFile(outside), QByteArray("outside"));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("before.txt"))));
    QVERIFY(!QFileInfo::exists(root(QStringLiteral("after.txt"))));
    // A link inside the root is removed itself; what it points to stays.
    QVERIFY(!QFileInfo(root(QStringLiteral("linked.txt"))).isSymLink());
    QVERIFY(!QFileInfo::exists(listPath()));
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 35);
    // On Windows QFile::link makes a shell shortcut, a file that no path passes through.
    const bool reachesOutside =
        !entry.startsWith(QStringLiteral("escape/")) || QFileInfo(root(QStringLiteral("escape"))).isDir();
    QCOMPARE(log.count("quillfern.run.not-deleted", QStringLiteral("\"%1\"").arg(entry)),
             reachesOutside ? 1 : 0);
}

void TestDeletionList::updaterRuntimeKept_data()
{
    const QString program = QFileInfo(Platform::updaterProgram(QStringLiteral("bin"))).filePath();
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("refused"); // false where the entry is removed
    QTest::newRow("the updater's executable") << program << true;
    QTest::newRow("the updater's executable, spelled with ..") << "bin/../" + program << true;
#ifdef Q_OS_WIN
    QTest::newRow("a plugin it loads") << "bin/platforms/qwindows.dll" << true;
    QTest::newRow("a library of the product beside it") << "bin/old.dll" << false;
    // Windows takes these for the updater's own name.
    QTest::newRow("the updater's executable by its 8.3 short name") << "short" << true;
    QTest::newRow("the updater's executable with a dot after it") << program + "." << true;
    QTest::newRow("the lock with a space after it") << ".quillFern.lock " << true;
#else
    QTest::newRow("a library beside it: the system's here") << "bin/libold.so" << false;
#endif
    QTest::newRow("another file of its folder") << "bin/old.dat" << false;
}

// A start-up entry must always find an updater that starts: the deletion list
// never takes away what it needs. Replacing it through the payload stays allowed.
void TestDeletionList::updaterRuntimeKept()
{
    QFETCH(QString, entry);
    QFETCH(bool, refused);
    QString installed = QDir::cleanPath(root(entry));
    if (entry == QLatin1String("short")) {
        installed = root(Platform::updaterProgram(QStringLiteral("bin")));
        QVERIFY(writeFile(installed, "needed"));
        const QString shortName = shortPathName(installed);
        if (shortName.isEmpty())
            QSKIP("the system gives the updater's executable no short name");
        entry = QStringLiteral("bin/") + QFileInfo(shortName).fileName();
    }
    // What the name Windows would take it for names.
    while (installed.endsWith(QLatin1Char('.')) || installed.endsWith(QLatin1Char(' ')))
        installed.chop(1);
    QVERIFY(writeFile(installed, "needed"));
    writeList(QStringLiteral("<DelLs><f>%1</f></DelLs>").arg(entry).toUtf8());
    MessageLog log;
    DlgUpdateProbe::updateDel(*dlg, *update);

    QCOMPARE(QFileInfo::exists(installed), refused);
    QCOMPARE(log.count("quillfern.run.not-deleted", QStringLiteral("\"%1\"").arg(entry)), refused ? 1 : 0);
    QCOMPARE(log.count(QStringLiteral("delete finish!")), 1);
}

void TestDeletionList::packageRemovedAfterSuccess_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::addColumn<bool>("mountInPayload"); // a folder of the payload is a mount point, or a junction
    QTest::newRow("handed over as it is") << false << false;
    QTest::newRow("handed over through a link") << true << false;
    QTest::newRow("a mount point in the payload: nothing removed through it") << false << true;
}

void TestDeletionList::packageRemovedAfterSuccess()
{
    QFETCH(bool, throughLink);
    QFETCH(bool, mountInPayload);
    QVERIFY(writeFile(ws->env(QStringLiteral("file.txt")), "x"));
    const QString mounted = ws->env(QStringLiteral("mounted"));
    const auto unmount = qScopeGuard([&mounted] { PrivateMounts::standInGone(mounted); });
    if (mountInPayload) {
        QVERIFY(writeFile(ws->beside(QStringLiteral("kept/precious.txt")), "precious"));
        if (!PrivateMounts::standInMountPoint(ws->beside(QStringLiteral("kept")), mounted))
            QSKIP("bind mounts need root and a mount namespace of the test's own");
        MessageLog log;
        QVERIFY(DlgUpdateProbe::updateVersion(*dlg, *update));
        // Never emptied through the mount point: what it shows stays, and the package with it.
        QCOMPARE(readFile(mounted + QStringLiteral("/precious.txt")), QByteArray("precious"));
        QCOMPARE(readFile(ws->beside(QStringLiteral("kept/precious.txt"))), QByteArray("precious"));
        QVERIFY(!QFileInfo::exists(ws->env(QStringLiteral("file.txt"))));
        QCOMPARE(log.count(QStringLiteral("100!")), 1);
        return;
    }
    const QString link = ws->beside(QStringLiteral("package-link"));
    if (throughLink) {
        QVERIFY(QFile::link(ws->package(), link));
        if (!QFileInfo(link).isDir())
            QSKIP("QFile::link made a shell shortcut here, which leads to no folder");
        setPackageDir(link);
    }
    MessageLog log;
    QVERIFY(DlgUpdateProbe::updateVersion(*dlg, *update));
    QVERIFY(!QFileInfo::exists(ws->package()));
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 100);
    QVERIFY2(log.count("quillfern.run.package-kept") == 0, log.dump().constData());
}

void TestDeletionList::dangerousPackageFolderKept_data()
{
    QTest::addColumn<QString>("which");
    QTest::newRow("empty name: the working folder") << "empty";
    QTest::newRow("the installation root") << "root";
    QTest::newRow("the installation root, spelled with ..") << "root-dotdot";
    QTest::newRow("a folder holding the installation") << "parent";
    QTest::newRow("the updater's own folder") << "bin";
    QTest::newRow("a link to the installation root") << "link";
    QTest::newRow("the installation root through a bind mount") << "bind-root";
    QTest::newRow("a folder holding the installation through a bind mount") << "bind-parent";
    QTest::newRow("the installation root by its 8.3 short name") << "short";
    QTest::newRow("a folder without Env: not a package") << "documents";
    QTest::newRow("the package's Env folder itself") << "env";
    QTest::newRow("a file") << "file";
}

void TestDeletionList::dangerousPackageFolderKept()
{
    QFETCH(QString, which);
    QVERIFY(writeFile(root(QStringLiteral("data/file.txt")), "installed"));
    QVERIFY(writeFile(QStringLiteral("in-working-folder.txt"), "work"));
    QMap<QString, QString> dirs{
        {QStringLiteral("empty"), QString()},
        {QStringLiteral("root"), ws->root()},
        {QStringLiteral("root-dotdot"), root(QStringLiteral("bin/.."))},
        {QStringLiteral("parent"), ws->workspace()},
        {QStringLiteral("bin"), root(QStringLiteral("bin"))},
        {QStringLiteral("link"), ws->beside(QStringLiteral("link-to-root"))},
        {QStringLiteral("documents"), ws->beside(QStringLiteral("documents"))},
        {QStringLiteral("env"), ws->package() + QStringLiteral("/Env")},
        {QStringLiteral("file"), ws->beside(QStringLiteral("documents/thesis.txt"))},
    };
    // Another name of the same folder, as a bind mount (or on Windows a junction or subst drive) gives it.
    QTemporaryDir aliases;
    const QString alias = aliases.filePath(QStringLiteral("alias"));
    const auto unmountAlias = qScopeGuard([&alias] { PrivateMounts::unmount(alias); });
    if (which.startsWith(QLatin1String("bind"))) {
        if (!ownMounts)
            QSKIP("bind mounts need root and a mount namespace of the test's own");
        QVERIFY(QDir().mkpath(alias));
        QVERIFY(
            PrivateMounts::bind(which == QLatin1String("bind-root") ? ws->root() : ws->workspace(), alias));
    }
    if (which == QLatin1String("short")) {
        dirs.insert(which, shortPathName(ws->root()));
        if (dirs.value(which).isEmpty())
            QSKIP("the system gives this folder no short name");
    }
    dirs.insert(QStringLiteral("bind-root"), alias);
    dirs.insert(QStringLiteral("bind-parent"), alias);
    QVERIFY(writeFile(ws->beside(QStringLiteral("documents/thesis.txt")), "precious"));
    QVERIFY(writeFile(ws->beside(QStringLiteral("documents/chapter/one.txt")), "precious too"));
    QVERIFY(writeFile(ws->env(QStringLiteral("payload.txt")), "payload"));
    QVERIFY(QFile::link(ws->root(), ws->beside(QStringLiteral("link-to-root"))));
    if (which == QLatin1String("link") && !QFileInfo(dirs.value(which)).isDir())
        QSKIP("QFile::link made a shell shortcut here, which does not lead to the installation root");
    // A root or a folder above it with an Env of its own is still never applied.
    for (const QString &folder : {ws->root(), ws->workspace()}) {
        QVERIFY(writeFile(folder + QStringLiteral("/Env/data/file.txt"), "from a folder that is no package"));
        QVERIFY(writeFile(folder + QStringLiteral("/Env/del.xml"), "<DelLs><f>data/file.txt</f></DelLs>"));
    }
    const auto before = snapshotTree(ws->root());
    const auto around = snapshotTree(ws->workspace());
    setPackageDir(dirs.value(which));

    MessageLog log;
    DlgUpdateProbe::updateDel(*dlg, *update);
    QVERIFY(DlgUpdateProbe::copy(*dlg, *update));
    QCOMPARE(log.count(QStringLiteral("delete finish!")), 0);
    QVERIFY(DlgUpdateProbe::updateVersion(*dlg, *update));
    QCOMPARE(DlgUpdateProbe::targetProgress(*dlg), 100);
    QCOMPARE(snapshotTree(ws->root()), before);
    QCOMPARE(readFile(QStringLiteral("in-working-folder.txt")), QByteArray("work"));
    QCOMPARE(snapshotTree(ws->workspace()), around);
    QCOMPARE(log.count(QStringLiteral("100!")), 1);
    QVERIFY2(log.count("quillfern.run.package-kept") == 1, log.dump().constData());
}

void TestDeletionList::fileSystemRootRefused()
{
    // Checked without a removal attempt: a mistake here must not be able to cost the machine.
    const QString bin = root(QStringLiteral("bin"));
    for (const QString &dir : {QStringLiteral("/"), QStringLiteral("/.."), QDir::rootPath()})
        QVERIFY2(!InstallationPaths::packageRemovalRefusal(dir, ws->root(), bin).isEmpty(), qPrintable(dir));
    QVERIFY(InstallationPaths::packageRemovalRefusal(ws->package(), ws->root(), bin).isEmpty());
}

QTEST_MAIN(TestDeletionList)
#include "tst_deletionlist.moc"
