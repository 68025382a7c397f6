// What the updater keeps beside the kept copy of the master index about the installation
// (besides the index itself and its trusted state): the list of files it installed
// ("<index>.installed": a first line "# updater installed files 1", then one
// "<module><TAB><absolute path>" a line), the digests of the configuration files as it last
// installed them ("<index>.config": a first line "# updater configuration digests 1", then
// "<32 lowercase hex MD5> <absolute path>" a line), and how the last run that was not only
// a check ended ("<index>.lastrun", written here). A missing or unreadable list reads as an
// empty one: an installation made by an earlier updater has none.
//
// Free functions and plain values; the files are read whole on each call. Thread-safe.
#pragma once

#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace UpdateNew {

// The record of the last run: when it ended (seconds since the epoch), its outcome
// ("success", "failed" or "refused"), the process's exit status, the run's result code
// and the text of that result.
struct LastRun {
    bool present = false;
    long long ended = 0;
    std::wstring outcome;
    int exitStatus = 0;
    int resultCode = 0;
    std::wstring message;
};

struct KeptState {
    // The file names beside the kept index `keptIndex`.
    static std::wstring LastRunPath(const std::wstring& keptIndex);
    // The unfinished-update marker a killed or failing run leaves.
    static std::wstring PendingPath(const std::wstring& keptIndex);

    // (module, absolute path) of every installed file, in the list's order.
    static std::vector<std::pair<std::wstring, std::wstring>> ReadInstalled(
        const std::wstring& keptIndex);
    // Absolute path -> digest text of every configuration file.
    static std::map<std::wstring, std::string> ReadConfigDigests(const std::wstring& keptIndex);
    // The configuration files whose content now differs from what was installed (a
    // missing one included), in path order.
    static std::vector<std::wstring> ChangedConfigFiles(const std::wstring& keptIndex);

    // False when there is no readable record.
    static bool ReadLastRun(const std::wstring& keptIndex, LastRun& run);
    // Replaces the record (a new file beside it, synced, renamed over); 0 or the error.
    static int WriteLastRun(const std::wstring& keptIndex, const LastRun& run);
};

}  // namespace UpdateNew
