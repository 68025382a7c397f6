#include "base/StringUtils.h"

#include <climits>
#include <cwchar>
#include <cwctype>

#include "base/Conv.h"

namespace UpdateNew {

const wchar_t* const kTrimBlanks = L" \t\r\n";
const wchar_t* const kTrimAllSpace = L" \t\r\n\v\f";

std::wstring Trim(const std::wstring& text, int sides, const wchar_t* chars) {
    if (chars == nullptr) chars = kTrimBlanks;
    size_t first = 0;
    size_t last = text.size();
    if (sides & TRIM_LEFT) {
        first = text.find_first_not_of(chars);
        if (first == std::wstring::npos) return std::wstring();
    }
    if (sides & TRIM_RIGHT) {
        size_t pos = text.find_last_not_of(chars);
        if (pos == std::wstring::npos) return std::wstring();
        last = pos + 1;
    }
    return text.substr(first, last - first);
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::wstring ToLower(const std::wstring& text) {
    EnsureLocale();
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return out;
}

std::wstring ToUpper(const std::wstring& text) {
    EnsureLocale();
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return out;
}

std::wstring ReplaceAll(const std::wstring& text, const std::wstring& what,
                        const std::wstring& with) {
    if (what.empty()) return text;
    std::wstring out;
    out.reserve(text.size());
    size_t from = 0;
    for (size_t pos; (pos = text.find(what, from)) != std::wstring::npos;
         from = pos + what.size()) {
        out.append(text, from, pos - from);
        out.append(with);
    }
    out.append(text, from, std::wstring::npos);
    return out;
}

std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& separators,
                                bool honourQuotes, bool skipEmpty) {
    std::vector<std::wstring> parts;
    std::wstring current;
    bool inQuotes = false;
    auto finish = [&] {
        if (!(skipEmpty && current.empty())) parts.push_back(current);
        current.clear();
    };
    for (wchar_t c : text) {
        if (honourQuotes && c == L'"') {
            inQuotes = !inQuotes;
            current.push_back(c);
        } else if (!inQuotes && separators.find(c) != std::wstring::npos) {
            finish();
        } else {
            current.push_back(c);
        }
    }
    finish();
    return parts;
}

std::string Utf8ToAscii(const std::string& utf8) {
    EnsureLocale();
    std::wstring wide = Utf8ToWide(utf8);
    std::string out;
    out.reserve(wide.size());
    std::mbstate_t state{};
    char buf[MB_LEN_MAX];
    for (wchar_t c : wide) {
        size_t n = (c == L'\xFFFD') ? static_cast<size_t>(-1) : std::wcrtomb(buf, c, &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            out.push_back('?');
        } else {
            out.append(buf, n);
        }
    }
    return out;
}

}  // namespace UpdateNew
