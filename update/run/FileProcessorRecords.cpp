// The file processor's use of the installation's records: configuration files edited
// here, and installed files that the product no longer lists.
#include <sys/stat.h>

#include <optional>
#include <set>
#include <string_view>
#include <unordered_set>

#include "base/Conv.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "codec/FileDigest.h"
#include "download/DownloadServersHandler.h"
#include "install/ModuleInstaller.h"
#include "run/CheckVerdict.h"
#include "run/FileProcessor.h"
#include "run/StatCache.h"

namespace UpdateNew {

StatCache* FileProcessor::statCache() {
    if (!m_statCacheRead) {
        m_statCacheRead = true;
        if (m_config->statCache() && !mirror() && !m_config->selfUpdateDone() && m_serversHandler) {
            m_statCache.reset(new StatCache);
            m_statCache->load(m_serversHandler->GetLocalMasterIdxPath(), m_unfinished,
                              m_config->fullCheckEvery());
        }
    }
    return m_statCache.get();
}

FileDigest FileProcessor::installedDigest(const std::wstring& path) {
    StatCache* cache = statCache();
    return cache ? cache->digest(path) : GetFileSizeAndMD5(path);
}

void FileProcessor::SaveStatCache() {
    if (!m_statCache || !m_checked || !m_serversHandler) return;
    if (!m_filesSynced && !syncInstalledFiles(true)) return;
    m_statCache->save(m_serversHandler->GetLocalMasterIdxPath());
}

void FileProcessor::RemoveStatCache() {
    if (m_serversHandler && !mirror()) StatCache::Remove(m_serversHandler->GetLocalMasterIdxPath());
}

// The verdict of a check is kept and taken over only where nothing but the files, the
// product info and the options decides it: no plug-in hears the check's files or may
// change them, and no update was left unfinished.
static bool VerdictApplies(UpdateConfig& config, bool unfinished) {
    UpdateCallbacks& cb = config.cCallbacks();
    return !unfinished && !cb.hasLibPlugin() && !cb.IsGuiLibLoaded() && !cb.bLoadFailed();
}

bool FileProcessor::TakeCheckVerdict(const std::wstring& firstInfo, CheckVerdict& verdict) {
    StatCache* cache = statCache();
    if (!cache || !VerdictApplies(*m_config, m_unfinished) || !cache->verdict()) return false;
    const std::wstring keptIndex = m_serversHandler->GetLocalMasterIdxPath();
    const std::wstring path = StatCache::Path(keptIndex);
    const CheckVerdict& kept = *cache->verdict();
    std::wstring changed;
    if (kept.firstInfo != firstInfo ||
        CheckKey(*m_config, keptIndex, m_indexLines, kept.firstInfo, kept.infoNames,
                 kept.environment, m_serversHandler->GetProductInfoHashes()) != kept.key) {
        LogDebug(L"%s\n", Msg<1309>(path, Msg<1310>()).c_str());
        return false;
    }
    if (!cache->verdictHolds(changed)) {
        LogDebug(L"%s\n", Msg<1309>(path, Msg<1311>(changed)).c_str());
        return false;
    }
    LogDebug(L"%s\n", Msg<1308>(static_cast<long long>(cache->verdictFiles()), path).c_str());
    verdict = kept;
    return true;
}

void FileProcessor::KeepCheckVerdict(CheckVerdict verdict) {
    if (!m_statCache || !m_checked || m_droppedLooked || !VerdictApplies(*m_config, m_unfinished))
        return;
    const std::set<std::string> used = m_config->variables().environmentNamesUsed();
    verdict.environment.assign(used.begin(), used.end());
    verdict.key = CheckKey(*m_config, m_serversHandler->GetLocalMasterIdxPath(), m_indexLines,
                           verdict.firstInfo, verdict.infoNames, verdict.environment,
                           m_serversHandler->GetProductInfoHashes());
    m_statCache->setVerdict(std::move(verdict), m_checkedFiles);
}

void FileProcessor::CountCheckVerdict() {
    if (m_statCache) m_statCache->saveCount(m_serversHandler->GetLocalMasterIdxPath());
}

void FileProcessor::loadInstallationRecords() {
    m_records.clearFiles();
    m_droppedFiles.clear();
    m_keptDroppedFiles.clear();
    m_droppedLooked = false;
    m_recordsComplete = !callbacks().bLoadFailed();
    if (!mirror() && m_serversHandler) m_records.load(m_serversHandler->GetLocalMasterIdxPath());
}

bool FileProcessor::judgeConfigFile(FileRecord& file, const std::wstring& localPath,
                                    const std::wstring& local) {
    file.configCopy = FileRecord::ConfigCopy::kNone;
    const std::string* installed = m_records.configDigest(localPath);
    // Not recorded (installed by an earlier updater), or as installed: replaced as usual.
    if (installed == nullptr || local.empty() || WideToUtf8(local) == *installed) return true;
    if (Utf8ToWide(*installed) == file.pefilemd5) {
        LogInfo(L"%s\n", Msg<1105>(localPath).c_str());
        file.configCopy = FileRecord::ConfigCopy::kKeep;
        return false;
    }
    file.configCopy = FileRecord::ConfigCopy::kBeside;
    // A run stopped after writing the product's new copy beside the edited file (the digests
    // are recorded only by a run that ends well): nothing is due, and the module's post
    // command is not run once more for it.
    const std::wstring beside = CModuleInstaller::NewDistPath(localPath);
    if (GetFileSizeAndMD5(beside).digest == file.pefilemd5) {
        LogDebug(
            L"The product's copy beside the configuration file \"%s\" is the new one already\n",
            localPath.c_str());
        file.configCopy = FileRecord::ConfigCopy::kKeep;
        return false;
    }
    return true;
}

void FileProcessor::findDroppedFiles() {
    if (mirror() || !m_update->removeDropped || !m_recordsComplete || !m_records.hasInstalledList())
        return;
    // Only a file in a directory of this installation: below its installation directory,
    // or where the product installs files now (a copied installation keeps the records of
    // the one it was copied from, which are not its own).
    // Views of the records' own paths (they stay unchanged meanwhile): a check of many
    // files would otherwise copy each path twice into ordered sets. The sets are made only
    // for an entry that is not this check's file at the same place in the list: the
    // records of the last run list the same files in the same order while nothing changed.
    const auto dirPart = [](std::string_view path) {
        const size_t slash = path.rfind('/');
        return path.substr(0, slash == std::string_view::npos ? 0 : slash);
    };
    const ModulePathList& files = m_records.files();
    const ModulePathList& installed = m_records.installed();
    std::unordered_set<std::string_view> listed, directories;
    // The same paths in one spelling: an earlier run may have named the installation
    // otherwise ("/opt/app/", "/opt/./app"), and its files are not dropped for that.
    std::unordered_set<std::string> spelled;
    std::optional<std::set<std::pair<dev_t, ino_t>>> identities;
    bool sets = false;
    const std::string root = WideToUtf8(installDir());
    size_t index = 0;
    for (size_t entry = 0; entry < installed.size(); ++entry) {
        const std::string_view path = installed.path(entry);
        if (index < files.size() && files.path(index++) == path) continue;
        if (!sets) {
            m_droppedLooked = true;
            listed.reserve(files.size());
            for (size_t file = 0; file < files.size(); ++file) {
                listed.insert(files.path(file));
                directories.insert(dirPart(files.path(file)));
                spelled.insert(LexicalPath(std::string(files.path(file))));
            }
            sets = true;
        }
        const std::string spelling = LexicalPath(std::string(path));
        if (listed.count(path) != 0 || spelled.count(spelling) != 0 ||
            CModuleInstaller::IsSelfUpdateName(Utf8ToWide(std::string(installed.module(entry)))))
            continue;
        if (path.compare(0, root.size(), root) != 0 && directories.count(dirPart(path)) == 0)
            continue;
        const std::wstring wide = Utf8ToWide(std::string(path));
        const FileDigest local = GetFileSizeAndMD5(wide);
        if (!local.exists) continue;
        const std::string* installed = m_records.configDigest(wide);
        if (installed != nullptr && WideToUtf8(local.digest) != *installed) {
            LogWarning(L"%s\n", Msg<1101>(wide).c_str());
            m_keptDroppedFiles.push_back(wide);
            continue;
        }
        // Nor is a file this release installs under another name of the installation (a
        // link to it, or a spelling no rule above knows): looked at by identity, once
        // anything seems dropped.
        if (!identities) {
            identities.emplace();
            for (size_t file = 0; file < files.size(); ++file) {
                struct stat st;
                if (::stat(std::string(files.path(file)).c_str(), &st) == 0)
                    identities->insert({st.st_dev, st.st_ino});
            }
        }
        struct stat st;
        if (::stat(std::string(path).c_str(), &st) == 0 &&
            identities->count({st.st_dev, st.st_ino}) != 0)
            continue;
        m_droppedFiles.push_back(wide);
        listed.insert(path);
        spelled.insert(spelling);
    }
}

void FileProcessor::RemoveDroppedFiles() {
    installer().removeDropped(m_droppedFiles);
}

void FileProcessor::NoteFilesBeingAdded() {
    if (mirror() || !m_serversHandler || !m_recordsComplete) return;
    m_records.noteAdding(m_serversHandler->GetLocalMasterIdxPath());
}

void FileProcessor::SaveInstallationRecords() {
    if (mirror() || !m_serversHandler || !m_recordsComplete) return;
    // The records say what the installation holds: they may reach the disk only after the
    // files they describe, or a power cut could leave a configuration file's old content
    // under the new digest, which the next run would take for an edit of the
    // administrator's. Where the flush fails the old records stay.
    if (!syncInstalledFiles()) return;
    m_records.save(m_serversHandler->GetLocalMasterIdxPath(),
                   m_update->removeDropped && m_recordsComplete);
}

}  // namespace UpdateNew
