#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QtTest>

#include "pixels.h"
#include "resources.h"
#include "testsupport.h"

// The installed updater in a real window on a virtual X display, pictured
// while its bar climbs, on screens scaled to 100, 150 and 200 % (Xft.dpi),
// and on one whose user chose no scale at all. Runs under xvfb-run, on a
// display of 100 dpi by its size; the pictures are kept in the build folder.
class TestVisual : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void barClimbsInRealWindow_data();
    void barClimbsInRealWindow();
    void cleanup();
};

namespace {

const QRgb panel = qRgb(0x73, 0xa1, 0xd8);
const QRgb groove = qRgb(48, 76, 108);

// Sets or, with 0, removes the display's Xft.dpi, which Qt reads as the screen's scale.
bool setXftDpi(int dpi)
{
    QProcess xrdb;
    xrdb.start(QStringLiteral("xrdb"), dpi ? QStringList{QStringLiteral("-nocpp"), QStringLiteral("-merge")}
                                           : QStringList{QStringLiteral("-remove")});
    xrdb.write(QByteArray("Xft.dpi: ") + QByteArray::number(dpi) + '\n');
    xrdb.closeWriteChannel();
    return xrdb.waitForFinished(10000) && xrdb.exitStatus() == QProcess::NormalExit && xrdb.exitCode() == 0;
}

// The smallest rectangle holding every pixel of `colour` inside `within`.
QRect boundsOf(const QImage &image, QRgb colour, const QRect &within, int tolerance = 2)
{
    QRect bounds;
    for (int y = within.top(); y <= within.bottom(); ++y)
        for (int x = within.left(); x <= within.right(); ++x)
            if (near(image.pixel(x, y), colour, tolerance))
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// Stripe pixels: the image's light blues laid over the groove, bluer and brighter than either.
bool isStripe(QRgb pixel)
{
    return qBlue(pixel) > 200 && qGreen(pixel) > 160 && qRed(pixel) > 100;
}

} // namespace

void TestVisual::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs a real X display; run under xvfb-run with QT_QPA_PLATFORM=xcb");
    Resources::init();
}

void TestVisual::barClimbsInRealWindow_data()
{
    QTest::addColumn<int>("xftDpi");
    QTest::addColumn<qreal>("scale");
    // Checked pixel for pixel where the scale is whole.
    QTest::addColumn<QString>("stripeImage");
    QTest::newRow("100 %, Xft.dpi 96") << 96 << 1.0 << ":/progress";
    QTest::newRow("150 %, Xft.dpi 144") << 144 << 1.5 << "";
    QTest::newRow("200 %, Xft.dpi 192") << 192 << 2.0 << ":/progress@2x";
    // The monitor's size says 100 dpi, but no one chose 104 %.
    QTest::newRow("no Xft.dpi, 100 dpi by size: 1:1") << 0 << 1.0 << ":/progress";
}

void TestVisual::barClimbsInRealWindow()
{
    QFETCH(int, xftDpi);
    QFETCH(qreal, scale);
    QFETCH(QString, stripeImage);
    if (QStandardPaths::findExecutable(QStringLiteral("xrdb")).isEmpty())
        QSKIP("xrdb (x11-xserver-utils) is needed to set Xft.dpi");
    QVERIFY(setXftDpi(xftDpi));
    if (xftDpi == 0) {
        const qreal physical = QGuiApplication::primaryScreen()->physicalDotsPerInch();
        QVERIFY2(qAbs(physical - 96) > 2,
                 qPrintable(QStringLiteral("the display's size gives %1 dpi; run with xvfb-run -s '-dpi 100'")
                                .arg(physical)));
    }
    UpdaterProcessLock lock;
    StandInInstallation install;
    QVERIFY(install.installUpdater());
    const QString package = install.path(QStringLiteral("package"));
    QVERIFY(writeFile(package + QStringLiteral("/Env/new.txt"), "new"));

    QProcessEnvironment environment = install.updaterEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(install.root());
    updater.start(install.binDir() + QStringLiteral("/quillFern"), {QStringLiteral("update"), package});
    QVERIFY(updater.waitForStarted());

    // The stages ran; the bar now climbs for about 5 s. Pictured as soon as it shows past
    // 30 %, however long this machine takes to draw, rather than after a fixed wait.
    QByteArray errors;
    QTRY_VERIFY_WITH_TIMEOUT((errors += updater.readAllStandardError()).contains("copy finish"), 15000);
    QImage screen;
    const auto pictureBar = [&screen] {
        screen =
            QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        const QRect bar = boundsOf(screen, groove, boundsOf(screen, panel, screen.rect()), 3);
        int filledTo = bar.left();
        for (int x = bar.left() + 1; bar.isValid() && x < bar.right(); ++x)
            if (isStripe(screen.pixel(x, bar.center().y())))
                filledTo = x;
        return bar.isValid() ? double(filledTo - bar.left()) / bar.width() : 0.0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(pictureBar() > 0.3, 15000);
    const QString artefact =
        QStringLiteral(QUILLFERN_ARTEFACT_DIR "/tst_visual_climbing_%1.png")
            .arg(xftDpi ? QStringLiteral("%1dpi").arg(xftDpi) : QStringLiteral("no-xft-dpi"));
    QVERIFY(screen.save(artefact));
    updater.kill();
    updater.waitForFinished();

    const QRect window = boundsOf(screen, panel, screen.rect());
    QVERIFY2(window.isValid(), qPrintable(artefact));
    QVERIFY2(qAbs(window.width() - 394 * scale) <= 2 && qAbs(window.height() - 226 * scale) <= 2,
             qPrintable(
                 QStringLiteral("panel %1x%2 in %3").arg(window.width()).arg(window.height()).arg(artefact)));

    // The groove: 285 x 10, centred in the panel, in its lower half.
    const QRect bar = boundsOf(screen, groove, window, 3);
    QVERIFY2(bar.isValid(), qPrintable(artefact));
    QVERIFY2(qAbs(bar.width() - 285 * scale) <= 3 && qAbs(bar.height() - 10 * scale) <= 2,
             qPrintable(QStringLiteral("bar %1x%2").arg(bar.width()).arg(bar.height())));
    QVERIFY(qAbs(bar.center().x() - window.center().x()) <= 4);
    QVERIFY(bar.top() > window.top() + window.height() / 2);

    // The stripes fill the bar from its left end, inset by a pixel, part of the way.
    const int row = bar.center().y();
    int filledTo = bar.left();
    for (int x = bar.left() + 1; x < bar.right(); ++x)
        if (isStripe(screen.pixel(x, row)))
            filledTo = x;
    const double filled = double(filledTo - bar.left()) / bar.width();
    QVERIFY2(filled > 0.3 && filled < 0.99,
             qPrintable(QStringLiteral("filled %1 in %2").arg(filled).arg(artefact)));
    QVERIFY(isStripe(screen.pixel(bar.left() + qRound(3 * scale), row)));
    QVERIFY(near(screen.pixel(bar.right() - qRound(6 * scale), row), groove, 3));

    // Away from the rounded ends the stripes are the image drawn pixel for pixel, 1 px inside the
    // groove, give or take the groove's blended edge: an image stretched to the scale would show
    // blended or doubled rows instead.
    if (!stripeImage.isEmpty()) {
        const QImage stripes = QImage(stripeImage).convertToFormat(QImage::Format_ARGB32);
        const int step = qRound(scale);
        QCOMPARE(stripes.size(), QSize(283, 8) * step);
        int fewest = -1;
        for (int dy = -2; dy <= 2; ++dy) {
            for (int dx = -2; dx <= 2; ++dx) {
                const QPoint chunk = bar.topLeft() + QPoint(step + dx, step + dy);
                int mismatches = 0;
                for (int y = 0; y < stripes.height(); ++y)
                    for (int x = 6 * step; x < filledTo - chunk.x() - 6 * step; ++x)
                        mismatches +=
                            near(screen.pixel(chunk + QPoint(x, y)), over(stripes.pixel(x, y), groove), 2)
                                ? 0
                                : 1;
                fewest = fewest < 0 ? mismatches : qMin(fewest, mismatches);
            }
        }
        QVERIFY2(fewest == 0,
                 qPrintable(QStringLiteral("%1 stripe pixels differ in %2").arg(fewest).arg(artefact)));
    }
    qInfo("panel at %d,%d; bar %dx%d filled to %.0f %%; picture: %s", window.x(), window.y(), bar.width(),
          bar.height(), filled * 100, qPrintable(artefact));
}

void TestVisual::cleanup()
{
    if (!QStandardPaths::findExecutable(QStringLiteral("xrdb")).isEmpty())
        setXftDpi(0);
}

QTEST_MAIN(TestVisual)
#include "tst_visual.moc"
