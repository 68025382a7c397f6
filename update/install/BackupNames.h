// The names of backup copies in the flat backup directory. A backup copy is named after
// the installed file's last path component, so two installed files with the same name
// (in two modules, or two directories of one module) would share one copy and a rollback
// would give one of them the other's content. Each installed file gets its own name here:
// the flat name when nobody has it, otherwise the flat name with "~<n>" appended for the
// smallest n that is free. The names live as long as the run, so the restore finds the
// same name the backup used.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/PathList.h"

namespace UpdateNew {

class CBackupNames {
public:
    // The backup copy of `installedPath` inside `backupDir`: the name given earlier to the
    // same installed file, or a new distinct one.
    std::wstring assign(const std::wstring& backupDir, const std::wstring& installedPath);
    // Whether `installedPath` has been given a name (its backup was made in this run).
    bool contains(const std::wstring& installedPath) const {
        return m_byInstalled.count(PathList::Pack(installedPath)) != 0;
    }
    // Where the restore takes the backup of `installedPath` from: the name given to it;
    // for a file not backed up by the updater in this run (a plug-in made the backup),
    // the flat name, unless another installed file has that name, in which case "" (no
    // backup of this file exists).
    std::wstring lookup(const std::wstring& backupDir, const std::wstring& installedPath) const;

private:
    // Both in PathList's packed form: a run may back up hundreds of thousands of files.
    std::unordered_map<std::string, std::string> m_byInstalled;  // installed path -> name
    std::unordered_set<std::string> m_taken;                     // backup names given
};

}  // namespace UpdateNew
