#include <QDomDocument>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>

#include "dlgupdate.h"

// The Chinese translation, loaded from the .qm the build compiled.
class TestTranslation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void windowTexts_data();
    void windowTexts();
    void everyMessageCompiled_data();
    void everyMessageCompiled();
    void logNameKept();

private:
    QDomDocument ts;
    QTranslator *installed = nullptr;
};

namespace {

const char context[] = "DlgUpdate";

bool hasHan(const QString &text)
{
    return text.contains(QRegularExpression(QStringLiteral("\\p{Han}")));
}

} // namespace

void TestTranslation::initTestCase()
{
    QFile file(QStringLiteral(QUILLFERN_ZH_CN_TS));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(ts.setContent(&file));
    QCOMPARE(ts.documentElement().attribute(QStringLiteral("language")), QStringLiteral("zh_CN"));
}

void TestTranslation::cleanup()
{
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
}

void TestTranslation::windowTexts_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("button");
    QTest::newRow("source texts") << false << "DlgUpdate"
                                  << "Update"
                                  << "Halvorquintel is updating..."
                                  << "Update completed";
    QTest::newRow("zh_CN") << true << QString::fromUtf8("更新程序") << QString::fromUtf8("更新")
                           << QString::fromUtf8("Halvorquintel 正在更新...") << QString::fromUtf8("更新完成");
    // Once the translator is taken out again, a new window is back to the source texts.
    QTest::newRow("source texts again") << false << "DlgUpdate"
                                        << "Update"
                                        << "Halvorquintel is updating..."
                                        << "Update completed";
}

void TestTranslation::windowTexts()
{
    QFETCH(bool, chinese);
    QFETCH(QString, title);
    QFETCH(QString, heading);
    QFETCH(QString, label);
    QFETCH(QString, button);
    if (chinese) {
        installed = new QTranslator;
        QVERIFY(installed->load(QStringLiteral(QUILLFERN_ZH_CN_QM)));
        QVERIFY(QCoreApplication::installTranslator(installed));
    }

    DlgUpdate dlg;
    auto *okButton = dlg.findChild<QPushButton *>(QStringLiteral("btnOK"));
    auto *statusLabel = dlg.findChild<QLabel *>(QStringLiteral("label"));
    auto *titleLabel = dlg.findChild<QLabel *>(QStringLiteral("txtTitle"));
    QCOMPARE(dlg.windowTitle(), title);
    QCOMPARE(titleLabel->text(), heading);
    QCOMPARE(statusLabel->text(), label);
    QCOMPARE(okButton->text(), button);
    QCOMPARE(hasHan(statusLabel->text()), chinese);
    QCOMPARE(hasHan(okButton->text()), chinese);
    QCOMPARE(hasHan(dlg.windowTitle()), chinese);
}

void TestTranslation::everyMessageCompiled_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("translation");
    QTest::addColumn<bool>("unfinished");
    const QDomNodeList contexts = ts.elementsByTagName(QStringLiteral("context"));
    QCOMPARE(contexts.size(), 1);
    QCOMPARE(contexts.at(0).firstChildElement(QStringLiteral("name")).text(), QString::fromLatin1(context));
    const QDomNodeList messages = ts.elementsByTagName(QStringLiteral("message"));
    for (int i = 0; i < messages.size(); ++i) {
        const QDomElement message = messages.at(i).toElement();
        const QDomElement translation = message.firstChildElement(QStringLiteral("translation"));
        const QString source = message.firstChildElement(QStringLiteral("source")).text();
        QTest::newRow(qPrintable(source))
            << source << translation.text() << translation.hasAttribute(QStringLiteral("type"));
    }
    QCOMPARE(messages.size(), 5);
}

void TestTranslation::everyMessageCompiled()
{
    QFETCH(QString, source);
    QFETCH(QString, translation);
    QFETCH(bool, unfinished);
    QVERIFY2(!unfinished, "unfinished or obsolete messages are left out of the .qm");
    QVERIFY(!translation.isEmpty());
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(QUILLFERN_ZH_CN_QM)));
    QCOMPARE(translator.translate(context, source.toUtf8().constData()), translation);
}

void TestTranslation::logNameKept()
{
    installed = new QTranslator;
    QVERIFY(installed->load(QStringLiteral(QUILLFERN_ZH_CN_QM)));
    QVERIFY(QCoreApplication::installTranslator(installed));
    // Present in the catalogue (an absent text would come back empty), and unchanged.
    QCOMPARE(installed->translate(context, "log.txt"), QStringLiteral("log.txt"));
    QCOMPARE(DlgUpdate::tr("log.txt"), QStringLiteral("log.txt"));
    QVERIFY(DlgUpdate::tr("Update completed") != QStringLiteral("Update completed"));

    // The reason stands beside the entry for the next translator.
    const QDomNodeList messages = ts.elementsByTagName(QStringLiteral("message"));
    QString comment;
    for (int i = 0; i < messages.size(); ++i) {
        const QDomElement message = messages.at(i).toElement();
        if (message.firstChildElement(QStringLiteral("source")).text() == QLatin1String("log.txt"))
            comment = message.firstChildElement(QStringLiteral("translatorcomment")).text();
    }
    QVERIFY(comment.contains(QLatin1String("log.txt")));
}

QTEST_MAIN(TestTranslation)
#include "tst_translation.moc"
