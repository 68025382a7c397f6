#include "base/ProcessTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

// Enough rounds for any tree that forks while being stopped; each round stops every
// process the one before found, and stopped processes start no more.
constexpr int kMaxRounds = 16;

// The parent named in "<proc>/<pid>/stat" ("pid (name) state ppid ..."; the name may hold
// blanks and parentheses, so the fields are read after its last ')'). -1 when unreadable.
pid_t ReadParent(int proc, const char* pid) {
    char path[32];
    std::snprintf(path, sizeof path, "%s/stat", pid);
    UniqueFd fd(::openat(proc, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) return -1;
    char text[512];
    const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
    if (n <= 0) return -1;
    text[n] = '\0';
    const char* end = std::strrchr(text, ')');
    int parent = -1;
    if (!end || std::sscanf(end + 1, " %*c %d", &parent) != 1) return -1;
    return parent;
}

// Every process with its parent, as /proc shows them now.
std::vector<std::pair<pid_t, pid_t>> ReadParents(int proc) {
    std::vector<std::pair<pid_t, pid_t>> parents;
    const int walk = ::openat(proc, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = walk >= 0 ? ::fdopendir(walk) : nullptr;
    if (!dir) {
        if (walk >= 0) ::close(walk);
        return parents;
    }
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const pid_t parent = ReadParent(proc, entry->d_name);
        if (parent > 0) parents.emplace_back(static_cast<pid_t>(pid), parent);
    }
    ::closedir(dir);
    return parents;
}

// The system calls, called directly: the C library's declarations of them are not
// usable from C++ in every version.
int PidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

void PidfdSend(int fd, int signal) {
    ::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0);
}

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

ProcessTree::~ProcessTree() {
    for (int fd : m_pidfds) ::close(fd);
}

int ProcessTree::Hold() {
    if (::kill(m_root, SIGSTOP) != 0) return errno;
    UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (proc.get() < 0) return 0;
    for (int round = 0; round < kMaxRounds; ++round) {
        const auto parents = ReadParents(proc.get());
        bool found = false;
        // From the top down: a parent is stopped before its children are looked for, and
        // the list grows while it is walked.
        for (size_t i = 0; i <= m_pids.size(); ++i) {
            const pid_t parent = i == 0 ? m_root : m_pids[i - 1];
            for (const auto& [pid, ppid] : parents) {
                if (ppid != parent || std::find(m_pids.begin(), m_pids.end(), pid) != m_pids.end())
                    continue;
                const int fd = PidfdOpen(pid);
                if (fd < 0) continue;  // ended meanwhile, or a kernel without pidfds
                // The parent, stopped, reaps nothing: a child still naming it is the one
                // found, not a later process that took its number.
                if (ReadParent(proc.get(), std::to_string(pid).c_str()) != parent) {
                    ::close(fd);
                    continue;
                }
                PidfdSend(fd, SIGSTOP);
                m_pidfds.push_back(fd);
                m_pids.push_back(pid);
                found = true;
            }
        }
        if (!found) break;
    }
    return 0;
}

void ProcessTree::Send(int signal, bool toRoot) {
    for (int sig : {signal, SIGCONT}) {
        if (toRoot) ::kill(m_root, sig);
        for (int fd : m_pidfds) PidfdSend(fd, sig);
    }
}

bool ProcessTree::WaitDescendants(double seconds) {
    const double deadline = Now() + seconds;
    std::vector<pollfd> running;
    for (int fd : m_pidfds) running.push_back(pollfd{fd, POLLIN, 0});
    while (!running.empty()) {
        const int ms = static_cast<int>(std::max(0.0, deadline - Now()) * 1000);
        const int ready = ::poll(running.data(), running.size(), ms);
        if (ready < 0 && errno != EINTR) return false;
        running.erase(std::remove_if(running.begin(), running.end(),
                                     [](const pollfd& p) { return p.revents != 0; }),
                      running.end());
        if (ready == 0 && !running.empty()) return false;
    }
    return true;
}

}  // namespace UpdateNew
