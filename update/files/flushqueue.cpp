#include "flushqueue.h"

#include <QFileInfo>

#include "fileops.h"
#include "place.h"

namespace {

constexpr size_t Capacity = 4096;

} // namespace

FlushQueue::FlushQueue(int threadCount)
    : threadCount(qMax(1, threadCount))
{
    threads.setMaxThreadCount(this->threadCount);
}

FlushQueue::~FlushQueue()
{
    finish();
}

void FlushQueue::addFile(const QString &path)
{
    add(path, false);
}

void FlushQueue::addFolder(const QString &path)
{
    add(path, true);
}

void FlushQueue::add(const QString &path, bool folder)
{
    if (!FileOps::flushesEnabled())
        return;
    std::unique_lock<std::mutex> lock(mutex);
    // Threads start with the first work, so that a run with nothing to flush starts none.
    if (!started) {
        started = true;
        for (int i = 0; i < threadCount; ++i)
            threads.start([this] { work(); });
    }
    itemTaken.wait(lock, [this] { return items.size() < Capacity; });
    items.push_back(Item{path, folder});
    itemAdded.notify_one();
}

void FlushQueue::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        itemAdded.wait(lock, [this] { return closing || !items.empty(); });
        if (items.empty())
            return;
        const Item item = items.front();
        items.pop_front();
        itemTaken.notify_all();
        lock.unlock();
        bool flushed = item.folder ? FileOps::flushFolder(item.path) : FileOps::flushFile(item.path);
        Outcome failure;
        if (!flushed) {
            const QFileInfo gone(item.path);
            // A folder may stand where the run replaced a file; its entries are what it holds.
            // A file gone before its flush (taken by a scanner, say) is not on disk as it
            // must be; a folder gone holds nothing to keep.
            flushed = (item.folder && !FileOps::existsOrIsLink(gone)) ||
                      (!item.folder && Place::followingLastLink(item.path).leadsToFolder() &&
                       FileOps::flushFolder(item.path));
            if (!flushed)
                failure = Outcome::failure(item.folder ? QStringLiteral("flush the folder")
                                                       : QStringLiteral("flush"),
                                           item.path, FileOps::lastError());
        }
        lock.lock();
        if (!flushed && firstFailure)
            firstFailure = failure;
        itemTaken.notify_all();
    }
}

Outcome FlushQueue::finish()
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        closing = true;
        itemAdded.notify_all();
    }
    threads.waitForDone();
    std::lock_guard<std::mutex> lock(mutex);
    closing = false;
    started = false;
    const Outcome outcome = firstFailure;
    firstFailure = Outcome::done();
    return outcome;
}
