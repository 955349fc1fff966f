#include <QApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QMap>
#include <QResource>
#include <QtTest>

#include "platform.h"
#include "platformgui.h"
#include "pixels.h"
#include "pngfile.h"
#include "resources.h"

// The embedded images, read back the way the window reads them: through ":/<name>".
class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void imagesResolve_data();
    void imagesResolve();
    void collectionDeclaration();
    void storedAsCommitted_data();
    void storedAsCommitted();
    void pngKind_data();
    void pngKind();
    void progressStripes();
    void progressEdges_data();
    void progressEdges();
    void closeButtons_data();
    void closeButtons();
    void blueButtons_data();
    void blueButtons();
    void applicationIcon();
};

namespace {

enum Kind { Palette, Rgba, Rgb };

const QStringList imageNames{"progress",         "btnCloseNormal",  "btnCloseHover",   "btnClosePress",
                             "btnBlueBigNormal", "btnBlueBigHover", "btnBlueBigPress", "btnBlueBigUnable"};

QByteArray resourceBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QByteArray committedBytes(const QString &fileName)
{
    return resourceBytes(QStringLiteral(QUILLFERN_RESOURCE_DIR "/") + fileName);
}

QRgb rgbOf(QRgb colour)
{
    return colour | 0xff000000u;
}

QImage argb(const QString &path)
{
    return QImage(path).convertToFormat(QImage::Format_ARGB32);
}

} // namespace

void TestResources::initTestCase()
{
    Resources::init();
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestResources::imagesResolve_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("progress") << "progress" << QSize(283, 8);
    QTest::newRow("btnCloseNormal") << "btnCloseNormal" << QSize(27, 23);
    QTest::newRow("btnCloseHover") << "btnCloseHover" << QSize(27, 23);
    QTest::newRow("btnClosePress") << "btnClosePress" << QSize(27, 23);
    QTest::newRow("btnBlueBigNormal") << "btnBlueBigNormal" << QSize(88, 35);
    QTest::newRow("btnBlueBigHover") << "btnBlueBigHover" << QSize(88, 35);
    QTest::newRow("btnBlueBigPress") << "btnBlueBigPress" << QSize(88, 35);
    QTest::newRow("btnBlueBigUnable") << "btnBlueBigUnable" << QSize(88, 35);
    QTest::newRow("appicon") << "appicon" << QSize(256, 256);
    QTest::newRow("progress@2x") << "progress@2x" << QSize(566, 16);
    QTest::newRow("btnCloseNormal@2x") << "btnCloseNormal@2x" << QSize(54, 46);
    QTest::newRow("btnCloseHover@2x") << "btnCloseHover@2x" << QSize(54, 46);
    QTest::newRow("btnClosePress@2x") << "btnClosePress@2x" << QSize(54, 46);
    QTest::newRow("btnBlueBigNormal@2x") << "btnBlueBigNormal@2x" << QSize(176, 70);
    QTest::newRow("btnBlueBigHover@2x") << "btnBlueBigHover@2x" << QSize(176, 70);
    QTest::newRow("btnBlueBigPress@2x") << "btnBlueBigPress@2x" << QSize(176, 70);
    QTest::newRow("btnBlueBigUnable@2x") << "btnBlueBigUnable@2x" << QSize(176, 70);
}

void TestResources::imagesResolve()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    const QImage image(QStringLiteral(":/") + name);
    QVERIFY2(!image.isNull(), qPrintable(name));
    QCOMPARE(image.size(), size);
    // Root of the tree, under the bare name only.
    QVERIFY(QDir(QStringLiteral(":/")).entryList(QDir::Files).contains(name));
    QVERIFY(!QFileInfo::exists(QStringLiteral(":/") + name + QStringLiteral(".png")));
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestResources::collectionDeclaration()
{
    // rcc leaves most small PNGs alone anyway; the collection must say so for every file.
    QDomDocument collection;
    QVERIFY(collection.setContent(committedBytes(QStringLiteral("resources.qrc"))));
    const QDomNodeList groups = collection.documentElement().elementsByTagName(QStringLiteral("qresource"));
    QCOMPARE(groups.size(), 1);
    const QDomElement group = groups.at(0).toElement();
    QCOMPARE(group.attribute(QStringLiteral("prefix")), QStringLiteral("/"));
    QVERIFY(!group.hasAttribute(QStringLiteral("lang")));
    QStringList aliases;
    const QDomNodeList files = group.elementsByTagName(QStringLiteral("file"));
    for (int i = 0; i < files.size(); ++i) {
        const QDomElement file = files.at(i).toElement();
        const QString alias = file.attribute(QStringLiteral("alias"));
        QCOMPARE(file.text(), alias + QStringLiteral(".png"));
        QCOMPARE(file.attribute(QStringLiteral("compression-algorithm")), QStringLiteral("none"));
        aliases.append(alias);
    }
    for (const QString &name : imageNames)
        QVERIFY2(aliases.contains(name), qPrintable(name));
}

void TestResources::storedAsCommitted_data()
{
    QTest::addColumn<QString>("name");
    for (const QString &name : imageNames + QStringList{"appicon"})
        QTest::newRow(qPrintable(name)) << name;
}

void TestResources::storedAsCommitted()
{
    QFETCH(QString, name);
    const QResource resource(QStringLiteral(":/") + name);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    const QByteArray committed = committedBytes(name + QStringLiteral(".png"));
    QVERIFY(!committed.isEmpty());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(resource.data()), int(resource.size())), committed);
}

void TestResources::pngKind_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::newRow("progress") << "progress" << int(Palette);
    QTest::newRow("btnCloseNormal") << "btnCloseNormal" << int(Rgba);
    QTest::newRow("btnCloseHover") << "btnCloseHover" << int(Rgb);
    QTest::newRow("btnClosePress") << "btnClosePress" << int(Rgb);
    QTest::newRow("btnBlueBigNormal") << "btnBlueBigNormal" << int(Palette);
    QTest::newRow("btnBlueBigHover") << "btnBlueBigHover" << int(Palette);
    QTest::newRow("btnBlueBigPress") << "btnBlueBigPress" << int(Palette);
    QTest::newRow("btnBlueBigUnable") << "btnBlueBigUnable" << int(Palette);
    QTest::newRow("appicon") << "appicon" << int(Rgba);
    QTest::newRow("progress@2x") << "progress@2x" << int(Palette);
}

void TestResources::pngKind()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    const QByteArray bytes = resourceBytes(QStringLiteral(":/") + name);
    const QVector<PngChunk> chunks = pngChunks(bytes);
    QVERIFY2(!chunks.isEmpty(), "not a well-formed PNG");
    const PngHeader header = pngHeader(bytes);
    const QImage image(QStringLiteral(":/") + name);
    switch (Kind(kind)) {
    case Palette: {
        QCOMPARE(header.colourType, 3);
        const QByteArray palette = pngChunk(chunks, "PLTE");
        QVERIFY(!palette.isEmpty());
        QCOMPARE(palette.size() % 3, 0);
        const int colours = palette.size() / 3;
        // As few bits a pixel as the palette allows.
        QCOMPARE(header.bitDepth, colours <= 16 ? 4 : 8);
        // Transparency comes from the palette's alpha table.
        const QByteArray alphas = pngChunk(chunks, "tRNS");
        QVERIFY(!alphas.isEmpty());
        QVERIFY(alphas.size() <= colours);
        QCOMPARE(image.format(), QImage::Format_Indexed8);
        QVERIFY(image.hasAlphaChannel());
        break;
    }
    case Rgba:
        QCOMPARE(header.colourType, 6);
        QVERIFY(image.hasAlphaChannel());
        break;
    case Rgb:
        QCOMPARE(header.colourType, 2);
        QVERIFY(!image.hasAlphaChannel());
        break;
    }
    QCOMPARE(QSize(header.width, header.height), image.size());
}

void TestResources::progressStripes()
{
    const QImage image = argb(QStringLiteral(":/progress"));
    QCOMPARE(image.size(), QSize(283, 8));
    const QRgb light = qRgb(147, 220, 255);
    const QRgb dark = qRgb(137, 204, 237);

    int opaqueStripe = 0;
    for (int y = 0; y < image.height(); ++y) {
        QVector<int> runs;
        QRgb previous = 0;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            const QRgb colour = rgbOf(pixel);
            QVERIFY2(colour == light || colour == dark,
                     qPrintable(QStringLiteral("(%1,%2) %3").arg(x).arg(y).arg(describe(pixel))));
            if (qAlpha(pixel) == 204)
                ++opaqueStripe;
            if (x == 0 || colour != previous)
                runs.append(0);
            ++runs.last();
            previous = colour;
            if (x + 10 < image.width())
                QCOMPARE(rgbOf(image.pixel(x + 10, y)), colour);
            // Each row is the one above it moved one pixel left: the stripes lean right.
            if (y > 0 && x + 1 < image.width())
                QCOMPARE(colour, rgbOf(image.pixel(x + 1, y - 1)));
        }
        QVERIFY(runs.size() > 2);
        for (int i = 1; i + 1 < runs.size(); ++i)
            QCOMPARE(runs.at(i), 5);
        QVERIFY(runs.first() <= 5 && runs.last() <= 5);
    }
    // Everything but the corners and their softened neighbours.
    QCOMPARE(opaqueStripe, 283 * 8 - 12 - 6);
}

void TestResources::progressEdges_data()
{
    QTest::addColumn<QPoint>("pixel");
    QTest::addColumn<int>("alpha");
    const int r = 282;
    const int b = 7;
    const QList<QPoint> cut{{0, 0}, {1, 0}, {0, 1},     {r, 0}, {r - 1, 0}, {r, 1},
                            {0, b}, {1, b}, {0, b - 1}, {r, b}, {r - 1, b}, {r, b - 1}};
    for (const QPoint &p : cut)
        QTest::addRow("cut %d,%d", p.x(), p.y()) << p << 2;
    for (const QPoint &p : {QPoint(2, b), QPoint(0, b - 2), QPoint(r - 2, b), QPoint(r, b - 2)})
        QTest::addRow("softened %d,%d", p.x(), p.y()) << p << 193;
    for (const QPoint &p : {QPoint(1, b - 1), QPoint(r - 1, b - 1)})
        QTest::addRow("softened %d,%d", p.x(), p.y()) << p << 172;
    for (const QPoint &p : {QPoint(2, 0), QPoint(1, 1), QPoint(0, 2), QPoint(r - 2, 0), QPoint(r, 2),
                            QPoint(3, b), QPoint(2, b - 1), QPoint(1, b - 2), QPoint(r - 3, b)})
        QTest::addRow("stripe %d,%d", p.x(), p.y()) << p << 204;
}

void TestResources::progressEdges()
{
    QFETCH(QPoint, pixel);
    QFETCH(int, alpha);
    const QImage image = argb(QStringLiteral(":/progress"));
    QCOMPARE(qAlpha(image.pixel(pixel)), alpha);
}

void TestResources::closeButtons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("ground");
    QTest::newRow("normal") << "btnCloseNormal" << QColor();
    QTest::newRow("hover") << "btnCloseHover" << QColor(255, 58, 58);
    QTest::newRow("press") << "btnClosePress" << QColor(215, 49, 49);
}

void TestResources::closeButtons()
{
    QFETCH(QString, name);
    QFETCH(QColor, ground);
    const QRgb cross = qRgb(226, 240, 250);
    const QImage cutOut = argb(QStringLiteral(":/btnCloseNormal"));
    const QImage image = argb(QStringLiteral(":/") + name);
    QCOMPARE(image.size(), QSize(27, 23));

    // Two strokes through the middle, mirror-symmetric both ways.
    for (int k = -3; k <= 3; ++k) {
        QCOMPARE(rgbOf(cutOut.pixel(13 + k, 11 + k)), cross);
        QCOMPARE(rgbOf(cutOut.pixel(13 - k, 11 + k)), cross);
        QVERIFY(qAlpha(cutOut.pixel(13 + k, 11 + k)) > 200);
    }
    QCOMPARE(cutOut.pixel(13, 11), cross);
    int inked = 0;
    for (int y = 0; y < 23; ++y) {
        for (int x = 0; x < 27; ++x) {
            const int alpha = qAlpha(cutOut.pixel(x, y));
            QCOMPARE(qAlpha(cutOut.pixel(26 - x, y)), alpha);
            QCOMPARE(qAlpha(cutOut.pixel(x, 22 - y)), alpha);
            if (alpha > 0) {
                ++inked;
                QCOMPARE(rgbOf(cutOut.pixel(x, y)), cross);
            }
        }
    }
    QVERIFY(inked > 20 && inked < 27 * 23 / 3);

    if (!ground.isValid()) {
        for (const QPoint &corner : {QPoint(0, 0), QPoint(26, 0), QPoint(0, 22), QPoint(26, 22)})
            QCOMPARE(qAlpha(image.pixel(corner)), 0);
        return;
    }
    // The same cross, laid on the coloured ground.
    for (int y = 0; y < 23; ++y) {
        for (int x = 0; x < 27; ++x) {
            const QRgb expected = over(cutOut.pixel(x, y), ground.rgb());
            QVERIFY2(nearWithAlpha(image.pixel(x, y), expected, 1),
                     qPrintable(QStringLiteral("(%1,%2) %3, expected %4")
                                    .arg(x)
                                    .arg(y)
                                    .arg(describe(image.pixel(x, y)), describe(expected))));
        }
    }
    QCOMPARE(image.pixel(0, 0), ground.rgb());
    QCOMPARE(image.pixel(13, 11), cross);
}

void TestResources::blueButtons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("border");
    QTest::addColumn<QColor>("highlight");
    QTest::addColumn<QColor>("top");
    QTest::addColumn<QColor>("bottom");
    QTest::addColumn<int>("shadowAlpha");
    QTest::newRow("normal") << "btnBlueBigNormal" << QColor(26, 157, 231) << QColor(49, 176, 238)
                            << QColor(32, 169, 237) << QColor(28, 156, 235) << 143;
    QTest::newRow("hover") << "btnBlueBigHover" << QColor(26, 157, 231) << QColor(74, 186, 240)
                           << QColor(58, 179, 239) << QColor(29, 156, 235) << 143;
    QTest::newRow("press") << "btnBlueBigPress" << QColor(26, 156, 231) << QColor(37, 158, 220)
                           << QColor(24, 153, 221) << QColor(27, 155, 234) << 143;
    QTest::newRow("unable") << "btnBlueBigUnable" << QColor(184, 184, 184) << QColor()
                            << QColor(190, 190, 190) << QColor(177, 177, 177) << 0;
}

void TestResources::blueButtons()
{
    QFETCH(QString, name);
    QFETCH(QColor, border);
    QFETCH(QColor, highlight);
    QFETCH(QColor, top);
    QFETCH(QColor, bottom);
    QFETCH(int, shadowAlpha);
    const QImage image = argb(QStringLiteral(":/") + name);
    QCOMPARE(image.size(), QSize(88, 35));
    const int right = 87;
    const int frameBottom = 33;

    for (int x = 1; x < right; ++x) {
        QCOMPARE(image.pixel(x, 0), border.rgb());
        QCOMPARE(image.pixel(x, frameBottom), border.rgb());
    }
    for (int y = 1; y < frameBottom; ++y) {
        QCOMPARE(image.pixel(0, y), border.rgb());
        QCOMPARE(image.pixel(right, y), border.rgb());
    }
    const QRgb corner = qRgba(border.red(), border.green(), border.blue(), 150);
    for (const QPoint &p :
         {QPoint(0, 0), QPoint(right, 0), QPoint(0, frameBottom), QPoint(right, frameBottom)})
        QCOMPARE(image.pixel(p), corner);

    int firstGradientRow = 1;
    if (highlight.isValid()) {
        for (int x = 1; x < right; ++x)
            QCOMPARE(image.pixel(x, 1), highlight.rgb());
        firstGradientRow = 2;
    }
    const int lastGradientRow = frameBottom - 1;
    QCOMPARE(image.pixel(1, firstGradientRow), top.rgb());
    QCOMPARE(image.pixel(1, lastGradientRow), bottom.rgb());
    for (int y = firstGradientRow; y <= lastGradientRow; ++y) {
        const QRgb rowColour = image.pixel(1, y);
        for (int x = 1; x < right; ++x)
            QCOMPARE(image.pixel(x, y), rowColour);
        if (y == firstGradientRow)
            continue;
        // Every channel moves steadily from the top colour to the bottom one.
        const QRgb above = image.pixel(1, y - 1);
        const auto steady = [](int from, int to, int previous, int current) {
            return from <= to ? previous <= current : previous >= current;
        };
        QVERIFY(steady(top.red(), bottom.red(), qRed(above), qRed(rowColour)));
        QVERIFY(steady(top.green(), bottom.green(), qGreen(above), qGreen(rowColour)));
        QVERIFY(steady(top.blue(), bottom.blue(), qBlue(above), qBlue(rowColour)));
    }

    const int shadowRow = 34;
    QCOMPARE(qAlpha(image.pixel(0, shadowRow)), 0);
    QCOMPARE(qAlpha(image.pixel(right, shadowRow)), 0);
    for (int x = 1; x < right; ++x) {
        if (shadowAlpha == 0)
            QCOMPARE(qAlpha(image.pixel(x, shadowRow)), 0);
        else
            QCOMPARE(image.pixel(x, shadowRow), qRgba(255, 255, 255, shadowAlpha));
    }
}

void TestResources::applicationIcon()
{
    const QImage image = argb(QStringLiteral(":/appicon"));
    QCOMPARE(image.size(), QSize(256, 256));
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(128, 128)), 255);

    // The Windows icon file holds the very same PNG.
    const QByteArray ico = committedBytes(QStringLiteral("quillFern.ico"));
    QVERIFY(ico.size() > 22);
    QCOMPARE(qFromLittleEndian<quint16>(ico.constData() + 2), quint16(1));
    QCOMPARE(qFromLittleEndian<quint16>(ico.constData() + 4), quint16(1));
    QCOMPARE(quint8(ico.at(6)), quint8(0));
    QCOMPARE(quint8(ico.at(7)), quint8(0));
    QCOMPARE(qFromLittleEndian<quint16>(ico.constData() + 12), quint16(32));
    const quint32 length = qFromLittleEndian<quint32>(ico.constData() + 14);
    const quint32 offset = qFromLittleEndian<quint32>(ico.constData() + 18);
    QCOMPARE(qint64(offset) + length, qint64(ico.size()));
    QCOMPARE(ico.mid(int(offset), int(length)), resourceBytes(QStringLiteral(":/appicon")));

    QVERIFY(QGuiApplication::windowIcon().isNull());
    Platform::applyApplicationIcon();
#ifdef Q_OS_WIN
    QVERIFY(QGuiApplication::windowIcon().isNull());
#else
    QVERIFY(QGuiApplication::windowIcon().availableSizes().contains(QSize(256, 256)));
#endif
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
