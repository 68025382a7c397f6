#include "base/OutputFile.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "base/Interrupts.h"
#include "base/SafeFile.h"

namespace UpdateNew {

namespace {

// How long a reader may leave the bytes unread before the write gives up.
constexpr auto kStall = std::chrono::seconds(10);

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The run's own descriptor `name` (its number, as /proc/self/fd lists it) in `fd`, when
// the run was given it: its standard output or error, or one that a shell passed on (the
// only ones without close-on-exec: every file the updater opens has it). A descriptor of
// the updater's own, such as its log, is no output (EBADF).
int GivenDescriptor(const std::string& name, int& fd) {
    char* end = nullptr;
    const long number = std::strtol(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || number < STDOUT_FILENO || number > INT_MAX) return EBADF;
    fd = static_cast<int>(number);
    if (fd == STDOUT_FILENO || fd == STDERR_FILENO) return 0;
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0 ? 0 : EBADF;
}

// Whether `st` is a device: only root makes one, and another user's (a terminal of theirs)
// is not replaced either.
bool IsDevice(const struct stat& st) {
    return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
}

// Writes everything to `fd`, waiting for a slow reader, but not for one that takes nothing
// for kStall, nor past a SIGINT or SIGTERM. A descriptor that blocks is written no more
// than a pipe takes at once after it polled ready, so no write waits.
int WritePatiently(int fd, const std::string& bytes) {
    const int flags = ::fcntl(fd, F_GETFL);
    const size_t piece = flags >= 0 && (flags & O_NONBLOCK) != 0 ? size_t{1} << 16 : PIPE_BUF;
    const char* p = bytes.data();
    size_t left = bytes.size();
    auto progress = std::chrono::steady_clock::now();
    while (left > 0) {
        struct pollfd ready = {fd, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, 250);
        if (polled < 0 && errno != EINTR) return errno;
        if (InterruptRequested()) return EINTR;
        if (polled > 0 && (ready.revents & POLLNVAL) != 0) return EBADF;
        const ssize_t n = polled > 0 ? ::write(fd, p, std::min(left, piece)) : 0;
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            progress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) return errno;
        if (std::chrono::steady_clock::now() - progress > kStall) return kReaderStalled;
    }
    return 0;
}

int WriteToStream(int fd, const std::string& bytes) {
    // What the run wrote through stdio comes first.
    if (fd == STDOUT_FILENO) std::fflush(stdout);
    if (fd == STDERR_FILENO) std::fflush(stderr);
    return WritePatiently(fd, bytes);
}

// The chain is followed to its end; a free name there is made, as a redirection makes it.
// `created` tells which. kDescriptorLink with `given` set for a descriptor the run was
// given (GivenDescriptor's error for another).
int FollowToFile(UniqueFd& dir, std::string& name, struct stat& st, const std::string& path,
                 mode_t mode, UniqueFd& file, bool& created, int& given) {
    created = false;
    const int rc = FollowLinksAt(dir, name, st, path);
    if (rc == kDescriptorLink) {
        const int error = GivenDescriptor(name, given);
        return error != 0 ? error : rc;
    }
    if (rc != ENOENT) return rc;
    // ENOENT also for a directory missing on the way: then `name` is still the link.
    struct stat free;
    if (::fstatat(dir.get(), name.c_str(), &free, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return ENOENT;
    created = true;
    return CreateFileAt(dir.get(), name, mode, file);
}

}  // namespace

int WriteOutputFile(const std::string& path, const std::string& bytes, mode_t mode) {
    UniqueFd dir;
    std::string name;
    if (OpenParent(path, dir, name) != 0) return ReplaceFile(path, bytes, mode);
    struct stat st;
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISREG(st.st_mode) ||
        S_ISDIR(st.st_mode) || (!TrustedOwner(st.st_uid) && !IsDevice(st)))
        return ReplaceFile(path, bytes, mode);
    if (!TrustedOwner(st.st_uid)) return kNotPlainFile;
    UniqueFd file;
    if (S_ISLNK(st.st_mode)) {
        bool created = false;
        int given = -1;
        const int rc = FollowToFile(dir, name, st, path, mode, file, created, given);
        if (rc == kDescriptorLink) return WriteToStream(given, bytes);
        if (rc != 0) return rc;
        if (created) {
            if (const int rc = WritePatiently(file.get(), bytes)) return rc;
            return file.close() != 0 ? errno : 0;
        }
        if (S_ISDIR(st.st_mode)) return EISDIR;
    }
    int fd;
    do {
        fd = ::openat(dir.get(), name.c_str(),
                      O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == ENXIO && S_ISFIFO(st.st_mode) ? kNoReader : errno;
    file.reset(fd);
    struct stat opened;
    if (::fstat(fd, &opened) != 0) return errno;
    if (!SameFile(opened, st)) return EBUSY;
    if (S_ISREG(opened.st_mode)) {
        // A file with more names could be another user's way to a file of root's.
        if (opened.st_nlink != 1) return kNotPlainFile;
        if (::ftruncate(fd, 0) != 0) return errno;
    }
    if (const int rc = WritePatiently(fd, bytes)) return rc;
    return file.close() != 0 ? errno : 0;
}

int OpenLogOutput(const std::string& path, UniqueFd& file, bool& created, bool& stream) {
    created = stream = false;
    UniqueFd dir;
    std::string name;
    if (const int rc = OpenParent(path, dir, name)) return rc;
    // Twice at most: the name, then the end of the chain of links it starts.
    for (int pass = 0; pass < 2; ++pass) {
        int fd;
        do {
            fd = ::openat(dir.get(), name.c_str(),
                          O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_APPEND);
        } while (fd < 0 && errno == EINTR);
        const int openError = fd < 0 ? errno : 0;
        file.reset(fd);
        struct stat st;
        const int looked = fd >= 0 ? ::fstat(fd, &st)
                                   : ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
        if (looked != 0 && errno != ENOENT) return errno;
        // ELOOP: a link; ENXIO: a FIFO nobody reads, or a socket.
        if (looked == 0 && fd < 0 && openError != ELOOP && openError != ENXIO) return openError;
        const bool replace =
            looked != 0 || !TrustedOwner(st.st_uid) || (S_ISREG(st.st_mode) && st.st_nlink != 1);
        if (looked == 0 && IsDevice(st)) return kNotPlainFile;
        if (replace) {
            created = true;
            return CreateFileAt(dir.get(), name, 0644, file);
        }
        if (S_ISREG(st.st_mode)) return 0;
        if (!S_ISLNK(st.st_mode) || pass > 0) return S_ISDIR(st.st_mode) ? EISDIR : kNotPlainFile;
        int given = -1;
        const int rc = FollowToFile(dir, name, st, path, 0644, file, created, given);
        if (rc == kDescriptorLink) {
            file.reset(::fcntl(given, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
            stream = true;
            return file.get() >= 0 ? 0 : errno;
        }
        if (rc != 0 || created) return rc;
    }
    return ELOOP;
}

}  // namespace UpdateNew
