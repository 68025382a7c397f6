// The file cipher: Twofish in 1-bit cipher feedback over chunks of 1023 bytes, every chunk
// an independent stream started from the same initialisation vector. Enciphered product
// info files use it.
//
// Key: a key text of hexadecimal digits. An empty key means the built-in key text
// (BuiltinCipherKeyText(), 80 bits); any other key is written byte by byte as two
// uppercase hexadecimal digits, and that is the key text. The key has 4 bits per digit of
// the key text (zero-padded to the next Twofish key length); the initialisation vector is
// the first 16 characters of the key text. Keys longer than 32 bytes cannot be used.
#pragma once

#include <cstddef>
#include <string>

namespace UpdateNew {

// Bytes per independent cipher stream.
constexpr size_t kCipherChunk = 1023;

// The key text for `key` (see above).
std::string CipherKeyText(const std::string& key);

// Deciphers `source` into `target` (created or truncated). Failures throw Exception naming
// the file: the cipher cannot be set up for the key (library message 29), the source
// cannot be opened (2) or read (4), the target cannot be created (26) or written in full
// (5). When the target was created it is removed again on failure, so no partial output
// is left. The code is the system error number, or -1 for the cipher set-up.
void DecryptFile(const std::wstring& source, const std::wstring& target,
                 const std::string& key = std::string());

// The enciphering direction, with the same chunks, key rules and failures.
void EncryptFile(const std::wstring& source, const std::wstring& target,
                 const std::string& key = std::string());

}  // namespace UpdateNew
