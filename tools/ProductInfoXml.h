// Writing the product info document. The document is produced in three pieces so that its
// two self-describing lines can be computed: the body (everything the info-file digest
// covers), the DATE line, and the closing MD5 line that carries the digest of body + DATE
// line and closes the root element. The updater reads the MD5 line's value as the
// document's checksum (the document without that line) and skips the DATE and MD5 lines
// for the info-file digest, so both lines start at the beginning of a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProductDesc;
struct ModuleDesc;

// A patch that rebuilds the file from an earlier published version.
struct InfoPatchEntry {
    std::wstring baseMd5;  // digest text of that version
    uint64_t size = 0;
    std::string sha256;
};

// A file of a module with everything its FILE element states.
struct InfoFileEntry {
    std::wstring name;  // path relative to the module's source directory on the server
    uint32_t fileSize = 0;
    std::wstring fileMd5;
    uint32_t zipSize = 0;
    std::wstring zipMd5;
    std::wstring os;                      // token list, e.g. "UNIX"
    std::wstring version;                 // empty: no VERSION element
    unsigned mode = 0755;                 // the FILE element's MODE attribute
    bool config = false;                  // CONFIG="1" on the FILE element
    std::string zipSha256;                // empty: no ZIPSHA256 element (an unsigned publication)
    std::vector<InfoPatchEntry> patches;  // one PATCH element each
};

struct InfoModuleEntry {
    const ModuleDesc* desc = nullptr;
    std::vector<InfoFileEntry> files;
};

// `text` escaped for a double-quoted XML attribute and encoded as UTF-8. Characters that
// XML 1.0 cannot carry at all (other control characters, surrogates, U+FFFE, U+FFFF,
// beyond U+10FFFF) throw Exception naming the text.
std::string XmlAttribute(const std::wstring& text);

// The document from the XML declaration through the last MODULE element.
// `removeDropped` adds the DROPPED line that asks updaters to remove installed files the
// product no longer lists.
std::string ProductInfoBody(const ProductDesc& product, const std::vector<InfoModuleEntry>& modules,
                            bool removeDropped);
// The line "<DATE value=\"...\"/>".
std::string ProductInfoDateLine(const std::wstring& date);
// The closing line "<MD5 value=\"...\"/></UPDATE>"; `md5` is the lowercase digest text of
// body + DATE line.
std::string ProductInfoMd5Line(const std::wstring& md5);
