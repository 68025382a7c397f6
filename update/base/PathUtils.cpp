#include "base/PathUtils.h"

#include <algorithm>

namespace UpdateNew {

std::wstring JoinPath(const std::wstring& a, const std::wstring& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    const bool aSlash = a.back() == L'/';
    const bool bSlash = b.front() == L'/';
    // Built in one allocation: paths are joined for every file of a product.
    std::wstring out;
    out.reserve(a.size() + b.size() + 1);
    out += a;
    if (!aSlash && !bSlash) out += L'/';
    out.append(b, aSlash && bSlash ? 1 : 0, std::wstring::npos);
    return out;
}

std::wstring JoinPath(const std::wstring& a, const std::wstring& b, const std::wstring& c) {
    return JoinPath(JoinPath(a, b), c);
}

std::wstring GetDirPart(const std::wstring& path) {
    size_t pos = path.rfind(L'/');
    return pos == std::wstring::npos ? std::wstring() : path.substr(0, pos);
}

std::wstring GetLastComponent(const std::wstring& path) {
    size_t pos = path.rfind(L'/');
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

std::wstring GetProgramPart(const std::wstring& commandLine) {
    if (!commandLine.empty() && commandLine[0] == L'"') {
        const size_t close = commandLine.find(L'"', 1);
        return commandLine.substr(0, close == std::wstring::npos ? close : close + 1);
    }
    return commandLine.substr(0, commandLine.find(L' '));
}

std::wstring ToSlashes(const std::wstring& path) {
    std::wstring out(path);
    std::replace(out.begin(), out.end(), L'\\', L'/');
    return out;
}

std::wstring WithoutTrailingSlash(std::wstring path) {
    while (path.size() > 1 && path.back() == L'/') path.pop_back();
    return path;
}

namespace {

template <typename String>
String Lexical(const String& path) {
    using Char = typename String::value_type;
    String out;
    out.reserve(path.size());
    size_t at = 0;
    while (at < path.size()) {
        const size_t end = std::min(path.find(Char('/'), at), path.size());
        const size_t size = end - at;
        const bool dot = size == 1 && path[at] == Char('.');
        if (size > 0 && !dot) {
            if (!out.empty() && out.back() != Char('/')) out.push_back(Char('/'));
            out.append(path, at, size);
        } else if (out.empty() && at == 0 && path[0] == Char('/')) {
            out.push_back(Char('/'));
        }
        at = end + 1;
    }
    // "." alone, or "./", is the directory itself.
    if (out.empty() && !path.empty()) out.push_back(path[0] == Char('/') ? Char('/') : Char('.'));
    return out;
}

}  // namespace

std::wstring LexicalPath(const std::wstring& path) {
    return Lexical(path);
}

std::string LexicalPath(const std::string& path) {
    return Lexical(path);
}

bool PathHolds(std::wstring outer, std::wstring inner) {
    if (outer.empty() || outer.back() != L'/') outer.push_back(L'/');
    if (inner.empty() || inner.back() != L'/') inner.push_back(L'/');
    return inner.compare(0, outer.size(), outer) == 0;
}

bool IsContainedPath(const std::wstring& path) {
    if (!path.empty() && (path[0] == L'/' || path[0] == L'\\')) return false;
    // Each component is looked at as its separator is met: no ".." among them.
    size_t start = 0;
    for (size_t i = 0;; ++i) {
        if (i < path.size() && path[i] != L'/' && path[i] != L'\\') continue;
        if (i - start == 2 && path[start] == L'.' && path[start + 1] == L'.') return false;
        if (i >= path.size()) return true;
        start = i + 1;
    }
}

}  // namespace UpdateNew
