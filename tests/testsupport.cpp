#include "testsupport.h"

#include <algorithm>
#include <cstdlib>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif
#include "place_p.h"

#ifdef Q_OS_LINUX
#include <sched.h>
#include <sys/mount.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>

#include <string>
#endif

namespace {

QMutex messagesMutex;
EventLines captured;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&messagesMutex);
        captured.append(QByteArray(context.category ? context.category : "default"), message);
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

const char stopStandIn[] = "#!/bin/sh\n"
                           "echo \"$*\" >> \"$(dirname \"$0\")/stop-requests.log\"\n";

const char productStandIn[] = "#!/bin/sh\n"
                              "echo started >> \"$(dirname \"$0\")/product-starts.log\"\n";

const char waitingProduct[] = "#!/bin/sh\n"
                              "echo \"$$ $0\" >> \"$(dirname \"$0\")/product-starts.log\"\n"
                              "trap 'exit 0' TERM\n"
                              "while :; do sleep 0.2 & wait $!; done\n";

// No run under test may leave a start-up entry among the user's own: each
// test process keeps its configuration, autostart files included, in a
// temporary folder of its own, and its children inherit it.
#ifdef Q_OS_WIN
// On Windows the user's Run key stands in for the autostart folder: the
// process sees a key of its own as HKEY_CURRENT_USER, removed at its end.
class PrivateUserKey
{
public:
    PrivateUserKey()
        : name(QStringLiteral("Software\\quillFern tests\\%1").arg(GetCurrentProcessId()).toStdWString())
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            RegOverridePredefKey(HKEY_CURRENT_USER, key);
            RegCloseKey(key);
        }
    }
    ~PrivateUserKey()
    {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, name.c_str());
    }
    PrivateUserKey(const PrivateUserKey &) = delete;
    PrivateUserKey &operator=(const PrivateUserKey &) = delete;

private:
    const std::wstring name;
};
#endif

void isolateConfigurationHome()
{
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/quillFern-config-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
#ifdef Q_OS_WIN
    static PrivateUserKey userKey;
#endif
}
Q_CONSTRUCTOR_FUNCTION(isolateConfigurationHome)

// The target as the link stores it, so that copies of a tree compare equal.
QString linkText(const QFileInfo &info)
{
#ifdef Q_OS_UNIX
    QByteArray buffer(4096, '\0');
    const ssize_t size =
        ::readlink(QFile::encodeName(info.filePath()).constData(), buffer.data(), buffer.size());
    if (size >= 0)
        return QFile::decodeName(buffer.left(int(size)));
#endif
    return info.symLinkTarget();
}

} // namespace

EventLines EventLines::read(const QByteArray &text, const QByteArray &separator)
{
    EventLines lines;
    QByteArrayList pieces = text.split('\n');
    if (text.endsWith('\n'))
        pieces.removeLast();
    for (const QByteArray &line : qAsConst(pieces)) {
        const int end = line.indexOf(separator);
        lines.append(end > 0 ? line.left(end) : QByteArray(),
                     QString::fromUtf8(end > 0 ? line.mid(end + separator.size()) : line));
    }
    return lines;
}

void EventLines::append(const QByteArray &category, const QString &message)
{
    lineCategories << category;
    lineMessages << message;
}

void EventLines::append(const EventLines &lines)
{
    lineCategories << lines.lineCategories;
    lineMessages << lines.lineMessages;
}

int EventLines::count(const QByteArray &category, const QString &naming) const
{
    int found = 0;
    for (int line = 0; line < lineMessages.size(); ++line)
        found += lineCategories.at(line) == category && lineMessages.at(line).contains(naming) ? 1 : 0;
    return found;
}

QString EventLines::first(const QByteArray &category) const
{
    const int line = lineCategories.indexOf(category);
    return line < 0 ? QString() : lineMessages.at(line);
}

QByteArray EventLines::dump() const
{
    QByteArray text;
    for (int line = 0; line < lineMessages.size(); ++line)
        text += lineCategories.at(line) + ": " + lineMessages.at(line).toUtf8() + '\n';
    return text;
}

MessageLog::MessageLog()
{
    QMutexLocker locker(&messagesMutex);
    captured = EventLines();
    previousHandler = qInstallMessageHandler(captureMessage);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(previousHandler);
    QMutexLocker locker(&messagesMutex);
    captured = EventLines();
}

EventLines MessageLog::lines() const
{
    QMutexLocker locker(&messagesMutex);
    return captured;
}

StandInInstallation::StandInInstallation(const QString &rootName)
    : StandInInstallation(rootName, true)
{}

StandInInstallation::StandInInstallation(const QString &rootName, bool withStandIns)
    : rootPath(tempDir.path() + QLatin1Char('/') + rootName)
{
    QDir().mkpath(binDir());
    if (!withStandIns)
        return;
    const QString stop = binDir() + QStringLiteral("/tskill");
    const QString product = binDir() + QStringLiteral("/Halvorquintel");
    writeFile(stop, stopStandIn);
    writeFile(product, productStandIn);
    makeExecutable(stop);
    makeExecutable(product);
}

Workspace::Workspace(Bin bin, const QString &rootName, const QString &packageName, PackagePlace place)
    : StandInInstallation(rootName, bin == Bin::StandIns)
    , elsewhere(place == PackagePlace::OtherFileSystem
                    ? std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/quillFern-XXXXXX"))
                    : nullptr)
    , packagePath((elsewhere ? elsewhere->path() : workspace()) + QLatin1Char('/') + packageName)
{
    QDir().mkpath(work());
}

Workspace::~Workspace()
{
    if (!previousDir.isEmpty())
        QDir::setCurrent(previousDir);
}

bool Workspace::isValid() const
{
    return StandInInstallation::isValid() && (!elsewhere || elsewhere->isValid()) &&
           QFileInfo(work()).isDir();
}

QString Workspace::package() const
{
    return packagePath;
}

QString Workspace::env(const QString &relative) const
{
    return packagePath + QStringLiteral("/Env/") + relative;
}

QString Workspace::work() const
{
    return beside(QStringLiteral("work"));
}

QString Workspace::beside(const QString &relative) const
{
    return workspace() + QLatin1Char('/') + relative;
}

bool Workspace::enterWork()
{
    const QString current = QDir::currentPath();
    if (!QDir::setCurrent(work()))
        return false;
    if (previousDir.isEmpty())
        previousDir = current;
    return true;
}

PreparedDlgUpdate::PreparedDlgUpdate(const QString &applicationDir, const QString &package,
                                     const QByteArray &packageKeys)
{
    setApplicationDir(applicationDir);
    if (!package.isEmpty())
        setPackageDir(package);
    if (!packageKeys.isEmpty())
        setPackageKeys(packageKeys);
}

bool StandInInstallation::isValid() const
{
    return tempDir.isValid() && QFileInfo(binDir()).isDir();
}

QString StandInInstallation::root() const
{
    return rootPath;
}

QString StandInInstallation::workspace() const
{
    return tempDir.path();
}

QString StandInInstallation::binDir() const
{
    return rootPath + QStringLiteral("/bin");
}

QString StandInInstallation::path(const QString &relative) const
{
    return rootPath + QLatin1Char('/') + relative;
}

bool StandInInstallation::installUpdater(const QString &build) const
{
    const QString target = binDir() + QStringLiteral("/quillFern");
    QFile::remove(target);
    return QFile::copy(build.isEmpty() ? QStringLiteral(QUILLFERN_EXECUTABLE) : build, target) &&
           makeExecutable(target);
}

bool StandInInstallation::installStopProgram() const
{
#ifdef TSKILL_EXECUTABLE
    const QString target = binDir() + QStringLiteral("/tskill");
    QFile::remove(target);
    return QFile::copy(QStringLiteral(TSKILL_EXECUTABLE), target) && makeExecutable(target);
#else
    return false;
#endif
}

bool StandInInstallation::installWaitingProduct() const
{
    const QString product = binDir() + QStringLiteral("/Halvorquintel");
    return writeFile(product, waitingProduct) && makeExecutable(product);
}

QStringList StandInInstallation::productRecords() const
{
    const QString log = QString::fromUtf8(readFile(binDir() + QStringLiteral("/product-starts.log")));
    return log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QProcessEnvironment StandInInstallation::updaterEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
    return environment;
}

QString StandInInstallation::runLogPath() const
{
    return dataHome.path() + QStringLiteral("/quillFern/quillFern.log");
}

QStringList StandInInstallation::stopRequests() const
{
    const QString log = QString::fromUtf8(readFile(binDir() + QStringLiteral("/stop-requests.log")));
    return log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int StandInInstallation::productStarts() const
{
    return readFile(binDir() + QStringLiteral("/product-starts.log")).count('\n');
}

QMap<QString, QString> snapshotTree(const QString &root)
{
    QMap<QString, QString> tree;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString description;
        if (info.isSymLink())
            description = QStringLiteral("link -> ") + linkText(info);
        else if (info.isDir())
            description = QStringLiteral("dir");
        else if (!info.isFile())
            description = QStringLiteral("special"); // a pipe or a device: reading it could wait for ever
        else
            description =
                QStringLiteral("file ") +
                QString::fromLatin1(
                    QCryptographicHash::hash(readFile(info.filePath()), QCryptographicHash::Sha256).toHex());
        description += QStringLiteral(" mode ") + QString::number(int(info.permissions()), 16);
        tree.insert(base.relativeFilePath(info.filePath()), description);
    }
    return tree;
}

QStringList treeDifferences(const QMap<QString, QString> &expected, const QMap<QString, QString> &actual)
{
    QStringList differences;
    const QString missing = QStringLiteral("missing");
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QString found = actual.value(it.key(), missing);
        if (found != it.value())
            differences << it.key() + QStringLiteral(": expected ") + it.value() +
                               QStringLiteral(", found ") + found;
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            differences << it.key() + QStringLiteral(": expected missing, found ") + it.value();
    }
    return differences;
}

UpdaterRun::UpdaterRun()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Each line after its category and a tab, which a message never starts with.
    environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{category}\t%{message}"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
    updater.setProcessEnvironment(environment);
}

UpdaterRun::~UpdaterRun()
{
    kill();
}

bool UpdaterRun::start(const QString &program, const QStringList &arguments, const QString &workingDir)
{
    updater.setWorkingDirectory(workingDir);
    updater.start(program, arguments);
    return updater.waitForStarted();
}

void UpdaterRun::readErrors()
{
    const QByteArray chunk = updater.readAllStandardError();
    errors += chunk;
    pending += chunk;
    const int end = pending.lastIndexOf('\n');
    if (end < 0)
        return;
    events.append(EventLines::read(pending.left(end), "\t"));
    pending.remove(0, end + 1);
}

QByteArray UpdaterRun::waitForEvent(const QByteArrayList &categories, int timeoutMs)
{
    QByteArray found;
    waitUntil(
        [&] {
            const auto category =
                std::find_if(categories.cbegin(), categories.cend(),
                             [this](const QByteArray &category) { return events.has(category); });
            found = category == categories.cend() ? QByteArray() : *category;
            return !found.isEmpty();
        },
        timeoutMs);
    return found;
}

QString UpdaterRun::waitForLine(const QStringList &lines, int timeoutMs)
{
    QString found;
    waitUntil(
        [&] {
            const auto line = std::find_if(lines.cbegin(), lines.cend(), [this](const QString &line) {
                return events.messages().contains(line);
            });
            found = line == lines.cend() ? QString() : *line;
            return !found.isEmpty();
        },
        timeoutMs);
    return found;
}

// Reads what the process writes until `seenNow` holds, the process ends or the time is out.
void UpdaterRun::waitUntil(const std::function<bool()> &seenNow, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const bool ended = updater.state() == QProcess::NotRunning;
        readErrors();
        if (seenNow())
            return;
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || ended)
            return;
        updater.waitForReadyRead(int(qMin<qint64>(left, 200)));
    }
}

bool UpdaterRun::hasLine(const QString &line) const
{
    return events.messages().contains(line);
}

QString UpdaterRun::errorOutput() const
{
    return QString::fromUtf8(errors);
}

QString UpdaterRun::runLogPath() const
{
    return dataHome.path() + QStringLiteral("/quillFern/quillFern.log");
}

QStringList UpdaterRun::outputLines()
{
    return QString::fromUtf8(updater.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool UpdaterRun::isRunning() const
{
    return updater.state() != QProcess::NotRunning;
}

qint64 UpdaterRun::pid() const
{
    return updater.processId();
}

void UpdaterRun::kill()
{
    if (updater.state() == QProcess::NotRunning)
        return;
    updater.kill();
    updater.waitForFinished(10000);
    readErrors();
}

bool isAlive(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int state = stat.lastIndexOf(')') + 2;
    return pid > 0 && state > 1 && state < stat.size() && stat.at(state) != 'Z';
}

#ifdef Q_OS_UNIX
PseudoTerminal::PseudoTerminal()
{
    controller = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (controller < 0 || ::grantpt(controller) != 0 || ::unlockpt(controller) != 0)
        return;
    devicePath = QString::fromLocal8Bit(::ptsname(controller));
    // Held open, so that the terminal outlives the programs that use it.
    terminal = ::open(::ptsname(controller), O_RDWR | O_NOCTTY);
}

PseudoTerminal::~PseudoTerminal()
{
    if (terminal >= 0)
        ::close(terminal);
    if (controller >= 0)
        ::close(controller);
}

bool PseudoTerminal::echoes() const
{
    termios settings{};
    return ::tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

bool PseudoTerminal::type(const QByteArray &keys)
{
    return ::write(controller, keys.constData(), size_t(keys.size())) == ssize_t(keys.size());
}

QByteArray PseudoTerminal::shown()
{
    QByteArray text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(controller, buffer, sizeof buffer)) > 0;)
        text.append(buffer, int(got));
    return text;
}
#endif

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

UpdaterProcessLock::UpdaterProcessLock()
    : fd(-1)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(QDir::tempPath() + QStringLiteral("/quillFern-tests.lock"));
    fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0)
        ::flock(fd, LOCK_EX);
#endif
}

UpdaterProcessLock::~UpdaterProcessLock()
{
#ifdef Q_OS_UNIX
    if (fd >= 0)
        ::close(fd);
#endif
}

QMap<QString, QString> treeWithout(QMap<QString, QString> tree, const QStringList &folders)
{
    for (auto it = tree.begin(); it != tree.end();) {
        const QString &path = it.key();
        const bool drop = std::any_of(folders.cbegin(), folders.cend(), [&](const QString &folder) {
            return path == folder || path.startsWith(folder + QLatin1Char('/'));
        });
        it = drop ? tree.erase(it) : std::next(it);
    }
    return tree;
}

QStringList autostartFiles(const QString &configHome)
{
    const QDir autostart(configHome + QStringLiteral("/autostart"));
    QStringList files;
    for (const QString &name : autostart.entryList({QStringLiteral("*.desktop")}, QDir::Files | QDir::Hidden))
        files << autostart.filePath(name);
    return files;
}

QStringList desktopEntryCommand(const QString &path)
{
    QString exec;
    for (const QByteArray &line : readFile(path).split('\n')) {
        if (line.startsWith("Exec="))
            exec = QString::fromUtf8(line.mid(5));
    }
    // First the string value's own escapes, then the command line's quoting.
    QString value;
    for (int i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (c != QLatin1Char('\\') || i + 1 == exec.size()) {
            value += c;
            continue;
        }
        const char next = exec.at(++i).toLatin1();
        value += next == 's'   ? QChar(QLatin1Char(' '))
                 : next == 'n' ? QChar(QLatin1Char('\n'))
                 : next == 't' ? QChar(QLatin1Char('\t'))
                 : next == 'r' ? QChar(QLatin1Char('\r'))
                               : exec.at(i);
    }
    QStringList arguments;
    QString argument;
    bool inArgument = false;
    bool quoted = false;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (quoted) {
            if (c == QLatin1Char('\\') && i + 1 < value.size())
                argument += value.at(++i);
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                argument += c;
        } else if (c == QLatin1Char(' ')) {
            if (inArgument)
                arguments << argument;
            argument.clear();
            inArgument = false;
        } else if (c == QLatin1Char('"')) {
            quoted = inArgument = true;
        } else {
            argument += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments << argument;
    for (QString &part : arguments)
        part.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return arguments;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

bool writeManifest(const QString &package, const QStringList &files)
{
    QByteArray manifest;
    for (const QString &file : files) {
        const QByteArray content = readFile(package + QStringLiteral("/Env/") + file);
        manifest += QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex() + "  ./" +
                    file.toUtf8() + '\n';
    }
    return writeFile(package + QStringLiteral("/SHA256SUMS"), manifest);
}

bool copyTree(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return false;
    const QFileInfoList entries =
        QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString target = to + QLatin1Char('/') + entry.fileName();
        if (entry.isDir() ? !copyTree(entry.filePath(), target) : !QFile::copy(entry.filePath(), target))
            return false;
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

namespace {

bool runMinisign(const QStringList &arguments)
{
    QProcess minisign;
    minisign.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    minisign.setStandardOutputFile(QProcess::nullDevice());
    minisign.setStandardInputFile(QProcess::nullDevice());
    minisign.start(QStringLiteral("minisign"), arguments);
    return minisign.waitForFinished(60000) && minisign.exitStatus() == QProcess::NormalExit &&
           minisign.exitCode() == 0;
}

} // namespace

bool makeMinisignKeys(const QString &base)
{
    return runMinisign({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"),
                        base + QStringLiteral(".pub"), QStringLiteral("-s"), base + QStringLiteral(".key")});
}

bool minisignSign(const QString &secretKey, const QString &file, const QString &trustedComment, bool legacy)
{
    QStringList arguments{QStringLiteral("-S"), QStringLiteral("-s"), secretKey, QStringLiteral("-m"), file,
                          QStringLiteral("-t"), trustedComment};
    if (legacy)
        arguments << QStringLiteral("-l");
    return runMinisign(arguments);
}

bool makeExecutable(const QString &path)
{
    QFile file(path);
    return file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                               QFileDevice::ExeOther);
}

bool makePipe(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
    return false;
#else
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
#endif
}

namespace PrivateMounts {

namespace {
bool entered = false;
}

#ifdef Q_OS_LINUX
bool enterOwnMountNamespace()
{
    // Private all the way down, so that no mount made here reaches the machine's namespace.
    entered = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
              ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return entered;
}

bool bind(const QString &from, const QString &to)
{
    return entered && ::mount(QFile::encodeName(from).constData(), QFile::encodeName(to).constData(), nullptr,
                              MS_BIND, nullptr) == 0;
}

bool mountTmpfs(const QString &at)
{
    return entered && ::mount("tmpfs", QFile::encodeName(at).constData(), "tmpfs", 0, "size=16m") == 0;
}

namespace {

// The folder made for the test's temporary files, unmounted and removed when the test ends.
struct InMemoryTemporaryFolder
{
    QByteArray path;

    ~InMemoryTemporaryFolder()
    {
        if (path.isEmpty())
            return;
        ::umount2(path.constData(), MNT_DETACH);
        ::rmdir(path.constData());
    }
};

// Made on first use: tests call keepTemporaryFilesInMemory() while their statics are initialised.
InMemoryTemporaryFolder &inMemoryTemporaryFolder()
{
    static InMemoryTemporaryFolder folder;
    return folder;
}

} // namespace

// A folder of its own, made for the run: the checkout, its build and what lies
// beside it may be anywhere under the temporary folder, and a file system
// mounted over that folder itself would hide them from the test. No dash in
// its name: LazyFS takes any argument holding "-o" for a mount option.
bool keepTemporaryFilesInMemory()
{
    if (!entered || !inMemoryTemporaryFolder().path.isEmpty())
        return false;
    QByteArray folder = QFile::encodeName(QDir::tempPath() + QStringLiteral("/quillFernTests.XXXXXX"));
    if (!::mkdtemp(folder.data()))
        return false;
    if (::mount("tmpfs", folder.constData(), "tmpfs", 0, "mode=1777") != 0) {
        ::rmdir(folder.constData());
        return false;
    }
    inMemoryTemporaryFolder().path = folder;
    // QDir::tempPath() and every process the test starts read it from here on.
    return qputenv("TMPDIR", folder);
}

bool makeReadOnly(const QString &at)
{
    const QByteArray path = QFile::encodeName(at);
    return bind(at, at) &&
           ::mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

void unmount(const QString &at)
{
    if (entered)
        ::umount2(QFile::encodeName(at).constData(), MNT_DETACH);
}
#else
bool enterOwnMountNamespace()
{
    return false;
}

bool bind(const QString &, const QString &)
{
    return false;
}

bool mountTmpfs(const QString &)
{
    return false;
}

bool keepTemporaryFilesInMemory()
{
    return false;
}

bool makeReadOnly(const QString &)
{
    return false;
}

void unmount(const QString &) {}
#endif

bool ownMountNamespace()
{
    return entered;
}

#ifdef Q_OS_WIN
namespace {

QStringList &junctions()
{
    static QStringList paths;
    return paths;
}

} // namespace

bool standInMountPoint(const QString &shows, const QString &at)
{
    if (!copyTree(shows, at))
        return false;
    junctions() << QDir::cleanPath(QFileInfo(at).absoluteFilePath());
    PlaceSeam::setReparseTagSource([](const QString &path, quint32 *tag) {
        if (!junctions().contains(QDir::cleanPath(QFileInfo(path).absoluteFilePath()), Qt::CaseInsensitive))
            return false;
        *tag = IO_REPARSE_TAG_MOUNT_POINT;
        return true;
    });
    return true;
}

void standInGone(const QString &at)
{
    junctions().removeAll(QDir::cleanPath(QFileInfo(at).absoluteFilePath()));
}
#else
bool standInMountPoint(const QString &shows, const QString &at)
{
    return QDir().mkpath(at) && bind(shows, at);
}

void standInGone(const QString &at)
{
    unmount(at);
}
#endif

} // namespace PrivateMounts

bool runsUnderWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

#ifdef Q_OS_WIN
QString shortPathName(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    wchar_t buffer[32768];
    const DWORD length = GetShortPathNameW(native.c_str(), buffer, DWORD(std::size(buffer)));
    if (length == 0 || length >= std::size(buffer))
        return QString();
    const QString shortPath = QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
    return shortPath.compare(QDir::cleanPath(path), Qt::CaseInsensitive) == 0 ? QString() : shortPath;
}
#else
QString shortPathName(const QString &)
{
    return QString();
}
#endif
