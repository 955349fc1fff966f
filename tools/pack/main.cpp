#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>
#include "builtinpackagekeys.h"
#include "packcommands.h"

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
        PackCommands::printUsage(stdout);
        return PackCommands::Done;
    }
    PackCommands::printUsage(stderr);
    return PackCommands::BadUsage;
}
