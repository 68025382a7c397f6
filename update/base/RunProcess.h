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

// What became of a child that RunProcess waited for.
struct ProcessOutcome {
    int startError = 0;  // errno of the failed exec (the program could not be started); 0
    bool ended = false;  // the child ended by itself (exit status or signal below)
    int exitStatus = 0;  // its exit status, when it exited
    int signal = 0;      // the signal that ended it, 0 when it exited
    bool late = false;   // it outlived the time-out and was terminated
};

// Runs `program` with the command line "program arguments" split into its argument vector.
// timeout: -1 waits for the child, 0 does not wait, N > 0 waits at most N seconds and then,
// when terminateWhenLate, sends SIGTERM (and reaps the child). `resultText` receives the
// outcome text ("Child process successfully executed" for exit status 0 only, the status
// or signal otherwise), unchanged when none applies. `outcome`, when given and the child
// was awaited, receives the details; a program that cannot be executed is reported there
// (startError), the child then ends with status 127.
// Returns 0, or the failing kill() result. System-call failures throw Exception with the
// errno value (or the tokenizer result) as code. `childPid`, when given, receives the
// child's process id (for a caller that does not wait and reaps the child itself).
int RunProcess(const std::wstring& program, const std::wstring& arguments, int timeout,
               std::wstring& resultText, bool terminateWhenLate, int* childPid = nullptr,
               ProcessOutcome* outcome = nullptr);

// RunProcess waiting until the child ends.
int RunProcessAndWait(const std::wstring& program, const std::wstring& arguments,
                      std::wstring& resultText);

}  // namespace UpdateNew
