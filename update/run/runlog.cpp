#include "runlog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

#include "fileops.h"
#include "pathtext.h"
#include "place.h"

namespace {

RunLog *installedLog = nullptr;

QString timeStamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    // With the offset, so that support can line a log up with other records.
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString typePrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QString();
    case QtInfoMsg:
        return QStringLiteral("info: ");
    case QtWarningMsg:
        return QStringLiteral("warning: ");
    case QtCriticalMsg:
        return QStringLiteral("critical: ");
    case QtFatalMsg:
        return QStringLiteral("fatal: ");
    }
    return QString();
}

// As written, and as far as the folders exist by what they are: a folder
// still to be made lies where its parent does.
bool liesIn(const QString &path, const QString &root)
{
    QString existing = QDir::cleanPath(QDir(path).absolutePath());
    if (PathText::isUnder(existing, QDir::cleanPath(QDir(root).absolutePath())))
        return true;
    while (!existing.isEmpty() && !QFileInfo::exists(existing) && existing != QFileInfo(existing).path())
        existing = QFileInfo(existing).path();
    return Place::followingLastLink(existing).isSameOrInside(Place::followingLastLink(root));
}

} // namespace

RunLog::RunLog(qint64 sizeLimit)
    : sizeLimit(sizeLimit)
    , previousHandler(nullptr)
    , holding(true)
{}

RunLog::~RunLog()
{
    if (installedLog == this) {
        qInstallMessageHandler(previousHandler);
        installedLog = nullptr;
    }
}

void RunLog::install()
{
    Q_ASSERT(!installedLog);
    installedLog = this;
    previousHandler = qInstallMessageHandler(handleMessage);
}

bool RunLog::open(const QString &logFolder, const QString &installationRoot, const QString &header)
{
    QMutexLocker locker(&mutex);
    holding = false;
    const QStringList waiting = held;
    held.clear();
    if (logFolder.isEmpty() || liesIn(logFolder, installationRoot) || !QDir().mkpath(logFolder))
        return false;
    folder = logFolder;
    file.setFileName(folder + QLatin1Char('/') + fileName());
    if (!openFile(QIODevice::Append))
        return false;
    append(timeStamp() + QLatin1Char(' ') + header);
    for (const QString &line : waiting)
        append(line);
    return file.isOpen();
}

QString RunLog::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString RunLog::fileName()
{
    return QStringLiteral("quillFern.log");
}

QString RunLog::previousFileName()
{
    return QStringLiteral("quillFern.old.log");
}

QString RunLog::header(const QString &version, const QString &installationRoot, const QString &packageDir,
                       const QStringList &arguments)
{
    QStringList quoted;
    for (const QString &argument : arguments)
        quoted << QLatin1Char('"') + argument + QLatin1Char('"');
    // One arg() call: a path holding "%1" must stay as it is.
    return QStringLiteral(
               "quillFern %1 started; installation root \"%2\"; package folder \"%3\"; arguments %4")
        .arg(version, QDir::toNativeSeparators(installationRoot), QDir::toNativeSeparators(packageDir),
             quoted.join(QLatin1Char(' ')));
}

void RunLog::handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    RunLog *log = installedLog;
    if (!log)
        return;
    const QString line = timeStamp() + QLatin1Char(' ') + typePrefix(type) + log->bounded(message);
    {
        QMutexLocker locker(&log->mutex);
        if (log->holding)
            log->held.append(line);
        else if (log->file.isOpen())
            log->append(line);
    }
    // The log first: whoever reads a line on standard error finds it in the log already.
    if (log->previousHandler)
        log->previousHandler(type, context, message);
}

// One message must not push the whole log out: a line names a path or a reason, and a few KiB hold any.
QString RunLog::bounded(const QString &message) const
{
    const int most = int(qMin<qint64>(MaxLineCharacters, sizeLimit / 16));
    if (message.size() <= most)
        return message;
    return message.left(most) + QStringLiteral("… [cut: %1 more characters]").arg(message.size() - most);
}

void RunLog::append(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    if (file.size() > 0 && file.size() + bytes.size() > sizeLimit)
        startNewFile();
    if (file.isOpen())
        file.write(bytes);
}

bool RunLog::openFile(QIODevice::OpenMode mode)
{
    // Unbuffered: the run ends by being stopped from outside, and nothing may be left unwritten.
    // Plain line feeds on every system, so the size kept within the bound is the size on disk.
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered | mode);
}

void RunLog::startNewFile()
{
    file.close();
    const QString previous = folder + QLatin1Char('/') + previousFileName();
    QFile::remove(previous);
    // Where the full log cannot be moved aside it is begun anew, so it stays bounded.
    const bool moved = QFile::rename(file.fileName(), previous);
    openFile(moved ? QIODevice::Append : QIODevice::Truncate);
}
