#include "deletionlist.h"

#include <QDomDocument>
#include <QDomNode>
#include <QDomNodeList>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include "fileops.h"
#include "installationbackup.h"
#include "installationpaths.h"
#include "package.h"
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
    const QString canonicalRoot = QFileInfo(rootPath).canonicalFilePath();
    const QString application = QFileInfo(applicationPath).canonicalFilePath();
    const QString path = canonicalRoot + QLatin1Char('/') + relative;
    if (FileOps::isSameOrInside(path, application) && path.size() > application.size() &&
        Platform::isUpdaterRuntime(applicationPath, path.mid(application.size() + 1)))
        return QStringLiteral("the updater needs it to start");
    // Whatever name leads to it.
    if (Place::of(path).isSame(updater))
        return QStringLiteral("the updater needs it to start");
    return QString();
}

DeletionOutcome DeletionList::apply(InstallationBackup &backup)
{
    DeletionOutcome result;
    listLeftInPackage = false;
    const QString listPath = package.deletionList();
    if (!QFile::exists(listPath))
        return result;

    // Whether it can be set aside shows only when it is: a list that can be
    // read is applied, whether its package can be written or not.
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly)) {
        result.result = DeletionOutcome::CannotOpen;
        result.problems << Outcome::failure(QStringLiteral("open the deletion list"), listPath,
                                            list.errorString());
        // Never installed as a payload file: it stays in the package for a later run.
        listLeftInPackage = !QFileInfo(listPath).isDir();
        return result;
    }
    // The list is read once, and what was read is what was checked and what is applied.
    const QByteArray bytes = list.readAll();
    const Outcome asListed = backup.contentAtUse().checkRead(listPath, Package::deletionListName(), bytes);
    if (!asListed) {
        result.result = DeletionOutcome::Differs;
        result.problems << asListed;
        listLeftInPackage = true;
        return result;
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
        result.problems << Outcome::failure(QStringLiteral("apply the deletion list"), listPath,
                                            QStringLiteral("it has no top-level \"DelLs\""));
        return result;
    }

    const QDomNodeList entries = delLs.childNodes();
    updater = Place::of(Platform::updaterProgram(applicationPath));
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
                if (FileOps::existsOrIsLink(listed) && !FileOps::isRealFolder(listed))
                    stillThere = true;
            }
        }
        batch.clear();
    };
    for (int i = 0; i < entries.length(); ++i) {
        const QString entry = entries.at(i).toElement().text();
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
    list.close();
    // An obsolete file left beside the new version is what breaks products after updates.
    if (stillThere) {
        result.result = DeletionOutcome::Incomplete;
        listLeftInPackage = true;
        return result;
    }
    result.result = DeletionOutcome::Applied;
    // A payload that lies elsewhere is only read: its list stays where it is, and the copy leaves it out.
    if (package.payloadLiesElsewhere()) {
        listLeftInPackage = true;
        return result;
    }
    // A list that cannot be set aside stays in the package, for the next run to
    // apply again; this run's copy leaves it out.
    const Outcome setAside = backup.setListAside(listPath);
    listLeftInPackage = !setAside;
    if (!setAside)
        result.problems << setAside;
    return result;
}
