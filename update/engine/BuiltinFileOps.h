// The updater's own way of doing the two file steps that the function-replacing plug-in
// may take over (copyFile, checkCreateDirectory). The callback dispatcher falls back to
// these when the plug-in leaves the step to the updater; other code calls the dispatcher.
#pragma once

#include <string>

#include "update/UpdateCallbackTypes.h"

// Copies `source` over `target` in pieces of 1023 bytes; the target gets permission bits
// 0755 afterwards. When the target cannot be opened for writing because access is denied,
// the copy waits one second and tries once more. If access is still denied and `bMayDefer`
// is set, the busy target is renamed to target + ".tmp" (an older ".tmp" is deleted first)
// and a new target is written in its place; `bDeferred` is then set (the program that held
// the old file picks the new one up when it restarts). Gives true; every failure throws
// Exception with the system error number as its code: library message 2 (source cannot be
// opened), 26 (target cannot be created), 4 (read failed) or 5 (write failed). A copy that
// cannot be completed never reports success.
bool CopyFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred);

// Creates the directory `path` with every missing parent, from the root downwards, with
// `mode` (before the umask). "\" counts as "/". An existing directory is no error. Every
// directory this call created is appended to `created`, parents first. Gives 0, or the
// system error number of the first failure (ENOTDIR when a component is a file).
int CreateDirectoryTree(const std::wstring& path, unsigned mode, UpdStringList& created);
