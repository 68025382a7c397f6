// The minisign readers: one input read as a signature file (and checked against a fixed
// key over fixed data), as a public key, as a trusted-keys list and as a secret key.
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "codec/Minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    MinisignSignature signature;
    MinisignPublicKey key;
    if (ParseMinisignSignature(text, signature)) {
        key.keyId = signature.keyId;
        (void)VerifyMinisign(key, signature, data, size);
    }
    (void)ParseMinisignPublicKey(text, key);
    std::vector<MinisignPublicKey> keys;
    size_t badLine = 0;
    (void)ParseMinisignKeyList(text, keys, badLine);
    MinisignSecretKey secret;
    (void)ParseMinisignSecretKey(text, secret);
    return 0;
}
