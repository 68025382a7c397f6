#include "base/Interrupts.h"

#include <unistd.h>

#include <cerrno>

namespace UpdateNew {

const char kSignalReceivedLine[] = "Signal received, exiting ...\n";

volatile std::sig_atomic_t g_sigintReceived = 0;
volatile std::sig_atomic_t g_sigtermReceived = 0;
volatile std::sig_atomic_t g_sighupReceived = 0;

namespace {

// Async-signal-safe: a flag store, one write(2) and signal(2), nothing else.
void WriteSignalLine() {
    ssize_t ignored = write(STDOUT_FILENO, kSignalReceivedLine, sizeof kSignalReceivedLine - 1);
    (void)ignored;
}

extern "C" void OnSigint(int) {
    int saved = errno;
    g_sigintReceived = 1;
    WriteSignalLine();
    std::signal(SIGINT, SIG_DFL);
    errno = saved;
}

extern "C" void OnSigterm(int) {
    int saved = errno;
    g_sigtermReceived = 1;
    WriteSignalLine();
    std::signal(SIGTERM, SIG_DFL);
    errno = saved;
}

extern "C" void OnSighup(int) {
    int saved = errno;
    g_sighupReceived = 1;
    WriteSignalLine();
    std::signal(SIGHUP, SIG_DFL);
    errno = saved;
}

}  // namespace

int InstallSignalHandlers() {
    if (std::signal(SIGINT, OnSigint) == SIG_ERR) return errno;
    if (std::signal(SIGTERM, OnSigterm) == SIG_ERR) return errno;
    if (std::signal(SIGHUP, OnSighup) == SIG_ERR) return errno;
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

}  // namespace UpdateNew
