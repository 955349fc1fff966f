#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "runlog.h"
#include "testsupport.h"

// The run log: what goes in it, what still reaches the previous handler,
// and that it stays bounded however many runs append to it.
class TestRunLog : public QObject
{
    Q_OBJECT

private slots:
    void runs_data();
    void runs();
    void longLineIsCut();
    void refusesFolderInInstallation();
};

void TestRunLog::runs_data()
{
    QTest::addColumn<int>("runs");
    QTest::addColumn<int>("linesPerRun");
    QTest::addColumn<bool>("rotated");
    QTest::addColumn<bool>("headerKept");
    QTest::newRow("one run") << 1 << 3 << false << true;
    QTest::newRow("many short runs") << 60 << 3 << true << true;
    QTest::newRow("one long run") << 1 << 300 << true << false;
}

void TestRunLog::runs()
{
    QFETCH(int, runs);
    QFETCH(int, linesPerRun);
    QFETCH(bool, rotated);
    QFETCH(bool, headerKept);
    constexpr qint64 Limit = 4096;
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString folder = temp.filePath(QStringLiteral("data/quillFern"));
    const QString root = temp.filePath(QStringLiteral("install"));
    QVERIFY(QDir().mkpath(root));

    MessageLog passedOn;
    for (int run = 0; run < runs; ++run) {
        RunLog log(Limit);
        log.install();
        qDebug() << "before open" << run;
        QVERIFY(log.open(folder, root, QStringLiteral("header %1").arg(run)));
        for (int line = 0; line < linesPerRun; ++line)
            qDebug().noquote() << QStringLiteral("run %1 line %2").arg(run).arg(line);
        qWarning("warned %d", run);
    }
    // Every message still reached the handler before it, as it was written.
    QCOMPARE(passedOn.count(QStringLiteral("before open %1").arg(runs - 1)), 1);
    QCOMPARE(passedOn.messages().size(), runs * (linesPerRun + 2));

    const QString current = folder + QLatin1Char('/') + RunLog::fileName();
    const QString previous = folder + QLatin1Char('/') + RunLog::previousFileName();
    QCOMPARE(QFileInfo::exists(previous), rotated);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), rotated ? 2 : 1);
    QVERIFY2(QFileInfo(current).size() <= Limit, qPrintable(QString::number(QFileInfo(current).size())));
    QVERIFY(QFileInfo(previous).size() <= Limit);

    // The newest lines are kept, in order, each with its time.
    const QStringList lines = QString::fromUtf8(readFile(previous) + readFile(current))
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QRegularExpression stamped(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d) (.*)$"));
    QStringList texts;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = stamped.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        texts << match.captured(2);
    }
    const int last = runs - 1;
    QCOMPARE(texts.mid(texts.size() - 3),
             QStringList({QStringLiteral("run %1 line %2").arg(last).arg(linesPerRun - 2),
                          QStringLiteral("run %1 line %2").arg(last).arg(linesPerRun - 1),
                          QStringLiteral("warning: warned %1").arg(last)}));
    const int header = texts.lastIndexOf(QStringLiteral("header %1").arg(last));
    QCOMPARE(header >= 0, headerKept);
    if (headerKept) {
        QCOMPARE(texts.value(header + 1), QStringLiteral("before open %1").arg(last));
        QCOMPARE(texts.size() - header, linesPerRun + 3);
    }
}

// A single message far longer than the log (a deletion-list entry of megabytes, say) keeps the bound.
void TestRunLog::longLineIsCut()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString root = temp.filePath(QStringLiteral("install"));
    QVERIFY(QDir().mkpath(root));
    const QString huge = QStringLiteral("entry ") + QString(3 * 1024 * 1024, QLatin1Char('x'));
    MessageLog passedOn;
    {
        RunLog log;
        log.install();
        QVERIFY(log.open(temp.path(), root, QStringLiteral("header")));
        qDebug().noquote() << huge;
        qDebug() << "after";
    }
    QCOMPARE(passedOn.count(huge), 1);
    const QString logged = QString::fromUtf8(readFile(temp.filePath(RunLog::fileName())));
    const QStringList lines = logged.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(1).size() < 4 * 1024, qPrintable(QString::number(lines.at(1).size())));
    QVERIFY(lines.at(1).contains(QStringLiteral(" entry xxx")));
    // The cut says how much it left out.
    QVERIFY2(lines.at(1).right(40).contains(QString::number(huge.size() - RunLog::MaxLineCharacters)),
             qPrintable(lines.at(1).right(60)));
    QVERIFY(lines.at(2).endsWith(QStringLiteral(" after")));
}

void TestRunLog::refusesFolderInInstallation()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString root = temp.filePath(QStringLiteral("install"));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/bin")));
    MessageLog passedOn;
    for (const QString &folder : {root, root + QStringLiteral("/bin/../logs"), root + QStringLiteral("/")}) {
        RunLog log;
        log.install();
        QVERIFY2(!log.open(folder, root + QStringLiteral("/bin/.."), QStringLiteral("header")),
                 qPrintable(folder));
        qDebug("still passed on");
    }
    QCOMPARE(passedOn.count(QStringLiteral("still passed on")), 3);
    QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("bin")});
}

QTEST_MAIN(TestRunLog)
#include "tst_runlog.moc"
