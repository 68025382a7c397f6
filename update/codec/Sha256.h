// SHA-256 digests as text: 64 lowercase hexadecimal characters. The signed master index
// names the product file, the product info files and every compressed module file by
// this digest, so a file of another publication cannot pass for the one signed.
// None of these functions throws.
#pragma once

#include <cstddef>
#include <string>

namespace UpdateNew {

// Digest text of the 32 bytes of a finished digest.
std::string Sha256TextOf(const unsigned char digest[32]);
// Digest text of a byte string.
std::string Sha256OfData(const void* data, size_t size);
// Digest text of a whole file; empty when it cannot be opened or read.
std::string Sha256OfFile(const std::wstring& path);
// Whether `text` is a digest text (64 lowercase hexadecimal characters).
bool IsSha256Text(const std::string& text);

}  // namespace UpdateNew
