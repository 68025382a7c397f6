// The file processor's use of the installation's records: configuration files edited
// here, and installed files that the product no longer lists.
#include <set>

#include "base/Conv.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "codec/FileDigest.h"
#include "download/DownloadServersHandler.h"
#include "run/FileProcessor.h"

namespace UpdateNew {

void FileProcessor::loadInstallationRecords() {
    m_records.clearFiles();
    m_droppedFiles.clear();
    m_recordsComplete = !callbacks().bLoadFailed();
    if (mirror()) return;
    m_records.load(GetServersHandler().GetLocalMasterIdxPath());
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
    return true;
}

void FileProcessor::findDroppedFiles() {
    if (mirror() || !m_update->removeDropped || !m_recordsComplete ||
        !m_records.hasInstalledList())
        return;
    std::set<std::wstring> listed;
    for (const auto& entry : m_records.files()) listed.insert(entry.second);
    for (const auto& entry : m_records.installed()) {
        const std::wstring& path = entry.second;
        if (CModuleInstaller::IsSelfUpdateName(entry.first) || listed.count(path) != 0) continue;
        const FileDigest local = GetFileSizeAndMD5(path);
        if (!local.exists) continue;
        const std::string* installed = m_records.configDigest(path);
        if (installed != nullptr && WideToUtf8(local.digest) != *installed) {
            LogWarning(L"%s\n", Msg<1101>(path).c_str());
            continue;
        }
        m_droppedFiles.push_back(path);
        listed.insert(path);
    }
}

void FileProcessor::RemoveDroppedFiles() {
    installer().removeDropped(m_droppedFiles);
}

void FileProcessor::SaveInstallationRecords() {
    if (mirror() || !m_serversHandler || !m_recordsComplete) return;
    m_records.save(m_serversHandler->GetLocalMasterIdxPath(),
                   m_update->removeDropped && m_recordsComplete);
}

}  // namespace UpdateNew
