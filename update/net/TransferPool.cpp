#include "net/TransferPool.h"

#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "base/Interrupts.h"
#include "net/InternetConnectionCurl.h"
#include "net/LocalSource.h"

namespace UpdateNew {

namespace {

// The longest WaitFor sleeps before it looks at the interrupt flags again.
constexpr int kPollMilliseconds = 100;
// What the rate cap lets through at once after a pause, at least: one libcurl block.
constexpr double kMinBurst = CURL_MAX_WRITE_SIZE;

CURLM* Multi(void* p) {
    return static_cast<CURLM*>(p);
}

// The pool's handles run with CURLOPT_NOSIGNAL: libcurl then leaves the process's SIGPIPE
// disposition alone instead of changing it around every call (four system calls per
// transfer). A write to a closed connection must still not end the process: the threads
// that drive the handles block SIGPIPE while they do, and a SIGPIPE raised meanwhile is
// taken off the thread before the old mask returns.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~SigpipeBlock() {
        const timespec none = {0, 0};
        while (sigtimedwait(&m_pipe, nullptr, &none) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_old;
};

// The receive buffer of each transfer without a rate cap: larger blocks mean fewer reads,
// writes and callbacks per file. A capped transfer keeps libcurl's default, so that what
// the cap lets through at once stays small.
constexpr long kReceiveBuffer = 64 * 1024;

// Where the answer to a request from a later offset begins.
enum class Answer { kContinued, kWhole, kElsewhere };

// Whether a Content-Range value ("bytes <first>-<last>/<size>") starts at `offset`.
bool RangeStartsAt(const char* value, unsigned long long offset) {
    static const char kUnit[] = "bytes";
    if (!value || ::strncasecmp(value, kUnit, sizeof kUnit - 1) != 0) return false;
    const char* p = value + sizeof kUnit - 1;
    while (*p == ' ' || *p == '\t') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long first = std::strtoull(p, &end, 10);
    return errno == 0 && *end == '-' && first == offset;
}

// Judges the first block of a transfer asked to start at `offset` (above 0) by the
// transport that carried it: a file:// or FTP transfer has no status, and libcurl either
// starts it at the offset or fails it; an HTTP answer continues the file only as a
// "206 Partial Content" of the range asked for.
Answer AnswerOf(CURL* easy, unsigned long long offset) {
    const char* scheme = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_SCHEME, &scheme) != CURLE_OK || !scheme)
        return Answer::kElsewhere;
    if (::strcasecmp(scheme, "file") == 0 || ::strcasecmp(scheme, "ftp") == 0 ||
        ::strcasecmp(scheme, "ftps") == 0)
        return Answer::kContinued;
    if (::strcasecmp(scheme, "http") != 0 && ::strcasecmp(scheme, "https") != 0)
        return Answer::kElsewhere;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 206) return Answer::kWhole;
    curl_header* range = nullptr;
    if (curl_easy_header(easy, "Content-Range", 0, CURLH_HEADER, -1, &range) != CURLHE_OK)
        return Answer::kElsewhere;
    return RangeStartsAt(range->value, offset) ? Answer::kContinued : Answer::kElsewhere;
}

// Whether a transfer from a later offset failed because its source cannot be continued
// there (a file shorter than the offset, an FTP server without REST, HTTP 416).
bool RefusesOffset(CURLcode result, long status) {
    return result == CURLE_RANGE_ERROR || result == CURLE_BAD_DOWNLOAD_RESUME ||
           result == CURLE_FTP_COULDNT_USE_REST ||
           (result == CURLE_HTTP_RETURNED_ERROR && status == 416);
}

}  // namespace

struct TransferPool::Transfer {
    TransferPool* pool = nullptr;
    CURL* easy = nullptr;
    TransferSink* sink = nullptr;
    std::string url;
    unsigned long long offset = 0;
    bool firstBlock = true;
    bool paused = false;   // by the rate cap
    bool canPause = true;  // libcurl reads a file:// source in one go: it cannot pause
    bool held = false;     // by its sink
    bool done = false;
    TransferOutcome outcome;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    LocalSource source;  // a file:// source, open until the transfer goes

    // Only on the pool's thread, or once it has ended.
    void Release() {
        if (!easy) return;
        curl_multi_remove_handle(Multi(pool->m_multi), easy);
        curl_easy_cleanup(easy);
        easy = nullptr;
    }
};

TransferPool::TransferPool(InternetConnection& connection, size_t maxConnections,
                           unsigned long long maxRate)
    : m_connection(&connection),
      m_multi(curl_multi_init()),
      m_maxRate(maxRate),
      m_lastRefill(std::chrono::steady_clock::now()) {
    if (!m_multi) return;
    const long connections = static_cast<long>(std::max<size_t>(1, maxConnections));
    curl_multi_setopt(Multi(m_multi), CURLMOPT_MAX_HOST_CONNECTIONS, connections);
    // libcurl sizes its cache of idle connections after the handles in the multi handle
    // (four per handle) unless told: a finished transfer leaves it at once, so while the
    // download loop is behind, few handles remain and the cache closes connections that
    // the next files then open again. It keeps every connection the transfers may use.
    curl_multi_setopt(Multi(m_multi), CURLMOPT_MAXCONNECTS, connections);
    curl_multi_setopt(Multi(m_multi), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    m_thread = std::thread(&TransferPool::Run, this);
}

TransferPool::~TransferPool() {
    const SigpipeBlock sigpipe;  // closing connections may write to them
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        curl_multi_wakeup(Multi(m_multi));
        m_thread.join();
    }
    for (void* easy : m_toRemove) {
        curl_multi_remove_handle(Multi(m_multi), static_cast<CURL*>(easy));
        curl_easy_cleanup(static_cast<CURL*>(easy));
    }
    m_toRemove.clear();
    m_retired.clear();
    // Handles still queued to be added were never in the multi handle; removing them is
    // a no-op for libcurl.
    for (auto& entry : m_transfers) entry.second->Release();
    m_transfers.clear();
    if (m_multi) curl_multi_cleanup(Multi(m_multi));
}

void TransferPool::Run() {
    const SigpipeBlock sigpipe;
    std::unique_lock<std::mutex> lock(m_mutex);
    // Ends with the pool: the destructor sets m_stop and wakes the poll.
    while (!m_stop) {
        for (void* easy : m_toRemove) {
            curl_multi_remove_handle(Multi(m_multi), static_cast<CURL*>(easy));
            curl_easy_cleanup(static_cast<CURL*>(easy));
        }
        m_toRemove.clear();
        m_retired.clear();
        if (m_holds == 0) {
            for (void* easy : m_toAdd)
                curl_multi_add_handle(Multi(m_multi), static_cast<CURL*>(easy));
            m_toAdd.clear();
        }
        Refill();
        int running = 0;
        curl_multi_perform(Multi(m_multi), &running);
        Reap();
        ++m_rounds;
        m_changed.notify_all();
        int timeout = kPollMilliseconds;
        if (m_maxRate > 0 && m_budget <= 0) {
            // Sleep until the cap lets the next bytes through.
            const double wait = std::ceil(-m_budget * 1000.0 / static_cast<double>(m_maxRate));
            timeout = std::max(1, std::min(kPollMilliseconds, static_cast<int>(wait)));
        }
        lock.unlock();
        curl_multi_poll(Multi(m_multi), nullptr, 0, timeout, nullptr);
        lock.lock();
    }
}

int TransferPool::Start(const std::string& url, unsigned long long offset, TransferSink* sink) {
    auto transfer = std::make_unique<Transfer>();
    Transfer& t = *transfer;
    t.pool = this;
    t.sink = sink;
    t.url = url;
    t.offset = offset;
    t.canPause = url.compare(0, 5, "file:") != 0;
    // Set up here; only the thread touches the handle once it is queued.
    t.source.Open(url);
    const bool refused = !t.source.Refusal().empty();
    CURL* easy = m_multi && !refused ? curl_easy_init() : nullptr;
    unsigned rc =
        static_cast<unsigned>(refused ? CURLE_FILE_COULDNT_READ_FILE : CURLE_OUT_OF_MEMORY);
    if (easy) rc = m_connection->ConfigureTransfer(easy, t.source.Url());
    if (rc == 0) {
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t.errorBuffer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &WriteCallback);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &t);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        if (m_maxRate == 0) curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
        // Over TLS, wait for a connection that can carry one more HTTP/2 stream rather than
        // open another; plain HTTP/1.1 opens its connections at once.
        if (url.compare(0, 8, "https://") == 0) curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        // A plain range rather than libcurl's resume, which fails on a server that answers
        // with the whole file: that answer is taken (the sink starts over).
        if (offset > 0) {
            const std::string range = std::to_string(offset) + "-";
            curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());
        }
    } else {
        if (easy) curl_easy_cleanup(easy);
        easy = nullptr;
        t.done = true;
        t.outcome.rc = rc;
        t.outcome.errorText =
            refused ? t.source.Refusal() : curl_easy_strerror(static_cast<CURLcode>(rc));
    }
    t.easy = easy;
    std::lock_guard<std::mutex> lock(m_mutex);
    const int id = m_nextId++;
    m_transfers[id] = std::move(transfer);
    if (easy) {
        m_toAdd.push_back(easy);
        // A held pool is woken when the hold ends.
        if (m_holds == 0) curl_multi_wakeup(Multi(m_multi));
    }
    return id;
}

size_t TransferPool::WriteCallback(char* data, size_t size, size_t nmemb, void* context) {
    auto* t = static_cast<Transfer*>(context);
    const size_t bytes = size * nmemb;
    TransferPool& pool = *t->pool;
    if (pool.m_maxRate > 0 && pool.m_budget <= 0) {
        if (t->canPause) {
            // libcurl keeps the block and hands it over again once the transfer is resumed.
            t->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        // The cap is kept by waiting here instead: what is owed is at most a block or two.
        while (pool.m_budget <= 0) {
            const double wait = -pool.m_budget / static_cast<double>(pool.m_maxRate);
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(wait, 0.1)));
            pool.EarnBudget();
        }
    }
    bool fromStart = false;
    if (t->firstBlock && t->offset > 0) {
        const Answer answer = AnswerOf(t->easy, t->offset);
        if (answer == Answer::kElsewhere) {
            // Bytes of an unknown place: none of them may reach the partial.
            t->outcome.rangeRefused = true;
            return bytes == 0 ? 1 : 0;
        }
        fromStart = answer == Answer::kWhole;
    }
    switch (t->sink->Receive(data, bytes, fromStart, !t->canPause)) {
        case TransferSink::Taken::kYes:
            break;
        case TransferSink::Taken::kLater:
            t->held = true;
            return CURL_WRITEFUNC_PAUSE;
        case TransferSink::Taken::kStop:
            return bytes == 0 ? 1 : 0;
    }
    t->firstBlock = false;
    pool.m_budget -= static_cast<double>(bytes);
    return bytes;
}

void TransferPool::Refill() {
    if (m_resume.exchange(false)) {
        for (auto& entry : m_transfers) {
            Transfer& t = *entry.second;
            if (!t.held || !t.easy) continue;
            t.held = false;
            // May deliver the kept block at once and pause again.
            curl_easy_pause(t.easy, CURLPAUSE_CONT);
        }
    }
    if (m_maxRate == 0) return;
    EarnBudget();
    if (m_budget <= 0) return;
    for (auto& entry : m_transfers) {
        Transfer& t = *entry.second;
        if (!t.paused || !t.easy) continue;
        t.paused = false;
        // May deliver the kept block at once and pause again.
        curl_easy_pause(t.easy, CURLPAUSE_CONT);
    }
}

void TransferPool::EarnBudget() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - m_lastRefill).count();
    m_lastRefill = now;
    const double rate = static_cast<double>(m_maxRate);
    // A short burst at most: an idle moment does not buy a long run at full speed.
    const double burst = std::max(kMinBurst, rate / 20);
    m_budget = std::min(burst, m_budget + rate * seconds);
}

void TransferPool::Reap() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(Multi(m_multi), &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        char* context = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &context);
        auto* t = reinterpret_cast<Transfer*>(context);
        if (!t) continue;
        const CURLcode result = msg->data.result;
        t->done = true;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &t->outcome.status);
        if (t->offset > 0 && RefusesOffset(result, t->outcome.status))
            t->outcome.rangeRefused = true;
        if (result != CURLE_OK) {
            t->outcome.rc = result == CURLE_HTTP_RETURNED_ERROR
                                ? static_cast<unsigned>(CONNECTION_HTTP_ERROR)
                                : static_cast<unsigned>(result);
            t->outcome.errorText = t->errorBuffer[0] ? t->errorBuffer : curl_easy_strerror(result);
            if (result == CURLE_UNSUPPORTED_PROTOCOL) {
                t->outcome.refusedRedirect =
                    InternetConnectionCurl::RefusedRedirectOf(t->easy, t->url);
                if (!t->outcome.refusedRedirect.empty())
                    t->outcome.errorText = RefusedRedirectText(t->url, t->outcome.refusedRedirect);
            }
        }
        // The connection goes back to the cache for the next transfer.
        t->Release();
        if (t->sink) t->sink->Ended(result == CURLE_OK);
    }
}

void TransferPool::Resume() {
    m_resume.store(true);
    if (m_multi) curl_multi_wakeup(Multi(m_multi));
}

void TransferPool::Hold(bool held) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holds += held ? 1 : -1;
    if (m_holds < 0) m_holds = 0;
    if (m_holds == 0 && m_multi && !m_toAdd.empty()) curl_multi_wakeup(Multi(m_multi));
}

bool TransferPool::WaitFor(int id, const std::function<void()>& progress) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Bounded by the transfer itself: it ends, fails its time-out or is interrupted.
    for (;;) {
        auto it = m_transfers.find(id);
        const bool done = it == m_transfers.end() || it->second->done;
        // A round that ends while the lock is not held is not waited for again.
        const unsigned long long seen = m_rounds;
        lock.unlock();
        progress();
        // Checked first: an interrupt also ends the transfers themselves.
        if (InterruptRequested()) return false;
        if (done) return true;
        lock.lock();
        m_changed.wait_for(lock, std::chrono::milliseconds(kPollMilliseconds),
                           [&] { return m_rounds != seen; });
    }
}

void TransferPool::Locked(const std::function<void()>& fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    fn();
}

bool TransferPool::Done(int id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_transfers.find(id);
    return it == m_transfers.end() || it->second->done;
}

TransferOutcome TransferPool::Outcome(int id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_transfers.find(id);
    return it == m_transfers.end() ? TransferOutcome() : it->second->outcome;
}

void TransferPool::Cancel(int id) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_transfers.find(id);
    if (it == m_transfers.end()) return;
    void* easy = it->second->easy;
    it->second->easy = nullptr;
    std::unique_ptr<Transfer> transfer = std::move(it->second);
    m_transfers.erase(it);
    if (!easy) return;
    auto queued = std::find(m_toAdd.begin(), m_toAdd.end(), easy);
    if (queued != m_toAdd.end()) {
        // Never handed to libcurl's multi handle.
        m_toAdd.erase(queued);
        curl_easy_cleanup(static_cast<CURL*>(easy));
        return;
    }
    // Kept until the handle is out of the multi handle (its error buffer is written then).
    m_retired.push_back(std::move(transfer));
    m_toRemove.push_back(easy);
    curl_multi_wakeup(Multi(m_multi));
    // The thread frees it at the top of its next round; bounded by one poll.
    m_changed.wait(lock, [&] { return m_toRemove.empty() || m_stop; });
}

}  // namespace UpdateNew
