#include "processtable.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace ProcessTable {

namespace {

// The kernel keeps at most this many bytes of a process name in comm.
constexpr std::size_t commLength = 15;
constexpr unsigned long kernelThreadFlag = 0x00200000;

struct ProcessStat
{
    char state;
    unsigned long flags;
    unsigned long long startTime;
};

std::optional<std::string> readFile(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            close(fd);
            return std::nullopt;
        }
        if (count == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(count));
    }
    close(fd);
    return content;
}

std::string procPath(pid_t pid, const char *entry)
{
    return "/proc/" + std::to_string(pid) + '/' + entry;
}

bool isNumber(const char *text)
{
    if (*text == '\0')
        return false;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return false;
    }
    return true;
}

std::string baseName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::optional<ProcessStat> readStat(const std::string &path)
{
    const auto content = readFile(path);
    if (!content)
        return std::nullopt;
    // The name in parentheses may itself hold spaces and parentheses.
    const auto nameEnd = content->rfind(')');
    if (nameEnd == std::string::npos)
        return std::nullopt;
    std::vector<std::string> fields; // fields[0] is the state, the stat file's third field
    std::size_t at = nameEnd + 1;
    while (at < content->size()) {
        const auto start = content->find_first_not_of(" \n", at);
        if (start == std::string::npos)
            break;
        const auto end = content->find_first_of(" \n", start);
        fields.push_back(content->substr(start, end - start));
        at = end;
    }
    if (fields.size() < 20)
        return std::nullopt;
    return ProcessStat{fields[0][0], std::strtoul(fields[6].c_str(), nullptr, 10),
                       std::strtoull(fields[19].c_str(), nullptr, 10)};
}

std::optional<uid_t> readRealUid(pid_t pid)
{
    const auto status = readFile(procPath(pid, "status"));
    if (!status)
        return std::nullopt;
    const auto at = status->find("\nUid:");
    if (at == std::string::npos)
        return std::nullopt;
    return static_cast<uid_t>(std::strtoul(status->c_str() + at + 5, nullptr, 10));
}

// The executable's path as the kernel reports it, without the mark of a file deleted since.
std::optional<std::string> executablePath(pid_t pid)
{
    char link[PATH_MAX];
    const ssize_t length = readlink(procPath(pid, "exe").c_str(), link, sizeof link);
    if (length <= 0)
        return std::nullopt;
    std::string executable(link, static_cast<std::size_t>(length));
    const std::string deleted = " (deleted)";
    if (executable.size() > deleted.size() &&
        executable.compare(executable.size() - deleted.size(), deleted.size(), deleted) == 0)
        executable.resize(executable.size() - deleted.size());
    return executable;
}

// A 15-byte comm may be the start of a longer name: the full name is the first of
// the executable and the arguments (a script's path follows its interpreter) that
// continues it.
std::string fullName(pid_t pid, const std::string &comm)
{
    std::vector<std::string> candidates;
    if (const auto executable = executablePath(pid))
        candidates.push_back(baseName(*executable));
    if (const auto commandLine = readFile(procPath(pid, "cmdline"))) {
        std::size_t at = 0;
        while (at < commandLine->size()) {
            const auto end = std::min(commandLine->find('\0', at), commandLine->size());
            candidates.push_back(baseName(commandLine->substr(at, end - at)));
            at = end + 1;
        }
    }
    for (const auto &candidate : candidates) {
        if (startsWith(candidate, comm))
            return candidate;
    }
    return comm;
}

bool hasName(pid_t pid, const std::string &name)
{
    auto comm = readFile(procPath(pid, "comm"));
    if (!comm)
        return false;
    if (!comm->empty() && comm->back() == '\n')
        comm->pop_back();
    if (comm->size() < commLength)
        return *comm == name;
    if (name.size() < comm->size() || !startsWith(name, *comm))
        return false;
    return fullName(pid, *comm) == name;
}

bool isDead(char state)
{
    return state == 'Z' || state == 'X';
}

// A leader that exited before its other threads shows as a zombie while they run on.
bool hasLiveThread(pid_t pid)
{
    DIR *tasks = opendir(procPath(pid, "task").c_str());
    if (!tasks)
        return false;
    bool live = false;
    while (const dirent *entry = readdir(tasks)) {
        if (!isNumber(entry->d_name))
            continue;
        const auto stat = readStat(procPath(pid, "task/") + entry->d_name + "/stat");
        if (stat && !isDead(stat->state)) {
            live = true;
            break;
        }
    }
    closedir(tasks);
    return live;
}

} // namespace

// Gone: no longer listed, a different process under a reused pid, or a zombie
// waiting for its parent to collect it.
bool isGone(const Process &target)
{
    const auto stat = readStat(procPath(target.pid, "stat"));
    if (!stat || stat->startTime != target.startTime)
        return true;
    return isDead(stat->state) && !hasLiveThread(target.pid);
}

namespace {

// Every process of the calling user that `matches`, apart from `except`, kernel threads and
// this namespace's init.
template <typename Matches>
std::optional<std::vector<Process>> findMatching(Matches matches, pid_t except, std::string *error)
{
    DIR *proc = opendir("/proc");
    if (!proc) {
        if (error)
            *error = std::strerror(errno);
        return std::nullopt;
    }
    std::vector<Process> found;
    const uid_t user = getuid();
    while (const dirent *entry = readdir(proc)) {
        if (!isNumber(entry->d_name))
            continue;
        const auto pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        // Signals cannot end kernel threads or this namespace's init; waiting for them would never end.
        if (pid == except || pid == 1)
            continue;
        const auto before = readStat(procPath(pid, "stat"));
        if (!before || (before->flags & kernelThreadFlag))
            continue;
        if (!matches(pid) || readRealUid(pid) != user)
            continue;
        const Process process{pid, before->startTime};
        // Read again so the remembered start time belongs to the process that matched.
        if (!isGone(process))
            found.push_back(process);
    }
    closedir(proc);
    return found;
}

} // namespace

std::optional<std::vector<Process>> findByName(const std::string &name, pid_t except, std::string *error)
{
    return findMatching([&name](pid_t pid) { return hasName(pid, name); }, except, error);
}

std::optional<std::vector<Process>> findByExecutable(const std::string &path, pid_t except,
                                                     std::string *error)
{
    return findMatching([&path](pid_t pid) { return executablePath(pid) == path; }, except, error);
}

bool sendSignal(const Process &process, int signal, std::string *error)
{
    if (isGone(process))
        return true;
    if (kill(process.pid, signal) == 0 || errno == ESRCH)
        return true;
    if (error)
        *error = std::strerror(errno);
    return false;
}

} // namespace ProcessTable
