// InstallationLock: one update run per installation at a time.
//
// A run takes an exclusive flock on a lock file beside the kept master index
// ("<kept index>.lock") and holds it until the process ends; the file then says which
// process holds it. A second run finds it locked and ends at once. The kernel releases the
// lock of a process that was killed, so no stale lock survives its holder.
//
// The self-update keeps the lock across its processes: the descriptor is handed to the
// helper and from there to the updated updater (its number in the environment variable
// kEnvironmentName), which take it over instead of locking anew; no other child (module
// commands) inherits it.
//
// A check-only run writes nothing in the installation: it takes a shared lock on the file
// when there is one (so it does not check while an update runs) and creates none.
//
// Process-wide state, single-threaded.
#pragma once

#include <string>

namespace UpdateNew {

class InstallationLock {
public:
    static const char* const kEnvironmentName;  // "UPDATER_INSTALLATION_LOCK_FD"

    // The lock file of the installation whose kept master index is `keptIndex`.
    static std::wstring LockFileOf(const std::wstring& keptIndex);

    // At process start: takes a descriptor handed on by a self-update out of the
    // environment (kept from other children), so Acquire can take it over.
    static void AdoptFromEnvironment();

    // Locks `lockFile` for this process (exclusive; shared and only when the file exists
    // for `checkOnly`). True when locked (or when a check-only run finds no file); false
    // with `why` a message naming the installation `installation` and the holder's process
    // id when another run holds it, or the file and the system's reason when it cannot be
    // opened or locked.
    static bool Acquire(const std::wstring& lockFile, const std::wstring& installation,
                        bool checkOnly, std::wstring& why);

    // Before starting the next process of a self-update: lets that child inherit the
    // held descriptor and names it in the environment. Nothing when no lock is held.
    static void HandOnToNextProcess();
    // Once that child is started: keeps the descriptor from any later child again.
    static void KeepFromChildren();
};

}  // namespace UpdateNew
