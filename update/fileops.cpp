#include "fileops.h"

#include <QDir>
#include <QFileInfo>
#include <QThreadStorage>

#include <atomic>

#include "fileops_p.h"

namespace FileOps {

namespace {

// Qt's per-thread storage rather than a thread_local: built with MinGW, a
// thread_local that frees memory at a thread's end crashed the heap under Wine.
QThreadStorage<QString> lastFailure;
std::atomic_bool flushing{true};

} // namespace

namespace detail {

bool fail(const QString &reason)
{
    lastFailure.setLocalData(reason);
    return false;
}

bool failWithSystemError()
{
    return fail(systemError());
}

} // namespace detail

QString lastError()
{
    return lastFailure.localData();
}

bool isSameOrInside(const QString &path, const QString &folder)
{
    if (path.isEmpty() || folder.isEmpty())
        return false;
    const Qt::CaseSensitivity cs = fileNameCaseSensitivity();
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.compare(folder, cs) == 0 || path.startsWith(prefix, cs);
}

bool flushesEnabled()
{
    return flushing;
}

void setFlushesEnabled(bool enabled)
{
    flushing = enabled;
}

QString temporarySuffix()
{
    return QStringLiteral(".quillFern-new");
}

bool replaceFile(const QString &source, const QString &destination, const Progress &progress)
{
    if (!writeTemporaryCopy(source, destination, progress))
        return false;
    const QString temporary = destination + temporarySuffix();
    if (renameOver(temporary, destination))
        return true;
    const QString reason = lastError();
    removeFile(temporary);
    return detail::fail(reason);
}

bool makePath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    if (info.exists() || info.isSymLink())
        return detail::fail(QStringLiteral("a file is in the way"));
    const QString parent = info.absolutePath();
    if (parent != info.absoluteFilePath() && !makePath(parent))
        return false;
    return makeFolder(path) || QFileInfo(path).isDir();
}

} // namespace FileOps
