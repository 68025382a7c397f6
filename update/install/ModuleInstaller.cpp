#include "install/ModuleInstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/SharedNames.h"
#include "base/StringUtils.h"
#include "codec/FileDigest.h"
#include "codec/FileInfo.h"
#include "download/DownloadNames.h"
#include "download/FileDownloader.h"
#include "install/Rollback.h"
#include "install/TemporaryFiles.h"
#include "plugin/BuiltinFileOps.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateInfo.h"

namespace UpdateNew {

namespace {

// Whether the two files hold the same bytes: both there, of one size and one digest.
bool SameFileContent(const std::wstring& a, const std::wstring& b) {
    try {
        const FileInfo x(a), y(b);
        if (!x.Exists() || !y.Exists() || x.GetSize() != y.GetSize()) return false;
        const std::wstring digest = GetFileMD5(a);
        return !digest.empty() && digest == GetFileMD5(b);
    } catch (const Exception&) {
        return false;
    }
}

// Whether a regular file stands at `path`. A symbolic link there is not followed: the copy
// never reads through it, so a link at an installed path is not backed up (the new file
// replaces it and stays on a rollback).
bool FileExists(const std::wstring& path) {
    struct stat st;
    const std::string name = ToMultibyte(path);
    return !name.empty() && ::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::wstring BaseName(const FileRecord& file) {
    return GetLastComponent(ToSlashes(file.name));
}

// Creates the directory of an installation target with its parents. A directory that
// cannot be made is the reason the copy would fail, so it is the one reported.
void CreateTargetDirectory(const std::wstring& target,
                           std::vector<std::wstring>* created = nullptr) {
    const std::wstring dir = GetDirPart(target);
    if (int error = CreateDirectories(dir, 0755, created))
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

std::wstring CModuleInstaller::NewDistPath(const std::wstring& installed) {
    return installed + L".upd-new-dist";
}

FileMode CModuleInstaller::installMode(const UpdateModuleInfo& module,
                                       const FileRecord& file) const {
    FileMode mode;
    if (m_settings.mirror) return mode;
    if (file.mode != FileRecord::kNoMode) mode.bits = file.mode;
    if (file.config) mode.likePath = ToMultibyte(installedPath(module, file));
    return mode;
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

    FileMode asInstalled;
    asInstalled.fromSource = true;
    for (const FileRecord& file : module.files) {
        // A configuration file edited here is never touched, so it needs no backup; the
        // product's copy written beside it is new to the installation when none was there,
        // and is backed up like any file when an earlier release's copy is there.
        if (file.needsupdate && file.configCopy == FileRecord::ConfigCopy::kBeside &&
            !m_settings.mirror) {
            const std::wstring beside = NewDistPath(installedPath(module, file));
            if (!FileExists(beside)) {
                m_newFiles.insert(beside);
            } else if (m_besideBackups.count(beside) == 0) {
                const std::wstring backup = m_backupNames.assign(m_settings.backupDir, beside);
                m_callbacks.copyFile(beside, backup, false, nullptr, asInstalled);
                m_temporaries.addFile(backup);
                m_besideBackups[beside] = backup;
            }
        }
        if (!file.needsupdate || file.configCopy != FileRecord::ConfigCopy::kNone) continue;
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
            m_newFiles.insert(cSrc);
            continue;
        }
        if (backedUp) {
            LogDebug(L"\"%s\" is backed up already as \"%s\"\n", cSrc.c_str(), cDest.c_str());
            continue;
        }
        m_callbacks.copyFile(cSrc, cDest, false, nullptr, asInstalled);
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
        std::wstring dest = installedPath(module, file);
        // The configuration file edited here stays; the product's copy goes beside it.
        if (file.configCopy == FileRecord::ConfigCopy::kBeside) {
            LogWarning(L"%s\n", Msg<1100>(dest, NewDistPath(dest)).c_str());
            dest = NewDistPath(dest);
        }
        if (m_settings.mirror) CreateTargetDirectory(dest);
        m_callbacks.callGui(L"onInstallFile(src, dest)", &CUpdateGuiCallbacks::onInstallFile, src,
                            dest);
        if (selfUpdate) {
            helper.AddChangedFile(src, dest);
            continue;
        }
        // Stopped between two files, the module is rolled back as a whole.
        ThrowIfInterrupted();
        CreateTargetDirectory(dest, &m_createdDirs);
        // The verified download is needed by nothing else once it is installed.
        copyDeferrable(
            src, dest, installMode(module, file),
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
                                      const FileMode& mode, bool move) {
    bool deferred = false;
    if (move)
        m_callbacks.moveFile(source, dest, true, &deferred, mode);
    else
        m_callbacks.copyFile(source, dest, true, &deferred, mode);
    // The protected old file was moved aside; nothing needs it once the run is over.
    if (deferred) m_temporaries.addFile(SetAsidePath(dest));
}

void CModuleInstaller::copyPatches(const UpdateModuleInfo& module, const FileRecord& file,
                                   const std::wstring& src, const std::wstring& dest) {
    const auto patches = module.patches.find(file.name);
    if (patches == module.patches.end()) return;
    const std::wstring target = file.filemd5.wide();
    for (const FilePatchInfo& patch : patches->second) {
        const std::wstring from = PatchName(src, patch.baseMd5, target);
        if (FileExists(from))
            copyDeferrable(from, PatchName(dest, patch.baseMd5, target), FileMode());
    }
}

void CModuleInstaller::handToSelfUpdate(CSelfUpdateHelper& helper) {
    const std::wstring list = listFilePath();
    m_temporaries.writeListFile(list);
    helper.Execute(list);
    // Only a restore-mode helper comes back; its side directory goes with this run.
    m_temporaries.addDir(helper.SideDir());
}

void CModuleInstaller::removeNewFile(const std::wstring& path) {
    const int err = RemoveFile(ToMultibyte(path));
    if (err != 0)
        LogError(L"%s\n", Msg<8>(path, SystemErrorText(err)).c_str());
    else
        LogInfo(L"%s\n", Msg<1203>(path).c_str());
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
    FileMode asBackedUp;
    asBackedUp.fromSource = true;
    std::unique_ptr<RollbackFailure> failure;  // the first file that could not be restored
    for (const FileRecord& file : module.files) {
        // A configuration file edited here was not touched, and is not now; the product's
        // copy beside it goes with the release when this run wrote it first.
        if (file.configCopy != FileRecord::ConfigCopy::kNone) {
            const std::wstring beside = NewDistPath(installedPath(module, file));
            const auto backup = m_besideBackups.find(beside);
            if (backup != m_besideBackups.end())
                copyDeferrable(backup->second, beside, asBackedUp);
            else if (m_removeNewFiles && file.needsupdate && m_newFiles.count(beside) != 0)
                removeNewFile(beside);
            continue;
        }
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
            if (m_removeNewFiles && !selfUpdate && m_newFiles.count(cDest) != 0)
                removeNewFile(cDest);
            continue;
        }
        if (selfUpdate) {
            helper.AddChangedFile(cSrc, cDest);
            continue;
        }
        try {
            copyDeferrable(cSrc, cDest, asBackedUp);
        } catch (const Exception& e) {
            // A copy that cannot be made over a file that still holds what it held before
            // the run (the run failed before it reached it) fails nothing.
            if (!SameFileContent(cSrc, cDest)) {
                if (!failure)
                    failure.reset(new RollbackFailure(
                        Msg<1011>(module.name, Msg<1012>(cDest), std::wstring(e.twhat()))));
                continue;
            }
            LogInfo(L"%s\n", Msg<1014>(module.name, cDest, std::wstring(e.twhat())).c_str());
        }
    }
    // The other files were still put back.
    if (failure) throw *failure;
    if (selfUpdate) handToSelfUpdate(helper);

    m_callbacks.callGui(L"afterRestoreModuleCompletion(cCurModule.name)",
                        &CUpdateGuiCallbacks::afterRestoreModuleCompletion, cCurModule.name);
}

}  // namespace UpdateNew

namespace UpdateNew {

namespace {

// Removes the directory `dir` and then each parent below `root` while it is empty; the
// first that is not empty (or not there, or `root` itself) ends the walk.
void RemoveEmptyDirectories(std::wstring dir, const std::wstring& root) {
    const std::wstring top = ToSlashes(root);
    while (dir.size() > top.size() && dir.compare(0, top.size(), top) == 0) {
        UniqueFd parent;
        std::string name;
        if (OpenParent(ToMultibyte(dir), parent, name) != 0) return;
        // A directory made for others to write in (sticky or writable by all) was set up
        // on purpose, with a mode a rollback would not give it back: it stays.
        struct stat st;
        if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            (st.st_mode & (S_ISVTX | S_IWOTH)) != 0)
            return;
        if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) != 0) return;
        LogDebug(L"The empty directory \"%s\" is removed\n", dir.c_str());
        dir = GetDirPart(dir);
        while (!dir.empty() && dir.back() == L'/') dir.pop_back();
    }
}

}  // namespace

void CModuleInstaller::noteCreatedDirectories(const std::vector<std::wstring>& dirs) {
    m_createdDirs.insert(m_createdDirs.end(), dirs.begin(), dirs.end());
}

void CModuleInstaller::removeNewDirectories() {
    if (!m_removeNewFiles) return;
    for (auto dir = m_createdDirs.rbegin(); dir != m_createdDirs.rend(); ++dir)
        if (RemoveEmptyDirectories(*dir) == 0)
            LogDebug(L"The empty directory \"%s\" is removed\n", dir->c_str());
    m_createdDirs.clear();
}

void CModuleInstaller::removeDropped(const std::vector<std::wstring>& paths) {
    if (paths.empty()) return;
    UpdStringList created;
    m_callbacks.checkCreateDirectory(m_settings.backupDir, created);
    m_temporaries.addDirs(created);
    FileMode asInstalled;
    asInstalled.fromSource = true;
    for (const std::wstring& path : paths) {
        if (!FileExists(path)) continue;
        LogInfo(L"%s\n", Msg<1102>(path).c_str());
        const std::wstring backup = m_backupNames.assign(m_settings.backupDir, path);
        m_callbacks.copyFile(path, backup, false, nullptr, asInstalled);
        m_temporaries.addFile(backup);
        if (const int error = RemoveFile(ToMultibyte(path)))
            THROW_ERROR(Msg<1106>(path, SystemErrorText(error)), error);
        m_dropped.emplace_back(path, backup);
    }
    for (const auto& dropped : m_dropped)
        RemoveEmptyDirectories(GetDirPart(dropped.first), m_settings.installDir);
}

void CModuleInstaller::restoreDropped() {
    FileMode asBackedUp;
    asBackedUp.fromSource = true;
    // One that cannot be put back (something else took its name) keeps none of the others
    // from it; the first failure is rethrown after the last.
    std::exception_ptr failure;
    for (const auto& dropped : m_dropped) {
        try {
            CreateTargetDirectory(dropped.first);
            copyDeferrable(dropped.second, dropped.first, asBackedUp);
        } catch (const Exception& e) {
            LogError(L"%s\n", e.twhat());
            if (!failure) failure = std::current_exception();
        } catch (...) {  // a plug-in's copyFile: its failure is the run's, as any step's
            if (!failure) failure = std::current_exception();
        }
    }
    m_dropped.clear();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace UpdateNew
