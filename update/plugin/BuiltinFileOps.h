// The updater's own file copy, the step that the function-replacing plug-in may take over
// with copyFile. The callback dispatcher falls back to it when the plug-in leaves the step
// to the updater; other code copies through the dispatcher.
#pragma once

#include <string>

#include "plugin/FileMode.h"

namespace UpdateNew {

// Where a busy target is moved aside to: target + ".tmp".
std::wstring SetAsidePath(const std::wstring& target);

// Where the built-in copy writes the new content of `target` before renaming it over the
// target: a hidden name in the target's directory, "." + base name + ".upd-new". A run
// killed part-way through a copy leaves at most this file behind, never a part of the
// target; the next run removes it (see FileProcessor::CheckFiles).
std::wstring ReplacementPath(const std::wstring& target);

// Replaces `target` with a copy of `source`: the content is written to
// ReplacementPath(target) and renamed over the target, so that the target's path holds the
// old file or the whole new one at every instant, also across a kill. Where it replaces a
// file, the new content is flushed to disk before the rename, so that holds across a power
// cut too. The new file gets the permission bits that `mode` says (by default 0755) and
// belongs to the effective user; where it replaces a file in a directory that neither
// group nor others may write, it keeps that file's owner and group, or takes those `mode`
// names (where the process may set them).
// The target's directory is looked up as OpenParent (SafeFile) does: a symbolic link in an
// earlier component is followed only when it belongs to root or to the effective user. A
// symbolic link at the target is replaced, never written through; a directory, a device,
// a FIFO or a socket at the target is refused. The source is read only when it is a
// regular file and not a link. The replacement file is made anew (O_EXCL after removing
// what stood at its name), so a descriptor somebody opened there before never reaches the
// new content.
// A program running from the target (ETXTBSY) is no obstacle: the new file takes the name
// and the program keeps the old one. A target that may not be opened for writing (EACCES:
// a protected file) is asked once more after a second; if it is still protected and
// `bMayDefer` is set, it keeps a second name SetAsidePath(target) (an older one is deleted
// first) while the new file takes the target's path; `bDeferred` is then set (the program
// that uses the old file picks the new one up when it restarts). The aside file is the
// caller's to delete once the copy succeeded.
// Where no file can be made beside the target (a directory the process may not write to,
// a name too long for the suffix, a directory in the way), the target itself is written:
// an existing regular file of one name in a directory that neither group nor others may
// write is truncated and written, anything else at the name is replaced by a new file. A
// target that is busy there (EACCES, ETXTBSY) is asked once more after a second and, when
// `bMayDefer` is set, renamed aside and written anew.
// Gives true; every failure throws Exception with the system error number as its code:
// library message 2 (source cannot be opened), 26 (target cannot be created or
// replaced), 4 (read failed), 5 (write failed) or 13 (permission bits); the replacement
// file does not outlive a failure. A copy that cannot be completed never reports success.
bool CopyFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred, const FileMode& mode = FileMode());

// Like CopyFileBuiltin, but the source file itself becomes the target: it gets the same
// owner, group and permission bits (`mode`), is flushed to disk where it replaces a file, and is
// renamed over the target (a protected target handled the same way), so nothing is copied
// and `source` is gone afterwards. Where the rename cannot be done (a source with further
// names, on another file system, in a directory that takes no new names), it copies as
// CopyFileBuiltin does and the source stays. Throws as CopyFileBuiltin does.
bool MoveFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred, const FileMode& mode = FileMode());

}  // namespace UpdateNew
