#include "base/OutputFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

// A chain of links longer than this is a loop, as the kernel counts it.
constexpr int kMaxLinks = 40;
// How long a reader may leave the bytes unread before the write gives up.
constexpr auto kStall = std::chrono::seconds(10);

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The run's standard output or error when it is the file `st` describes, else -1.
int StandardStreamOf(const struct stat& st) {
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat own;
        if (::fstat(fd, &own) == 0 && SameFile(own, st)) return fd;
    }
    return -1;
}

// Writes everything to the non-blocking `fd`, waiting for a slow reader, but not for one
// that takes nothing for kStall, nor past a SIGINT or SIGTERM.
int WritePatiently(int fd, const std::string& bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    auto progress = std::chrono::steady_clock::now();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            progress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) return errno;
        if (InterruptRequested()) return EINTR;
        if (std::chrono::steady_clock::now() - progress > kStall) return ETIMEDOUT;
        struct pollfd ready = {fd, POLLOUT, 0};
        (void)::poll(&ready, 1, 250);
    }
    return 0;
}

// Follows the links from `name` in `dir` while each belongs to root or the effective user,
// leaving `dir` and `name` at what the chain ends in and `st` describing it.
int FollowTrustedLinks(UniqueFd& dir, std::string& name, struct stat& st) {
    for (int links = 0;; ++links) {
        if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
        if (!S_ISLNK(st.st_mode)) return 0;
        if (links == kMaxLinks) return ELOOP;
        if (!TrustedOwner(st.st_uid)) {
            char where[4096];
            const std::string self = "/proc/self/fd/" + std::to_string(dir.get());
            const ssize_t length = ::readlink(self.c_str(), where, sizeof where - 1);
            return RefuseLink(length > 0 ? std::string(where, length) + "/" + name : name,
                              st.st_uid);
        }
        char target[4096];
        const ssize_t n = ::readlinkat(dir.get(), name.c_str(), target, sizeof target - 1);
        if (n <= 0) return n < 0 ? errno : ENOENT;
        target[n] = '\0';
        // A relative target is looked up from the link's own directory.
        const std::string next = target[0] == '/'
                                     ? std::string(target)
                                     : "/proc/self/fd/" + std::to_string(dir.get()) + "/" + target;
        UniqueFd nextDir;
        std::string nextName;
        if (const int rc = OpenParent(next, nextDir, nextName)) return rc;
        dir.reset(nextDir.release());
        name = nextName;
    }
}

}  // namespace

int WriteOutputFile(const std::string& path, const std::string& bytes, mode_t mode) {
    UniqueFd dir;
    std::string name;
    if (OpenParent(path, dir, name) != 0) return ReplaceFile(path, bytes, mode);
    struct stat st;
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISREG(st.st_mode) ||
        S_ISDIR(st.st_mode) || !TrustedOwner(st.st_uid))
        return ReplaceFile(path, bytes, mode);
    if (S_ISLNK(st.st_mode)) {
        // Looked at without opening anything: /dev/stdout leads to the run's own output.
        const UniqueFd target(::openat(dir.get(), name.c_str(), O_PATH | O_CLOEXEC));
        struct stat end;
        const int stream =
            target.get() >= 0 && ::fstat(target.get(), &end) == 0 ? StandardStreamOf(end) : -1;
        if (stream >= 0) {
            std::fflush(stream == STDOUT_FILENO ? stdout : stderr);
            return WriteAll(stream, bytes) ? 0 : errno;
        }
        if (const int rc = FollowTrustedLinks(dir, name, st)) return rc;
    }
    int fd;
    do {
        fd = ::openat(dir.get(), name.c_str(),
                      O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    UniqueFd file(fd);
    struct stat opened;
    if (::fstat(fd, &opened) != 0) return errno;
    if (!SameFile(opened, st)) return EBUSY;
    if (S_ISREG(opened.st_mode)) {
        // A file with more names could be another user's way to a file of root's.
        if (opened.st_nlink != 1) return EINVAL;
        if (::ftruncate(fd, 0) != 0) return errno;
    }
    if (const int rc = WritePatiently(fd, bytes)) return rc;
    return file.close() != 0 ? errno : 0;
}

}  // namespace UpdateNew
