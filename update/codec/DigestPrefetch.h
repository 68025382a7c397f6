// Digests of many files computed ahead on worker threads, handed out in list order. The
// file check hashes the installed files of a product this way: the workers keep the
// machine's cores busy reading and hashing, while the one thread that owns the run takes
// the results in order and does everything else (callbacks, log lines) as before.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/FileDigest.h"

namespace UpdateNew {

class DigestPrefetch {
public:
    // What a worker computes for a path: GetFileSizeAndMD5 when empty. `dir` is the
    // path's directory as LastDirectory opened it, with `leaf` the name in it, or -1 when
    // the path is to be taken whole. Called on the worker threads, several at a time;
    // what it refers to must outlive the workers.
    using Source = std::function<FileDigest(const std::wstring& path, int dir, const char* leaf)>;
    // Starts `threads` workers (at least one; fewer when the system gives no more threads,
    // see running()) that compute `source` of `paths` in list order, never more than
    // `lookahead` results ahead of the next take().
    DigestPrefetch(std::vector<std::wstring> paths, unsigned threads, size_t lookahead = 256,
                   Source source = Source());
    // The same with a list that grows while the workers run: add() appends a path,
    // close() says that none follows and brings the workers to `threadsAfterClose` (the
    // thread that adds is busy with other work until then). Called by the taking thread.
    DigestPrefetch(unsigned threads, unsigned threadsAfterClose, size_t lookahead,
                   Source source = Source());
    void add(std::wstring path);
    void close();
    // Stops the workers (results not taken are dropped) and waits for them.
    ~DigestPrefetch();
    DigestPrefetch(const DigestPrefetch&) = delete;
    DigestPrefetch& operator=(const DigestPrefetch&) = delete;

    // The paths so far (called by the taking thread).
    size_t size() const { return m_paths.size(); }
    // The result for the next path in list order (the first take gives paths[0], and so
    // on); waits until it is computed, calling `whileWaiting` (when given) about once a
    // second meanwhile: what it throws ends the wait and passes on. Taking more than size()
    // results is a logic error and gives an empty result.
    FileDigest take(const std::function<void()>& whileWaiting = {});
    // Whether the next take() gives the result for `path` (called by the taking thread,
    // the only one that adds paths).
    bool nextIs(const std::wstring& path) const {
        return m_nextToTake < m_paths.size() && m_paths[m_nextToTake] == path;
    }

    // Whether any worker runs: false when no thread could be started (a task limit), and
    // the caller must then hash the files itself (take() would wait for ever).
    bool running() const { return !m_workers.empty(); }

    // The number of workers for this machine: one per core, at most `limit`.
    static unsigned Workers(unsigned limit = 4);

private:
    void work();

    void start(unsigned threads);

    // Appended to under the lock; read by the workers under the lock and by the taking
    // thread without it (it is the only writer). A deque keeps its elements in place.
    std::deque<std::wstring> m_paths;
    bool m_closed = false;  // no path follows
    unsigned m_threadsAfterClose = 0;
    size_t m_addedUnannounced = 0;  // paths added since the waiting workers were last woken
    const size_t m_lookahead;
    const Source m_source;
    std::mutex m_mutex;
    // Wake-ups only where someone waits: the taking thread for the result it needs next,
    // the workers once a batch of slots is free again (a wake-up per file costs a system
    // call on each side).
    std::condition_variable m_resultReady;
    std::condition_variable m_slotsFree;
    bool m_takerWaiting = false;
    size_t m_workersWaiting = 0;
    // Ring of m_lookahead slots (fewer while the list is shorter): the result for path i
    // lives in slot i % m_lookahead.
    std::vector<FileDigest> m_slots;
    std::vector<bool> m_ready;
    size_t m_nextToCompute = 0;  // the next index a worker claims
    size_t m_nextToTake = 0;     // the next index take() hands out
    bool m_stop = false;
    std::vector<std::thread> m_workers;
};

}  // namespace UpdateNew
