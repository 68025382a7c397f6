#include "config/UpdateUri.h"

#include <unistd.h>

#include <climits>
#include <cwctype>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"

namespace UpdateNew {

namespace {

std::wstring Trim(const std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) return std::wstring();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// Backslashes to slashes, runs of slashes to one.
std::wstring NormalizePath(const std::wstring& path) {
    std::wstring out;
    out.reserve(path.size());
    for (wchar_t c : path) {
        if (c == L'\\') c = L'/';
        if (c == L'/' && !out.empty() && out.back() == L'/') continue;
        out.push_back(c);
    }
    return out;
}

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Percent-encodes every byte outside the unreserved set and `keep`.
std::wstring Encode(const std::string& bytes, const char* keep) {
    static const char hex[] = "0123456789ABCDEF";
    std::wstring out;
    for (unsigned char c : bytes) {
        bool plain = IsUnreserved(c);
        for (const char* k = keep; !plain && *k; ++k) plain = (c == static_cast<unsigned char>(*k));
        if (plain) {
            out.push_back(static_cast<wchar_t>(c));
        } else {
            out.push_back(L'%');
            out.push_back(static_cast<wchar_t>(hex[c >> 4]));
            out.push_back(static_cast<wchar_t>(hex[c & 0xF]));
        }
    }
    return out;
}

}  // namespace

UpdateUri UpdateUri::parse(const std::wstring& text) {
    UpdateUri uri;
    uri.m_text = text;
    const std::wstring trimmed = Trim(text);
    size_t sep = trimmed.find(L"://");
    if (sep == std::wstring::npos) {
        uri.m_path = NormalizePath(trimmed);
        return uri;
    }
    for (wchar_t c : trimmed.substr(0, sep)) {
        uri.m_scheme.push_back(static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))));
    }
    std::wstring rest = trimmed.substr(sep + 3);
    if (uri.m_scheme == L"file") {
        // file:///dir and file://localhost/dir name the local path /dir.
        if (rest.compare(0, 10, L"localhost/") == 0) rest.erase(0, 9);
        uri.m_path = NormalizePath(rest);
        return uri;
    }
    uri.m_kind = kUrlServer;
    size_t pathStart = rest.find_first_of(L"/\\?#");
    uri.m_host = rest.substr(0, pathStart);
    if (pathStart != std::wstring::npos) {
        std::wstring path = rest.substr(pathStart);
        size_t query = path.find_first_of(L"?#");
        uri.m_path = NormalizePath(path.substr(0, query));
        if (query != std::wstring::npos) uri.m_path += path.substr(query);
    }
    return uri;
}

std::wstring UpdateUri::normalizeUrl(const std::wstring& text) {
    return parse(text).transferUrl();
}

std::wstring UpdateUri::address() const {
    if (m_kind == kShare) return m_path;
    return m_scheme + L"://" + m_host + m_path;
}

std::wstring UpdateUri::transferUrl() const {
    if (m_kind == kShare) {
        std::wstring path = m_path;
        if (path.empty() || path.front() != L'/') {
            char cwd[PATH_MAX];
            if (getcwd(cwd, sizeof cwd)) {
                std::wstring dir = FromMultibyte(cwd);
                if (dir.empty() || dir.back() != L'/') dir.push_back(L'/');
                path = dir + path;
            }
        }
        // File names are bytes in the locale's encoding; the URL carries exactly those. A
        // name without such bytes would leave "file://" alone, and its server blamed.
        std::string bytes;
        if (!WideToMultibyte(path, bytes)) THROW_CRITICAL(Msg<1243>(path), ERR_GENERIC);
        return L"file://" + Encode(bytes, "/!$&'()*+,;=:@");
    }
    // A URL may arrive already encoded: "%", "?" and "#" keep their meaning.
    return m_scheme + L"://" + m_host + Encode(WideToUtf8(m_path), "/!$&'()*+,;=:@%?#[]");
}

}  // namespace UpdateNew
