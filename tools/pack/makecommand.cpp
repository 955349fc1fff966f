#include <QTextStream>
#include <cstdio>
#include "packcommands.h"

int PackCommands::make(const QStringList &)
{
    QTextStream(stderr) << "quillFern-pack make: not built yet\n";
    return Refused;
}
