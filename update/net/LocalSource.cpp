#include "net/LocalSource.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

namespace UpdateNew {

namespace {

// The decoded local path of a file:// address ("" for another address, a remote host or
// one libcurl cannot parse).
std::string LocalPath(const std::string& url) {
    if (url.size() < 7 || ::strncasecmp(url.c_str(), "file://", 7) != 0) return std::string();
    std::string path;
    CURLU* parsed = curl_url();
    if (!parsed) return path;
    char* host = nullptr;
    char* decoded = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        const CURLUcode hasHost = curl_url_get(parsed, CURLUPART_HOST, &host, 0);
        const bool local =
            hasHost != CURLUE_OK || !host || !*host || ::strcasecmp(host, "localhost") == 0;
        if (local && curl_url_get(parsed, CURLUPART_PATH, &decoded, CURLU_URLDECODE) == CURLUE_OK &&
            decoded)
            path = decoded;
    }
    curl_free(host);
    curl_free(decoded);
    curl_url_cleanup(parsed);
    return path;
}

}  // namespace

void LocalSource::Open(const std::string& url) {
    m_url = url;
    m_refusal.clear();
    const std::string path = LocalPath(url);
    if (path.empty()) return;
    // O_NONBLOCK: opening a FIFO with no writer returns at once instead of waiting for one.
    m_fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (m_fd.get() < 0) return;
    struct stat st {};
    if (::fstat(m_fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        m_fd.close();
        m_refusal = path + ": not a regular file";
        return;
    }
    // Without /proc the name itself is read (the check above still stops a FIFO that
    // stands there now).
    struct stat same {};
    const std::string held = "/proc/self/fd/" + std::to_string(m_fd.get());
    if (::stat(held.c_str(), &same) == 0 && same.st_ino == st.st_ino && same.st_dev == st.st_dev)
        m_url = "file://" + held;
}

}  // namespace UpdateNew
