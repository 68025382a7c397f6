// Data types that travel between the updater and its plug-ins. Plug-in authors include
// this header (through UpdateLibCallbacks.h / UpdateGuiCallbacks.h); the updater uses the
// same types in its own code, except for the file record (below).
//
// Binary compatibility: the tables are C++ objects with standard-library members, so a
// plug-in must be built with g++ (or a compiler sharing its C++ ABI) against libstdc++
// with the C++11 string ABI, the same as the updater. Texts are std::wstring with 4-byte
// characters.
//
// Ownership: every argument belongs to the caller and lives only for the duration of the
// callback; a plug-in that wants to keep a value copies it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/UpdateErrors.h"

// A list of texts: file names, paths, lines of a file. Lists handed to a plug-in empty
// (getSpecialDownloadFilesFirst, checkCreateDirectory, ...) are filled by the plug-in.
typedef std::vector<std::wstring> UpdStringList;

// An ordered list of (first, second) text pairs: (option name, value) for
// modifyConfiguration, (module name, path) for setTidy.
typedef std::vector<std::pair<std::wstring, std::wstring> > UpdStringPairList;

// The (element name, value) pairs of one FILE entry of the product info file, in document
// order (notifyProductInfoFileContent).
typedef UpdStringPairList FileXmlData;

// The key/value pairs of the configuration file, ordered by key (notifyConfigFile).
typedef std::map<std::wstring, std::wstring> ConfigFileData;

// The kind of one rollback step, handed to overrideRollback.
enum ERollbackSteps {
    ROLLBACK_PRE = 0,     // run the module's pre command
    ROLLBACK_POST = 1,    // run the module's post command
    ROLLBACK_UNPOST = 2,  // run the module's unpost command
    ROLLBACK_RESTORE = 3  // copy the module's backed-up files back
};

// One file entry of the product info file, plus the file check's verdict, as onCheckFile
// and onCheckFileIsDirty receive it: a copy of the updater's record made for the call (the
// updater keeps its records in a narrower form). This layout is part of the plug-in
// interface.
struct UpdateFileInfo {
    // A digest text: 32 lowercase hexadecimal digits and the terminator.
    static constexpr size_t kMd5Size = 33;

    uint32_t zipsize = 0;              // ZIPSIZE: size of the compressed file on the server
    uint32_t filesize = 0;             // FILESIZE: size of the installed file
    wchar_t zipmd5[kMd5Size] = {};     // ZIPMD5: digest of the compressed file
    wchar_t filemd5[kMd5Size] = {};    // FILEMD5: digest of the decompressed file
    wchar_t pefilemd5[kMd5Size] = {};  // PEFILEMD5: digest the installed file must have
    std::wstring version;              // VERSION, usually empty
    std::wstring name;                 // NAME: path relative to the module, then optional words
    std::wstring os;                   // OS: the file's system tokens as written
    bool needsupdate = false;          // set by the file check: download and install it
};
