#include "PublishCipher.h"

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "codec/FileCipher.h"
#include "codec/PasswordScramble.h"
#include "codec/ProductInfoDecode.h"
#include "codec/Secrets.h"

using namespace UpdateNew;

namespace {

// The configuration reads stored passwords with this length.
constexpr int kStoredPasswordLength = 40;

std::string KeyBytes(const std::wstring& key) {
    if (key.empty()) return ProductInfoKey();
    std::string bytes;
    if (!WideToMultibyte(key, bytes) || bytes.empty() || bytes.size() > 32)
        throw Exception(Msg<980>(), ERR_GENERIC);
    return bytes;
}

}  // namespace

void EncipherInfoFile(const std::wstring& plain, const std::wstring& target,
                      const std::wstring& key) {
    EncryptFile(plain, target, KeyBytes(key));
    if (!IsEncipheredProductInfo(target)) throw Exception(Msg<981>(target), ERR_GENERIC);
}

void DecipherInfoFile(const std::wstring& source, const std::wstring& target,
                      const std::wstring& key) {
    DecryptFile(source, target, KeyBytes(key));
}

std::wstring ScramblePasswordText(const std::wstring& password) {
    std::wstring text = ScramblePassword(password, kStoredPasswordLength, PasswordSeed());
    if (text.empty()) throw Exception(Msg<982>(kStoredPasswordLength / 2), ERR_GENERIC);
    return text;
}
