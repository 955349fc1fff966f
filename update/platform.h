#pragma once

#include <QString>

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

// The product's executable in `applicationDir`, started as it is, without a
// command line to split, whatever characters its path holds.
QString productProgram(const QString &applicationDir);

// Starts this updater again, elevated, with the same arguments, where the
// system can (Windows asks the user through UAC). True when it started; false
// elsewhere, when it runs elevated already or the user declined, with why in
// `why` where there is something to say.
bool restartElevated(QString *why);

// Readies the process for file work: a write past a file-size limit must fail
// with an error instead of ending the updater half-way through a file.
void prepareProcess();

// Calls `close` on `context`'s thread when the system asks the process to
// end: SIGTERM, SIGHUP or SIGINT, as a session's end or a stop program sends
// them. The process then ends in its own time, never in the middle of a file.
// On Windows such requests reach the window as messages and nothing is done.
void onTerminationRequest(QObject *context, std::function<void()> close);

} // namespace Platform
