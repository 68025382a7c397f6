// The signed form of the master index. A signed index is a master index with extra
// "key=value" lines, which an updater that knows nothing of signatures ignores (it only
// compares the index whole):
//   serial=<n>                       grows with every publication of the tree (n >= 1)
//   expires=<unix time>              the index is refused from this second on
//   signatures=<n>                   detached signature files beside the index (1..8)
//   productfilesha256=<name>,<hex>   SHA-256 of the product file <name> (its last path part)
//   productinfosha256=<name>,<hex>   SHA-256 of each product info file as served (.gz)
// The signature files are <index>.minisig, then <index>.minisig.2, .3 ... (minisign's
// format, over the index's bytes). Every module file's record in the product info file
// carries ZIPSHA256, the SHA-256 of its compressed file.
//
// A signed publication also keeps each signature and product info file under a name made
// from content (ContentSignatureName, ContentProductInfoName), kept until the publication
// after next. A client that fetched an index while a newer publication was being put in
// place (or copied) finds the files of exactly that index there.
//
// This header also holds what one run checks the index against: the trust state kept
// beside the kept copy of the index (highest accepted serial and that index's SHA-256)
// and the pure checks of signatures, expiry and serial.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "codec/Minisign.h"

namespace UpdateNew {

// Largest master index accepted when signatures are checked, and most signature files.
constexpr size_t kSignedIndexMaxBytes = 1024 * 1024;
constexpr int kMaxIndexSignatures = 8;

struct SignedIndex {
    uint64_t serial = 0;
    int64_t expires = 0;
    int signatures = 0;
    std::map<std::string, std::string> productFiles;  // file name -> SHA-256 text
    std::map<std::string, std::string> productInfos;  // file name -> SHA-256 text

    // The lines above for these values, in that order (names sorted).
    std::vector<std::string> Lines() const;
};

enum class SignedIndexParse { kOk, kUnsigned, kMalformed };
// Reads the signed fields from the index's lines (checked text lines without the digest
// line); other lines are skipped. kUnsigned: no serial, expires or signatures line at
// all. kMalformed (with the offending line in `badLine`): a value out of range, a field
// given twice, a bad digest text, a partial set of the three.
SignedIndexParse ParseSignedIndex(const std::vector<std::string>& lines, SignedIndex& index,
                                  std::string& badLine);

// Name of the n-th signature file (n from 1) beside the index at `index`.
std::wstring IndexSignatureName(const std::wstring& index, int n);
// Name of the n-th signature file of the index whose SHA-256 text is `indexSha256`:
// "<index>.<first 16 hex digits>.minisig", then ".minisig.2" and so on.
std::wstring ContentSignatureName(const std::wstring& index, const std::string& indexSha256, int n);
// Name of the product info file `info` ("....gz") whose SHA-256 text is `sha256`:
// "<info without .gz>.<first 16 hex digits>.gz".
std::wstring ContentProductInfoName(const std::wstring& info, const std::string& sha256);
// Hex digits of a SHA-256 text that a content name carries.
constexpr size_t kContentNameDigits = 16;

// What this installation has accepted: the highest serial and the SHA-256 of that index.
struct TrustState {
    bool present = false;
    uint64_t serial = 0;
    std::string indexSha256;
};
// Path of the state beside the kept copy of the index.
std::wstring TrustStatePath(const std::wstring& keptIndex);
// Reads the state. A missing file is an empty state (true); a file that is there but
// unreadable, damaged or malformed gives false, so that a run refuses rather than
// forgetting the serial it accepted.
bool ReadTrustState(const std::wstring& path, TrustState& state);
// Replaces the state: written beside, synced, renamed over. Gives 0 or the error number.
int WriteTrustState(const std::wstring& path, const TrustState& state);

enum class IndexVerdict {
    kOk,
    kUnsigned,         // no signed fields, or no signature file
    kMalformed,        // signed fields or a signature file unreadable
    kBadSignature,     // a signature by a trusted key that does not verify
    kUntrustedKey,     // only signatures by keys not trusted
    kBelowThreshold,   // fewer distinct trusted keys than required
    kExpired,          // the expiry time has come
    kRollback,         // serial lower than the accepted one
    kSameSerialOther,  // serial equal to the accepted one, content different
};

// Checks the signatures over `indexBytes`. Signatures by keys not in `trusted` are
// skipped (a publication may be signed by an outgoing and an incoming key); one by a
// trusted key that does not verify refuses the index. `detail` names the key id or the
// count. Each distinct public key counts once, whatever id it is listed under.
IndexVerdict CheckIndexSignatures(const std::string& indexBytes,
                                  const std::vector<std::string>& signatureTexts,
                                  const std::vector<MinisignPublicKey>& trusted, int threshold,
                                  std::string& detail);
// Checks expiry against `now`, and the serial against the accepted state.
IndexVerdict CheckIndexFreshness(const SignedIndex& index, const std::string& indexSha256,
                                 const TrustState& state, time_t now);

}  // namespace UpdateNew
