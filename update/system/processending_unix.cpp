#include "processending.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <csignal>
#include <vector>

#include <unistd.h>

#include "processtable.h"

namespace {

// As tskill: asked with SIGTERM first, forced with SIGKILL after this long.
constexpr qint64 GracePeriodMs = 2000;

// The path the kernel reports for a process started from `program`: absolute, links resolved.
std::string kernelPath(const QString &program)
{
    const QFileInfo file(program);
    QString path = file.canonicalFilePath();
    if (path.isEmpty()) {
        // Gone since its processes started: only the folder that held it can be resolved.
        const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
        path = (folder.isEmpty() ? file.absolutePath() : folder) + QLatin1Char('/') + file.fileName();
    }
    return QFile::encodeName(path).toStdString();
}

// The process's name as the kernel keeps it, for the run log.
QString processName(pid_t pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed())
                                          : QStringLiteral("?");
}

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
                problems << QStringLiteral("process %1 (%2) refused to end: %3")
                                .arg(processName(process.pid))
                                .arg(process.pid)
                                .arg(QString::fromLocal8Bit(error.c_str()));
        }
        left.swap(signalled);
    }

    // Tells the processes `found` lists to end; there is no list when /proc could not be read.
    void endAll(const std::optional<std::vector<ProcessTable::Process>> &found, const std::string &error)
    {
        if (!found) {
            problems << QStringLiteral("cannot read /proc: %1").arg(QString::fromLocal8Bit(error.c_str()));
            return;
        }
        listed = true;
        left = *found;
        sinceAsked.start();
        signalAll(SIGTERM);
        ending = int(left.size());
    }
};

ProcessEnding::ProcessEnding()
    : d(std::make_unique<Private>())
{}

std::unique_ptr<ProcessEnding> ProcessEnding::endByName(const QString &processName)
{
    std::unique_ptr<ProcessEnding> ending(new ProcessEnding);
    std::string error;
    ending->d->endAll(ProcessTable::findByName(processName.toStdString(), getpid(), &error), error);
    return ending;
}

std::unique_ptr<ProcessEnding> ProcessEnding::endByExecutable(const QString &program)
{
    std::unique_ptr<ProcessEnding> ending(new ProcessEnding);
    std::string error;
    ending->d->endAll(ProcessTable::findByExecutable(kernelPath(program), getpid(), &error), error);
    return ending;
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

// Nothing runs elevated here, so no launcher ever waits.
void ProcessEnding::spare(qint64 pid)
{
    Q_UNUSED(pid)
}

qint64 ProcessEnding::spared()
{
    return 0;
}
