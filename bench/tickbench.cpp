// Follows the window's 100 ms progress ticks through a long stage: 20,000 small
// payload files and one big file, with the package on another file system
// (a tmpfs), so everything is copied. Prints the longest gap between two ticks
// while the stage runs, and how often the bar's value changed.
//
//     tickbench [--big-mib N] [--files N] [--dir folder on another file system] [--shot file.png]
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "ui_dlgupdate.h"

namespace {

bool writeFile(const QString &path, qint64 size, char fill)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray chunk(qMin<qint64>(size, 8 << 20), fill);
    for (qint64 left = size; left > 0; left -= chunk.size()) {
        if (file.write(chunk.constData(), qMin<qint64>(left, chunk.size())) < 0)
            return false;
    }
    return true;
}

bool script(const QString &path, const QByteArray &body)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n" + body) > 0 &&
           file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

QElapsedTimer runClock;
qint64 stageStart = -1;
qint64 stageEnd = -1;

void noteStage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message == QLatin1String("100!") && stageEnd < 0)
        stageEnd = runClock.elapsed();
}

// Notes the time of every tick of the progress timer and of the first stage tick.
class TickRecorder : public QObject
{
public:
    TickRecorder(DlgUpdate &dlg, const QString &shot)
        : dlg(dlg)
        , shot(shot)
    {}
    std::vector<qint64> ticks;
    std::vector<std::pair<qint64, int>> values;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Timer)
            return false;
        const int id = static_cast<QTimerEvent *>(event)->timerId();
        if (id == DlgUpdateProbe::stageTimerId(dlg) && stageStart < 0)
            stageStart = runClock.elapsed();
        if (id == DlgUpdateProbe::progressTimerId(dlg)) {
            ticks.push_back(runClock.elapsed());
            const int value = DlgUpdateProbe::ui(dlg)->progress->value();
            if (values.empty() || values.back().second != value)
                values.emplace_back(runClock.elapsed(), value);
            // The window as it looks half-way through the copy.
            if (!shot.isEmpty() && stageStart >= 0 && stageEnd < 0 && value >= 50) {
                dlg.grab().save(shot);
                shot.clear();
            }
        }
        return false;
    }

private:
    DlgUpdate &dlg;
    QString shot;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption bigOption(QStringLiteral("big-mib"),
                                       QStringLiteral("Size of the big file (1536)."), QStringLiteral("MiB"),
                                       QStringLiteral("1536"));
    const QCommandLineOption filesOption(QStringLiteral("files"), QStringLiteral("Small files (20000)."),
                                         QStringLiteral("n"), QStringLiteral("20000"));
    const QCommandLineOption dirOption(QStringLiteral("dir"),
                                       QStringLiteral("Where the package goes (/dev/shm)."),
                                       QStringLiteral("path"), QStringLiteral("/dev/shm"));
    const QCommandLineOption shotOption(QStringLiteral("shot"),
                                        QStringLiteral("Saves the window as a PNG once the bar passes 50."),
                                        QStringLiteral("file"));
    parser.addOptions({bigOption, filesOption, dirOption, shotOption});
    parser.process(app);
    const qint64 bigBytes = parser.value(bigOption).toLongLong() << 20;
    const int files = parser.value(filesOption).toInt();

    QTemporaryDir installDir;
    QTemporaryDir packageDir(parser.value(dirOption) + QStringLiteral("/tickbench-XXXXXX"));
    if (!installDir.isValid() || !packageDir.isValid()) {
        std::fprintf(stderr, "cannot make the working folders\n");
        return 2;
    }
    const QString root = installDir.path();
    const QString package = packageDir.path() + QStringLiteral("/package");
    std::printf("writing %d files and one of %lld MiB...\n", files, bigBytes >> 20);
    std::fflush(stdout);
    bool laidOut = QDir().mkpath(root + QStringLiteral("/bin")) &&
                   script(root + QStringLiteral("/bin/tskill"), "exit 0\n") &&
                   script(root + QStringLiteral("/bin/Halvorquintel"), "exit 0\n") &&
                   writeFile(package + QStringLiteral("/Env/media/big.bin"), bigBytes, 'b');
    for (int i = 0; laidOut && i < files; ++i) {
        const QString name =
            QStringLiteral("/Env/dir%1/file%2.dat").arg(i / 100, 3, 10, QLatin1Char('0')).arg(i);
        laidOut = writeFile(package + name, 100 + (i * 7919) % (20 * 1024), 'n');
    }
    if (!laidOut) {
        std::fprintf(stderr, "cannot write the payload\n");
        return 2;
    }
    QDir::setCurrent(root);

    DlgUpdate dlg;
    dlg.setApplicationDir(root + QStringLiteral("/bin"));
    dlg.setPackageDir(package);
    TickRecorder recorder(dlg, parser.value(shotOption));
    dlg.installEventFilter(&recorder);
    QObject::connect(&dlg, &QDialog::rejected, &app, &QCoreApplication::quit);
    qInstallMessageHandler(noteStage);
    runClock.start();
    dlg.show();
    app.exec();

    qint64 longest = 0;
    qint64 longestAt = 0;
    for (size_t i = 1; i < recorder.ticks.size(); ++i) {
        if (recorder.ticks[i] < stageStart || recorder.ticks[i - 1] > stageEnd)
            continue;
        const qint64 gap = recorder.ticks[i] - recorder.ticks[i - 1];
        if (gap > longest) {
            longest = gap;
            longestAt = recorder.ticks[i - 1];
        }
    }
    qint64 longestStill = 0;
    for (size_t i = 1; i < recorder.values.size(); ++i) {
        if (recorder.values[i].first >= stageStart && recorder.values[i - 1].first <= stageEnd)
            longestStill =
                qMax(longestStill, recorder.values[i].first - qMax(stageStart, recorder.values[i - 1].first));
    }
    std::printf("stage: %.3f s to %.3f s (%.3f s)\n", stageStart / 1000.0, stageEnd / 1000.0,
                (stageEnd - stageStart) / 1000.0);
    std::printf(
        "longest gap between progress ticks during the stage: %lld ms (at %.3f s); target <= 300 ms: %s\n",
        longest, longestAt / 1000.0, longest <= 300 ? "met" : "MISSED");
    std::printf("longest time the bar's value stood still during the stage: %lld ms; target <= 1000 ms: %s\n",
                longestStill, longestStill <= 1000 ? "met" : "MISSED");
    std::printf("bar values during the stage:");
    for (const auto &value : recorder.values) {
        if (value.first >= stageStart && value.first <= stageEnd)
            std::printf(" %d@%.1f", value.second, value.first / 1000.0);
    }
    std::printf("\n");
    return stageStart >= 0 && stageEnd >= 0 ? 0 : 1;
}
