#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>
#include "builtinpackagekeys.h"
#include "packcommands.h"

namespace {

void usage(FILE *stream)
{
    QTextStream(stream)
        << "Usage:\n"
           "  quillFern-pack make --from <old release> --to <new release> --out <package dir> [--full] "
           "[--quiet]\n"
           "  quillFern-pack sign --key <minisign secret key> [--trusted-comment <text>] <package dir>\n"
           "  quillFern-pack verify <package dir> --installed <old release> [--expect <new release>]\n"
           "                        [--keys <minisign public key file>]...\n";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString command = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (command == QLatin1String("make"))
        return PackCommands::make(arguments);
    if (command == QLatin1String("sign"))
        return PackCommands::sign(arguments);
    if (command == QLatin1String("verify"))
        return PackCommands::verify(arguments, QByteArray(BuiltInPackageKeys));
    if (command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help")) {
        usage(stdout);
        return PackCommands::Done;
    }
    usage(stderr);
    return PackCommands::BadUsage;
}
