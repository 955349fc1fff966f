#include "stopcommand.h"

#include <utility>

#include "platform.h"
#include "processending.h"
#include "logcategories.h"

namespace {

// How often a stop that ends processes here looks whether they are gone.
constexpr int EndingCheckInterval = 20;

} // namespace

StopCommand::StopCommand(QObject *parent)
    : QObject(parent)
{
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] { finish(Ending::BoundedOut); });
    endingCheck.setInterval(EndingCheckInterval);
    connect(&endingCheck, &QTimer::timeout, this, &StopCommand::checkProcessesGone);
}

StopCommand::~StopCommand()
{
    if (process && process->state() != QProcess::NotRunning)
        process->disconnect(this);
    else
        delete process;
}

void StopCommand::start(const QString &name, const QString &applicationDir, int boundMs)
{
    if (pending++ > 0)
        return;
    processName = name;
    program.clear();
    commandLine = Platform::stopCommand(applicationDir, name);
    deadline.start(boundMs);
    process = new QProcess;
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &StopCommand::onCommandFinished);
    connect(process, &QProcess::errorOccurred, this, &StopCommand::onCommandError);
    // Commands are single strings with quoted parts, as the system's tools take them.
    const QStringList parts = QProcess::splitCommand(commandLine);
    process->start(parts.value(0), parts.mid(1), QIODevice::ReadWrite);
}

void StopCommand::startEndingProgram(const QString &executable, int boundMs)
{
    if (pending++ > 0)
        return;
    program = executable;
    deadline.start(boundMs);
    QMetaObject::invokeMethod(this, &StopCommand::endProcessesHere, Qt::QueuedConnection);
}

void StopCommand::onCommandFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (exitStatus == QProcess::NormalExit && exitCode == 0) {
        finish(Ending::Ended);
    } else if (exitStatus == QProcess::NormalExit && exitCode == 1) {
        finish(Ending::NotFound);
    } else {
        qCDebug(lcStop).noquote() << "The stop command failed:"
                                  << (exitStatus == QProcess::CrashExit
                                          ? QStringLiteral("it crashed")
                                          : QStringLiteral("status %1").arg(exitCode));
        finish(Ending::Failed);
    }
}

// A start the system refuses reports its error from inside QProcess::start();
// the fallback runs from the event loop, so over() never comes before start() returns.
void StopCommand::onCommandError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart && !endingHere)
        QMetaObject::invokeMethod(this, &StopCommand::endProcessesHere, Qt::QueuedConnection);
}

void StopCommand::endProcessesHere()
{
    if (!isRunning() || endingHere)
        return;
    QString which;
    if (program.isEmpty()) {
        which = QStringLiteral("called %1").arg(processName);
        qCDebug(lcStopEndingHere).noquote()
            << QStringLiteral("The stop command could not be started (%1); ending the processes %2 here")
                   .arg(process ? process->errorString() : QString(), which);
        endingHere = ProcessEnding::endByName(processName);
    } else {
        which = QStringLiteral("of \"%1\"").arg(program);
        endingHere = ProcessEnding::endByExecutable(program);
        const int count = endingHere->ending();
        const QString processes = count == 1 ? QStringLiteral("process") : QStringLiteral("processes");
        if (count > 0)
            qCDebug(lcStopEndingHere).noquote()
                << QStringLiteral("Ending %1 other %2 %3").arg(count).arg(processes, which);
    }
    if (!endingHere->problem().isEmpty())
        qCDebug(lcStop).noquote() << QStringLiteral("Ending the processes %1:").arg(which)
                                  << endingHere->problem();
    if (!endingHere->listed())
        finish(Ending::NoCommand);
    else if (endingHere->ending() == 0)
        finish(endingHere->problem().isEmpty() ? Ending::NotFound : Ending::Failed);
    else
        endingCheck.start();
}

void StopCommand::checkProcessesGone()
{
    if (endingHere && endingHere->allGone())
        finish(Ending::Ended);
}

void StopCommand::finish(Ending ending)
{
    if (!isRunning())
        return;
    deadline.stop();
    endingCheck.stop();
    endingHere.reset();
    if (process) {
        process->disconnect(this);
        if (process->state() == QProcess::NotRunning) {
            // finish() may run inside this process object's own finished() notification.
            process->deleteLater();
        } else {
            // A hung command: released once the system has taken it down.
            connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process,
                    &QObject::deleteLater);
            process->kill();
        }
        process = nullptr;
    }
    for (int answered = std::exchange(pending, 0); answered > 0; --answered)
        emit over(ending);
}
