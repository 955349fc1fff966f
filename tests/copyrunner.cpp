// Runs the copy stage under a file-size limit, in a process of its own so
// the limit touches nothing else: copyrunner <application dir> <package dir> <limit bytes>
#include <QApplication>

#include <sys/resource.h>

#include <cstdio>

#include "dlgupdate.h"
#include "dlgupdateprobe.h"
#include "installationpaths.h"
#include "installationupdate.h"
#include "platform.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 4)
        return 2;
    Platform::prepareProcess();
    const rlim_t limit = rlim_t(QByteArray(argv[3]).toULongLong());
    const struct rlimit fileSize = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0)
        return 3;

    const QString applicationDir = QString::fromLocal8Bit(argv[1]);
    InstallationUpdate update(InstallationPaths::installationRoot(applicationDir),
                              QString::fromLocal8Bit(argv[2]), applicationDir);
    DlgUpdate dlg;
    std::puts(DlgUpdateProbe::copy(dlg, update) ? "copy succeeded" : "copy failed");
    return 0;
}
