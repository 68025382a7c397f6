#include "base/FormatConverter.h"

#include <cassert>
#include <cwchar>

namespace UpdateNew {

namespace {
bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}
}  // namespace

FormatConverter::FormatConverter(const wchar_t* format) : m_fmtOrig(format) {
    if (!format) {
        m_fmtOrig = L"";
        return;
    }
    const wchar_t* p = format;
    while (*p) {
        const wchar_t c = *p++;
        Accept(c);
        if (c != L'%') continue;

        while (*p && std::wcschr(L"-+0 #", *p)) Accept(*p++);
        if (*p == L'*') {
            Accept(*p++);
        } else {
            while (IsDigit(*p)) Accept(*p++);
        }
        if (*p == L'.') {
            Accept(*p++);
            if (*p == L'*') {
                Accept(*p++);
            } else {
                while (IsDigit(*p)) Accept(*p++);
            }
        }

        // A size prefix is held back until the conversion says what becomes of it;
        // "ll" is no prefix: its first "l" passes as the conversion character.
        wchar_t size = 0;
        if (*p == L'h') {
            size = *p++;
        } else if (*p == L'l' && p[1] != L'l') {
            size = *p++;
        }
        const wchar_t conv = *p;
        if (!conv) {
            if (size) Accept(size);
            break;
        }
        ++p;
        if (conv == L'S' || conv == L'C') {
            if (size == L'l') Accept(size);
            CopyAllBefore();
            Accept(conv == L'S' ? L's' : L'c');
        } else if ((conv == L's' || conv == L'c') && !size) {
            CopyAllBefore();
            Accept(L'l');
            Accept(conv);
        } else {
            if (size) Accept(size);
            Accept(conv);
        }
    }
}

void FormatConverter::Accept(wchar_t c) {
    if (m_fmtOrig)
        ++m_count;
    else
        m_fmt.push_back(c);
}

void FormatConverter::CopyAllBefore() {
    if (!m_fmtOrig) return;
    assert(m_fmt.empty());
    m_fmt.assign(m_fmtOrig, m_count);
    m_fmtOrig = nullptr;
}

}  // namespace UpdateNew
