#pragma once

#include <QString>

// What one piece of file work came to: done, or what failed, at which path,
// and the system's own reason, so that the run log can tell support exactly.
struct Outcome
{
    QString failed; // what could not be done, as a verb phrase; empty when done
    QString path;
    QString reason;

    static Outcome done() { return Outcome(); }
    static Outcome failure(const QString &failed, const QString &path, const QString &reason)
    {
        return Outcome{failed, path, reason.isEmpty() ? QStringLiteral("unknown reason") : reason};
    }

    bool ok() const { return failed.isEmpty(); }
    explicit operator bool() const { return ok(); }
    // "could not replace "/opt/app/bin/lib.so": Permission denied"
    QString text() const
    {
        return ok() ? QStringLiteral("done")
                    : QStringLiteral("could not %1 \"%2\": %3").arg(failed, path, reason);
    }
};
