// Starting other programs: module commands, the restart after a self-update and the
// exec action. No shell and no path search: the program path is used as given.
#pragma once

#include <string>

namespace UpdateNew {

// Splits a command line into at most 30 tokens separated by blanks and tabs; a token that
// starts with a double quote runs to the next one (quotes dropped). Returns 0 (a line of
// blanks only gives no token), 100601 for more than 30 tokens, 100602 for a missing closing
// quote.
int SplitCommandLine(const std::wstring& commandLine, int& count, std::wstring tokens[30]);

constexpr int kMaxCommandTokens = 30;
constexpr int kTooManyTokens = 100601;
constexpr int kBadCommandLine = 100602;

// How a child that was waited for ended.
struct ProcessOutcome {
    enum Kind { kNotWaited, kExited, kSignaled, kTimedOut, kNotStarted } kind = kNotWaited;
    int status = 0;      // kExited: the exit status; kSignaled: the signal number
    int startError = 0;  // kNotStarted: errno of the failed execv
};

// Runs `program` with the argument vector of `program` (whole, whatever it holds) and the
// tokens of `arguments` (SplitCommandLine; 30 tokens in all at most).
// timeout: -1 waits for the child, 0 does not wait, N > 0 waits at most N seconds and then,
// when terminateWhenLate, sends SIGTERM to the child and to the processes it started (and
// reaps the child; SIGKILL follows for what is still there 5 seconds later). `resultText` receives
// the outcome text ("Child process successfully executed" only for exit status 0; otherwise the
// status, the signal, the time-out or why it could not be started), unchanged when none applies;
// `outcome`, when given, the same as data; `childPid`, when given, the child's process id (for a
// caller that does not wait and reaps the child itself). Returns 0, or the failing kill() result.
// System-call failures throw Exception with the errno value (or the tokenizer result) as code.
int RunProcess(const std::wstring& program, const std::wstring& arguments, int timeout,
               std::wstring& resultText, bool terminateWhenLate, ProcessOutcome* outcome = nullptr,
               int* childPid = nullptr);

// What a child inherits: standard input, output and error, and the descriptors handed
// down here (a self-update's hand-over pipe and run lock); every other descriptor of the
// updater is closed in the child before the program starts, whether close-on-exec or not.
// A handed-down descriptor stays close-on-exec in the updater, so that children a plug-in
// starts do not see it; only RunProcess's children get it. Process-wide, used by the one
// thread that starts children; the caller keeps the descriptor open while it is handed down.
void HandDownDescriptor(int fd);
void StopHandingDown(int fd);

// RunProcess waiting until the child ends.
int RunProcessAndWait(const std::wstring& program, const std::wstring& arguments,
                      std::wstring& resultText);

}  // namespace UpdateNew
