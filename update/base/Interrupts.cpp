#include "base/Interrupts.h"

#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "base/Exception.h"
#include "base/Logger.h"
#include "base/Messages.h"

namespace UpdateNew {

const char kSignalReceivedLine[] = "Signal received, exiting ...\n";

static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only store lock-free");
std::atomic<int> g_sigintReceived{0};
std::atomic<int> g_sigtermReceived{0};
std::atomic<int> g_sighupReceived{0};

namespace {

// Async-signal-safe: a flag store, one write(2) and signal(2), nothing else.
void WriteSignalLine() {
    ssize_t ignored = write(STDOUT_FILENO, kSignalReceivedLine, sizeof kSignalReceivedLine - 1);
    (void)ignored;
}

// One handler for the three signals: sets the signal's flag, says so, and gives the signal
// its default action back, so that a second one ends the process at once.
extern "C" void OnInterrupt(int signal) {
    int saved = errno;
    (signal == SIGINT    ? g_sigintReceived
     : signal == SIGTERM ? g_sigtermReceived
                         : g_sighupReceived) = 1;
    WriteSignalLine();
    std::signal(signal, SIG_DFL);
    errno = saved;
}

}  // namespace

int InstallSignalHandlers() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        if (std::signal(signal, OnInterrupt) == SIG_ERR) return errno;
    return 0;
}

bool InterruptRequested() {
    return g_sigintReceived != 0 || g_sigtermReceived != 0 || g_sighupReceived != 0;
}

const wchar_t* InterruptSignalName() {
    if (g_sigintReceived != 0) return L"SIGINT";
    if (g_sigtermReceived != 0) return L"SIGTERM";
    if (g_sighupReceived != 0) return L"SIGHUP";
    return nullptr;
}

void ThrowIfInterrupted() {
    const wchar_t* signal = InterruptSignalName();
    if (!signal) return;
    LogDebug(L"%S", kSignalReceivedLine);
    THROW_CRITICAL(Msg<252>(Msg<707>(signal)), ERR_GENERIC);
}

}  // namespace UpdateNew
