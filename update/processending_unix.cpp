#include "processending.h"

#include <QElapsedTimer>
#include <QStringList>

#include <csignal>
#include <vector>

#include <unistd.h>

#include "processtable.h"

namespace {

// As tskill: asked with SIGTERM first, forced with SIGKILL after this long.
constexpr qint64 GracePeriodMs = 2000;

} // namespace

struct ProcessEnding::Private
{
    bool listed = false;
    int ending = 0;
    bool forced = false;
    std::vector<ProcessTable::Process> left;
    QStringList problems;
    QElapsedTimer sinceAsked;

    void signalAll(int signal)
    {
        std::vector<ProcessTable::Process> signalled;
        for (const auto &process : left) {
            std::string error;
            if (ProcessTable::sendSignal(process, signal, &error))
                signalled.push_back(process);
            else
                problems << QStringLiteral("process %1 refused to end: %2")
                                .arg(process.pid)
                                .arg(QString::fromLocal8Bit(error.c_str()));
        }
        left.swap(signalled);
    }
};

ProcessEnding::ProcessEnding(const QString &processName)
    : d(std::make_unique<Private>())
{
    std::string error;
    const auto found = ProcessTable::findByName(processName.toStdString(), getpid(), &error);
    if (!found) {
        d->problems << QStringLiteral("cannot read /proc: %1").arg(QString::fromLocal8Bit(error.c_str()));
        return;
    }
    d->listed = true;
    d->left = *found;
    d->sinceAsked.start();
    d->signalAll(SIGTERM);
    d->ending = int(d->left.size());
}

ProcessEnding::~ProcessEnding() = default;

bool ProcessEnding::listed() const
{
    return d->listed;
}

int ProcessEnding::ending() const
{
    return d->ending;
}

bool ProcessEnding::allGone()
{
    std::vector<ProcessTable::Process> left;
    for (const auto &process : d->left) {
        if (!ProcessTable::isGone(process))
            left.push_back(process);
    }
    d->left.swap(left);
    if (!d->left.empty() && !d->forced && d->sinceAsked.elapsed() >= GracePeriodMs) {
        d->forced = true;
        d->signalAll(SIGKILL);
    }
    return d->left.empty();
}

QString ProcessEnding::problem() const
{
    return d->problems.join(QStringLiteral("; "));
}
