// Joining and splitting of wide paths. "/" is the only separator here; callers that take
// paths from the product's own files turn "\" into "/" first where they need to.
#pragma once

#include <string>

namespace UpdateNew {

// The parts with one "/" between them. A "/" already ending `a` or starting `b` is not
// doubled ("/opt/x/" + "y" gives "/opt/x/y"). An empty part adds nothing: joining "" and
// "y" gives "y", so a relative name never turns into a path from the root.
std::wstring JoinPath(const std::wstring& a, const std::wstring& b);
std::wstring JoinPath(const std::wstring& a, const std::wstring& b, const std::wstring& c);

// Everything before the last "/" ("" when there is none; "/x" gives "").
std::wstring GetDirPart(const std::wstring& path);

// Everything after the last "/"; the whole text when there is none.
std::wstring GetLastComponent(const std::wstring& path);

// The program of a command line as it stands there: the text before the first blank (the
// whole text when there is none), or, when the line begins with '"', the quoted first
// argument with its quotes (one with blanks; to the end when the quote is not closed).
std::wstring GetProgramPart(const std::wstring& commandLine);

// `path` without its trailing "/" (the root stays "/"), so that "/a/b/" and "/a/b" compare
// equal.
std::wstring WithoutTrailingSlash(std::wstring path);

// One spelling of `path`: no repeated "/", no "." component, no trailing "/" (the root
// stays "/"), so that "/opt/app/", "/opt//app" and "/opt/./app" compare equal. ".." is
// kept: a link before it would change where it leads. For paths the updater records and
// compares from run to run, which an administrator may spell differently each time.
std::wstring LexicalPath(const std::wstring& path);
std::string LexicalPath(const std::string& path);

// Whether the directory `outer` is `inner` or one of its ancestors (compared by text, a
// trailing "/" on either side ignored).
bool PathHolds(std::wstring outer, std::wstring inner);

// Whether a path a server gives stays below the directory it is joined to: not absolute
// and without a ".." component ("/" and "\" both separate components).
bool IsContainedPath(const std::wstring& path);

// Turns every "\" into "/".
std::wstring ToSlashes(const std::wstring& path);

}  // namespace UpdateNew
