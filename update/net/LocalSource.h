// The source of a file:// transfer, opened by the updater before libcurl reads it.
// libcurl opens a local source with a blocking open(): a FIFO at the name (on a share
// other users may write) would hold the transfer, and the run, for ever; a device would be
// read as if it were the file. The updater opens the name itself without blocking, takes
// only a regular file, and hands libcurl that open file (through /proc/self/fd), so the
// name cannot be swapped between the check and the read.
#pragma once

#include <string>

#include "base/UniqueFd.h"

namespace UpdateNew {

// Owned by the transfer it serves and kept until that transfer has ended; not shared
// between threads while libcurl reads from it.
class LocalSource {
public:
    LocalSource() = default;
    LocalSource(const LocalSource&) = delete;
    LocalSource& operator=(const LocalSource&) = delete;

    // For a file:// `url` naming a local path: opens it. Any other address, or a name that
    // cannot be opened (libcurl then reports it as usual), is left as it is.
    void Open(const std::string& url);

    // The address to hand libcurl: the open file's, or `url` unchanged.
    const std::string& Url() const { return m_url; }
    // Why the source is refused ("<path>: not a regular file"), or "" when it is not.
    const std::string& Refusal() const { return m_refusal; }

private:
    UniqueFd m_fd;
    std::string m_url;
    std::string m_refusal;
};

}  // namespace UpdateNew
