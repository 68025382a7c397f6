// The two digests of a product info file, taken from its bytes as they are read for
// parsing, so that the file is read once: the MD5 of the document without its checksum
// line (the line that starts "<MD5 value=", which cannot be part of the digest it states)
// and the SHA-256 of the whole file. Blocks may end anywhere, even inside the marker.
//
// The digests are computed on a thread of their own, started by the first block: the
// thread that parses the file is the check's longest path, while the other cores have
// room. update() copies each block into a short queue (at most kQueuedBlocks wait; it
// waits for room beyond that), so the caller's buffer may be reused at once.
// One object is used by one thread (the one that parses); the digest thread is its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/StreamDigest.h"

namespace UpdateNew {

class InfoChecksum {
public:
    InfoChecksum();
    // Stops the digest thread; the bytes not yet digested are dropped.
    ~InfoChecksum();
    InfoChecksum(const InfoChecksum&) = delete;
    InfoChecksum& operator=(const InfoChecksum&) = delete;

    // The next bytes of the file.
    void update(const char* data, size_t size);
    // Starts again from no bytes (the file is read again from its start).
    void restart();
    // After the last bytes: the MD5 text without the checksum line, and the SHA-256 text
    // of the whole. Ends the digests.
    void finish(std::wstring& md5, std::string& sha256);

private:
    static constexpr size_t kQueuedBlocks = 32;

    // The digests themselves: used by the digest thread while it runs, else by the caller.
    struct Digests {
        Digests();
        void update(const char* data, size_t size);
        // Follows the lines of [p, end): what is not the checksum line goes into the MD5.
        void scan(const char* p, const char* end);

        StreamDigest md5;
        StreamDigest whole;
        bool lineStart = true;  // the next byte starts a line
        bool skipping = false;  // the line being read is the checksum line
        // The start of a line too short yet to tell whether it is the checksum line.
        std::string pending;
    };

    void work();
    // Ends the digest thread: after the queued blocks were digested (`drain`), or at once.
    void stop(bool drain);

    Digests m_digests;
    std::mutex m_mutex;
    std::condition_variable m_queued;  // a block or the stop for the digest thread
    std::condition_variable m_room;    // room in the queue for the parsing thread
    std::deque<std::string> m_blocks;  // under m_mutex
    std::vector<std::string> m_spare;  // digested blocks kept for reuse, under m_mutex
    bool m_stopping = false;           // under m_mutex
    bool m_drain = false;              // under m_mutex: digest what waits before ending
    bool m_inline = false;             // no thread could be started: digests in update()
    std::thread m_thread;
};

}  // namespace UpdateNew
