// SelfUpdateHandover: how the first process of a self-update learns that the helper it
// started has taken over before it ends with success.
//
// The first process opens a pipe and hands its write end to the helper (the descriptor's
// number in the environment variable kEnvironmentName, inherited through fork and exec).
// The helper writes one byte once its configuration and plug-ins are loaded, its copy
// actions are done and the updated updater is started, and closes the pipe. A helper that
// cannot be started, cannot load what it needs or fails on the way ends without that byte:
// the first process sees the pipe close empty (or the wait run out) and fails the run
// instead of ending with 0 while nothing was updated.
//
// The first process owns one object for the duration of the start; the helper side is a
// pair of process-wide functions. Single-threaded.
#pragma once

#include <string>

namespace UpdateNew {

class SelfUpdateHandover {
public:
    static const char* const kEnvironmentName;  // "UPDATER_SELFUPDATE_HANDOVER_FD"
    // How long the first process waits for the helper to take over, in seconds.
    static constexpr int kWaitSeconds = 300;

    // First process: opens the pipe (both ends close-on-exec), hands the write end down to
    // the children RunProcess starts and puts its number into the environment. Throws
    // Exception (errno) when no pipe can be made.
    SelfUpdateHandover();
    // Closes what is still open and takes the variable out of the environment.
    ~SelfUpdateHandover();
    SelfUpdateHandover(const SelfUpdateHandover&) = delete;
    SelfUpdateHandover& operator=(const SelfUpdateHandover&) = delete;

    // First process, after the helper `pid` was started: closes its own copy of the write
    // end and waits for the helper's byte, at most kWaitSeconds. True when the helper took
    // over; otherwise false with `why` saying what became of the helper (its exit status,
    // the signal that ended it, or that it did not answer in time and was killed).
    bool WaitForTakeOver(int pid, std::wstring& why);

    // Helper side, at start: takes the descriptor named by the environment (if any) out of
    // the environment and keeps it from the programs this process starts.
    static void AdoptFromEnvironment();
    // Helper side: the take-over is complete; writes the byte and closes the descriptor.
    // Does nothing when this process was not started by a self-update.
    static void SignalTakenOver();

private:
    int m_read = -1;
    int m_write = -1;
};

}  // namespace UpdateNew
