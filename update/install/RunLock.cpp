#include "install/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/RunProcess.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

const char* const RunLock::kHandOverVariable = "UPDATER_RUN_LOCK_FD";

namespace {

RunLock* g_current = nullptr;

bool SameFile(int fd, const std::string& path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// The process id the holder wrote into the lock file `fd`; "?" when unreadable.
std::wstring HolderText(int fd) {
    std::string text;
    char buffer[32];
    const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
    if (n > 0) text.assign(buffer, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return L"?";
    return FromMultibyte(text);
}

// Opens the lock file `file`, a plain file of its own that is never replaced (another run
// may hold a lock on it); a missing one is made exclusively. 0 or the error number (ELOOP,
// EISDIR, EINVAL for what is no such file).
int OpenLockFile(const std::string& file, UniqueFd& fd) {
    UniqueFd dir;
    std::string name;
    if (int rc = OpenParent(file, dir, name)) return rc;
    // Bounded: each round the name either was there or was made.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int rc = OpenExistingAt(dir.get(), name, O_RDWR, fd);
        if (rc != ENOENT) return rc;
        // Readable by its owner alone: whoever may open it may hold it (flock needs no more
        // than that), and so stop every run.
        const int made = openat(dir.get(), name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (made >= 0) {
            fd.reset(made);
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

void SetCloseOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace

RunLock::~RunLock() {
    if (g_current == this) g_current = nullptr;
    if (m_fd < 0) return;
    StopHandingDown(m_fd);
    close(m_fd);
}

RunLock* RunLock::current() {
    return g_current;
}

void RunLock::acquire(const std::wstring& path, const std::wstring& installation) {
    const std::string file = ToMultibyte(path);
    if (int fd = InheritedDescriptor(RunLock::kHandOverVariable); fd >= 0 && SameFile(fd, file)) {
        // The updater a self-update restarted: the lock is already ours.
        unsetenv(kHandOverVariable);
        SetCloseOnExec(fd);
        // The process that holds it now is this one: the one that started the self-update
        // may be gone.
        const std::string pid = std::to_string(getpid()) + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0)
            LogDebug(L"Cannot write the process id into %s\n", path.c_str());
        m_fd = fd;
        g_current = this;
        LogDebug(L"Run lock %s taken over from the self-update\n", path.c_str());
        return;
    }
    const std::wstring dir = GetDirPart(path);
    if (!dir.empty()) CreateDirectories(dir);
    UniqueFd opened;
    const int openError = OpenLockFile(file, opened);
    if (openError != 0)
        THROW_CRITICAL(
            Msg<696>(path, openError == ELOOP || openError == EINVAL || openError == EISDIR
                               ? Msg<842>()
                               : SystemErrorText(openError)),
            ERR_INSTALL_DIR);
    // One an earlier version made open to all is closed to others from now on.
    struct stat st;
    if (fstat(opened.get(), &st) == 0 && (st.st_mode & 077) != 0 && st.st_uid == geteuid())
        fchmod(opened.get(), 0600);
    if (flock(opened.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        m_busy = error == EWOULDBLOCK;
        if (m_busy)
            THROW_CRITICAL(Msg<695>(installation, HolderText(opened.get()), path), ERR_INSTALL_DIR);
        THROW_CRITICAL(Msg<696>(path, SystemErrorText(error)), ERR_INSTALL_DIR);
    }
    const int fd = opened.release();
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0)
        LogDebug(L"Cannot write the process id into %s\n", path.c_str());
    m_fd = fd;
    g_current = this;
    LogDebug(L"Run lock %s taken\n", path.c_str());
}

void RunLock::acquireShared(const std::wstring& path, const std::wstring& installation) {
    const std::string file = ToMultibyte(path);
    UniqueFd opened;
    // Never a link, a FIFO or a file with other names: the same rule as the real run's.
    if (const int rc = OpenExisting(file, O_RDONLY, opened)) {
        if (rc == ENOENT) return;  // no real run has been here yet
        if (rc == EACCES) {
            // Another user's installation, whose lock only its owner may hold: a check by
            // this user goes on without it, as it may not change the installation anyway.
            LogDebug(L"Run lock %s is not this user's to take; the check goes on without it\n",
                     path.c_str());
            return;
        }
        THROW_CRITICAL(Msg<696>(path, SystemErrorText(rc)), ERR_INSTALL_DIR);
    }
    const int fd = opened.release();
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        m_busy = error == EWOULDBLOCK;
        if (m_busy) THROW_CRITICAL(Msg<880>(installation, path), ERR_INSTALL_DIR);
        THROW_CRITICAL(Msg<696>(path, SystemErrorText(error)), ERR_INSTALL_DIR);
    }
    m_fd = fd;
    LogDebug(L"Run lock %s taken shared\n", path.c_str());
}

void RunLock::keepHandedDown() {
    const int fd = InheritedDescriptor(RunLock::kHandOverVariable);
    if (fd < 0) return;
    // Stays named for the restarted updater, which alone of this process's children gets it.
    SetCloseOnExec(fd);
    HandDownDescriptor(fd);
    m_fd = fd;
    g_current = this;
}

void RunLock::handOver() {
    if (m_fd < 0) return;
    HandDownDescriptor(m_fd);
    setenv(kHandOverVariable, std::to_string(m_fd).c_str(), 1);
}

void RunLock::takeBack() {
    if (m_fd < 0) return;
    StopHandingDown(m_fd);
    unsetenv(kHandOverVariable);
}

long RunLock::Holder(const std::wstring& path) {
    struct stat st;
    if (::stat(ToMultibyte(path).c_str(), &st) != 0) return 0;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    UniqueFd locks;
    std::string text;
    if (OpenRegular("/proc/locks", locks) != 0) return 0;
    char piece[4096];
    for (ssize_t n; (n = ::read(locks.get(), piece, sizeof piece)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        text.append(piece, static_cast<size_t>(n));
    }
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->" after
    // its number.
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string number, kind, advisory, access, pid, file;
        if (!(words >> number >> kind >> advisory >> access >> pid >> file)) continue;
        if (kind != "FLOCK" || access != "WRITE" || file != id) continue;
        // The kernel names the process that took the lock; a self-update's last updater,
        // which holds it now, wrote its own id into the file.
        UniqueFd lock;
        const std::wstring holder =
            OpenRegular(ToMultibyte(path), lock) == 0 ? HolderText(lock.get()) : L"?";
        return holder != L"?" ? std::wcstol(holder.c_str(), nullptr, 10) : std::atol(pid.c_str());
    }
    return 0;
}

}  // namespace UpdateNew
