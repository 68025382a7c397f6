// Which release of a product this machine installs when the master index offers a
// candidate beside the stable release, and what the installation remembers about
// releases beside its kept copy of the index:
//   <kept index>.candidate   the candidate this machine took ("version=" and "info=" lines),
//                            or one it could not take, its product info not being on the
//                            server ("skipped=")
//   <kept index>.failed      the SHA-256 of the product info of a release whose health
//                            check failed here ("sha256=" and "version=" lines)
//   <kept index>.release     the product and version the last update installed
//                            ("product=" and "version=" lines): what is installed while
//                            the kept index is gone (a refused release, a check that
//                            found an update due) or names a release that was refused
// A candidate is offered by lines that readers which know nothing of it skip:
//   candidateversion=<VERSION>   candidateshare=<0..100>
//   candidateinfo=<file name of the candidate's product info, beside the stable one>
//   candidateinfohash=<its digest, as productinfohash>
// A machine takes the candidate when the first 8 bytes of
// SHA-256("<machine id>\n<NAME>\n<VERSION>"), read as a big-endian number, are below
// share/100 of 2^64: the same machine gets the same answer on every run, and a new
// version draws a new share of machines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace UpdateNew {

struct CandidateOffer {
    bool present = false;
    std::string product;  // the index's product name
    std::string stable;   // the index's (stable) version
    std::string version;
    int share = 0;     // percent of machines, 0 (halted) to 100
    std::string info;  // file name of the candidate's product info (".gz")
    std::string infoHash;
};

// The offer in the index's lines (checked text lines without the digest line). An index
// without the four lines, or with one of them malformed, offers none.
CandidateOffer ParseCandidateOffer(const std::vector<std::string>& lines);

// Whether the machine `machineId` falls into `share` percent of the machines for this
// product and version.
bool MachineTakesCandidate(const std::string& machineId, const std::string& product,
                           const std::string& version, int share);

// The machine id: the first line of /etc/machine-id, trimmed. Gives false (with the error
// number) when it cannot be read or is empty.
bool ReadMachineId(std::string& id, int& error);

// The records. Paths are the kept index's with ".candidate", ".failed" and ".release" added.
std::wstring CandidateRecordPath(const std::wstring& keptIndex);
std::wstring FailedRecordPath(const std::wstring& keptIndex);
std::wstring ReleaseRecordPath(const std::wstring& keptIndex);

// Whether this machine takes the candidate `offer`: never with `mode` "never", always with
// "always" or when the candidate record of `keptIndex` names it (a machine that took it
// stays on it), else by the machine's share (`machineId` is asked only then; an empty id
// takes none).
bool TakesCandidate(const CandidateOffer& offer, const std::wstring& keptIndex,
                    const std::wstring& mode, const std::function<std::string()>& machineId);

// Whether an index that did not change still asks for an update run, because the release
// this machine would choose from it now is not the one it took: `mode` ("auto", "always",
// "never"), the machine id (asked for only when needed; empty when unknown) or
// `retryFailed` changed since. Reads the records of `keptIndex`.
bool ReleaseChoiceChanged(const std::vector<std::string>& indexLines, const std::wstring& keptIndex,
                          const std::wstring& mode, bool retryFailed,
                          const std::function<std::string()>& machineId);

// Reads "key=value" lines of a record; a missing or unreadable record gives an empty
// value. Only the record's first 4096 bytes count.
std::string ReadRecordValue(const std::wstring& path, const std::string& key);
// Replaces a record (temporary file, flush, rename) with "key=value" lines, or removes it
// when `lines` is empty. Gives 0 or the error number.
int WriteRecord(const std::wstring& path, const std::vector<std::string>& lines);

}  // namespace UpdateNew
