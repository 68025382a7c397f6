#include "codec/DigestPrefetch.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <system_error>
#include <utility>

#include "base/Conv.h"
#include "base/LastDirectory.h"

namespace UpdateNew {

DigestPrefetch::DigestPrefetch(std::vector<std::wstring> paths, unsigned threads, size_t lookahead,
                               Source source)
    : m_paths(std::make_move_iterator(paths.begin()), std::make_move_iterator(paths.end())),
      m_closed(true),
      m_lookahead(std::max<size_t>(lookahead, 1)),
      m_source(std::move(source)),
      m_slots(std::min(m_lookahead, m_paths.size())),
      m_ready(m_slots.size(), false) {
    start(static_cast<unsigned>(
        std::min<size_t>(std::max(threads, 1u), std::max<size_t>(m_paths.size(), 1))));
}

DigestPrefetch::DigestPrefetch(unsigned threads, unsigned threadsAfterClose, size_t lookahead,
                               Source source)
    : m_threadsAfterClose(threadsAfterClose),
      m_lookahead(std::max<size_t>(lookahead, 1)),
      m_source(std::move(source)) {
    start(std::max(threads, 1u));
}

void DigestPrefetch::start(unsigned threads) {
    for (unsigned i = 0; i < threads; ++i) {
        try {
            m_workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            return;  // no more threads to be had (a task limit): fewer workers, or none
        }
    }
}

void DigestPrefetch::add(std::wstring path) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paths.push_back(std::move(path));
        // The ring grows with the list up to its size: a small list costs few slots.
        if (m_slots.size() < m_lookahead) {
            m_slots.emplace_back();
            m_ready.push_back(false);
        }
        // Waiting workers are woken for a batch of paths, not for each one.
        wake = m_workersWaiting != 0 && ++m_addedUnannounced >= 16;
        if (wake) m_addedUnannounced = 0;
    }
    if (wake) m_slotsFree.notify_all();
}

void DigestPrefetch::close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return;
        m_closed = true;
        m_addedUnannounced = 0;
    }
    m_slotsFree.notify_all();
    if (m_threadsAfterClose > m_workers.size())
        start(static_cast<unsigned>(m_threadsAfterClose - m_workers.size()));
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
    // The files of a module lie in one directory: each is looked up by its name in it.
    LastDirectory directory;
    std::string leaf;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // A slot is free once the result it held was taken.
        const auto canClaim = [this] {
            return m_stop || (m_closed && m_nextToCompute >= m_paths.size()) ||
                   (m_nextToCompute < m_paths.size() &&
                    m_nextToCompute < m_nextToTake + m_lookahead);
        };
        if (!canClaim()) {
            ++m_workersWaiting;
            m_slotsFree.wait(lock, canClaim);
            --m_workersWaiting;
        }
        if (m_stop || m_nextToCompute >= m_paths.size()) return;
        const size_t index = m_nextToCompute++;
        // Appending to the deque leaves its elements in place: no copy of the path.
        const std::wstring& path = m_paths[index];
        lock.unlock();
        FileDigest result;
        const std::string name = ToMultibyte(path);
        const int dir = name.empty() ? -1 : directory.at(name, leaf);
        if (m_source)
            result = m_source(path, dir, leaf.c_str());
        else
            result = dir < 0 ? GetFileSizeAndMD5(path) : GetFileSizeAndMD5At(dir, leaf.c_str());
        lock.lock();
        m_slots[index % m_lookahead] = std::move(result);
        m_ready[index % m_lookahead] = true;
        if (m_takerWaiting && index == m_nextToTake) m_resultReady.notify_one();
    }
}

FileDigest DigestPrefetch::take(const std::function<void()>& whileWaiting) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_nextToTake >= m_paths.size()) return FileDigest();
    const size_t slot = m_nextToTake % m_lookahead;
    if (!m_ready[slot]) {
        // Paths added since the last wake-up may be what the workers wait for.
        if (m_workersWaiting != 0) m_slotsFree.notify_all();
        const auto ready = [&] { return static_cast<bool>(m_ready[slot]); };
        for (;;) {
            m_takerWaiting = true;
            const bool done = m_resultReady.wait_for(lock, std::chrono::seconds(1), ready);
            m_takerWaiting = false;
            if (done) break;
            if (whileWaiting) {
                lock.unlock();
                whileWaiting();
                lock.lock();
            }
        }
    }
    FileDigest result = std::move(m_slots[slot]);
    m_ready[slot] = false;
    ++m_nextToTake;
    // Waiting workers are woken once a quarter of the slots is free (or every result is
    // claimed), so that each wake-up is worth several files.
    const size_t claimedAhead = m_nextToCompute - m_nextToTake;
    const bool wake =
        m_workersWaiting != 0 &&
        (m_lookahead - claimedAhead >= std::min<size_t>(std::max<size_t>(m_lookahead / 4, 1), 64) ||
         m_nextToTake == m_paths.size());
    lock.unlock();
    if (wake) m_slotsFree.notify_all();
    return result;
}

}  // namespace UpdateNew
