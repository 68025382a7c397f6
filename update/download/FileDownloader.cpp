#include "download/FileDownloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/StringUtils.h"
#include "base/UniqueFd.h"
#include "config/UpdateUri.h"
#include "download/TransferRetry.h"
#include "plugin/UpdateCallbacks.h"

namespace UpdateNew {

const wchar_t* const FileDownloader::kUserAgent = L"Update 1.0.0 [linux x86 unicode release]";

namespace {

std::wstring SysError(int err) {
    return FromMultibyte(std::strerror(err));
}

// Copies at most FileDownloader::kMaxReportedPath characters and terminates.
void CopyReported(wchar_t* to, const std::wstring& from) {
    size_t n = std::min(from.size(), FileDownloader::kMaxReportedPath);
    std::wmemcpy(to, from.data(), n);
    to[n] = L'\0';
}

// The GUI plug-in's report of one block of the transfer `files` names.
void ReportReceived(UpdateCallbacks& callbacks, const FileDownloader::TransferFiles& files,
                    unsigned long bytes) {
    callbacks.callGui(
        L"onDownloadFile(std::tstring(c->files->sourceURI), "
        L"std::tstring(c->files->destFileName), size * nmemb)",
        &CUpdateGuiCallbacks::onDownloadFile, std::wstring(files.sourceURI),
        std::wstring(files.destFileName), bytes);
}

// The temporary file a download is written to; removed unless it was renamed into place.
// It and its destination are reached through the destination's directory, opened once.
class PartialFile {
public:
    PartialFile() = default;
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        if (m_stream) std::fclose(m_stream);
        if (!m_name.empty()) ::unlinkat(m_dir.get(), m_name.c_str(), 0);
    }

    // Creates "<destination>.<pid>.part" beside the destination; errno on failure.
    int Create(const std::string& destination) {
        if (int err = OpenParent(destination, m_dir, m_destName)) return err;
        const std::string name = m_destName + "." + std::to_string(::getpid()) + ".part";
        UniqueFd fd;
        if (int err = CreateFileAt(m_dir.get(), name, 0600, fd)) return err;
        m_name = name;
        m_path = destination.substr(0, destination.size() - m_destName.size()) + name;
        m_stream = ::fdopen(fd.get(), "wb");
        if (!m_stream) return errno;
        fd.release();
        return 0;
    }

    FILE* stream() const { return m_stream; }
    const std::string& path() const { return m_path; }

    // Empties the file for a transfer from the start; errno on failure.
    int Restart() {
        if (std::fflush(m_stream) != 0 || ::ftruncate(::fileno(m_stream), 0) != 0) return errno;
        std::rewind(m_stream);
        return 0;
    }

    // Flushes, sets the mode and closes; errno on failure.
    int Finish(mode_t mode) {
        int err = 0;
        if (std::fflush(m_stream) != 0) err = errno;
        // Every downloaded file is executable by everybody; a file system that cannot
        // store the mode does not fail the download.
        (void)::fchmod(::fileno(m_stream), mode);
        if (std::fclose(m_stream) != 0 && err == 0) err = errno;
        m_stream = nullptr;
        return err;
    }

    // Moves the file to its destination; errno on failure.
    int Commit() {
        if (::renameat(m_dir.get(), m_name.c_str(), m_dir.get(), m_destName.c_str()) != 0)
            return errno;
        m_name.clear();
        return 0;
    }

private:
    UniqueFd m_dir;
    std::string m_destName;
    std::string m_name;  // in m_dir; empty once renamed
    std::string m_path;
    FILE* m_stream = nullptr;
};

}  // namespace

FileDownloader::FileDownloader(const ConnectionConfig& cfg, UpdateCallbacks& callbacks)
    : m_cfg(&cfg), m_callbacks(&callbacks) {
    unsigned rc = m_connection.Initialize(nullptr);
    if (rc != 0) LogDebug(L"Can not initialize the internet connection (%u)\n", rc);

    m_connection.SetStringOption(ConnectionOptions::USER_AGENT, kUserAgent);

    m_proxyHost = Trim(cfg.proxy());
    if (!m_proxyHost.empty()) {
        // A port of 0 means none was given: libcurl then uses the default port of the
        // proxy's scheme instead of an impossible port 0.
        std::wstring hostPort = m_proxyHost;
        if (cfg.proxyPort() > 0) {
            wchar_t port[32];
            std::swprintf(port, 32, L"%ld", static_cast<long>(cfg.proxyPort()));
            hostPort += L":";
            hostPort += port;
        }
        rc = m_connection.SetStringOption(ConnectionOptions::PROXY_HOST_PORT, hostPort);
        if (rc != 0) LogDebug(L"Can not set PROXY_HOST_PORT option (%d)\n", static_cast<int>(rc));
        if (!cfg.proxyUsername().empty()) {
            std::wstring userPass = cfg.proxyUsername();
            if (!cfg.proxyUserPass().empty()) userPass += L":" + cfg.proxyUserPass();
            rc = m_connection.SetStringOption(ConnectionOptions::PROXY_USER_PASS, userPass);
            if (rc != 0)
                LogDebug(L"Can not set PROXY_USER_PASS option (%d)\n", static_cast<int>(rc));
        }
    }

    // The cap of the whole run; transfers side by side share it (TransferPool).
    if (cfg.maxRate() > 0) {
        const unsigned long long rate = std::min<unsigned long long>(cfg.maxRate(), INT32_MAX);
        m_connection.SetLongOption(ConnectionOptions::MAX_RECV_RATE, static_cast<long>(rate));
    }

    // Without a time-out a server that stops answering would hold the run for ever.
    if (cfg.timeout() > 0) m_connection.SetLongOption(ConnectionOptions::TIMEOUT, cfg.timeout());

    const char* caFile = std::getenv("SSL_CERT_FILE");
    if (caFile && *caFile)
        m_connection.SetStringOption(ConnectionOptions::CA_FILE, FromMultibyte(caFile));

    m_context.callbacks = m_callbacks;
    m_context.files = &m_files;
    m_ready = true;
}

FileDownloader::~FileDownloader() {
    if (m_connection.IsInitialized()) m_connection.Uninitialize();
}

int FileDownloader::connectServer(const std::wstring& server, int kind) {
    if (!m_ready) THROW_ERROR(Msg<588>(m_server), ERR_CONNECT);
    m_serverKind = kind;
    m_server = server;
    const std::wstring prefix = kind == 0 ? L"file://" : L"";
    m_callbacks->callLib(
        L"connectServer(cCallbackUriPrefix + cServerUri, m_cfg.shareUsername(), "
        L"m_cfg.shareUserPass())",
        &CUpdateLibCallbacks::connectServer, prefix + server, m_cfg->shareUsername(),
        m_cfg->shareUserPass());
    return 0;
}

int FileDownloader::disconnectServer() {
    if (!m_ready) return 0;
    m_callbacks->callLib(L"disconnectServer(m_server)", &CUpdateLibCallbacks::disconnectServer,
                         m_server);
    m_ready = false;
    m_server.clear();
    return 0;
}

void FileDownloader::Fail(const std::wstring& source, const std::wstring& reason,
                          const std::wstring& details, bool local) const {
    std::wstring message = Msg<596>(source, reason);
    LogDebug(L"%s (%s)\n", message.c_str(), details.c_str());
    Exception e(message, ERR_GENERIC, UPD_FILE, __LINE__);
    e.setDetails(details);
    e.setLocal(local);
    throw e;
}

void FileDownloader::FailTransfer(const std::wstring& source,
                                  const TransferOutcome& outcome) const {
    std::wstring details = FromMultibyte(outcome.errorText);
    if (details.empty()) details = L"transfer result " + std::to_wstring(outcome.rc);
    // A port of 0 is none given: the proxy is named by its host alone.
    const long proxyPort = m_cfg->proxyPort();
    const std::wstring port = std::to_wstring(proxyPort);

    const std::string& redirect = outcome.refusedRedirect;
    if (!redirect.empty()) Fail(source, Msg<680>(FromMultibyte(redirect)), details);

    const long status = outcome.status;
    if (outcome.rc == UpdateNew::CONNECTION_HTTP_ERROR && status != 0) {
        if (status == 404) Fail(source, Msg<677>(), details);
        if (status == 407) Fail(source, Msg<672>(), details);
        if ((status == 400 || status == 503) && ProxyConfigured()) {
            std::wstring message = proxyPort > 0 ? Msg<690>(source, Msg<678>(), m_proxyHost, port)
                                                 : Msg<706>(source, Msg<678>(), m_proxyHost);
            LogDebug(L"%s (%s)\n", message.c_str(), details.c_str());
            Exception e(message, ERR_GENERIC, UPD_FILE, __LINE__);
            e.setDetails(details);
            throw e;
        }
        Fail(source, Msg<678>() + L": " + details, details);
    }
    if (ProxyConfigured()) {
        std::wstring message = proxyPort > 0 ? Msg<689>(m_proxyHost, port) : Msg<705>(m_proxyHost);
        LogDebug(L"%s (%s: %s)\n", message.c_str(), source.c_str(), details.c_str());
        Exception e(message, ERR_GENERIC, UPD_FILE, __LINE__);
        e.setDetails(source + L": " + details);
        throw e;
    }
    // The transport's own reason ("Failed to connect to ... : Connection refused") belongs
    // in the line the user sees, not only in the debug log.
    Fail(source, Msg<678>() + L": " + details, details);
}

FileDownloader::TransferNames FileDownloader::namesOf(const std::wstring& source,
                                                      const std::wstring& destination) const {
    TransferNames names;
    names.source = UpdateUri::normalizeUrl(source);
    names.destination = ToSlashes(destination);
    // Not the server's fault: the run ends saying so, instead of dropping the server.
    if (!WideToMultibyte(names.destination, names.destPath))
        THROW_CRITICAL(Msg<1243>(names.destination), ERR_GENERIC);
    return names;
}

bool FileDownloader::offerToPlugin(const TransferNames& names) {
    const std::wstring& cSourceFileSimpl = names.source;
    const std::wstring& cDestFileSimpl = names.destination;
    if (!m_callbacks->callLib(L"downloadFile(cSourceFileSimpl, cDestFileSimpl)",
                              &CUpdateLibCallbacks::downloadFile, cSourceFileSimpl, cDestFileSimpl))
        return false;
    // The plug-in placed the file itself. The destination exists afterwards, as it would
    // had the downloader opened it; what the plug-in wrote stays untouched.
    UniqueFd placed;
    if (OpenExisting(names.destPath, O_WRONLY, placed) == ENOENT)
        (void)CreateFile(names.destPath, 0666, placed);
    return true;
}

void FileDownloader::reportBlock(const TransferNames& names, unsigned long bytes) {
    CopyReported(m_files.sourceURI, names.source);
    CopyReported(m_files.destFileName, names.destination);
    ReportReceived(*m_callbacks, m_files, bytes);
}

int FileDownloader::downloadFile(const std::wstring& source, const std::wstring& destination,
                                 unsigned long long maxBytes) {
    const TransferNames names = namesOf(source, destination);
    const std::wstring& cSourceFileSimpl = names.source;
    const std::wstring& cDestFileSimpl = names.destination;
    const std::string& destPath = names.destPath;

    unsigned rc = m_connection.SetPointerOption(ConnectionOptions::WRITE_FUNCTION,
                                                reinterpret_cast<void*>(&WriteCallback));
    if (rc == 0) rc = m_connection.SetPointerOption(ConnectionOptions::WRITE_DATA, &m_context);
    if (rc == 0) rc = m_connection.SetStringOption(ConnectionOptions::URL, cSourceFileSimpl);
    if (rc != 0)
        Fail(cSourceFileSimpl, Msg<678>(),
             L"the transfer options cannot be set (" + std::to_wstring(rc) + L")");

    // Local failures (a full disk, a directory that takes no files) name the local file
    // and the system's reason; they are not the server's fault.
    PartialFile partial;
    if (int err = partial.Create(destPath)) {
        ThrowIfDiskFull(cDestFileSimpl, err);
        Fail(cSourceFileSimpl, MsgLib<26>(cDestFileSimpl, SysError(err)),
             cDestFileSimpl + L": " + SysError(err), true);
    }

    if (offerToPlugin(names)) return 0;

    CopyReported(m_files.sourceURI, cSourceFileSimpl);
    CopyReported(m_files.destFileName, cDestFileSimpl);
    // A try after a cut one reports only the bytes past what the earlier ones reported.
    m_context.reported = 0;
    for (int attempt = 1;; ++attempt) {
        m_context.stream = partial.stream();
        m_context.error = nullptr;
        m_context.writeErrno = 0;
        m_context.maxBytes = maxBytes;
        m_context.received = 0;
        m_context.overLimit = false;
        rc = m_connection.Perform();
        m_context.stream = nullptr;

        if (m_context.error) {
            std::exception_ptr error = m_context.error;
            m_context.error = nullptr;
            std::rethrow_exception(error);  // the partial file goes with `partial`
        }
        if (m_context.overLimit)
            Fail(
                cSourceFileSimpl, Msg<679>(std::to_wstring(maxBytes)),
                L"the server sent more than the expected " + std::to_wstring(maxBytes) + L" bytes");
        if (m_context.writeErrno != 0) {
            ThrowIfDiskFull(cDestFileSimpl, m_context.writeErrno);
            Fail(cSourceFileSimpl, MsgLib<5>(cDestFileSimpl, SysError(m_context.writeErrno)),
                 FromMultibyte(partial.path()) + L": " + SysError(m_context.writeErrno), true);
        }
        if (rc == 0) break;
        // Aborted by a SIGINT or SIGTERM: the run stops (a critical failure) instead of
        // trying again or the next server.
        ThrowIfInterrupted();
        TransferOutcome outcome;
        outcome.rc = rc;
        if (rc == UpdateNew::CONNECTION_HTTP_ERROR) m_connection.GetResponseCode(&outcome.status);
        outcome.errorText = m_connection.LastErrorText();
        outcome.refusedRedirect = m_connection.RefusedRedirect();
        if (!TryAgain(cSourceFileSimpl, outcome, attempt, m_cfg->retries()) ||
            partial.Restart() != 0)
            FailTransfer(cSourceFileSimpl, outcome);
    }

    if (int err = partial.Finish(0755)) {
        ThrowIfDiskFull(cDestFileSimpl, err);
        Fail(cSourceFileSimpl, MsgLib<5>(cDestFileSimpl, SysError(err)),
             FromMultibyte(partial.path()) + L": " + SysError(err), true);
    }
    if (int err = partial.Commit())
        Fail(cSourceFileSimpl, MsgLib<26>(cDestFileSimpl, SysError(err)),
             cDestFileSimpl + L": " + SysError(err), true);
    return 0;
}

size_t FileDownloader::WriteCallback(char* data, size_t size, size_t nmemb, void* context) {
    auto* c = static_cast<TransferContext*>(context);
    const unsigned long long bytes = static_cast<unsigned long long>(size) * nmemb;
    if (c->maxBytes > 0 && bytes > c->maxBytes - c->received) {
        c->overLimit = true;  // any count other than the block's size aborts the transfer
        return bytes == 0 ? 1 : 0;
    }
    c->received += bytes;
    try {
        if (c->received > c->reported) {
            const unsigned long long fresh =
                c->received - std::max(c->received - bytes, c->reported);
            c->reported = c->received;
            ReportReceived(*c->callbacks, *c->files, static_cast<unsigned long>(fresh));
        }
    } catch (...) {
        // Unwinding through libcurl is undefined: keep the exception, make libcurl stop
        // (any count other than the block's size aborts the transfer) and rethrow it
        // once the transfer has returned.
        c->error = std::current_exception();
        return size * nmemb == 0 ? 1 : 0;
    }
    if (!c->stream) return 0;
    errno = 0;
    size_t written = std::fwrite(data, size, nmemb, c->stream);
    if (written != nmemb) c->writeErrno = errno != 0 ? errno : EIO;
    return written * size;
}

}  // namespace UpdateNew
