#include "installationlock.h"

#include <QDebug>
#include <QLockFile>

#include "installationbackup.h"

InstallationLock::InstallationLock(const QString &installationRoot)
    : path(installationRoot + QLatin1Char('/') + InstallationBackup::lockName())
{}

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
    if (lock->error() == QLockFile::LockFailedError) {
        qDebug() << "Another updater is updating this installation; leaving it to that one";
        qDebug() << "Its lock is held:" << path;
        return false;
    }
    qDebug() << "Could not lock the installation; going on without:" << path;
    return true;
}

void InstallationLock::release()
{
    if (lock)
        lock->unlock();
}
