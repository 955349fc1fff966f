#include "reporttext.h"

QString ReportText::mebibytes(qint64 bytes)
{
    return QStringLiteral("%1 MiB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
}

QString ReportText::quoted(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}
