#include "run/VersionReport.h"

#include <vector>

#include "base/Conv.h"
#include "base/Messages.h"
#include "codec/CheckedTextFile.h"
#include "download/ReleaseChoice.h"
#include "product/UpdateInfo.h"

namespace UpdateNew {

namespace {

// The value of the first "key=value" line with this key; empty when there is none.
std::wstring IndexValue(const std::vector<std::string>& lines, const std::string& key) {
    for (const std::string& line : lines)
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return Utf8ToWide(line.substr(key.size() + 1));
    return std::wstring();
}

// The text as the console can show it: a locale without the arrow gets "->".
std::wstring Showable(std::wstring text) {
    std::string bytes;
    if (WideToMultibyte(text, bytes)) return text;
    const size_t arrow = text.find(L'\u2192');
    if (arrow != std::wstring::npos) text.replace(arrow, 1, L"->");
    return text;
}

}  // namespace

void VersionReport::readKeptIndex(const std::wstring& keptIndex) {
    if (m_read) return;
    m_read = true;
    const std::wstring record = ReleaseRecordPath(keptIndex);
    m_version = Utf8ToWide(ReadRecordValue(record, "version"));
    if (!m_version.empty()) {
        m_name = Utf8ToWide(ReadRecordValue(record, "product"));
        return;
    }
    std::vector<std::string> lines;
    if (ReadCheckedTextFile(keptIndex, lines) >= 0) {
        m_name = IndexValue(lines, "product");
        m_version = IndexValue(lines, "version");
    }
}

std::wstring VersionReport::line(const UpdateInfo& product, bool installed,
                                 bool afterSelfUpdate) const {
    const std::wstring& name = product.name.empty() ? m_name : product.name;
    // Nothing was read (the index did not change): the product is as the kept index says.
    const std::wstring& now = product.version.empty() ? m_version : product.version;
    if (name.empty() || now.empty()) return std::wstring();
    if (installed && (afterSelfUpdate || m_version.empty())) return Msg<856>(name, now);
    if (installed && m_version != now) return Showable(Msg<854>(name, m_version, now));
    return Msg<855>(name, now);
}

}  // namespace UpdateNew
