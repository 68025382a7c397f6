#include "base/LQMResWrap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/Conv.h"
#include "base/Exception.h"
#include "msgres/MsgRes.h"

namespace UpdateNew {

CLQMsgTable g_cLibMsgTable;
CLQMsgTable g_cMsgTable;

namespace {

// The shipped message file and the code must agree; when they do not, or a caller
// breaks a precondition, no sensible text can be produced and the process ends with
// a diagnostic instead of showing garbage.
[[noreturn]] void InternalFailure(const char* what, unsigned number, int result) {
    std::fprintf(stderr, "updater: internal failure: %s (message %u, result %d)\n", what, number,
                 result);
    std::fflush(stderr);
    std::abort();
}

wchar_t* CopyText(const wchar_t* text) {
    const std::size_t n = std::wcslen(text) + 1;
    auto* copy = static_cast<wchar_t*>(std::malloc(n * sizeof(wchar_t)));
    if (!copy) InternalFailure("out of memory for a message parameter", 0, -1);
    std::wmemcpy(copy, text, n);
    return copy;
}

// `value` through a wide printf format, as a text of its own. A result longer than 33
// characters is cut (swprintf then reports -1).
template <typename T>
wchar_t* FormatText(const wchar_t* format, T value) {
    wchar_t buf[34] = {};
    if (std::swprintf(buf, 34, format, value) < 0) buf[33] = L'\0';
    return CopyText(buf);
}

// Integers are written in decimal only; any other radix is a caller error.
template <typename T>
wchar_t* FormatInteger(const wchar_t* format, T value, int radix) {
    if (radix != 10) InternalFailure("message parameter radix other than 10", 0, radix);
    return FormatText(format, value);
}

}  // namespace

CLQMsgParam::CLQMsgParam(const wchar_t* text) : m_pszText(text) {
    if (!text) InternalFailure("null text as message parameter", 0, -1);
}
CLQMsgParam::CLQMsgParam(const std::wstring& text) : m_pszText(text.c_str()) {}
CLQMsgParam::CLQMsgParam(int value, int radix)
    : CLQMsgParam(Owned(), FormatInteger(L"%i", value, radix)) {}
CLQMsgParam::CLQMsgParam(long value, int radix)
    : CLQMsgParam(Owned(), FormatInteger(L"%li", value, radix)) {}
CLQMsgParam::CLQMsgParam(long long value, int radix)
    : CLQMsgParam(Owned(), FormatInteger(L"%lli", value, radix)) {}
CLQMsgParam::CLQMsgParam(unsigned int value, int radix)
    : CLQMsgParam(Owned(), FormatInteger(L"%lu", static_cast<unsigned long>(value), radix)) {}
CLQMsgParam::CLQMsgParam(unsigned long value, int radix)
    : CLQMsgParam(Owned(), FormatInteger(L"%lu", value, radix)) {}
CLQMsgParam::CLQMsgParam(unsigned long long value, int radix)
    : CLQMsgParam(Owned(), FormatInteger(L"%llu", value, radix)) {}

CLQMsgParam::CLQMsgParam(wchar_t c) : CLQMsgParam(Owned(), FormatText(L"%lc", c)) {}

CLQMsgParam::CLQMsgParam(const void* pointer) : CLQMsgParam(Owned(), FormatText(L"%p", pointer)) {}

CLQMsgParam::CLQMsgParam(double value, const wchar_t* format)
    : CLQMsgParam(Owned(), FormatText(format ? format : L"", value)) {
    if (!format) InternalFailure("null format for a message parameter", 0, -1);
}

CLQMsgParam::CLQMsgParam(const CLQMsgParam& other)
    : CLQMsgParam(Owned(), CopyText(other.m_pszText)) {}

CLQMsgParam& CLQMsgParam::operator=(const CLQMsgParam& other) {
    if (this != &other) {
        wchar_t* copy = CopyText(other.m_pszText);
        std::free(m_owned);
        m_pszText = m_owned = copy;
    }
    return *this;
}

CLQMsgParam::~CLQMsgParam() {
    std::free(m_owned);
}

CLQMsgTable::~CLQMsgTable() {
    if (m_handle) MsgResClose(m_handle);
}

void CLQMsgTable::Init(const wchar_t* path) {
    const std::wstring widePath = path ? path : L"";
    void* handle = nullptr;
    const int result = MsgResOpen(ToMultibyte(widePath).c_str(), &handle);
    if (result != 0) throw Exception(L"Failed to load " + widePath, result);
    if (!handle) InternalFailure("message file loaded without a handle", 0, result);
    // A second Init replaces the table; the old one is released.
    if (m_handle) MsgResClose(m_handle);
    m_handle = handle;
}

namespace {

// Formats through the library with every parameter as wide text; only 0 is accepted.
wchar_t* Format(void* handle, unsigned number, int count, const wchar_t* p1 = nullptr,
                const wchar_t* p2 = nullptr, const wchar_t* p3 = nullptr,
                const wchar_t* p4 = nullptr) {
    if (!handle) InternalFailure("message table not loaded", number, -7);
    wchar_t* text = nullptr;
    const int t = 7;  // wide string
    const int result = MsgResFormat(handle, number, count, &text, 0, t, p1, t, p2, t, p3, t, p4);
    if (result != 0 || !text) {
        std::free(text);
        InternalFailure(result == -4   ? "no such message in the message file"
                        : result == -6 ? "parameter count differs from the message file"
                                       : "message formatting failed",
                        number, result);
    }
    return text;
}

}  // namespace

CLQMsg::CLQMsg(void* handle, unsigned number) : m_pszText(Format(handle, number, 0)) {}
CLQMsg::CLQMsg(void* handle, unsigned number, const CLQMsgParam& p1)
    : m_pszText(Format(handle, number, 1, p1.text())) {}
CLQMsg::CLQMsg(void* handle, unsigned number, const CLQMsgParam& p1, const CLQMsgParam& p2)
    : m_pszText(Format(handle, number, 2, p1.text(), p2.text())) {}
CLQMsg::CLQMsg(void* handle, unsigned number, const CLQMsgParam& p1, const CLQMsgParam& p2,
               const CLQMsgParam& p3)
    : m_pszText(Format(handle, number, 3, p1.text(), p2.text(), p3.text())) {}
CLQMsg::CLQMsg(void* handle, unsigned number, const CLQMsgParam& p1, const CLQMsgParam& p2,
               const CLQMsgParam& p3, const CLQMsgParam& p4)
    : m_pszText(Format(handle, number, 4, p1.text(), p2.text(), p3.text(), p4.text())) {}

CLQMsg::~CLQMsg() {
    std::free(m_pszText);
}

}  // namespace UpdateNew
