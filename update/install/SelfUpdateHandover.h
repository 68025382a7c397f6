// SelfUpdateHandover: how the first process of a self-update learns that the helper it
// started has taken over, and then how the run the updated updater finishes ended.
//
// The first process opens a pipe and hands its write end to the helper (the descriptor's
// number in the environment variable kEnvironmentName, inherited through fork and exec).
// The helper does its copy actions and hands the write end on to the updated updater it
// starts (the same way), which writes one byte once it runs its update, and closes the
// pipe. A helper or an updated updater that cannot be started, cannot load what it needs
// or fails on the way ends without that byte: the first process sees the pipe close empty
// (or the wait run out, or an interrupt come) and fails the run instead of ending with 0
// while nothing was updated. An updated updater that finds the first process no longer
// waiting (its byte cannot be written) ends without doing anything, as that process rolls
// the self-update back.
//
// The updated updater keeps the pipe open for its whole run and at its end writes its
// result, one more byte; the first process waits for it and ends with that run's exit
// status, so whoever started the update (a scheduler, a service manager, a script) learns
// how the whole update ended, not only that its first half did. An updated updater that
// ends without that byte (killed) fails the first process.
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
    // end and waits for the byte, at most kWaitSeconds, looking at the interrupt flags
    // every second. True when the updated updater took over; otherwise false with `why`
    // saying what became of the helper (its exit status, the signal that ended it, that the
    // updater it started ended first, or that it did not answer in time or an interrupt came
    // and it was killed).
    bool WaitForTakeOver(int pid, std::wstring& why);
    // First process, after the take-over: waits, without a time limit, for the result of
    // the run the updated updater finishes. 0 when it succeeded; otherwise -1 with `why`
    // saying whether it failed or ended without a result. An interrupt does not end the wait:
    // the updated updater, in the same process group, gets the stop and rolls back itself
    // (a second signal ends this process at once, as always).
    int WaitForResult(std::wstring& why);

    // Helper side, at start: takes the descriptor named by the environment (if any) out of
    // the environment and keeps it from the programs this process starts.
    static void AdoptFromEnvironment();
    // Helper side: the updated updater about to be started inherits the descriptor (named
    // in the environment); ReleasePassedOn closes this process's copy once it is started.
    // Nothing when this process was not started by a self-update.
    static void PassOn();
    static void ReleasePassedOn();
    // Updated updater (or a helper that starts none): the take-over is complete; writes the
    // byte. False when the first process no longer waits for it (the descriptor is closed
    // then); true otherwise, and when this process was not started by a self-update.
    static bool SignalTakenOver();
    // Updated updater, at the very end of its run: writes the run's result (0 success) and
    // closes the descriptor. Nothing when this process was not started by a self-update, or
    // said nothing yet.
    static void SignalResult(int result);

private:
    int m_read = -1;
    int m_write = -1;
};

}  // namespace UpdateNew
