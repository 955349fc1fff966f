#pragma once

#include <QString>

// Shared by the per-system parts of FileOps.
namespace FileOps {
namespace detail {

// The system's reason for the call that has just failed on this thread, in words.
QString systemError();
// Keeps `reason` as this thread's lastError() and returns false, for `return fail(...)`.
bool fail(const QString &reason);
// Keeps the system's reason for the call that has just failed and returns false.
bool failWithSystemError();

} // namespace detail
} // namespace FileOps
