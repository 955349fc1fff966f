#pragma once

#include <QString>

// How the tool's reports write sizes and names, the same in every command.
namespace ReportText {

// "12.5 MiB"
QString mebibytes(qint64 bytes);
// A path in double quotes, as the updater's own lines name paths.
QString quoted(const QString &path);

} // namespace ReportText
