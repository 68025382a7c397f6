#include "codec/DigestPrefetch.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <iterator>
#include <utility>

#include "base/Conv.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

// The directory of a worker's last file, kept open: the files of a module lie in one
// directory, and a lookup from its descriptor costs one component instead of a walk of
// the whole path per file. The directory is found as the path form would find it, and
// so is the file in it (links followed alike); whatever is odd (no directory part, a name
// such as "..", a directory that cannot be opened) goes the path form's way.
class LastDirectory {
public:
    FileDigest digest(const std::wstring& path) {
        const size_t slash = path.rfind(L'/');
        if (slash == std::wstring::npos) return GetFileSizeAndMD5(path);
        const wchar_t* const leaf = path.c_str() + slash + 1;
        if (*leaf == L'\0' || std::wcscmp(leaf, L".") == 0 || std::wcscmp(leaf, L"..") == 0)
            return GetFileSizeAndMD5(path);
        if (m_path.size() != slash + 1 || path.compare(0, slash + 1, m_path) != 0) {
            m_path.assign(path, 0, slash + 1);
            const std::string dir = ToMultibyte(m_path);
            m_dir.reset(dir.empty() ? -1 : ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        const std::string name = m_dir.get() >= 0 ? ToMultibyte(leaf) : std::string();
        if (name.empty()) return GetFileSizeAndMD5(path);
        return GetFileSizeAndMD5At(m_dir.get(), name.c_str());
    }

private:
    std::wstring m_path;  // with its trailing "/"
    UniqueFd m_dir;
};

}  // namespace

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
    for (unsigned i = 0; i < threads; ++i) m_workers.emplace_back([this] { work(); });
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
    LastDirectory directory;
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
        FileDigest result = m_source ? m_source(path) : directory.digest(path);
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
