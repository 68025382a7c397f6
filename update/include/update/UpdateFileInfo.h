// One file entry of the product info file, as the updater and the plug-ins see it. The
// GUI plug-in receives it by reference in onCheckFile and onCheckFileIsDirty, so its
// layout is part of the plug-in interface: change it only together with the plug-ins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The (element name, value) pairs of one FILE entry in document order, as read from the
// product info file; handed to the function-replacing plug-in per file entry.
typedef std::vector<std::pair<std::wstring, std::wstring>> FileXmlData;

struct UpdateFileInfo {
    // A digest text: 32 lowercase hexadecimal digits and the terminator.
    static constexpr size_t kMd5Size = 33;

    uint32_t zipsize = 0;             // size of the compressed file on the server (ZIPSIZE)
    uint32_t filesize = 0;            // size of the installed file (FILESIZE)
    wchar_t zipmd5[kMd5Size] = {};    // digest of the compressed file (ZIPMD5)
    wchar_t filemd5[kMd5Size] = {};   // digest of the decompressed file (FILEMD5)
    wchar_t pefilemd5[kMd5Size] = {}; // digest the installed file must have (PEFILEMD5)
    std::wstring version;             // VERSION, usually empty
    std::wstring name;                // NAME: path relative to the module, then optional words
    std::wstring os;                  // OS: comma-separated system tokens
    bool needsupdate = false;         // set by the file check: download and install it
};
