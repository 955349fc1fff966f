#include "cctrldialog.h"

#include <QMouseEvent>
#include <QPainter>

CCtrlDialog::CCtrlDialog(QWidget *parent)
    : QDialog(parent, Qt::WindowFlags())
    , dragging(false)
    , dragOffset(0, 0)
{
    setAttribute(Qt::WA_TranslucentBackground, true);
    // Exactly this flag: the dialog's own window type is dropped on purpose.
    setWindowFlags(Qt::FramelessWindowHint);
}

CCtrlDialog::~CCtrlDialog() = default;

void CCtrlDialog::mousePressEvent(QMouseEvent *event)
{
    dragging = true;
    dragOffset = event->globalPos() - pos();
    QWidget::mousePressEvent(event);
}

void CCtrlDialog::mouseReleaseEvent(QMouseEvent *event)
{
    dragging = false;
    QWidget::mouseReleaseEvent(event);
}

void CCtrlDialog::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging)
        move(event->globalPos() - dragOffset);
    QWidget::mouseMoveEvent(event);
}

void CCtrlDialog::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    // Paint nothing: with the translucent background only the children show.
    QPainter painter(this);
    painter.end();
}
