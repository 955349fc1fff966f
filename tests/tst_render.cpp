#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

#include "dlgupdate.h"
#include "pixels.h"
#include "dlgupdateprobe.h"

// What the window looks like, painted without being shown (showing it would
// start a run). Each picture is kept in the build folder for a look by eye.
class TestRender : public QObject
{
    Q_OBJECT

private slots:
    void window_data();
    void window();
};

namespace {

const QRgb panel = qRgb(0x73, 0xa1, 0xd8);
const QRgb groove = qRgb(48, 76, 108);
const QRgb buttonFace = qRgb(105, 139, 168);

// Opaque pixels in `area` that are clearly not `ground`: the strokes of a text.
int inkedPixels(const QImage &image, const QRect &area, QRgb ground)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qAlpha(image.pixel(x, y)) == 255 && !near(image.pixel(x, y), ground, 40))
                ++count;
    return count;
}

QRect areaOf(QWidget *widget, QWidget *window)
{
    return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
}

} // namespace

void TestRender::window_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("chinese");
    QTest::newRow("quarter") << 25 << false;
    QTest::newRow("half") << 50 << false;
    QTest::newRow("three quarters") << 75 << false;
    QTest::newRow("half, zh_CN") << 50 << true;
}

void TestRender::window()
{
    QFETCH(int, value);
    QFETCH(bool, chinese);
    QTranslator translator;
    if (chinese) {
        // Without a font that has the glyphs, the texts would still leave ink: boxes.
        QVERIFY2(!QFontDatabase().families(QFontDatabase::SimplifiedChinese).isEmpty(),
                 "no font for Chinese text; tools/install-deps.sh installs fonts-wqy-microhei");
        QVERIFY(translator.load(QStringLiteral(QUILLFERN_ZH_CN_QM)));
        QVERIFY(QCoreApplication::installTranslator(&translator));
    }
    DlgUpdate dlg;
    if (chinese)
        QCoreApplication::removeTranslator(&translator);
    auto *okButton = dlg.findChild<QPushButton *>(QStringLiteral("btnOK"));
    auto *statusLabel = dlg.findChild<QLabel *>(QStringLiteral("label"));
    auto *progressBar = dlg.findChild<QProgressBar *>(QStringLiteral("progress"));
    auto *titleLabel = dlg.findChild<QLabel *>(QStringLiteral("txtTitle"));
    progressBar->setValue(value);

    const QImage picture = dlg.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QString artefact = QStringLiteral(QUILLFERN_ARTEFACT_DIR "/tst_render_%1%2.png")
                                 .arg(value)
                                 .arg(chinese ? QStringLiteral("_zh_CN") : QString());
    QVERIFY(picture.save(artefact));
    qInfo("picture kept as %s", qPrintable(QDir::toNativeSeparators(artefact)));
    QVERIFY(!dlg.isVisible());
    QCOMPARE(DlgUpdateProbe::progressTimerId(dlg), -1);
    QCOMPARE(picture.size(), QSize(394, 226));

    // The panel's rounded corners leave the window's corners see-through.
    for (const QPoint &corner : {QPoint(0, 0), QPoint(393, 0), QPoint(0, 225), QPoint(393, 225)})
        QCOMPARE(qAlpha(picture.pixel(corner)), 0);
    for (const QPoint &inside : {QPoint(20, 100), QPoint(373, 100), QPoint(197, 120), QPoint(10, 215)})
        QCOMPARE(picture.pixel(inside), panel);

    const QImage stripes = QImage(QStringLiteral(":/progress")).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(stripes.size(), QSize(283, 8));
    const QPoint bar = progressBar->mapTo(&dlg, QPoint(0, 0));
    QCOMPARE(progressBar->size(), QSize(285, 10));
    const auto barPixel = [&picture, &bar](int x, int y) { return picture.pixel(bar + QPoint(x, y)); };

    // Where the fill ends, read along the middle row.
    int filled = 0;
    while (filled < 283 && !near(barPixel(1 + filled, 5), groove, 3))
        ++filled;
    QVERIFY2(qAbs(filled - 283 * value / 100) <= 2, qPrintable(QString::number(filled)));

    // The image sits 1 px inside the groove, from the chunk's left edge, at its own size:
    // any shift or stretch would break the pixel-for-pixel match.
    for (int y = 0; y < 8; ++y) {
        for (int x = 4; x < filled - 1; ++x) {
            const QRgb expected = over(stripes.pixel(x, y), groove);
            const QRgb actual = barPixel(1 + x, 1 + y);
            QVERIFY2(near(actual, expected, 2) && qAlpha(actual) == 255,
                     qPrintable(QStringLiteral("chunk (%1,%2): %3, expected %4")
                                    .arg(x)
                                    .arg(y)
                                    .arg(describe(actual), describe(expected))));
        }
    }
    for (int x = 6; x < filled - 1; ++x) {
        QVERIFY(near(barPixel(1 + x, 0), groove, 1));
        QVERIFY(near(barPixel(1 + x, 9), groove, 1));
    }
    for (int y = 1; y < 9; ++y)
        for (int x = filled + 3; x < 278; ++x)
            QVERIFY2(near(barPixel(x, y), groove, 1),
                     qPrintable(QStringLiteral("groove (%1,%2)").arg(x).arg(y)));

    QVERIFY(inkedPixels(picture, areaOf(titleLabel, &dlg), panel) > 30);
    QVERIFY(inkedPixels(picture, areaOf(statusLabel, &dlg), panel) > 60);
    QVERIFY(inkedPixels(picture, areaOf(okButton, &dlg).adjusted(4, 4, -4, -4), buttonFace) > 30);
    // Outside the texts the panel is plain.
    QCOMPARE(inkedPixels(picture, QRect(10, 60, 40, 40), panel), 0);
}

QTEST_MAIN(TestRender)
#include "tst_render.moc"
