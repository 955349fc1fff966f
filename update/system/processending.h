#pragma once

#include <QString>

#include <memory>

// Ends processes of the current user, this process never among them: those
// called one name, as "tskill" does, for a system where it cannot be started,
// or those running one executable file, which a name cannot tell apart from
// another installation's. The processes are told to end when the object is
// made; allGone() checks, without waiting, whether they are.
class ProcessEnding
{
public:
    // Every process called `processName` (the executable's base name).
    static std::unique_ptr<ProcessEnding> endByName(const QString &processName);
    // Every process whose executable is the file `program`: on Windows known by
    // its file identity, whatever name started it; elsewhere by the path the
    // kernel reports, links resolved.
    static std::unique_ptr<ProcessEnding> endByExecutable(const QString &program);
    // Never ends the process `pid` from now on, as it never ends this one:
    // the updater that started this one elevated waits for it, to start the
    // product as its own user afterwards.
    static void spare(qint64 pid);
    static qint64 spared();

    ~ProcessEnding();
    ProcessEnding(const ProcessEnding &) = delete;
    ProcessEnding &operator=(const ProcessEnding &) = delete;

    // False when the system's process list could not be read: nothing was ended.
    bool listed() const;
    // How many processes were told to end.
    int ending() const;
    // True once every process told to end is gone. Those that ignore being
    // asked are forced after a grace period, where the system asks first.
    bool allGone();
    // Why the list could not be read, or which processes refused to end; empty otherwise.
    QString problem() const;

private:
    ProcessEnding();

    struct Private;
    std::unique_ptr<Private> d;
};
