#include "base/Exception.h"

#include "base/Conv.h"

namespace UpdateNew {

namespace {
std::wstring OrEmpty(const wchar_t* text) {
    return text ? std::wstring(text) : std::wstring();
}
}  // namespace

Exception::Exception(const wchar_t* message, int code, const wchar_t* file, int line)
    : Exception(OrEmpty(message), code, file, line) {}

Exception::Exception(const std::wstring& message, int code, const wchar_t* file, int line)
    : m_narrow(ToMultibyte(message)),
      m_message(message),
      m_code(code),
      m_file(OrEmpty(file)),
      m_line(line) {}

Exception::Exception(const std::exception& cause, int code, const wchar_t* file, int line)
    : m_narrow(cause.what() ? cause.what() : ""),
      m_message(FromMultibyte(m_narrow)),
      m_code(code),
      m_file(OrEmpty(file)),
      m_line(line) {}

Exception::~Exception() = default;

const char* Exception::what() const noexcept {
    return m_narrow.c_str();
}

const wchar_t* Exception::twhat() const noexcept {
    return m_message.c_str();
}

CUpdateCriticalException::~CUpdateCriticalException() = default;

}  // namespace UpdateNew
