#include "download/BlockWriter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

namespace UpdateNew {

namespace {

// Buffers kept for the next blocks once written; more are freed.
constexpr size_t kSpares = 4;
// How often Wait calls its `whileWaiting`.
constexpr auto kWaitStep = std::chrono::milliseconds(100);

}  // namespace

BlockWriter::BlockWriter(std::function<void()> resume, size_t streamBound, size_t totalBound)
    : m_resume(std::move(resume)),
      m_streamBound(std::max<size_t>(1, streamBound)),
      m_totalBound(std::max<size_t>(1, totalBound)),
      m_thread(&BlockWriter::Run, this) {}

BlockWriter::~BlockWriter() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    m_thread.join();
}

BlockWriter::Offered BlockWriter::Offer(Stream& stream, const char* data, size_t bytes,
                                        bool restart, bool wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto full = [&] {
        return stream.m_buffer.size() >= m_streamBound || m_total >= m_totalBound;
    };
    // The writer thread takes what is buffered as fast as the disk takes it.
    while (wait && !restart && full() && stream.m_error == 0 && !m_stop)
        m_room.wait_for(lock, kWaitStep);
    if (stream.m_error != 0) return Offered::kFailed;
    if (restart) {
        m_total -= stream.m_buffer.size();
        stream.m_buffer.clear();
    } else if (full() && !wait) {
        m_refused = true;
        return Offered::kFull;
    }
    try {
        if (stream.m_buffer.capacity() == 0 && !m_spares.empty()) {
            stream.m_buffer.swap(m_spares.back());
            m_spares.pop_back();
        }
        stream.m_buffer.insert(stream.m_buffer.end(), data, data + bytes);
    } catch (const std::bad_alloc&) {
        stream.m_error = ENOMEM;
        return Offered::kFailed;
    }
    if (restart) stream.m_restart = true;
    m_total += bytes;
    if (!stream.m_queued) {
        stream.m_queued = true;
        m_queue.push_back(&stream);
        m_work.notify_one();
    }
    return Offered::kTaken;
}

void BlockWriter::Finish(Stream& stream, bool complete) {
    std::lock_guard<std::mutex> lock(m_mutex);
    stream.m_finished = true;
    stream.m_complete = complete;
    if (!stream.m_queued) {
        stream.m_queued = true;
        m_queue.push_back(&stream);
        m_work.notify_one();
    }
}

int BlockWriter::Wait(Stream& stream, const std::function<void()>& whileWaiting) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Bounded by the writes of what was buffered: at most the bounds.
    while (!m_idle.wait_for(lock, kWaitStep, [&] {
        return !stream.m_queued && !stream.m_busy && !stream.m_finished;
    })) {
        if (!whileWaiting) continue;
        lock.unlock();
        whileWaiting();
        lock.lock();
    }
    return stream.m_error;
}

void BlockWriter::Forget(Stream& stream) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Once it is not busy, the thread cannot take it up again while the lock is held.
    m_idle.wait(lock, [&] { return !stream.m_busy; });
    if (stream.m_queued) m_queue.erase(std::find(m_queue.begin(), m_queue.end(), &stream));
    m_total -= stream.m_buffer.size();
    std::vector<char>().swap(stream.m_buffer);
    stream.m_queued = stream.m_restart = stream.m_finished = stream.m_complete = false;
    stream.m_error = 0;
}

void BlockWriter::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [&] { return m_stop || !m_queue.empty(); });
        if (m_stop) return;
        Stream& stream = *m_queue.front();
        m_queue.pop_front();
        stream.m_queued = false;
        stream.m_busy = true;
        std::vector<char> data;
        data.swap(stream.m_buffer);
        m_total -= data.size();
        const bool restart = stream.m_restart;
        stream.m_restart = false;
        const bool failed = stream.m_error != 0;
        // Everything offered before Finish is in `data`: no block follows Finish.
        const bool end = stream.m_finished;
        const bool wake = m_refused;
        m_refused = false;
        lock.unlock();
        m_room.notify_all();
        // The refused transfers go on receiving while these bytes are written.
        if (wake) {
            try {
                m_resume();
            } catch (...) {
                // A transfer left paused ends with its time-out; nothing leaves this thread.
            }
        }
        int err = 0;
        if (!failed && (!data.empty() || restart))
            err = stream.Write(data.data(), data.size(), restart);
        lock.lock();
        if (err != 0 && stream.m_error == 0) stream.m_error = err;
        if (end) {
            const bool complete = stream.m_complete && stream.m_error == 0;
            lock.unlock();
            stream.End(complete);
            lock.lock();
            stream.m_finished = false;
        }
        stream.m_busy = false;
        data.clear();
        if (data.capacity() > 0 && m_spares.size() < kSpares) m_spares.push_back(std::move(data));
        m_idle.notify_all();
    }
}

}  // namespace UpdateNew
