#include <QDir>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>

#include <shellapi.h>
#endif

#include "place.h"
#include "startupentry.h"
#include "testsupport.h"

// The start-up entry that finishes a run cut short at the next logon: the
// command the system reads back from it is the one that was meant, whatever
// the paths hold, and each installation has one.
class TestStartupEntry : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void commandComesBackWhole_data();
    void commandComesBackWhole();
    void onePerInstallation();
    void relativePackageIsTakenFromWorkingFolder();

private:
    QStringList readBack(const StartupEntry &entry) const;

    std::unique_ptr<QTemporaryDir> workspace;
};

void TestStartupEntry::init()
{
    workspace = std::make_unique<QTemporaryDir>();
    QVERIFY(workspace->isValid());
#ifndef Q_OS_WIN
    // The entries of this test go nowhere near the user's autostart folder.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(workspace->filePath(QStringLiteral("config"))));
#endif
}

void TestStartupEntry::cleanup()
{
    workspace.reset();
}

// Split as the logon splits it: the desktop entry's Exec key, or CommandLineToArgvW.
QStringList TestStartupEntry::readBack(const StartupEntry &entry) const
{
#ifdef Q_OS_WIN
    const std::wstring command = entry.storedCommand().toStdWString();
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(command.c_str(), &count);
    QStringList result;
    for (int i = 0; arguments && i < count; ++i)
        result << QDir::fromNativeSeparators(QString::fromWCharArray(arguments[i]));
    LocalFree(arguments);
    return result;
#else
    return desktopEntryCommand(entry.location());
#endif
}

void TestStartupEntry::commandComesBackWhole_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("plain") << QStringLiteral("plain");
    QTest::newRow("spaces") << QStringLiteral("Program Files/Halvorquintel  two spaces");
    QTest::newRow("non-ASCII") << QString::fromUtf8("Édition 更新/paquet mis à jour");
    QTest::newRow("percent signs") << QStringLiteral("100% done/a %f b");
    // Windows runs no Run command longer than 260 characters: written with short names.
    QTest::newRow("longer than a Run command may be")
        << QStringLiteral("a folder with a rather long name/").repeated(5) + QStringLiteral("end");
#ifndef Q_OS_WIN
    QTest::newRow("quotes, dollar, backquote, backslash")
        << QStringLiteral("it's \"quoted\" $HOME `date` back\\slash");
#endif
}

void TestStartupEntry::commandComesBackWhole()
{
    QFETCH(QString, folder);
    const QString root = workspace->filePath(folder + QStringLiteral("/install"));
    const QString program = root + QStringLiteral("/bin/quillFern");
    const QString package = workspace->filePath(folder + QStringLiteral("/package"));
    StartupEntry entry(root);
    QVERIFY(!entry.exists());

    const bool tooLong = StartupEntry::command(program, package).size() > 260;
    if (tooLong) {
        // Short names are given only to what exists.
        QVERIFY(writeFile(program, "updater"));
        QVERIFY(QDir().mkpath(package));
    }
    QVERIFY2(entry.write(program, package), qPrintable(entry.location()));
    QVERIFY(entry.exists());
#ifdef Q_OS_WIN
    if (tooLong) {
        if (shortPathName(package).isEmpty())
            QSKIP("the system gives these folders no short names");
        QVERIFY2(entry.storedCommand().size() <= 260, qPrintable(entry.storedCommand()));
        const QStringList parts = readBack(entry);
        QCOMPARE(parts.size(), 3);
        QVERIFY2(Place::followingLastLink(parts.at(0)).isSame(Place::followingLastLink(program)),
                 qPrintable(parts.at(0)));
        QCOMPARE(parts.at(1), QStringLiteral("update"));
        QVERIFY2(Place::followingLastLink(parts.at(2)).isSame(Place::followingLastLink(package)),
                 qPrintable(parts.at(2)));
        QVERIFY(entry.remove());
        return;
    }
#endif
    QCOMPARE(entry.storedCommand(), StartupEntry::command(program, package));
    QCOMPARE(readBack(entry), (QStringList{program, QStringLiteral("update"), package}));
#ifndef Q_OS_WIN
    QVERIFY2(entry.location().startsWith(workspace->filePath(QStringLiteral("config/autostart/"))),
             qPrintable(entry.location()));
#endif

    QVERIFY(entry.remove());
    QVERIFY(!entry.exists());
    QVERIFY2(entry.remove(), "removing an entry that is gone failed");
}

void TestStartupEntry::onePerInstallation()
{
    const QString first = workspace->filePath(QStringLiteral("first"));
    const QString second = workspace->filePath(QStringLiteral("second"));
    StartupEntry entry(first);
    QVERIFY(
        entry.write(first + QStringLiteral("/bin/quillFern"), workspace->filePath(QStringLiteral("old"))));
    // A later run on the same installation replaces the entry of the earlier one.
    QVERIFY(StartupEntry(first + QStringLiteral("/bin/.."))
                .write(first + QStringLiteral("/bin/quillFern"), workspace->filePath(QStringLiteral("new"))));
    QCOMPARE(readBack(entry).value(2), workspace->filePath(QStringLiteral("new")));
    StartupEntry other(second);
    QVERIFY(other.location() != entry.location());
    QVERIFY(
        other.write(second + QStringLiteral("/bin/quillFern"), workspace->filePath(QStringLiteral("pkg"))));
#ifndef Q_OS_WIN
    QCOMPARE(autostartFiles(workspace->filePath(QStringLiteral("config"))).size(), 2);
#endif
    QVERIFY(entry.remove());
    QVERIFY(other.exists());
    QVERIFY(other.remove());
}

void TestStartupEntry::relativePackageIsTakenFromWorkingFolder()
{
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workspace->path()));
    StartupEntry entry(workspace->filePath(QStringLiteral("install")));
    const Outcome written = entry.write(workspace->filePath(QStringLiteral("install/bin/quillFern")),
                                        QStringLiteral("downloads/package"));
    QDir::setCurrent(previous);
    QVERIFY(written);
    QCOMPARE(readBack(entry).value(2), workspace->filePath(QStringLiteral("downloads/package")));
    QVERIFY(entry.remove());
}

QTEST_MAIN(TestStartupEntry)
#include "tst_startupentry.moc"
