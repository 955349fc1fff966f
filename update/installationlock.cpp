#include "installationlock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QLockFile>
#include <QSysInfo>

#include "installationbackup.h"

namespace {

constexpr qint64 UnnamedLockGrace = 5000;

} // namespace

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
    // A lock that names no updater (one that crashed while making it) keeps no one out;
    // a young one may be a live updater that is still writing its name into it.
    qint64 pid = 0;
    QString host;
    QString application;
    const qint64 age = QFileInfo(path).lastModified().msecsTo(QDateTime::currentDateTime());
    const bool named = lock->getLockInfo(&pid, &host, &application);
    if (lock->error() == QLockFile::LockFailedError && !named && qAbs(age) > UnnamedLockGrace) {
        qDebug() << "Taking over a lock that names no updater:" << path;
        if (lock->removeStaleLockFile() && lock->tryLock(0))
            return true;
    }
    // This process holds no lock yet, so one in its name was left before a restart
    // by an updater that happened to have the same process id. Host names know no
    // letter case (Windows writes its own in capitals).
    if (lock->error() == QLockFile::LockFailedError && named && pid == QCoreApplication::applicationPid() &&
        host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0) {
        qDebug() << "Taking over a lock left before a restart under this updater's own process id:" << path;
        if (lock->removeStaleLockFile() && lock->tryLock(0))
            return true;
    }
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
