// FileDownloader fetches single files of the current update server into local files,
// over HTTP(S) or FTP through libcurl, or from a shared folder through "file://" URLs,
// optionally through the configured HTTP or SOCKS5 proxy. The function-replacing plug-in
// gets the first chance at every step (connect, fetch, disconnect); every received block
// is reported to the GUI plug-in before it is written.
//
// One downloader serves one server: construct, connectServer, any number of downloadFile
// calls, disconnectServer, destroy. It owns one internet connection for its whole life, so
// libcurl reuses its connections to the server from one file to the next.
#pragma once

#include <cstdio>
#include <exception>
#include <string>

#include "base/Interrupts.h"  // ThrowIfInterrupted, for the callers of the downloads
#include "net/ConnectionConfig.h"
#include "net/InternetConnection.h"
#include "net/TransferPool.h"

namespace UpdateNew {

class UpdateCallbacks;

class FileDownloader {
public:
    // Longest source URL and destination path the progress report carries, in characters.
    static constexpr size_t kMaxReportedPath = 4095;
    // The user agent every request carries.
    static const wchar_t* const kUserAgent;

    // Neither is owned; both must outlive the downloader. The user agent, the proxy
    // ("host:port"; a host of the form "socks5://host" or "socks5h://host" selects a SOCKS5
    // proxy), the proxy credentials and the time-out are taken from `cfg` here, once. A
    // trusted-certificate file named by the environment variable SSL_CERT_FILE replaces the
    // system's for HTTPS.
    FileDownloader(const ConnectionConfig& cfg, UpdateCallbacks& callbacks);
    FileDownloader(const FileDownloader&) = delete;
    FileDownloader& operator=(const FileDownloader&) = delete;
    // Releases the connection (and with it libcurl).
    virtual ~FileDownloader();

    // Offers the server to the function-replacing plug-in ("file://" in front when `kind`
    // is 0, a shared folder). Exception 616 (message 588) after disconnectServer.
    int connectServer(const std::wstring& server, int kind);
    // Tells the plug-in the server is no longer used; the downloader is then spent.
    int disconnectServer();
    // Fetches `source` into the local file `destination` (mode 0755 afterwards) unless the
    // plug-in fetches it. The data goes to a temporary file beside the destination that
    // replaces it only when the transfer succeeded, so a failed transfer never leaves a
    // partial file under the destination's name. Failures throw Exception (code -1):
    // message 596 with reason 677 (HTTP 404), 672 (HTTP 407) or 678 (anything else);
    // 689 when the configured proxy cannot be used; 690 for HTTP 400 or 503 through the
    // proxy. An exception from the GUI plug-in's progress call stops the transfer and is
    // rethrown as it was (CUpdateCriticalException 611 for an answer other than 0).
    // With `maxBytes` above 0 the transfer stops as soon as more than that many bytes
    // arrived (message 596 with reason 679 naming the limit): a server that keeps
    // sending past a file's announced size cannot fill the disk.
    int downloadFile(const std::wstring& source, const std::wstring& destination,
                     unsigned long long maxBytes = 0);

    // What the write callback sees of the transfer in progress.
    struct TransferFiles {
        wchar_t sourceURI[kMaxReportedPath + 1];
        wchar_t destFileName[kMaxReportedPath + 1];
    };

    // The pieces of downloadFile that transfers run side by side (TransferWindow) share.
    // The forms of a source and a destination that reports and failures name.
    struct TransferNames {
        std::wstring source;       // the normalised URL
        std::wstring destination;  // the path with forward slashes
        std::string destPath;      // the path in the local character set
    };
    // Fails (596) when the destination has no form in the local character set.
    TransferNames namesOf(const std::wstring& source, const std::wstring& destination) const;
    // Offers the transfer to the function-replacing plug-in; true when it placed the
    // file, which then exists (empty unless the plug-in wrote it).
    bool offerToPlugin(const TransferNames& names);
    // Reports one received block to the GUI plug-in (onDownloadFile); throws what the
    // guarded call throws.
    void reportBlock(const TransferNames& names, unsigned long bytes);
    // Message 596 with `reason` for `source`, `details` in the log and the exception;
    // `local` marks a failure on this machine.
    [[noreturn]] void Fail(const std::wstring& source, const std::wstring& reason,
                           const std::wstring& details, bool local = false) const;
    // The failure of a transfer of `source` that ended with `outcome` (rc not 0).
    [[noreturn]] void FailTransfer(const std::wstring& source,
                                   const TransferOutcome& outcome) const;
    // The connection whose settings every transfer uses, and the settings it was made from.
    InternetConnection& connection() { return m_connection; }
    const ConnectionConfig& settings() const { return *m_cfg; }

    bool ready() const { return m_ready; }
    int serverKind() const { return m_serverKind; }
    const std::wstring& server() const { return m_server; }

private:
    struct TransferContext {
        UpdateCallbacks* callbacks = nullptr;
        TransferFiles* files = nullptr;
        FILE* stream = nullptr;           // the temporary file being written
        std::exception_ptr error;         // thrown by the progress call, rethrown later
        int writeErrno = 0;               // why a block could not be written, or 0
        unsigned long long maxBytes = 0;  // the most bytes accepted, 0: no limit
        unsigned long long received = 0;  // bytes accepted so far
        unsigned long long reported = 0;  // the most bytes a try of the file reported
        bool overLimit = false;           // the server sent more than maxBytes
    };

    // libcurl's write function. Never lets an exception out into libcurl's C frames.
    static size_t WriteCallback(char* data, size_t size, size_t nmemb, void* context);

    bool ProxyConfigured() const { return !m_proxyHost.empty(); }

    InternetConnection m_connection;
    bool m_ready = false;
    const ConnectionConfig* m_cfg;
    UpdateCallbacks* m_callbacks;
    TransferContext m_context;
    TransferFiles m_files = {};
    int m_serverKind = 1;
    std::wstring m_server;
    std::wstring m_proxyHost;  // the configured proxy host without surrounding blanks
};

}  // namespace UpdateNew
