// Turns a parsed description into the product it describes: every FILE pattern expanded
// against the product directory, and the product checked as a whole (unique module names,
// known and acyclic dependencies, no two files that would land on the same server path
// or on the same installed path). Nothing is written.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "ProductDescription.h"

// One module file found in the product directory.
struct ResolvedFile {
    std::wstring name;  // path relative to the module's base directory: the file's NAME
    std::wstring path;  // the file in the product directory
    std::wstring version;
    std::wstring os;
    off_t size = 0;
    time_t mtime = 0;
    unsigned mode = 0;    // permission bits in the product directory, without set-id bits
    bool config = false;  // named by a CONFIG line: a configuration file
    DescLocation at;      // the FILE line that named it
};

struct ResolvedModule {
    const ModuleDesc* desc = nullptr;  // points into the ProductDesc, which must outlive this
    std::vector<ResolvedFile> files;
};

// Throws Exception "file:line: what" for the first problem found.
std::vector<ResolvedModule> ResolveProduct(const ProductDesc& product,
                                           const std::wstring& productDir);

// Warnings about a product that publishes but could not update the updater: a module named
// "selfupdate" (any letter case) must carry the updater executable ("updater") and its
// message file ("update_msg.lqr"), since the self-update helper runs from a copy of that
// module alone. One text per missing file.
std::vector<std::wstring> SelfUpdateWarnings(const std::vector<ResolvedModule>& modules);

// The largest file the product info file can state (its sizes are 32-bit signed numbers).
constexpr off_t kMaxPublishedFileSize = 0x7fffffff;
