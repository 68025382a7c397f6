#include "product/InfoChecksum.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace UpdateNew {

namespace {

const char kChecksumLine[] = "<MD5 value=";
constexpr size_t kMarker = sizeof kChecksumLine - 1;
// A line end and the checksum line's marker after it.
const char kLineThenChecksum[] = "\n<MD5 value=";

}  // namespace

InfoChecksum::Digests::Digests()
    : md5(StreamDigest::Kind::kMd5), whole(StreamDigest::Kind::kSha256) {}

void InfoChecksum::Digests::update(const char* data, size_t size) {
    whole.Update(data, size);
    scan(data, data + size);
}

void InfoChecksum::Digests::scan(const char* p, const char* end) {
    while (p < end) {
        if (skipping) {
            // The checksum line is left out up to and with its line end.
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
            if (!nl) return;
            p = nl + 1;
            skipping = false;
            lineStart = true;
            continue;
        }
        if (lineStart) {
            if (pending.empty() && static_cast<size_t>(end - p) >= kMarker) {
                skipping = std::memcmp(p, kChecksumLine, kMarker) == 0;
                lineStart = false;
                continue;
            }
            // Too few bytes to tell: held until the marker's length is there.
            const size_t take = std::min(kMarker - pending.size(), static_cast<size_t>(end - p));
            pending.append(p, take);
            p += take;
            if (pending.size() < kMarker) return;
            std::string held;
            held.swap(pending);
            lineStart = false;
            skipping = held == kChecksumLine;
            // Held bytes of another line are read as its start; they may end it, and what
            // follows that end is fewer bytes than the marker, so it is held again rather
            // than read a third time.
            if (!skipping) scan(held.data(), held.data() + held.size());
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
        md5.Update(p, static_cast<size_t>(stop - p));
        p = stop;
        lineStart = stop[-1] == '\n';
    }
}

InfoChecksum::InfoChecksum() = default;

InfoChecksum::~InfoChecksum() {
    stop(false);
}

void InfoChecksum::update(const char* data, size_t size) {
    if (!m_thread.joinable() && !m_inline) {
        try {
            m_stopping = false;
            m_thread = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            m_inline = true;  // no thread to be had: the caller digests
        }
    }
    if (m_inline) {
        m_digests.update(data, size);
        return;
    }
    std::string block;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_room.wait(lock, [this] { return m_blocks.size() < kQueuedBlocks; });
        if (!m_spare.empty()) {
            block.swap(m_spare.back());
            m_spare.pop_back();
        }
    }
    block.assign(data, size);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_blocks.push_back(std::move(block));
    }
    m_queued.notify_one();
}

void InfoChecksum::work() {
    for (;;) {
        std::string block;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_queued.wait(lock, [this] { return !m_blocks.empty() || m_stopping; });
            if (m_stopping && (!m_drain || m_blocks.empty())) return;
            block.swap(m_blocks.front());
            m_blocks.pop_front();
        }
        m_room.notify_one();
        m_digests.update(block.data(), block.size());
        std::lock_guard<std::mutex> lock(m_mutex);
        m_spare.push_back(std::move(block));
    }
}

void InfoChecksum::stop(bool drain) {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_drain = drain;
    }
    m_queued.notify_one();
    m_thread.join();
    m_blocks.clear();
}

void InfoChecksum::restart() {
    stop(false);
    m_digests = Digests();
}

void InfoChecksum::finish(std::wstring& md5, std::string& sha256) {
    stop(true);
    Digests& d = m_digests;
    // A last line shorter than the marker is no checksum line.
    d.md5.Update(d.pending.data(), d.pending.size());
    d.pending.clear();
    md5 = d.md5.Md5Text();
    sha256 = d.whole.Sha256Text();
}

}  // namespace UpdateNew
