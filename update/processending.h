#pragma once

#include <QString>

#include <memory>

// Ends every process of the current user called `processName` (the
// executable's base name), this process never among them: what "tskill" does,
// for a system where it cannot be started. The processes are told to end when
// the object is made; allGone() checks, without waiting, whether they are.
class ProcessEnding
{
public:
    explicit ProcessEnding(const QString &processName);
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
    struct Private;
    std::unique_ptr<Private> d;
};
