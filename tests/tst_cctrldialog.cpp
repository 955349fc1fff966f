#include <QPushButton>
#include <QtTest>

#include "cctrldialog.h"

class TestCCtrlDialog : public QObject
{
    Q_OBJECT

private slots:
    void framelessAndTranslucent();
    void dragMovesByMouseDelta_data();
    void dragMovesByMouseDelta();
    void moveWithoutPressChangesNothing();
    void releaseEndsDrag();
    void enabledButtonTakesLeftPress_data();
    void enabledButtonTakesLeftPress();
};

namespace {

void sendMouse(QWidget *target, QEvent::Type type, const QPoint &local, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, local, target->mapToGlobal(local), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

void TestCCtrlDialog::framelessAndTranslucent()
{
    CCtrlDialog dialog;
    QCOMPARE(dialog.windowFlags() & ~Qt::Window, Qt::WindowFlags(Qt::FramelessWindowHint));
    QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(dialog.isWindow());
}

void TestCCtrlDialog::dragMovesByMouseDelta_data()
{
    QTest::addColumn<int>("buttonValue");
    QTest::addColumn<QPoint>("delta");
    QTest::newRow("left") << int(Qt::LeftButton) << QPoint(37, 12);
    QTest::newRow("right") << int(Qt::RightButton) << QPoint(-20, 45);
    QTest::newRow("middle") << int(Qt::MiddleButton) << QPoint(5, -7);
    QTest::newRow("far off screen") << int(Qt::LeftButton) << QPoint(-5000, -5000);
}

void TestCCtrlDialog::dragMovesByMouseDelta()
{
    QFETCH(int, buttonValue);
    const auto button = Qt::MouseButton(buttonValue);
    QFETCH(QPoint, delta);

    CCtrlDialog dialog;
    dialog.resize(200, 100);
    dialog.move(300, 200);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint start = dialog.pos();

    const QPoint grab(40, 30);
    const QPoint globalGrab = dialog.mapToGlobal(grab);
    sendMouse(&dialog, QEvent::MouseButtonPress, grab, button, button);
    QMouseEvent move(QEvent::MouseMove, grab + delta, globalGrab + delta, Qt::NoButton, button,
                     Qt::NoModifier);
    QApplication::sendEvent(&dialog, &move);

    QCOMPARE(dialog.pos(), start + delta);
}

void TestCCtrlDialog::moveWithoutPressChangesNothing()
{
    CCtrlDialog dialog;
    dialog.move(100, 100);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint start = dialog.pos();

    sendMouse(&dialog, QEvent::MouseMove, QPoint(50, 50), Qt::NoButton, Qt::NoButton);
    QCOMPARE(dialog.pos(), start);
}

void TestCCtrlDialog::releaseEndsDrag()
{
    CCtrlDialog dialog;
    dialog.move(100, 100);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // Two buttons held: releasing either one ends the drag.
    sendMouse(&dialog, QEvent::MouseButtonPress, QPoint(10, 10), Qt::LeftButton, Qt::LeftButton);
    sendMouse(&dialog, QEvent::MouseButtonPress, QPoint(10, 10), Qt::RightButton,
              Qt::LeftButton | Qt::RightButton);
    sendMouse(&dialog, QEvent::MouseButtonRelease, QPoint(10, 10), Qt::RightButton, Qt::LeftButton);
    const QPoint afterRelease = dialog.pos();

    sendMouse(&dialog, QEvent::MouseMove, QPoint(60, 60), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(dialog.pos(), afterRelease);
}

void TestCCtrlDialog::enabledButtonTakesLeftPress_data()
{
    QTest::addColumn<int>("buttonValue");
    QTest::addColumn<bool>("buttonEnabled");
    QTest::addColumn<bool>("drags");
    QTest::newRow("left on enabled button") << int(Qt::LeftButton) << true << false;
    QTest::newRow("right on enabled button") << int(Qt::RightButton) << true << true;
    QTest::newRow("middle on enabled button") << int(Qt::MiddleButton) << true << true;
}

void TestCCtrlDialog::enabledButtonTakesLeftPress()
{
    QFETCH(int, buttonValue);
    const auto button = Qt::MouseButton(buttonValue);
    QFETCH(bool, buttonEnabled);
    QFETCH(bool, drags);

    CCtrlDialog dialog;
    dialog.resize(200, 100);
    auto *push = new QPushButton(QStringLiteral("OK"), &dialog);
    push->setGeometry(50, 30, 100, 40);
    push->setEnabled(buttonEnabled);
    dialog.move(100, 100);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint start = dialog.pos();

    // Go through the window, as the system would, so an ignored press reaches the dialog.
    QWindow *window = dialog.windowHandle();
    const QPoint grab = push->mapTo(&dialog, QPoint(20, 20));
    const QPoint delta(15, 25);
    QTest::mousePress(window, button, Qt::NoModifier, grab);
    QTest::mouseMove(window, grab + delta);

    QCOMPARE(dialog.pos(), drags ? start + delta : start);
    QTest::mouseRelease(window, button, Qt::NoModifier, grab + delta);
}

QTEST_MAIN(TestCCtrlDialog)
#include "tst_cctrldialog.moc"
