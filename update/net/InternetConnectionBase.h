// The transport's connection interface: an option store plus one transfer at a time.
// Every operation returns a numeric code (0 success) and prints a short English
// diagnostic on failure; nothing is thrown. The layers above turn codes into exceptions.
#pragma once

#include <string>

#include "net/ConnectionOptions.h"

namespace UpdateNew {

// Result codes shared by every connection layer besides libcurl's own codes.
enum ConnectionResult : unsigned {
    CONNECTION_OK = 0,
    CONNECTION_NO_MEMORY = 1,
    CONNECTION_CONVERSION = 2,  // a wide text has no multibyte form
    CONNECTION_NOT_INITIALIZED = 5,
    CONNECTION_INIT_FAILED = 100608,  // libcurl could not start
    CONNECTION_HTTP_ERROR = 100612,   // the server answered with an error status
};

// Prints one diagnostic line on standard output. The bytes go straight to the file
// descriptor (after flushing the C stream), so the diagnostic neither depends on nor
// changes the wide or narrow orientation of stdout that other output relies on.
void PrintConnectionDiagnostic(const wchar_t* text);

class InternetConnectionBase {
public:
    InternetConnectionBase() = default;
    InternetConnectionBase(const InternetConnectionBase&) = delete;
    InternetConnectionBase& operator=(const InternetConnectionBase&) = delete;
    // Frees the option store when the connection created it itself.
    virtual ~InternetConnectionBase();

    // `options` null: the connection creates and owns its own empty store; otherwise the
    // caller's store is used and must outlive the connection.
    virtual unsigned Initialize(ConnectionOptions* options) = 0;
    virtual unsigned Uninitialize() = 0;
    // Stores the value, converted to the locale's multibyte encoding, under `id`.
    virtual unsigned SetStringOption(int32_t id, const std::wstring& value) = 0;
    // Applies every stored option and runs one transfer.
    virtual unsigned Perform() = 0;
    // The last transfer's response code (HTTP status, or 0 when there was none).
    virtual unsigned GetResponseCode(long* code) = 0;
    // Applies the stored options except the URL and the write options to `handle`, a
    // transfer handle of the implementation that the caller owns, for a transfer of `url`:
    // transfers run side by side outside Perform behave like Perform's own.
    virtual unsigned ConfigureTransfer(void* handle, const std::string& url) = 0;

    bool IsInitialized() const { return m_initialized; }
    // The store in use; null before the first Initialize.
    ConnectionOptions* Options() const { return m_options; }
    // A human-readable reason for the last failed Perform (empty after a success).
    const std::string& LastErrorText() const { return m_errorText; }
    // The target of a redirect that the last Perform did not follow because it would have
    // left https:// (empty otherwise).
    const std::string& RefusedRedirect() const { return m_refusedRedirect; }

protected:
    bool m_initialized = false;
    ConnectionOptions* m_options = nullptr;
    bool m_ownsOptions = false;
    std::string m_errorText;
    std::string m_refusedRedirect;
};

}  // namespace UpdateNew
