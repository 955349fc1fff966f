#pragma once

#include <QObject>

// Carries the targets a try sets, from the worker that runs it to the bar on
// the GUI thread: emitted in the worker, delivered through a queued
// connection. It knows nothing of the window it reports to.
class StageProgress : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(StageProgress)

public:
    using QObject::QObject;

signals:
    void targetSet(int target);
};
