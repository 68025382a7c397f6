// The names of backup copies in the flat backup directory. A backup copy is named after
// the installed file's last path component, so two installed files with the same name
// (in two modules, or two directories of one module) would share one copy and a rollback
// would give one of them the other's content. Each installed file gets its own name here:
// the flat name when nobody has it, otherwise the flat name with "~<n>" appended for the
// smallest n that is free. The names live as long as the run, so the restore finds the
// same name the backup used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/PathList.h"

namespace UpdateNew {

class CBackupNames {
public:
    // The backup copy of `installedPath` inside `backupDir`: the name given earlier to the
    // same installed file, or a new distinct one.
    std::wstring assign(const std::wstring& backupDir, const std::wstring& installedPath);
    // Whether `installedPath` has been given a name (its backup was made in this run).
    bool contains(const std::wstring& installedPath) const {
        return find(m_installedSlots, m_installed, installedPath) != kNone;
    }
    // Where the restore takes the backup of `installedPath` from: the name given to it;
    // for a file not backed up by the updater in this run (a plug-in made the backup),
    // the flat name, unless another installed file has that name, in which case "" (no
    // backup of this file exists).
    std::wstring lookup(const std::wstring& backupDir, const std::wstring& installedPath) const;

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);
    // The entry whose path in `list` is `key`, or kNone; `slots` is the list's hash index.
    static size_t find(const std::vector<uint32_t>& slots, const PathList& list,
                       const std::wstring& key);
    // Adds entry `index` of `list` to its hash index (grown when half full).
    static void insert(std::vector<uint32_t>& slots, const PathList& list, size_t index);

    // Entry i: an installed path and its backup name. A run may back up hundreds of
    // thousands of files, so both are packed and found through open-addressing indices
    // (slot value: entry + 1, 0 for an empty slot) instead of maps of strings.
    PathList m_installed;
    PathList m_names;
    std::vector<uint32_t> m_installedSlots;
    std::vector<uint32_t> m_nameSlots;
};

}  // namespace UpdateNew
