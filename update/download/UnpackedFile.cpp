#include "download/UnpackedFile.h"

#include <unistd.h>

#include <cstdio>

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
    if (m_path == target || std::rename(m_path.c_str(), target.c_str()) == 0) {
        m_path.clear();
        return true;
    }
    Drop();
    return false;
}

void UnpackedFile::Drop() {
    if (!m_path.empty()) ::unlink(m_path.c_str());
    m_path.clear();
}

}  // namespace UpdateNew
