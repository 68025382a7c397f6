// One file entry of the product info as the run keeps it, from the reading of the document
// to the end of the run. The plug-in interface's UpdateFileInfo holds its three digests as
// wide text, 0.4 KiB a file; a product of hundreds of thousands of files keeps this record
// instead, whose digests are narrow, and hands a plug-in the interface's form (a copy that
// lives for the call) only when a plug-in is there to receive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "update/UpdateCallbackTypes.h"

namespace UpdateNew {

// A digest text of the product info (ZIPMD5, FILEMD5, PEFILEMD5): at most 32 characters,
// longer values are cut as the interface's 33-character arrays cut them. Kept as UTF-8;
// digests are ASCII, and a value with other characters (never a digest that matches
// anything) keeps as many whole characters as fit in 32 bytes.
class DigestText {
public:
    static constexpr size_t kMaxBytes = UpdateFileInfo::kMd5Size - 1;

    void assign(const std::wstring& text);
    std::wstring wide() const;
    // Whether `text` is this digest text exactly.
    bool equals(const std::wstring& text) const;
    // The text itself (UTF-8, NUL-terminated).
    const char* c_str() const { return m_text; }

private:
    char m_text[kMaxBytes + 1] = {};
};

inline bool operator==(const std::wstring& text, const DigestText& digest) {
    return digest.equals(text);
}
inline bool operator!=(const std::wstring& text, const DigestText& digest) {
    return !digest.equals(text);
}

struct FileRecord {
    uint32_t zipsize = 0;      // ZIPSIZE: size of the compressed file on the server
    uint32_t filesize = 0;     // FILESIZE: size of the installed file
    DigestText zipmd5;         // ZIPMD5: digest of the compressed file
    DigestText filemd5;        // FILEMD5: digest of the decompressed file
    DigestText pefilemd5;      // PEFILEMD5: digest the installed file must have
    bool needsupdate = false;  // set by the file check: download and install it
    bool config = false;       // CONFIG attribute: a configuration file the administrator may edit
    // What the file check decided for a configuration file edited since it was installed:
    // nothing special, keep it as it is, or keep it and write the new copy beside it.
    enum class ConfigCopy : uint8_t { kNone, kKeep, kBeside };
    ConfigCopy configCopy = ConfigCopy::kNone;
    // MODE attribute: the permission bits the product gives the file (kNoMode: none given,
    // the installed file gets 0755).
    static constexpr uint16_t kNoMode = 0xffff;
    uint16_t mode = kNoMode;
    std::wstring version;  // VERSION, usually empty
    std::wstring name;     // NAME: path relative to the module, then optional words
    std::wstring os;       // OS: the file's system tokens as written

    // The plug-in interface's form of the record, written into `out` (whose strings are
    // reused).
    void toPluginInfo(UpdateFileInfo& out) const;
};

}  // namespace UpdateNew
