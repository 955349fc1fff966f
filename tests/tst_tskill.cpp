#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <signal.h>
#include <unistd.h>

// Runs the built tskill only against processes this test starts itself, under
// names carrying a random token, so nothing else on the machine is ever ended.

enum class VictimKind { SleepCopy, Script, SlowToStop, IgnoresTerm, Stopped };
Q_DECLARE_METATYPE(VictimKind)

namespace {

// Scripts block in `read` on the pipe QProcess keeps open, so they start no children.
const char scriptBody[] = "echo ready\n"
                          "while :; do read -r line || exit 3; done\n";

struct ProcEntry
{
    bool exists = false;
    char state = '?';
    QByteArray startTime;
};

ProcEntry readProcEntry(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    ProcEntry entry;
    if (!file.open(QIODevice::ReadOnly))
        return entry;
    const QByteArray content = file.readAll();
    const int nameEnd = content.lastIndexOf(')');
    const QList<QByteArray> fields = content.mid(nameEnd + 2).trimmed().split(' ');
    if (nameEnd < 0 || fields.size() < 20)
        return entry;
    entry.exists = true;
    entry.state = fields.at(0).at(0);
    entry.startTime = fields.at(19);
    return entry;
}

QByteArray readComm(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().trimmed();
}

QByteArray realUid(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("Uid:"))
            return line.mid(4).simplified().split(' ').value(0);
    }
    return {};
}

struct TskillRun
{
    bool finished = false;
    QProcess::ExitStatus status = QProcess::CrashExit;
    int code = -1;
    QByteArray out;
    QByteArray err;
    qint64 milliseconds = 0;
};

} // namespace

class TestTskill : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void matchesExactNames_data();
    void matchesExactNames();
    void returnsOnlyOnceTargetsAreGone_data();
    void returnsOnlyOnceTargetsAreGone();
    void rejectsBadCommandLines_data();
    void rejectsBadCommandLines();
    void neverEndsItself_data();
    void neverEndsItself();
    void sparesOtherUsers_data();
    void sparesOtherUsers();

private:
    struct Victim
    {
        std::unique_ptr<QProcess> process;
        QByteArray startTime;
    };

    QString unique(QString pattern) const { return pattern.replace(QLatin1Char('@'), token); }
    QString prepareExecutable(const QString &name, VictimKind kind) const;
    const Victim *startVictim(const QString &name, VictimKind kind, const QStringList &launcher = {});
    bool isRunning(const Victim &victim) const;
    TskillRun runTskill(const QStringList &arguments,
                        const QString &program = QStringLiteral(TSKILL_EXECUTABLE)) const;

    std::unique_ptr<QTemporaryDir> dir;
    QString token;
    std::vector<std::unique_ptr<Victim>> victims;
};

void TestTskill::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    const QString alphabet = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    token.clear();
    for (int i = 0; i < 6; ++i)
        token += alphabet.at(QRandomGenerator::global()->bounded(alphabet.size()));
}

void TestTskill::cleanup()
{
    for (const auto &victim : victims) {
        if (victim->process->state() != QProcess::NotRunning) {
            victim->process->kill();
            victim->process->waitForFinished(5000);
        }
    }
    victims.clear();
    dir.reset();
}

QString TestTskill::prepareExecutable(const QString &name, VictimKind kind) const
{
    const QString path = dir->path() + QLatin1Char('/') + name;
    if (QFileInfo::exists(path))
        return path;
    QFile file(path);
    if (kind == VictimKind::SleepCopy || kind == VictimKind::Stopped) {
        if (!QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), path))
            return {};
    } else {
        QByteArray script = "#!/bin/sh\n";
        if (kind == VictimKind::SlowToStop)
            script += "trap 'sleep 0.5; exit 7' TERM\n";
        else if (kind == VictimKind::IgnoresTerm)
            script += "trap '' TERM\n";
        script += scriptBody;
        if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size())
            return {};
        file.close();
    }
    const auto everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                          QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                          QFileDevice::ExeOther;
    return file.setPermissions(everyone) ? path : QString();
}

// Returns once the victim carries its name and, for scripts, is ready for signals.
const TestTskill::Victim *TestTskill::startVictim(const QString &name, VictimKind kind,
                                                  const QStringList &launcher)
{
    const QString path = prepareExecutable(name, kind);
    if (path.isEmpty())
        return nullptr;
    auto victim = std::make_unique<Victim>();
    victim->process = std::make_unique<QProcess>();
    QProcess *process = victim->process.get();
    QStringList arguments = launcher.mid(1);
    if (!launcher.isEmpty())
        arguments << path;
    if (kind == VictimKind::SleepCopy || kind == VictimKind::Stopped)
        arguments << QStringLiteral("300");
    process->start(launcher.isEmpty() ? path : launcher.first(), arguments);
    victims.push_back(std::move(victim));
    if (!process->waitForStarted(5000))
        return nullptr;

    const QDeadlineTimer deadline(10000);
    const bool script = kind != VictimKind::SleepCopy && kind != VictimKind::Stopped;
    QByteArray output;
    while (readComm(process->processId()) != name.left(15).toUtf8() ||
           (script && !output.contains("ready"))) {
        if (deadline.hasExpired() || process->state() != QProcess::Running)
            return nullptr;
        process->waitForReadyRead(20);
        output += process->readAllStandardOutput();
    }
    if (kind == VictimKind::Stopped && ::kill(static_cast<pid_t>(process->processId()), SIGSTOP) != 0)
        return nullptr;
    victims.back()->startTime = readProcEntry(process->processId()).startTime;
    return victims.back().get();
}

// Alive under /proc as the same process that was started: not gone, not a zombie.
bool TestTskill::isRunning(const Victim &victim) const
{
    const ProcEntry entry = readProcEntry(victim.process->processId());
    return entry.exists && entry.startTime == victim.startTime && entry.state != 'Z' && entry.state != 'X';
}

TskillRun TestTskill::runTskill(const QStringList &arguments, const QString &program) const
{
    TskillRun run;
    QProcess tskill;
    QElapsedTimer timer;
    timer.start();
    tskill.start(program, arguments);
    run.finished = tskill.waitForFinished(30000);
    run.milliseconds = timer.elapsed();
    if (!run.finished) {
        tskill.kill();
        tskill.waitForFinished(5000);
        return run;
    }
    run.status = tskill.exitStatus();
    run.code = tskill.exitCode();
    run.out = tskill.readAllStandardOutput();
    run.err = tskill.readAllStandardError();
    return run;
}

void TestTskill::matchesExactNames_data()
{
    QTest::addColumn<VictimKind>("kind");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("victimNames");
    QTest::addColumn<QStringList>("bystanderNames");

    // "@" becomes the random token; names of 16 bytes or more outgrow the kernel's comm.
    const QStringList nearNames{"qfv@Ax", "qfv@", "xqfv@A", "qfv@a"};
    QTest::newRow("two programs") << VictimKind::SleepCopy << "qfv@A" << QStringList{"qfv@A", "qfv@A"}
                                  << nearNames;
    QTest::newRow("two scripts") << VictimKind::Script << "qfv@A" << QStringList{"qfv@A", "qfv@A"}
                                 << nearNames;
    QTest::newRow("long program name")
        << VictimKind::SleepCopy << "qfv@LongNameTail" << QStringList{"qfv@LongNameTail"}
        << QStringList{"qfv@LongNameXxxx", "qfv@LongNa", "qfv@LongNameTai"};
    QTest::newRow("15-byte name spares longer namesakes")
        << VictimKind::SleepCopy << "qfv@LongNa" << QStringList{"qfv@LongNa"}
        << QStringList{"qfv@LongNameTail", "qfv@LongNam"};
    QTest::newRow("long script name") << VictimKind::Script << "qfv@LongScriptName"
                                      << QStringList{"qfv@LongScriptName", "qfv@LongScriptName"}
                                      << QStringList{"qfv@LongScriptNope", "qfv@LongScrip"};
    QTest::newRow("only near names") << VictimKind::SleepCopy << "qfv@A" << QStringList() << nearNames;
    QTest::newRow("nothing at all") << VictimKind::SleepCopy << "qfv@A" << QStringList() << QStringList();
}

void TestTskill::matchesExactNames()
{
    QFETCH(VictimKind, kind);
    QFETCH(QString, target);
    QFETCH(QStringList, victimNames);
    QFETCH(QStringList, bystanderNames);

    std::vector<const Victim *> targets;
    std::vector<const Victim *> bystanders;
    for (const QString &name : victimNames) {
        targets.push_back(startVictim(unique(name), kind));
        QVERIFY2(targets.back(), qPrintable(name));
    }
    for (const QString &name : bystanderNames) {
        bystanders.push_back(startVictim(unique(name), kind));
        QVERIFY2(bystanders.back(), qPrintable(name));
    }

    const TskillRun run = runTskill({unique(target)});
    QVERIFY(run.finished);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.code, victimNames.isEmpty() ? 1 : 0);
    QVERIFY(run.out.isEmpty());

    for (const Victim *victim : targets) {
        QVERIFY(!isRunning(*victim));
        QVERIFY(victim->process->waitForFinished(5000));
    }
    for (std::size_t i = 0; i < bystanders.size(); ++i) {
        QVERIFY2(isRunning(*bystanders[i]), qPrintable(bystanderNames.at(int(i))));
        QCOMPARE(bystanders[i]->process->state(), QProcess::Running);
    }
}

void TestTskill::returnsOnlyOnceTargetsAreGone_data()
{
    QTest::addColumn<VictimKind>("kind");
    QTest::addColumn<bool>("forced");

    // Exiting with 7 from its TERM handler shows the victim was asked before being forced.
    QTest::newRow("takes half a second to stop") << VictimKind::SlowToStop << false;
    QTest::newRow("ignores TERM") << VictimKind::IgnoresTerm << true;
    QTest::newRow("stopped") << VictimKind::Stopped << true;
}

void TestTskill::returnsOnlyOnceTargetsAreGone()
{
    QFETCH(VictimKind, kind);
    QFETCH(bool, forced);
    const QString name = unique(QStringLiteral("qfv@"));
    const Victim *first = startVictim(name, kind);
    QVERIFY(first);
    const Victim *second = startVictim(name, kind);
    QVERIFY(second);

    const TskillRun run = runTskill({name});
    // Checked before anything collects the victims: they must be dead already.
    const bool firstRunning = isRunning(*first);
    const bool secondRunning = isRunning(*second);
    QVERIFY(run.finished);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.code, 0);
    QVERIFY(!firstRunning);
    QVERIFY(!secondRunning);
    QVERIFY(run.milliseconds < 15000);

    for (const Victim *victim : {first, second}) {
        QVERIFY(victim->process->waitForFinished(1000));
        if (forced) {
            QCOMPARE(victim->process->exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(victim->process->exitStatus(), QProcess::NormalExit);
            QCOMPARE(victim->process->exitCode(), 7);
        }
    }
}

void TestTskill::rejectsBadCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no name") << QStringList();
    QTest::newRow("empty name") << QStringList{""};
    QTest::newRow("name and more") << QStringList{"qfv@", "extra"};
    QTest::newRow("empty name and a name") << QStringList{"", "qfv@"};
}

void TestTskill::rejectsBadCommandLines()
{
    QFETCH(QStringList, arguments);
    const Victim *victim = startVictim(unique(QStringLiteral("qfv@")), VictimKind::SleepCopy);
    QVERIFY(victim);
    for (QString &argument : arguments)
        argument = unique(argument);

    const TskillRun run = runTskill(arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.code, 2);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.size() > 1 && run.err.count('\n') == 1 && run.err.endsWith('\n'), run.err.constData());
    QVERIFY(isRunning(*victim));
}

void TestTskill::neverEndsItself_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("short name") << "qfs@";
    QTest::newRow("long name") << "qfs@LongSelfName";
}

void TestTskill::neverEndsItself()
{
    QFETCH(QString, name);
    const QString copy = dir->path() + QLatin1Char('/') + unique(name);
    QVERIFY(QFile::copy(QStringLiteral(TSKILL_EXECUTABLE), copy));

    const TskillRun run = runTskill({unique(name)}, copy);
    QVERIFY(run.finished);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.code, 1);
}

void TestTskill::sparesOtherUsers_data()
{
    QTest::addColumn<int>("ownCount");
    QTest::newRow("own namesake next to another user's") << 1;
    QTest::newRow("only another user's namesake") << 0;
}

void TestTskill::sparesOtherUsers()
{
    QFETCH(int, ownCount);
    if (geteuid() != 0)
        QSKIP("Starting a process under another user needs root.");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        QSKIP("setpriv (util-linux) is not installed.");
    // The other user must be able to reach and run the copy.
    QVERIFY(QFile::setPermissions(dir->path(), QFile::permissions(dir->path()) | QFileDevice::ExeOther |
                                                   QFileDevice::ReadOther));

    const QString name = unique(QStringLiteral("qfv@"));
    const Victim *other = startVictim(name, VictimKind::SleepCopy,
                                      {setpriv, QStringLiteral("--reuid=65534"),
                                       QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")});
    QVERIFY(other);
    QCOMPARE(realUid(other->process->processId()), QByteArray("65534"));
    const Victim *own = ownCount ? startVictim(name, VictimKind::SleepCopy) : nullptr;
    QVERIFY(!ownCount || own);

    const TskillRun run = runTskill({name});
    QVERIFY(run.finished);
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.code, ownCount ? 0 : 1);
    if (own) {
        QVERIFY(!isRunning(*own));
        QVERIFY(own->process->waitForFinished(5000));
    }
    QVERIFY(isRunning(*other));
    QCOMPARE(other->process->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestTskill)
#include "tst_tskill.moc"
