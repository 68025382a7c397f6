// The files a run changes, each with why, as the check found them: a file whose installed
// copy differs ("changed", or "patch" when it is rebuilt from a patch against that copy), a
// file not there ("missing" when the updater installed it before, "new" otherwise), a file
// the updater installed that the product no longer lists ("dropped"), and a configuration
// file changed locally that the run leaves alone ("config-kept"). A check-only run prints
// it (`list-changes`); the run's report takes its lists from it.
//
// Built by the update run after the check; holds only values. Single-threaded.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace UpdateNew {

class FileProcessor;
class UpdateInfo;

struct FileChange {
    const wchar_t* reason;  // one of the words above
    std::wstring path;      // installed path
};

class ChangeList {
public:
    // `product` after the check (and the plug-in's tidy), `keptIndex` the kept master
    // index beside which the installed-files list and the configuration digests lie.
    ChangeList(const UpdateInfo& product, const FileProcessor& files,
               const std::wstring& keptIndex);

    const std::vector<FileChange>& changes() const { return m_changes; }
    // The paths of the changes with one of these reasons.
    std::vector<std::wstring> paths(std::initializer_list<const wchar_t*> reasons) const;
    // One line for each change, "<reason> <path>", the reasons padded to one width.
    std::vector<std::wstring> lines() const;

private:
    std::vector<FileChange> m_changes;
};

}  // namespace UpdateNew
