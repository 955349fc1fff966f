#include "startupentry.h"

#include <QCryptographicHash>
#include <QDir>

#include "fileops.h"
#include "package.h"

namespace {

QString installationId(const QString &installationRoot)
{
    QString root = QDir::cleanPath(QDir(installationRoot).absolutePath());
    if (FileOps::fileNameCaseSensitivity() == Qt::CaseInsensitive)
        root = root.toLower();
    return QString::fromLatin1(
        QCryptographicHash::hash(root.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
}

} // namespace

StartupEntry::StartupEntry(const QString &installationRoot)
    : id(installationId(installationRoot))
{}

Outcome StartupEntry::write(const QString &program, const Package &package)
{
    return write(program, package.givenPath());
}
