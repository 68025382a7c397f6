// Md5 computes an MD5 digest of bytes handed over in pieces. The one place the MD5
// implementation is chosen: libcrypto's (about a tenth faster than nettle's on pieces of
// 8 KiB and more, as fast on 1 KiB; see docs/performance.md), or nettle's where libcrypto
// offers no MD5 (a system that allows only approved algorithms). Owns its libcrypto
// context; movable, not copyable; one thread at a time.
#pragma once

#include <nettle/md5.h>

#include <cstddef>

struct evp_md_ctx_st;

namespace UpdateNew {

class Md5 {
public:
    static constexpr size_t kSize = 16;

    // Started: ready for Update.
    Md5();
    ~Md5();
    Md5(Md5&& other) noexcept;
    Md5& operator=(Md5&& other) noexcept;
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;

    // Starts again from no bytes.
    void Reset();
    void Update(const void* data, size_t bytes);
    // The digest of the bytes so far; starts again from no bytes.
    void Final(unsigned char digest[kSize]);

private:
    evp_md_ctx_st* m_ctx = nullptr;  // null: nettle's
    md5_ctx m_fallback;
};

}  // namespace UpdateNew
