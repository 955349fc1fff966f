#pragma once

#include <QString>

#include <functional>

class QObject;

// Everything that differs between Windows and the other platforms: how the
// product and the updater are stopped by name, what the product's executable
// is called, how an installed file is replaced in one step, and where the
// window icon comes from. The rest of the updater is plain Qt.
namespace Platform {

// Argument `index` of the command line, once the application object has
// taken its own options out of `argv`. Elsewhere the bytes are UTF-8; on
// Windows `argv` went through the local 8-bit code page, which cannot hold
// every folder name, so the wide command line is read instead.
QString commandLineArgument(char *argv[], int index);

// Process names as the system reports them; the executables' base names.
QString productProcessName();
QString updaterProcessName();

// The command that ends every running process called `processName`, as one
// string with quoted parts. On Windows this is the system's "tskill"; elsewhere
// it is our own "tskill" that lies beside the updater in `applicationDir`.
QString stopCommand(const QString &applicationDir, const QString &processName);

// The command that starts the product from `applicationDir`: the whole
// executable path in double quotes, so folders with spaces work.
QString productLaunchCommand(const QString &applicationDir);

// Whether two paths that differ only in letter case name different files.
Qt::CaseSensitivity fileNameCaseSensitivity();

// Whether `path` is `folder` or lies below it, compared as written with the
// system's letter case rules; empty paths are inside nothing.
bool isSameOrInside(const QString &path, const QString &folder);

// Readies the process for file work: a write past a file-size limit must fail
// with an error instead of ending the updater half-way through a file.
void prepareProcess();

// Calls `close` on `context`'s thread when the system asks the process to
// end: SIGTERM, SIGHUP or SIGINT, as a session's end or a stop program sends
// them. The process then ends in its own time, never in the middle of a file.
// On Windows such requests reach the window as messages and nothing is done.
void onTerminationRequest(QObject *context, std::function<void()> close);

// Suffix of the temporary file that replaceFile writes beside its destination.
QString temporarySuffix();

// Copies the file `source` to `destination` + temporarySuffix(), with the
// source's permissions. On failure no temporary file is left. A source that
// is not a readable file fails.
// `progress`, where given, hears of the bytes written as the copy goes on.
bool writeTemporaryCopy(const QString &source, const QString &destination,
                        const std::function<void(qint64)> &progress = nullptr);

// Whether the files of the package payload at `payloadRoot` may be moved into
// the installation at `installationRoot` instead of copied. Elsewhere: both on
// one file system and the payload writable. On Windows a moved file keeps the
// permissions of the folder it was unpacked in, so only a package inside the
// installation root, whose files already have the installation's permissions,
// is moved.
bool mayMoveInto(const QString &payloadRoot, const QString &installationRoot);

// Renames `from` to `to` in one step, replacing a file already at `to`.
bool renameOver(const QString &from, const QString &to);

// Copies the file `source` to `destination`, replacing a file already there.
// The data goes to a temporary file beside `destination`, which is renamed
// over it only once complete. On failure `destination` is as it was and no
// temporary file is left. A destination that is a folder fails.
bool replaceFile(const QString &source, const QString &destination,
                 const std::function<void(qint64)> &progress = nullptr);

// Gives the application its icon. On Windows the executable's own IDI_ICON1
// resource already is the icon and nothing is changed; elsewhere the embedded
// ":/appicon" is set. Needs the application object and Resources::init().
void applyApplicationIcon();

} // namespace Platform
