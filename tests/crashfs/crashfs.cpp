// crashfs: a file system for tests that loses power on command.
//
//   crashfs [--cut=N] [--seed=S | --keep-names] [--trace=FILE] BACKING MOUNTPOINT [fuse options]
//
// A pass-through onto the directory BACKING: every call is done on BACKING at once, so the
// programs on MOUNTPOINT see an ordinary file system. Beside it, crashfs keeps a model of
// the disk: the content of every file and the names of every directory as they were when
// they were last synced. A change reaches the model only when it is synced:
//   - fsync/fdatasync of a file: the data written to it (and its permission bits);
//   - fsync of a directory: the names created, renamed or removed in it (a rename between
//     two directories when either is synced, as a journal commits it whole);
//   - "sync" written to the control file MOUNTPOINT/.crashfs: everything. The kernel does
//     not pass syncfs(2) or sync(2) on to a FUSE server (checked on Linux 6.18: no request
//     arrives), so a test preloads the shim below, which reports each syncfs/sync there.
// A power cut comes after the N-th changing call (--cut=N; see Counted) or when "cut" is
// written to the control file. It drops what was not synced, rewrites BACKING to hold the
// model (exactly what a reboot would find) and answers every later call with EIO until the
// file system is unmounted. With --seed=S the cut keeps, for every file and directory on
// its own, a random in-order prefix of its unsynced changes (so a rename may last and the
// data it names not, or the reverse). --keep-names keeps every unsynced name and no unsynced
// data: the worst such order, that of a file system which commits its journal before it
// writes the data of new files. --trace=FILE writes one line per counted call:
// "<n> <call> <path> [<second path>]".
//
// Files are named by their inode on BACKING; a file made anew gets a new number in the
// model even where BACKING reuses an inode. One thread serves all calls (-s). Built with
// CRASHFS_SHIM defined, this file is instead the LD_PRELOAD shim: syncfs() or sync() in
// the process, then "sync" written to $CRASHFS_CONTROL when it names a crashfs control
// file and the synced descriptor lies on that file system.
#ifndef CRASHFS_SHIM

#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

const char kControl[] = "/.crashfs";
const uint64_t kControlHandle = ~0ULL;  // the descriptor number of the open control file

// One file, directory or link of the model.
struct Node {
    char type = 'f';                        // 'f', 'd' or 'l'
    mode_t mode = 0644;                     // permission bits
    std::string data;                       // a file's content, a link's target
    std::map<std::string, uint64_t> names;  // a directory's entries
};

// One change not synced yet. `object` is the file (w, t, m) or directory (n, r) whose sync
// makes it last; a rename also lasts with a sync of the directory it left (`from`).
struct Change {
    char kind;  // w: write, t: truncate, m: mode, n: name set or removed, r: rename
    uint64_t object, from = 0, node = 0;  // node: what a name (now) refers to; 0 removes
    std::string name, fromName, bytes;
    off_t offset = 0;
};

struct State {
    std::string backing;
    int root = -1;                   // BACKING, opened
    std::map<uint64_t, Node> disk;   // the model; node 1 is the root
    std::map<ino_t, uint64_t> idOf;  // inode on BACKING -> node
    uint64_t nextId = 1;
    std::vector<Change> unsynced;
    unsigned long count = 0, cutAfter = 0;
    unsigned seed = 0;
    bool keepNames = false;
    bool dead = false;
    FILE* trace = nullptr;
} S;

// The path below BACKING of a FUSE path ("/a/b" -> "a/b", "/" -> ".").
std::string Rel(const char* path) {
    return path[1] ? std::string(path + 1) : std::string(".");
}

std::string ParentOf(const char* path) {
    std::string p(path);
    const size_t slash = p.rfind('/');
    return slash == 0 ? std::string("/") : p.substr(0, slash);
}

std::string NameOf(const char* path) {
    return std::string(std::strrchr(path, '/') + 1);
}

// The node of the file at `path` on BACKING (0 when it cannot be looked at).
uint64_t NodeAt(const std::string& path) {
    struct stat st;
    if (::fstatat(S.root, Rel(path.c_str()).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    const auto found = S.idOf.find(st.st_ino);
    return found == S.idOf.end() ? 0 : found->second;
}

uint64_t NodeOf(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return 0;
    const auto found = S.idOf.find(st.st_ino);
    return found == S.idOf.end() ? 0 : found->second;
}

// A node for a file just made at `path` (a new one even if the inode number was used).
uint64_t NewNode(const std::string& path) {
    struct stat st;
    if (::fstatat(S.root, Rel(path.c_str()).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    const uint64_t id = S.nextId++;
    Node& n = S.disk[id];
    n.type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
    n.mode = st.st_mode & 07777;
    if (n.type == 'l') {
        char target[4096];
        const ssize_t len = ::readlinkat(S.root, Rel(path.c_str()).c_str(), target, sizeof target);
        if (len > 0) n.data.assign(target, static_cast<size_t>(len));
    }
    S.idOf[st.st_ino] = id;
    return id;
}

void Apply(const Change& c) {
    Node& n = S.disk[c.object];
    switch (c.kind) {
        case 'w':
            if (n.data.size() < c.offset + c.bytes.size()) n.data.resize(c.offset + c.bytes.size());
            n.data.replace(static_cast<size_t>(c.offset), c.bytes.size(), c.bytes);
            break;
        case 't':
            n.data.resize(static_cast<size_t>(c.offset));
            break;
        case 'm':
            n.mode = static_cast<mode_t>(c.offset);
            break;
        case 'r': {
            auto& from = S.disk[c.from].names;
            const auto found = from.find(c.fromName);
            if (found != from.end() && found->second == c.node) from.erase(found);
            S.disk[c.object].names[c.name] = c.node;
            break;
        }
        default:
            if (c.node)
                n.names[c.name] = c.node;
            else
                n.names.erase(c.name);
    }
}

// Makes the changes of `object` last, in order (all changes for object 0).
void Sync(uint64_t object) {
    std::vector<Change> rest;
    for (const Change& c : S.unsynced) {
        if (object == 0 || c.object == object || (c.kind == 'r' && c.from == object))
            Apply(c);
        else
            rest.push_back(c);
    }
    S.unsynced.swap(rest);
}

// ---- the power cut ----------------------------------------------------------------------

// A listing of `dir` from its start (a dup would share the position of `dir`).
DIR* List(int dir) {
    return ::fdopendir(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void RemoveBelow(int dir) {
    DIR* d = List(dir);
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        if (::unlinkat(dir, e->d_name, 0) == 0) continue;
        const int sub = ::openat(dir, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            RemoveBelow(sub);
            ::close(sub);
        }
        ::unlinkat(dir, e->d_name, AT_REMOVEDIR);
    }
    ::closedir(d);
}

// Writes the directory node `id` into `dir`; a node met before gets a hard link.
void Rebuild(int dir, uint64_t id, std::map<uint64_t, std::pair<int, std::string>>& made) {
    for (const auto& [name, child] : S.disk[id].names) {
        const Node& n = S.disk[child];
        const auto seen = made.find(child);
        if (seen != made.end() && n.type != 'd') {
            ::linkat(seen->second.first, seen->second.second.c_str(), dir, name.c_str(), 0);
        } else if (n.type == 'd') {
            ::mkdirat(dir, name.c_str(), n.mode);
            const int sub = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub >= 0) Rebuild(sub, child, made);
            // Kept open: hard links below may name files in it.
        } else if (n.type == 'l') {
            ::symlinkat(n.data.c_str(), dir, name.c_str());
        } else {
            const int fd =
                ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, n.mode);
            if (fd >= 0) {
                (void)!::write(fd, n.data.data(), n.data.size());
                ::fchmod(fd, n.mode);
                ::close(fd);
            }
            made[child] = {dir, name};
        }
    }
}

void Cut() {
    if (S.seed != 0 || S.keepNames) {
        // Every file and directory keeps a prefix of its own changes.
        std::mt19937 random(S.seed);
        std::map<uint64_t, size_t> total, kept, seen;
        for (const Change& c : S.unsynced) ++total[c.object];
        for (const auto& [object, n] : total)
            kept[object] = !S.keepNames ? random() % (n + 1) : S.disk[object].type == 'd' ? n : 0;
        for (const Change& c : S.unsynced)
            if (seen[c.object]++ < kept[c.object]) Apply(c);
    }
    S.unsynced.clear();
    RemoveBelow(S.root);
    std::map<uint64_t, std::pair<int, std::string>> made;
    Rebuild(S.root, 1, made);
    ::fchmod(S.root, S.disk[1].mode);
    ::fsync(S.root);
    S.dead = true;
    if (S.trace) std::fprintf(S.trace, "%lu cut\n", S.count), std::fflush(S.trace);
}

// Counted: every call that changes the file system or syncs. Logs it, and cuts the power
// after the N-th.
void Counted(const char* call, const char* path, const char* path2 = nullptr) {
    ++S.count;
    if (S.trace) {
        std::fprintf(S.trace, "%lu %s %s%s%s\n", S.count, call, path, path2 ? " " : "",
                     path2 ? path2 : "");
        std::fflush(S.trace);
    }
    if (S.count == S.cutAfter) Cut();
}

// Reads what is on BACKING at the mount into the model: all of it is on the disk.
void Load(int dir, uint64_t id) {
    DIR* d = List(dir);
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        struct stat st;
        if (::fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const auto known = S.idOf.find(st.st_ino);
        const bool isNew = known == S.idOf.end();
        const uint64_t child = isNew ? S.nextId++ : known->second;
        S.disk[id].names[e->d_name] = child;
        if (!isNew) continue;
        S.idOf[st.st_ino] = child;
        Node& n = S.disk[child];
        n.mode = st.st_mode & 07777;
        n.type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
        char buf[65536];
        if (n.type == 'l') {
            const ssize_t len = ::readlinkat(dir, e->d_name, buf, sizeof buf);
            if (len > 0) n.data.assign(buf, static_cast<size_t>(len));
        } else if (const int fd = ::openat(dir, e->d_name, O_RDONLY | O_CLOEXEC); fd >= 0) {
            if (n.type == 'd') Load(fd, child);
            for (ssize_t got; n.type == 'f' && (got = ::read(fd, buf, sizeof buf)) > 0;)
                n.data.append(buf, static_cast<size_t>(got));
            ::close(fd);
        }
    }
    ::closedir(d);
}

// ---- the calls ----------------------------------------------------------------------------

#define ALIVE() \
    if (S.dead) return -EIO
#define RESULT(expr) ((expr) < 0 ? -errno : 0)

bool IsControl(const char* path, const fuse_file_info* fi = nullptr) {
    return fi ? fi->fh == kControlHandle : path && !std::strcmp(path, kControl);
}

int Getattr(const char* path, struct stat* st, fuse_file_info* fi) {
    ALIVE();
    if (IsControl(path)) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = S_IFREG | 0600;
        st->st_nlink = 1;
        return 0;
    }
    if (fi) return RESULT(::fstat(static_cast<int>(fi->fh), st));
    return RESULT(::fstatat(S.root, Rel(path).c_str(), st, AT_SYMLINK_NOFOLLOW));
}

int Readlink(const char* path, char* buf, size_t size) {
    ALIVE();
    const ssize_t len = ::readlinkat(S.root, Rel(path).c_str(), buf, size - 1);
    if (len < 0) return -errno;
    buf[len] = 0;
    return 0;
}

// A new name in the directory of `path` for the node made there.
void NameAdded(const char* call, const char* path) {
    S.unsynced.push_back({'n', NodeAt(ParentOf(path)), 0, NewNode(path), NameOf(path), "", "", 0});
    Counted(call, path);
}

int Mkdir(const char* path, mode_t mode) {
    ALIVE();
    if (::mkdirat(S.root, Rel(path).c_str(), mode) != 0) return -errno;
    NameAdded("mkdir", path);
    return 0;
}

int Symlink(const char* target, const char* path) {
    ALIVE();
    if (::symlinkat(target, S.root, Rel(path).c_str()) != 0) return -errno;
    NameAdded("symlink", path);
    return 0;
}

int Remove(const char* path, int flags) {
    ALIVE();
    const uint64_t dir = NodeAt(ParentOf(path));
    if (::unlinkat(S.root, Rel(path).c_str(), flags) != 0) return -errno;
    S.unsynced.push_back({'n', dir, 0, 0, NameOf(path), "", "", 0});
    Counted(flags ? "rmdir" : "unlink", path);
    return 0;
}
int Unlink(const char* path) {
    return Remove(path, 0);
}
int Rmdir(const char* path) {
    return Remove(path, AT_REMOVEDIR);
}

int Rename(const char* from, const char* to, unsigned int flags) {
    ALIVE();
    if (flags & RENAME_EXCHANGE) return -EINVAL;
    const uint64_t node = NodeAt(from), fromDir = NodeAt(ParentOf(from));
    if (::syscall(SYS_renameat2, S.root, Rel(from).c_str(), S.root, Rel(to).c_str(), flags) != 0)
        return -errno;
    S.unsynced.push_back(
        {'r', NodeAt(ParentOf(to)), fromDir, node, NameOf(to), NameOf(from), "", 0});
    Counted("rename", from, to);
    return 0;
}

int Link(const char* from, const char* to) {
    ALIVE();
    if (::linkat(S.root, Rel(from).c_str(), S.root, Rel(to).c_str(), 0) != 0) return -errno;
    S.unsynced.push_back({'n', NodeAt(ParentOf(to)), 0, NodeAt(from), NameOf(to), "", "", 0});
    Counted("link", from, to);
    return 0;
}

int Chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    ALIVE();
    const int rc = fi ? ::fchmod(static_cast<int>(fi->fh), mode)
                      : ::fchmodat(S.root, Rel(path).c_str(), mode, 0);
    if (rc != 0) return -errno;
    const uint64_t node = fi ? NodeOf(static_cast<int>(fi->fh)) : NodeAt(path);
    S.unsynced.push_back({'m', node, 0, 0, "", "", "", static_cast<off_t>(mode & 07777)});
    Counted("chmod", path ? path : "-");
    return 0;
}

int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    ALIVE();
    if (fi) return RESULT(::fchown(static_cast<int>(fi->fh), uid, gid));
    return RESULT(::fchownat(S.root, Rel(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW));
}

void Truncated(uint64_t node, off_t size, const char* path) {
    S.unsynced.push_back({'t', node, 0, 0, "", "", "", size});
    Counted("truncate", path ? path : "-");
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
    ALIVE();
    if (IsControl(path, fi)) return 0;
    if (fi) {
        if (::ftruncate(static_cast<int>(fi->fh), size) != 0) return -errno;
        Truncated(NodeOf(static_cast<int>(fi->fh)), size, path);
        return 0;
    }
    const int fd = ::openat(S.root, Rel(path).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -errno;
    const int rc = ::ftruncate(fd, size) == 0 ? 0 : -errno;
    if (rc == 0) Truncated(NodeOf(fd), size, path);
    ::close(fd);
    return rc;
}

int Utimens(const char* path, const struct timespec tv[2], fuse_file_info* fi) {
    ALIVE();
    if (fi) return RESULT(::futimens(static_cast<int>(fi->fh), tv));
    return RESULT(::utimensat(S.root, Rel(path).c_str(), tv, AT_SYMLINK_NOFOLLOW));
}

int Open(const char* path, fuse_file_info* fi) {
    ALIVE();
    if (IsControl(path)) {
        fi->fh = kControlHandle;
        return 0;
    }
    const int fd = ::openat(S.root, Rel(path).c_str(), (fi->flags & ~O_CREAT) | O_CLOEXEC);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    if ((fi->flags & O_TRUNC) && (fi->flags & O_ACCMODE) != O_RDONLY)
        Truncated(NodeOf(fd), 0, path);
    return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
    ALIVE();
    struct stat st;
    const bool existed = ::fstatat(S.root, Rel(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const int fd = ::openat(S.root, Rel(path).c_str(), fi->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    if (!existed) NameAdded("create", path);
    return 0;
}

int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    ALIVE();
    if (IsControl(path, fi)) return 0;
    const ssize_t got = ::pread(static_cast<int>(fi->fh), buf, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

int Write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    ALIVE();
    if (IsControl(path, fi)) {
        const std::string word(buf, size);
        if (word.compare(0, 4, "sync") == 0) Sync(0);
        if (word.compare(0, 3, "cut") == 0) Cut();
        return static_cast<int>(size);
    }
    const int fd = static_cast<int>(fi->fh);
    const ssize_t done = ::pwrite(fd, buf, size, offset);
    if (done < 0) return -errno;
    S.unsynced.push_back(
        {'w', NodeOf(fd), 0, 0, "", "", std::string(buf, static_cast<size_t>(done)), offset});
    Counted("write", path ? path : "-");
    return static_cast<int>(done);
}

int Statfs(const char*, struct statvfs* st) {
    ALIVE();
    return RESULT(::fstatvfs(S.root, st));
}

int Release(const char* path, fuse_file_info* fi) {
    if (!IsControl(path, fi)) ::close(static_cast<int>(fi->fh));
    return 0;
}

int Fsync(const char* path, int, fuse_file_info* fi) {
    ALIVE();
    if (IsControl(path, fi)) return 0;
    Sync(NodeOf(static_cast<int>(fi->fh)));
    Counted("fsync", path ? path : "-");
    return 0;
}

int Opendir(const char* path, fuse_file_info* fi) {
    ALIVE();
    const int fd = ::openat(S.root, Rel(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int Readdir(const char*, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
            fuse_readdir_flags) {
    ALIVE();
    DIR* d = List(static_cast<int>(fi->fh));
    if (!d) return -errno;
    while (dirent* e = ::readdir(d)) fill(buf, e->d_name, nullptr, 0, fuse_fill_dir_flags(0));
    ::closedir(d);
    return 0;
}

int Releasedir(const char*, fuse_file_info* fi) {
    ::close(static_cast<int>(fi->fh));
    return 0;
}

int Fsyncdir(const char* path, int, fuse_file_info* fi) {
    ALIVE();
    Sync(NodeOf(static_cast<int>(fi->fh)));
    Counted("fsyncdir", path ? path : "-");
    return 0;
}

int Access(const char* path, int mask) {
    ALIVE();
    if (IsControl(path)) return 0;
    return RESULT(::faccessat(S.root, Rel(path).c_str(), mask, AT_SYMLINK_NOFOLLOW));
}

void* Init(fuse_conn_info*, fuse_config* cfg) {
    cfg->hard_remove = 1;  // no ".fuse_hidden" files for open files that are removed
    cfg->nullpath_ok = 0;  // paths where the file still has a name: for the trace
    cfg->use_ino = 0;
    return nullptr;
}

struct Options {
    unsigned long cut = 0;
    unsigned seed = 0;
    int keepNames = 0;
    char* trace = nullptr;
};

const fuse_opt kOptions[] = {{"--cut=%lu", offsetof(Options, cut), 0},
                             {"--seed=%u", offsetof(Options, seed), 0},
                             {"--keep-names", offsetof(Options, keepNames), 1},
                             {"--trace=%s", offsetof(Options, trace), 0},
                             FUSE_OPT_END};

// The first argument that is no option is BACKING; the rest goes to FUSE.
int TakeBacking(void*, const char* arg, int key, fuse_args*) {
    if (key != FUSE_OPT_KEY_NONOPT || !S.backing.empty()) return 1;
    S.backing = arg;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    Options options;
    if (fuse_opt_parse(&args, &options, kOptions, TakeBacking) != 0 || S.backing.empty()) {
        std::fprintf(
            stderr,
            "usage: %s [--cut=N] [--seed=S | --keep-names] [--trace=FILE] BACKING MOUNTPOINT\n",
            argv[0]);
        return 2;
    }
    S.root = ::open(S.backing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (S.root < 0) {
        std::perror(S.backing.c_str());
        return 1;
    }
    S.cutAfter = options.cut;
    S.seed = options.seed;
    S.keepNames = options.keepNames != 0;
    if (options.trace) S.trace = std::fopen(options.trace, "we");
    struct stat st;
    ::fstat(S.root, &st);
    S.idOf[st.st_ino] = S.nextId++;
    S.disk[1].type = 'd';
    S.disk[1].mode = st.st_mode & 07777;
    Load(S.root, 1);

    fuse_operations ops{};
    ops.getattr = Getattr;
    ops.readlink = Readlink;
    ops.mkdir = Mkdir;
    ops.unlink = Unlink;
    ops.rmdir = Rmdir;
    ops.symlink = Symlink;
    ops.rename = Rename;
    ops.link = Link;
    ops.chmod = Chmod;
    ops.chown = Chown;
    ops.truncate = Truncate;
    ops.open = Open;
    ops.read = Read;
    ops.write = Write;
    ops.statfs = Statfs;
    ops.release = Release;
    ops.fsync = Fsync;
    ops.opendir = Opendir;
    ops.readdir = Readdir;
    ops.releasedir = Releasedir;
    ops.fsyncdir = Fsyncdir;
    ops.init = Init;
    ops.access = Access;
    ops.create = Create;
    ops.utimens = Utimens;
    fuse_opt_add_arg(&args, "-s");  // one thread: the model needs no lock
    const int rc = fuse_main(args.argc, args.argv, &ops, nullptr);
    fuse_opt_free_args(&args);
    return rc;
}

#else  // CRASHFS_SHIM

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// Writes "sync" to the control file when `fd` (-1: any) lies on its file system.
void Report(int fd) {
    const char* control = std::getenv("CRASHFS_CONTROL");
    struct stat on, ctl;
    if (!control || ::stat(control, &ctl) != 0) return;
    if (fd >= 0 && (::fstat(fd, &on) != 0 || on.st_dev != ctl.st_dev)) return;
    const int out = ::open(control, O_WRONLY | O_CLOEXEC);
    if (out < 0) return;
    (void)!::write(out, "sync", 4);
    ::close(out);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int syncfs(int fd) {
    using Real = int (*)(int);
    static Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "syncfs"));
    const int rc = real(fd);
    if (rc == 0) Report(fd);
    return rc;
}

extern "C" __attribute__((visibility("default"))) void sync() {
    using Real = void (*)();
    static Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "sync"));
    real();
    Report(-1);
}

#endif  // CRASHFS_SHIM
