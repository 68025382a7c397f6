#include "base/SafeFile.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/Messages.h"

namespace UpdateNew {

namespace {

// A chain of links longer than this is a loop, as the kernel counts it.
constexpr int kMaxLinks = 40;

// The link this thread was last refused, with its owner, for its error text.
thread_local std::string t_refusedLink;
thread_local uid_t t_refusedOwner = 0;

// Opens the directory `path` in one call when no component of it is a symbolic link: what
// the walk below reaches then, without a descriptor and a close per component. -1 when
// the kernel cannot do that (no openat2), or the path holds a link or fails in any way:
// the walk then finds out what to follow, what to create and what to report.
int OpenDirWithoutLinks(const std::string& path) {
#ifdef SYS_openat2
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? -1 : static_cast<int>(fd);
#else
    (void)path;
    return -1;
#endif
}

// Whether `dir` is this process's own directory of descriptors (/proc/self/fd, or its
// thread's).
bool IsOwnDescriptorDirectory(int dir) {
    struct statfs fs;
    struct stat st;
    if (::fstatfs(dir, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC || ::fstat(dir, &st) != 0)
        return false;
    for (const char* own : {"/proc/self/fd", "/proc/thread-self/fd"}) {
        struct stat ownSt;
        if (::stat(own, &ownSt) == 0 && ownSt.st_dev == st.st_dev && ownSt.st_ino == st.st_ino)
            return true;
    }
    return false;
}

int OpenDirAt(int at, const char* name) {
    int fd;
    do {
        fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Splits `path` into its components; "." and empty ones are dropped, ".." is kept (the
// kernel resolves it against the directory reached so far, which is what it means).
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

bool SplitLast(const std::string& path, std::string& parent, std::string& name) {
    const size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    parent = slash == std::string::npos ? std::string(".")
             : slash == 0               ? std::string("/")
                                        : path.substr(0, slash);
    return true;
}

class Walker {
public:
    Walker(bool create, mode_t mode, std::vector<std::string>* created)
        : m_create(create), m_mode(mode), m_created(created) {}

    // Opens `path` relative to `base` (an open directory, or AT_FDCWD) into `dir`. `shown`
    // is the path as far as it was walked, for the names of created directories and of a
    // refused link.
    int walk(int base, const std::string& path, UniqueFd& dir, std::string shown) {
        const bool absolute = !path.empty() && path[0] == '/';
        UniqueFd current(OpenDirAt(absolute ? AT_FDCWD : base, absolute ? "/" : "."));
        if (current.get() < 0) return errno;
        if (absolute) shown = "/";
        for (const std::string& part : Components(path)) {
            if (int rc = step(current, part, shown)) return rc;
            if (!shown.empty() && shown.back() != '/') shown += '/';
            shown += part;
        }
        dir.reset(current.release());
        return 0;
    }

private:
    // Moves `current` to its entry `part`.
    int step(UniqueFd& current, const std::string& part, const std::string& shown) {
        int next = OpenDirAt(current.get(), part.c_str());
        if (next >= 0) {
            current.reset(next);
            return 0;
        }
        const int error = errno;
        if (error == ENOENT && m_create) return makeAndOpen(current, part, shown);
        if (error != ELOOP && error != ENOTDIR) return error;
        struct stat st;
        if (::fstatat(current.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
        if (!S_ISLNK(st.st_mode)) return ENOTDIR;
        return followLink(current, part, shown);
    }

    int makeAndOpen(UniqueFd& current, const std::string& part, const std::string& shown) {
        if (::mkdirat(current.get(), part.c_str(), m_mode) == 0) {
            if (m_created != nullptr)
                m_created->push_back(shown.empty() || shown.back() == '/' ? shown + part
                                                                          : shown + "/" + part);
        } else if (errno != EEXIST) {
            return errno;
        }
        const int next = OpenDirAt(current.get(), part.c_str());
        if (next < 0) return errno == ELOOP ? ENOTDIR : errno;
        current.reset(next);
        return 0;
    }

    // Follows the link `part` of `current` (whose status is `st`) when its owner may be
    // trusted.
    int followLink(UniqueFd& current, const std::string& part, const std::string& shown) {
        std::string target;
        if (const int rc = readTrustedLink(current.get(), part, shown, target)) return rc;
        return walkFrom(current, target, shown);
    }

public:
    // Follows the chain of links that `name` in `dir` starts, as a component's links are
    // followed, up to the name the chain ends in (see FollowLinksAt).
    int followChain(UniqueFd& dir, std::string& name, struct stat& st, std::string shown) {
        for (;;) {
            if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
            if (!S_ISLNK(st.st_mode)) return 0;
            const size_t slash = shown.rfind('/');
            const std::string shownDir =
                slash == std::string::npos ? std::string() : shown.substr(0, slash + 1);
            // The run's own descriptors (/dev/stdout, /dev/fd/3) are links whose text is no
            // path to follow ("pipe:[...]", or a name the file had once).
            std::string target;
            if (const int rc = readTrustedLink(dir.get(), name, shownDir, target)) return rc;
            if (IsOwnDescriptorDirectory(dir.get())) return kDescriptorLink;
            std::string parent, last;
            // A link to "/" or to "dir/" names a directory, not a file.
            if (!SplitLast(target, parent, last)) return EISDIR;
            if (const int rc = walkFrom(dir, parent, shownDir)) return rc;
            shown = target[0] == '/' ? target : shownDir + target;
            name = last;
        }
    }

private:
    // Reads the link `part` of `dir` into `target` when its owner may be trusted. The link
    // is held by a descriptor of its own (O_PATH) that its owner and its text are both read
    // from: a link swapped in and out meanwhile is never taken for the one looked at.
    int readTrustedLink(int dir, const std::string& part, const std::string& shown,
                        std::string& target) {
        const UniqueFd link(::openat(dir, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (link.get() < 0 || ::fstat(link.get(), &st) != 0) return errno;
        if (!S_ISLNK(st.st_mode)) return EAGAIN;  // changed since it was looked at
        if (!TrustedOwner(st.st_uid)) {
            t_refusedLink =
                shown.empty() || shown.back() == '/' ? shown + part : shown + "/" + part;
            t_refusedOwner = st.st_uid;
            return kUntrustedLink;
        }
        if (++m_links > kMaxLinks) return ELOOP;
        target.assign(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlinkat(link.get(), "", &target[0], target.size());
        if (n < 0) return errno;
        if (static_cast<size_t>(n) >= target.size()) return ENAMETOOLONG;
        target.resize(static_cast<size_t>(n));
        return target.empty() ? ENOENT : 0;
    }

    // Moves `current` to the directory `path` names from it. A link resolves from its own
    // directory, and never creates what it names.
    int walkFrom(UniqueFd& current, const std::string& path, const std::string& shown) {
        Walker inner(false, m_mode, nullptr);
        inner.m_links = m_links;
        UniqueFd resolved;
        const int rc = inner.walk(current.get(), path, resolved, shown);
        m_links = inner.m_links;
        if (rc != 0) return rc;
        current.reset(resolved.release());
        return 0;
    }

    bool m_create;
    mode_t m_mode;
    std::vector<std::string>* m_created;
    int m_links = 0;
};

// 0 for a regular file; EISDIR for a directory, EINVAL for anything else.
int RegularOrError(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return 0;
    return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
}

}  // namespace

std::wstring RefusedLinkText() {
    return MsgLib<34>(FromMultibyte(t_refusedLink), std::to_wstring(t_refusedOwner));
}

bool TrustedOwner(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

bool OnlyTrustedMayWrite(const struct stat& st) {
    return S_ISREG(st.st_mode) && TrustedOwner(st.st_uid) && (st.st_mode & S_IWOTH) == 0 &&
           ((st.st_mode & S_IWGRP) == 0 || st.st_gid == 0);
}

int OpenDirectory(const std::string& path, UniqueFd& dir, bool create, mode_t mode,
                  std::vector<std::string>* created) {
    if (path.empty()) return ENOENT;
    const int fd = OpenDirWithoutLinks(path);
    if (fd >= 0) {
        dir.reset(fd);
        return 0;
    }
    Walker walker(create, mode, created);
    return walker.walk(AT_FDCWD, path, dir, path[0] == '/' ? "/" : "");
}

int FollowLinksAt(UniqueFd& dir, std::string& name, struct stat& st, const std::string& shown) {
    Walker walker(false, 0755, nullptr);
    return walker.followChain(dir, name, st, shown);
}

int OpenParent(const std::string& path, UniqueFd& dir, std::string& name) {
    std::string parent;
    if (!SplitLast(path, parent, name)) return EINVAL;
    return OpenDirectory(parent, dir);
}

int CreateFileAt(int dir, const std::string& name, mode_t mode, UniqueFd& file, int access) {
    // The name is nearly always free: try to create first, and remove what holds the name
    // (a link is removed, not followed) only when that fails; a name made again in between
    // is removed again, a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int fd =
            ::openat(dir, name.c_str(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            file.reset(fd);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EEXIST) return errno;
        struct stat st;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode)) return EISDIR;
            if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return EINVAL;
        }
        // EPERM: another user's file in a sticky directory (EISDIR: a directory made since).
        if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) return errno;
    }
    return EEXIST;
}

int OpenExistingAt(int dir, const std::string& name, int flags, UniqueFd& file) {
    int fd;
    do {
        fd = ::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    // ENXIO: a FIFO nobody reads, or a device without its driver; neither is a file.
    if (fd < 0) return errno == ENXIO ? EINVAL : errno;
    UniqueFd opened(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    if (const int rc = RegularOrError(st)) return rc;
    if (st.st_nlink != 1) return EINVAL;
    // Writes block as usual from here on.
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) (void)::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    file.reset(opened.release());
    return 0;
}

int OpenRegularAt(int dir, const char* name, UniqueFd& file, struct stat* status) {
    int fd;
    do {
        fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st;
    if (fd < 0 && errno == ELOOP) {
        // A link: trusted by its owner, then resolved to a descriptor that opens nothing
        // (O_PATH), and reopened for reading through /proc only when it is a regular file.
        if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
        if (S_ISLNK(st.st_mode) && !TrustedOwner(st.st_uid)) {
            t_refusedLink = name;
            t_refusedOwner = st.st_uid;
            return kUntrustedLink;
        }
        const UniqueFd path(::openat(dir, name, O_PATH | O_CLOEXEC));
        if (path.get() < 0) return errno;
        if (::fstat(path.get(), &st) != 0) return errno;
        if (const int rc = RegularOrError(st)) return rc;
        const std::string self = "/proc/self/fd/" + std::to_string(path.get());
        fd = ::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    // ENXIO: a socket, or a device without its driver.
    if (fd < 0) return errno == ENXIO ? EINVAL : errno;
    UniqueFd opened(fd);
    if (::fstat(fd, &st) != 0) return errno;
    if (const int rc = RegularOrError(st)) return rc;
    if (status != nullptr) *status = st;
    file.reset(opened.release());
    return 0;
}

int OpenRegular(const std::string& path, UniqueFd& file, struct stat* st) {
    UniqueFd dir;
    std::string name;
    if (int rc = OpenParent(path, dir, name)) return rc;
    const int rc = OpenRegularAt(dir.get(), name.c_str(), file, st);
    if (rc == kUntrustedLink) t_refusedLink = path;  // the whole path, not just its name
    return rc;
}

int OpenRegularStream(const std::string& path, FILE*& stream) {
    stream = nullptr;
    UniqueFd file;
    if (int rc = OpenRegular(path, file)) return rc;
    stream = ::fdopen(file.get(), "r");
    if (stream == nullptr) return errno;
    file.release();
    return 0;
}

int CreateFile(const std::string& path, mode_t mode, UniqueFd& file) {
    UniqueFd dir;
    std::string name;
    if (int rc = OpenParent(path, dir, name)) return rc;
    return CreateFileAt(dir.get(), name, mode, file);
}

int OpenExisting(const std::string& path, int flags, UniqueFd& file) {
    UniqueFd dir;
    std::string name;
    if (int rc = OpenParent(path, dir, name)) return rc;
    return OpenExistingAt(dir.get(), name, flags, file);
}

int CreateFileStream(const std::string& path, mode_t mode, FILE*& stream) {
    stream = nullptr;
    UniqueFd file;
    if (int rc = CreateFile(path, mode, file)) return rc;
    stream = ::fdopen(file.get(), "wb");
    if (stream == nullptr) {
        const int error = errno;
        file.close();
        (void)RemoveFile(path);
        return error;
    }
    file.release();
    return 0;
}

int RenameFile(const std::string& from, const std::string& to) {
    UniqueFd fromDir, toDir;
    std::string fromName, toName;
    if (int rc = OpenParent(from, fromDir, fromName)) return rc;
    if (int rc = OpenParent(to, toDir, toName)) return rc;
    return ::renameat(fromDir.get(), fromName.c_str(), toDir.get(), toName.c_str()) == 0 ? 0
                                                                                         : errno;
}

int RemoveFile(const std::string& path) {
    UniqueFd dir;
    std::string name;
    if (int rc = OpenParent(path, dir, name)) return rc == ENOENT ? 0 : rc;
    if (::unlinkat(dir.get(), name.c_str(), 0) == 0 || errno == ENOENT) return 0;
    return errno;
}

void RemoveFiles(const std::function<bool(std::string& path)>& next) {
    UniqueFd dir;
    std::string path, dirPath, parent, name;
    while (next(path)) {
        if (!SplitLast(path, parent, name)) continue;
        if (dir.get() < 0 || parent != dirPath) {
            dir.reset(-1);
            dirPath = parent;
            if (OpenDirectory(parent, dir) != 0) continue;
        }
        (void)::unlinkat(dir.get(), name.c_str(), 0);
    }
}

int SyncParent(const std::string& path) {
    UniqueFd dir;
    std::string name;
    if (int rc = OpenParent(path, dir, name)) return rc;
    return ::fsync(dir.get()) == 0 ? 0 : errno;
}

int SyncFileSystems(const std::vector<std::string>& dirs) {
    std::vector<dev_t> synced;
    int error = 0;
    for (const std::string& path : dirs) {
        UniqueFd dir;
        struct stat st;
        if (OpenDirectory(path, dir) != 0 || ::fstat(dir.get(), &st) != 0 ||
            std::find(synced.begin(), synced.end(), st.st_dev) != synced.end())
            continue;
        synced.push_back(st.st_dev);
        if (::syncfs(dir.get()) != 0 && error == 0) error = errno;
    }
    return error;
}

int ReplaceFile(const std::string& path, const std::string& bytes, mode_t mode, ReplaceStep* failed,
                bool syncDirectory) {
    ReplaceStep step = ReplaceStep::kOpen;
    UniqueFd dir, file;
    std::string name;
    int error = OpenParent(path, dir, name);
    const std::string temp = name + ".new";
    if (error == 0) error = CreateFileAt(dir.get(), temp, mode, file);
    if (error == 0) {
        step = ReplaceStep::kWrite;
        if (!WriteAll(file.get(), bytes) || ::fsync(file.get()) != 0) error = errno;
        if (file.close() != 0 && error == 0) error = errno;
        if (error == 0) {
            step = ReplaceStep::kRename;
            if (::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) error = errno;
        }
        if (error != 0) ::unlinkat(dir.get(), temp.c_str(), 0);
        if (error == 0 && syncDirectory && ::fsync(dir.get()) != 0) error = errno;
    }
    if (failed != nullptr) *failed = step;
    return error;
}

}  // namespace UpdateNew
