// SIGINT and SIGTERM become flags. The handlers do nothing that could block inside an
// interrupted malloc or stdio call: each sets its flag, writes kSignalReceivedLine to
// standard output with write(2) and restores the default action, so that a second
// signal of the same kind ends the process. Only the module download loop reads the
// flags, between files; it is also the one that puts the line into the log.
#pragma once

#include <csignal>

namespace UpdateNew {

// The line a handler writes to standard output.
extern const char kSignalReceivedLine[];

// Set to 1 by the handler of their signal and never reset.
extern volatile std::sig_atomic_t g_sigintReceived;
extern volatile std::sig_atomic_t g_sigtermReceived;

// Installs both handlers, SIGINT first. Returns 0, or the errno value of the signal()
// call that failed.
int InstallSignalHandlers();

// True once either signal has been received.
bool InterruptRequested();

// Puts kSignalReceivedLine into the log and throws CUpdateCriticalException with message
// 252 (code -1): how the run stops when it finds a flag set.
[[noreturn]] void ThrowInterrupted();

}  // namespace UpdateNew
