// Writes the server tree of a resolved product: the compressed module files (and their
// patches), the product info file, the optional product file and the master index, in
// that order, each replaced only when its bytes change (see TreeWriter). The master index
// comes last, so a client that sees a new index finds everything it points at already in
// place; after it, the patches of the module files that the product info no longer lists
// are removed (see TreeCleanup). A signed publication also writes its signatures and
// product info under names made from their content, which stay until the publication
// after next, so that a client that fetched the replaced index still finds its own.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "ProductDescription.h"
#include "ProductResolver.h"

struct PublishOptions {
    // Encipher the product info file; `key` empty means the key the updater is built with.
    bool encrypt = false;
    std::wstring key;
    // The DATE of a product info file whose content changed. Empty: SOURCE_DATE_EPOCH
    // when set, else the newest modification time of `inputTime` and the product's files.
    std::wstring date;
    time_t inputTime = 0;
    // Minisign secret key files: the master index is signed once with each. With none, the
    // tree is written exactly as an unsigned publication.
    std::vector<std::wstring> signKeys;
    // Days until a signed index expires (1 to 3650).
    int expiresDays = 30;
    // The serial of a signed index; 0: one above every serial found in the output tree
    // and the `previous` trees, and at least the publication time in seconds since 1970.
    uint64_t serial = 0;
    // Earlier published trees of the product: every changed file gets a patch from each
    // earlier version found there, unless the patch is not clearly smaller than its ".gz".
    std::vector<std::wstring> previous;
    // -1: publish the stable release. 0 to 100: publish `product` (made a candidate by
    // MakeCandidate) beside the stable release already in the output directory, offered to
    // this percentage of machines (0 halts it: only machines that took it keep it).
    int rollout = -1;
    // Leave installed files that the product no longer lists where they are (no DROPPED
    // line in the product info).
    bool keepDropped = false;
};

struct PublishReport {
    std::vector<std::wstring> written;  // paths relative to the output directory
    std::vector<std::wstring> unchanged;
    // Patch files of the published module files that the product info no longer lists,
    // removed after the master index was replaced; what could not be removed, as texts.
    std::vector<std::wstring> removed;
    std::vector<std::wstring> warnings;
    std::wstring infoDigest;  // the product info file's digest without DATE/MD5
    std::wstring date;        // the DATE it carries
    uint64_t serial = 0;      // the serial of a signed index; 0 when unsigned
};

PublishReport Publish(const ProductDesc& product, const std::vector<ResolvedModule>& modules,
                      const std::wstring& outputDir, const PublishOptions& options);

// The text of the DATE line for a time: "YYYY-MM-DDTHH:MM:SSZ" in UTC.
std::wstring FormatDate(time_t when);
// True for a text of that form.
bool IsDateText(const std::wstring& text);

// Writes a fresh minisign key pair: `<base>.pub` and the unencrypted `<base>.key` (mode
// 0600). Neither may exist yet. Gives the key id text; throws Exception naming the file.
std::wstring WriteNewKeyPair(const std::wstring& base);

// The lines of a checked text file, each followed by "\n", then "<" + their digest.
std::string CheckedText(const std::vector<std::string>& lines);
