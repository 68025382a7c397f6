#include "codec/Sha256.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/Conv.h"
#include "base/SafeFile.h"

namespace UpdateNew {

namespace {

std::string HexOf(const uint8_t* bytes, size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

}  // namespace

std::string Sha256TextOf(const unsigned char digest[32]) {
    return HexOf(digest, SHA256_DIGEST_SIZE);
}

std::string Sha256OfData(const void* data, size_t size) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, size, static_cast<const uint8_t*>(data));
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return HexOf(digest, sizeof digest);
}

std::string Sha256OfFile(const std::wstring& path) {
    UniqueFd file;
    if (OpenRegular(ToMultibyte(path), file) != 0) return std::string();
    sha256_ctx ctx;
    sha256_init(&ctx);
    std::vector<uint8_t> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(file.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::string();
        if (n == 0) break;
        sha256_update(&ctx, static_cast<size_t>(n), buf.data());
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return HexOf(digest, sizeof digest);
}

bool IsSha256Text(const std::string& text) {
    if (text.size() != 2 * SHA256_DIGEST_SIZE) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace UpdateNew
