#include "codec/Md5Stream.h"

#include <cstdint>

#include "codec/FileDigest.h"

namespace UpdateNew {

Md5Stream::Md5Stream() {
    md5_init(&m_ctx);
}

void Md5Stream::update(const void* data, size_t size) {
    md5_update(&m_ctx, size, static_cast<const uint8_t*>(data));
}

std::wstring Md5Stream::text() {
    unsigned char digest[MD5_DIGEST_SIZE];
    md5_digest(&m_ctx, sizeof digest, digest);
    return DigestToText(digest);
}

}  // namespace UpdateNew
