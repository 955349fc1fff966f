#pragma once

#include <QString>

#include <memory>

class QLockFile;

// Keeps a second updater off an installation while a run lasts: a lock file
// in the installation root, held by a live updater however long its run
// takes, and taken over when the updater that left it was killed.
class InstallationLock
{
public:
    explicit InstallationLock(const QString &installationRoot);
    ~InstallationLock();
    InstallationLock(const InstallationLock &) = delete;
    InstallationLock &operator=(const InstallationLock &) = delete;

    // False while another updater's run holds the installation. A root in
    // which no lock can be made is let through: its copy fails anyway. What
    // is no plain file in the lock's place is taken over once a few seconds old.
    bool claim();
    void release();

    // The process `pid` (an updater that started this one elevated) hands
    // its lock over: a claim waits a few seconds for it to let go.
    void setHandedOverBy(qint64 pid) { handingOver = pid; }

private:
    bool takeAwayOddLock() const;

    const QString rootPath;
    const QString path;
    std::unique_ptr<QLockFile> lock;
    qint64 handingOver = 0;
};
