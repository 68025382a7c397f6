// The publisher's side of the updater's secrets: enciphering the product info file with
// the key the updater deciphers it with, and scrambling a password into the stored form
// the updater's configuration reads. The keys and the seed come from the build, shared
// with the updater.
#pragma once

#include <string>

// Enciphers `plain` into `target`. `key` empty: the product info key of the build;
// otherwise the given key (1 to 32 bytes in the locale's encoding). Throws when the result
// would not be recognised as enciphered: the updater tells an enciphered file by its
// first 32 bytes, and a key whose cipher text starts with 32 text bytes cannot be used.
void EncipherInfoFile(const std::wstring& plain, const std::wstring& target,
                      const std::wstring& key);
// The reverse, with the same choice of key. Throws on failure.
void DecipherInfoFile(const std::wstring& source, const std::wstring& target,
                      const std::wstring& key);

// The hexadecimal text the configuration's password options take for `password`. Throws
// for a password longer than the stored form holds.
std::wstring ScramblePasswordText(const std::wstring& password);
