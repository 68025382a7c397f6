#include "product/UpdateOSChecker.h"

#include <cwctype>

namespace UpdateNew {

namespace {

struct SystemCodeRow {
    uint32_t code;
    wchar_t token[16];
};

// Concrete systems by system code; the row with code 0xffffffff ends the table.
const SystemCodeRow kSystemCodes[] = {
    {0x2, L"WIN95A"},           {0x4, L"WIN95B"},           {0x8, L"WIN95C"},
    {0x10, L"WIN98FE"},         {0x20, L"WIN98SE"},         {0x40, L"WINME"},
    {0x100, L"WINNT300W"},      {0x80000100, L"WINNT300S"}, {0x200, L"WINNT350W"},
    {0x80000200, L"WINNT350S"}, {0x400, L"WIN351W"},        {0x80000400, L"WIN351S"},
    {0x800, L"WINNT4W"},        {0x80000800, L"WINNT4S"},   {0x1000, L"WIN2KW"},
    {0x80001000, L"WIN2KS"},    {0x2000, L"WINXP"},         {0x80002000, L"WIN2K3"},
    {0x80008000, L"UNIX"},      {0xffffffff, L""},
};

// The platform query of this system reports the platform value 100 (POSIX).
constexpr int kPlatformPosix = 100;
constexpr uint32_t kCodePosix = 0x80008000;

std::wstring Upper(const std::wstring& text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return out;
}

}  // namespace

CUpdateOSChecker::CUpdateOSChecker() {
    static const wchar_t* const kTree[][2] = {
        {L"ALL", L""},
        {L"UNIX", L"ALL"},
        {L"WIN9XFAM", L"ALL"},
        {L"WIN95", L"WIN9XFAM"},
        {L"WIN95A", L"WIN95"},
        {L"WIN95B", L"WIN95"},
        {L"WIN95C", L"WIN95"},
        {L"WIN98", L"WIN9XFAM"},
        {L"WIN98FE", L"WIN98"},
        {L"WIN98SE", L"WIN98"},
        {L"WINME", L"WIN9XFAM"},
        {L"WINNTFAM", L"ALL"},
        {L"WINNT", L"WINNTFAM"},
        {L"WINNT300", L"WINNT"},
        {L"WINNT300W", L"WINNT300"},
        {L"WINNT300S", L"WINNT300"},
        {L"WINNT350", L"WINNT"},
        {L"WINNT350W", L"WINNT350"},
        {L"WINNT350S", L"WINNT350"},
        {L"WINNT351", L"WINNT"},
        {L"WIN351W", L"WINNT351"},
        {L"WIN351S", L"WINNT351"},
        {L"WINNT4", L"WINNT"},
        {L"WINNT4W", L"WINNT4"},
        {L"WINNT4S", L"WINNT4"},
        {L"WIN2K", L"WINNTFAM"},
        {L"WIN2KW", L"WIN2K"},
        {L"WIN2KS", L"WIN2K"},
        {L"WINXP", L"WINNTFAM"},
        {L"WIN2K3", L"WINNTFAM"},
    };
    for (const auto& row : kTree) m_tree.emplace(row[0], row[1]);
}

CUpdateOSChecker::~CUpdateOSChecker() = default;

uint32_t CUpdateOSChecker::systemCode() {
    const int platform = kPlatformPosix;
    return platform == kPlatformPosix ? kCodePosix : 0;
}

std::wstring CUpdateOSChecker::tokenForCode(uint32_t code) {
    for (const SystemCodeRow* row = kSystemCodes; row->code != 0xffffffff; ++row) {
        if (row->code == code) return row->token;
    }
    return std::wstring();
}

std::wstring CUpdateOSChecker::currentOs() const {
    return tokenForCode(systemCode());
}

bool CUpdateOSChecker::isKnown(const std::wstring& token) const {
    return m_tree.count(Upper(token)) != 0;
}

std::wstring CUpdateOSChecker::parentOf(const std::wstring& token) const {
    auto it = m_tree.find(Upper(token));
    return it == m_tree.end() ? std::wstring() : it->second;
}

std::set<std::wstring> CUpdateOSChecker::upperSet(const std::wstring& list) const {
    std::set<std::wstring> pieces;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(L',', start);
        pieces.insert(
            Upper(list.substr(start, comma == std::wstring::npos ? comma : comma - start)));
        if (comma == std::wstring::npos) break;
        start = comma + 1;
    }
    return pieces;
}

bool CUpdateOSChecker::isValidList(const std::wstring& list) const {
    for (const std::wstring& piece : upperSet(list)) {
        if (!m_tree.count(piece)) return false;
    }
    return true;
}

bool CUpdateOSChecker::matches(const std::wstring& list) const {
    std::wstring token = Upper(currentOs());
    if (token.empty()) return false;
    const std::set<std::wstring> wanted = upperSet(list);
    // Walk from the running system up to the root; the tree has no cycles, and each
    // step moves to a token closer to "ALL", whose parent "" is not in the tree.
    for (;;) {
        auto it = m_tree.find(token);
        if (it == m_tree.end()) return false;
        if (wanted.count(token)) return true;
        token = it->second;
    }
}

bool CUpdateOSChecker::splitOsSuffix(const std::wstring& text, std::wstring& value,
                                     std::wstring& list) const {
    list = L"ALL";
    const size_t pos = text.find(L";OS");
    if (pos == std::wstring::npos) {
        value = text;
        return true;
    }
    value = text.substr(0, pos);
    const std::wstring suffix = text.substr(pos + 1);
    const size_t eq = suffix.find(L'=');
    if (eq == std::wstring::npos || suffix.find(L'=', eq + 1) != std::wstring::npos) return false;
    if (Upper(suffix.substr(0, eq)) != L"OS") return false;
    list = suffix.substr(eq + 1);
    return isValidList(list);
}

}  // namespace UpdateNew
