// What one run did, for the machines that watch a fleet: written at the end of every run
// (a failed or refused one too) as one JSON document (`report`) and in the Prometheus text
// format for node_exporter's textfile collector (`metrics`). The field and metric names
// are listed in docs/reporting.md; kSchema grows when one of them changes.
//
// The entry point owns one for the whole process and hands it to the update run, which
// fills in the product, the files and the transfers; the entry point adds the end, the
// result and writes the files. Single-threaded.
#pragma once

#include <string>
#include <vector>

namespace UpdateNew {

struct RunReport {
    static constexpr int kSchema = 1;

    // How a run ended: 0 "success"; a check-only run that found changes "changes"; a
    // failure before any module file was fetched or installed "refused" (a configuration,
    // installation lock, index or product info the run would not take); any other
    // failure "failed".
    static std::wstring Outcome(int resultCode, bool checkOnly, bool beganFetching);

    long long started = 0;  // seconds since the epoch
    long long ended = 0;
    int exitStatus = 0;
    int resultCode = 0;
    std::wstring outcome;
    std::wstring message;  // the text of the result
    bool checkOnly = false;
    // Set once the run fetched or installed module files.
    bool beganFetching = false;

    std::wstring product;
    std::wstring versionBefore;
    std::wstring versionAfter;
    bool signedIndex = false;  // the installation keeps a trusted serial
    unsigned long long serial = 0;

    // Installed paths: replaced, newly made, removed because the product dropped them, and
    // configuration files kept because they were changed locally.
    std::vector<std::wstring> updated;
    std::vector<std::wstring> added;
    std::vector<std::wstring> removed;
    std::vector<std::wstring> kept;

    unsigned long long wholeBytes = 0;  // compressed whole files fetched
    unsigned long long patchBytes = 0;  // patches fetched
    std::vector<std::wstring> servers;  // tried, in order, each once

    // Adds a server to `servers` unless it is there.
    void serverTried(const std::wstring& server);

    // The two documents (UTF-8, ending with a line end).
    std::string json() const;
    std::string metrics() const;

    // Replaces `reportFile` and `metricsFile` (each when not empty) atomically; a file that
    // cannot be written is logged as a warning naming it and the reason, the run's result
    // stays.
    void write(const std::wstring& reportFile, const std::wstring& metricsFile) const;
};

}  // namespace UpdateNew
