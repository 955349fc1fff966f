// faultfs: a FUSE passthrough of a backing folder that makes a chosen call fail.
//
//   faultfs --backing=DIR [--fail-at=N] [--errno=EIO|ENOSPC|EACCES|EROFS] [--mode=once|persist]
//           [--log=FILE] [--watch=FILE --gaps=FILE] [--count-reads-of=NAME]
//           MOUNTPOINT [FUSE options, e.g. -f -s]
//
// It numbers, from 1, every call that changes something or opens a file to
// change it, in the order the file system receives them:
//
//   create mknod mkdir symlink link        something made
//   unlink rmdir rename                    something removed or moved
//   open                                   only with write access or O_TRUNC
//   write fallocate truncate               contents (truncate covers ftruncate)
//   chmod chown utimens                    attributes
//   fsync fsyncdir                         every flush to the disk
//   flush                                  the close of a handle that was written
//
// Reads, look-ups, listings and read-only opens are passed through uncounted,
// except those of files named --count-reads-of (a last name, such as a list
// the run reads), whose read-only opens and reads are numbered too, as "open"
// and "read".
// Call number N (with --fail-at=N, N > 0) fails with the chosen error number
// before it reaches the backing folder, so a failed call changes nothing.
// --mode=once fails that call only (a passing fault); --mode=persist fails it
// and every counted call after it (a disk gone bad). Without --fail-at, or
// with 0, it only counts.
//
// --log appends one line per counted call as it comes, "<n> <op> <path>[ <path>]",
// with " failed" on the calls it failed: its last line holds the count.
//
// --watch names a file of paths relative to the mount point, one a line.
// After every unlink, rmdir and rename, failed or not, it checks in the
// backing folder that each of them is there, as a file or a link; each one
// found missing where it was there at the check before is appended to the
// --gaps file as "<n> <op> <path>". A path missing at the mount is reported
// as "0 mount <path>".
//
// Inode numbers are the backing folder's (use_ino). Mounted without
// allow_other, only the user who mounts it (root, in the tests) can use it;
// without default_permissions the kernel checks no permissions itself, and
// every call reaches the backing folder as that user, who decides.

#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

struct Settings
{
    std::string backing;
    uint64_t failAt = 0;
    int failErrno = EIO;
    bool persist = false;
    std::string log;
    std::string watch;
    std::string gaps;
    std::string countReadsOf;
};

struct State
{
    Settings settings;
    int backingFd = -1;
    int logFd = -1;
    int gapsFd = -1;
    uint64_t calls = 0;
    std::vector<std::string> watched;
    std::vector<bool> present;
    // Handles that were written to, by descriptor: their flush is counted.
    std::vector<bool> written;
    std::mutex mutex;
};

State state;

// The path below the backing folder: "." for the mount point itself.
const char *relative(const char *path)
{
    if (path == nullptr)
        return nullptr;
    while (*path == '/')
        ++path;
    return *path == '\0' ? "." : path;
}

void writeAll(int fd, const std::string &text)
{
    if (fd < 0)
        return;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

bool exists(const std::string &path)
{
    struct stat st;
    if (::fstatat(state.backingFd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
}

// Under the mutex: notes each watched path that went missing since the last check.
void checkWatched(uint64_t call, const char *op)
{
    for (size_t i = 0; i < state.watched.size(); ++i) {
        const bool now = exists(state.watched[i]);
        if (state.present[i] && !now)
            writeAll(state.gapsFd, std::to_string(call) + ' ' + op + ' ' + state.watched[i] + '\n');
        state.present[i] = now;
    }
}

// Numbers a counted call; 0 when it may go ahead, or the negated error number it fails with.
// `number` receives the call's number.
int counted(const char *op, const char *path, const char *to = nullptr, uint64_t *number = nullptr)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    const uint64_t n = ++state.calls;
    if (number)
        *number = n;
    const Settings &s = state.settings;
    const bool fail = s.failAt > 0 && (n == s.failAt || (s.persist && n > s.failAt));
    std::string line = std::to_string(n) + ' ' + op + ' ' + (path ? path : "-");
    if (to)
        line += std::string(" ") + to;
    if (fail)
        line += " failed";
    writeAll(state.logFd, line + '\n');
    return fail ? -s.failErrno : 0;
}

// After a call that may have removed or moved something.
int watched(uint64_t call, const char *op, int result)
{
    if (!state.watched.empty()) {
        std::lock_guard<std::mutex> lock(state.mutex);
        checkWatched(call, op);
    }
    return result;
}

int result(int status)
{
    return status < 0 ? -errno : status;
}

void markWritten(uint64_t fh, bool value)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    if (fh >= state.written.size())
        state.written.resize(fh + 1, false);
    state.written[fh] = value;
}

bool wasWritten(uint64_t fh)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    return fh < state.written.size() && state.written[fh];
}

void *fsInit(struct fuse_conn_info *, struct fuse_config *config)
{
    config->use_ino = 1;
    config->readdir_ino = 1;
    // Passed through by handle: an open file that is removed goes at once, never renamed to .fuse_hidden*.
    config->hard_remove = 1;
    return nullptr;
}

int fsGetattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    if (fi)
        return result(::fstat(int(fi->fh), st));
    return result(::fstatat(state.backingFd, relative(path), st, AT_SYMLINK_NOFOLLOW));
}

int fsAccess(const char *path, int mask)
{
    return result(::faccessat(state.backingFd, relative(path), mask, 0));
}

int fsReadlink(const char *path, char *buffer, size_t size)
{
    if (size == 0)
        return -EINVAL;
    const ssize_t n = ::readlinkat(state.backingFd, relative(path), buffer, size - 1);
    if (n < 0)
        return -errno;
    buffer[n] = '\0';
    return 0;
}

int fsOpendir(const char *path, struct fuse_file_info *fi)
{
    const int fd = ::openat(state.backingFd, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    fi->fh = uint64_t(reinterpret_cast<uintptr_t>(dir));
    return 0;
}

DIR *dirOf(struct fuse_file_info *fi)
{
    return reinterpret_cast<DIR *>(uintptr_t(fi->fh));
}

// The whole listing at once, at offset 0.
int fsReaddir(const char *, void *buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info *fi,
              enum fuse_readdir_flags)
{
    DIR *dir = dirOf(fi);
    ::rewinddir(dir);
    errno = 0;
    while (struct dirent *entry = ::readdir(dir)) {
        struct stat st;
        std::memset(&st, 0, sizeof st);
        st.st_ino = entry->d_ino;
        st.st_mode = mode_t(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &st, 0, fuse_fill_dir_flags(0)) != 0)
            break;
    }
    return -errno;
}

int fsReleasedir(const char *, struct fuse_file_info *fi)
{
    ::closedir(dirOf(fi));
    return 0;
}

int fsFsyncdir(const char *path, int datasync, struct fuse_file_info *fi)
{
    if (const int fault = counted("fsyncdir", path))
        return fault;
    const int fd = ::dirfd(dirOf(fi));
    return result(datasync ? ::fdatasync(fd) : ::fsync(fd));
}

int fsMknod(const char *path, mode_t mode, dev_t device)
{
    if (const int fault = counted("mknod", path))
        return fault;
    return result(::mknodat(state.backingFd, relative(path), mode, device));
}

int fsMkdir(const char *path, mode_t mode)
{
    if (const int fault = counted("mkdir", path))
        return fault;
    return result(::mkdirat(state.backingFd, relative(path), mode));
}

int fsUnlink(const char *path)
{
    uint64_t n = 0;
    if (const int fault = counted("unlink", path, nullptr, &n))
        return watched(n, "unlink", fault);
    return watched(n, "unlink", result(::unlinkat(state.backingFd, relative(path), 0)));
}

int fsRmdir(const char *path)
{
    uint64_t n = 0;
    if (const int fault = counted("rmdir", path, nullptr, &n))
        return watched(n, "rmdir", fault);
    return watched(n, "rmdir", result(::unlinkat(state.backingFd, relative(path), AT_REMOVEDIR)));
}

int fsSymlink(const char *target, const char *path)
{
    if (const int fault = counted("symlink", path))
        return fault;
    return result(::symlinkat(target, state.backingFd, relative(path)));
}

int fsRename(const char *from, const char *to, unsigned int flags)
{
    uint64_t n = 0;
    if (const int fault = counted("rename", from, to, &n))
        return watched(n, "rename", fault);
    return watched(
        n, "rename",
        result(::renameat2(state.backingFd, relative(from), state.backingFd, relative(to), flags)));
}

int fsLink(const char *from, const char *to)
{
    if (const int fault = counted("link", from, to))
        return fault;
    return result(::linkat(state.backingFd, relative(from), state.backingFd, relative(to), 0));
}

int fsChmod(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    if (const int fault = counted("chmod", path))
        return fault;
    if (fi)
        return result(::fchmod(int(fi->fh), mode));
    return result(::fchmodat(state.backingFd, relative(path), mode, 0));
}

int fsChown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi)
{
    if (const int fault = counted("chown", path))
        return fault;
    if (fi)
        return result(::fchown(int(fi->fh), uid, gid));
    return result(::fchownat(state.backingFd, relative(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int fsTruncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    if (const int fault = counted("truncate", path))
        return fault;
    if (fi)
        return result(::ftruncate(int(fi->fh), size));
    const int fd = ::openat(state.backingFd, relative(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int status = result(::ftruncate(fd, size));
    ::close(fd);
    return status;
}

int fsUtimens(const char *path, const struct timespec times[2], struct fuse_file_info *fi)
{
    if (const int fault = counted("utimens", path))
        return fault;
    if (fi)
        return result(::futimens(int(fi->fh), times));
    return result(::utimensat(state.backingFd, relative(path), times, AT_SYMLINK_NOFOLLOW));
}

// Whether the reads of the file at `path` are counted.
bool readsCounted(const char *path)
{
    const std::string &name = state.settings.countReadsOf;
    if (name.empty() || path == nullptr)
        return false;
    const char *last = std::strrchr(path, '/');
    return name == (last ? last + 1 : path);
}

int fsOpen(const char *path, struct fuse_file_info *fi)
{
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0 || readsCounted(path)) {
        if (const int fault = counted("open", path))
            return fault;
    }
    const int fd = ::openat(state.backingFd, relative(path), fi->flags | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    fi->fh = uint64_t(fd);
    markWritten(fi->fh, false);
    return 0;
}

int fsCreate(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    if (const int fault = counted("create", path))
        return fault;
    const int fd = ::openat(state.backingFd, relative(path), fi->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return -errno;
    fi->fh = uint64_t(fd);
    markWritten(fi->fh, false);
    return 0;
}

int fsRead(const char *path, char *buffer, size_t size, off_t offset, struct fuse_file_info *fi)
{
    if (readsCounted(path)) {
        if (const int fault = counted("read", path))
            return fault;
    }
    const ssize_t n = ::pread(int(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : int(n);
}

int fsWrite(const char *path, const char *buffer, size_t size, off_t offset, struct fuse_file_info *fi)
{
    if (const int fault = counted("write", path))
        return fault;
    markWritten(fi->fh, true);
    const ssize_t n = ::pwrite(int(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : int(n);
}

int fsStatfs(const char *, struct statvfs *st)
{
    return result(::fstatvfs(state.backingFd, st));
}

// Called at every close of a descriptor of the handle.
int fsFlush(const char *path, struct fuse_file_info *fi)
{
    if (wasWritten(fi->fh)) {
        if (const int fault = counted("flush", path))
            return fault;
    }
    const int copy = ::dup(int(fi->fh));
    if (copy < 0)
        return -errno;
    return result(::close(copy));
}

int fsRelease(const char *, struct fuse_file_info *fi)
{
    markWritten(fi->fh, false);
    ::close(int(fi->fh));
    return 0;
}

int fsFsync(const char *path, int datasync, struct fuse_file_info *fi)
{
    if (const int fault = counted("fsync", path))
        return fault;
    const int fd = int(fi->fh);
    return result(datasync ? ::fdatasync(fd) : ::fsync(fd));
}

int fsFallocate(const char *path, int mode, off_t offset, off_t length, struct fuse_file_info *fi)
{
    if (const int fault = counted("fallocate", path))
        return fault;
    markWritten(fi->fh, true);
    return result(::fallocate(int(fi->fh), mode, offset, length));
}

struct fuse_operations operations()
{
    struct fuse_operations ops;
    std::memset(&ops, 0, sizeof ops);
    ops.init = fsInit;
    ops.getattr = fsGetattr;
    ops.access = fsAccess;
    ops.readlink = fsReadlink;
    ops.opendir = fsOpendir;
    ops.readdir = fsReaddir;
    ops.releasedir = fsReleasedir;
    ops.fsyncdir = fsFsyncdir;
    ops.mknod = fsMknod;
    ops.mkdir = fsMkdir;
    ops.unlink = fsUnlink;
    ops.rmdir = fsRmdir;
    ops.symlink = fsSymlink;
    ops.rename = fsRename;
    ops.link = fsLink;
    ops.chmod = fsChmod;
    ops.chown = fsChown;
    ops.truncate = fsTruncate;
    ops.utimens = fsUtimens;
    ops.open = fsOpen;
    ops.create = fsCreate;
    ops.read = fsRead;
    ops.write = fsWrite;
    ops.statfs = fsStatfs;
    ops.flush = fsFlush;
    ops.release = fsRelease;
    ops.fsync = fsFsync;
    ops.fallocate = fsFallocate;
    return ops;
}

bool takeOption(const char *argument, const char *name, std::string *value)
{
    const size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0 || argument[length] != '=')
        return false;
    *value = argument + length + 1;
    return true;
}

bool parseErrno(const std::string &name, int *error)
{
    static const struct
    {
        const char *name;
        int value;
    } known[] = {{"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EROFS", EROFS}};
    for (const auto &entry : known) {
        if (name == entry.name) {
            *error = entry.value;
            return true;
        }
    }
    return false;
}

int usage(const char *program, const std::string &problem)
{
    std::fprintf(stderr,
                 "%s: %s\nusage: %s --backing=DIR [--fail-at=N] [--errno=EIO|ENOSPC|EACCES|EROFS]"
                 " [--mode=once|persist] [--log=FILE] [--watch=FILE --gaps=FILE] [--count-reads-of=NAME]"
                 " MOUNTPOINT [FUSE options]\n",
                 program, problem.c_str(), program);
    return 2;
}

bool readWatchList(const std::string &file)
{
    FILE *list = std::fopen(file.c_str(), "re");
    if (!list)
        return false;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = ::getline(&line, &capacity, list)) >= 0) {
        std::string path(line, size_t(length));
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
            path.pop_back();
        if (!path.empty())
            state.watched.push_back(path);
    }
    std::free(line);
    std::fclose(list);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    Settings &s = state.settings;
    std::vector<char *> fuseArguments{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string value;
        if (takeOption(argv[i], "--backing", &s.backing) || takeOption(argv[i], "--log", &s.log) ||
            takeOption(argv[i], "--watch", &s.watch) || takeOption(argv[i], "--gaps", &s.gaps) ||
            takeOption(argv[i], "--count-reads-of", &s.countReadsOf))
            continue;
        if (takeOption(argv[i], "--fail-at", &value)) {
            char *end = nullptr;
            errno = 0;
            s.failAt = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0)
                return usage(argv[0], "--fail-at takes a call number");
            continue;
        }
        if (takeOption(argv[i], "--errno", &value)) {
            if (!parseErrno(value, &s.failErrno))
                return usage(argv[0], "unknown error number name " + value);
            continue;
        }
        if (takeOption(argv[i], "--mode", &value)) {
            if (value != "once" && value != "persist")
                return usage(argv[0], "--mode is once or persist");
            s.persist = value == "persist";
            continue;
        }
        fuseArguments.push_back(argv[i]);
    }
    if (s.backing.empty())
        return usage(argv[0], "no --backing folder");
    if (s.watch.empty() != s.gaps.empty())
        return usage(argv[0], "--watch and --gaps go together");

    state.backingFd = ::open(s.backing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (state.backingFd < 0) {
        std::perror(s.backing.c_str());
        return 1;
    }
    if (!s.log.empty()) {
        state.logFd = ::open(s.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (state.logFd < 0) {
            std::perror(s.log.c_str());
            return 1;
        }
    }
    if (!s.watch.empty()) {
        if (!readWatchList(s.watch)) {
            std::perror(s.watch.c_str());
            return 1;
        }
        state.gapsFd = ::open(s.gaps.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (state.gapsFd < 0) {
            std::perror(s.gaps.c_str());
            return 1;
        }
        state.present.assign(state.watched.size(), true);
        checkWatched(0, "mount");
    }

    const struct fuse_operations ops = operations();
    fuseArguments.push_back(nullptr);
    const int status = fuse_main(int(fuseArguments.size() - 1), fuseArguments.data(), &ops, nullptr);
    ::close(state.backingFd);
    return status;
}
