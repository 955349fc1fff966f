#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <memory>

class ProcessEnding;

// "Stop every process called X": runs the system's stop command ("tskill X")
// and, where that cannot be started, ends those processes itself, this one
// never among them. "Stop every other process running file F" needs no command:
// those processes are ended here. Bounded: a stop that has not ended its
// processes in time is given up, a hung command killed. Every start is answered
// by exactly one over(), always from the event loop, never from inside the start.
class StopCommand : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(StopCommand)

public:
    // How a stop ended.
    enum class Ending {
        Ended,      // the processes were ended
        NotFound,   // none was running
        Failed,     // the command crashed or reported an error, or the processes refused to end
        BoundedOut, // not over within the bound; a hung command was killed
        NoCommand,  // neither the command nor the system's process list could be used
    };
    Q_ENUM(Ending)

    explicit StopCommand(QObject *parent = nullptr);
    // A command still running is left to finish its work: cutting it short
    // could leave half of its processes running.
    ~StopCommand() override;

    // Stops every process of the current user called `processName`, with the
    // stop command that lies in, or is found from, `applicationDir`. A start
    // while a stop runs joins it, and is answered when that one is over.
    void start(const QString &processName, const QString &applicationDir, int boundMs);
    // Ends every other process of the current user whose executable is the
    // file `program`, without a command: a name cannot tell one installation's
    // processes from another's. Joined and answered as start() is.
    void startEndingProgram(const QString &program, int boundMs);
    bool isRunning() const { return pending > 0; }

signals:
    void over(StopCommand::Ending ending);

private:
    void onCommandFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onCommandError(QProcess::ProcessError error);
    void endProcessesHere();
    void checkProcessesGone();
    void finish(Ending ending);

    QString processName;
    QString commandLine;
    // Set while processes are ended by their executable rather than by name.
    QString program;
    int pending = 0;
    // Created without parent: one still running when this object goes keeps running.
    QProcess *process = nullptr;
    std::unique_ptr<ProcessEnding> endingHere;
    QTimer deadline;
    QTimer endingCheck;

    friend class DlgUpdateProbe;
};
