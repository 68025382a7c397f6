// The updater's error model. The class of an exception decides how the update run
// reacts (plain Exception: drop the server and try the next one; critical: roll back
// and end; plug-in: end with ERR_PLUGIN_INVALID_EXIT_CODE); the code is what gets reported.
#pragma once

#include <exception>
#include <string>

#include "common/UpdateErrors.h"
#include "update/PluginException.h"  // CPluginException, part of the plug-in SDK

namespace UpdateNew {

class Exception : public std::exception {
public:
    // A null message or file means the empty text; line -1 means "not given".
    Exception(const wchar_t* message, int code = -1, const wchar_t* file = nullptr, int line = -1);
    Exception(const std::wstring& message, int code = -1, const wchar_t* file = nullptr,
              int line = -1);
    // Takes both texts from the cause's what().
    Exception(const std::exception& cause, int code = -1, const wchar_t* file = nullptr,
              int line = -1);
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    ~Exception() override;

    // The message in the locale's multibyte encoding.
    const char* what() const noexcept override;
    virtual const wchar_t* twhat() const noexcept;

    int code() const { return m_code; }
    const std::wstring& file() const { return m_file; }
    int line() const { return m_line; }
    const std::wstring& details() const { return m_details; }
    void setDetails(const std::wstring& details) { m_details = details; }
    // Whether the failure lies on this machine (a file that cannot be written, a full
    // disk) rather than with the server that was being used.
    bool local() const { return m_local; }
    void setLocal(bool local) { m_local = local; }

private:
    std::string m_narrow;
    std::wstring m_message;
    int m_code;
    std::wstring m_file;
    int m_line;
    std::wstring m_details;
    bool m_local = false;
};

// A failure that ends the run after the active phase is rolled back.
class CUpdateCriticalException : public Exception {
public:
    using Exception::Exception;
    ~CUpdateCriticalException() override;
};

// The raising source file as a wide literal, relative to the source tree.
#define UPD_WIDEN2(x) L##x
#define UPD_WIDEN(x) UPD_WIDEN2(x)
#define UPD_FILE UPD_WIDEN(__FILE__)

// Throw a critical exception that names this source line.
#define THROW_CRITICAL(message, code) \
    throw CUpdateCriticalException((message), (code), UPD_FILE, __LINE__)
// Throw a non-critical exception that names this source line.
#define THROW_ERROR(message, code) throw Exception((message), (code), UPD_FILE, __LINE__)

}  // namespace UpdateNew
