#pragma once

#include <QDialog>
#include <QPoint>

class QMouseEvent;
class QPaintEvent;

// A frameless dialog with a transparent background that the user drags with
// any mouse button. Subclasses paint their whole look through child widgets.
class CCtrlDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(CCtrlDialog)

public:
    explicit CCtrlDialog(QWidget *parent = nullptr);
    ~CCtrlDialog() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool dragging;
    QPoint dragOffset;
};
