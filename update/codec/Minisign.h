// Keys and detached signatures in the minisign format: Ed25519 over the BLAKE2b-512 hash
// of the signed file, plus a "global" signature binding the trusted comment. Files
// written here verify with `minisign -V`, and keys made by `minisign -G -W` (unencrypted)
// sign here. Values are plain structs; nothing here owns a resource.
//
// Text layouts (each line ends with LF; base64 in the standard alphabet):
//   public key:  "untrusted comment: ..." / base64("Ed" key-id[8] public-key[32])
//   secret key:  "untrusted comment: ..." / base64("Ed" kdf[2] "B2" salt[32] ops[8] mem[8]
//                key-id[8] secret-key[64] checksum[32]), kdf zero for an unencrypted key
//   signature:   "untrusted comment: ..." / base64("ED" key-id[8] signature[64]) /
//                "trusted comment: <text>" / base64(global-signature[64])
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace UpdateNew {

// Largest signature file and trusted-keys file read; anything longer is refused unread.
constexpr size_t kMinisignMaxSignatureBytes = 4096;
constexpr size_t kMinisignMaxKeysFileBytes = 64 * 1024;

using MinisignKeyId = std::array<uint8_t, 8>;

struct MinisignPublicKey {
    MinisignKeyId keyId{};
    std::array<uint8_t, 32> key{};
    // The key id as minisign prints it: 16 uppercase hexadecimal digits.
    std::string IdText() const;
};

struct MinisignSecretKey {
    MinisignKeyId keyId{};
    std::array<uint8_t, 64> key{};  // libsodium's form: seed, then the public key
    MinisignPublicKey PublicKey() const;
};

struct MinisignSignature {
    MinisignKeyId keyId{};
    bool prehashed = true;  // "ED": the signature covers BLAKE2b-512 of the file
    std::array<uint8_t, 64> signature{};
    std::string trustedComment;  // without the "trusted comment: " prefix
    std::array<uint8_t, 64> globalSignature{};
};

// A public key from a key file's text (comment line optional) or from its base64 line
// alone. False for anything else, including a key of another algorithm.
bool ParseMinisignPublicKey(const std::string& text, MinisignPublicKey& key);

// A trusted-keys file: one or more public keys, each a base64 line, optionally after its
// "untrusted comment:" line; empty lines and lines starting with "#" are skipped. False
// (with `badLine`, counted from 1) on the first line that is none of these, or when the
// file holds no key.
bool ParseMinisignKeyList(const std::string& text, std::vector<MinisignPublicKey>& keys,
                          size_t& badLine);

enum class SecretKeyStatus { kOk, kMalformed, kEncrypted, kBadChecksum };
// A secret key file's text. An encrypted key (made without -W) is not read.
SecretKeyStatus ParseMinisignSecretKey(const std::string& text, MinisignSecretKey& key);

// A signature file's text. False for a file that does not have the four lines, an
// unknown algorithm, bad base64 or a text longer than kMinisignMaxSignatureBytes.
bool ParseMinisignSignature(const std::string& text, MinisignSignature& signature);

// Whether `signature` is by `key` (same key id) and both its signature over the data and
// its global signature over the trusted comment are good.
bool VerifyMinisign(const MinisignPublicKey& key, const MinisignSignature& signature,
                    const void* data, size_t size);

// A signature file's text for `data`, prehashed, with the given trusted comment (one line).
std::string SignMinisign(const MinisignSecretKey& key, const void* data, size_t size,
                         const std::string& trustedComment);

// A fresh key pair (random key id) and the texts of its two files.
MinisignSecretKey GenerateMinisignKey();
std::string FormatMinisignPublicKey(const MinisignPublicKey& key);
std::string FormatMinisignSecretKey(const MinisignSecretKey& key);

}  // namespace UpdateNew
