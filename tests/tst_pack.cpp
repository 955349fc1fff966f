#include <QtTest>

#include <QRandomGenerator>

#include "deletionlist.h"
#include "package.h"
#include "packagemaker.h"
#include "packagesigner.h"
#include "packagemanifest.h"
#include "packageverifier.h"
#include "progressmeter.h"
#include "testsupport.h"
#include "treecopy.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

// A release written as words, one entry each: "path=content" a file,
// "path*=content" an executable one, "path/" a folder, "path->target" a
// symbolic link, and "path!" a file whose name ends in a byte that is not
// UTF-8.
using Layout = QStringList;

namespace {

// Names Qt cannot spell, which its temporary folders cannot remove: they go
// with the object that lives while they are used.
QList<QByteArray> &notUtf8Names()
{
    static QList<QByteArray> names;
    return names;
}

struct NotUtf8Names
{
    NotUtf8Names() = default;
    NotUtf8Names(const NotUtf8Names &) = delete;
    NotUtf8Names &operator=(const NotUtf8Names &) = delete;
    ~NotUtf8Names()
    {
#ifndef Q_OS_WIN
        for (const QByteArray &name : qAsConst(notUtf8Names()))
            ::unlink(name.constData());
#endif
        notUtf8Names().clear();
    }
};

bool makeNotUtf8(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    return false;
#else
    const QByteArray name = QFile::encodeName(path) + "\xff";
    const int fd = ::open(name.constData(), O_CREAT | O_WRONLY, 0644);
    notUtf8Names() << name;
    return fd >= 0 && ::close(fd) == 0;
#endif
}

bool layOut(const QString &root, const Layout &layout)
{
    if (!QDir().mkpath(root))
        return false;
    for (const QString &entry : layout) {
        const int assign = entry.indexOf(QLatin1Char('='));
        const int link = entry.indexOf(QLatin1String("->"));
        bool made = false;
        if (link > 0) {
            const QString path = root + QLatin1Char('/') + entry.left(link);
            made = QDir().mkpath(QFileInfo(path).absolutePath()) && QFile::link(entry.mid(link + 2), path);
        } else if (assign > 0) {
            const bool executable = entry.at(assign - 1) == QLatin1Char('*');
            const QString path = root + QLatin1Char('/') + entry.left(executable ? assign - 1 : assign);
            made = writeFile(path, entry.mid(assign + 1).toUtf8()) && (!executable || makeExecutable(path));
        } else if (entry.endsWith(QLatin1Char('/'))) {
            made = QDir().mkpath(root + QLatin1Char('/') + entry);
        } else if (entry.endsWith(QLatin1Char('!'))) {
            const QString path = root + QLatin1Char('/') + entry.chopped(1);
            made = QDir().mkpath(QFileInfo(path).absolutePath()) && makeNotUtf8(path);
        }
        if (!made)
            return false;
    }
    return true;
}

// The files of a package's payload, relative, sorted.
QStringList payloadFiles(const QString &package)
{
    QStringList files;
    const QString env = package + QStringLiteral("/Env/");
    QDirIterator it(env, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next().mid(env.size());
    files.sort();
    return files;
}

QStringList deletionEntries(const QString &package)
{
    const Package resolved(package);
    const DeletionList list(resolved, package, package);
    QStringList entries;
    list.entries(&entries);
    entries.removeAll(QString());
    return entries;
}

// Whether anything of a refused make is left: the package, or its half-made sibling.
bool leftAnything(const QString &out)
{
    const QFileInfo info(out);
    return info.exists() ||
           !QDir(info.absolutePath())
                .entryList({info.fileName() + QStringLiteral(".partial-*")}, QDir::AllEntries | QDir::Hidden)
                .isEmpty();
}

// Two seeded releases: the new one takes the old one and drops, changes and adds.
class RandomReleases
{
public:
    explicit RandomReleases(quint32 seed)
        : random(seed)
    {
        addFolder(QString(), 0);
        mutate();
    }

    bool write(const QString &oldRoot, const QString &newRoot) const
    {
        return write(oldRoot, oldFiles, oldFolders) && write(newRoot, newFiles, newFolders);
    }

private:
    struct File
    {
        QByteArray content;
        bool executable = false;
    };

    QString name()
    {
        static const QStringList stems{
            QStringLiteral("alpha"),   QStringLiteral("données"),    QStringLiteral("日本語"),
            QStringLiteral("Ünïcode"), QStringLiteral("with space"), QStringLiteral("R&D's"),
            QStringLiteral("x.y.z"),   QStringLiteral("readme"),     QStringLiteral("plugin.dll"),
        };
        // The number keeps every name of a folder apart, also where letter case is ignored.
        return stems.at(int(random.bounded(stems.size()))) + QLatin1Char('-') + QString::number(++made);
    }

    QByteArray content()
    {
        const quint32 kind = random.bounded(20);
        const int size = kind == 0   ? 0
                         : kind == 1 ? int(random.bounded(1 << 20, 3 << 20))
                                     : int(random.bounded(1, 4096));
        QByteArray bytes(size, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(random.bounded(256));
        return bytes;
    }

    void addFolder(const QString &folder, int depth)
    {
        const QString prefix = folder.isEmpty() ? QString() : folder + QLatin1Char('/');
        const int files = int(random.bounded(5));
        for (int i = 0; i < files; ++i)
            oldFiles.insert(prefix + name(), {content(), random.bounded(5) == 0});
        const int folders = depth < 3 ? int(random.bounded(3)) : 0;
        for (int i = 0; i < folders; ++i) {
            const QString sub = prefix + name();
            oldFolders << sub;
            addFolder(sub, depth + 1);
        }
    }

    void mutate()
    {
        newFiles = oldFiles;
        newFolders = oldFolders;
        for (const QString &folder : qAsConst(oldFolders)) {
            const quint32 fate = random.bounded(10);
            if (fate == 0) { // dropped, with everything in it
                const auto under = [&folder](const QString &path) {
                    return path == folder || path.startsWith(folder + QLatin1Char('/'));
                };
                newFolders.erase(std::remove_if(newFolders.begin(), newFolders.end(), under),
                                 newFolders.end());
                removeFiles(under);
            } else if (fate == 1) { // emptied of its files
                removeFiles([&folder](const QString &path) { return path.section('/', 0, -2) == folder; });
            }
        }
        for (auto it = newFiles.begin(); it != newFiles.end();) {
            const quint32 fate = random.bounded(20);
            if (fate < 3) {
                it = newFiles.erase(it);
                continue;
            }
            if (fate < 6)
                it->content = content();
            else if (fate == 6)
                it->executable = !it->executable;
            else if (fate == 7 && it->content.size() > 1)
                it->content[0] = char(it->content.at(0) ^ 1); // same size, other content
            ++it;
        }
        QStringList parents = newFolders;
        parents << QString();
        const int added = int(random.bounded(1, 8));
        for (int i = 0; i < added; ++i) {
            QString folder = parents.at(int(random.bounded(parents.size())));
            if (random.bounded(3) == 0) { // in new nested folders
                folder +=
                    (folder.isEmpty() ? QString() : QStringLiteral("/")) + name() + QLatin1Char('/') + name();
                newFolders << folder.section('/', 0, -2) << folder;
            }
            newFiles.insert((folder.isEmpty() ? QString() : folder + QLatin1Char('/')) + name(),
                            {content(), random.bounded(4) == 0});
        }
        if (random.bounded(3) == 0) // a new folder left empty
            newFolders << name();
        // A file of the old release becomes a folder of the new one.
        const QStringList oldNames = oldFiles.keys();
        if (!oldNames.isEmpty() && random.bounded(4) == 0) {
            const QString file = oldNames.at(int(random.bounded(oldNames.size())));
            newFiles.remove(file);
            newFolders << file;
            newFiles.insert(file + QLatin1Char('/') + name(), {content(), false});
        }
    }

    template <typename Predicate> void removeFiles(Predicate drop)
    {
        for (auto it = newFiles.begin(); it != newFiles.end();)
            it = drop(it.key()) ? newFiles.erase(it) : std::next(it);
    }

    static bool write(const QString &root, const QMap<QString, File> &files, const QStringList &folders)
    {
        if (!QDir().mkpath(root))
            return false;
        for (const QString &folder : folders) {
            if (!QDir().mkpath(root + QLatin1Char('/') + folder))
                return false;
        }
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString path = root + QLatin1Char('/') + it.key();
            if (!writeFile(path, it->content) || (it->executable && !makeExecutable(path)))
                return false;
        }
        return true;
    }

    QRandomGenerator random;
    int made = 0;
    QMap<QString, File> oldFiles;
    QStringList oldFolders;
    QMap<QString, File> newFiles;
    QStringList newFolders;
};

int seedCount()
{
    const int asked = qEnvironmentVariableIntValue("QUILLFERN_PACK_SEEDS");
    return asked > 0 ? asked : 50;
}

} // namespace

// quillFern-pack: the package it makes from two releases, what it refuses,
// and its check of a package against the release it is meant for.
class TestPack : public QObject
{
    Q_OBJECT

private slots:
    void makeLaysOut_data();
    void makeLaysOut();
    void makeRefuses_data();
    void makeRefuses();
    void verifyRefuses_data();
    void verifyRefuses();
    void commandLine_data();
    void commandLine();
    void progressOnTerminalOnly_data();
    void progressOnTerminalOnly();
    void roundTrip_data();
    void roundTrip();

private:
    // Signs the package's manifest with a key made by the minisign command, once for all seeds;
    // the keys to verify it with.
    PackageKeys sign(const QString &package, const QString &trustedComment);
    QTemporaryDir keys;
};

PackageKeys TestPack::sign(const QString &package, const QString &trustedComment)
{
    const QString base = keys.filePath(QStringLiteral("publisher"));
    if (!QFileInfo::exists(base + QStringLiteral(".key")) && !makeMinisignKeys(base))
        return PackageKeys{{}, QStringLiteral("the minisign command made no keys")};
    const MinisignSecretKey::Read key =
        MinisignSecretKey::read(readFile(base + QStringLiteral(".key")), [] { return std::nullopt; });
    PackageSigner signer(package);
    if (!key.key || !signer.readManifest() || !signer.sign(*key.key, trustedComment))
        return PackageKeys{{}, QStringLiteral("not signed: ") + key.reason + signer.reason()};
    // What minisign itself says of the signature.
    QProcess minisign;
    minisign.start(QStringLiteral("minisign"),
                   {QStringLiteral("-Vm"), package + QStringLiteral("/SHA256SUMS"), QStringLiteral("-p"),
                    base + QStringLiteral(".pub")});
    if (!minisign.waitForFinished(60000) || minisign.exitStatus() != QProcess::NormalExit ||
        minisign.exitCode() != 0)
        return PackageKeys{{}, QStringLiteral("minisign -Vm refused the signature")};
    return PackageKeys::read(readFile(base + QStringLiteral(".pub")));
}

void TestPack::makeLaysOut_data()
{
    QTest::addColumn<Layout>("oldRelease");
    QTest::addColumn<Layout>("newRelease");
    QTest::addColumn<bool>("full");
    QTest::addColumn<QStringList>("payload"); // the files of Env, del.xml aside
    QTest::addColumn<QStringList>("deleted");
    QTest::addColumn<int>("leftOut");

    const Layout base{QStringLiteral("bin/quillFern=updater"), QStringLiteral("a.txt=one"),
                      QStringLiteral("data/b.txt=two")};
    QTest::newRow("one file changed")
        << base << Layout{"bin/quillFern=updater", "a.txt=one", "data/b.txt=TWO"} << false
        << QStringList{"data/b.txt"} << QStringList() << 0;
    QTest::newRow("same size, other content")
        << base << Layout{"bin/quillFern=updater", "a.txt=one", "data/b.txt=twO"} << false
        << QStringList{"data/b.txt"} << QStringList() << 0;
    QTest::newRow("nothing changed") << base << base << false << QStringList() << QStringList() << 0;
    QTest::newRow("full") << base << base << true << QStringList{"a.txt", "bin/quillFern", "data/b.txt"}
                          << QStringList() << 0;
    QTest::newRow("dropped, named with XML's characters")
        << Layout{"a.txt=one", "R&D's notes.txt=x", "docs/old.txt=x"} << Layout{"a.txt=one", "docs/"} << false
        << QStringList() << QStringList{"R&D's notes.txt", "docs/old.txt"} << 0;
    QTest::newRow("added in new folders, non-ASCII")
        << base << (base + Layout{"données/été/ß.txt=x", "empty/"}) << false
        << QStringList{"données/été/ß.txt"} << QStringList() << 0;
    QTest::newRow("file becomes folder") << Layout{"x=file"} << Layout{"x/y.txt=inside"} << false
                                         << QStringList{"x/y.txt"} << QStringList{"x"} << 0;
    QTest::newRow("hidden and archiver entries left out")
        << base << (base + Layout{".DS_Store=finder", "__MACOSX/._a.txt=meta", "data/.cache=c"}) << false
        << QStringList() << QStringList() << 3;
#ifndef Q_OS_WIN
    QTest::newRow("executable bit only") << Layout{"run.sh=#!/bin/sh"} << Layout{"run.sh*=#!/bin/sh"} << false
                                         << QStringList{"run.sh"} << QStringList() << 0;
    QTest::newRow("link to a file installed as its content")
        << base << (base + Layout{"link.txt->a.txt"}) << false << QStringList{"link.txt"} << QStringList()
        << 0;
    QTest::newRow("link leading nowhere left out")
        << base << (base + Layout{"gone.txt->nowhere.txt"}) << false << QStringList() << QStringList() << 1;
    QTest::newRow("link of the old release replaced by a file")
        << Layout{"a.txt=one", "b.txt->a.txt"} << Layout{"a.txt=one", "b.txt=one"} << false
        << QStringList{"b.txt"} << QStringList() << 0;
#endif
}

// A package has exactly the payload and list that take the old release to
// the new one; its manifest matches it, the same releases give the same
// bytes, and the package applied to a copy of the old release gives the new.
void TestPack::makeLaysOut()
{
    QFETCH(Layout, oldRelease);
    QFETCH(Layout, newRelease);
    QFETCH(bool, full);
    QFETCH(QStringList, payload);
    QFETCH(QStringList, deleted);
    QFETCH(int, leftOut);

    QTemporaryDir dir;
    const QString from = dir.filePath(QStringLiteral("old"));
    const QString to = dir.filePath(QStringLiteral("new"));
    const QString out = dir.filePath(QStringLiteral("package"));
    QVERIFY(layOut(from, oldRelease) && layOut(to, newRelease));

    const MakeReport report = PackageMaker::make({from, to, out, full});
    QVERIFY2(report.ok(), qPrintable(report.refusals.join('\n')));
    QStringList expectedPayload = payload;
    if (!deleted.isEmpty())
        expectedPayload << QStringLiteral("del.xml");
    expectedPayload.sort();
    QCOMPARE(payloadFiles(out), expectedPayload);
    QCOMPARE(deletionEntries(out), deleted);
    QCOMPARE(report.leftOut.size(), leftOut);
    QCOMPARE(report.added.size() + report.replaced.size(), payload.size());

    const ManifestCheck check = PackageManifest::check(Package(out), PackageKeys(), CancelToken());
    QCOMPARE(check.result, ManifestCheck::Result::Matches);
    QCOMPARE(check.files, expectedPayload.size());

    const QString again = dir.filePath(QStringLiteral("again"));
    QVERIFY(PackageMaker::make({from, to, again, full}).ok());
    QCOMPARE(snapshotTree(again), snapshotTree(out));

    const VerifyReport verified = PackageVerifier::verify({out, from, to, PackageKeys()});
    QVERIFY2(verified.ok(), qPrintable(verified.problems.join('\n')));
    QVERIFY(verified.rehearsed);
    QCOMPARE(verified.removed.size(), deleted.size());
}

void TestPack::makeRefuses_data()
{
    QTest::addColumn<Layout>("oldRelease");
    QTest::addColumn<Layout>("newRelease");
    QTest::addColumn<QString>("out"); // relative to the folder that holds both releases

    const Layout base{QStringLiteral("bin/quillFern=updater"), QStringLiteral("a.txt=one")};
    const QString out = QStringLiteral("package");
    QTest::newRow("drops the updater") << base << Layout{"a.txt=one"} << out;
    QTest::newRow("drops a library the updater loads")
        << (base + Layout{"bin/Qt5Core.dll=qt"}) << base << out;
    QTest::newRow("drops a Qt plugin") << (base + Layout{"bin/platforms/qwindows.dll=qt"}) << base << out;
    QTest::newRow("deletion list in the new release") << base << (base + Layout{"del.xml=<DelLs/>"}) << out;
    QTest::newRow("folder becomes file") << (base + Layout{"x/y.txt=1"}) << (base + Layout{"x=file"}) << out;
    QTest::newRow("package folder not empty") << base << base << QStringLiteral("old/bin");
    QTest::newRow("package inside a release") << base << base << QStringLiteral("new/package");
#ifndef Q_OS_WIN
    // Releases made where these are names of their own, which Windows could not hold apart, or at all.
    QTest::newRow("names one on Windows by case")
        << base << (base + Layout{"Notes.txt=1", "notes.txt=2"}) << out;
    QTest::newRow("names one on Windows by a last dot")
        << base << (base + Layout{"x.txt=1", "x.txt.=2"}) << out;
    QTest::newRow("name Windows forbids") << base << (base + Layout{"what?.txt=1"}) << out;
    QTest::newRow("name not UTF-8") << base << (base + Layout{"bad!"}) << out;
    QTest::newRow("old release's name not UTF-8") << (base + Layout{"data/bad!"}) << base << out;
#endif
}

// Each of these would give a package the updater refuses, or one that
// leaves another installation than the new release: nothing is written.
void TestPack::makeRefuses()
{
    QFETCH(Layout, oldRelease);
    QFETCH(Layout, newRelease);
    QFETCH(QString, out);

    QTemporaryDir dir;
    const NotUtf8Names goWithTheTest;
    const QString from = dir.filePath(QStringLiteral("old"));
    const QString to = dir.filePath(QStringLiteral("new"));
    QVERIFY(layOut(from, oldRelease) && layOut(to, newRelease));
    const QString package = dir.filePath(out);
    const auto before = snapshotTree(dir.path());

    const MakeReport report = PackageMaker::make({from, to, package, false});
    QVERIFY(!report.ok());
    QCOMPARE(snapshotTree(dir.path()), before);
    if (!QFileInfo::exists(package))
        QVERIFY(!leftAnything(package));
}

void TestPack::verifyRefuses_data()
{
    QTest::addColumn<QString>("change"); // what is done to a sound package, or its releases
    QTest::addColumn<bool>("refused");

    QTest::newRow("sound") << QString() << false;
    QTest::newRow("payload file changed") << QStringLiteral("tamper") << true;
    QTest::newRow("payload file added, not listed") << QStringLiteral("add") << true;
    QTest::newRow("unsigned, keys given") << QStringLiteral("keys") << true;
    QTest::newRow("list names the updater") << QStringLiteral("list:bin/quillFern") << true;
    QTest::newRow("list names a file outside") << QStringLiteral("list:../outside.txt") << true;
    QTest::newRow("list not XML") << QStringLiteral("list:<") << true;
#ifndef Q_OS_WIN
    QTest::newRow("payload names collide") << QStringLiteral("collide") << true;
#endif
    QTest::newRow("new release differs from the package") << QStringLiteral("expect") << true;
    QTest::newRow("no manifest") << QStringLiteral("unlisted") << false;
}

void TestPack::verifyRefuses()
{
    QFETCH(QString, change);
    QFETCH(bool, refused);

    QTemporaryDir dir;
    const QString from = dir.filePath(QStringLiteral("old"));
    const QString to = dir.filePath(QStringLiteral("new"));
    const QString out = dir.filePath(QStringLiteral("package"));
    QVERIFY(layOut(from, {"bin/quillFern=updater", "a.txt=one", "old.txt=gone", "notes.txt=n"}));
    QVERIFY(layOut(to, {"bin/quillFern=updater", "a.txt=ONE", "added.txt=new", "notes.txt=n"}));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("outside.txt")), "outside"));
    QVERIFY(PackageMaker::make({from, to, out, false}).ok());

    const QString env = out + QStringLiteral("/Env/");
    PackageKeys keys;
    const bool unlisted = change == QLatin1String("unlisted") || change == QLatin1String("collide") ||
                          change.startsWith(QLatin1String("list:"));
    if (unlisted)
        QVERIFY(QFile::remove(out + QStringLiteral("/SHA256SUMS")));
    if (change == QLatin1String("tamper"))
        QVERIFY(writeFile(env + QStringLiteral("a.txt"), "EVIL"));
    else if (change == QLatin1String("add"))
        QVERIFY(writeFile(env + QStringLiteral("extra.txt"), "extra"));
    else if (change == QLatin1String("keys"))
        keys = PackageKeys::read(
            "untrusted comment: a key\nRWQBAgMEBQYHCAkKCwwNDg8QERITFBUWFxgZGhscHR4fICEiIyQlJico\n");
    else if (change.startsWith(QLatin1String("list:")))
        QVERIFY(writeFile(env + QStringLiteral("del.xml"),
                          "<DelLs><file>" + change.mid(5).toUtf8() + "</file></DelLs>"));
    else if (change == QLatin1String("collide"))
        QVERIFY(writeFile(env + QStringLiteral("NOTES.txt"), "n"));
    else if (change == QLatin1String("expect"))
        QVERIFY(writeFile(to + QStringLiteral("/more.txt"), "more"));
    QVERIFY(keys.problem.isEmpty());
    const auto outside = snapshotTree(dir.filePath(QStringLiteral("outside.txt")));
    const auto installed = snapshotTree(from);

    const VerifyReport report = PackageVerifier::verify({out, from, to, keys});
    QCOMPARE(!report.ok(), refused);
    // The check and its rehearsal change neither the releases nor anything beside them.
    QCOMPARE(snapshotTree(from), installed);
    QCOMPARE(snapshotTree(dir.filePath(QStringLiteral("outside.txt"))), outside);
    if (!refused) {
        QVERIFY(report.rehearsed);
        QCOMPARE(report.added, QStringList{"added.txt"});
        QCOMPARE(report.removed, QStringList{"old.txt"});
    }
}

void TestPack::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments"); // "%d" stands for the folder of the releases
    QTest::addColumn<int>("status");

    QTest::newRow("no command") << QStringList() << 2;
    QTest::newRow("unknown command") << QStringList{"pack"} << 2;
    QTest::newRow("make without --to") << QStringList{"make", "--from", "%d/old", "--out", "%d/p"} << 2;
    QTest::newRow("make, unknown option")
        << QStringList{"make", "--from", "%d/old", "--to", "%d/new", "--out", "%d/p", "--fast"} << 2;
    QTest::newRow("make") << QStringList{"make",   "--from", "%d/old", "--to",
                                         "%d/new", "--out",  "%d/p",   "--quiet"}
                          << 0;
    QTest::newRow("make, refused") << QStringList{"make",   "--from", "%d/old", "--to",
                                                  "%d/new", "--out",  "%d/old"}
                                   << 1;
    QTest::newRow("verify") << QStringList{"verify", "%d/made", "--installed", "%d/old", "--expect", "%d/new"}
                            << 0;
    QTest::newRow("verify, other release expected")
        << QStringList{"verify", "%d/made", "--installed", "%d/old", "--expect", "%d/old"} << 1;
    QTest::newRow("verify, unreadable key file")
        << QStringList{"verify", "%d/made", "--installed", "%d/old", "--keys", "%d/none.pub"} << 1;
    QTest::newRow("verify without --installed") << QStringList{"verify", "%d/made"} << 2;
}

// The exit status a publisher's CI gates on.
void TestPack::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);

    QTemporaryDir dir;
    QVERIFY(layOut(dir.filePath(QStringLiteral("old")), {"a.txt=one", "b.txt=two"}));
    QVERIFY(layOut(dir.filePath(QStringLiteral("new")), {"a.txt=ONE", "c.txt=three"}));
    QVERIFY(PackageMaker::make({dir.filePath(QStringLiteral("old")), dir.filePath(QStringLiteral("new")),
                                dir.filePath(QStringLiteral("made")), false})
                .ok());
    arguments.replaceInStrings(QStringLiteral("%d"), dir.path());

    QProcess pack;
    pack.setProcessChannelMode(QProcess::MergedChannels);
    pack.start(QStringLiteral(QUILLFERN_PACK_EXECUTABLE), arguments);
    QVERIFY(pack.waitForFinished(120000));
    QCOMPARE(pack.exitStatus(), QProcess::NormalExit);
    QVERIFY2(pack.exitCode() == status, pack.readAll().constData());
    if (arguments.value(0) == QLatin1String("make"))
        QCOMPARE(QFileInfo::exists(dir.filePath(QStringLiteral("p"))), status == 0);
}

void TestPack::progressOnTerminalOnly_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<bool>("shown");

    QTest::newRow("on a terminal") << true << false << true;
    QTest::newRow("on a terminal, --quiet") << true << true << false;
    QTest::newRow("into a file") << false << false << false;
}

// make's meter: on a terminal a line rewritten in place with the share done, from the second
// second of the work on; nothing where nobody watches.
void TestPack::progressOnTerminalOnly()
{
    QFETCH(bool, terminal);
    QFETCH(bool, quiet);
    QFETCH(bool, shown);

    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("errors.txt"));
#ifdef Q_OS_WIN
    if (terminal)
        QSKIP("needs a pseudo-terminal");
    const auto written = [&path] { return readFile(path); };
#else
    PseudoTerminal pseudoTerminal;
    QVERIFY(pseudoTerminal.isValid());
    if (terminal)
        path = pseudoTerminal.path();
    const auto written = [&] { return terminal ? pseudoTerminal.shown() : readFile(path); };
#endif
    FILE *stream = std::fopen(QFile::encodeName(path).constData(), "w");
    QVERIFY(stream);
    const auto close = qScopeGuard([stream] { std::fclose(stream); });

    {
        ProgressMeter meter(QStringLiteral("hashing"), quiet, stream);
        meter.update(0, 400);
        QTest::qSleep(1100); // past the second in which short work stays silent
        meter.update(100, 400);
        meter.update(400, 400);
    }
    std::fflush(stream);
    const QByteArray text = written();
    if (!shown) {
        QVERIFY2(text.isEmpty(), text.constData());
        return;
    }
    QVERIFY2(text.startsWith('\r') && text.endsWith('\n'), text.constData());
    QVERIFY2(!text.contains(" 0%") && text.contains(" 25%") && text.contains(" 100%"), text.constData());
}

void TestPack::roundTrip_data()
{
    QTest::addColumn<quint32>("seed");
    const quint32 first = quint32(qEnvironmentVariableIntValue("QUILLFERN_PACK_FIRST_SEED"));
    for (int i = 0; i < seedCount(); ++i)
        QTest::addRow("seed %u", first + quint32(i)) << first + quint32(i);
}

// Seeded random releases: the package made from them and signed, which
// minisign and verify accept, applied by the updater itself to the old release, leaves exactly the new one,
// but for the emptied folders the new release drops, which it reports.
void TestPack::roundTrip()
{
#ifndef QUILLFERN_QUICK_EXECUTABLE
    QSKIP("The quick build of the updater is made for Linux only");
#else
    QFETCH(quint32, seed);
    const QString failedSeed =
        QStringLiteral("seed %1 (QUILLFERN_PACK_FIRST_SEED=%1 QUILLFERN_PACK_SEEDS=1)").arg(seed);
    UpdaterProcessLock lock;
    Workspace ws(Workspace::Bin::StandIns);
    QVERIFY(ws.isValid() && ws.installUpdater(QStringLiteral(QUILLFERN_QUICK_EXECUTABLE)));
    QTemporaryDir releases;
    const QString from = releases.filePath(QStringLiteral("old"));
    const QString to = releases.filePath(QStringLiteral("new"));
    QVERIFY(RandomReleases(seed).write(from, to));
    for (const QFileInfo &entry : QDir(from).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        const QString target = ws.path(entry.fileName());
        QVERIFY(entry.isDir() ? TreeCopy::copy(entry.filePath(), target).ok()
                              : QFile::copy(entry.filePath(), target));
    }

    const MakeReport made = PackageMaker::make({from, to, ws.package(), false});
    QVERIFY2(made.ok(), qPrintable(failedSeed + '\n' + made.refusals.join('\n')));
    const PackageKeys publisher = sign(ws.package(), QStringLiteral("seed %1").arg(seed));
    QVERIFY2(publisher.problem.isEmpty() && !publisher.keys.isEmpty(),
             qPrintable(failedSeed + '\n' + publisher.problem));
    const VerifyReport verified = PackageVerifier::verify({ws.package(), from, to, publisher});
    QVERIFY2(verified.ok(), qPrintable(failedSeed + '\n' + verified.problems.join('\n')));

    UpdaterRun run;
    QVERIFY(run.start(ws.binDir() + QStringLiteral("/quillFern"), {QStringLiteral("update"), ws.package()},
                      ws.work()));
    run.waitForLine(QStringList(), 60000);
    QVERIFY2(run.hasLine(QStringLiteral("Finish!")), qPrintable(failedSeed + '\n' + run.errorOutput()));
    QVERIFY2(!QFileInfo::exists(ws.package()), qPrintable(failedSeed));

    const auto installed = treeWithout(snapshotTree(ws.root()), {QStringLiteral("bin")});
    const auto expected = snapshotTree(to);
    QStringList dropped;
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        if (!expected.contains(it.key()) && made.droppedFolders.contains(it.key()))
            dropped << it.key();
    }
    // What a dropped folder still holds is folders, emptied.
    const auto leftOver = treeWithout(installed, dropped);
    QStringList notEmptied;
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        if (!leftOver.contains(it.key()) && !it.value().startsWith(QLatin1String("dir")))
            notEmptied << it.key();
    }
    QVERIFY2(notEmptied.isEmpty(), qPrintable(failedSeed + '\n' + notEmptied.join('\n')));
    const QStringList differences = treeDifferences(expected, leftOver);
    QVERIFY2(differences.isEmpty(), qPrintable(failedSeed + '\n' + differences.join('\n')));
#endif
}

QTEST_MAIN(TestPack)
#include "tst_pack.moc"
