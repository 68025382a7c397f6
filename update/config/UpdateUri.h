// A parsed server address. Servers are either URL servers (http, https, ftp), reached
// through the transfer library, or shared folders reached by path (a plain path or a
// file:// URL). The record keeps the scheme, the server part and the path; the server
// handler reads its kind and address, and the downloader fetches transferUrl().
#pragma once

#include <string>

namespace UpdateNew {

class UpdateUri {
public:
    enum Kind { kShare = 0, kUrlServer = 1 };

    // The record of the empty text: a share with an empty path.
    UpdateUri() = default;

    // Parses any text without judging it: "scheme://authority/path" is a URL server, a
    // "file://" URL or a text without "://" is a share. Backslashes become slashes and runs
    // of slashes in the path are merged. Whether a server list accepts the text is the
    // configuration's business (it checks "://" and the scheme itself).
    static UpdateUri parse(const std::wstring& text);

    // The transfer URL of a text: parse(text).transferUrl().
    static std::wstring normalizeUrl(const std::wstring& text);

    // 0 for a share reached by path, non-zero for a URL server.
    int kind() const { return m_kind; }
    bool isUrlServer() const { return m_kind != kShare; }
    // The text that was parsed.
    const std::wstring& text() const { return m_text; }
    // Lower case ("http", "https", "ftp", "file"); empty for a plain path.
    const std::wstring& scheme() const { return m_scheme; }
    // "host[:port]" (with user information when given); empty for a share.
    const std::wstring& host() const { return m_host; }
    // The path: below the host for a URL server, the folder's path for a share.
    const std::wstring& path() const { return m_path; }
    // What servers are connected with and relative names are joined to:
    // "scheme://host/path" for a URL server, the path for a share.
    std::wstring address() const;
    // The URL handed to the transfer library: the address of a URL server, "file://" and
    // the absolute path for a share; blanks, non-ASCII characters and other bytes that a
    // URL cannot carry are percent-encoded (a share's "%", "?" and "#" too).
    std::wstring transferUrl() const;

private:
    int m_kind = kShare;
    std::wstring m_text;
    std::wstring m_scheme;
    std::wstring m_host;
    std::wstring m_path;
};

}  // namespace UpdateNew
