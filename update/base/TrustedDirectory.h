// Whether a directory (or a file) belongs to the run alone. The updater runs as root on
// machines where other users live: a temporary or backup directory that another user can
// change under it (rename away, refill, swap for a link) would let that user replace what
// the run verified before it is installed, or make the run remove something else.
//
// A directory is trusted when it is a real directory (not a symbolic link), owned by the
// effective user, not writable by its group or by other users, and every directory above
// it, on the path as written and on its resolved path, is owned by root or by the
// effective user and is not writable by every user unless it has the sticky bit (as /tmp
// has); a symbolic link on the way must be owned by root or by the effective user too.
//
// The checks give an empty text when trusted and otherwise the reason, a message that
// names the path at fault. They never throw.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace UpdateNew {

// Why `path` (an existing directory; relative to the working directory unless it begins
// with "/") is not trusted; empty when it is.
std::wstring DirectoryTrustFault(const std::wstring& path);

// Why the program or library `path` (relative to the working directory unless it begins
// with "/") may not be run or loaded by the updater: the file it resolves to must be a
// regular file that only root and the effective user may write (see OnlyTrustedMayWrite),
// in directories that no other user may change (each owned by root or the effective user,
// and writable by every user only with the sticky bit), so that nobody else can have put
// it there or swap it before it runs. Empty when it may run, and when nothing is there (the
// start then says why).
std::wstring ProgramTrustFault(const std::wstring& path);

// Why the open file `fd`, known as `path`, is not trusted: it must be a regular file of
// the effective user that not every user may write (a group-writable one, as a umask of
// 002 makes it, is taken). Empty when it is.
std::wstring FileTrustFault(int fd, const std::wstring& path);

// Creates `path` when nothing is there: missing parents as CreateDirectories does (mode
// 0755), the directory itself with mode 0700. Anything found in place is left as it is
// (the caller checks it). Gives 0 or the system error number; every directory this call
// created is appended to `created` (when given), parents first, without a trailing "/".
int CreatePrivateDirectory(const std::wstring& path, std::vector<std::wstring>* created = nullptr);

// Creates a new directory whose name is `prefix` followed by six unpredictable
// characters, exclusively and with mode 0700 (never one that was there before). Gives its
// path, or an empty text with errno set.
std::wstring CreateUniqueDirectory(const std::wstring& prefix);

}  // namespace UpdateNew
