// Connection settings of a run: retries, time-out, the proxy and the credentials of a
// shared folder. UpdateConfig derives from it; the transport reads only this part.
#pragma once

#include <string>

namespace UpdateNew {

class ConnectionConfig {
public:
    static constexpr size_t kMaxProxy = 1023;
    static constexpr size_t kMaxCredential = 63;

    int retries() const { return m_retries; }
    int timeout() const { return m_timeout; }
    const std::wstring& proxy() const { return m_proxy; }
    int proxyPort() const { return m_proxyPort; }
    const std::wstring& proxyUsername() const { return m_proxyUsername; }
    const std::wstring& proxyUserPass() const { return m_proxyUserPass; }

    // The most module files in flight at once (1: one after the other).
    int parallel() const { return m_parallel; }
    // The most bytes a second the run receives over all its transfers (0: no cap).
    unsigned long long maxRate() const { return m_maxRate; }
    void setParallel(int transfers) { m_parallel = transfers < 1 ? 1 : transfers; }
    void setMaxRate(unsigned long long bytesPerSecond) { m_maxRate = bytesPerSecond; }

    void setRetries(int retries) { m_retries = retries; }
    void setTimeout(int seconds) { m_timeout = seconds; }
    // Texts longer than the stored limit are cut to it.
    void setProxy(const std::wstring& proxy) { m_proxy = proxy.substr(0, kMaxProxy); }
    void setProxyPort(int port) { m_proxyPort = port; }
    void setProxyUsername(const std::wstring& name) {
        m_proxyUsername = name.substr(0, kMaxCredential);
    }
    void setProxyUserPass(const std::wstring& pass) {
        m_proxyUserPass = pass.substr(0, kMaxCredential);
    }

    // The shared folder's credentials, handed to the function-replacing plug-in when the
    // downloader connects to a server.
    const std::wstring& shareUsername() const { return m_shareUsername; }
    const std::wstring& shareUserPass() const { return m_shareUserPass; }
    void setShareUsername(const std::wstring& name) {
        m_shareUsername = name.substr(0, kMaxCredential);
    }
    void setShareUserPass(const std::wstring& pass) {
        m_shareUserPass = pass.substr(0, kMaxCredential);
    }

protected:
    int m_retries = 0;
    int m_timeout = 0;
    int m_parallel = 8;
    unsigned long long m_maxRate = 0;
    std::wstring m_proxy;
    int m_proxyPort = 0;
    std::wstring m_proxyUsername;
    std::wstring m_proxyUserPass;
    std::wstring m_shareUsername;
    std::wstring m_shareUserPass;
};

}  // namespace UpdateNew
