#include "codec/StreamDigest.h"

#include "codec/FileDigest.h"
#include "codec/Sha256.h"

namespace UpdateNew {

void StreamDigest::Reset(Kind kind) {
    m_kind = kind;
    if (kind == Kind::kMd5) md5_init(&m_md5);
    if (kind == Kind::kSha256) sha256_init(&m_sha256);
}

void StreamDigest::Update(const void* data, size_t bytes) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (m_kind == Kind::kMd5) md5_update(&m_md5, bytes, p);
    if (m_kind == Kind::kSha256) sha256_update(&m_sha256, bytes, p);
}

std::wstring StreamDigest::Md5Text() {
    if (m_kind != Kind::kMd5) return std::wstring();
    unsigned char bytes[MD5_DIGEST_SIZE];
    md5_digest(&m_md5, sizeof bytes, bytes);
    m_kind = Kind::kNone;
    return DigestToText(bytes);
}

std::string StreamDigest::Sha256Text() {
    if (m_kind != Kind::kSha256) return std::string();
    uint8_t bytes[SHA256_DIGEST_SIZE];
    sha256_digest(&m_sha256, sizeof bytes, bytes);
    m_kind = Kind::kNone;
    return Sha256TextOf(bytes);
}

}  // namespace UpdateNew
