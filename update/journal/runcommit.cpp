#include "runcommit.h"

#include <QFileInfo>
#include <QSet>

#include "backuparea.h"
#include "fileops.h"
#include "flushqueue.h"
#include "journal.h"
#include "logcategories.h"
#include "place.h"

RunCommit::RunCommit(BackupArea &area)
    : area(area)
{}

Outcome RunCommit::commit()
{
    // An area the system could not tell is there holds a journal that would roll the run back later.
    const Place found = Place::notFollowingLastLink(area.path());
    if (!found.isPlainFolder()) {
        return found.unknownBecause() == 0
                   ? Outcome::done()
                   : Outcome::failure(QStringLiteral("find the backup area"), area.path(),
                                      FileOps::systemError(found.unknownBecause()));
    }
    const QString journal = area.journalPath();
    if (QFileInfo::exists(journal)) {
        const Outcome flushed = flushChangesOfRun();
        if (!flushed)
            return flushed;
        if (!FileOps::removeFile(journal))
            return Outcome::failure(QStringLiteral("remove the journal"), journal, FileOps::lastError());
        // Once the package goes, a journal that came back after a power cut would undo what cannot be redone.
        if (!FileOps::flushFolder(area.path()))
            qCDebug(lcJournal).noquote()
                << "The journal's removal may not outlast a power cut:"
                << Outcome::failure(QStringLiteral("flush the folder"), area.path(), FileOps::lastError())
                       .text();
    }
    // Committed all the same: the next run moves an area without a journal aside before it changes anything.
    const Outcome trashed = area.moveToTrash();
    if (!trashed)
        qCDebug(lcJournal).noquote() << "The committed run's backup area stays where it is:"
                                     << trashed.text();
    return Outcome::done();
}

// Everything the journal says the run put in place, and every folder whose
// entries it changed, goes to disk: the new version outlasts a power cut
// from the commit on.
Outcome RunCommit::flushChangesOfRun()
{
    // One call for the bulk of the data where the file system takes it; each file's flush then costs little.
    FileOps::startFlushingFileSystem(area.root());
    FlushQueue flushes;
    QSet<QString> folders;
    const Outcome read = Journal::readNewestFirst(area.journalPath(), [&](const JournalRecord &record) {
        const QString path = area.root() + QLatin1Char('/') + record.path;
        switch (record.kind) {
        case JournalRecord::MovedAside:
            // Removed, or replaced by a move whose own record names it: nothing of the run's need be there.
            folders.insert(FileOps::folderOf(path));
            if (record.extra.isEmpty())
                break;
            flushes.addFile(path); // replaced by a copy, which the run put there
            break;
        case JournalRecord::CreatedFile:
        case JournalRecord::TemporaryFile:
        case JournalRecord::MovedIn:
            flushes.addFile(path);
            folders.insert(FileOps::folderOf(path));
            break;
        case JournalRecord::CreatedFolder:
            folders.insert(path);
            folders.insert(FileOps::folderOf(path));
            break;
        default:
            break; // the deletion list went into the area, which is thrown away
        }
    });
    for (const QString &folder : qAsConst(folders))
        flushes.addFolder(folder);
    const Outcome flushed = flushes.finish();
    return read ? flushed : read;
}
