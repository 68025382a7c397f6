// The permission bits, owner and group that the updater's own copy gives the file it
// writes. A value type; the caller's copy lives as long as the call it is handed to.
#pragma once

#include <string>

namespace UpdateNew {

struct FileMode {
    // The permission bits of the new file: 0755 unless the product gives a file its own.
    unsigned bits = 0755;
    // Take the source file's permission bits, owner and group instead (a backup copy, and
    // the copy restored from it, keep those of the installed file).
    bool fromSource = false;
    // A file whose permission bits, owner and group the new file takes where it exists as a
    // regular file (a configuration file keeps the administrator's); empty: none. Without
    // it a file that replaces another keeps that file's owner and group.
    std::string likePath;
};

}  // namespace UpdateNew
