#include "base/RunProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "base/Exception.h"

using namespace UpdateNew;

namespace {

const std::wstring kOk = L"Child process successfully executed";
const std::wstring kLate =
    L"Child process terminated because it didn't returned in the specified time";

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string TempPath(const char* name) {
    return "/tmp/runprocess_test_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace

TEST(SplitCommandLine, QuotesBlanksAndLimits) {
    std::wstring t[30];
    int n = 0;
    ASSERT_EQ(0, SplitCommandLine(L" \t/bin/echo  \"two words\"\tthird \"\" ", n, t));
    ASSERT_EQ(4, n);
    EXPECT_EQ(L"/bin/echo", t[0]);
    EXPECT_EQ(L"two words", t[1]);
    EXPECT_EQ(L"third", t[2]);
    EXPECT_EQ(L"", t[3]);

    std::wstring thirty, thirtyOne;
    for (int i = 0; i < 30; ++i) thirty += L"a ";
    thirtyOne = thirty + L"b";
    EXPECT_EQ(0, SplitCommandLine(thirty, n, t));
    EXPECT_EQ(30, n);
    EXPECT_EQ(kTooManyTokens, SplitCommandLine(thirtyOne, n, t));
    EXPECT_EQ(0, n);
    EXPECT_EQ(kBadCommandLine, SplitCommandLine(L"prog \"open quote", n, t));
    EXPECT_EQ(0, SplitCommandLine(L"   ", n, t));
    EXPECT_EQ(0, n);
}

TEST(RunProcess, OutcomeSaysHowTheChildEnded) {
    std::wstring text;
    ProcessOutcome outcome;
    EXPECT_EQ(0, RunProcess(L"/bin/sh", L"-c \"exit 3\"", -1, text, true, &outcome));
    EXPECT_EQ(L"Child process exited with status 3", text);
    EXPECT_EQ(ProcessOutcome::kExited, outcome.kind);
    EXPECT_EQ(3, outcome.status);
    EXPECT_EQ(0, RunProcess(L"/bin/sh", L"-c \"kill -9 $$\"", -1, text, true, &outcome));
    EXPECT_EQ(L"Child process ended by signal 9", text);
    EXPECT_EQ(ProcessOutcome::kSignaled, outcome.kind);
    // A program that cannot be started is told apart from one that exits with 127.
    EXPECT_EQ(0, RunProcess(L"/nonexistent/program", L"arg", -1, text, true, &outcome));
    EXPECT_EQ(ProcessOutcome::kNotStarted, outcome.kind);
    EXPECT_EQ(ENOENT, outcome.startError);
    EXPECT_EQ(0, RunProcess(L"/bin/sh", L"-c \"exit 127\"", -1, text, true, &outcome));
    EXPECT_EQ(ProcessOutcome::kExited, outcome.kind);
}

TEST(RunProcess, ArgumentsArriveSplitWithoutAShell) {
    const std::string script = TempPath("args.sh"), out = TempPath("args.out");
    std::ofstream(script) << "out=$1; shift; printf '%s|' \"$@\" > \"$out\"\n";
    std::wstring text;
    std::wstring args = std::wstring(script.begin(), script.end()) + L" " +
                        std::wstring(out.begin(), out.end()) + L" \"a  b\"\t$HOME '*'";
    ASSERT_EQ(0, RunProcess(L"/bin/sh", args, -1, text, true));
    std::ifstream in(out);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(script.c_str());
    unlink(out.c_str());
    EXPECT_EQ("a  b|$HOME|'*'|", ss.str());

    // A program path with a blank (an installation's) is one argument, not two.
    const std::string dir = TempPath("with blank"), program = dir + "/p.sh";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    std::ofstream(program) << "#!/bin/sh\nout=$1; shift; printf '%s|' \"$0\" \"$@\" > \"$out\"\n";
    chmod(program.c_str(), 0755);
    ASSERT_EQ(0, RunProcess(std::wstring(program.begin(), program.end()),
                            std::wstring(out.begin(), out.end()) + L" x", -1, text, true));
    std::ifstream second(out);
    std::stringstream got;
    got << second.rdbuf();
    unlink(out.c_str());
    unlink(program.c_str());
    rmdir(dir.c_str());
    EXPECT_EQ(program + "|x|", got.str());
}

TEST(RunProcess, TooManyTokensIsRefusedBeforeAnythingRuns) {
    std::wstring args;
    for (int i = 0; i < 30; ++i) args += L"x ";
    std::wstring text = L"untouched";
    try {
        RunProcessAndWait(L"/bin/true", args, text);
        FAIL() << "expected an exception";
    } catch (const Exception& e) {
        EXPECT_EQ(kTooManyTokens, e.code());
        EXPECT_EQ(0u, std::wstring(e.twhat()).find(L"Can not convert command line string (more "
                                                   L"than 30 words): /bin/true x x"));
    }
    EXPECT_EQ(L"untouched", text);
}

TEST(RunProcess, QuickCommandWithTimeoutReturnsAtOnce) {
    auto start = std::chrono::steady_clock::now();
    std::wstring text;
    EXPECT_EQ(0, RunProcess(L"/bin/true", L"", 30, text, true));
    EXPECT_EQ(kOk, text);
    EXPECT_LT(Seconds(start), 5.0);
}

// Both the child and the sleep it started ignore SIGTERM: both are killed after the grace.
TEST(RunProcess, LateChildIsEndedWithWhatItStartedAndReaped) {
    const std::string pidFile = TempPath("grandchild");
    auto start = std::chrono::steady_clock::now();
    std::wstring text;
    const std::wstring script = L"\"trap '' TERM; sleep 60 & echo $! >" +
                                std::wstring(pidFile.begin(), pidFile.end()) + L"; wait\"";
    EXPECT_EQ(0, RunProcess(L"/bin/sh", L"-c " + script, 2, text, true));
    EXPECT_EQ(kLate, text);
    double took = Seconds(start);
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 9.5);
    // Nothing is left to reap: the child was waited for.
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
    int grandchild = 0;
    std::ifstream(pidFile) >> grandchild;
    std::remove(pidFile.c_str());
    ASSERT_GT(grandchild, 0);
    // Gone, or a zombie its new parent has not reaped yet.
    const std::string stat = "/proc/" + std::to_string(grandchild) + "/stat";
    std::string state = "R";
    for (int i = 0; i < 100 && state != "Z"; ++i, usleep(20000)) {
        std::string line;
        if (!std::getline(std::ifstream(stat), line)) break;
        state = line.substr(line.rfind(')') + 2, 1);
    }
    EXPECT_TRUE(state == "Z" || !std::ifstream(stat)) << state;
}

TEST(RunProcess, NoWaitReturnsImmediately) {
    auto start = std::chrono::steady_clock::now();
    std::wstring text = L"unchanged";
    EXPECT_EQ(0, RunProcess(L"/bin/sleep", L"1", 0, text, false));
    EXPECT_EQ(L"unchanged", text);
    EXPECT_LT(Seconds(start), 0.9);
    waitpid(-1, nullptr, 0);
}
