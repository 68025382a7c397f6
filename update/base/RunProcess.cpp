#include "base/RunProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/ProcessTree.h"

namespace UpdateNew {

namespace {

// How long a late child and its descendants get between SIGTERM and SIGKILL.
constexpr double kGraceSeconds = 5;

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// waitpid that survives the interrupt flags' signals.
pid_t WaitChild(pid_t pid, int* status, int options) {
    pid_t r;
    do {
        r = waitpid(pid, status, options);
    } while (r == -1 && errno == EINTR);
    return r;
}

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Waits up to `seconds` for the child; returns its pid once ended, 0 while it still runs.
pid_t WaitAtMost(pid_t pid, int* status, double seconds) {
    const double deadline = Now() + seconds;
    for (;;) {
        pid_t r = WaitChild(pid, status, WNOHANG);
        if (r != 0 || Now() >= deadline) return r;
        usleep(20 * 1000);
    }
}

std::vector<int>& HandedDown() {
    static std::vector<int> fds;
    return fds;
}

// Closes the descriptors from `from` to `to` (inclusive). Runs in the child between fork and
// exec, so only async-signal-safe calls: close_range where the kernel has it, else a walk
// of /proc/self/fd through raw getdents64, else every number up to the descriptor limit.
void CloseRange(unsigned from, unsigned to) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, from, to, 0) == 0) return;
#endif
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        alignas(8) char buffer[4096];
        long n;
        while ((n = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
            for (long at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                at += entry->d_reclen;
                unsigned fd = 0;
                const char* c = entry->d_name;
                for (; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + static_cast<unsigned>(*c - '0');
                if (*c == '\0' && c != entry->d_name && fd >= from && fd <= to &&
                    static_cast<int>(fd) != dir)
                    ::close(static_cast<int>(fd));
            }
        }
        ::close(dir);
        if (n == 0) return;
    }
    rlimit limit{};
    const unsigned last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                              ? static_cast<unsigned>(limit.rlim_cur) - 1
                              : 65535u;
    for (unsigned fd = from; fd <= to && fd <= last; ++fd) ::close(static_cast<int>(fd));
}

// In the child: every descriptor from 3 up is closed but those in `keep` (sorted), and the
// handed-down ones among them lose close-on-exec.
void CloseAllBut(const std::vector<int>& keep, const std::vector<int>& handDown) {
    for (int fd : handDown) ::fcntl(fd, F_SETFD, 0);
    unsigned from = 3;
    for (int fd : keep) {
        if (fd < 3) continue;
        if (static_cast<unsigned>(fd) > from) CloseRange(from, static_cast<unsigned>(fd) - 1);
        from = static_cast<unsigned>(fd) + 1;
    }
    CloseRange(from, ~0U);
}

}  // namespace

void HandDownDescriptor(int fd) {
    std::vector<int>& fds = HandedDown();
    if (fd >= 3 && std::find(fds.begin(), fds.end(), fd) == fds.end()) fds.push_back(fd);
}

void StopHandingDown(int fd) {
    std::vector<int>& fds = HandedDown();
    fds.erase(std::remove(fds.begin(), fds.end(), fd), fds.end());
}

int SplitCommandLine(const std::wstring& commandLine, int& count, std::wstring tokens[30]) {
    count = 0;
    size_t begin = 0, end = commandLine.size();
    while (begin < end && IsBlank(commandLine[begin])) ++begin;
    while (end > begin && IsBlank(commandLine[end - 1])) --end;
    for (int i = 0; i < kMaxCommandTokens; ++i) tokens[i].clear();

    size_t pos = begin;
    while (pos < end) {
        if (count == kMaxCommandTokens) {
            for (int i = 0; i < kMaxCommandTokens; ++i) tokens[i].clear();
            count = 0;
            return kTooManyTokens;
        }
        while (pos < end && IsBlank(commandLine[pos])) ++pos;
        if (pos >= end) {
            for (int i = 0; i < kMaxCommandTokens; ++i) tokens[i].clear();
            count = 0;
            return kBadCommandLine;
        }
        size_t stop;
        if (commandLine[pos] == L'"') {
            stop = commandLine.find(L'"', pos + 1);
            if (stop == std::wstring::npos || stop >= end) {
                for (int i = 0; i < kMaxCommandTokens; ++i) tokens[i].clear();
                count = 0;
                return kBadCommandLine;
            }
            tokens[count++] = commandLine.substr(pos + 1, stop - pos - 1);
            pos = stop + 1;
        } else {
            stop = pos;
            while (stop < end && !IsBlank(commandLine[stop])) ++stop;
            tokens[count++] = commandLine.substr(pos, stop - pos);
            pos = stop;
        }
    }
    return 0;
}

int RunProcess(const std::wstring& program, const std::wstring& arguments, int timeout,
               std::wstring& resultText, bool terminateWhenLate, ProcessOutcome* outcome,
               int* childPid) {
    ProcessOutcome ignored;
    ProcessOutcome& result = outcome ? *outcome : ignored;
    result = ProcessOutcome();
    // The argument vector is built before the fork, so a bad command line is reported by
    // the updater itself and the child has nothing left to do but exec.
    // The program is one argument whatever it holds (an installation path with a blank);
    // the arguments alone are split, into at most the rest of the 30 tokens.
    std::wstring tokens[kMaxCommandTokens];
    int count = 0;
    int split = SplitCommandLine(arguments, count, tokens);
    if (split == 0 && count > kMaxCommandTokens - 1) split = kTooManyTokens;
    if (split != 0) {
        const std::wstring why =
            split == kTooManyTokens ? L"more than 30 words" : L"a double quote is not closed";
        THROW_ERROR(
            L"Can not convert command line string (" + why + L"): " + program + L" " + arguments,
            split);
    }
    std::vector<std::string> args;
    args.reserve(static_cast<size_t>(count) + 1);
    args.push_back(WideToUtf8(program));
    for (int i = 0; i < count; ++i) args.push_back(WideToUtf8(tokens[i]));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const std::string path = WideToUtf8(program);

    // A failed execv sends its errno through this pipe; a successful one closes it unread
    // (close-on-exec), so the parent tells "could not start" from "exited with 127".
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) THROW_ERROR(L"Can not create a pipe", errno);
    // What the child keeps, worked out before the fork: the child may not allocate.
    const std::vector<int> handDown = HandedDown();
    std::vector<int> keep = handDown;
    keep.push_back(report[1]);
    std::sort(keep.begin(), keep.end());
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == -1) {
        const int err = errno;
        close(report[0]);
        close(report[1]);
        THROW_ERROR(L"Can not fork", err);
    }
    if (pid == 0) {
        CloseAllBut(keep, handDown);
        // The updater ignores SIGPIPE; the programs it starts get the usual action.
        std::signal(SIGPIPE, SIG_DFL);
        execv(path.c_str(), argv.data());
        // Still the updater's copy: report and leave at once, running none of its code.
        const int err = errno;
        (void)!::write(report[1], &err, sizeof err);
        char line[600];
        int n = std::snprintf(line, sizeof(line), "Can not execute process %s: %s (%d)\n",
                              path.c_str(), std::strerror(err), err);
        if (n > 0) (void)!::write(STDERR_FILENO, line, std::min<size_t>(n, sizeof(line) - 1));
        _exit(127);
    }

    close(report[1]);
    int startError = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &startError, sizeof startError);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof startError)) {
        result.kind = ProcessOutcome::kNotStarted;
        result.startError = startError;
    }

    if (childPid) *childPid = pid;
    if (timeout == 0) return 0;
    int status = 0;
    pid_t r = timeout < 0 ? WaitChild(pid, &status, 0) : WaitAtMost(pid, &status, timeout);
    if (r == -1) THROW_ERROR(L"Error waiting child", errno);
    if (r == 0) {
        if (terminateWhenLate) {
            // The child and what it started end together; the child is reaped, so no
            // zombie is left. Whatever ignores SIGTERM for 5 seconds is killed.
            ProcessTree tree(pid);
            if (tree.Hold() != 0) {
                resultText = L"Can not terminate child process";
                return -1;
            }
            tree.Send(SIGTERM);
            const double deadline = Now() + kGraceSeconds;
            const bool ended = WaitAtMost(pid, &status, kGraceSeconds) != 0;
            if (!ended) {
                kill(pid, SIGKILL);
                WaitChild(pid, &status, 0);
            }
            if (!tree.WaitDescendants(std::max(0.0, deadline - Now()))) tree.Send(SIGKILL, false);
            resultText =
                L"Child process terminated because it didn't returned in the specified time";
            result.kind = ProcessOutcome::kTimedOut;
            return 0;
        }
        return 0;
    }
    if (result.kind == ProcessOutcome::kNotStarted) {
        resultText = L"Child process could not be started: " +
                     FromMultibyte(std::strerror(result.startError));
    } else if (WIFSIGNALED(status)) {
        result.kind = ProcessOutcome::kSignaled;
        result.status = WTERMSIG(status);
        resultText = L"Child process ended by signal " + std::to_wstring(result.status);
    } else {
        result.kind = ProcessOutcome::kExited;
        result.status = WEXITSTATUS(status);
        resultText = result.status == 0
                         ? L"Child process successfully executed"
                         : L"Child process exited with status " + std::to_wstring(result.status);
    }
    return 0;
}

int RunProcessAndWait(const std::wstring& program, const std::wstring& arguments,
                      std::wstring& resultText) {
    return RunProcess(program, arguments, -1, resultText, true);
}

}  // namespace UpdateNew
