// An owned file descriptor: closed when the owner goes away, on every way out of a
// function. Not copyable.
#pragma once

#include <unistd.h>

namespace UpdateNew {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int get() const { return m_fd; }
    // Takes `fd` over; the descriptor held before is closed.
    void reset(int fd) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now and gives close's result (0, or -1 with errno).
    int close() {
        const int fd = m_fd;
        m_fd = -1;
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int m_fd;
};

}  // namespace UpdateNew
