#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QObject;

// What differs between Windows and the other systems outside the file work:
// how the product is stopped by name, what the executables are called, and how
// the command line and the system's requests to end reach the updater. How the
// window is scaled and where its icon comes from is in platformgui.h.
namespace Platform {

// Argument `index` of the command line, once the application object has
// taken its own options out of `argv`. Elsewhere the bytes are UTF-8; on
// Windows `argv` went through the local 8-bit code page, which cannot hold
// every folder name, so the wide command line is read instead.
QString commandLineArgument(char *argv[], int index);

// The product's process name as the system reports it; its executable's base name.
QString productProcessName();

// The command that ends every running process called `processName`, as one
// string with quoted parts. On Windows this is the system's "tskill"; elsewhere
// it is our own "tskill" that lies beside the updater in `applicationDir`.
QString stopCommand(const QString &applicationDir, const QString &processName);

// The updater's executable in `applicationDir`, as a start-up entry runs it
// and as the self-stop finds this installation's updaters by.
QString updaterProgram(const QString &applicationDir);

// Whether the file at `relative` in the updater's folder `applicationDir` is
// one the updater needs to start: its executable and, on Windows, the
// libraries it has loaded from that folder and Qt's plugin folders there. A
// start-up entry must always find a working updater.
bool isUpdaterRuntime(const QString &applicationDir, const QString &relative);

// The folders beside the executable that Qt loads its plugins from, some
// only when first needed; a Windows installation carries them in bin/.
const QStringList &qtPluginFolders();

// The product's executable in `applicationDir`, started as it is, without a
// command line to split, whatever characters its path holds.
QString productProgram(const QString &applicationDir);

// The mark an updater started elevated by another carries after its package
// folder: the launching updater's process id, its account, its working
// folder and its run log's folder. A marked updater never asks to be
// elevated again, keeps the start-up entry and the run log with the launching
// account, and leaves the product's start to the launcher, which is not
// elevated: it ends with ProductLeftToLauncher instead.
struct ElevationMark
{
    qint64 launcherPid = 0;
    QString launcherUser;
    QString workingDir;
    QString runLogFolder;

    bool isSet() const { return launcherPid > 0; }
};
QStringList elevationMarkArguments(const ElevationMark &mark);
// The mark in the application's arguments (executable, "update", package, ...); unset where there is none.
ElevationMark readElevationMark(const QStringList &arguments);
// The exit status of a marked updater whose run ended with the product to be started.
constexpr int ProductLeftToLauncher = 3;

// The account this process runs as, as the system names it (a SID on
// Windows, the user id elsewhere).
QString currentUser();

// What asking to run elevated came to.
struct ElevatedStart
{
    enum class Result {
        NotAsked, // elsewhere than on Windows, or elevated already
        Declined, // the user said no to the prompt
        Failed,   // the system could not start it
        Started,
    };
    Result result = Result::NotAsked;
    QString why;
    // The elevated updater's process (a HANDLE), to wait for; null where not started.
    void *process = nullptr;
};

// Starts this updater again, elevated, on `packageDir` made absolute, in the
// current working folder, with the mark (see ElevationMark); the product
// stays with this process to start. Windows asks the user through UAC.
ElevatedStart restartElevated(const QString &packageDir, const QString &runLogFolder);
// Calls `ended` on `context`'s thread once the elevated updater `started`
// has ended, with whether it left the product's start to this one. Takes
// the process handle over.
void whenElevatedEnds(QObject *context, const ElevatedStart &started, std::function<void(bool)> ended);

// Readies the process for file work: a write past a file-size limit must fail
// with an error instead of ending the updater half-way through a file.
void prepareProcess();

// Calls `close` on `context`'s thread when the system asks the process to
// end: SIGTERM, SIGHUP or SIGINT, as a session's end or a stop program sends
// them. The process then ends in its own time, never in the middle of a file.
// On Windows such requests reach the window as messages and nothing is done.
void onTerminationRequest(QObject *context, std::function<void()> close);

} // namespace Platform
