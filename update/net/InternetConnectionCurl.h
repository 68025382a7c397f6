// The libcurl implementation of the connection: one easy handle for the connection's
// whole initialized life, so libcurl keeps its connection cache between transfers.
#pragma once

#include "net/InternetConnectionBase.h"

namespace UpdateNew {

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

private:
    unsigned ApplyOptions();
    unsigned ApplyLongOptions();
    unsigned ApplyStringOptions();
    unsigned ApplyPointerOptions();
    unsigned ApplyFixedOptions();

    void* m_curl = nullptr;  // CURL*
    char m_errorBuffer[256] = {};
};

}  // namespace UpdateNew
