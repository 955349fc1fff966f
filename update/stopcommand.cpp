#include "stopcommand.h"

#include <QDebug>

#include <utility>

#include "platform.h"
#include "processending.h"

namespace {

// How often the fallback looks whether the processes it ended are gone.
constexpr int FallbackCheckInterval = 20;

} // namespace

StopCommand::StopCommand(QObject *parent)
    : QObject(parent)
{
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] { finish(Ending::BoundedOut); });
    fallbackCheck.setInterval(FallbackCheckInterval);
    connect(&fallbackCheck, &QTimer::timeout, this, &StopCommand::checkProcessesGone);
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

void StopCommand::onCommandFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (exitStatus == QProcess::NormalExit && exitCode == 0) {
        finish(Ending::Ended);
    } else if (exitStatus == QProcess::NormalExit && exitCode == 1) {
        finish(Ending::NotFound);
    } else {
        qDebug().noquote() << "The stop command failed:"
                           << (exitStatus == QProcess::CrashExit ? QStringLiteral("it crashed")
                                                                 : QStringLiteral("status %1").arg(exitCode));
        finish(Ending::Failed);
    }
}

// A start the system refuses reports its error from inside QProcess::start();
// the fallback runs from the event loop, so over() never comes before start() returns.
void StopCommand::onCommandError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart && !fallback)
        QMetaObject::invokeMethod(this, &StopCommand::endProcessesHere, Qt::QueuedConnection);
}

void StopCommand::endProcessesHere()
{
    if (!isRunning() || fallback)
        return;
    qDebug().noquote() << QStringLiteral("The stop command could not be started (%1); ending the processes "
                                         "called %2 here")
                              .arg(process ? process->errorString() : QString(), processName);
    fallback = std::make_unique<ProcessEnding>(processName);
    if (!fallback->problem().isEmpty())
        qDebug().noquote() << QStringLiteral("Ending the processes called %1:").arg(processName)
                           << fallback->problem();
    if (!fallback->listed())
        finish(Ending::NoCommand);
    else if (fallback->ending() == 0)
        finish(fallback->problem().isEmpty() ? Ending::NotFound : Ending::Failed);
    else
        fallbackCheck.start();
}

void StopCommand::checkProcessesGone()
{
    if (fallback && fallback->allGone())
        finish(Ending::Ended);
}

void StopCommand::finish(Ending ending)
{
    if (!isRunning())
        return;
    deadline.stop();
    fallbackCheck.stop();
    fallback.reset();
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
