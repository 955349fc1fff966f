#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "testsupport.h"

#include "ui_dlgupdate.h"

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void geometry();
    void styleSheets_data();
    void styleSheets();
    void initialState();
    void existingObjectNameKept();
    void clickReachesSlotOnce();
    void disabledButtonClickDoesNothing();
};

void TestForm::geometry()
{
    // Showing stops the product: the stand-in stop program keeps that inside the temporary folder.
    StandInInstallation install;
    PreparedDlgUpdate dlg(install.binDir());
    Ui_DlgUpdate *ui = DlgUpdateProbe::ui(dlg);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    QCOMPARE(dlg.size(), QSize(394, 226));
    QCOMPARE(ui->frameMain->geometry(), QRect(0, 0, 394, 226));
    QCOMPARE(ui->frameTitle->height(), 47);
    QCOMPARE(ui->progress->size(), QSize(285, 10));
    QCOMPARE(ui->btnOK->size(), QSize(130, 36));
    QCOMPARE(ui->horizontalLayout_6->spacing(), 7);
    QCOMPARE(ui->horizontalLayout_6->contentsMargins().left(), 9);
    QCOMPARE(ui->horizontalLayout_6->contentsMargins().top(), 16);
    QCOMPARE(ui->verticalLayout->spacing(), 0);
    QCOMPARE(ui->verticalLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    // Each row is centred between two expanding 40 x 20 spacers.
    for (QSpacerItem *spacer :
         {ui->horizontalSpacer, ui->horizontalSpacer_2, ui->horizontalSpacer_3, ui->horizontalSpacer_4,
          ui->horizontalSpacer_5, ui->horizontalSpacer_6, ui->horizontalSpacer_7, ui->horizontalSpacer_8}) {
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }
    const int centre = dlg.width() / 2;
    for (QWidget *widget : {static_cast<QWidget *>(ui->txtTitle), static_cast<QWidget *>(ui->label),
                            static_cast<QWidget *>(ui->progress), static_cast<QWidget *>(ui->btnOK)}) {
        const int widgetCentre = widget->mapTo(&dlg, widget->rect().center()).x();
        QVERIFY2(qAbs(widgetCentre - centre) <= 6, qPrintable(widget->objectName()));
    }

    // The panel cannot be grown by its layout.
    dlg.resize(600, 400);
    QCOMPARE(ui->frameMain->size(), QSize(394, 226));
}

void TestForm::styleSheets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("styleSheet");
    QTest::newRow("frameMain") << "frameMain"
                               << "#frameMain{background:#73a1d8;font: 14px;border-radius:6px;}";
    QTest::newRow("txtTitle") << "txtTitle"
                              << "color:#ffffff;font:20px;padding-top:-2px;";
    QTest::newRow("line") << "line"
                          << "color:#ffffff";
    QTest::newRow("label") << "label"
                           << "color:#ffffff;font:16px;";
    QTest::newRow("progress")
        << "progress"
        << "#progress{border:none;background:rgb(48,76,108);border-radius:5px;}\n"
           "#progress:chunk{background-image: url(:/progress);;margin-top:1px;margin-bottom:1px;"
           "margin-left:1px;margin-right:1px;}\n";
    QTest::newRow("btnOK")
        << "btnOK"
        << "QPushButton{border:none;Background:rgb(105,139,168);font:14px;color:rgba(255,255,255,128);}\n"
           "QPushButton:hover{Background:rgba(31, 107, 165, 128);}\n"
           "QPushButton:pressed{Background:rgba(31, 107, 165, 255);color:#ffffff;}\n"
           "QPushButton:disabled{Background:rgb(105,139,168);color:rgb(255,255,255,128);}";
}

void TestForm::styleSheets()
{
    QFETCH(QString, name);
    QFETCH(QString, styleSheet);
    DlgUpdate dlg;
    auto *widget = dlg.findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->styleSheet(), styleSheet);
}

void TestForm::initialState()
{
    DlgUpdate dlg;
    Ui_DlgUpdate *ui = DlgUpdateProbe::ui(dlg);
    QCOMPARE(dlg.windowTitle(), QStringLiteral("DlgUpdate"));
    QCOMPARE(ui->txtTitle->text(), QStringLiteral("Update"));
    QCOMPARE(ui->label->text(), QStringLiteral("Halvorquintel is updating..."));
    QCOMPARE(ui->btnOK->text(), QStringLiteral("Update completed"));
    QVERIFY(!ui->btnOK->isEnabled());
    QCOMPARE(ui->progress->minimum(), 0);
    QCOMPARE(ui->progress->maximum(), 100);
    QCOMPARE(ui->progress->value(), 24);
    QVERIFY(!ui->progress->isTextVisible());
    QCOMPARE(ui->line->frameShape(), QFrame::HLine);
    QCOMPARE(ui->line->frameShadow(), QFrame::Plain);
    QCOMPARE(DlgUpdateProbe::targetProgress(dlg), 0);
    QCOMPARE(DlgUpdateProbe::progressTimerId(dlg), -1);
    QCOMPARE(DlgUpdateProbe::stageTimerId(dlg), -1);
    QCOMPARE(DlgUpdateProbe::killProcess(dlg), nullptr);
}

void TestForm::existingObjectNameKept()
{
    DlgUpdate dlg;
    Ui_DlgUpdate form;
    QDialog other;
    other.setObjectName(QStringLiteral("kept"));
    form.setupUi(&other);
    QCOMPARE(other.objectName(), QStringLiteral("kept"));
    QDialog unnamed;
    form.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("DlgUpdate"));
}

void TestForm::clickReachesSlotOnce()
{
    // The failed window's button hands over to the relaunch: one click, one hand-over.
    StandInInstallation install;
    QVERIFY(install.isValid());
    PreparedDlgUpdate dlg(install.binDir());
    Ui_DlgUpdate *ui = DlgUpdateProbe::ui(dlg);
    DlgUpdateProbe::setFailed(dlg, true);
    ui->btnOK->setEnabled(true);

    MessageLog log;
    QTest::mouseClick(ui->btnOK, Qt::LeftButton);
    QCOMPARE(log.count(QStringLiteral("Finish!")), 1);
}

void TestForm::disabledButtonClickDoesNothing()
{
    StandInInstallation install;
    PreparedDlgUpdate dlg(install.binDir());
    Ui_DlgUpdate *ui = DlgUpdateProbe::ui(dlg);
    MessageLog log;
    DlgUpdateProbe::setFailed(dlg, true);
    QTest::mouseClick(ui->btnOK, Qt::LeftButton); // disabled: no click at all
    ui->btnOK->setEnabled(true);
    DlgUpdateProbe::setFailed(dlg, false);
    QTest::mouseClick(ui->btnOK, Qt::LeftButton); // enabled, but the run has not failed
    QCOMPARE(log.count(QStringLiteral("Finish!")), 0);
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
