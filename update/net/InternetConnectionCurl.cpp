#include "net/InternetConnectionCurl.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <cctype>
#include <new>
#include <string>

#include "base/Conv.h"
#include "base/Interrupts.h"
#include "net/LocalSource.h"

namespace UpdateNew {

namespace {

// Redirect chains longer than this end the transfer instead of looping forever.
constexpr long kMaxRedirects = 20;

CURL* Handle(void* p) {
    return static_cast<CURL*>(p);
}

// Whether `url` starts with "https://", in any case.
bool HasHttpsScheme(const std::string& url) {
    static const char kHttps[] = "https://";
    if (url.size() < sizeof kHttps - 1) return false;
    for (size_t i = 0; i + 1 < sizeof kHttps; ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != kHttps[i]) return false;
    }
    return true;
}

}  // namespace

std::string RefusedRedirectText(const std::string& requested, const std::string& target) {
    return "redirect from " + requested + " to " + target +
           " refused: an https:// address is only redirected to https://";
}

InternetConnectionCurl::~InternetConnectionCurl() {
    if (m_curl) {
        curl_easy_cleanup(Handle(m_curl));
        curl_global_cleanup();
        m_curl = nullptr;
    }
}

unsigned InternetConnectionCurl::Initialize(ConnectionOptions* options) {
    if (m_initialized) Uninitialize();
    if (!options) {
        if (!m_ownsOptions) {
            m_options = new (std::nothrow) ConnectionOptions;
            if (!m_options) return CONNECTION_NO_MEMORY;
            m_ownsOptions = true;
        }
    } else {
        if (m_ownsOptions) delete m_options;
        m_options = options;
        m_ownsOptions = false;
    }

    // The explicit global initialisation is balanced by Uninitialize, so one
    // connection's end never pulls libcurl's global state from under another one.
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not initialize download library\n");
        return CONNECTION_INIT_FAILED;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        curl_global_cleanup();
        PrintConnectionDiagnostic(L"Can not initialize download library\n");
        return CONNECTION_INIT_FAILED;
    }
    m_errorBuffer[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_errorBuffer);
    m_curl = curl;
    m_initialized = true;
    return CONNECTION_OK;
}

unsigned InternetConnectionCurl::Uninitialize() {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return CONNECTION_NOT_INITIALIZED;
    }
    curl_easy_cleanup(Handle(m_curl));
    curl_global_cleanup();
    m_curl = nullptr;
    m_initialized = false;
    return CONNECTION_OK;
}

unsigned InternetConnectionCurl::SetStringOption(int32_t id, const std::wstring& value) {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return CONNECTION_NOT_INITIALIZED;
    }
    std::string bytes;
    if (!WideToMultibyte(value, bytes)) {
        PrintConnectionDiagnostic(L"Can not convert wide char string to utf8 string\n");
        return CONNECTION_CONVERSION;
    }
    return m_options->SetBytes(id, bytes, true);
}

unsigned InternetConnectionCurl::ApplyLongOptions(void* handle) {
    CURL* curl = Handle(handle);
    int32_t value;
    CURLcode rc;
    if (m_options->GetLong(ConnectionOptions::VERBOSE, value) == ConnectionOptions::OK) {
        rc = curl_easy_setopt(curl, CURLOPT_VERBOSE, static_cast<long>(value));
        if (rc != CURLE_OK) {
            PrintConnectionDiagnostic(L"Can not set option (CURLOPT_VERBOSE)\n");
            return rc;
        }
    }
    if (m_options->GetLong(ConnectionOptions::PROXY_TYPE, value) == ConnectionOptions::OK) {
        long type =
            value == 1 ? static_cast<long>(CURLPROXY_SOCKS5) : static_cast<long>(CURLPROXY_HTTP);
        rc = curl_easy_setopt(curl, CURLOPT_PROXYTYPE, type);
        if (rc != CURLE_OK) {
            PrintConnectionDiagnostic(L"Can not set option (CURLOPT_PROXYTYPE)\n");
            return rc;
        }
    }
    if (m_options->GetLong(ConnectionOptions::TIMEOUT, value) == ConnectionOptions::OK) {
        // The time-out bounds connecting and any stall of the transfer (less than one
        // byte a second for that long); a slow but moving download of a big file goes on.
        long seconds = value > 0 ? static_cast<long>(value) : 0L;
        rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, seconds);
        if (rc != CURLE_OK) {
            PrintConnectionDiagnostic(L"Can not set option (CURLOPT_CONNECTTIMEOUT)\n");
            return rc;
        }
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, seconds > 0 ? 1L : 0L);
        if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, seconds);
        if (rc != CURLE_OK) {
            PrintConnectionDiagnostic(L"Can not set option (CURLOPT_LOW_SPEED_TIME)\n");
            return rc;
        }
    }
    if (m_options->GetLong(ConnectionOptions::MAX_RECV_RATE, value) == ConnectionOptions::OK) {
        rc = curl_easy_setopt(curl, CURLOPT_MAX_RECV_SPEED_LARGE,
                              static_cast<curl_off_t>(value > 0 ? value : 0));
        if (rc != CURLE_OK) {
            PrintConnectionDiagnostic(L"Can not set option (CURLOPT_MAX_RECV_SPEED_LARGE)\n");
            return rc;
        }
    }
    return CURLE_OK;
}

unsigned InternetConnectionCurl::ApplyStringOptions(void* handle, bool withUrl) {
    struct StringOption {
        int32_t id;
        CURLoption option;
        const wchar_t* failure;
    };
    static const StringOption kOptions[] = {
        {ConnectionOptions::URL, CURLOPT_URL, L"Can not set option (CURLOPT_URL)\n"},
        {ConnectionOptions::PROXY_HOST_PORT, CURLOPT_PROXY,
         L"Can not set option (CURLOPT_PROXY)\n"},
        {ConnectionOptions::USER_PASS, CURLOPT_USERPWD, L"Can not set option (CURLOPT_USERPWD)\n"},
        {ConnectionOptions::PROXY_USER_PASS, CURLOPT_PROXYUSERPWD,
         L"Can not set option (CURLOPT_PROXYUSERPWD)\n"},
        {ConnectionOptions::USER_AGENT, CURLOPT_USERAGENT,
         L"Can not set option (CURLOPT_USERAGENT)\n"},
        {ConnectionOptions::CA_FILE, CURLOPT_CAINFO, L"Can not set option (CURLOPT_CAINFO)\n"},
    };
    std::string value;
    bool proxied = false;
    for (const StringOption& o : kOptions) {
        if (!withUrl && o.id == ConnectionOptions::URL) continue;
        if (m_options->GetBytes(o.id, value) != ConnectionOptions::OK) continue;
        proxied |= o.id == ConnectionOptions::PROXY_HOST_PORT && !value.empty();
        // libcurl copies the text, so the temporary may go.
        CURLcode rc = curl_easy_setopt(Handle(handle), o.option, value.c_str());
        if (rc != CURLE_OK) {
            PrintConnectionDiagnostic(o.failure);
            return rc;
        }
    }
    // A configured proxy carries every request: a no_proxy of the environment would send
    // some of them past it without a word.
    if (proxied && curl_easy_setopt(Handle(handle), CURLOPT_NOPROXY, "") != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not set option (CURLOPT_NOPROXY)\n");
        return CURLE_FAILED_INIT;
    }
    return CURLE_OK;
}

unsigned InternetConnectionCurl::ApplyPointerOptions() {
    void* value;
    CURLcode rc;
    if (m_options->GetPointer(ConnectionOptions::WRITE_FUNCTION, value) == ConnectionOptions::OK) {
        rc = curl_easy_setopt(Handle(m_curl), CURLOPT_WRITEFUNCTION,
                              reinterpret_cast<curl_write_callback>(value));
        if (rc != CURLE_OK) {
            PrintConnectionDiagnostic(L"Can not set option (CURLOPT_WRITEFUNCTION)\n");
            return rc;
        }
    }
    if (m_options->GetPointer(ConnectionOptions::WRITE_DATA, value) == ConnectionOptions::OK) {
        rc = curl_easy_setopt(Handle(m_curl), CURLOPT_WRITEDATA, value);
        if (rc != CURLE_OK) {
            PrintConnectionDiagnostic(L"Can not set option (CURLOPT_WRITEDATA)\n");
            return rc;
        }
    }
    return CURLE_OK;
}

namespace {

// Called by libcurl about once a second and whenever data moves: a SIGINT or SIGTERM
// aborts the transfer in progress (CURLE_ABORTED_BY_CALLBACK) instead of letting it run
// to its end. The handlers only set flags; this reads them outside the handler.
extern "C" int AbortOnInterrupt(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return InterruptRequested() ? 1 : 0;
}

// Every connection libcurl opens is close-on-exec from its first moment, so that neither
// the updater's children nor those a plug-in starts inherit a connection to a server.
extern "C" curl_socket_t OpenCloseOnExecSocket(void*, curlsocktype, curl_sockaddr* address) {
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace

unsigned InternetConnectionCurl::ApplyFixedOptions(void* handle, const std::string& url) {
    CURL* curl = Handle(handle);
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &OpenCloseOnExecSocket);
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not set option (CURLOPT_OPENSOCKETFUNCTION)\n");
        return rc;
    }
    rc = curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &AbortOnInterrupt);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not set option (CURLOPT_XFERINFOFUNCTION)\n");
        return rc;
    }
    rc = curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not set option (CURLOPT_PROXYAUTH)\n");
        return rc;
    }
    rc = curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not set option (CURLOPT_FOLLOWLOCATION)\n");
        return rc;
    }
    rc = curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not set option (CURLOPT_MAXREDIRS)\n");
        return rc;
    }
    // Redirects never lower the transport's protection: from an https:// address only
    // https:// targets are followed (a plain http:// one fails the transfer).
    // Other addresses keep libcurl's usual set.
    const bool secure = HasHttpsScheme(url);
    rc = curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR,
                          secure ? "https" : "http,https,ftp,ftps");
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not set option (CURLOPT_REDIR_PROTOCOLS_STR)\n");
        return rc;
    }
    rc = curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not set option (CURLOPT_FAILONERROR)\n");
        return rc;
    }
    return CURLE_OK;
}

unsigned InternetConnectionCurl::ApplyOptions() {
    unsigned rc = ApplyLongOptions(m_curl);
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not translate long options\n");
        return rc;
    }
    rc = ApplyStringOptions(m_curl, true);
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not translate string options\n");
        return rc;
    }
    rc = ApplyPointerOptions();
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not translate pointer options\n");
        return rc;
    }
    std::string url;
    if (m_options->GetBytes(ConnectionOptions::URL, url) != ConnectionOptions::OK) url.clear();
    return ApplyFixedOptions(m_curl, url);
}

unsigned InternetConnectionCurl::ConfigureTransfer(void* handle, const std::string& url) {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return CONNECTION_NOT_INITIALIZED;
    }
    unsigned rc = ApplyLongOptions(handle);
    if (rc == CURLE_OK) rc = ApplyStringOptions(handle, false);
    if (rc == CURLE_OK) rc = curl_easy_setopt(Handle(handle), CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) rc = ApplyFixedOptions(handle, url);
    return rc;
}

std::string InternetConnectionCurl::RefusedRedirectOf(void* handle, const std::string& requested) {
    long redirects = 0;
    char* target = nullptr;
    if (HasHttpsScheme(requested) &&
        curl_easy_getinfo(Handle(handle), CURLINFO_REDIRECT_COUNT, &redirects) == CURLE_OK &&
        redirects > 0 &&
        curl_easy_getinfo(Handle(handle), CURLINFO_EFFECTIVE_URL, &target) == CURLE_OK && target &&
        !HasHttpsScheme(target))
        return target;
    return std::string();
}

unsigned InternetConnectionCurl::Perform() {
    if (!m_initialized) {
        PrintConnectionDiagnostic(L"Object not initialized\n");
        return CONNECTION_NOT_INITIALIZED;
    }
    m_errorText.clear();
    m_refusedRedirect.clear();
    m_errorBuffer[0] = '\0';
    unsigned rc = ApplyOptions();
    if (rc != CURLE_OK) {
        PrintConnectionDiagnostic(L"Can not translate options\n");
        m_errorText = curl_easy_strerror(static_cast<CURLcode>(rc));
        return rc;
    }
    std::string url;
    if (m_options->GetBytes(ConnectionOptions::URL, url) != ConnectionOptions::OK) url.clear();
    LocalSource source;
    source.Open(url);
    if (!source.Refusal().empty()) {
        m_errorText = source.Refusal();
        return CURLE_FILE_COULDNT_READ_FILE;
    }
    if (source.Url() != url) curl_easy_setopt(Handle(m_curl), CURLOPT_URL, source.Url().c_str());
    CURLcode result = curl_easy_perform(Handle(m_curl));
    if (result == CURLE_OK) return CONNECTION_OK;
    m_errorText = m_errorBuffer[0] ? m_errorBuffer : curl_easy_strerror(result);
    if (result == CURLE_UNSUPPORTED_PROTOCOL) {
        // An https:// request redirected to another protocol: the redirect protocols set
        // above stopped it, and the effective address is the refused target. Say so
        // instead of libcurl's "not supported or disabled".
        std::string requested;
        if (m_options->GetBytes(ConnectionOptions::URL, requested) != ConnectionOptions::OK)
            requested.clear();
        m_refusedRedirect = RefusedRedirectOf(m_curl, requested);
        if (!m_refusedRedirect.empty())
            m_errorText = RefusedRedirectText(requested, m_refusedRedirect);
    }
    if (result == CURLE_HTTP_RETURNED_ERROR) return CONNECTION_HTTP_ERROR;
    return result;
}

unsigned InternetConnectionCurl::GetResponseCode(long* code) {
    if (!code) return CURLE_BAD_FUNCTION_ARGUMENT;
    return curl_easy_getinfo(Handle(m_curl), CURLINFO_RESPONSE_CODE, code);
}

}  // namespace UpdateNew
