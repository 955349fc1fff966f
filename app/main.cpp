#include <QApplication>
#include <QDir>
#include <QDebug>
#include <QString>
#include <QTranslator>

#include "builtinpackagekeys.h"
#include "dlgupdate.h"
#include "fileops.h"
#include "place.h"
#include "installationpaths.h"
#include "platform.h"
#include "platformgui.h"
#include "resources.h"
#include "runlog.h"

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 0;
    // Installed first so that the run's first line reaches the log too.
    RunLog runLog;
    runLog.install();
    qDebug() << argv[1] << argv[2];
    if (QString::fromUtf8(argv[1]) != QLatin1String("update"))
        return 0;

    Platform::prepareProcess();
    // The window and its texts follow the scale the user chose; 150 % stays 1.5, not 2.
    Platform::chooseScreenScaling(argc, argv);
    QApplication app(argc, argv);
    // Qt takes its own options out of the vector; the package folder must still be there.
    if (argc < 3)
        return 0;

    const QString packageDir = Platform::commandLineArgument(argv, 2);
    const QString root = InstallationPaths::installationRoot(QCoreApplication::applicationDirPath());
    // Started elevated by another updater: that one's working folder and run log, which the
    // system did not hand over.
    const Platform::ElevationMark elevationMark = Platform::readElevationMark(QCoreApplication::arguments());
    if (elevationMark.isSet() && !elevationMark.workingDir.isEmpty())
        QDir::setCurrent(elevationMark.workingDir);
    runLog.open(
        elevationMark.isSet() && !elevationMark.runLogFolder.isEmpty() ? elevationMark.runLogFolder
                                                                       : RunLog::defaultFolder(),
        root,
        RunLog::header(QStringLiteral(QUILLFERN_VERSION), root, packageDir, QCoreApplication::arguments()));

    Resources::init();
    Platform::applyApplicationIcon();

    QTranslator translator;
    translator.load(QStringLiteral("quillFern_zh_CN.qm"),
                    QCoreApplication::applicationDirPath() + QStringLiteral("/languages"), QString(),
                    QString());
    QCoreApplication::installTranslator(&translator);

    DlgUpdate window(nullptr);
    window.setPackageDir(packageDir);
    window.setElevationMark(elevationMark);
    window.setPackageKeys(QByteArray(BuiltInPackageKeys));
#ifdef QUILLFERN_WITHOUT_FLUSHES
    // A build for measurements and tests only: what the run costs, and what goes wrong, without durability.
    FileOps::setFlushesEnabled(false);
#endif
#ifdef QUILLFERN_WITHOUT_HARD_LINKS
    // A build for measurements only: a replaced file set aside by a rename, then the new one renamed in.
    FileOps::setHardLinksEnabled(false);
#endif
#ifdef QUILLFERN_MOVES_ON_ANY_FILE_SYSTEM
    // A build for the tests only, on a FUSE file system that keeps the disk's file numbers.
    Place::takeEveryFileSystemAsKeepingIdentities();
#endif
#ifdef QUILLFERN_TIMING_DIVISOR
    // A build for the tests only: the same run at a fraction of the real pace.
    DlgUpdate::Timings timings;
    timings.progressInterval /= QUILLFERN_TIMING_DIVISOR;
    timings.stageInterval /= QUILLFERN_TIMING_DIVISOR;
    timings.stopCommandBound /= QUILLFERN_TIMING_DIVISOR;
    window.setTimings(timings);
#endif
    // A second updater leaves the installation to the first: no window, nothing stopped.
    if (!window.claimInstallation())
        return 0;
    Platform::onTerminationRequest(&window, [&window] { window.reject(); });
    window.show();
    const int status = app.exec();
    return status != 0 ? status : window.exitStatus();
}
