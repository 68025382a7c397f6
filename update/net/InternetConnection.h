// The holder the file downloader talks to: creates the libcurl connection, checks that
// it is initialized and forwards every call. Codes as in InternetConnectionBase.h.
#pragma once

#include <string>

#include "net/InternetConnectionBase.h"

namespace UpdateNew {

class InternetConnection {
public:
    InternetConnection() = default;
    InternetConnection(const InternetConnection&) = delete;
    InternetConnection& operator=(const InternetConnection&) = delete;
    // Uninitializes a connection that is still initialized.
    ~InternetConnection();

    // Creates and initializes the connection; `options` as for the connection (null: it
    // creates its own store). A failure leaves the holder not initialized.
    unsigned Initialize(ConnectionOptions* options);
    // Uninitializes and destroys the connection; returns the connection's result.
    unsigned Uninitialize();

    unsigned SetStringOption(int32_t id, const std::wstring& value);
    unsigned SetLongOption(int32_t id, long value);
    // The pointer is stored, not owned.
    unsigned SetPointerOption(int32_t id, void* value);
    unsigned Perform();
    unsigned GetResponseCode(long* code);
    // See InternetConnectionBase::ConfigureTransfer.
    unsigned ConfigureTransfer(void* handle, const std::string& url);

    bool IsInitialized() const { return m_initialized; }
    // The connection's reason for the last failed Perform; empty when not initialized.
    std::string LastErrorText() const;
    // The redirect target the last Perform refused because it would have left https://;
    // empty otherwise.
    std::string RefusedRedirect() const;

private:
    UpdateNew::InternetConnectionBase* m_connection = nullptr;  // owned
    bool m_initialized = false;
};

}  // namespace UpdateNew
