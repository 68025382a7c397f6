// UnpackAhead decompresses fetched ".gz" files on threads of its own (two where the
// machine has two cores: decompressing and digesting a file costs more than receiving it),
// taking them in the order they are handed over, while the download loop is still busy with the
// files before them: each job inflates a received partial into an output file beside it and digests
// the output as it writes (GzFile's InflateOneMember). Nothing of a job's output is used before the
// loop has verified the ".gz" it came from; the output is capped at the file record's FILESIZE, so
// unverified bytes cannot fill the disk. A job that cannot be done that way (damaged data, anything
// GunzipFile would read differently) ends without output, and the loop decompresses the file
// itself, which reports the problem as it always did.
//
// Jobs are shared between the caller, which owns their outcome, and the threads; Add may be
// called on any thread (the transfer pool's, with its lock held): it takes only the lock of
// this object, which is never held while another lock is taken.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/UnpackedFile.h"

namespace UpdateNew {

class UnpackAhead {
public:
    struct Job {
        Job(int inputFd, unsigned long long inputSize, std::string outputPath,
            unsigned long long maxOutput)
            : fd(inputFd), size(inputSize), output(std::move(outputPath)), cap(maxOutput) {}
        ~Job();
        Job(const Job&) = delete;
        Job& operator=(const Job&) = delete;

        int fd;                   // the compressed input, owned (closed with the job)
        unsigned long long size;  // its bytes
        std::string output;       // where the decompressed content goes
        unsigned long long cap;   // the most it may inflate to
        // Guarded by the UnpackAhead's lock.
        bool queued = false;  // handed to Add
        bool done = false;
        bool ok = false;  // output holds the whole content: `written`
        unsigned long long writtenSize = 0;
        std::wstring writtenMd5;
        std::atomic<bool> dropped{false};
    };

    // Starts the threads; fewer, or none, when the system gives no more (see running()).
    UnpackAhead();
    UnpackAhead(const UnpackAhead&) = delete;
    UnpackAhead& operator=(const UnpackAhead&) = delete;
    // Drops what is still queued and ends the threads.
    ~UnpackAhead();
    // Whether any thread runs: a job queued without one would never be done.
    bool running() const { return !m_threads.empty(); }

    // Queues `job`; once the threads have ended (destruction) it is done at once, without
    // output.
    void Add(std::shared_ptr<Job> job);
    // Waits until `job` is done: its output, or an empty file object when it has none (a
    // job never handed to Add has none). Calls `whileWaiting` (when given) about once a
    // second meanwhile; what it throws ends the wait and passes on (the job goes on; the
    // destructor waits for it).
    UnpackedFile Wait(const std::shared_ptr<Job>& job,
                      const std::function<void()>& whileWaiting = {});
    // Gives the job up: a queued job is skipped, a running one stops at its next piece;
    // returns once no thread works on it any more, with its output removed.
    void Drop(const std::shared_ptr<Job>& job);

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_work;  // a job was queued, or the threads are to end
    std::condition_variable m_done;  // a job is done
    std::deque<std::shared_ptr<Job>> m_queue;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

}  // namespace UpdateNew
