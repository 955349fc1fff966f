#pragma once

// The processes /proc lists: finding those of the calling user by name or by
// executable, signalling them and telling when they are gone. Plain C++ without
// Qt, shared by tskill and by the updater, which ends processes itself.
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ProcessTable {

// A process as found; the start time tells it from a later one under the same pid.
struct Process
{
    pid_t pid;
    unsigned long long startTime;
};

// Every process of the calling user whose name is exactly `name`, apart from
// `except`, kernel threads and this namespace's init. Nothing when /proc
// cannot be read; `error` then holds the system's message.
std::optional<std::vector<Process>> findByName(const std::string &name, pid_t except, std::string *error);

// Every process of the calling user whose executable is the file at `path`, an
// absolute path without links, as the kernel reports executables; one whose file
// was deleted or replaced since it started counts by the path it was started
// from. Exceptions and errors as findByName's.
std::optional<std::vector<Process>> findByExecutable(const std::string &path, pid_t except,
                                                     std::string *error);

// False only when the process is still there and refuses the signal; `error`
// then holds the system's message.
bool sendSignal(const Process &process, int signal, std::string *error);

// Gone: no longer listed, a different process under a reused pid, or a zombie
// waiting for its parent to collect it.
bool isGone(const Process &process);

} // namespace ProcessTable
