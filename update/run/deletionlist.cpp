#include "deletionlist.h"

#include <QDomDocument>
#include <QDomNode>
#include <QDomNodeList>
#include <QFileInfo>
#include <QVector>

#include "fileops.h"
#include "installationbackup.h"
#include "installationpaths.h"
#include "package.h"
#include "pathtext.h"
#include "place.h"
#include "platform.h"

DeletionList::DeletionList(const Package &package, const QString &installationRoot,
                           const QString &applicationDir)
    : package(package)
    , rootPath(installationRoot)
    , applicationPath(applicationDir)
{}

// Why the installed file at `relative` is not the list's to remove; empty when it is.
QString DeletionList::refusal(const QString &relative) const
{
    if (InstallationBackup::isInArea(relative))
        return QStringLiteral("it is the updater's own bookkeeping");
    const QString path = QFileInfo(rootPath).canonicalFilePath() + QLatin1Char('/') + relative;
    // Both resolved by the system: a probe that failed for a moment must not lift the guard.
    const QString application = QFileInfo(applicationPath).canonicalFilePath();
    if (PathText::isUnder(path, application) && path.size() > application.size() &&
        Platform::isUpdaterRuntime(applicationPath, path.mid(application.size() + 1)))
        return QStringLiteral("the updater needs it to start");
    // Whatever name leads to it.
    if (Place::followingLastLink(path).isSame(updater))
        return QStringLiteral("the updater needs it to start");
    return QString();
}

namespace {

// Far more than any list names; a list is read whole.
constexpr qint64 MaxListBytes = 64 * 1024 * 1024;

} // namespace

DeletionOutcome DeletionList::check() const
{
    return read(nullptr, nullptr);
}

DeletionOutcome DeletionList::read(QStringList *entries, ContentAtUse *content) const
{
    DeletionOutcome result;
    const QString listPath = package.deletionList();
    QByteArray bytes;
    switch (FileOps::readPlainFile(listPath, MaxListBytes, &bytes)) {
    case FileOps::ReadResult::Missing:
        return result;
    case FileOps::ReadResult::NotPlainFile:
        result.result = DeletionOutcome::NotPlainFile;
        result.problems << Outcome::failure(QStringLiteral("read the deletion list"), listPath,
                                            QStringLiteral("it is not a plain file"));
        return result;
    case FileOps::ReadResult::TooLarge:
        result.result = DeletionOutcome::TooLarge;
        result.problems << Outcome::failure(QStringLiteral("read the deletion list"), listPath,
                                            QStringLiteral("it is larger than %1 bytes").arg(MaxListBytes));
        return result;
    case FileOps::ReadResult::Failed:
        // Another try may read it: a scanner held it, or the disk failed once.
        result.result = DeletionOutcome::CannotOpen;
        result.problems << FileOps::failure(QStringLiteral("open the deletion list"), listPath);
        return result;
    case FileOps::ReadResult::Read:
        break;
    }
    // The list is read once, and what was read is what was checked and what is applied.
    if (content) {
        const Outcome asListed = content->checkRead(listPath, Package::deletionListName(), bytes);
        if (!asListed) {
            result.result = DeletionOutcome::Differs;
            result.problems << asListed;
            return result;
        }
    }
    QDomDocument document;
    QString error;
    int line = 0;
    int column = 0;
    if (!document.setContent(bytes, &error, &line, &column)) {
        result.result = DeletionOutcome::NotXml;
        result.problems << Outcome::failure(
            QStringLiteral("read the deletion list"), listPath,
            QStringLiteral("%1 at line %2, column %3").arg(error).arg(line).arg(column));
        return result;
    }
    const QDomNode delLs = document.namedItem(QStringLiteral("DelLs"));
    if (delLs.isNull()) {
        result.result = DeletionOutcome::NoDelLs;
        result.problems << Outcome::failure(QStringLiteral("read the deletion list"), listPath,
                                            QStringLiteral("it has no top-level \"DelLs\""));
        return result;
    }
    result.result = DeletionOutcome::Readable;
    if (entries) {
        const QDomNodeList nodes = delLs.childNodes();
        for (int i = 0; i < nodes.length(); ++i)
            entries->append(nodes.at(i).toElement().text());
    }
    return result;
}

DeletionOutcome DeletionList::apply(InstallationBackup &backup)
{
    QStringList entries;
    DeletionOutcome result = read(&entries, &backup.contentAtUse());
    if (result.result != DeletionOutcome::Readable)
        return result;
    const QString listPath = package.deletionList();
    updater = Place::followingLastLink(Platform::updaterProgram(applicationPath));
    const QString canonicalRoot = QFileInfo(rootPath).canonicalFilePath();
    QVector<InstallationBackup::PlannedChange> batch;
    bool stillThere = false;
    const auto removeBatch = [&] {
        // A batch that cannot be written ahead leaves each removal to record itself.
        backup.recordAhead(batch);
        // Set aside rather than removed, so that a failed run can put it back.
        for (const InstallationBackup::PlannedChange &change : qAsConst(batch)) {
            const Outcome removed = backup.removeFile(change.relative);
            if (!removed) {
                result.problems << removed;
                // A folder is no file to remove: it is passed over, as a missing file is.
                const QFileInfo listed(rootPath + QLatin1Char('/') + change.relative);
                if (FileOps::mayExist(listed) && !FileOps::isRealFolder(listed))
                    stillThere = true;
            }
        }
        batch.clear();
    };
    for (const QString &entry : qAsConst(entries)) {
        QString relative;
        QString refused =
            InstallationPaths::removalRefusal(rootPath + QLatin1Char('/') + entry, canonicalRoot, &relative);
        if (refused.isEmpty() && relative.isEmpty())
            continue;
        if (refused.isEmpty())
            refused = refusal(relative);
        if (!refused.isEmpty()) {
            result.problems << Outcome::failure(QStringLiteral("delete"), entry, refused);
            continue;
        }
        batch.append(InstallationBackup::PlannedChange::removalOf(relative));
        if (batch.size() == InstallationBackup::RecordBatch)
            removeBatch();
    }
    removeBatch();
    // An obsolete file left beside the new version is what breaks products after updates.
    if (stillThere) {
        result.result = DeletionOutcome::Incomplete;
        return result;
    }
    result.result = DeletionOutcome::Applied;
    // A payload that lies elsewhere is only read: its list stays where it is.
    if (package.payloadLiesElsewhere())
        return result;
    // A list that cannot be set aside stays in the package, for the next run to apply again.
    const Outcome setAside = backup.setListAside(listPath);
    if (!setAside)
        result.problems << setAside;
    return result;
}
