#include "base/Conv.h"

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cwchar>

namespace UpdateNew {

void EnsureLocale() {
    static const bool done = [] {
        std::setlocale(LC_ALL, "");
        return true;
    }();
    (void)done;
}

namespace {

// The locales this program runs in all write the ASCII range as itself, one byte per
// character; texts made only of it (paths, digests, most log lines) skip the per-character
// conversion calls.
bool IsAscii(const std::string& in) {
    for (char c : in) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

bool WideToMultibyte(const std::wstring& in, std::string& out) {
    EnsureLocale();
    std::string result;
    // One pass for the common case; the first character outside ASCII starts the
    // locale's conversion over.
    result.resize(in.size());
    size_t i = 0;
    for (; i < in.size(); ++i) {
        const auto c = static_cast<unsigned long>(in[i]);
        if (c >= 0x80) break;
        result[i] = static_cast<char>(c);
    }
    if (i == in.size()) {
        out.swap(result);
        return true;
    }
    result.clear();
    result.reserve(in.size());
    std::mbstate_t state{};
    char buf[MB_LEN_MAX];
    for (wchar_t c : in) {
        size_t n = std::wcrtomb(buf, c, &state);
        if (n == static_cast<size_t>(-1)) return false;
        result.append(buf, n);
    }
    out.swap(result);
    return true;
}

bool MultibyteToWide(const std::string& in, std::wstring& out) {
    EnsureLocale();
    if (IsAscii(in)) {
        out.assign(in.begin(), in.end());
        return true;
    }
    std::wstring result;
    result.reserve(in.size());
    std::mbstate_t state{};
    const char* p = in.data();
    size_t left = in.size();
    while (left > 0) {
        wchar_t c;
        size_t n = std::mbrtowc(&c, p, left, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) return false;
        if (n == 0) n = 1;  // an embedded NUL byte
        result.push_back(c);
        p += n;
        left -= n;
    }
    out.swap(result);
    return true;
}

std::string ToMultibyte(const std::wstring& in) {
    std::string out;
    return WideToMultibyte(in, out) ? out : std::string();
}

std::wstring FromMultibyte(const std::string& in) {
    std::wstring out;
    return MultibyteToWide(in, out) ? out : std::wstring();
}

std::string WideToUtf8(const std::wstring& in) {
    std::string out;
    out.reserve(in.size());
    for (wchar_t wc : in) {
        auto c = static_cast<unsigned long>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring Utf8ToWide(const std::string& in) {
    if (IsAscii(in)) return std::wstring(in.begin(), in.end());
    std::wstring out;
    out.reserve(in.size());
    size_t i = 0;
    const size_t n = in.size();
    while (i < n) {
        auto b = static_cast<unsigned char>(in[i]);
        int extra;
        unsigned long c;
        if (b < 0x80) {
            extra = 0;
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            c = b & 0x07;
        } else {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= n) {
                ok = false;
                break;
            }
            auto cb = static_cast<unsigned char>(in[i + k]);
            if ((cb & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (cb & 0x3F);
        }
        if (!ok) {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        static const unsigned long kMin[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        out.push_back(static_cast<wchar_t>(c));
        i += extra + 1;
    }
    return out;
}

}  // namespace UpdateNew
