#pragma once

#include <QString>

// Shared by the per-system parts of FileOps. A thread's last failure is kept
// as plain data: a fixed reason, or the system's error code, put into words
// only when asked for.
namespace FileOps {
namespace detail {

struct Failure
{
    const char *reason = nullptr; // a fixed text, or null for the system's code
    unsigned long code = 0;
};

// The system's error for the call that has just failed on this thread.
Failure systemFailure();
// The system's words for `code`.
QString systemMessage(unsigned long code);

// Keeps `failure` as this thread's lastError() and returns false, for `return fail(...)`.
bool fail(const Failure &failure);
bool fail(const char *reason);
// Keeps the system's error for the call that has just failed and returns false.
bool failWithSystemError();
Failure lastFailure();

} // namespace detail
} // namespace FileOps
