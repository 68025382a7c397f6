// The record kept in the unfinished-update marker beside the kept master index: the modules
// whose installation began in a run that has not ended well and whose post command has not
// run since. A run killed between installing a module and running its post command leaves
// the files new; the record lets the next run run the command it owes.
#pragma once

#include <string>
#include <vector>

namespace UpdateNew {

// The module names recorded in the marker at `marker`, in record order. A missing marker,
// an empty one (as updaters without the record leave it) and lines other than
// "Post=<module name>" give no names. Only the first kPendingRecordMaxBytes are read.
std::vector<std::wstring> ReadOwedPosts(const std::wstring& marker);

// Writes `modules` as the marker's record, one "Post=<module name>" line each (UTF-8): a
// file beside it (marker + ".new") is written, synced and renamed over the marker, so the
// marker is always a whole record, never a half-written one. Throws Exception (library
// messages 26 or 5, with the path and the system's reason) when that fails.
void WriteOwedPosts(const std::wstring& marker, const std::vector<std::wstring>& modules);

// The file WriteOwedPosts writes before renaming it; a kill may leave it behind.
std::wstring OwedPostsTempFile(const std::wstring& marker);

const size_t kPendingRecordMaxBytes = 1024 * 1024;

}  // namespace UpdateNew
