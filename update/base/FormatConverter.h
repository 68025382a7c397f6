// Turns the program's wide printf formats ("%s"/"%c" take wide arguments, "%S"/"%C"
// narrow ones) into the C library's wide printf convention ("%ls"/"%lc" wide, "%s"/"%c"
// narrow). Built on the stack for one format; copies the format only when it must change.
#pragma once

#include <string>

namespace UpdateNew {

class FormatConverter {
public:
    explicit FormatConverter(const wchar_t* format);
    FormatConverter(const FormatConverter&) = delete;
    FormatConverter& operator=(const FormatConverter&) = delete;

    // The converted format: the caller's own text when nothing changed. Valid while both
    // this object and the caller's format live.
    const wchar_t* c_str() const { return m_fmtOrig ? m_fmtOrig : m_fmt.c_str(); }
    // True when the format had to be rewritten.
    bool copied() const { return m_fmtOrig == nullptr; }

private:
    void Accept(wchar_t c);
    void CopyAllBefore();

    std::wstring m_fmt;
    const wchar_t* m_fmtOrig;
    size_t m_count = 0;
};

}  // namespace UpdateNew
