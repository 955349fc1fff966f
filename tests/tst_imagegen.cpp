#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "pixels.h"
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
    void paintedComparison_data();
    void paintedComparison();
    void iconFile();
    void refusesWithoutFolder();

private:
    QTemporaryDir output;
};

namespace {

// QPainter's anti-aliasing draws these, and rounds differently on another CPU;
// the others are set pixel by pixel and must match exactly.
const QStringList paintedImages{QStringLiteral("appicon")};
const int paintedTolerance = 2;

bool isPainted(const QString &fileName)
{
    return paintedImages.contains(fileName.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0));
}

enum class Change { CpuRounding, OneStepDarker, OnePixelThreeSteps, MovedRight, MovedDown, OutlineLighter };

QImage changed(const QImage &image, Change change)
{
    QImage result = image;
    const auto shift = [](QRgb colour, int step) {
        const auto channel = [step](int value) { return qBound(0, value + step, 255); };
        return qRgba(channel(qRed(colour)), channel(qGreen(colour)), channel(qBlue(colour)), qAlpha(colour));
    };
    switch (change) {
    case Change::CpuRounding:
        // Where another machine's drawing of the icon came out one step off.
        for (const QPoint &p :
             {QPoint(15, 38), QPoint(19, 224), QPoint(236, 224), QPoint(226, 234), QPoint(31, 236)})
            result.setPixel(p, shift(image.pixel(p), qBlue(image.pixel(p)) == 255 ? -1 : 1));
        break;
    case Change::OneStepDarker:
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                result.setPixel(x, y, shift(image.pixel(x, y), -1));
        break;
    case Change::OnePixelThreeSteps:
        result.setPixel(128, 128, shift(image.pixel(128, 128), -3));
        break;
    case Change::MovedRight:
        return image.copy(QRect(-1, 0, image.width(), image.height()));
    case Change::MovedDown:
        return image.copy(QRect(0, -1, image.width(), image.height()));
    case Change::OutlineLighter:
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixel(x, y) == qRgb(12, 52, 120))
                    result.setPixel(x, y, qRgb(28, 68, 136));
        break;
    }
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Change)

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
    if (isPainted(fileName)) {
        const QString difference = pictureDifference(drawnImage, committedImage, paintedTolerance);
        QVERIFY2(difference.isEmpty(), qPrintable(fileName + QStringLiteral(": ") + difference));
    } else {
        QVERIFY2(drawnImage == committedImage, qPrintable(fileName));
    }
}

void TestImagegen::paintedComparison_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("5 pixels one step off, as on another CPU") << Change::CpuRounding << true;
    QTest::newRow("every pixel one step darker") << Change::OneStepDarker << true;
    QTest::newRow("one pixel three steps darker") << Change::OnePixelThreeSteps << false;
    QTest::newRow("moved one pixel right") << Change::MovedRight << false;
    QTest::newRow("moved one pixel down") << Change::MovedDown << false;
    QTest::newRow("wrench outline a shade lighter") << Change::OutlineLighter << false;
}

// The check above, on the committed icon changed in memory.
void TestImagegen::paintedComparison()
{
    QFETCH(Change, change);
    QFETCH(bool, accepted);
    QVERIFY(isPainted(QStringLiteral("appicon.png")));
    const QImage committed =
        QImage(QStringLiteral(QUILLFERN_RESOURCE_DIR "/appicon.png")).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!committed.isNull());
    const QImage drawn = changed(committed, change);
    QVERIFY(drawn != committed);
    const QString difference = pictureDifference(drawn, committed, paintedTolerance);
    QVERIFY2(difference.isEmpty() == accepted, qPrintable(difference));
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
