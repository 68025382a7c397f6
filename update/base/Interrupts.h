// SIGINT, SIGTERM and SIGHUP become flags (a closed terminal or session stops a run as
// SIGTERM does). The handlers do nothing that could block inside an
// interrupted malloc or stdio call: each sets its flag, writes kSignalReceivedLine to
// standard output with write(2) and restores the default action, so that a second
// signal of the same kind ends the process. The module download loop reads the flags
// between files, and every transfer's progress callback while it runs, so a transfer in
// progress is aborted within about a second.
#pragma once

#include <atomic>
#include <csignal>

namespace UpdateNew {

// The line a handler writes to standard output.
extern const char kSignalReceivedLine[];

// Set to 1 by the handler of their signal and never reset. Atomic: the transfer pool's
// thread reads them too, and a lock-free atomic is as safe in a handler as sig_atomic_t.
extern std::atomic<int> g_sigintReceived;
extern std::atomic<int> g_sigtermReceived;
extern std::atomic<int> g_sighupReceived;

// Installs the three handlers, SIGINT first. Returns 0, or the errno value of the signal()
// call that failed.
int InstallSignalHandlers();

// True once any of them has been received.
bool InterruptRequested();
// "SIGINT", "SIGTERM" or "SIGHUP" (in that order of precedence), null when none came.
const wchar_t* InterruptSignalName();

// When an interrupt signal arrived: logs the handler's line and throws
// CUpdateCriticalException -1 (message 252 naming the signal), which stops the run and
// rolls back what it did. Otherwise nothing. For the run's thread, between steps.
void ThrowIfInterrupted();

}  // namespace UpdateNew
