#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

QMutex messagesMutex;
QStringList capturedMessages;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&messagesMutex);
        capturedMessages.append(message);
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

} // namespace

MessageLog::MessageLog()
{
    QMutexLocker locker(&messagesMutex);
    capturedMessages.clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(previousHandler);
    QMutexLocker locker(&messagesMutex);
    capturedMessages.clear();
}

QStringList MessageLog::messages() const
{
    QMutexLocker locker(&messagesMutex);
    return capturedMessages;
}

int MessageLog::count(const QString &message) const
{
    return messages().count(message);
}

StandInInstallation::StandInInstallation(const QString &rootName)
    : rootPath(tempDir.path() + QLatin1Char('/') + rootName)
{
    QDir().mkpath(binDir());
    const QString stop = binDir() + QStringLiteral("/tskill");
    const QString product = binDir() + QStringLiteral("/Halvorquintel");
    writeFile(stop, stopStandIn);
    writeFile(product, productStandIn);
    makeExecutable(stop);
    makeExecutable(product);
}

bool StandInInstallation::isValid() const
{
    return tempDir.isValid() && QFileInfo(binDir()).isDir();
}

QString StandInInstallation::root() const
{
    return rootPath;
}

QString StandInInstallation::binDir() const
{
    return rootPath + QStringLiteral("/bin");
}

QString StandInInstallation::path(const QString &relative) const
{
    return rootPath + QLatin1Char('/') + relative;
}

bool StandInInstallation::installUpdater() const
{
    const QString target = binDir() + QStringLiteral("/quillFern");
    QFile::remove(target);
    return QFile::copy(QStringLiteral(QUILLFERN_EXECUTABLE), target) && makeExecutable(target);
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
            description = QStringLiteral("link -> ") + info.symLinkTarget();
        else if (info.isDir())
            description = QStringLiteral("dir");
        else
            description = QStringLiteral("file ")
                          + QString::fromLatin1(
                              QCryptographicHash::hash(readFile(info.filePath()), QCryptographicHash::Sha256)
                                  .toHex());
        description += QStringLiteral(" mode ") + QString::number(int(info.permissions()), 16);
        tree.insert(base.relativeFilePath(info.filePath()), description);
    }
    return tree;
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

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool makeExecutable(const QString &path)
{
    QFile file(path);
    return file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                               | QFileDevice::ExeOther);
}
