// The record kept in the unfinished-update marker beside the kept master index: the modules
// whose installation began in a run that has not ended well and whose post command has not
// run since. A run killed between installing a module and running its post command leaves
// the files new; the record lets the next run run the command it owes.
#pragma once

#include <string>
#include <vector>

namespace UpdateNew {

// What the marker records. Keys of other lines are ignored by every reader, so a marker
// written here stays readable by an updater that knows only some of them.
struct PendingRecord {
    // "Post=<module name>": modules owed their post command, in installation order.
    std::vector<std::wstring> owedPosts;
    // "TmpDir=<path>" and "BackupDir=<path>": the temporary and backup directories of the
    // runs that began the unfinished update (a run killed with its directories in place
    // leaves them listed; the run that ends the update removes them).
    std::vector<std::wstring> tmpDirs;
    std::vector<std::wstring> backupDirs;
    // Set by ReadPendingRecord: why the marker is not to be trusted with directories (a
    // message naming it: another user's file, or one every user may write); empty when it is.
    std::wstring distrust;
};

// The record in the marker at `marker`. A missing marker, an empty one (as updaters without
// the record leave it) and lines of other keys give nothing. Only the first
// kPendingRecordMaxBytes are read, and only whole lines with a non-empty value count. The
// marker is opened without following a link (a link gives nothing but the distrust) and
// checked on the open descriptor (base/TrustedDirectory.h, FileTrustFault).
PendingRecord ReadPendingRecord(const std::wstring& marker);

// Writes `record` as the marker's content (UTF-8, owed posts first, then the directories):
// a file beside it (marker + ".new") is written, synced and renamed over the marker, and the
// marker's directory is synced, so the marker is always a whole record, never a half-written
// one, and is on disk when this returns. A path holding a line end is
// left out. Throws Exception (library messages 26 or 5, with the path and the system's
// reason) when that fails.
void WritePendingRecord(const std::wstring& marker, const PendingRecord& record);

// The owed post commands alone: ReadPendingRecord(marker).owedPosts, and a record of
// `modules` without directories.
std::vector<std::wstring> ReadOwedPosts(const std::wstring& marker);
void WriteOwedPosts(const std::wstring& marker, const std::vector<std::wstring>& modules);

// The file WritePendingRecord writes before renaming it; a kill may leave it behind.
std::wstring OwedPostsTempFile(const std::wstring& marker);

const size_t kPendingRecordMaxBytes = 1024 * 1024;

}  // namespace UpdateNew
