#include "download/UnpackAhead.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"
#include "codec/GzFile.h"

namespace UpdateNew {

UnpackAhead::Job::~Job() {
    if (fd >= 0) ::close(fd);
}

UnpackAhead::UnpackAhead() {
    const unsigned cores = std::thread::hardware_concurrency();
    const unsigned threads = cores >= 2 ? 2 : 1;
    for (unsigned i = 0; i < threads; ++i) {
        try {
            m_threads.emplace_back(&UnpackAhead::Run, this);
        } catch (const std::system_error&) {
            return;  // no more threads to be had (a task limit): see running()
        }
    }
}

UnpackAhead::~UnpackAhead() {
    std::deque<std::shared_ptr<Job>> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        left.swap(m_queue);
    }
    m_work.notify_all();
    for (std::thread& thread : m_threads) thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& job : left) {
        job->done = true;
        (void)RemoveFile(job->output);
    }
}

void UnpackAhead::Add(std::shared_ptr<Job> job) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        job->queued = true;
        if (m_stop) {
            job->done = true;
            return;
        }
        m_queue.push_back(std::move(job));
    }
    m_work.notify_one();
}

UnpackedFile UnpackAhead::Wait(const std::shared_ptr<Job>& job,
                               const std::function<void()>& whileWaiting) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Bounded by the job: it reads a file of known size and writes at most its cap.
    while (!m_done.wait_for(lock, std::chrono::seconds(1),
                            [&] { return job->done || !job->queued; })) {
        if (!whileWaiting) continue;
        lock.unlock();
        whileWaiting();
        lock.lock();
    }
    if (!job->ok) return UnpackedFile();
    return UnpackedFile(job->output, job->writtenSize, job->writtenMd5);
}

void UnpackAhead::Drop(const std::shared_ptr<Job>& job) {
    job->dropped = true;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!job->queued) return;  // no thread ever saw it, nor made its output
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        if (*it == job) {
            m_queue.erase(it);
            job->done = true;
            break;
        }
    }
    m_done.wait(lock, [&] { return job->done; });
    (void)RemoveFile(job->output);
}

void UnpackAhead::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stop || !m_queue.empty(); });
        if (m_stop) return;
        std::shared_ptr<Job> job = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        GunzipOutput written;
        bool ok = false;
        // The directory the download loop makes when it reaches the file.
        const size_t slash = job->output.rfind('/');
        if (slash != std::string::npos && slash > 0)
            (void)CreateDirectories(FromMultibyte(job->output.substr(0, slash)), 0755);
        // Mode as GunzipFile's output gets it (0666 less the umask).
        UniqueFd out;
        if (CreateFile(job->output, 0666, out) == 0) {
            ok = InflateOneMember(job->fd, job->size, out.get(), job->cap, written, &job->dropped);
            // The file is installed as it is: its way to the disk starts now, beside the
            // transfers, rather than all at once in the flush that ends the run.
            if (ok) (void)::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
            if (out.close() != 0) ok = false;
            if (!ok) (void)RemoveFile(job->output);
        }
        ::close(job->fd);
        job->fd = -1;
        lock.lock();
        job->done = true;
        job->ok = ok;
        job->writtenSize = written.size;
        job->writtenMd5 = std::move(written.md5);
        m_done.notify_all();
    }
}

}  // namespace UpdateNew
