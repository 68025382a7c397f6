#include "support/SilentListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

SilentListener::SilentListener() {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_fd, 4) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const std::string reason = std::strerror(errno);
        if (m_fd >= 0) ::close(m_fd);
        throw std::runtime_error("cannot set up a listening socket on 127.0.0.1: " + reason);
    }
    m_port = ntohs(addr.sin_port);
}

SilentListener::~SilentListener() {
    ::close(m_fd);
}
