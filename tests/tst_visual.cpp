#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QtTest>

#include "pixels.h"
#include "testsupport.h"

// The installed updater in a real window on a virtual X display, pictured
// while its bar climbs. Runs under xvfb-run; the picture is kept in the
// build folder as an artefact.
class TestVisual : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void barClimbsInRealWindow();
};

namespace {

const QRgb panel = qRgb(0x73, 0xa1, 0xd8);
const QRgb groove = qRgb(48, 76, 108);

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
}

void TestVisual::barClimbsInRealWindow()
{
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

    // The stages ran; about a second later the bar is on its way up, not yet full.
    QByteArray errors;
    QTRY_VERIFY_WITH_TIMEOUT((errors += updater.readAllStandardError()).contains("copy finish"), 15000);
    QTest::qWait(1200);
    const QImage screen =
        QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    const QString artefact = QStringLiteral(QUILLFERN_ARTEFACT_DIR "/tst_visual_climbing.png");
    QVERIFY(screen.save(artefact));
    updater.kill();
    updater.waitForFinished();

    const QRect window = boundsOf(screen, panel, screen.rect());
    QVERIFY2(window.isValid(), qPrintable(artefact));
    QVERIFY2(qAbs(window.width() - 394) <= 2 && qAbs(window.height() - 226) <= 2,
             qPrintable(
                 QStringLiteral("panel %1x%2 in %3").arg(window.width()).arg(window.height()).arg(artefact)));

    // The groove: 285 x 10, centred in the panel, in its lower half.
    const QRect bar = boundsOf(screen, groove, window, 3);
    QVERIFY2(bar.isValid(), qPrintable(artefact));
    QVERIFY2(qAbs(bar.width() - 285) <= 3 && qAbs(bar.height() - 10) <= 2,
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
    QVERIFY(isStripe(screen.pixel(bar.left() + 3, row)));
    QVERIFY(near(screen.pixel(bar.right() - 6, row), groove, 3));
    qInfo("panel at %d,%d; bar %dx%d filled to %.0f %%; picture: %s", window.x(), window.y(), bar.width(),
          bar.height(), filled * 100, qPrintable(artefact));
}

QTEST_MAIN(TestVisual)
#include "tst_visual.moc"
