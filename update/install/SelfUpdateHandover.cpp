#include "install/SelfUpdateHandover.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Messages.h"
#include "base/RunProcess.h"

namespace UpdateNew {

const char* const SelfUpdateHandover::kEnvironmentName = "UPDATER_SELFUPDATE_HANDOVER_FD";

namespace {

// The helper's end of the pipe, -1 when this process was not started by a self-update.
int g_helperFd = -1;
// The take-over byte was written: the result byte follows at the end.
bool g_tookOver = false;

constexpr char kTakenOver = 1;
constexpr char kSucceeded = 2;
constexpr char kFailed = 3;

// One byte to the first process. False when it no longer reads: the write fails with EPIPE,
// which must not end this process before it can say so.
bool WriteByte(char byte) {
    void (*previous)(int) = ::signal(SIGPIPE, SIG_IGN);
    ssize_t n;
    do {
        n = ::write(g_helperFd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    ::signal(SIGPIPE, previous == SIG_ERR ? SIG_DFL : previous);
    return n == 1;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The helper's outcome as a text, once it has ended or was stopped.
std::wstring Outcome(int status) {
    if (WIFSIGNALED(status)) return Msg<702>(WTERMSIG(status));
    // 127: the child could not execute the helper program (see RunProcess).
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return Msg<703>();
    // The helper did its part; the updater it started is what did not take over.
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return Msg<881>();
    return Msg<701>(WIFEXITED(status) ? WEXITSTATUS(status) : status);
}

}  // namespace

SelfUpdateHandover::SelfUpdateHandover() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        THROW_ERROR(L"Can not create the self-update hand-over pipe", errno);
    m_read = fds[0];
    m_write = fds[1];
    // Only the write end goes to the helper.
    HandDownDescriptor(m_write);
    ::setenv(kEnvironmentName, std::to_string(m_write).c_str(), 1);
}

SelfUpdateHandover::~SelfUpdateHandover() {
    ::unsetenv(kEnvironmentName);
    StopHandingDown(m_write);
    CloseFd(m_read);
    CloseFd(m_write);
}

bool SelfUpdateHandover::WaitForTakeOver(int pid, std::wstring& why) {
    ::unsetenv(kEnvironmentName);
    // Without this copy closed, the pipe never reports the helper's end.
    StopHandingDown(m_write);
    CloseFd(m_write);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        if (const wchar_t* signal = InterruptSignalName()) {
            // Stopped here, the run rolls the module back: nothing may copy after that.
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
            why = Msg<707>(signal);
            return false;
        }
        pollfd p{m_read, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left < 1000 ? left : 1000));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        char byte = 0;
        const ssize_t n = ::read(m_read, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n == 1 && byte == kTakenOver) return true;
        // Closed without the byte: the helper ended (or is about to); say how.
        int status = 0;
        if (::waitpid(pid, &status, 0) == pid)
            why = Outcome(status);
        else
            why = Msg<701>(-1);
        return false;
    }
    // No answer in time: the helper is stopped, so that it cannot take over later.
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    why = Msg<704>(kWaitSeconds);
    return false;
}

int SelfUpdateHandover::WaitForResult(std::wstring& why) {
    for (;;) {
        char byte = 0;
        const ssize_t n = ::read(m_read, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n == 1 && byte == kSucceeded) return 0;
        why = n == 1 && byte == kFailed ? Msg<1214>() : Msg<1215>();
        return -1;
    }
}

void SelfUpdateHandover::AdoptFromEnvironment() {
    const int fd = InheritedDescriptor(kEnvironmentName);
    ::unsetenv(kEnvironmentName);
    if (fd < 0) return;
    g_helperFd = fd;
    ::fcntl(g_helperFd, F_SETFD, FD_CLOEXEC);
}

void SelfUpdateHandover::PassOn() {
    if (g_helperFd < 0) return;
    // Stays close-on-exec here; only the restarted updater, a child started from now on,
    // gets it.
    HandDownDescriptor(g_helperFd);
    ::setenv(kEnvironmentName, std::to_string(g_helperFd).c_str(), 1);
}

void SelfUpdateHandover::ReleasePassedOn() {
    ::unsetenv(kEnvironmentName);
    if (g_helperFd >= 0) StopHandingDown(g_helperFd);
    CloseFd(g_helperFd);
}

bool SelfUpdateHandover::SignalTakenOver() {
    if (g_helperFd < 0) return true;
    // A first process that gave up has closed its end.
    g_tookOver = WriteByte(kTakenOver);
    if (!g_tookOver) CloseFd(g_helperFd);
    return g_tookOver;
}

void SelfUpdateHandover::SignalResult(int result) {
    if (g_helperFd < 0) return;
    if (g_tookOver) WriteByte(result == 0 ? kSucceeded : kFailed);
    CloseFd(g_helperFd);
}

}  // namespace UpdateNew
