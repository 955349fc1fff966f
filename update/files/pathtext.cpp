#include "pathtext.h"

#include "fileops.h"

bool PathText::isUnder(const QString &path, const QString &folder)
{
    if (path.isEmpty() || folder.isEmpty())
        return false;
    const Qt::CaseSensitivity cs = FileOps::fileNameCaseSensitivity();
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.compare(folder, cs) == 0 || path.startsWith(prefix, cs);
}
