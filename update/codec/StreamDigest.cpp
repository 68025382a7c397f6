#include "codec/StreamDigest.h"

#include "codec/FileDigest.h"
#include "codec/Sha256.h"

namespace UpdateNew {

void StreamDigest::Reset(Kind kind) {
    m_kind = kind;
    if (kind == Kind::kMd5) m_md5.Reset();
    if (kind == Kind::kSha256) sha256_init(&m_sha256);
}

void StreamDigest::Update(const void* data, size_t bytes) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (m_kind == Kind::kMd5) m_md5.Update(p, bytes);
    if (m_kind == Kind::kSha256) sha256_update(&m_sha256, bytes, p);
}

std::wstring StreamDigest::Md5Text() {
    if (m_kind != Kind::kMd5) return std::wstring();
    unsigned char bytes[Md5::kSize];
    m_md5.Final(bytes);
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
