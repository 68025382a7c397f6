#include "download/UnpackedFile.h"

#include <unistd.h>

#include <cstdio>

#include "base/SafeFile.h"

namespace UpdateNew {

UnpackedFile& UnpackedFile::operator=(UnpackedFile&& other) noexcept {
    if (this != &other) {
        Drop();
        m_path.swap(other.m_path);
        m_size = other.m_size;
        m_md5.swap(other.m_md5);
    }
    return *this;
}

bool UnpackedFile::Take(const std::string& target) {
    if (m_path.empty()) return false;
    // Unpacked under its final name already (the usual case): nothing to move.
    if (m_path == target || RenameFile(m_path, target) == 0) {
        m_path.clear();
        return true;
    }
    Drop();
    return false;
}

void UnpackedFile::Drop() {
    if (!m_path.empty()) (void)RemoveFile(m_path);
    m_path.clear();
}

}  // namespace UpdateNew
