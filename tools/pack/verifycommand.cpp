#include <QTextStream>
#include <cstdio>
#include "packcommands.h"

int PackCommands::verify(const QStringList &, const QByteArray &)
{
    QTextStream(stderr) << "quillFern-pack verify: not built yet\n";
    return Refused;
}
