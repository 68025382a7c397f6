// File and directory services of the file processing. Paths are wide and are converted to
// the locale's multibyte encoding only at the system call; a path that has no multibyte
// form fails like a system call with EILSEQ.
//
// Services that throw raise Exception built from a library message naming the path(s) and
// the system's error text; the exception's code is the system error number. All other
// services report by their result and never throw.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/SafeFile.h"

namespace UpdateNew {

// The result of CheckDirectory for a path that exists but is not a directory.
constexpr int kNotADirectory = 8;

// The system's error text for an error number, as wide text; for kUntrustedLink
// (SafeFile), the text naming the refused link.
std::wstring SystemErrorText(int error);

// Whether `error` says that the file system, or the user's quota on it, is full.
bool IsDiskFull(int error);
// When `error` says the file system is full: throws CUpdateCriticalException (message 1010
// naming `path` and the system's reason), as no other server would help. Otherwise nothing.
void ThrowIfDiskFull(const std::wstring& path, int error);

// Creates `path` and every missing parent with `mode` (the updater passes 0755), from the
// root downwards, as OpenDirectory (SafeFile) does: a symbolic link on the way is followed
// only when it belongs to root or to the effective user (else kUntrustedLink, whose text
// names the link). "\" counts as "/". An existing directory is no error. Gives 0, or the
// system error number of the first failure (ENOTDIR when a prefix is a file). Every
// directory this call created is appended to `created` (when given), parents first,
// without a trailing "/".
int CreateDirectories(const std::wstring& path, mode_t mode = 0755,
                      std::vector<std::wstring>* created = nullptr);

// 0 when `path` is a directory, kNotADirectory when it exists and is something else. When
// it does not exist: with `create` it is created like CreateDirectories (mode 0755) and
// that result is given; without, ENOENT.
int CheckDirectory(const std::wstring& path, bool create);

// The system's temporary directory: "/tmp" when that is a directory, otherwise the
// effective user's home directory joined with "tmp", created with mode 0755 when missing.
std::wstring GetTempPath();

// Removes the directory's entries, descending into subdirectories, then the directory
// itself (a file or link at `path` is just removed). Only the directory holding `path` is
// found by its path; below it every entry is reached through the descriptor of the
// directory that holds it (openat with O_NOFOLLOW, unlinkat): symbolic links are removed,
// never followed, even one swapped in while the removal runs, so nothing outside the tree
// is touched. Failures are ignored (what can be removed is removed).
void RemoveDirectoryTree(const std::wstring& path);

// Removes the directory `path` when it holds nothing but directories that are (in turn)
// empty, those included, reached as RemoveDirectoryTree reaches them; a directory holding
// anything else is kept with what it holds, and so is every directory above it. 0 when
// `path` is gone (or was not there), otherwise why it stays (ENOTEMPTY: it holds files).
int RemoveEmptyDirectories(const std::wstring& path);

// Deletes the name `path` (a file, or a link as the link; never a directory), its
// directory looked up as OpenParent (SafeFile) does. Unless `ignoreErrors` is set, a
// failure (a missing file too) throws (library message 8 naming the path). Gives whether
// the file was deleted.
bool DeleteFile(const std::wstring& path, bool ignoreErrors = false);

// Renames `source` to `target` as RenameFile (SafeFile) does; a failure throws (library
// message 9 naming both).
void MoveFile(const std::wstring& source, const std::wstring& target);

// Creates `target` (with missing parents, mode 0755) and copies every file, symbolic link
// and subdirectory of `source` into it, recursively; files keep their permission bits and
// existing target files are overwritten. Gives 0, or the system error number of the first
// failure (the copy stops there).
// Copies the regular file `source` to a new file `target` (what stood at the name is
// replaced, never written through) with the permission bits `mode`; 0 or an error number.
int CopyRegularFile(const std::string& source, const std::string& target, mode_t mode);
int CopyDirectoryTree(const std::wstring& source, const std::wstring& target);

// fopen with path and mode converted, close-on-exec; null on failure (errno set).
FILE* OpenFile(const std::wstring& path, const std::wstring& mode);

// The open descriptor whose number the environment variable `variable` holds (one a
// parent process handed down), or -1 when it is unset, not a number, below 3 (standard
// streams are never handed down this way) or not open.
int InheritedDescriptor(const char* variable);

// Writes all `size` bytes to `fd`, resuming after partial writes and interruptions. False
// with errno set on failure (EIO when the system accepts no byte).
bool WriteAll(int fd, const void* data, size_t size);
inline bool WriteAll(int fd, const std::string& data) {
    return WriteAll(fd, data.data(), data.size());
}

// Replaces the file `target` (a multibyte path) with `bytes` as ReplaceFile (SafeFile)
// does, with mode 0644: "<target>.new" made anew, synced, renamed over the target. 0, or
// the errno of the step that failed (named in `failed` when given).
int ReplaceFileContent(const std::string& target, const std::string& bytes,
                       ReplaceStep* failed = nullptr);

// Runs "cp -R" (overwrite) or "cp -R -u" (copy only what is newer) through the system
// shell with the source and the target. Each path is quoted for the shell so that no
// character in it is interpreted. True when the shell reports success.
bool RunShellCopy(const std::wstring& source, const std::wstring& target, bool overwrite);

// The shell command RunShellCopy runs, in multibyte text.
std::string ShellCopyCommand(const std::string& source, const std::string& target, bool overwrite);

}  // namespace UpdateNew
