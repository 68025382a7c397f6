#include "install/BackupNames.h"

#include "base/PathUtils.h"

namespace UpdateNew {

std::wstring CBackupNames::assign(const std::wstring& backupDir,
                                  const std::wstring& installedPath) {
    auto found = m_byInstalled.find(installedPath);
    if (found == m_byInstalled.end()) {
        const std::wstring flat = GetLastComponent(ToSlashes(installedPath));
        std::wstring name = flat;
        for (unsigned n = 1; m_taken.count(name) != 0; ++n) name = flat + L"~" + std::to_wstring(n);
        m_taken.insert(name);
        found = m_byInstalled.emplace(installedPath, name).first;
    }
    return JoinPath(backupDir, found->second);
}

std::wstring CBackupNames::lookup(const std::wstring& backupDir,
                                  const std::wstring& installedPath) const {
    auto found = m_byInstalled.find(installedPath);
    if (found != m_byInstalled.end()) return JoinPath(backupDir, found->second);
    const std::wstring flat = GetLastComponent(ToSlashes(installedPath));
    if (m_taken.count(flat) != 0) return std::wstring();
    return JoinPath(backupDir, flat);
}

}  // namespace UpdateNew
