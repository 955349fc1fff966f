// tskill <name>: ends every process of the calling user whose name is exactly
// <name>, asking first and forcing after a grace period, and returns only once
// all of them are gone. Exit status: 0 ended at least one, 1 none, 2 usage.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "processtable.h"

namespace {

using ProcessTable::Process;

constexpr std::chrono::milliseconds gracePeriod{2000};
constexpr long pollNanoseconds = 20 * 1000 * 1000;

void signalAll(std::vector<Process> &targets, int signal, int &failures)
{
    std::vector<Process> signalled;
    for (const auto &target : targets) {
        std::string error;
        if (ProcessTable::sendSignal(target, signal, &error)) {
            signalled.push_back(target);
            continue;
        }
        std::fprintf(stderr, "tskill: cannot end process %d: %s\n", static_cast<int>(target.pid),
                     error.c_str());
        ++failures;
    }
    targets.swap(signalled);
}

void sleepBriefly()
{
    timespec interval{0, pollNanoseconds};
    while (nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
}

// Without a deadline, waits until every target is gone.
void waitUntilGone(std::vector<Process> &targets, std::optional<std::chrono::milliseconds> limit)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        std::vector<Process> left;
        for (const auto &target : targets) {
            if (!ProcessTable::isGone(target))
                left.push_back(target);
        }
        targets.swap(left);
        if (targets.empty() || (limit && std::chrono::steady_clock::now() - start >= *limit))
            return;
        sleepBriefly();
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || argv[1][0] == '\0') {
        std::fputs("usage: tskill <process name>\n", stderr);
        return 2;
    }
    const std::string name = argv[1];

    std::string error;
    std::vector<Process> targets =
        ProcessTable::findByName(name, getpid(), &error).value_or(std::vector<Process>());
    if (!error.empty())
        std::fprintf(stderr, "tskill: cannot read /proc: %s\n", error.c_str());
    if (targets.empty()) {
        std::fprintf(stderr, "tskill: no process named %s\n", name.c_str());
        return 1;
    }
    const auto found = static_cast<int>(targets.size());
    int failures = 0;

    signalAll(targets, SIGTERM, failures);
    waitUntilGone(targets, gracePeriod);
    signalAll(targets, SIGKILL, failures);
    waitUntilGone(targets, std::nullopt);

    return failures < found ? 0 : 1;
}
