#include "install/BackupNames.h"

#include <algorithm>
#include <functional>

#include "base/PathUtils.h"

namespace UpdateNew {

namespace {

size_t HashOf(const std::wstring& text) {
    return std::hash<std::wstring>()(text);
}

}  // namespace

size_t CBackupNames::find(const std::vector<uint32_t>& slots, const PathList& list,
                          const std::wstring& key) {
    if (slots.empty()) return kNone;
    const size_t mask = slots.size() - 1;
    for (size_t at = HashOf(key) & mask;; at = (at + 1) & mask) {
        if (slots[at] == 0) return kNone;
        if (list[slots[at] - 1] == key) return slots[at] - 1;
    }
}

void CBackupNames::insert(std::vector<uint32_t>& slots, const PathList& list, size_t index) {
    // Open addressing, at most half full, so that a probe ends soon at an empty slot.
    if ((list.size() + 1) * 2 > slots.size()) {
        slots.assign(std::max<size_t>(64, slots.size() * 2), 0);
        for (size_t i = 0; i < list.size(); ++i)
            if (i != index) insert(slots, list, i);
    }
    const size_t mask = slots.size() - 1;
    size_t at = HashOf(list[index]) & mask;
    while (slots[at] != 0) at = (at + 1) & mask;
    slots[at] = static_cast<uint32_t>(index + 1);
}

std::wstring CBackupNames::assign(const std::wstring& backupDir,
                                  const std::wstring& installedPath) {
    size_t found = find(m_installedSlots, m_installed, installedPath);
    if (found == kNone) {
        const std::wstring flat = GetLastComponent(ToSlashes(installedPath));
        std::wstring name = flat;
        for (unsigned n = 1; find(m_nameSlots, m_names, name) != kNone; ++n)
            name = flat + L"~" + std::to_wstring(n);
        found = m_installed.size();
        m_installed.push_back(installedPath);
        m_names.push_back(name);
        insert(m_installedSlots, m_installed, found);
        insert(m_nameSlots, m_names, found);
    }
    return JoinPath(backupDir, m_names[found]);
}

std::wstring CBackupNames::lookup(const std::wstring& backupDir,
                                  const std::wstring& installedPath) const {
    const size_t found = find(m_installedSlots, m_installed, installedPath);
    if (found != kNone) return JoinPath(backupDir, m_names[found]);
    const std::wstring flat = GetLastComponent(ToSlashes(installedPath));
    if (find(m_nameSlots, m_names, flat) != kNone) return std::wstring();
    return JoinPath(backupDir, flat);
}

}  // namespace UpdateNew
