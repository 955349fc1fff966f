#include "fileops.h"

#include <QDir>
#include <QFileInfo>

#include <string>

#include <windows.h>

#include "fileops_p.h"

namespace FileOps {

namespace detail {

Failure systemFailure()
{
    return Failure{nullptr, GetLastError()};
}

QString systemMessage(unsigned long code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                 : QStringLiteral("system error %1").arg(code);
    LocalFree(text);
    return message;
}

} // namespace detail

namespace {

using detail::fail;
using detail::failWithSystemError;

// Long paths take the "\\?\" form, as Qt's own file calls do.
std::wstring nativePath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (native.size() >= MAX_PATH - 12 && !native.startsWith(QLatin1String("\\\\?\\"))) {
        native = native.startsWith(QLatin1String("\\\\")) ? QStringLiteral("\\\\?\\UNC\\") + native.mid(2)
                                                          : QStringLiteral("\\\\?\\") + native;
    }
    return native.toStdWString();
}

} // namespace

Qt::CaseSensitivity fileNameCaseSensitivity()
{
    return Qt::CaseInsensitive;
}

bool writeTemporaryCopy(const QString &source, const QString &temporary, const Progress &progress)
{
    Q_UNUSED(progress) // the whole file at once: the caller counts it when done
    const DWORD attributes = GetFileAttributesW(nativePath(source).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return fail("the source is not a plain file");
    const std::wstring from = nativePath(source);
    const std::wstring to = nativePath(temporary);
    if (CopyFileW(from.c_str(), to.c_str(), TRUE))
        return true;
    const detail::Failure failure = detail::systemFailure();
    DeleteFileW(to.c_str());
    return fail(failure);
}

bool mayMoveInto(const QString &payloadRoot, const QString &installationRoot)
{
    const QString payload = QFileInfo(payloadRoot).canonicalFilePath();
    const QString root = QFileInfo(installationRoot).canonicalFilePath();
    return payload != root && isSameOrInside(payload, root);
}

bool renameOver(const QString &from, const QString &to)
{
    return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0 ||
           failWithSystemError();
}

bool removeFile(const QString &path)
{
    const std::wstring native = nativePath(path);
    if (DeleteFileW(native.c_str()))
        return true;
    const detail::Failure failure = detail::systemFailure();
    // A link to a folder is removed as a folder, which leaves its target alone.
    const DWORD attributes = GetFileAttributesW(native.c_str());
    const DWORD folderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & folderLink) == folderLink &&
        RemoveDirectoryW(native.c_str()))
        return true;
    return fail(failure);
}

bool makeFolder(const QString &path)
{
    return CreateDirectoryW(nativePath(path).c_str(), nullptr) != 0 || failWithSystemError();
}

bool removeFolder(const QString &path)
{
    return RemoveDirectoryW(nativePath(path).c_str()) != 0 || failWithSystemError();
}

} // namespace FileOps
