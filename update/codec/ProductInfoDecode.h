// Turning a downloaded product info file into the XML file the run reads.
#pragma once

#include <functional>
#include <string>

namespace UpdateNew {

// Gunzips `downloadedPath` into its own directory and, when the result is enciphered,
// deciphers it in place with the product info key (ProductInfoKey()). The result is the
// downloaded name without ".gz" (the same name when it has none); it is handed to
// `addTempFile` (when given) as soon as it exists, so the run's clean-up removes it.
//
// Enciphered means: among the first 32 bytes is one that is neither a printable nor a
// control character of ASCII (a leading UTF-8 byte order mark does not count). An XML
// file in plain ASCII text is used as it is.
//
// A failed decompression throws CUpdateCriticalException 601 (message 155 naming both
// files), also when the file decompresses to more than `maxBytes` (a small file that
// inflates without end must not fill the disk); deciphering failures throw what
// DecryptFile throws.
constexpr unsigned long long kMaxProductInfoBytes = 512ULL * 1024 * 1024;
// The most a product info file may hold as it comes from the server (compressed, maybe
// enciphered): a transfer past it is cut off.
constexpr unsigned long long kMaxProductInfoTransferBytes = 64ULL * 1024 * 1024;
std::wstring DecodeProductInfoFile(
    const std::wstring& downloadedPath,
    const std::function<void(const std::wstring&)>& addTempFile = nullptr,
    unsigned long long maxBytes = kMaxProductInfoBytes);

// The test above on the first bytes of a file; false when it cannot be read.
bool IsEncipheredProductInfo(const std::wstring& path);

}  // namespace UpdateNew
