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
// cut too. The new file gets the permission bits, owner and group that `mode` says (by
// default 0755, and the owner and group of the file it replaces) where the process may set
// the owner and group. A symbolic link at the
// target is replaced, never written through.
// When the installed target is busy (access to it is denied, or a program runs from it:
// EACCES, ETXTBSY), the copy waits one second and asks once more. If it is still busy and
// `bMayDefer` is set, the busy file keeps a second name SetAsidePath(target) (an older one
// is deleted first) while the new file takes the target's path; `bDeferred` is then set
// (the program that held the old file picks the new one up when it restarts). The aside
// file is the caller's to delete once the copy succeeded.
// Where no file can be made beside the target (a directory the process may not write to,
// a name too long for the suffix), the target itself is truncated and written, with the
// same busy handling (the busy target is renamed aside and written anew).
// Gives true; every failure throws Exception with the system error number as its code:
// library message 2 (source cannot be opened), 26 (target cannot be created or
// replaced), 4 (read failed), 5 (write failed) or 13 (permission bits); the replacement
// file does not outlive a failure. A copy that cannot be completed never reports success.
bool CopyFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred, const FileMode& mode = FileMode());

// Like CopyFileBuiltin, but the source file itself becomes the target: it gets the same
// owner, group and permission bits (`mode`), is flushed to disk where it replaces a file, and is
// renamed over the target (a
// busy target handled the same way), so nothing is copied and `source` is gone
// afterwards. Where the rename cannot be done (the source on another file system, a
// directory that takes no new names), it falls back to CopyFileBuiltin and the source
// stays. Throws as CopyFileBuiltin does.
bool MoveFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred, const FileMode& mode = FileMode());

}  // namespace UpdateNew
