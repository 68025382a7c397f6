#include "install/ModuleInstaller.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SharedNames.h"
#include "base/StringUtils.h"
#include "download/DownloadNames.h"
#include "download/FileDownloader.h"
#include "install/TemporaryFiles.h"
#include "plugin/BuiltinFileOps.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateInfo.h"

namespace UpdateNew {

namespace {

bool FileExists(const std::wstring& path) {
    struct stat st;
    const std::string name = ToMultibyte(path);
    return !name.empty() && ::stat(name.c_str(), &st) == 0;
}

std::wstring BaseName(const FileRecord& file) {
    return GetLastComponent(ToSlashes(file.name));
}

// Creates the directory of an installation target with its parents. A directory that
// cannot be made is the reason the copy would fail, so it is the one reported.
void CreateTargetDirectory(const std::wstring& target) {
    const std::wstring dir = GetDirPart(target);
    if (int error = CreateDirectories(dir, 0755))
        THROW_ERROR(MsgLib<10>(dir, SystemErrorText(error)), error);
}

}  // namespace

CModuleInstaller::CModuleInstaller(UpdateCallbacks& callbacks, CTemporaryFiles& temporaries,
                                   const InstallSettings& settings)
    : m_callbacks(callbacks),
      m_temporaries(temporaries),
      m_settings(settings),
      m_downloadDir(settings.tmpDir) {}

bool CModuleInstaller::IsSelfUpdateName(const std::wstring& name) {
    return ToLower(name) == L"selfupdate";
}

bool CModuleInstaller::isSelfUpdateModule(const UpdateModuleInfo& module) const {
    return !m_settings.mirror && IsSelfUpdateName(module.name);
}

std::wstring CModuleInstaller::sourceDir(const UpdateModuleInfo& module) const {
    return JoinPath(m_downloadDir, ToSlashes(module.source));
}

std::wstring CModuleInstaller::installedPath(const UpdateModuleInfo& module,
                                             const FileRecord& file) const {
    if (m_settings.mirror)
        return JoinPath(JoinPath(m_settings.installDir, m_productRoot),
                        JoinPath(ToSlashes(module.source), ToSlashes(file.name) + L".gz"));
    return JoinPath(ToSlashes(module.destination), BaseName(file));
}

std::wstring CModuleInstaller::installSource(const UpdateModuleInfo& module,
                                             const FileRecord& file) const {
    const std::wstring name = ToSlashes(file.name);
    return JoinPath(sourceDir(module), m_settings.mirror ? name + L".gz" : name);
}

std::wstring CModuleInstaller::backupPath(const UpdateModuleInfo& module, const FileRecord& file) {
    if (m_settings.mirror)
        return JoinPath(JoinPath(m_settings.backupDir, m_productRoot),
                        JoinPath(ToSlashes(module.source), ToSlashes(file.name) + L".gz"));
    return m_backupNames.assign(m_settings.backupDir, installedPath(module, file));
}

std::wstring CModuleInstaller::restoreSource(const UpdateModuleInfo& module,
                                             const FileRecord& file) const {
    if (m_settings.mirror)
        return JoinPath(JoinPath(m_settings.backupDir, m_productRoot),
                        JoinPath(ToSlashes(module.source), ToSlashes(file.name) + L".gz"));
    return m_backupNames.lookup(m_settings.backupDir, installedPath(module, file));
}

std::wstring CModuleInstaller::listFilePath() const {
    return JoinPath(m_settings.tmpDir, CTemporaryFiles::kListFileName);
}

void CModuleInstaller::backupModule(const UpdateModuleInfo& module) {
    const UpdateModuleInfo& cCurModule = module;
    for (const FileRecord& file : module.files)
        if (file.needsupdate)
            LogDebug(L"%s\n", Msg<626>(module.name, installedPath(module, file)).c_str());

    UpdStringList cCreatedDirs;
    m_callbacks.checkCreateDirectory(m_settings.backupDir, cCreatedDirs);
    m_temporaries.addDirs(cCreatedDirs);

    if (m_callbacks.callLib(L"overrideBackupModule(cCurModule.name)",
                            &CUpdateLibCallbacks::overrideBackupModule, cCurModule.name)) {
        m_backedUpByPlugin.insert(module.name);
        return;
    }

    for (const FileRecord& file : module.files) {
        if (!file.needsupdate) continue;
        const std::wstring cSrc = installedPath(module, file);
        // The first backup of a file holds its content from before the run; a second
        // module installing the same file must not overwrite it with the new content.
        const bool backedUp = !m_settings.mirror && m_backupNames.contains(cSrc);
        const std::wstring cDest = backupPath(module, file);
        if (m_settings.mirror) {
            UpdStringList created;
            m_callbacks.checkCreateDirectory(GetDirPart(cDest), created);
            m_temporaries.addDirs(created);
        }
        m_callbacks.callGui(L"onBackupFile(cCurModule.name, cSrc, cDest)",
                            &CUpdateGuiCallbacks::onBackupFile, cCurModule.name, cSrc, cDest);
        if (!FileExists(cSrc)) {
            LogDebug(L"%s\n", Msg<623>(cSrc).c_str());
            continue;
        }
        if (backedUp) {
            LogDebug(L"\"%s\" is backed up already as \"%s\"\n", cSrc.c_str(), cDest.c_str());
            continue;
        }
        m_callbacks.copyFile(cSrc, cDest, false);
        m_temporaries.addFile(cDest);
        m_copied.insert(cSrc);
    }
}

void CModuleInstaller::installModule(const UpdateModuleInfo& module) {
    const UpdateModuleInfo& cCurModule = module;
    const std::wstring srcDir = sourceDir(module);
    LogDebug(L"%s\n", Msg<647>(module.name, srcDir, module.destination).c_str());

    const bool selfUpdate = isSelfUpdateModule(module);
    if (selfUpdate && m_settings.selfUpdateDone) {
        LogError(L"%s\n", Msg<242>().c_str());
        THROW_CRITICAL(Msg<242>(), ERR_ACTION);
    }
    if (!selfUpdate &&
        m_callbacks.callLib(L"overrideInstallModule(cCurModule.name)",
                            &CUpdateLibCallbacks::overrideInstallModule, cCurModule.name))
        return;

    CSelfUpdateHelper helper(m_callbacks, m_settings.selfUpdate, false);
    for (const FileRecord& file : module.files) {
        if (!file.needsupdate) {
            if (selfUpdate)
                helper.AddFile(installSource(module, file), installedPath(module, file));
            continue;
        }
        const std::wstring src = installSource(module, file);
        const std::wstring dest = installedPath(module, file);
        if (m_settings.mirror) CreateTargetDirectory(dest);
        m_callbacks.callGui(L"onInstallFile(src, dest)", &CUpdateGuiCallbacks::onInstallFile, src,
                            dest);
        if (selfUpdate) {
            helper.AddChangedFile(src, dest);
            continue;
        }
        // Stopped between two files, the module is rolled back as a whole.
        ThrowIfInterrupted();
        CreateTargetDirectory(dest);
        // The verified download is needed by nothing else once it is installed.
        copyDeferrable(
            src, dest,
            !m_settings.mirror && std::binary_search(m_movable.begin(), m_movable.end(), &file,
                                                     std::less<const FileRecord*>()));
        if (m_settings.mirror) copyPatches(module, file, src, dest);
        LogInfo(L"%s [ updated to version %s ]\n", dest.c_str(), file.version.c_str());
    }
    if (selfUpdate) handToSelfUpdate(helper);
}

void CModuleInstaller::planMoves(const std::vector<UpdateModuleInfo>& modules) {
    std::vector<std::pair<const UpdateModuleInfo*, const FileRecord*>> changed;
    for (const UpdateModuleInfo& module : modules) {
        if (!module.needsupdate) continue;
        for (const FileRecord& file : module.files)
            if (file.needsupdate) changed.emplace_back(&module, &file);
    }
    const std::vector<bool> shared = SharedNames(changed.size(), [&](size_t i) {
        return installSource(*changed[i].first, *changed[i].second);
    });
    m_movable.clear();
    for (size_t i = 0; i < changed.size(); ++i)
        if (!shared[i]) m_movable.push_back(changed[i].second);
    std::sort(m_movable.begin(), m_movable.end(), std::less<const FileRecord*>());
}

void CModuleInstaller::copyDeferrable(const std::wstring& source, const std::wstring& dest,
                                      bool move) {
    bool deferred = false;
    if (move)
        m_callbacks.moveFile(source, dest, true, &deferred);
    else
        m_callbacks.copyFile(source, dest, true, &deferred);
    // The busy old file was moved aside; nothing needs it once the run is over.
    if (deferred) m_temporaries.addFile(SetAsidePath(dest));
}

void CModuleInstaller::copyPatches(const UpdateModuleInfo& module, const FileRecord& file,
                                   const std::wstring& src, const std::wstring& dest) {
    const auto patches = module.patches.find(file.name);
    if (patches == module.patches.end()) return;
    const std::wstring target = file.filemd5.wide();
    for (const FilePatchInfo& patch : patches->second) {
        const std::wstring from = PatchName(src, patch.baseMd5, target);
        if (FileExists(from)) copyDeferrable(from, PatchName(dest, patch.baseMd5, target));
    }
}

void CModuleInstaller::handToSelfUpdate(CSelfUpdateHelper& helper) {
    const std::wstring list = listFilePath();
    m_temporaries.writeListFile(list);
    helper.Execute(list);
    // Only a restore-mode helper comes back; its side directory goes with this run.
    m_temporaries.addDir(helper.SideDir());
}

void CModuleInstaller::restoreModule(const UpdateModuleInfo& module) {
    const UpdateModuleInfo& cCurModule = module;
    LogInfo(L"%s\n", Msg<629>(module.name).c_str());
    if (!module.needsupdate) {
        LogDebug(L"%s\n", Msg<632>().c_str());
        return;
    }
    m_callbacks.callGui(L"beforeRestoreModuleStartup(cCurModule.name)",
                        &CUpdateGuiCallbacks::beforeRestoreModuleStartup, cCurModule.name);

    const bool selfUpdate = isSelfUpdateModule(module);
    CSelfUpdateHelper helper(m_callbacks, m_settings.selfUpdate, true);
    for (const FileRecord& file : module.files) {
        const std::wstring cDest = installedPath(module, file);
        if (!file.needsupdate) {
            if (selfUpdate) {
                helper.AddFile(restoreSource(module, file), cDest);
                m_callbacks.callLib(L"NotifySelfUpdateRollback()",
                                    &CUpdateLibCallbacks::NotifySelfUpdateRollback);
            }
            continue;
        }
        const std::wstring cSrc = restoreSource(module, file);
        // Not copied by this run's backup: a file new to the installation. A file of that
        // name in the backup directory is not its backup (a killed run may have left it).
        const bool copiedByThisRun =
            m_copied.count(cDest) != 0 || m_backedUpByPlugin.count(module.name) != 0;
        m_callbacks.callGui(L"onModuleRestoreFile(cCurModule.name, cSrc, cDest)",
                            &CUpdateGuiCallbacks::onModuleRestoreFile, cCurModule.name, cSrc,
                            cDest);
        if (cSrc.empty() || !copiedByThisRun || !FileExists(cSrc)) {
            LogDebug(L"%s\n", Msg<624>(cSrc.empty() ? cDest : cSrc).c_str());
            continue;
        }
        if (selfUpdate)
            helper.AddChangedFile(cSrc, cDest);
        else
            copyDeferrable(cSrc, cDest);
    }
    if (selfUpdate) handToSelfUpdate(helper);

    m_callbacks.callGui(L"afterRestoreModuleCompletion(cCurModule.name)",
                        &CUpdateGuiCallbacks::afterRestoreModuleCompletion, cCurModule.name);
}

}  // namespace UpdateNew
