#include "installationlock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSysInfo>

#include "backuparea.h"
#include "fileops.h"
#include "installationbackup.h"
#include "logcategories.h"
#include "place.h"

namespace {

constexpr qint64 UnnamedLockGrace = 5000;
// How long an updater started elevated waits for its launcher to let the lock go.
constexpr int HandOverWait = 10000;

} // namespace

InstallationLock::InstallationLock(const QString &installationRoot)
    : rootPath(installationRoot)
    , path(installationRoot + QLatin1Char('/') + InstallationBackup::lockName())
{}

// A link goes as a link, whatever it leads to; a folder into the trash, whole.
// Between the look at it and its removal another updater may have taken the
// odd entry over and made its own lock there: so the entry is renamed aside
// first and looked at again, as QLockFile takes over a stale lock. A plain
// file or a young entry found aside is that updater's, and goes back.
bool InstallationLock::takeAwayOddLock() const
{
    const QString aside = path + QStringLiteral(".taken-%1")
                                     .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    if (!FileOps::renameOver(path, aside)) {
        qCDebug(lcLock).noquote() << FileOps::failure(QStringLiteral("take over the lock"), path).text();
        return false;
    }
    const Place taken = Place::notFollowingLastLink(aside);
    const qint64 age = FileOps::modifiedItself(aside).msecsTo(QDateTime::currentDateTime());
    if ((!taken.isLink() && taken.isPlainFile()) || qAbs(age) <= UnnamedLockGrace) {
        qCDebug(lcLock) << "Another updater took the lock over meanwhile; leaving it to that one:"
                            << path;
        // Put back only where nothing took its place meanwhile, which it would replace.
        if (!FileOps::existsOrIsLink(QFileInfo(path)))
            FileOps::renameOver(aside, path);
        return false;
    }
    const bool thrown = FileOps::isRealFolder(QFileInfo(aside)) ? BackupArea(rootPath).throwAway(aside)
                                                                : FileOps::removeFile(aside);
    if (!thrown)
        qCDebug(lcLock).noquote() << FileOps::failure(QStringLiteral("take over the lock"), aside).text();
    // The lock's place is free either way: what is left aside keeps no one out.
    return true;
}

InstallationLock::~InstallationLock() = default;

bool InstallationLock::claim()
{
    if (lock && lock->isLocked())
        return true;
    lock = std::make_unique<QLockFile>(path);
    // A live updater keeps the installation however long its run takes.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0))
        return true;
    qint64 holder = 0;
    if (handingOver > 0 && lock->getLockInfo(&holder, nullptr, nullptr) && holder == handingOver &&
        lock->tryLock(HandOverWait))
        return true;
    // A lock that names no updater (one that crashed while making it) keeps no one out;
    // a young one may be a live updater that is still writing its name into it.
    qint64 pid = 0;
    QString host;
    QString application;
    const qint64 age = FileOps::modifiedItself(path).msecsTo(QDateTime::currentDateTime());
    // QLockFile makes plain files only: a link, even one that leads nowhere, a
    // folder or a pipe is no updater's lock, whatever it may lead to.
    if (lock->error() == QLockFile::LockFailedError && !Place::notFollowingLastLink(path).isPlainFile() &&
        qAbs(age) > UnnamedLockGrace) {
        qCDebug(lcLockTakenOver) << "Taking over a lock that is no plain file:" << path;
        if (takeAwayOddLock() && lock->tryLock(0))
            return true;
    }
    const bool named = lock->getLockInfo(&pid, &host, &application);
    if (lock->error() == QLockFile::LockFailedError && !named && qAbs(age) > UnnamedLockGrace) {
        qCDebug(lcLockTakenOver) << "Taking over a lock that names no updater:" << path;
        if (lock->removeStaleLockFile() && lock->tryLock(0))
            return true;
    }
    // This process holds no lock yet, so one in its name was left before a restart
    // by an updater that happened to have the same process id. Host names know no
    // letter case (Windows writes its own in capitals).
    if (lock->error() == QLockFile::LockFailedError && named && pid == QCoreApplication::applicationPid() &&
        host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0) {
        qCDebug(lcLockTakenOver)
            << "Taking over a lock left before a restart under this updater's own process id:" << path;
        if (lock->removeStaleLockFile() && lock->tryLock(0))
            return true;
    }
    if (lock->error() == QLockFile::LockFailedError) {
        qCDebug(lcLockBusy).noquote() << QStringLiteral("Another updater holds the lock \"%1\" and is updating "
                                                        "this installation; leaving it to that one")
                                             .arg(path);
        return false;
    }
    qCDebug(lcLock) << "Could not lock the installation; going on without:" << path;
    return true;
}

void InstallationLock::release()
{
    if (lock)
        lock->unlock();
}
