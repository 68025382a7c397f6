#include "base/TrustedDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwchar>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"

namespace UpdateNew {

namespace {

std::wstring ModeText(mode_t mode) {
    wchar_t text[8];
    std::swprintf(text, 8, L"%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::wstring ExamineFault(const std::string& path, int error) {
    return Msg<821>(FromMultibyte(path), SystemErrorText(error));
}

std::wstring OwnerFault(const std::string& path, uid_t owner) {
    return Msg<818>(FromMultibyte(path), static_cast<unsigned>(owner),
                    static_cast<unsigned>(::geteuid()));
}

// Checks every directory above the absolute `path` ("/" first), as the kernel walks it.
// A link on the way is followed by the kernel, so it must be ours; where it points is
// checked through the resolved path.
std::wstring FaultAbove(const std::string& path) {
    for (size_t start = 0, slash; (slash = path.find('/', start)) != std::string::npos;) {
        // Up to the last component, which is the directory itself.
        start = slash + 1;
        if (slash != 0 && path[slash - 1] == '/') continue;  // "//"
        const std::string prefix = slash == 0 ? "/" : path.substr(0, slash);
        struct stat st;
        if (::lstat(prefix.c_str(), &st) != 0) return ExamineFault(prefix, errno);
        if (!TrustedOwner(st.st_uid)) return OwnerFault(prefix, st.st_uid);
        if (S_ISLNK(st.st_mode)) continue;
        if (!S_ISDIR(st.st_mode)) return Msg<817>(FromMultibyte(prefix));
        if ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0)
            return Msg<820>(FromMultibyte(prefix));
    }
    return std::wstring();
}

}  // namespace

std::wstring DirectoryTrustFault(const std::wstring& wide) {
    std::string path;
    if (!WideToMultibyte(wide, path)) return Msg<821>(wide, SystemErrorText(EILSEQ));
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return ExamineFault(".", errno);
        path = std::string(cwd) + "/" + path;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();

    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return ExamineFault(path, errno);
    if (S_ISLNK(st.st_mode)) return Msg<816>(FromMultibyte(path));
    if (!S_ISDIR(st.st_mode)) return Msg<817>(FromMultibyte(path));
    if (st.st_uid != ::geteuid()) return OwnerFault(path, st.st_uid);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return Msg<819>(FromMultibyte(path), ModeText(st.st_mode));

    std::wstring fault = FaultAbove(path);
    if (!fault.empty()) return fault;
    // Links above it: the directories it really lies in count as well.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return ExamineFault(path, errno);
    const std::string real = resolved;
    std::free(resolved);
    return real == path ? std::wstring() : FaultAbove(real);
}

std::wstring ProgramTrustFault(const std::wstring& wide) {
    std::string path;
    if (!WideToMultibyte(wide, path)) return Msg<821>(wide, SystemErrorText(EILSEQ));
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::wstring();
    const std::string real = resolved;
    std::free(resolved);
    struct stat st;
    if (::stat(real.c_str(), &st) != 0) return std::wstring();
    if (!OnlyTrustedMayWrite(st))
        return Msg<1224>(FromMultibyte(real), static_cast<unsigned>(st.st_uid),
                         ModeText(st.st_mode));
    // The directories it lies in, "/" first; a group may write only root's group's.
    for (size_t slash = real.rfind('/'); slash != std::string::npos && slash != 0;
         slash = real.rfind('/', slash - 1)) {
        const std::string dir = real.substr(0, slash);
        if (::stat(dir.c_str(), &st) != 0) return ExamineFault(dir, errno);
        if (!TrustedOwner(st.st_uid)) return OwnerFault(dir, st.st_uid);
        const bool others =
            (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0);
        if (others && (st.st_mode & S_ISVTX) == 0)
            return Msg<819>(FromMultibyte(dir), ModeText(st.st_mode));
    }
    return std::wstring();
}

std::wstring FileTrustFault(int fd, const std::wstring& path) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Msg<821>(path, SystemErrorText(errno));
    if (!S_ISREG(st.st_mode)) return Msg<824>(path);
    if (st.st_uid != ::geteuid())
        return Msg<818>(path, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(::geteuid()));
    if ((st.st_mode & S_IWOTH) != 0) return Msg<819>(path, ModeText(st.st_mode));
    return std::wstring();
}

int CreatePrivateDirectory(const std::wstring& path, std::vector<std::wstring>* created) {
    const std::wstring bare = WithoutTrailingSlash(ToSlashes(path));
    std::string name;
    if (!WideToMultibyte(bare, name)) return EILSEQ;
    struct stat st;
    if (::lstat(name.c_str(), &st) == 0) return 0;
    if (errno != ENOENT) return errno;
    const std::wstring parent = GetDirPart(bare);
    if (!parent.empty()) {
        if (int rc = CreateDirectories(parent, 0755, created)) return rc;
    }
    // Made by someone else in the meantime: the caller's check decides.
    if (::mkdir(name.c_str(), 0700) != 0) return errno == EEXIST ? 0 : errno;
    if (created != nullptr) created->push_back(bare);
    return 0;
}

std::wstring CreateUniqueDirectory(const std::wstring& prefix) {
    std::string name;
    if (!WideToMultibyte(prefix, name)) {
        errno = EILSEQ;
        return std::wstring();
    }
    name += "XXXXXX";
    if (::mkdtemp(&name[0]) == nullptr) return std::wstring();
    return FromMultibyte(name);
}

}  // namespace UpdateNew
