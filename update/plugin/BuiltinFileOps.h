// The updater's own file copy, the step that the function-replacing plug-in may take over
// with copyFile. The callback dispatcher falls back to it when the plug-in leaves the step
// to the updater; other code copies through the dispatcher.
#pragma once

#include <string>

namespace UpdateNew {

// Where a busy target is moved aside to: target + ".tmp".
std::wstring SetAsidePath(const std::wstring& target);

// Copies `source` over `target` in pieces of 1023 bytes; the target gets permission bits
// 0755 afterwards. When the target cannot be opened for writing because access is denied
// or a program runs from it (EACCES, ETXTBSY), the copy waits one second and tries once
// more. If it is still busy and `bMayDefer` is set, the busy target is renamed to
// SetAsidePath(target) (an older one is deleted first) and a new target is written in its
// place; `bDeferred` is then set (the program that held the old file picks the new one up
// when it restarts). The moved file is the caller's to delete: it is no longer needed once
// the copy succeeded. Gives true; every failure throws
// Exception with the system error number as its code: library message 2 (source cannot be
// opened), 26 (target cannot be created), 4 (read failed) or 5 (write failed). A copy that
// cannot be completed never reports success.
bool CopyFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred);

}  // namespace UpdateNew
