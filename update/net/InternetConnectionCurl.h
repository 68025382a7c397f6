// The libcurl implementation of the connection: one easy handle for the connection's
// whole initialized life, so libcurl keeps its connection cache between transfers.
#pragma once

#include <string>

#include "net/InternetConnectionBase.h"

namespace UpdateNew {

// The error text of a transfer of `requested` whose redirect to `target` was refused.
std::string RefusedRedirectText(const std::string& requested, const std::string& target);

class InternetConnectionCurl : public InternetConnectionBase {
public:
    InternetConnectionCurl() = default;
    // The easy handle is released by Uninitialize only; a connection destroyed while
    // initialized releases it too, so nothing leaks.
    ~InternetConnectionCurl() override;

    // Creates the easy handle (100608 when libcurl cannot start). Each initialized
    // connection holds one reference on libcurl's global state, so connections may be
    // created and released in any order.
    unsigned Initialize(ConnectionOptions* options) override;
    // Releases the easy handle and this connection's reference on libcurl's global state.
    unsigned Uninitialize() override;
    unsigned SetStringOption(int32_t id, const std::wstring& value) override;
    // Returns 0, 100612 for an HTTP error status, or libcurl's code of the failed
    // option or transfer. A failure leaves the store and the handle as they were.
    unsigned Perform() override;
    unsigned GetResponseCode(long* code) override;
    // `handle` is a CURL* easy handle.
    unsigned ConfigureTransfer(void* handle, const std::string& url) override;

    // The target of a redirect that stopped the transfer of `requested` on `handle` (a
    // CURL* that failed with CURLE_UNSUPPORTED_PROTOCOL) because it left https://, or "".
    static std::string RefusedRedirectOf(void* handle, const std::string& requested);

private:
    unsigned ApplyOptions();
    unsigned ApplyLongOptions(void* curl);
    unsigned ApplyStringOptions(void* curl, bool withUrl);
    unsigned ApplyPointerOptions();
    unsigned ApplyFixedOptions(void* curl, const std::string& url);

    void* m_curl = nullptr;  // CURL*
    char m_errorBuffer[256] = {};
};

}  // namespace UpdateNew
