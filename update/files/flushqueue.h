#pragma once

#include <QString>
#include <QThreadPool>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "outcome.h"

// Flushes files and folders on several threads at once: a flush mostly waits
// for the disk, and the disk takes many waits together about as fast as one.
// Memory stays bounded however many are added: add() waits while the queue
// is full.
class FlushQueue
{
public:
    explicit FlushQueue(int threads = 32);
    ~FlushQueue();
    FlushQueue(const FlushQueue &) = delete;
    FlushQueue &operator=(const FlushQueue &) = delete;

    // A file that is gone by the time its turn comes fails the flush: the run
    // put it there and relies on it. A folder that is gone is passed over:
    // nothing of it is left to keep.
    void addFile(const QString &path);
    void addFolder(const QString &path);
    // Waits until everything added is flushed; the first flush that failed.
    Outcome finish();

private:
    struct Item
    {
        QString path;
        bool folder;
    };

    void add(const QString &path, bool folder);
    void work();

    const int threadCount;
    // Qt's threads, like the rest of the file work's.
    QThreadPool threads;
    bool started = false;
    std::mutex mutex;
    std::condition_variable itemAdded;
    std::condition_variable itemTaken;
    std::deque<Item> items;
    bool closing = false;
    Outcome firstFailure;
};
