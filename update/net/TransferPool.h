// TransferPool runs several transfers of one connection's settings side by side over
// libcurl's multi interface: several kept-alive connections to the server, or streams of
// one HTTP/2 connection where the server offers it. It can continue a transfer at a byte
// offset (an HTTP range request) and caps the rate of all its transfers together.
//
// The transfers run on a thread of the pool's own, so they move on while the caller
// checks and unpacks what arrived before: the sinks are called on that thread, with the
// pool's lock held, and should only take the bytes (a sink that cannot take a block now
// pauses its transfer until Resume). The caller reads what a sink collected inside Locked. WaitFor
// returns early when SIGINT or SIGTERM was received, so a run stops every transfer in flight within
// a fraction of a second.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/InternetConnection.h"

namespace UpdateNew {

// Takes the body of one transfer.
class TransferSink {
public:
    enum class Taken {
        kYes,    // the block is the sink's
        kLater,  // not now: the transfer pauses and offers the same block again after Resume
        kStop,   // the transfer ends (as failed)
    };
    virtual ~TransferSink() = default;
    // One block of the body, on the pool's thread with its lock held. `fromStart` is true on the
    // first block of an answer that begins at byte 0 although a later offset was asked for (a
    // server that ignores ranges): the sink then drops what it held. An answer that begins
    // anywhere else never reaches the sink (TransferOutcome::rangeRefused). With `mustTake`
    // the transfer cannot pause (libcurl reads a file:// source in one go): kLater would end
    // it, so the sink waits until it can take the block instead.
    virtual Taken Receive(const char* data, size_t bytes, bool fromStart, bool mustTake) = 0;
    // The transfer ended (`complete`: libcurl received the whole answer), on the pool's
    // thread with its lock held; the sink may hand what it received on from here.
    virtual void Ended(bool complete) { (void)complete; }
};

// How a transfer ended; codes as InternetConnection::Perform gives them.
struct TransferOutcome {
    unsigned rc = 0;              // 0, CONNECTION_HTTP_ERROR or libcurl's code
    long status = 0;              // the HTTP status, 0 when there was none
    std::string errorText;        // libcurl's reason, empty on success
    std::string refusedRedirect;  // a redirect from https:// to another scheme that was refused
    // A transfer from a later offset that the transport did not continue there: an HTTP answer
    // of another range (or 416), a file shorter than the offset, an FTP server without REST.
    // Nothing of the answer reached the sink; fetching from byte 0 is what remains.
    bool rangeRefused = false;
};

class TransferPool {
public:
    // `connection` gives every transfer its settings (proxy, user agent, time-out, ...);
    // not owned, it must be initialized and outlive the pool. At most `maxConnections`
    // connections to one server are open at a time; `maxRate` bytes a second (0: no cap)
    // is the most all transfers together receive.
    TransferPool(InternetConnection& connection, size_t maxConnections, unsigned long long maxRate);
    TransferPool(const TransferPool&) = delete;
    TransferPool& operator=(const TransferPool&) = delete;
    // Stops every transfer still in flight and the pool's thread.
    ~TransferPool();

    // Starts fetching `url` from byte `offset` on into `sink` (not owned; it must live until
    // the transfer is cancelled or the pool destroyed). From an offset, the answer counts as
    // continued when it is an HTTP "206 Partial Content" whose Content-Range starts there, or
    // comes over a transport without statuses that starts where it is asked to (file://,
    // FTP); an HTTP answer of the whole file is handed over from its start. Gives the transfer's
    // id; a transfer that cannot be set up is at once done with its reason.
    int Start(const std::string& url, unsigned long long offset, TransferSink* sink);
    // While held, transfers started are kept back; releasing starts them all in one round,
    // so that they open their connections side by side. Holds nest: the pool runs again
    // once every Hold(true) was matched by a Hold(false).
    void Hold(bool held);
    // Holds the pool for its lifetime, so that a failure while starting transfers cannot
    // leave it held.
    class Held {
    public:
        explicit Held(TransferPool& pool) : m_pool(pool) { m_pool.Hold(true); }
        ~Held() { m_pool.Hold(false); }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

    private:
        TransferPool& m_pool;
    };
    // Waits until `id` has ended, calling `progress` (without the lock) each time its sink
    // may have received something. False when an interrupt was requested first; the
    // transfers are then still in flight. An exception from `progress` leaves the wait.
    bool WaitFor(int id, const std::function<void()>& progress);
    // Runs `fn` with the pool's lock held: what the sinks collected may be read there.
    void Locked(const std::function<void()>& fn);
    bool Done(int id);
    // How `id` ended (meaningful once Done).
    TransferOutcome Outcome(int id);
    // Ends `id` (in flight or not) and forgets it; once this returns, its sink is no
    // longer called.
    void Cancel(int id);
    // Offers the blocks the sinks answered kLater for once more, soon, on the pool's thread.
    // Any thread may call it, with no lock held that a sink takes; it takes no lock itself
    // (a sink may wait, with the pool's lock held, for the thread that calls it).
    void Resume();

private:
    struct Transfer;

    static size_t WriteCallback(char* data, size_t size, size_t nmemb, void* context);
    // The thread: adds and removes what the caller asked for, moves the transfers on and
    // tells the waiting caller, until the pool is destroyed.
    void Run();
    // Hands out the budget earned since the last call and resumes the transfers the cap
    // paused; resumes those their sinks paused when Resume was called.
    void Refill();
    // The budget part of Refill: what the cap allows since the last call.
    void EarnBudget();
    // Collects the transfers libcurl finished.
    void Reap();

    InternetConnection* m_connection;
    void* m_multi = nullptr;  // CURLM*
    unsigned long long m_maxRate;
    double m_budget = 0;  // bytes that may still be received now (negative: owed)
    std::chrono::steady_clock::time_point m_lastRefill;
    int m_nextId = 1;
    std::map<int, std::unique_ptr<Transfer>> m_transfers;

    std::mutex m_mutex;                 // guards everything above once the thread runs
    std::condition_variable m_changed;  // a transfer moved on, or a request was done
    std::vector<void*> m_toAdd;         // easy handles the thread is to add
    std::vector<void*> m_toRemove;      // easy handles the thread is to remove and free
    // Cancelled transfers whose handles are still in m_toRemove: libcurl writes into their
    // error buffers while it removes the handles, so they are freed only after that.
    std::vector<std::unique_ptr<Transfer>> m_retired;
    unsigned long long m_rounds = 0;    // rounds of the thread so far
    int m_holds = 0;                    // Hold(true) not yet released
    std::atomic<bool> m_resume{false};  // Resume was called (set without the lock)
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace UpdateNew
