// Standard output, the console every info line and short diagnostic reaches. Lines are
// written at the descriptor, so they never fight the C streams over wide or narrow
// orientation.
//
// A console that cannot be written (a reader that went away, a full disk under a redirect)
// never ends or fails a run: its first failed write silences it for the rest of the
// process, and the log keeps every line. SIGPIPE is ignored by the entry point, so a
// closed pipe shows here as EPIPE.
//
// When standard output and standard error are the same terminal, a status line that the
// progress display keeps on standard error may stand where a line begins; each line then
// first clears it ("\r" and erase to the end of the line), so the two never run together.
//
// Used from the run's one thread; the state is process-wide.
#pragma once

#include <string>

namespace UpdateNew {

// Called first thing by each program: a standard descriptor (0, 1, 2) the program was
// started without is opened onto /dev/null, so that no file the program opens later (its
// log, a file it installs) takes that number and receives what is meant for the console.
// A standard output that was closed counts as one that cannot be written: the console is
// silent from the start, and StdoutFlushed fails with EBADF.
void OpenStandardDescriptors();

// Short English diagnostics (the layers that return numeric codes print these), in the
// program's format convention ("%s" takes a wide string).
void ConsolePrintf(const wchar_t* format, ...);

// Writes text already in the locale's encoding. False when the console is silent (now or
// from an earlier failure); nothing is written then.
bool ConsoleWrite(const std::string& bytes);

// Whether a failed write has silenced the console.
bool ConsoleSilenced();

// For an answer printed through the C stream `stdout` (--version, --help), which is the
// whole output of its command: flushes it and tells whether every byte got out. When not,
// says so on standard error, naming `what` was printed and the system's reason (message
// 1213: the message table must be loaded).
bool AnswerWritten(const std::wstring& what);
// The same test alone: false, with the system's error number in `error`, when not every
// byte of `stdout` got out.
bool StdoutFlushed(int& error);

}  // namespace UpdateNew
