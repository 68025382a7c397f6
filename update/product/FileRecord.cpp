#include "product/FileRecord.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "base/Conv.h"

namespace UpdateNew {

namespace {

// The length of the longest start of `utf8` that is whole characters and at most `limit`
// bytes.
size_t WholeCharacters(const std::string& utf8, size_t limit) {
    if (utf8.size() <= limit) return utf8.size();
    size_t n = limit;
    // Back to the start of the character cut at `limit` (continuation bytes are 10xxxxxx).
    while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
    return n;
}

void Fill(wchar_t (&out)[UpdateFileInfo::kMd5Size], const DigestText& digest) {
    const std::wstring wide = digest.wide();
    const size_t n = std::min(wide.size(), static_cast<size_t>(UpdateFileInfo::kMd5Size - 1));
    std::wmemcpy(out, wide.data(), n);
    out[n] = L'\0';
}

}  // namespace

void DigestText::assign(const std::wstring& text) {
    // One pass copies and finds out whether the text is ASCII, as nearly every one is.
    const size_t n = std::min(text.size(), kMaxBytes);
    unsigned long all = 0;
    for (size_t i = 0; i < n; ++i) {
        all |= static_cast<unsigned long>(text[i]);
        m_text[i] = static_cast<char>(text[i]);
    }
    m_text[n] = '\0';
    if (all < 0x80) return;
    // As the interface's array would: at most 32 characters, then as many as fit in bytes.
    const std::string utf8 = WideToUtf8(text.substr(0, kMaxBytes));
    const size_t bytes = WholeCharacters(utf8, kMaxBytes);
    std::memcpy(m_text, utf8.data(), bytes);
    m_text[bytes] = '\0';
}

std::wstring DigestText::wide() const {
    return Utf8ToWide(m_text);
}

bool DigestText::equals(const std::wstring& text) const {
    size_t i = 0;
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(m_text[i]);
        if (c == '\0' || c >= 0x80) break;
        if (static_cast<wchar_t>(c) != text[i]) return false;
    }
    if (i == text.size()) return m_text[i] == '\0';
    return m_text[i] != '\0' && wide() == text;
}

void FileRecord::toPluginInfo(UpdateFileInfo& out) const {
    out.zipsize = zipsize;
    out.filesize = filesize;
    Fill(out.zipmd5, zipmd5);
    Fill(out.filemd5, filemd5);
    Fill(out.pefilemd5, pefilemd5);
    out.version = version;
    out.name = name;
    out.os = os;
    out.needsupdate = needsupdate;
}

}  // namespace UpdateNew
