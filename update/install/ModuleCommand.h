// A module's PRE, POST or UNPOST command: the command line taken apart into the program
// word and its arguments, the program looked up in the installation directory, and the
// child process run with the command time-out. The file processor decides which command
// runs and which plug-in callbacks surround it; this is the part every command shares.
#pragma once

#include <string>

namespace UpdateNew {

// How long a module command may run before it is sent SIGTERM, in seconds. The wait ends
// as soon as the command does, so a quick command costs no more than its own run.
constexpr int kModuleCommandTimeout = 30;

// A command line cut at its first blank. Quotes are not interpreted here: the arguments
// text reaches the child-process layer as it is written. A command that starts with the
// installation path `installPath` and "/" (the documented "%INSTALL_PATH%/prog", expanded)
// is cut at the first blank after that path: an installation path with a blank in it
// stays part of the program.
struct ModuleCommandLine {
    std::wstring program;    // the text before the first blank (all of it when there is none)
    std::wstring arguments;  // the text after the first blank; "" when there is no blank
};
ModuleCommandLine SplitModuleCommand(const std::wstring& command,
                                     const std::wstring& installPath = std::wstring());

// The program as it is found in the installation directory: `installPath` joined with the
// last path component of `programWord` ("\" counts as "/"), whatever directory the word
// names itself.
std::wstring ModuleProgramPath(const std::wstring& installPath, const std::wstring& programWord);

// The program's last path component alone ("\" counts as "/").
std::wstring ModuleProgramName(const std::wstring& programWord);

// Whether `path` names an existing file (or something else stat can see).
bool ModuleProgramExists(const std::wstring& path);

// Runs `program` with `arguments` as a child process, waiting at most `timeoutSeconds`
// and sending SIGTERM to a child that is still running then. A child that ended with any
// status, or was terminated after the time-out, counts as run. A child that could not be
// terminated throws CUpdateCriticalException 613 with message 252 carrying the
// child-process layer's result text. Failures to start or await the child (fork, wait, a
// command line that cannot be split) pass on as the Exception of that layer.
void RunModuleCommand(const std::wstring& moduleName, const std::wstring& program,
                      const std::wstring& arguments, int timeoutSeconds = kModuleCommandTimeout);

// Runs a module's health check like a command, but its outcome decides: true only for a
// child that exited with status 0 within `timeoutSeconds`. A child still running then is
// sent SIGTERM and reaped. `outcome` receives the child-process layer's result text ("exit
// status 3", the signal, the time-out, why it could not start). Failures to start or
// await the child pass on as for RunModuleCommand.
bool RunModuleCheck(const std::wstring& moduleName, const std::wstring& program,
                    const std::wstring& arguments, int timeoutSeconds, std::wstring& outcome);

}  // namespace UpdateNew
