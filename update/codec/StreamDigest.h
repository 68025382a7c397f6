// StreamDigest computes the MD5 or the SHA-256 digest of bytes handed over in pieces, as
// they arrive, so that a file received into place need not be read back for its check.
// The texts are those of GetFileMD5 (FileDigest.h) and Sha256OfFile (Sha256.h) for the
// same bytes. Movable, not copyable; not shared between threads.
#pragma once

#include <nettle/sha2.h>

#include <cstddef>
#include <string>

#include "codec/Md5.h"

namespace UpdateNew {

class StreamDigest {
public:
    enum class Kind { kNone, kMd5, kSha256 };

    explicit StreamDigest(Kind kind = Kind::kNone) { Reset(kind); }

    // Starts again from no bytes.
    void Reset(Kind kind);
    void Update(const void* data, size_t bytes);
    Kind kind() const { return m_kind; }
    // The digest text of the bytes so far (MD5 as wide text, SHA-256 as narrow text);
    // empty for the other kind. Ends the digest: Reset before further use.
    std::wstring Md5Text();
    std::string Sha256Text();

private:
    Kind m_kind = Kind::kNone;
    Md5 m_md5;
    sha256_ctx m_sha256;
};

}  // namespace UpdateNew
