#include "product/InfoChecksum.h"

#include <algorithm>
#include <cstring>

namespace UpdateNew {

namespace {

const char kChecksumLine[] = "<MD5 value=";
constexpr size_t kMarker = sizeof kChecksumLine - 1;
// A line end and the checksum line's marker after it.
const char kLineThenChecksum[] = "\n<MD5 value=";

}  // namespace

InfoChecksum::InfoChecksum()
    : m_md5(StreamDigest::Kind::kMd5), m_whole(StreamDigest::Kind::kSha256) {}

void InfoChecksum::update(const char* data, size_t size) {
    m_whole.Update(data, size);
    scan(data, data + size);
}

void InfoChecksum::scan(const char* p, const char* end) {
    while (p < end) {
        if (m_skipping) {
            // The checksum line is left out up to and with its line end.
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
            if (!nl) return;
            p = nl + 1;
            m_skipping = false;
            m_lineStart = true;
            continue;
        }
        if (m_lineStart) {
            if (m_pending.empty() && static_cast<size_t>(end - p) >= kMarker) {
                m_skipping = std::memcmp(p, kChecksumLine, kMarker) == 0;
                m_lineStart = false;
                continue;
            }
            // Too few bytes to tell: held until the marker's length is there.
            const size_t take = std::min(kMarker - m_pending.size(), static_cast<size_t>(end - p));
            m_pending.append(p, take);
            p += take;
            if (m_pending.size() < kMarker) return;
            std::string held;
            held.swap(m_pending);
            m_lineStart = false;
            m_skipping = held == kChecksumLine;
            // Held bytes of another line are read as its start; they may end it, and what
            // follows that end is fewer bytes than the marker, so it is held again rather
            // than read a third time.
            if (!m_skipping) scan(held.data(), held.data() + held.size());
            continue;
        }
        // Everything up to the next checksum line goes into the digest in one piece: a call
        // per line cost more than the digest itself (13 ms of the reading of a 20,000-file
        // product info). That line is found as a line end and the marker after it, wholly
        // inside the block.
        const char* stop =
            static_cast<const char*>(memmem(p, end - p, kLineThenChecksum, kMarker + 1));
        if (stop) {
            ++stop;
        } else {
            // A line that starts among the block's last bytes may be the checksum line, its
            // marker ending in the next block: it is read as a line start.
            const char* from = static_cast<size_t>(end - p) > kMarker ? end - kMarker : p;
            const char* nl = static_cast<const char*>(memrchr(from, '\n', end - from));
            stop = nl ? nl + 1 : end;
        }
        m_md5.Update(p, static_cast<size_t>(stop - p));
        p = stop;
        m_lineStart = stop[-1] == '\n';
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
