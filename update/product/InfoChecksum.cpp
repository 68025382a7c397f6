#include "product/InfoChecksum.h"

#include <algorithm>
#include <cstring>

namespace UpdateNew {

namespace {

const char kChecksumLine[] = "<MD5 value=";
constexpr size_t kMarker = sizeof kChecksumLine - 1;

}  // namespace

InfoChecksum::InfoChecksum()
    : m_md5(StreamDigest::Kind::kMd5), m_whole(StreamDigest::Kind::kSha256) {}

void InfoChecksum::update(const char* data, size_t size) {
    m_whole.Update(data, size);
    scan(data, data + size);
}

void InfoChecksum::scan(const char* p, const char* end) {
    while (p < end) {
        if (m_lineStart) {
            if (m_pending.empty() && static_cast<size_t>(end - p) >= kMarker) {
                m_skipping = std::memcmp(p, kChecksumLine, kMarker) == 0;
                m_lineStart = false;
            } else {
                // Too few bytes to tell: held until the marker's length is there.
                const size_t take =
                    std::min(kMarker - m_pending.size(), static_cast<size_t>(end - p));
                m_pending.append(p, take);
                p += take;
                if (m_pending.size() < kMarker) return;
                std::string held;
                held.swap(m_pending);
                m_lineStart = false;
                m_skipping = held == kChecksumLine;
                // Held bytes of another line are read as its start; they may end it, and
                // what follows that end is fewer bytes than the marker, so it is held
                // again rather than read a third time.
                if (!m_skipping) scan(held.data(), held.data() + held.size());
                continue;
            }
        }
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* const lineEnd = nl ? nl + 1 : end;
        if (!m_skipping) m_md5.Update(p, static_cast<size_t>(lineEnd - p));
        p = lineEnd;
        if (nl) {
            m_lineStart = true;
            m_skipping = false;
        }
    }
}

void InfoChecksum::finish(std::wstring& md5, std::string& sha256) {
    // A last line shorter than the marker is no checksum line.
    m_md5.Update(m_pending.data(), m_pending.size());
    m_pending.clear();
    md5 = m_md5.Md5Text();
    sha256 = m_whole.Sha256Text();
}

}  // namespace UpdateNew
