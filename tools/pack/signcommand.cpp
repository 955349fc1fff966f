#include <QTextStream>
#include <cstdio>
#include "packcommands.h"

int PackCommands::sign(const QStringList &)
{
    QTextStream(stderr) << "quillFern-pack sign: not built yet\n";
    return Refused;
}
