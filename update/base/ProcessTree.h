// Ending a late child together with the processes it started. A module command or health
// check that outlives its time-out may have started programs of its own (a shell's
// pipeline, a sleep it waits for); signalling only the child would leave those running as
// orphans after the updater moved on. The child is not put into a process group of its
// own for this: it stays in the updater's, so a Ctrl-C at the terminal and the terminal's
// input reach it as before.
#pragma once

#include <sys/types.h>

#include <vector>

namespace UpdateNew {

// The child `root` and its descendants at the time of Hold(), found through /proc and
// each held by a pidfd, so that a process number freed and taken again meanwhile is never
// signalled. A program that left the tree before (a daemon that detached) is not part of
// it. Used by the one thread that waits for the child; the pidfds are closed with the object.
class ProcessTree {
public:
    // `root` is the caller's own child, not yet reaped.
    explicit ProcessTree(pid_t root) : m_root(root) {}
    ProcessTree(const ProcessTree&) = delete;
    ProcessTree& operator=(const ProcessTree&) = delete;
    ~ProcessTree();

    // Stops the root and every process below it (SIGSTOP, from the top down, until a walk
    // finds no new one), so none can start another while the tree is ended. Returns 0, or
    // the errno of stopping the root (the descendants are best effort).
    int Hold();

    // Sends `signal` to every held process, then SIGCONT, so that a stopped one gets it.
    // toRoot false leaves the root out (once reaped, its number is no longer its own).
    void Send(int signal, bool toRoot = true);

    // Waits up to `seconds` until every held process but the root has ended (the root is
    // the caller's to reap). True when all did.
    bool WaitDescendants(double seconds);

private:
    pid_t m_root;
    std::vector<int> m_pidfds;  // the descendants' pidfds, in the order found
    std::vector<pid_t> m_pids;  // their numbers, for finding their children
};

}  // namespace UpdateNew
