// BlockWriter writes the received blocks of transfers to their files on a thread of its own,
// so that the thread that receives them (the transfer pool's, with its lock held) only copies
// each block into memory and goes on receiving while the blocks before it are written and
// digested.
//
// Each transfer's bytes go through a Stream (the caller's object, derived from Stream): Offer
// copies a block into the stream's buffer; the writer thread hands what is buffered to
// Stream::Write, outside every lock, in the order offered, and calls Stream::End once the
// bytes offered before Finish are written. Memory stays bounded: a stream buffers at most
// `streamBound` bytes and all of them together at most `totalBound` (each plus one block);
// beyond, Offer refuses the block (the transfer pauses and hands it over again later) and
// `resume` is called once the writer has taken buffered bytes away, or, for a transfer that
// cannot pause, waits until the writer has taken them. At most a few spare
// buffers are kept from one write to the next.
//
// Threads and locks: Offer and Finish may be called on any thread, also with another lock
// held (the pool's); they take only this object's lock, which is never held while Write,
// End or `resume` run. Wait and Forget are for the stream's owner, on its own thread. The
// streams must be forgotten before the writer goes; `resume` must stay callable as long as
// the writer lives.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace UpdateNew {

class BlockWriter {
public:
    enum class Offered {
        kTaken,   // buffered; it will be written
        kFull,    // the bounds are reached: offer it again after `resume`
        kFailed,  // an earlier block could not be written or kept; the stream takes no more
    };

    class Stream {
    public:
        virtual ~Stream() = default;

    protected:
        Stream() = default;
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;
        // Writes `bytes` at the end of what was written before (after dropping all of it when
        // `restart`); gives 0 or the errno of the failure. On the writer thread.
        virtual int Write(const char* data, size_t bytes, bool restart) = 0;
        // Everything offered before Finish is written; `complete` as Finish was told, false
        // once a block failed. On the writer thread.
        virtual void End(bool complete) = 0;

    private:
        friend class BlockWriter;
        // Guarded by the writer's lock.
        std::vector<char> m_buffer;  // offered, not yet taken by the writer thread
        bool m_restart = false;      // drop what was written before the buffered bytes
        bool m_queued = false;       // in the writer's queue
        bool m_busy = false;         // the writer thread works on it
        bool m_finished = false;     // Finish was called and End has not run yet
        bool m_complete = false;
        int m_error = 0;  // the first failure: Write's, or ENOMEM for a block not kept
    };

    static constexpr size_t kStreamBound = 256 * 1024;
    static constexpr size_t kTotalBound = 2 * 1024 * 1024;

    explicit BlockWriter(std::function<void()> resume, size_t streamBound = kStreamBound,
                         size_t totalBound = kTotalBound);
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;
    // Ends the thread; every stream must have been forgotten (or never offered anything).
    ~BlockWriter();

    // Buffers one block of `stream`; with `restart` the stream starts over from its first
    // byte (what is buffered and what was written are dropped). With `wait`, bounds that are
    // reached make it wait for the writer thread instead of refusing the block; `resume`
    // must then not wait for the caller.
    Offered Offer(Stream& stream, const char* data, size_t bytes, bool restart, bool wait = false);
    // No more blocks for now: End follows once the buffered ones are written. A stream may
    // be offered blocks again once its End has run (a new transfer).
    void Finish(Stream& stream, bool complete);
    // Waits until what was offered to `stream` is written (and End has run, when Finish was
    // called); gives the stream's first failure (an errno) or 0. Calls `whileWaiting` (when
    // given) about ten times a second meanwhile; what it throws ends the wait and passes on.
    int Wait(Stream& stream, const std::function<void()>& whileWaiting = {});
    // Drops what `stream` has buffered and returns once the writer thread no longer works
    // on it; its End is not called. The stream may then go or begin afresh.
    void Forget(Stream& stream);

private:
    void Run();

    std::function<void()> m_resume;
    const size_t m_streamBound;
    const size_t m_totalBound;
    std::mutex m_mutex;
    std::condition_variable m_work;  // a stream was queued, or the thread is to end
    std::condition_variable m_idle;  // a stream's work was done
    std::condition_variable m_room;  // the writer thread took buffered bytes away
    std::deque<Stream*> m_queue;     // streams with something to do, in order
    std::vector<std::vector<char>> m_spares;
    size_t m_total = 0;      // bytes buffered in all streams
    bool m_refused = false;  // a block was refused since the last `resume`
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace UpdateNew
