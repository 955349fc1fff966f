#include <QDomDocument>
#include <QFile>
#include <QtTest>

// The application manifest that resources/quillFern.rc builds into quillFern.exe.
class TestAppManifest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wellFormedAssembly();
    void attributes_data();
    void attributes();

private:
    QDomDocument manifest;
};

namespace {

const QString asmV1 = QStringLiteral("urn:schemas-microsoft-com:asm.v1");
const QString asmV3 = QStringLiteral("urn:schemas-microsoft-com:asm.v3");

// The only element of that name, or a null element when there is none or more.
QDomElement single(QDomDocument &document, const QString &ns, const QString &name)
{
    const QDomNodeList found = document.elementsByTagNameNS(ns, name);
    return found.size() == 1 ? found.at(0).toElement() : QDomElement();
}

} // namespace

void TestAppManifest::initTestCase()
{
    QFile file(QStringLiteral(QUILLFERN_RESOURCE_DIR "/quillFern.manifest"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QString error;
    int line = 0;
    QVERIFY2(manifest.setContent(&file, true, &error, &line),
             qPrintable(QStringLiteral("line %1: %2").arg(line).arg(error)));
}

void TestAppManifest::wellFormedAssembly()
{
    const QDomElement root = manifest.documentElement();
    QCOMPARE(root.localName(), QStringLiteral("assembly"));
    QCOMPARE(root.namespaceURI(), asmV1);
    QCOMPARE(root.attribute(QStringLiteral("manifestVersion")), QStringLiteral("1.0"));

    const QDomElement level = single(manifest, asmV3, QStringLiteral("requestedExecutionLevel"));
    QVERIFY(!level.isNull());
    QCOMPARE(level.parentNode().localName(), QStringLiteral("requestedPrivileges"));
    QCOMPARE(level.parentNode().parentNode().localName(), QStringLiteral("security"));
    QCOMPARE(level.parentNode().parentNode().parentNode().localName(), QStringLiteral("trustInfo"));

    const QDomElement identity = single(manifest, asmV1, QStringLiteral("assemblyIdentity"));
    QVERIFY(!identity.isNull());
    QCOMPARE(identity.parentNode().localName(), QStringLiteral("dependentAssembly"));
    QCOMPARE(identity.parentNode().parentNode().localName(), QStringLiteral("dependency"));
    QCOMPARE(identity.parentNode().parentNode().parentNode(), QDomNode(root));
}

void TestAppManifest::attributes_data()
{
    QTest::addColumn<QString>("ns");
    QTest::addColumn<QString>("element");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QString>("value");
    QTest::newRow("level") << asmV3 << "requestedExecutionLevel"
                           << "level"
                           << "asInvoker";
    QTest::newRow("uiAccess") << asmV3 << "requestedExecutionLevel"
                              << "uiAccess"
                              << "false";
    QTest::newRow("name") << asmV1 << "assemblyIdentity"
                          << "name"
                          << "Microsoft.Windows.Common-Controls";
    QTest::newRow("version") << asmV1 << "assemblyIdentity"
                             << "version"
                             << "6.0.0.0";
    QTest::newRow("type") << asmV1 << "assemblyIdentity"
                          << "type"
                          << "win32";
    QTest::newRow("token") << asmV1 << "assemblyIdentity"
                           << "publicKeyToken"
                           << "6595b64144ccf1df";
    QTest::newRow("architecture") << asmV1 << "assemblyIdentity"
                                  << "processorArchitecture"
                                  << "*";
    QTest::newRow("language") << asmV1 << "assemblyIdentity"
                              << "language"
                              << "*";
}

void TestAppManifest::attributes()
{
    QFETCH(QString, ns);
    QFETCH(QString, element);
    QFETCH(QString, attribute);
    QFETCH(QString, value);
    const QDomElement found = single(manifest, ns, element);
    QVERIFY2(!found.isNull(), qPrintable(element));
    QVERIFY2(found.hasAttribute(attribute), qPrintable(attribute));
    QCOMPARE(found.attribute(attribute), value);
}

QTEST_MAIN(TestAppManifest)
#include "tst_appmanifest.moc"
