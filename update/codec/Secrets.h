// The deployment's secrets, fixed when the program is built (CMake cache variables
// UPDATER_CIPHER_KEY_TEXT, UPDATER_PRODUCT_INFO_KEY, UPDATER_PASSWORD_SEED). The updater and
// the publisher link the same values, so what one enciphers or scrambles the other reads.
// The texts are not kept in the program as plain strings; they are put together on demand.
#pragma once

#include <cstdint>
#include <string>

namespace UpdateNew {

// The file cipher's built-in key text (20 uppercase hexadecimal digits), used when a
// caller hands the cipher an empty key.
std::string BuiltinCipherKeyText();

// The key (plain bytes) with which product info files are enciphered and deciphered.
std::string ProductInfoKey();

// The seed of the key stream of passwords stored in configuration files.
uint32_t PasswordSeed();

}  // namespace UpdateNew
