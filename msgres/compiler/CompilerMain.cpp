// update-msgc: compiles the message catalogue into the message file and the header
// that checks message numbers and parameter counts at compile time.
//   update-msgc CATALOGUE.txt OUT.lqr OUT.h
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Catalogue.h"
#include "Output.h"

namespace {

bool ReadFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    content = ss.str();
    return !in.bad();
}

// Replaces `path` by `data` through a synced temporary file beside it, so that a
// reader never sees half a file.
bool ReplaceFile(const std::string& path, const void* data, std::size_t size) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::cerr << "update-msgc: cannot create " << tmp << ": " << std::strerror(errno) << "\n";
        return false;
    }
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::cerr << "update-msgc: cannot write " << tmp << ": " << std::strerror(errno)
                      << "\n";
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        std::cerr << "update-msgc: cannot write " << tmp << ": " << std::strerror(errno) << "\n";
        ::unlink(tmp.c_str());
        return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::cerr << "update-msgc: cannot rename " << tmp << " to " << path << ": "
                  << std::strerror(errno) << "\n";
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: update-msgc CATALOGUE.txt OUT.lqr OUT.h\n";
        return 2;
    }
    const std::string source = argv[1], lqrPath = argv[2], headerPath = argv[3];
    std::string content;
    if (!ReadFile(source, content)) {
        std::cerr << "update-msgc: cannot read " << source << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::vector<msgc::Message> messages;
    std::vector<std::string> errors;
    if (!msgc::ParseCatalogue(content, source, messages, errors)) {
        for (const std::string& e : errors) std::cerr << e << "\n";
        return 1;
    }
    std::string error;
    const std::vector<unsigned char> file = msgc::BuildMessageFile(messages, error);
    if (file.empty()) {
        std::cerr << "update-msgc: " << source << ": " << error << "\n";
        return 1;
    }
    if (!ReplaceFile(lqrPath, file.data(), file.size())) return 1;
    // The header is rewritten only when it changes, so that editing texts does not
    // rebuild everything that includes it.
    const std::string header = msgc::BuildCatalogueHeader(messages);
    std::string old;
    if (!ReadFile(headerPath, old) || old != header) {
        if (!ReplaceFile(headerPath, header.data(), header.size())) return 1;
    }
    return 0;
}
