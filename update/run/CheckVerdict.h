// The verdict "nothing to do" of a check with the stat cache on, kept in the cache so that
// a later check can take it over without reading the product info.
//
// A check's outcome is a function of the product info files, the options and everything
// that expands the product's paths (command line, configuration file, the environment's
// variables they name), the
// updater itself, the installation records, and the installed files. CheckKey() digests
// all of these but the files into one key; the product info files stand there as the
// master index that names them (which changes with every publication, as the design's
// "nothing changed" relies on) and the digests announced for them. The cache keeps, beside the key,
// the path of every file the check found up to date with what stat said of it. A later check whose
// key is the same and whose files all stat as recorded would come to the same verdict:
// it ends there, one stat per file, without fetching, decoding or parsing the product
// info.
//
// Threads: plain values, used on the run's thread.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace UpdateNew {

class UpdateConfig;

struct CheckVerdict {
    std::string key;         // CheckKey() of the check that came to it
    std::string infoSha256;  // the SHA-256 of the first product info file
    std::wstring product;    // the product's name and version, as read
    std::wstring version;
    std::wstring firstInfo;                // the product info the run began with
    std::vector<std::wstring> infoNames;   // the product info files read (local names)
    std::vector<std::string> environment;  // the variables the check's paths looked up

    // One line per field; false from parse() for a text that is not one.
    std::string text() const;
    bool parse(const std::string& text);
};

// The key of what a check's outcome depends on besides the installed files: the command
// line, the configuration file's bytes, the variables of the environment named in
// `environment` (the ones the product's paths used), the updater's executable (its
// stat), the installation records beside `keptIndex` (their stat), the master index's
// lines (`indexLines`), `firstInfo`, and each of `infoNames` with the digest the product
// file announces for it (`hashes`, where it does).
std::string CheckKey(const UpdateConfig& config, const std::wstring& keptIndex,
                     const std::vector<std::string>& indexLines, const std::wstring& firstInfo,
                     const std::vector<std::wstring>& infoNames,
                     const std::vector<std::string>& environment,
                     const std::map<std::wstring, std::wstring>& hashes);

}  // namespace UpdateNew
