#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "pngfile.h"
#include "testsupport.h"

// The committed images must be what the generator in tools/ draws today.
class TestImagegen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameAsCommitted_data();
    void sameAsCommitted();
    void iconFile();
    void refusesWithoutFolder();

private:
    QTemporaryDir output;
};

void TestImagegen::initTestCase()
{
    QVERIFY(output.isValid());
    QProcess generator;
    generator.start(QStringLiteral(QUILLFERN_IMAGEGEN), {output.path()});
    QVERIFY(generator.waitForFinished(60000));
    QCOMPARE(generator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(generator.exitCode(), 0);
}

void TestImagegen::sameAsCommitted_data()
{
    QTest::addColumn<QString>("fileName");
    for (const char *name :
         {"progress", "btnCloseNormal", "btnCloseHover", "btnClosePress", "btnBlueBigNormal",
          "btnBlueBigHover", "btnBlueBigPress", "btnBlueBigUnable", "appicon", "progress@2x",
          "btnCloseNormal@2x", "btnCloseHover@2x", "btnClosePress@2x", "btnBlueBigNormal@2x",
          "btnBlueBigHover@2x", "btnBlueBigPress@2x", "btnBlueBigUnable@2x"})
        QTest::newRow(name) << QString::fromLatin1(name) + QStringLiteral(".png");
}

void TestImagegen::sameAsCommitted()
{
    QFETCH(QString, fileName);
    const QByteArray drawn = readFile(output.filePath(fileName));
    const QByteArray committed = readFile(QStringLiteral(QUILLFERN_RESOURCE_DIR "/") + fileName);
    QVERIFY(!drawn.isEmpty());
    QVERIFY(!committed.isEmpty());
    // Compared as stored kind and pixels, so another zlib build cannot make a difference.
    const PngHeader drawnHeader = pngHeader(drawn);
    const PngHeader committedHeader = pngHeader(committed);
    QCOMPARE(drawnHeader.colourType, committedHeader.colourType);
    QCOMPARE(drawnHeader.bitDepth, committedHeader.bitDepth);
    const QImage drawnImage = QImage::fromData(drawn).convertToFormat(QImage::Format_ARGB32);
    const QImage committedImage = QImage::fromData(committed).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!drawnImage.isNull());
    QCOMPARE(drawnImage.size(), committedImage.size());
    QVERIFY(drawnImage == committedImage);
}

void TestImagegen::iconFile()
{
    const QByteArray ico = readFile(output.filePath(QStringLiteral("quillFern.ico")));
    const QByteArray png = readFile(output.filePath(QStringLiteral("appicon.png")));
    QVERIFY(hasPngSignature(png));
    // A 22-byte header and directory, then the PNG itself.
    QCOMPARE(ico.size(), 22 + png.size());
    QCOMPARE(ico.mid(22), png);
    QCOMPARE(ico.left(6), QByteArray("\0\0\1\0\1\0", 6));
}

void TestImagegen::refusesWithoutFolder()
{
    QProcess generator;
    generator.start(QStringLiteral(QUILLFERN_IMAGEGEN), QStringList());
    QVERIFY(generator.waitForFinished(60000));
    QVERIFY(generator.exitCode() != 0);
    QVERIFY(generator.readAllStandardError().contains("usage"));
}

QTEST_MAIN(TestImagegen)
#include "tst_imagegen.moc"
