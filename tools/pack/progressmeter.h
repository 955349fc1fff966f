#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QString>
#include <cstdio>

// The progress of long work on a terminal: a line rewritten in place with
// the share done and an estimate of the time left. It stays silent where
// standard error is no terminal, when told to be quiet, and for work done
// within a second.
class ProgressMeter
{
public:
    ProgressMeter(const QString &what, bool quiet, FILE *stream = stderr);
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter &) = delete;
    ProgressMeter &operator=(const ProgressMeter &) = delete;

    // From any thread.
    void update(qint64 done, qint64 total);

private:
    const QString what;
    FILE *const stream;
    const bool shown;
    QMutex lock;
    QElapsedTimer started;
    qint64 lastShownAt = -1;
    bool lineOpen = false;
};
