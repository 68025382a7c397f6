#include "base/FileUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"

namespace UpdateNew {

namespace {

constexpr size_t kCopyPiece = 64 * 1024;

// The multibyte form of a path; false (errno EILSEQ) when it has none.
bool ToSystemPath(const std::wstring& path, std::string& out) {
    if (WideToMultibyte(path, out)) return true;
    errno = EILSEQ;
    return false;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string JoinNarrow(const std::string& a, const char* b) {
    return (!a.empty() && a.back() == '/') ? a + b : a + '/' + b;
}

// Owns a directory stream for one call.
struct Dir {
    DIR* dir;
    explicit Dir(DIR* d) : dir(d) {}
    ~Dir() {
        if (dir != nullptr) ::closedir(dir);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
};

void RemoveTreeAt(int parent, const char* name);

// Removes every entry of the directory open as `fd` (taken over). Entries are named
// relative to the directory's descriptor, never by a path string.
void EmptyDirectory(int fd) {
    Dir dir(::fdopendir(fd));
    if (dir.dir == nullptr) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir.dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    for (const std::string& name : names) RemoveTreeAt(::dirfd(dir.dir), name.c_str());
}

// Removes the entry `name` of the directory open as `parent`: a file or a link is
// unlinked; a directory is opened with O_NOFOLLOW, emptied through its own descriptor and
// removed. A link is never followed, and a directory swapped for a link while the walk
// runs is not entered.
void RemoveTreeAt(int parent, const char* name) {
    if (::unlinkat(parent, name, 0) == 0 || (errno != EISDIR && errno != EPERM)) return;
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    EmptyDirectory(fd);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

// Removes the entry `name` of the directory open as `parent` when it is a directory that
// holds nothing but (recursively) empty directories; files, links and anything else stay,
// and so do the directories that hold them. 0 when the entry is gone (or was not there),
// otherwise why it stays.
int RemoveEmptyAt(int parent, const char* name, int depth) {
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    Dir dir(::fdopendir(fd));
    if (dir.dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    std::vector<std::string> names;
    int error = 0;
    while (dirent* entry = ::readdir(dir.dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN)
            names.push_back(entry->d_name);
        else
            error = ENOTEMPTY;
    }
    for (const std::string& sub : names) {
        // A tree deeper than any run makes is not ours to walk.
        const int subError =
            depth >= 64 ? ENOTEMPTY : RemoveEmptyAt(::dirfd(dir.dir), sub.c_str(), depth + 1);
        if (subError != 0 && subError != ENOENT) error = ENOTEMPTY;
    }
    if (error == 0 && ::unlinkat(parent, name, AT_REMOVEDIR) != 0) error = errno;
    return error;
}

// `skipDev`/`skipIno` name the top target directory, so that a target inside the source
// is not copied into itself.
int CopyTree(const std::string& source, const std::string& target, dev_t skipDev, ino_t skipIno) {
    Dir dir(::opendir(source.c_str()));
    if (dir.dir == nullptr) return errno;
    errno = 0;
    while (dirent* entry = ::readdir(dir.dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const std::string from = JoinNarrow(source, entry->d_name);
        const std::string to = JoinNarrow(target, entry->d_name);
        struct stat st;
        if (::lstat(from.c_str(), &st) != 0) return errno;
        if (S_ISDIR(st.st_mode)) {
            if (st.st_dev == skipDev && st.st_ino == skipIno) continue;
            if (::mkdir(to.c_str(), st.st_mode & 07777) != 0 &&
                !(errno == EEXIST && IsDirectory(to)))
                return errno;
            if (int rc = CopyTree(from, to, skipDev, skipIno)) return rc;
        } else if (S_ISLNK(st.st_mode)) {
            std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
            ssize_t n = ::readlink(from.c_str(), &link[0], link.size());
            if (n < 0) return errno;
            link.resize(static_cast<size_t>(n));
            ::unlink(to.c_str());
            if (::symlink(link.c_str(), to.c_str()) != 0) return errno;
        } else if (S_ISREG(st.st_mode)) {
            if (int rc = CopyRegularFile(from, to, st.st_mode)) return rc;
        }
        // Sockets, pipes and devices are not copied.
        errno = 0;
    }
    return errno;  // a failing readdir sets it
}

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

}  // namespace

int CopyRegularFile(const std::string& source, const std::string& target, mode_t mode) {
    UniqueFd in;
    if (const int rc = OpenRegular(source, in)) return rc;
    // What stands at the target's name is replaced, never written through.
    UniqueFd out;
    if (const int rc = CreateFile(target, 0600, out)) return rc;
    std::unique_ptr<char[]> buf(new char[kCopyPiece]);
    for (;;) {
        ssize_t n = ::read(in.get(), buf.get(), kCopyPiece);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out.get(), buf.get() + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            done += w;
        }
    }
    if (::fchmod(out.get(), mode & 07777) != 0) return errno;
    return out.close() == 0 ? 0 : errno;
}

std::wstring SystemErrorText(int error) {
    if (error == kUntrustedLink) return RefusedLinkText();
    if (error == kNotPlainFile) return MsgLib<35>();
    if (error == kNoReader) return MsgLib<36>();
    if (error == kReaderStalled) return MsgLib<37>();
    return FromMultibyte(std::strerror(error));
}

bool IsDiskFull(int error) {
    return error == ENOSPC || error == EDQUOT;
}

void ThrowIfDiskFull(const std::wstring& path, int error) {
    if (IsDiskFull(error)) THROW_CRITICAL(Msg<1010>(path, SystemErrorText(error)), ERR_GENERIC);
}

int CreateDirectories(const std::wstring& path, mode_t mode, std::vector<std::wstring>* created) {
    std::string full;
    if (!ToSystemPath(ToSlashes(path), full)) return EILSEQ;
    if (full.empty()) return 0;  // the working directory
    UniqueFd dir;
    std::vector<std::string> made;
    const int rc = OpenDirectory(full, dir, true, mode, created != nullptr ? &made : nullptr);
    for (const std::string& name : made) created->push_back(FromMultibyte(name));
    return rc;
}

int CheckDirectory(const std::wstring& path, bool create) {
    std::string name;
    if (!ToSystemPath(path, name)) return EILSEQ;
    struct stat st;
    if (::stat(name.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : kNotADirectory;
    if (errno != ENOENT) return errno;
    return create ? CreateDirectories(path, 0755) : ENOENT;
}

std::wstring GetTempPath() {
    if (IsDirectory("/tmp")) return L"/tmp";
    std::string home;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr)
        home = pw->pw_dir;
    else if (const char* env = std::getenv("HOME"))
        home = env;
    std::wstring tmp = JoinPath(FromMultibyte(home), L"tmp");
    CheckDirectory(tmp, true);
    return tmp;
}

void RemoveDirectoryTree(const std::wstring& path) {
    std::string name;
    if (!ToSystemPath(path, name) || name.empty()) return;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    UniqueFd dir;
    std::string leaf;
    // Only the directory that holds the tree is found by its path, as every path is.
    if (OpenParent(name, dir, leaf) == 0) RemoveTreeAt(dir.get(), leaf.c_str());
}

int RemoveEmptyDirectories(const std::wstring& path) {
    std::string name;
    if (!ToSystemPath(path, name) || name.empty()) return EINVAL;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    UniqueFd dir;
    std::string leaf;
    int error = OpenParent(name, dir, leaf);
    if (error == 0) error = RemoveEmptyAt(dir.get(), leaf.c_str(), 0);
    return error == ENOENT ? 0 : error;
}

bool DeleteFile(const std::wstring& path, bool ignoreErrors) {
    std::string name;
    int error = ToSystemPath(path, name) ? 0 : EILSEQ;
    UniqueFd dir;
    std::string last;
    if (error == 0) error = OpenParent(name, dir, last);
    // The name itself goes (a link as the link), never a directory or what a link names.
    if (error == 0 && ::unlinkat(dir.get(), last.c_str(), 0) != 0) error = errno;
    if (error == 0) return true;
    if (ignoreErrors) return false;
    THROW_ERROR(MsgLib<8>(path, SystemErrorText(error)), error);
}

void MoveFile(const std::wstring& source, const std::wstring& target) {
    std::string from, to;
    const int error =
        ToSystemPath(source, from) && ToSystemPath(target, to) ? RenameFile(from, to) : EILSEQ;
    if (error == 0) return;
    THROW_ERROR(MsgLib<9>(source, target, SystemErrorText(error)), error);
}

int CopyDirectoryTree(const std::wstring& source, const std::wstring& target) {
    std::string from, to;
    if (!ToSystemPath(source, from) || !ToSystemPath(target, to)) return EILSEQ;
    struct stat st;
    if (::stat(from.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (int rc = CreateDirectories(target, 0755)) return rc;
    struct stat top;
    if (::stat(to.c_str(), &top) != 0) return errno;
    return CopyTree(from, to, top.st_dev, top.st_ino);
}

FILE* OpenFile(const std::wstring& path, const std::wstring& mode) {
    std::string name, narrowMode;
    if (!ToSystemPath(path, name) || !ToSystemPath(mode, narrowMode)) return nullptr;
    return std::fopen(name.c_str(), (narrowMode + "e").c_str());  // close-on-exec
}

std::string ShellCopyCommand(const std::string& source, const std::string& target, bool overwrite) {
    return std::string(overwrite ? "cp -R " : "cp -R -u ") + ShellQuote(source) + " " +
           ShellQuote(target);
}

bool RunShellCopy(const std::wstring& source, const std::wstring& target, bool overwrite) {
    std::string from, to;
    if (!ToSystemPath(source, from) || !ToSystemPath(target, to)) return false;
    std::fflush(nullptr);  // our earlier output comes before anything cp prints
    const int status = std::system(ShellCopyCommand(from, to, overwrite).c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int ReplaceFileContent(const std::string& target, const std::string& bytes, ReplaceStep* failed) {
    return ReplaceFile(target, bytes, 0644, failed);
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int InheritedDescriptor(const char* variable) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    const long fd = std::strtol(text, &end, 10);
    if (*end != '\0' || fd < 3 || fd > INT_MAX) return -1;
    if (fcntl(static_cast<int>(fd), F_GETFD) < 0) return -1;
    return static_cast<int>(fd);
}

}  // namespace UpdateNew
