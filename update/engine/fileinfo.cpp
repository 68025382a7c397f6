#include "fileinfo.h"

#include <sys/stat.h>

#include "common/Conv.h"
#include "filemd5.h"

namespace {

bool StatPath(const std::wstring& path, struct stat& st) {
    std::string name = ToMultibyte(path);
    return !name.empty() && ::stat(name.c_str(), &st) == 0;
}

}  // namespace

bool FileInfo::SetPath(const std::wstring& path) {
    m_path = path;
    struct stat st;
    m_exists = StatPath(path, st);
    m_size = m_exists ? st.st_size : 0;
    m_atime = m_exists ? st.st_atime : 0;
    m_mtime = m_exists ? st.st_mtime : 0;
    m_ctime = m_exists ? st.st_ctime : 0;
    return m_exists;
}

std::wstring FileInfo::GetMD5(bool /*skipPEAreas*/) const {
    // No PE areas are found on this platform: the whole file is digested.
    return GetFileMD5(m_path);
}

bool CompareFilesByMD5(const FileInfo& a, const FileInfo& b) {
    if (&a == &b) return true;
    struct stat st;
    if (!StatPath(a.GetPath(), st) || !StatPath(b.GetPath(), st)) return false;
    std::wstring da = a.GetMD5();
    if (da.empty()) return false;
    return da == b.GetMD5();
}
