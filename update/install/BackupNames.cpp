#include "install/BackupNames.h"

#include "base/PathUtils.h"

namespace UpdateNew {

std::wstring CBackupNames::assign(const std::wstring& backupDir,
                                  const std::wstring& installedPath) {
    std::string key = PathList::Pack(installedPath);
    auto found = m_byInstalled.find(key);
    if (found == m_byInstalled.end()) {
        const std::wstring flat = GetLastComponent(ToSlashes(installedPath));
        std::string name = PathList::Pack(flat);
        for (unsigned n = 1; m_taken.count(name) != 0; ++n)
            name = PathList::Pack(flat + L"~" + std::to_wstring(n));
        m_taken.insert(name);
        found = m_byInstalled.emplace(std::move(key), std::move(name)).first;
    }
    return JoinPath(backupDir, PathList::Unpack(found->second));
}

std::wstring CBackupNames::lookup(const std::wstring& backupDir,
                                  const std::wstring& installedPath) const {
    auto found = m_byInstalled.find(PathList::Pack(installedPath));
    if (found != m_byInstalled.end()) return JoinPath(backupDir, PathList::Unpack(found->second));
    const std::wstring flat = GetLastComponent(ToSlashes(installedPath));
    if (m_taken.count(PathList::Pack(flat)) != 0) return std::wstring();
    return JoinPath(backupDir, flat);
}

}  // namespace UpdateNew
