// TransferPool runs several transfers of one connection's settings side by side over
// libcurl's multi interface: several kept-alive connections to the server, or streams of
// one HTTP/2 connection where the server offers it. It can continue a transfer at a byte
// offset (an HTTP range request) and caps the rate of all its transfers together.
//
// Everything runs on the caller's thread inside WaitFor: data of every transfer in
// flight arrives there, in whatever order the network delivers it, at the transfers'
// sinks. WaitFor returns early when SIGINT or SIGTERM was received, so a run stops every
// transfer in flight within a fraction of a second.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "net/InternetConnection.h"

namespace UpdateNew {

// Takes the body of one transfer.
class TransferSink {
public:
    virtual ~TransferSink() = default;
    // One block of the body. `fromStart` is true on the first block of an answer that
    // begins at byte 0 although a later offset was asked for (a server that ignores
    // ranges): the sink then drops what it held. False stops the transfer.
    virtual bool Receive(const char* data, size_t bytes, bool fromStart) = 0;
};

// How a transfer ended; codes as InternetConnection::Perform gives them.
struct TransferOutcome {
    unsigned rc = 0;              // 0, CONNECTION_HTTP_ERROR or libcurl's code
    long status = 0;              // the HTTP status, 0 when there was none
    std::string errorText;        // libcurl's reason, empty on success
    std::string refusedRedirect;  // a redirect from https:// to another scheme that was refused
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
    // Stops every transfer still in flight.
    ~TransferPool();

    // Starts fetching `url` from byte `offset` on into `sink` (not owned; it must live until
    // the transfer is cancelled or the pool destroyed). Gives the transfer's id; a transfer
    // that cannot be set up is at once done with its reason.
    int Start(const std::string& url, unsigned long long offset, TransferSink* sink);
    // Moves every transfer on until `id` has ended. False when an interrupt was requested
    // first; the transfers are then still in flight.
    bool WaitFor(int id);
    // Moves the transfers on as far as they can go without waiting: requests of newly
    // started transfers go out, arrived data reaches the sinks.
    void Pump();
    bool Done(int id) const;
    // How `id` ended (meaningful once Done).
    const TransferOutcome& Outcome(int id) const;
    // Ends `id` (in flight or not) and forgets it; its sink is no longer called.
    void Cancel(int id);

private:
    struct Transfer;

    static size_t WriteCallback(char* data, size_t size, size_t nmemb, void* context);
    // Hands out the budget earned since the last call and resumes paused transfers.
    void Refill();
    // Collects the transfers libcurl finished.
    void Reap();

    InternetConnection* m_connection;
    void* m_multi = nullptr;  // CURLM*
    unsigned long long m_maxRate;
    double m_budget = 0;  // bytes that may still be received now (negative: owed)
    std::chrono::steady_clock::time_point m_lastRefill;
    int m_nextId = 1;
    std::map<int, std::unique_ptr<Transfer>> m_transfers;
};

}  // namespace UpdateNew
