// The directory of the last path looked up, kept open: the files of a module lie in one
// directory, and a lookup from its descriptor costs one component instead of a walk of the
// whole path per file. The directory is found as the path form would find it
// (OpenDirectory: a link of another user is not followed), and so is the file in it;
// whatever is odd (no directory part, a last component that is empty, "." or "..", a
// directory that cannot be opened) is left to the path form.
// Threads: one object per thread. Nothing is created, replaced or removed through it.
#pragma once

#include <string>
#include <string_view>

#include "base/UniqueFd.h"

namespace UpdateNew {

class LastDirectory {
public:
    // The descriptor of the directory of `path` (multibyte), opened only when it is not
    // the last one, with `leaf` set to the last component; -1 when the caller is to use
    // the whole path instead. The descriptor stays valid until the next call.
    int at(std::string_view path, std::string& leaf);

private:
    std::string m_path;  // the directory's path with its trailing "/"
    UniqueFd m_dir;
};

}  // namespace UpdateNew
