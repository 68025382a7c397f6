// Facts about the running updater that several parts need: its own executable path and
// directory, and the command line it was started with (the
// self-update repeats it when it starts the updated updater again).
#pragma once

#include <string>

namespace UpdateNew {

// The resolved path of the running executable, resolved once per process (at the first
// call, which the entry makes at start-up) from
// /proc/<pid>/exe, or from the environment variable EXE_NAME when that link cannot be
// read. Empty when neither gives a path or the path cannot be resolved.
std::wstring GetUpdaterPath();

// The directory of GetUpdaterPath() with its trailing "/"; empty when the path is unknown,
// so that names joined to it stay relative to the working directory.
std::wstring GetUpdaterDir();

// The unresolved executable path: the target of the link `procLink` (at most 4095
// bytes), or the value of EXE_NAME when the link cannot be read; empty when neither
// gives one. GetUpdaterPath() calls it once with "/proc/<pid>/exe".
std::string ReadRawExecutablePath(const std::string& procLink);

// The command line text: every argument, the program name included, followed by one blank;
// an argument with blanks (and no '"') in double quotes. With `hidePasswords`, as the log may show
// it (see HidePasswords), each argument whole.
std::wstring BuildCommandLineText(int argc, const wchar_t* const* argv, bool hidePasswords = false);
// The process-wide command line text, recorded by the entry point at start-up.
void SetCommandLineText(const std::wstring& text);
const std::wstring& GetCommandLineText();

// A command line text as the log may show it: the value of every option that carries a
// password (`proxy-userpass`, `share-userpass`, in any letter case and spelling the option
// parser takes) replaced by "***". The log is readable by more than root; the self-update
// repeats the real text, in a file only root reads.
std::wstring HidePasswords(const std::wstring& text);
// The same for the addresses in a text: the password of every "scheme://user:password@"
// replaced by "***" in place. Gives whether there was one.
bool HideUrlPasswords(std::string& text);

}  // namespace UpdateNew
