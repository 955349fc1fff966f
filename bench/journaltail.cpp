// Reads a journal whose last record was cut short into a long tail without a
// line end, as a damaged disk or a planted file can leave it, and prints the
// peak memory the rollback took. Run by hand:
//
//     build/bench/journaltail [--mib N] [--dir folder]
//
// The tail is N MiB (200 unless given); the rollback must read the journal up
// to its last whole record and put that record's original back.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

#include <sys/resource.h>

#include "installationbackup.h"

namespace {

qint64 peakKiB()
{
    struct rusage usage;
    return getrusage(RUSAGE_SELF, &usage) == 0 ? qint64(usage.ru_maxrss) : -1;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("mib"), QStringLiteral("Size of the tail in MiB."), QStringLiteral("N"),
                      QStringLiteral("200")});
    parser.addOption({QStringLiteral("dir"), QStringLiteral("Folder to work in."), QStringLiteral("folder"),
                      QDir::tempPath()});
    parser.process(app);
    const qint64 mib = parser.value(QStringLiteral("mib")).toLongLong();

    QTemporaryDir workspace(parser.value(QStringLiteral("dir")) + QStringLiteral("/journaltail-XXXXXX"));
    const QString root = workspace.filePath(QStringLiteral("install"));
    if (!workspace.isValid() || !writeFile(root + QStringLiteral("/kept.txt"), "kept")) {
        std::fprintf(stderr, "cannot lay out an installation in %s\n", qPrintable(workspace.path()));
        return 1;
    }
    {
        InstallationBackup backup(root);
        if (!backup.removeFile(QStringLiteral("kept.txt"))) {
            std::fprintf(stderr, "cannot record a change\n");
            return 1;
        }
    }
    QFile journal(root + QLatin1Char('/') + InstallationBackup::areaName() + QStringLiteral("/journal"));
    if (!journal.open(QIODevice::Append)) {
        std::fprintf(stderr, "cannot open the journal\n");
        return 1;
    }
    const QByteArray block(1024 * 1024, 'x');
    for (qint64 i = 0; i < mib; ++i)
        journal.write(block);
    journal.close();

    const qint64 before = peakKiB();
    const Outcome restored = InstallationBackup(root).restore();
    const qint64 after = peakKiB();
    const bool back = QFile::exists(root + QStringLiteral("/kept.txt"));
    std::printf("tail without a line end: %lld MiB\n", mib);
    std::printf("peak memory before the rollback: %lld KiB, after: %lld KiB (%+lld KiB)\n", before, after,
                after - before);
    std::printf("rollback: %s; the whole record's original %s\n", qPrintable(restored.text()),
                back ? "is back" : "is missing");
    return restored && back ? 0 : 1;
}
