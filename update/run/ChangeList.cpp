#include "run/ChangeList.h"

#include <sys/stat.h>

#include <cwchar>
#include <map>
#include <set>

#include "base/Conv.h"
#include "base/Messages.h"
#include "codec/FileDigest.h"
#include "run/FileProcessor.h"
#include "run/KeptState.h"

namespace UpdateNew {

namespace {

bool Present(const std::wstring& path) {
    struct stat st;
    return ::lstat(ToMultibyte(path).c_str(), &st) == 0;
}

}  // namespace

ChangeList::ChangeList(const UpdateInfo& product, const FileProcessor& files,
                       const std::wstring& keptIndex) {
    std::set<std::wstring> installed;
    for (const auto& entry : KeptState::ReadInstalled(keptIndex)) installed.insert(entry.second);
    const std::map<std::wstring, std::string> configs = KeptState::ReadConfigDigests(keptIndex);
    for (const UpdateModuleInfo& module : product.modules) {
        for (const FileRecord& file : module.files) {
            const std::wstring path = files.InstalledPath(module, file);
            const auto config = configs.find(path);
            if (config != configs.end()) {
                // Changed locally to something else than the product's copy: left alone.
                const std::string local = WideToUtf8(GetFileMD5(path));
                if (!local.empty() && local != config->second &&
                    local != WideToUtf8(file.pefilemd5.wide())) {
                    m_changes.push_back({L"config-kept", path});
                    continue;
                }
            }
            if (!file.needsupdate) continue;
            if (!Present(path))
                m_changes.push_back({installed.count(path) ? L"missing" : L"new", path});
            else
                m_changes.push_back({files.PatchPlanned(file) ? L"patch" : L"changed", path});
        }
    }
    // The run's own decision: only where the publication asks for it, and only the files of
    // this installation.
    for (const std::wstring& path : files.DroppedFiles()) m_changes.push_back({L"dropped", path});
    for (const std::wstring& path : files.KeptDroppedFiles())
        m_changes.push_back({L"config-kept", path});
}

std::vector<std::wstring> ChangeList::paths(std::initializer_list<const wchar_t*> reasons) const {
    std::vector<std::wstring> out;
    for (const FileChange& change : m_changes)
        for (const wchar_t* reason : reasons)
            if (std::wcscmp(change.reason, reason) == 0) out.push_back(change.path);
    return out;
}

std::vector<std::wstring> ChangeList::lines() const {
    std::vector<std::wstring> out;
    for (const FileChange& change : m_changes) {
        std::wstring reason = change.reason;
        reason.resize(11, L' ');  // the longest reason, "config-kept"
        out.push_back(Msg<1162>(reason, change.path));
    }
    return out;
}

}  // namespace UpdateNew
