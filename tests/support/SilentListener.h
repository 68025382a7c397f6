// A TCP socket on 127.0.0.1 that listens, so the kernel accepts connections into its
// backlog, but never answers: a server that stalls, for timeout tests. Closed on
// destruction; a socket that cannot be set up throws std::runtime_error.
#pragma once

class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};
