#include "download/DownloadNames.h"

#include <cwchar>
#include <vector>

#include "base/PathUtils.h"
#include "base/StringUtils.h"
#include "config/UpdateUri.h"

namespace UpdateNew {

const wchar_t* const kGzSuffix = L".gz";

namespace {

bool EndsWithNoCase(const std::wstring& text, const std::wstring& lowerEnding) {
    return text.size() >= lowerEnding.size() &&
           ToLower(text.substr(text.size() - lowerEnding.size())) == lowerEnding;
}

// The path with every empty, "." and ".." component dropped, starting with "/".
std::wstring ConfinedPath(const std::wstring& path) {
    std::wstring out;
    for (const std::wstring& part : Split(ToSlashes(path), L"/", false, true)) {
        if (part == L"." || part == L"..") continue;
        out += L'/';
        out += part;
    }
    return out;
}

}  // namespace

std::wstring ProductInfoRemoteName(const std::wstring& defaultAddress,
                                   const std::wstring& givenName) {
    if (givenName.empty()) return defaultAddress;
    std::wstring name = givenName;
    if (name.size() > 5) {
        if (EndsWithNoCase(name, L".upd"))
            name = name.substr(0, name.size() - 4) + L".info.gz";
        else if (EndsWithNoCase(name, L".info"))
            name += kGzSuffix;
    }
    const size_t slash = defaultAddress.rfind(L'/');
    if (slash == std::wstring::npos) return name;
    return defaultAddress.substr(0, slash + 1) + name;
}

std::wstring LocalPathOfAddress(const std::wstring& tmpRoot, const std::wstring& address) {
    return JoinConfined(tmpRoot, UpdateUri::parse(address).path());
}

std::wstring JoinConfined(const std::wstring& root, const std::wstring& relative) {
    return JoinPath(root, ConfinedPath(relative));
}

std::wstring PathBelowServer(const std::wstring& server, const std::wstring& address) {
    std::wstring base = ToSlashes(server);
    while (!base.empty() && base.back() == L'/') base.pop_back();
    const std::wstring path = ToSlashes(address);
    if (!base.empty() && path.size() > base.size() + 1 && path.compare(0, base.size(), base) == 0 &&
        path[base.size()] == L'/')
        return ConfinedPath(path.substr(base.size())).substr(1);
    return GetLastComponent(path);
}

std::wstring ModuleFileRemoteName(const std::wstring& base, const std::wstring& source,
                                  const std::wstring& name) {
    return JoinPath(ToSlashes(base), ToSlashes(source), ToSlashes(name)) + kGzSuffix;
}

std::wstring ModuleFileLocalName(const std::wstring& downloadDir, const std::wstring& source,
                                 const std::wstring& name) {
    return JoinPath(ToSlashes(downloadDir), ToSlashes(source), ToSlashes(name));
}

std::wstring PatchName(const std::wstring& gzName, const std::wstring& baseMd5,
                       const std::wstring& targetMd5) {
    const size_t suffix = std::wcslen(kGzSuffix);
    const bool gz =
        gzName.size() >= suffix && gzName.compare(gzName.size() - suffix, suffix, kGzSuffix) == 0;
    return (gz ? gzName.substr(0, gzName.size() - suffix) : gzName) + L"." + baseMd5 + L"-" +
           targetMd5 + L".patch";
}

}  // namespace UpdateNew
