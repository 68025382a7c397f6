#include "install/InstallationLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/PathUtils.h"

namespace UpdateNew {

const char* const InstallationLock::kEnvironmentName = "UPDATER_INSTALLATION_LOCK_FD";

namespace {

int g_heldFd = -1;       // the lock this process holds
int g_inheritedFd = -1;  // a lock handed on by the process before, not yet taken over

// The process id the lock file names, or "?" when it names none.
std::wstring HolderOf(int fd) {
    char buf[32] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.empty() ? std::wstring(L"?") : FromMultibyte(text);
}

bool SameFile(int fd, const std::string& path) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

}  // namespace

std::wstring InstallationLock::LockFileOf(const std::wstring& keptIndex) {
    return keptIndex + L".lock";
}

void InstallationLock::AdoptFromEnvironment() {
    const char* value = std::getenv(kEnvironmentName);
    if (!value) return;
    char* end = nullptr;
    const long fd = std::strtol(value, &end, 10);
    ::unsetenv(kEnvironmentName);
    if (end == value || *end != '\0' || fd < 0 || ::fcntl(static_cast<int>(fd), F_GETFD) < 0)
        return;
    g_inheritedFd = static_cast<int>(fd);
    ::fcntl(g_inheritedFd, F_SETFD, FD_CLOEXEC);
}

bool InstallationLock::Acquire(const std::wstring& lockFile, const std::wstring& installation,
                               bool checkOnly, std::wstring& why) {
    const std::string path = ToMultibyte(lockFile);
    if (g_heldFd >= 0) return true;
    // Handed on by the self-update: the same lock, already held by the run.
    if (g_inheritedFd >= 0 && SameFile(g_inheritedFd, path) &&
        ::flock(g_inheritedFd, LOCK_EX | LOCK_NB) == 0) {
        g_heldFd = g_inheritedFd;
        g_inheritedFd = -1;
        return true;
    }
    int fd = -1;
    if (checkOnly) {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return true;  // no update ever ran, or none that can be waited for
    } else {
        const std::wstring dir = GetDirPart(lockFile);
        if (!dir.empty()) CreateDirectories(dir);
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            why = Msg<709>(lockFile, SystemErrorText(errno));
            return false;
        }
    }
    if (::flock(fd, (checkOnly ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        const int err = errno;
        why = err == EWOULDBLOCK ? Msg<708>(installation, HolderOf(fd))
                                 : Msg<709>(lockFile, SystemErrorText(err));
        ::close(fd);
        return false;
    }
    if (!checkOnly) {
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
            // The lock holds; only the holder's name for a second run is missing.
        }
    }
    g_heldFd = fd;
    return true;
}

void InstallationLock::HandOnToNextProcess() {
    const int fd = g_heldFd >= 0 ? g_heldFd : g_inheritedFd;
    if (fd < 0) return;
    ::fcntl(fd, F_SETFD, 0);
    ::setenv(kEnvironmentName, std::to_string(fd).c_str(), 1);
}

void InstallationLock::KeepFromChildren() {
    ::unsetenv(kEnvironmentName);
    for (int fd : {g_heldFd, g_inheritedFd})
        if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace UpdateNew
