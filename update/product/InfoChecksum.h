// The two digests of a product info file, taken from its bytes as they are read for
// parsing, so that the file is read once: the MD5 of the document without its checksum
// line (the line that starts "<MD5 value=", which cannot be part of the digest it states)
// and the SHA-256 of the whole file. Blocks may end anywhere, even inside the marker.
// Not shared between threads.
#pragma once

#include <cstddef>
#include <string>

#include "codec/StreamDigest.h"

namespace UpdateNew {

class InfoChecksum {
public:
    InfoChecksum();
    // The next bytes of the file.
    void update(const char* data, size_t size);
    // After the last bytes: the MD5 text without the checksum line, and the SHA-256 text
    // of the whole. Ends the digests.
    void finish(std::wstring& md5, std::string& sha256);

private:
    // Follows the lines of [p, end): what is not the checksum line goes into the MD5.
    void scan(const char* p, const char* end);

    StreamDigest m_md5;
    StreamDigest m_whole;
    bool m_lineStart = true;  // the next byte starts a line
    bool m_skipping = false;  // the line being read is the checksum line
    // The start of a line too short yet to tell whether it is the checksum line.
    std::string m_pending;
};

}  // namespace UpdateNew
