#include "product/SignedIndex.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <set>

#include "base/Conv.h"
#include "base/SafeFile.h"
#include "codec/CheckedTextFile.h"
#include "codec/Sha256.h"

namespace UpdateNew {

namespace {

// A decimal number without sign, leading zeros or trailing text, below 2^63.
bool ParseNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// "<name>,<hex>" with a plain file name (no "/", not empty).
bool ParseNamedDigest(const std::string& text, std::string& name, std::string& digest) {
    const size_t comma = text.rfind(',');
    if (comma == std::string::npos || comma == 0) return false;
    name = text.substr(0, comma);
    digest = text.substr(comma + 1);
    return name.find('/') == std::string::npos && IsSha256Text(digest);
}

}  // namespace

std::vector<std::string> SignedIndex::Lines() const {
    std::vector<std::string> lines = {"serial=" + std::to_string(serial),
                                      "expires=" + std::to_string(expires),
                                      "signatures=" + std::to_string(signatures)};
    for (const auto& file : productFiles)
        lines.push_back("productfilesha256=" + file.first + "," + file.second);
    for (const auto& file : productInfos)
        lines.push_back("productinfosha256=" + file.first + "," + file.second);
    return lines;
}

SignedIndexParse ParseSignedIndex(const std::vector<std::string>& lines, SignedIndex& index,
                                  std::string& badLine) {
    index = SignedIndex();
    std::set<std::string> seen;
    for (const std::string& line : lines) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        uint64_t number = 0;
        std::string name, digest;
        bool ok = true;
        if (key == "serial" || key == "expires" || key == "signatures") {
            ok = seen.insert(key).second && ParseNumber(value, number);
            if (key == "serial") {
                ok = ok && number >= 1;
                index.serial = number;
            } else if (key == "expires") {
                index.expires = static_cast<int64_t>(number);
            } else {
                ok = ok && number >= 1 && number <= kMaxIndexSignatures;
                index.signatures = static_cast<int>(number);
            }
        } else if (key == "productfilesha256" || key == "productinfosha256") {
            auto& files = key == "productfilesha256" ? index.productFiles : index.productInfos;
            ok = ParseNamedDigest(value, name, digest) && files.emplace(name, digest).second;
        } else {
            continue;
        }
        if (!ok) {
            badLine = line;
            return SignedIndexParse::kMalformed;
        }
    }
    if (seen.empty() && index.productFiles.empty() && index.productInfos.empty())
        return SignedIndexParse::kUnsigned;
    if (seen.size() != 3) {
        badLine = "serial=, expires= and signatures= must all be present";
        return SignedIndexParse::kMalformed;
    }
    return SignedIndexParse::kOk;
}

std::wstring IndexSignatureName(const std::wstring& index, int n) {
    return n <= 1 ? index + L".minisig" : index + L".minisig." + std::to_wstring(n);
}

std::wstring ContentSignatureName(const std::wstring& index, const std::string& indexSha256,
                                  int n) {
    return IndexSignatureName(
        index + L"." + FromMultibyte(indexSha256.substr(0, kContentNameDigits)), n);
}

std::wstring ContentProductInfoName(const std::wstring& info, const std::string& sha256) {
    const bool gz = info.size() > 3 && info.compare(info.size() - 3, 3, L".gz") == 0;
    return info.substr(0, gz ? info.size() - 3 : info.size()) + L"." +
           FromMultibyte(sha256.substr(0, kContentNameDigits)) + L".gz";
}

std::wstring TrustStatePath(const std::wstring& keptIndex) {
    return keptIndex + L".trust";
}

bool ReadTrustState(const std::wstring& path, TrustState& state) {
    state = TrustState();
    if (::access(ToMultibyte(path).c_str(), F_OK) != 0 && errno == ENOENT) return true;
    std::vector<std::string> lines;
    if (ReadCheckedTextFile(path, lines, 4096) != 2) return false;
    if (lines[0].compare(0, 7, "serial=") != 0 || lines[1].compare(0, 7, "sha256=") != 0)
        return false;
    if (!ParseNumber(lines[0].substr(7), state.serial)) return false;
    state.indexSha256 = lines[1].substr(7);
    if (!IsSha256Text(state.indexSha256)) return false;
    state.present = true;
    return true;
}

int WriteTrustState(const std::wstring& path, const TrustState& state) {
    const int error = WriteCheckedTextFile(
        path, {"serial=" + std::to_string(state.serial), "sha256=" + state.indexSha256});
    if (error != 0) return error;
    // The rename itself must survive a power cut too, or the machine could come back with
    // the serial before it.
    return SyncParent(ToMultibyte(path));
}

IndexVerdict CheckIndexSignatures(const std::string& indexBytes,
                                  const std::vector<std::string>& signatureTexts,
                                  const std::vector<MinisignPublicKey>& trusted, int threshold,
                                  std::string& detail) {
    if (signatureTexts.empty()) return IndexVerdict::kUnsigned;
    // The threshold counts public keys, not key ids: a key id is only a label, and one
    // key listed under two ids (or two signature files by one key) must count once.
    std::set<std::array<uint8_t, 32>> good;
    std::string untrusted;
    for (size_t i = 0; i < signatureTexts.size(); ++i) {
        MinisignSignature signature;
        if (!ParseMinisignSignature(signatureTexts[i], signature)) {
            detail = std::to_string(i + 1);
            return IndexVerdict::kMalformed;
        }
        const MinisignPublicKey* key = nullptr;
        bool verified = false;
        for (const MinisignPublicKey& candidate : trusted) {
            if (candidate.keyId != signature.keyId) continue;
            key = &candidate;
            if (VerifyMinisign(candidate, signature, indexBytes.data(), indexBytes.size())) {
                verified = true;
                break;
            }
        }
        if (key == nullptr) {
            MinisignPublicKey unknown;
            unknown.keyId = signature.keyId;
            untrusted = unknown.IdText();
            continue;
        }
        if (!verified) {
            detail = key->IdText();
            return IndexVerdict::kBadSignature;
        }
        good.insert(key->key);
    }
    if (good.empty() && !untrusted.empty()) {
        detail = untrusted;
        return IndexVerdict::kUntrustedKey;
    }
    if (static_cast<int>(good.size()) < threshold) {
        detail = std::to_string(good.size());
        return IndexVerdict::kBelowThreshold;
    }
    return IndexVerdict::kOk;
}

IndexVerdict CheckIndexFreshness(const SignedIndex& index, const std::string& indexSha256,
                                 const TrustState& state, time_t now) {
    if (static_cast<int64_t>(now) >= index.expires) return IndexVerdict::kExpired;
    if (!state.present) return IndexVerdict::kOk;
    if (index.serial < state.serial) return IndexVerdict::kRollback;
    if (index.serial == state.serial && indexSha256 != state.indexSha256)
        return IndexVerdict::kSameSerialOther;
    return IndexVerdict::kOk;
}

}  // namespace UpdateNew
