#pragma once

#include <QFile>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Keeps the messages of every update run for support: each goes, with the
// time it was written, to "quillFern.log" in the user's application data
// folder, and on unchanged to the handler that was installed before it (the
// one writing standard error). Messages written before open() are held and
// follow the run's header line. A log that would grow past the size limit is
// renamed to "quillFern.old.log", replacing the one there, and begun anew, so
// the two files together stay within about twice the limit.
class RunLog
{
public:
    static constexpr qint64 DefaultSizeLimit = 1024 * 1024;
    // A longer message is cut in the log, with a note of how much was left out;
    // the previous handler still gets it whole.
    static constexpr int MaxLineCharacters = 2048;

    explicit RunLog(qint64 sizeLimit = DefaultSizeLimit);
    // Puts the previous message handler back.
    ~RunLog();
    RunLog(const RunLog &) = delete;
    RunLog &operator=(const RunLog &) = delete;

    // Becomes the application's message handler; one RunLog at a time.
    void install();

    // Starts writing to `folder`, creating it, with `header` as this run's
    // first line. A folder in `installationRoot` or below is refused: the
    // installation stays as it was shipped. On false the log is given up and
    // messages only go on to the previous handler.
    bool open(const QString &folder, const QString &installationRoot, const QString &header);

    // QStandardPaths::AppLocalDataLocation, the user's folder for the log.
    static QString defaultFolder();
    static QString fileName();
    static QString previousFileName();

    static QString header(const QString &version, const QString &installationRoot, const QString &packageDir,
                          const QStringList &arguments);

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message);
    QString bounded(const QString &message) const;
    void append(const QString &line);
    bool openFile(QIODevice::OpenMode mode);
    void startNewFile();

    const qint64 sizeLimit;
    QtMessageHandler previousHandler;
    QMutex mutex;
    QFile file;
    QString folder;
    QStringList held;
    bool holding;
};
