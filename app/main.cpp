#include <QApplication>
#include <QDebug>
#include <QString>
#include <QTranslator>

#include "dlgupdate.h"
#include "platform.h"
#include "resources.h"

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 0;
    qDebug() << argv[1] << argv[2];
    if (QString::fromUtf8(argv[1]) != QLatin1String("update"))
        return 0;

    Platform::prepareProcess();
    QApplication app(argc, argv);
    // Qt takes its own options out of the vector; the package folder must still be there.
    if (argc < 3)
        return 0;

    Resources::init();
    Platform::applyApplicationIcon();

    QTranslator translator;
    translator.load(QStringLiteral("quillFern_zh_CN.qm"),
                    QCoreApplication::applicationDirPath() + QStringLiteral("/languages"), QString(),
                    QString());
    QCoreApplication::installTranslator(&translator);

    DlgUpdate window(nullptr);
    window.setPackageDir(Platform::commandLineArgument(argv, 2));
    // A second updater leaves the installation to the first: no window, nothing stopped.
    if (!window.claimInstallation())
        return 0;
    Platform::onTerminationRequest(&window, [&window] { window.reject(); });
    window.show();
    return app.exec();
}
