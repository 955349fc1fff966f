#pragma once

#include <functional>
#include <memory>

#include <QByteArray>
#include <QByteArrayList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "dlgupdate.h"

// Debug lines, each with its category: an event such as "quillfern.run.left-out",
// or "default" for the fixed texts the updater has always written.
class EventLines
{
public:
    // `text` as lines of "<category><separator><message>"; a line without the separator has no category.
    static EventLines read(const QByteArray &text, const QByteArray &separator);
    void append(const QByteArray &category, const QString &message);
    void append(const EventLines &lines);

    const QStringList &messages() const { return lineMessages; }
    bool has(const QByteArray &category) const { return lineCategories.contains(category); }
    // The lines of `category` that hold `naming`: a file's name in double quotes, a number, a key;
    // anything but the sentence's words.
    int count(const QByteArray &category, const QString &naming = QString()) const;
    // The words of the first line of `category`, empty when there is none.
    QString first(const QByteArray &category) const;
    // Every line, each after its category, for a failure's message.
    QByteArray dump() const;

private:
    QByteArrayList lineCategories;
    QStringList lineMessages;
};

// Collects the debug lines written while it lives, with their categories.
class MessageLog
{
public:
    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    // The lines so far.
    EventLines lines() const;
    QStringList messages() const { return lines().messages(); }
    // The lines that are exactly `message`: for the fixed texts the updater has always written.
    int count(const QString &message) const { return messages().count(message); }
    // See EventLines.
    int count(const char *category, const QString &naming = QString()) const
    {
        return lines().count(category, naming);
    }
    QByteArray dump() const { return lines().dump(); }
};

// A throw-away installation: <root>/bin holds stand-ins for the stop program
// and the product, which only record that they were started. Nothing outside
// the temporary folder is ever ended or changed.
class StandInInstallation
{
public:
    explicit StandInInstallation(const QString &rootName = QStringLiteral("install"));
    virtual ~StandInInstallation() = default;
    StandInInstallation(const StandInInstallation &) = delete;
    StandInInstallation &operator=(const StandInInstallation &) = delete;

    bool isValid() const;
    QString root() const;
    // The temporary folder that holds the root, for files beside the installation.
    QString workspace() const;
    QString binDir() const;
    QString path(const QString &relative) const;

    // Copies the built updater (or another build of it) into bin/ as the real executable name.
    bool installUpdater(const QString &build = QString()) const;
    // Puts the real stop program in place of the recording stand-in.
    bool installStopProgram() const;
    // Replaces the product stand-in with one that records its start and then
    // runs until it is stopped, as the real product would.
    bool installWaitingProduct() const;

    // The system environment, with the updater's data folder (its run log)
    // moved into a temporary folder of its own, away from the user's files.
    QProcessEnvironment updaterEnvironment() const;
    // The run log an updater started with updaterEnvironment() writes.
    QString runLogPath() const;

    // Lines the stop stand-in recorded: its arguments, one run per line.
    QStringList stopRequests() const;
    // How often the product stand-in was started.
    int productStarts() const;
    // Process ids and program paths the waiting product recorded, one per start.
    QStringList productRecords() const;

protected:
    // An installation whose bin/ is left empty, without stand-ins.
    StandInInstallation(const QString &rootName, bool withStandIns);

private:
    QTemporaryDir tempDir;
    QTemporaryDir dataHome;
    QString rootPath;
};

// The installation, a package beside it and a working folder, in one
// temporary folder that leaves room for files no run may touch:
// <workspace>/install/bin, <workspace>/package/Env, <workspace>/work.
// Only the root, its bin/ and the working folder are made; the package is named.
class Workspace : public StandInInstallation
{
public:
    // What bin/ holds: nothing, or StandInInstallation's stand-ins.
    enum class Bin { Empty, StandIns };
    // Beside the installation, or on a tmpfs, where a run copies the package instead of moving it.
    enum class PackagePlace { Beside, OtherFileSystem };

    explicit Workspace(Bin bin = Bin::Empty, const QString &rootName = QStringLiteral("install"),
                       const QString &packageName = QStringLiteral("package"),
                       PackagePlace place = PackagePlace::Beside);
    // Puts back the current folder enterWork() found.
    ~Workspace() override;

    bool isValid() const;
    QString package() const;
    // A path in the package's Env folder, the payload.
    QString env(const QString &relative = QString()) const;
    QString work() const;
    // A path beside the installation, the package and the working folder.
    QString beside(const QString &relative) const;
    // Makes the working folder the current one while the workspace lives.
    bool enterWork();

private:
    std::unique_ptr<QTemporaryDir> elsewhere;
    QString packagePath;
    QString previousDir;
};

// The update window, set up on the installation whose bin/ is `applicationDir`
// and, where one is given, on `package` as the update to apply.
class PreparedDlgUpdate : public DlgUpdate
{
public:
    explicit PreparedDlgUpdate(const QString &applicationDir, const QString &package = QString(),
                               const QByteArray &packageKeys = QByteArray());
};

// Every entry under `root` (hidden ones and links included, links not
// followed), each with its kind, permission bits and a hash of its content;
// a link with the target text it holds.
QMap<QString, QString> snapshotTree(const QString &root);
// `tree` without the entries in or under any of `folders`.
QMap<QString, QString> treeWithout(QMap<QString, QString> tree, const QStringList &folders);

// The paths whose entries differ between two snapshots, each with both
// descriptions ("missing" where one has none).
QStringList treeDifferences(const QMap<QString, QString> &expected, const QMap<QString, QString> &actual);

// Runs the updater (or a program that becomes it) headless and follows the
// debug lines it writes as they come. Ends only the process it started. The
// updater's data folder (its run log) is a temporary folder of the run's own.
class UpdaterRun
{
public:
    UpdaterRun();
    ~UpdaterRun();
    UpdaterRun(const UpdaterRun &) = delete;
    UpdaterRun &operator=(const UpdaterRun &) = delete;

    bool start(const QString &program, const QStringList &arguments, const QString &workingDir);
    // Waits until one of `lines` was written or the process ended; returns
    // the line seen, or an empty string on the end of the process or time-out.
    QString waitForLine(const QStringList &lines, int timeoutMs);
    bool hasLine(const QString &line) const;
    // The same by an event's category (see EventLines), and what its line names.
    QByteArray waitForEvent(const QByteArrayList &categories, int timeoutMs);
    int countEvent(const char *category, const QString &naming = QString()) const
    {
        return events.count(category, naming);
    }
    // The words of the first line of `category`, to find that line in the run log.
    QString eventText(const char *category) const { return events.first(category); }
    QString errorOutput() const;
    QString runLogPath() const;
    // Lines the process wrote to its standard output so far.
    QStringList outputLines();
    bool isRunning() const;
    qint64 pid() const;
    QProcess &process() { return updater; }
    // Sends SIGKILL (or its equivalent) to the started process and reaps it.
    void kill();

private:
    void readErrors();
    void waitUntil(const std::function<bool()> &seenNow, int timeoutMs);

    QTemporaryDir dataHome;
    QProcess updater;
    QByteArray pending;
    QByteArray errors;
    EventLines events;
};

#ifdef Q_OS_UNIX
// A pseudo-terminal whose both ends the test holds: a program given `path()` as its
// standard input or output runs on a terminal, which the test types into and reads.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return terminal >= 0; }
    // The terminal's device, as a program opens it.
    QString path() const { return devicePath; }
    // Whether what is typed is shown: off while a program reads a password.
    bool echoes() const;
    bool type(const QByteArray &keys);
    // What programs wrote to the terminal since the last call.
    QByteArray shown();

private:
    int controller = -1;
    int terminal = -1;
    QString devicePath;
};
#endif

// The peak resident memory of a running process in KiB, -1 where unknown.
qint64 peakMemoryKiB(qint64 pid);
// Whether the process still runs: listed, and not a zombie waiting to be collected.
// Unlike QProcess::state(), it needs no event loop to notice an end.
bool isAlive(qint64 pid);

// Held by every test that runs the updater's executable or the real stop
// program: a stop by name ends every such process of the user (the stop of
// the product, and in older builds the self-stop too), so such tests take
// turns, also across build trees on one machine.
class UpdaterProcessLock
{
public:
    UpdaterProcessLock();
    ~UpdaterProcessLock();
    UpdaterProcessLock(const UpdaterProcessLock &) = delete;
    UpdaterProcessLock &operator=(const UpdaterProcessLock &) = delete;

private:
    int fd;
};

// The XDG autostart files in `configHome`, as a desktop session finds them at logon.
QStringList autostartFiles(const QString &configHome);
// The program and arguments that a desktop session runs for the Exec key of
// the desktop entry `path`, split and unquoted as desktop sessions do it;
// empty when it has none.
QStringList desktopEntryCommand(const QString &path);

// Bind mounts and tmpfs mounts for tests, in a mount namespace of the test
// process's own, so that nothing outside it ever sees them and they go with
// it. enterOwnMountNamespace() must run before the process starts a thread:
// call it from a static initialiser. It needs root (and Linux); without it
// ownMountNamespace() is false and such rows skip.
namespace PrivateMounts {
bool enterOwnMountNamespace();
bool ownMountNamespace();
bool bind(const QString &from, const QString &to);
bool mountTmpfs(const QString &at);
// Mounts a file system in memory on a new folder under the folder for
// temporary files, in the test's own mount namespace, and makes it the test's
// folder for temporary files (TMPDIR): nothing a test keeps there waits on a
// disk, and nothing that lay under the old one is hidden. Once a test.
bool keepTemporaryFilesInMemory();
// Makes the folder `at` read-only for every process of the test, root too.
bool makeReadOnly(const QString &at);
// Detaches what is mounted at `at`; nothing mounted there is fine.
void unmount(const QString &at);

// Makes the new folder `at` show the folder `shows` as a mount point does: a
// bind mount here (in the test's own namespace), and on Windows, where Wine
// makes no junctions, a copy of its tree that the updater is told is a
// junction, through the seam that hands it reparse tags. False when neither
// can be made. standInGone() undoes it.
bool standInMountPoint(const QString &shows, const QString &at);
void standInGone(const QString &at);
} // namespace PrivateMounts

// Whether this Windows build runs under Wine; false elsewhere.
bool runsUnderWine();

// The 8.3 short form of the existing `path` that Windows gives out (GetTempPath
// hands such names over); empty elsewhere, or where it has none.
QString shortPathName(const QString &path);

bool writeFile(const QString &path, const QByteArray &content);
// Writes `package`/SHA256SUMS as sha256sum would, listing `files` (relative to its Env folder) in that order.
bool writeManifest(const QString &package, const QStringList &files);
QByteArray readFile(const QString &path);
// Copies the folder `from` with everything in it to the new folder `to`, as new files.
bool copyTree(const QString &from, const QString &to);
// Makes a key pair without a password with the minisign command: `base`.pub and `base`.key.
bool makeMinisignKeys(const QString &base);
// Signs `file` as `file`.minisig with the minisign command: prehashed, or the legacy way.
bool minisignSign(const QString &secretKey, const QString &file, const QString &trustedComment,
                  bool legacy = false);
bool makeExecutable(const QString &path);
// A named pipe (FIFO) at `path`; none on Windows.
bool makePipe(const QString &path);
