#include "base/LastDirectory.h"

#include "base/SafeFile.h"

namespace UpdateNew {

int LastDirectory::at(std::string_view path, std::string& leaf) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return -1;
    leaf.assign(path.substr(slash + 1));
    if (leaf.empty() || leaf == "." || leaf == "..") return -1;
    if (m_path.size() != slash + 1 || path.compare(0, slash + 1, m_path) != 0) {
        m_path.assign(path.substr(0, slash + 1));
        // Looked up as every path the updater reads: a link in it is followed only when it
        // belongs to root or to the effective user.
        const std::string dir = slash == 0 ? m_path : m_path.substr(0, slash);
        if (OpenDirectory(dir, m_dir) != 0) m_dir.reset(-1);
    }
    return m_dir.get();
}

}  // namespace UpdateNew
