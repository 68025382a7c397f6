#include "base/LastDirectory.h"

#include <fcntl.h>

namespace UpdateNew {

int LastDirectory::at(std::string_view path, std::string& leaf) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return -1;
    leaf.assign(path.substr(slash + 1));
    if (leaf.empty() || leaf == "." || leaf == "..") return -1;
    if (m_path.size() != slash + 1 || path.compare(0, slash + 1, m_path) != 0) {
        m_path.assign(path.substr(0, slash + 1));
        m_dir.reset(::open(m_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    return m_dir.get();
}

}  // namespace UpdateNew
