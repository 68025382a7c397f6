#include "codec/Minisign.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace UpdateNew {

namespace {

constexpr char kUntrusted[] = "untrusted comment: ";
constexpr char kTrusted[] = "trusted comment: ";
constexpr size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
constexpr size_t kSignatureBytes = 2 + 8 + 64;

void Init() {
    // Idempotent and safe to call from anywhere; it only fails without a random source,
    // which key generation reports by aborting inside libsodium.
    if (sodium_init() < 0) return;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The lines of a text without their line ends (LF or CR LF).
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Decodes base64 of exactly `size` bytes.
bool Decode(const std::string& text, uint8_t* out, size_t size) {
    Init();
    size_t n = 0;
    if (text.empty() || text.size() > 4 * (size / 3 + 2)) return false;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &n, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return n == size;
}

std::string Encode(const uint8_t* bytes, size_t size) {
    Init();
    std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&out[0], out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

bool DecodePublicKey(const std::string& line, MinisignPublicKey& key) {
    uint8_t raw[kPublicKeyBytes];
    if (!Decode(line, raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd') return false;
    std::memcpy(key.keyId.data(), raw + 2, 8);
    std::memcpy(key.key.data(), raw + 10, 32);
    return true;
}

void Checksum(const MinisignSecretKey& key, uint8_t out[32]) {
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, 32);
    crypto_generichash_update(&st, reinterpret_cast<const uint8_t*>("Ed"), 2);
    crypto_generichash_update(&st, key.keyId.data(), key.keyId.size());
    crypto_generichash_update(&st, key.key.data(), key.key.size());
    crypto_generichash_final(&st, out, 32);
}

void Prehash(const void* data, size_t size, uint8_t out[crypto_generichash_BYTES_MAX]) {
    crypto_generichash(out, crypto_generichash_BYTES_MAX, static_cast<const uint8_t*>(data), size,
                       nullptr, 0);
}

}  // namespace

std::string MinisignPublicKey::IdText() const {
    char text[17];
    for (size_t i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", keyId[7 - i]);
    return std::string(text, 16);
}

MinisignPublicKey MinisignSecretKey::PublicKey() const {
    MinisignPublicKey pub;
    pub.keyId = keyId;
    std::memcpy(pub.key.data(), key.data() + 32, 32);
    return pub;
}

bool ParseMinisignPublicKey(const std::string& text, MinisignPublicKey& key) {
    std::vector<std::string> lines = Lines(text);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.size() == 2 && StartsWith(lines[0], kUntrusted)) lines.erase(lines.begin());
    return lines.size() == 1 && DecodePublicKey(lines[0], key);
}

bool ParseMinisignKeyList(const std::string& text, std::vector<MinisignPublicKey>& keys,
                          size_t& badLine) {
    keys.clear();
    badLine = 0;
    const std::vector<std::string> lines = Lines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty() || line[0] == '#' || StartsWith(line, kUntrusted)) continue;
        MinisignPublicKey key;
        if (!DecodePublicKey(line, key)) {
            badLine = i + 1;
            keys.clear();
            return false;
        }
        keys.push_back(key);
    }
    return !keys.empty();
}

SecretKeyStatus ParseMinisignSecretKey(const std::string& text, MinisignSecretKey& key) {
    std::vector<std::string> lines = Lines(text);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.size() != 2 || !StartsWith(lines[0], kUntrusted)) return SecretKeyStatus::kMalformed;
    uint8_t raw[kSecretKeyBytes];
    if (!Decode(lines[1], raw, sizeof raw) || std::memcmp(raw, "Ed", 2) != 0 ||
        std::memcmp(raw + 4, "B2", 2) != 0)
        return SecretKeyStatus::kMalformed;
    if (raw[2] != 0 || raw[3] != 0) return SecretKeyStatus::kEncrypted;
    const uint8_t* keynum = raw + 2 + 2 + 2 + 32 + 8 + 8;
    std::memcpy(key.keyId.data(), keynum, 8);
    std::memcpy(key.key.data(), keynum + 8, 64);
    const uint8_t* stored = keynum + 8 + 64;
    // Some writers leave the checksum of an unencrypted key zero; the key's two halves
    // must agree in any case.
    uint8_t sum[32], zero[32] = {};
    Checksum(key, sum);
    if (std::memcmp(stored, zero, 32) != 0 && std::memcmp(stored, sum, 32) != 0)
        return SecretKeyStatus::kBadChecksum;
    uint8_t pk[32];
    crypto_sign_ed25519_sk_to_pk(pk, key.key.data());
    uint8_t seedPk[32], seedSk[64];
    crypto_sign_seed_keypair(seedPk, seedSk, key.key.data());
    if (std::memcmp(pk, seedPk, 32) != 0) return SecretKeyStatus::kBadChecksum;
    sodium_memzero(seedSk, sizeof seedSk);
    return SecretKeyStatus::kOk;
}

bool ParseMinisignSignature(const std::string& text, MinisignSignature& signature) {
    if (text.size() > kMinisignMaxSignatureBytes) return false;
    std::vector<std::string> lines = Lines(text);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.size() != 4 || !StartsWith(lines[0], kUntrusted) || !StartsWith(lines[2], kTrusted))
        return false;
    uint8_t raw[kSignatureBytes];
    if (!Decode(lines[1], raw, sizeof raw) || raw[0] != 'E') return false;
    if (raw[1] == 'D')
        signature.prehashed = true;
    else if (raw[1] == 'd')
        signature.prehashed = false;
    else
        return false;
    std::memcpy(signature.keyId.data(), raw + 2, 8);
    std::memcpy(signature.signature.data(), raw + 10, 64);
    signature.trustedComment = lines[2].substr(std::strlen(kTrusted));
    return Decode(lines[3], signature.globalSignature.data(), 64);
}

bool VerifyMinisign(const MinisignPublicKey& key, const MinisignSignature& signature,
                    const void* data, size_t size) {
    Init();
    if (key.keyId != signature.keyId) return false;
    bool good;
    if (signature.prehashed) {
        uint8_t hash[crypto_generichash_BYTES_MAX];
        Prehash(data, size, hash);
        good = crypto_sign_verify_detached(signature.signature.data(), hash, sizeof hash,
                                           key.key.data()) == 0;
    } else {
        good = crypto_sign_verify_detached(signature.signature.data(),
                                           static_cast<const uint8_t*>(data), size,
                                           key.key.data()) == 0;
    }
    if (!good) return false;
    std::string global(signature.signature.begin(), signature.signature.end());
    global += signature.trustedComment;
    return crypto_sign_verify_detached(signature.globalSignature.data(),
                                       reinterpret_cast<const uint8_t*>(global.data()),
                                       global.size(), key.key.data()) == 0;
}

std::string SignMinisign(const MinisignSecretKey& key, const void* data, size_t size,
                         const std::string& trustedComment) {
    Init();
    uint8_t hash[crypto_generichash_BYTES_MAX];
    Prehash(data, size, hash);
    uint8_t raw[kSignatureBytes];
    raw[0] = 'E';
    raw[1] = 'D';
    std::memcpy(raw + 2, key.keyId.data(), 8);
    crypto_sign_detached(raw + 10, nullptr, hash, sizeof hash, key.key.data());
    std::string global(reinterpret_cast<const char*>(raw + 10), 64);
    global += trustedComment;
    uint8_t globalSig[64];
    crypto_sign_detached(globalSig, nullptr, reinterpret_cast<const uint8_t*>(global.data()),
                         global.size(), key.key.data());
    return std::string(kUntrusted) + "signature from update-publish secret key\n" +
           Encode(raw, sizeof raw) + "\n" + kTrusted + trustedComment + "\n" +
           Encode(globalSig, sizeof globalSig) + "\n";
}

MinisignSecretKey GenerateMinisignKey() {
    Init();
    MinisignSecretKey key;
    uint8_t pk[32];
    crypto_sign_keypair(pk, key.key.data());
    randombytes_buf(key.keyId.data(), key.keyId.size());
    return key;
}

std::string FormatMinisignPublicKey(const MinisignPublicKey& key) {
    uint8_t raw[kPublicKeyBytes] = {'E', 'd'};
    std::memcpy(raw + 2, key.keyId.data(), 8);
    std::memcpy(raw + 10, key.key.data(), 32);
    return std::string(kUntrusted) + "minisign public key " + key.IdText() + "\n" +
           Encode(raw, sizeof raw) + "\n";
}

std::string FormatMinisignSecretKey(const MinisignSecretKey& key) {
    uint8_t raw[kSecretKeyBytes] = {'E', 'd', 0, 0, 'B', '2'};
    uint8_t* keynum = raw + 2 + 2 + 2 + 32 + 8 + 8;
    std::memcpy(keynum, key.keyId.data(), 8);
    std::memcpy(keynum + 8, key.key.data(), 64);
    Checksum(key, keynum + 8 + 64);
    std::string text = std::string(kUntrusted) + "minisign secret key " + key.PublicKey().IdText() +
                       "\n" + Encode(raw, sizeof raw) + "\n";
    sodium_memzero(raw, sizeof raw);
    return text;
}

}  // namespace UpdateNew
