#include "treecopy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "place.h"

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

// The target a symbolic link holds, as written in it.
QString linkTarget(const QFileInfo &link)
{
#ifdef Q_OS_WIN
    return link.symLinkTarget();
#else
    QByteArray buffer(4096, Qt::Uninitialized);
    const ssize_t length =
        ::readlink(QFile::encodeName(link.filePath()).constData(), buffer.data(), buffer.size());
    return length < 0 ? QString() : QFile::decodeName(buffer.left(int(length)));
#endif
}

} // namespace

Outcome TreeCopy::copy(const QString &from, const QString &to)
{
    if (!QDir().mkdir(to))
        return Outcome::failure(QStringLiteral("create"), to, QStringLiteral("refused"));
    const QFileInfoList entries =
        QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString target = to + QLatin1Char('/') + entry.fileName();
        const Place place = Place::notFollowingLastLink(entry.filePath());
        if (place.linkKind() == Place::LinkKind::SymbolicLink) {
            if (!QFile::link(linkTarget(entry), target))
                return Outcome::failure(QStringLiteral("copy the link"), entry.filePath(),
                                        QStringLiteral("refused"));
        } else if (place.isPlainFolder()) {
            const Outcome copied = copy(entry.filePath(), target);
            if (!copied)
                return copied;
        } else if (place.isPlainFile()) {
            QFile file(entry.filePath());
            if (!file.copy(target))
                return Outcome::failure(QStringLiteral("copy"), entry.filePath(), file.errorString());
        }
    }
    QFile::setPermissions(to, QFileInfo(from).permissions());
    return Outcome::done();
}
