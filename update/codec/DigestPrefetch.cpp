#include "codec/DigestPrefetch.h"

#include <algorithm>
#include <utility>

namespace UpdateNew {

DigestPrefetch::DigestPrefetch(std::vector<std::wstring> paths, unsigned threads, size_t lookahead)
    : m_paths(std::move(paths)),
      m_lookahead(std::max<size_t>(lookahead, 1)),
      m_slots(m_lookahead),
      m_ready(m_lookahead, false) {
    const size_t count =
        std::min<size_t>(std::max(threads, 1u), std::max<size_t>(m_paths.size(), 1));
    for (size_t i = 0; i < count; ++i) m_workers.emplace_back([this] { work(); });
}

DigestPrefetch::~DigestPrefetch() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_slotsFree.notify_all();
    for (std::thread& worker : m_workers) worker.join();
}

unsigned DigestPrefetch::Workers(unsigned limit) {
    return std::max(1u, std::min(std::thread::hardware_concurrency(), limit));
}

void DigestPrefetch::work() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // A slot is free once the result it held was taken.
        const auto canClaim = [this] {
            return m_stop || m_nextToCompute >= m_paths.size() ||
                   m_nextToCompute < m_nextToTake + m_lookahead;
        };
        if (!canClaim()) {
            ++m_workersWaiting;
            m_slotsFree.wait(lock, canClaim);
            --m_workersWaiting;
        }
        if (m_stop || m_nextToCompute >= m_paths.size()) return;
        const size_t index = m_nextToCompute++;
        lock.unlock();
        FileDigest result = GetFileSizeAndMD5(m_paths[index]);
        lock.lock();
        m_slots[index % m_lookahead] = std::move(result);
        m_ready[index % m_lookahead] = true;
        if (m_takerWaiting && index == m_nextToTake) m_resultReady.notify_one();
    }
}

FileDigest DigestPrefetch::take() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_nextToTake >= m_paths.size()) return FileDigest();
    const size_t slot = m_nextToTake % m_lookahead;
    if (!m_ready[slot]) {
        m_takerWaiting = true;
        m_resultReady.wait(lock, [&] { return static_cast<bool>(m_ready[slot]); });
        m_takerWaiting = false;
    }
    FileDigest result = std::move(m_slots[slot]);
    m_ready[slot] = false;
    ++m_nextToTake;
    // Waiting workers are woken once a quarter of the slots is free (or every result is
    // claimed), so that each wake-up is worth several files.
    const size_t claimedAhead = m_nextToCompute - m_nextToTake;
    const bool wake = m_workersWaiting != 0 &&
                      (m_lookahead - claimedAhead >= std::max<size_t>(m_lookahead / 4, 1) ||
                       m_nextToTake == m_paths.size());
    lock.unlock();
    if (wake) m_slotsFree.notify_all();
    return result;
}

}  // namespace UpdateNew
