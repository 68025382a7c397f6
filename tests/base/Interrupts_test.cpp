#include "base/Interrupts.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

using namespace UpdateNew;

namespace {

// Sends `sig` twice to a child that installed the handlers. The first one must only set
// its flag, print the line and arm the default action; the second must then end the
// child. The interrupt flags are never reset, so this runs in a child process.
void CheckSignal(int sig) {
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        if (InstallSignalHandlers() != 0) _exit(10);
        if (InterruptRequested()) _exit(11);
        raise(sig);
        const bool own = sig == SIGINT ? g_sigintReceived == 1 : g_sigtermReceived == 1;
        const bool other = sig == SIGINT ? g_sigtermReceived != 0 : g_sigintReceived != 0;
        if (!own || other || !InterruptRequested()) _exit(12);
        struct sigaction now {};
        sigaction(sig, nullptr, &now);
        if (now.sa_handler != SIG_DFL) _exit(13);
        raise(sig);
        _exit(14);  // not reached: the default action ends the process
    }
    close(out[1]);
    std::string printed;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) printed.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    EXPECT_EQ(sig, WTERMSIG(status));
    EXPECT_EQ("Signal received, exiting ...\n", printed);
}

TEST(Interrupts, FirstSignalSetsItsFlagSecondEndsTheProcess) {
    CheckSignal(SIGINT);
    CheckSignal(SIGTERM);
}

}  // namespace
