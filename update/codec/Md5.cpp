#include "codec/Md5.h"

#include <openssl/evp.h>

#include <new>
#include <utility>

namespace UpdateNew {

namespace {

// Fetched once: an implicit fetch on every start would cost more than digesting 1 KiB.
const EVP_MD* Algorithm() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "MD5", "-fips");
    return md;
}

}  // namespace

Md5::Md5() {
    if (Algorithm() != nullptr) {
        m_ctx = EVP_MD_CTX_new();
        if (m_ctx == nullptr) throw std::bad_alloc();
    }
    Reset();
}

Md5::~Md5() {
    EVP_MD_CTX_free(m_ctx);
}

Md5::Md5(Md5&& other) noexcept {
    *this = std::move(other);
}

Md5& Md5::operator=(Md5&& other) noexcept {
    std::swap(m_ctx, other.m_ctx);
    std::swap(m_fallback, other.m_fallback);
    return *this;
}

void Md5::Reset() {
    // Starting a fetched algorithm on a context allocates nothing; it cannot fail.
    if (m_ctx == nullptr || EVP_DigestInit_ex2(m_ctx, Algorithm(), nullptr) != 1) {
        EVP_MD_CTX_free(m_ctx);
        m_ctx = nullptr;
        md5_init(&m_fallback);
    }
}

void Md5::Update(const void* data, size_t bytes) {
    if (m_ctx != nullptr)
        EVP_DigestUpdate(m_ctx, data, bytes);
    else
        md5_update(&m_fallback, bytes, static_cast<const uint8_t*>(data));
}

void Md5::Final(unsigned char digest[kSize]) {
    unsigned int size = 0;
    if (m_ctx != nullptr)
        EVP_DigestFinal_ex(m_ctx, digest, &size);
    else
        md5_digest(&m_fallback, kSize, digest);
    Reset();
}

}  // namespace UpdateNew
