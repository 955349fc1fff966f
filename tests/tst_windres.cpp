#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include "testsupport.h"

// Compiles resources/quillFern.rc with the MinGW resource compiler the way a
// Windows build does, then reads the resource tree out of the object.
class TestWindres : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void objectIsAmd64Coff();
    void resourcesInObject_data();
    void resourcesInObject();
    void nothingElseInObject();
    void iconGroupPointsAtThePng();

private:
    struct Resource
    {
        QString type;
        QString name;
        int language = -1;
        QByteArray data;
    };

    static bool runWindres(const QStringList &arguments, QString *errors);
    static QVector<Resource> parseRsrc(const QByteArray &coff, bool *ok);
    const Resource *find(const QString &type, const QString &name) const;

    QTemporaryDir work;
    QByteArray object;
    QVector<Resource> resources;
};

namespace {

QString resourceDir()
{
    return QStringLiteral(QUILLFERN_RESOURCE_DIR);
}

// A directory entry's name: a number, or (high bit set) the offset of a
// counted UTF-16 string.
QString entryName(const QByteArray &section, quint32 field, bool *ok)
{
    if (!(field & 0x80000000u))
        return QString::number(field);
    const int at = int(field & 0x7fffffffu);
    if (at + 2 > section.size()) {
        *ok = false;
        return QString();
    }
    const int length = qFromLittleEndian<quint16>(section.constData() + at);
    if (at + 2 + 2 * length > section.size()) {
        *ok = false;
        return QString();
    }
    QString name;
    for (int i = 0; i < length; ++i)
        name.append(QChar(qFromLittleEndian<quint16>(section.constData() + at + 2 + 2 * i)));
    return name;
}

struct DirectoryEntry
{
    QString name;
    quint32 target;
};

// The entries of the resource directory at `at`, or none when it does not fit.
QVector<DirectoryEntry> directory(const QByteArray &section, quint32 at, bool *ok)
{
    QVector<DirectoryEntry> entries;
    if (quint64(at) + 16 > quint64(section.size())) {
        *ok = false;
        return entries;
    }
    const int count = qFromLittleEndian<quint16>(section.constData() + at + 12) +
                      qFromLittleEndian<quint16>(section.constData() + at + 14);
    if (quint64(at) + 16 + 8 * quint64(count) > quint64(section.size())) {
        *ok = false;
        return entries;
    }
    for (int i = 0; i < count; ++i) {
        const char *entry = section.constData() + at + 16 + 8 * i;
        entries.append({entryName(section, qFromLittleEndian<quint32>(entry), ok),
                        qFromLittleEndian<quint32>(entry + 4)});
    }
    return entries;
}

} // namespace

bool TestWindres::runWindres(const QStringList &arguments, QString *errors)
{
    QStringList all;
    const QString preprocessor = QStringLiteral(QUILLFERN_RC_PREPROCESSOR);
    if (!preprocessor.isEmpty())
        all << QStringLiteral("--preprocessor=") + preprocessor;
    all << arguments;
    QProcess windres;
    windres.start(QStringLiteral(QUILLFERN_WINDRES), all);
    const bool finished = windres.waitForFinished(60000);
    *errors = QString::fromLocal8Bit(windres.readAllStandardError());
    return finished && windres.exitStatus() == QProcess::NormalExit && windres.exitCode() == 0;
}

QVector<TestWindres::Resource> TestWindres::parseRsrc(const QByteArray &coff, bool *ok)
{
    *ok = false;
    QVector<Resource> found;
    if (coff.size() < 20)
        return found;
    const int sections = qFromLittleEndian<quint16>(coff.constData() + 2);
    const int optionalHeader = qFromLittleEndian<quint16>(coff.constData() + 16);
    QByteArray section;
    for (int i = 0; i < sections; ++i) {
        const int header = 20 + optionalHeader + i * 40;
        if (header + 40 > coff.size())
            return found;
        if (coff.mid(header, 8).startsWith(".rsrc")) {
            const quint32 size = qFromLittleEndian<quint32>(coff.constData() + header + 16);
            const quint32 start = qFromLittleEndian<quint32>(coff.constData() + header + 20);
            if (quint64(start) + size > quint64(coff.size()))
                return found;
            section = coff.mid(int(start), int(size));
        }
    }
    if (section.isEmpty())
        return found;

    // Three levels: type, then name, then language; the high bit marks a subdirectory.
    *ok = true;
    for (const DirectoryEntry &type : directory(section, 0, ok)) {
        if (!(type.target & 0x80000000u))
            *ok = false;
        for (const DirectoryEntry &name : directory(section, type.target & 0x7fffffffu, ok)) {
            if (!(name.target & 0x80000000u))
                *ok = false;
            for (const DirectoryEntry &language : directory(section, name.target & 0x7fffffffu, ok)) {
                if ((language.target & 0x80000000u) ||
                    quint64(language.target) + 16 > quint64(section.size())) {
                    *ok = false;
                    continue;
                }
                // In an object file the data's address is still its offset in the section.
                const quint32 offset = qFromLittleEndian<quint32>(section.constData() + language.target);
                const quint32 size = qFromLittleEndian<quint32>(section.constData() + language.target + 4);
                if (quint64(offset) + size > quint64(section.size())) {
                    *ok = false;
                    continue;
                }
                found.append(
                    {type.name, name.name, language.name.toInt(), section.mid(int(offset), int(size))});
            }
        }
    }
    return found;
}

const TestWindres::Resource *TestWindres::find(const QString &type, const QString &name) const
{
    for (const Resource &resource : resources) {
        if (resource.type == type && resource.name == name)
            return &resource;
    }
    return nullptr;
}

void TestWindres::initTestCase()
{
    QVERIFY(work.isValid());
    const QString objectPath = work.filePath(QStringLiteral("quillFern_rc.o"));
    QString errors;
    // Run from elsewhere: the files the .rc names are found beside it.
    QVERIFY2(runWindres({QStringLiteral("-O"), QStringLiteral("coff"),
                         resourceDir() + QStringLiteral("/quillFern.rc"), objectPath},
                        &errors),
             qPrintable(errors));
    object = readFile(objectPath);
    QVERIFY(!object.isEmpty());

    bool ok = false;
    resources = parseRsrc(object, &ok);
    QVERIFY2(ok, "the object's resource section is malformed");
}

void TestWindres::objectIsAmd64Coff()
{
    QVERIFY(object.size() > 20);
    QCOMPARE(qFromLittleEndian<quint16>(object.constData()), quint16(0x8664));
    const int sections = qFromLittleEndian<quint16>(object.constData() + 2);
    const int optionalHeader = qFromLittleEndian<quint16>(object.constData() + 16);
    bool hasRsrc = false;
    for (int i = 0; i < sections; ++i) {
        const int header = 20 + optionalHeader + i * 40;
        QVERIFY(header + 40 <= object.size());
        if (object.mid(header, 8).startsWith(".rsrc"))
            hasRsrc = true;
    }
    QVERIFY(hasRsrc);
}

void TestWindres::resourcesInObject_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("sourceFile");
    QTest::newRow("manifest") << "24"
                              << "1"
                              << "quillFern.manifest";
    QTest::newRow("icon group") << "14"
                                << "IDI_ICON1" << QString();
}

void TestWindres::resourcesInObject()
{
    QFETCH(QString, type);
    QFETCH(QString, name);
    QFETCH(QString, sourceFile);
    const Resource *resource = find(type, name);
    QVERIFY2(resource, qPrintable(type + QLatin1Char('/') + name));
    QCOMPARE(resource->language, 1033);
    if (!sourceFile.isEmpty())
        QCOMPARE(resource->data, readFile(resourceDir() + QLatin1Char('/') + sourceFile));
}

void TestWindres::nothingElseInObject()
{
    QStringList kinds;
    for (const Resource &resource : resources) {
        kinds << resource.type + QLatin1Char('/') + resource.name;
        QCOMPARE(resource.language, 1033);
    }
    kinds.sort();
    QCOMPARE(kinds, QStringList({"14/IDI_ICON1", "24/1", "3/1"}));
}

void TestWindres::iconGroupPointsAtThePng()
{
    const Resource *group = find(QStringLiteral("14"), QStringLiteral("IDI_ICON1"));
    QVERIFY(group);
    // GRPICONDIR: reserved, type 1, one entry of 14 bytes.
    QCOMPARE(group->data.size(), 6 + 14);
    QCOMPARE(qFromLittleEndian<quint16>(group->data.constData() + 2), quint16(1));
    QCOMPARE(qFromLittleEndian<quint16>(group->data.constData() + 4), quint16(1));
    const char *entry = group->data.constData() + 6;
    QCOMPARE(quint8(entry[0]), quint8(0)); // 256 wide
    QCOMPARE(quint8(entry[1]), quint8(0)); // 256 high
    QCOMPARE(qFromLittleEndian<quint16>(entry + 6), quint16(32));
    const quint32 size = qFromLittleEndian<quint32>(entry + 8);
    const quint16 id = qFromLittleEndian<quint16>(entry + 12);

    const Resource *icon = find(QStringLiteral("3"), QString::number(id));
    QVERIFY(icon);
    QCOMPARE(icon->language, 1033);
    QCOMPARE(quint32(icon->data.size()), size);
    // The image is stored as PNG, byte for byte the embedded application icon.
    QVERIFY(icon->data.startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8)));
    QCOMPARE(icon->data, readFile(resourceDir() + QStringLiteral("/appicon.png")));
}

QTEST_MAIN(TestWindres)
#include "tst_windres.moc"
