// One update run per installation at a time (check-only runs share the lock among
// themselves, never with a real run). A run holds an exclusive flock on a lock
// file beside the kept master index ("<kept index>.lock") from before its first step to
// its end; the file holds the holder's process id, so a second run can say who holds it.
// The kernel drops the lock when the holder ends, however it ends (a killed run does not
// block the next one).
//
// Through a self-update the lock passes on instead of being released: the process that
// starts the self-update helper hands its descriptor down (HandOver), the helper keeps it
// open for the updater it restarts, and that updater adopts it when it finds the same
// file. Module commands and other children never inherit it.
#pragma once

#include <string>

namespace UpdateNew {

class RunLock {
public:
    // The environment variable through which a handed-over descriptor is named.
    static const char* const kHandOverVariable;  // "UPDATER_RUN_LOCK_FD"

    RunLock() = default;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    // Releases the lock (closes the descriptor) unless it was handed over.
    ~RunLock();

    // Takes the lock on `path` (created with its directory when missing), or adopts the one
    // a self-update handed down for that same file. Throws CUpdateCriticalException
    // (ERR_INSTALL_DIR) naming `installation` and the holder's process id when another run
    // holds it, or naming the file and the system error when it cannot be taken.
    void acquire(const std::wstring& path, const std::wstring& installation);
    // A check-only run: takes the lock on `path` shared when the file exists (opened
    // read-only, never created), so that it never looks at the kept index while a real run
    // writes it. Nothing when the file does not exist. Throws CUpdateCriticalException
    // (ERR_INSTALL_DIR) naming `installation` while a real run holds it, or naming the file
    // and the system error when it cannot be opened or locked.
    void acquireShared(const std::wstring& path, const std::wstring& installation);
    // In the self-update helper: keeps a handed-down descriptor open and hands it down to
    // the updater it restarts. Nothing when none was handed down.
    void keepHandedDown();
    // Hands the held descriptor down to the next children started (HandDownDescriptor) and
    // names it in the environment, for the self-update helper about to be started. Nothing
    // when no lock is held.
    void handOver();
    // Once the helper is started: no later child inherits the descriptor.
    void takeBack();

    bool held() const { return m_fd >= 0; }
    // Whether acquire or acquireShared failed because another run holds the lock.
    bool busy() const { return m_busy; }

    // The process that holds the lock on `path` as a real run does (exclusive), as the
    // kernel lists it (/proc/locks); 0 when none does. Takes no lock itself, so that a
    // look at the installation never keeps a run from starting.
    static long Holder(const std::wstring& path);
    // The lock of this process (null when none): the self-update uses it to hand it over.
    static RunLock* current();

private:
    int m_fd = -1;
    bool m_busy = false;
};

}  // namespace UpdateNew
