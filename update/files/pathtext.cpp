#include "pathtext.h"

Qt::CaseSensitivity PathText::caseSensitivity()
{
#ifdef Q_OS_WIN
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

bool PathText::isUnder(const QString &path, const QString &folder)
{
    if (path.isEmpty() || folder.isEmpty())
        return false;
    const Qt::CaseSensitivity cs = caseSensitivity();
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.compare(folder, cs) == 0 || path.startsWith(prefix, cs);
}
