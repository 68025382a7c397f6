// An MD5 digest of bytes handed over piece by piece, for data that passes through once
// (a copy being written) and should not be read back for its digest.
#pragma once

#include <nettle/md5.h>

#include <cstddef>
#include <string>

namespace UpdateNew {

class Md5Stream {
public:
    Md5Stream();
    void update(const void* data, size_t size);
    // The digest text (32 lowercase hexadecimal digits) of everything given so far.
    std::wstring text();

private:
    md5_ctx m_ctx;
};

}  // namespace UpdateNew
