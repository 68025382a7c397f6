#include "FileProcessor.h"

#include <sys/stat.h>

#include "DownloadServersHandler.h"
#include "FileDownloader.h"
#include "UpdateCallbacks.h"
#include "UpdateConfig.h"
#include "DownloadNames.h"
#include "DownloadedFileCheck.h"
#include "ModuleCommand.h"
#include "checkedtextfile.h"
#include "common/Exception.h"
#include "common/Interrupts.h"
#include "common/ProgramInfo.h"
#include "fileinfo.h"
#include "fileutils.h"
#include "common/Conv.h"
#include "common/Messages.h"
#include "filemd5.h"
#include "pathutils.h"
#include "strutils.h"
#include "update/Logger.h"

namespace {

const wchar_t kSelfUpdateModule[] = L"selfupdate";

// The version every local file reads as on this platform, and the value a VERSION text
// parses to here: a present file whose record has a VERSION is always the newer one.
const wchar_t kLocalFileVersion[] = L"1.1.1.1";
constexpr unsigned long long kLocalVersionValue = 0x0001000100010001ULL;
constexpr unsigned long long kRecordVersionValue = 0;

bool IsSelfUpdate(const UpdateModuleInfo& module) {
    return ToLower(module.name) == kSelfUpdateModule;
}

// The file's name as the check uses it: cut at the first blank, "\" read as "/", and
// outside mirror mode only the base name.
std::wstring CheckedName(const UpdateFileInfo& file, bool mirror) {
    std::wstring name = ToSlashes(file.name.substr(0, file.name.find(L' ')));
    if (!mirror) name = GetLastComponent(name);
    return name;
}

bool Exists(const std::wstring& path, struct stat& st) {
    return ::stat(ToMultibyte(path).c_str(), &st) == 0;
}

}  // namespace

FileProcessor::FileProcessor(UpdateConfig* config, UpdateInfo* update)
    : m_config(config), m_update(update) {}

FileProcessor::~FileProcessor() {
    // Everything the run fetched, decompressed, backed up or listed goes, whatever the
    // outcome; failures are only logged (cleanup never throws).
    m_temporaries.cleanup(m_config->cCallbacks());
}

FileDownloader& FileProcessor::GetDownloader() {
    if (!m_downloader) m_downloader.reset(new FileDownloader(*m_config, m_config->cCallbacks()));
    return *m_downloader;
}

CDownloadServersHandler& FileProcessor::GetServersHandler() {
    if (!m_serversHandler) {
        m_serversHandler.reset(new CDownloadServersHandler(m_config, &GetDownloader()));
    }
    return *m_serversHandler;
}

std::wstring FileProcessor::productRoot() const {
    // Before a server is chosen (a check without servers) the configured product root.
    return m_serversHandler ? m_serversHandler->GetUpdateRoot() : m_config->productRoot();
}

std::wstring FileProcessor::moduleFilesAddress() const {
    return m_serversHandler ? m_serversHandler->GetUpdateRootAddress() : std::wstring();
}

void FileProcessor::CheckFiles() {
    UpdateCallbacks& callbacks = m_config->cCallbacks();
    callbacks.resetRunCounters();
    m_updatedFiles.clear();

    for (int index = 0; index < m_update->moduleCount(); ++index) {
        UpdateModuleInfo& module = m_update->cGetModuleByIndex(index);
        if (callbacks.bLoadFailed() && !IsSelfUpdate(module)) {
            LogDebug(L"%s\n", Msg<656>(module.name).c_str());
            continue;
        }
        std::wstring destination = module.destination;
        m_config->expandVariables(destination, true, false);
        LogDebug(L"%s\n", Msg<613>(module.name, module.source, destination, module.number).c_str());

        bool listed = false;  // the module's "[name]" entry is in the list
        for (UpdateFileInfo& file : module.files) {
            std::wstring localPath;
            const bool changed = checkFile(module, file, destination, localPath);
            const UpdateFileInfo& f = file;
            callbacks.callGui(L"onCheckFile(f)", &CUpdateGuiCallbacks::onCheckFile, f);
            if (!changed) continue;
            callbacks.callGui(L"onCheckFileIsDirty(f)", &CUpdateGuiCallbacks::onCheckFileIsDirty,
                              f);
            callbacks.addDownloadSize(file.zipsize);
            module.needsupdate = true;
            if (!listed) {
                m_updatedFiles.push_back(L"[" + module.name + L"]");
                listed = true;
            }
            m_updatedFiles.push_back(L"\"" + localPath + L"\"");
            file.needsupdate = true;
            callbacks.addFilesTotal(1);
        }

        if (module.needsupdate || (IsSelfUpdate(module) && m_config->selfUpdateDone())) {
            for (int dependent : m_update->GetDependentModules(index)) {
                m_update->cGetModuleByIndex(dependent).needsupdate = true;
            }
        }
    }

    if (callbacks.filesTotal() != 0) {
        std::wstring value;
        for (const std::wstring& entry : m_updatedFiles) value += entry + L" ";
        m_config->setVariable(L"UPDATED_FILES", value);
    }
}

bool FileProcessor::checkFile(const UpdateModuleInfo& module, const UpdateFileInfo& file,
                              const std::wstring& destination, std::wstring& localPath) {
    const bool mirror = m_config->mirror();
    const std::wstring name = CheckedName(file, mirror);
    struct stat st;
    if (!mirror) {
        localPath = JoinPath(destination, name);
        if (!Exists(localPath, st)) {
            LogDebug(L"%s\n", Msg<620>(localPath).c_str());
            return true;
        }
        return checkInstalledFile(module, file, localPath);
    }
    // The mirror tree holds the server's compressed files under the same layout.
    localPath = JoinPath(JoinPath(m_config->installPath(), productRoot()),
                         JoinPath(module.source, name)) + L".gz";
    if (!Exists(localPath, st)) {
        LogDebug(L"%s\n", Msg<620>(localPath).c_str());
        return true;
    }
    // An unreadable copy has the empty digest and is never taken for a good one.
    const std::wstring digest = GetFileMD5(localPath);
    return digest.empty() || digest != file.zipmd5;
}

bool FileProcessor::checkInstalledFile(const UpdateModuleInfo& module, const UpdateFileInfo& file,
                                       const std::wstring& localPath) {
    const bool quiet = m_config->selfUpdateDone();
    struct stat st;
    const bool present = Exists(localPath, st);
    const unsigned long long localSize = present ? static_cast<unsigned long long>(st.st_size) : 0;
    const std::wstring localDigest = GetFileMD5(localPath);
    const std::wstring serverPath =
        JoinPath(moduleFilesAddress(), JoinPath(module.source, ToSlashes(file.name)));

    bool newer = false;
    bool versionsLogged = false;
    if (!file.version.empty()) {
        newer = kLocalVersionValue > kRecordVersionValue;
        if (!quiet) {
            LogDebug(L"%s\n", Msg<681>(serverPath, file.version, file.pefilemd5).c_str());
            LogDebug(L"%s\n", Msg<682>(localPath, kLocalFileVersion, localDigest).c_str());
            versionsLogged = true;
        }
    }
    if (!quiet && !versionsLogged) {
        LogDebug(L"%s\n", Msg<683>(serverPath, file.pefilemd5).c_str());
        LogDebug(L"%s\n", Msg<684>(localPath, localDigest).c_str());
    }
    const bool upToDate =
        newer || (present && localSize == file.filesize && !localDigest.empty() &&
                  localDigest == file.pefilemd5);
    if (!quiet) LogDebug(L"%s\n", (upToDate ? Msg<686>() : Msg<685>()).c_str());
    return !upToDate;
}

// ---- the run's directories and temporary files -------------------------------------------

void FileProcessor::PrepareRun() {
    m_dirs = m_config->updateDirs();
    LogDebug(L"%s\n", Msg<600>(m_dirs.m_installdir, m_dirs.m_tmpdir, m_dirs.m_backupdir).c_str());
    if (m_dirs.m_installdir.empty() || m_dirs.m_tmpdir.empty() || m_dirs.m_backupdir.empty())
        THROW_CRITICAL(Msg<249>(), 607);
    m_temporaries.addDir(m_dirs.m_backupdir);
    m_temporaries.addDir(m_dirs.m_tmpdir);
}

void FileProcessor::DeleteMasterIdxCopy() {
    const std::wstring cIdx = GetServersHandler().GetLocalMasterIdxPath();
    if (m_config->cCallbacks().callLib(L"DeleteFile(cIdx)", &CUpdateLibCallbacks::DeleteFile,
                                       cIdx.c_str()))
        return;
    ::DeleteFile(cIdx, true);
}

void FileProcessor::MakeTempDirectory(const std::wstring& dir) {
    UpdStringList cCreatedDirs;
    if (!m_config->cCallbacks().checkCreateDirectory(dir, cCreatedDirs)) {
        LogDebug(L"%s\n", Msg<125>(dir).c_str());
        THROW_CRITICAL(Msg<125>(dir), 626);
    }
    m_temporaries.addDirs(cCreatedDirs);
}

// ---- master index and product info -------------------------------------------------------

bool FileProcessor::FetchCheckedIndex(const std::wstring& address, const std::wstring& local) {
    GetDownloader().downloadFile(address, local);
    return ReadCheckedTextFile(local) >= 0;
}

bool FileProcessor::DownloadMasterIdx(const std::wstring& address, const std::wstring& keptCopy) {
    UpdateCallbacks& cb = m_config->cCallbacks();
    std::wstring src = address;
    cb.callLib(L"changeMasterIdxUrl(src)", &CUpdateLibCallbacks::changeMasterIdxUrl, src);
    const std::wstring local = LocalPathOfAddress(m_dirs.m_tmpdir, src);

    if (m_config->selfUpdateDone()) {
        // The first process of the self-update fetched it: it goes with this run.
        m_temporaries.addFile(local);
        m_temporaries.addDir(GetDirPart(local));
        return true;
    }

    // A directory that cannot be made is a failure, never "nothing changed".
    MakeTempDirectory(GetDirPart(local));
    m_temporaries.addFile(local);
    if (!FetchCheckedIndex(src, local) && !FetchCheckedIndex(src, local)) {
        LogDebug(L"%s\n", Msg<687>(local).c_str());
        THROW_ERROR(Msg<132>(local), 636);
    }

    if (CompareFilesByMD5(FileInfo(local), FileInfo(keptCopy)) && !m_config->ignoreMasterIdx()) {
        LogDebug(L"%s\n", Msg<645>().c_str());
        return false;
    }
    if (m_config->mirror()) {
        const std::wstring mirrorCopy = JoinConfined(m_dirs.m_installdir, m_config->masterIdx());
        cb.checkCreateDirectory(GetDirPart(mirrorCopy));
        cb.copyFile(local, mirrorCopy, false);
    }
    std::vector<std::string> lines;
    ReadCheckedTextFile(local, lines);
    UpdStringList cMasterIdxContents;
    for (const std::string& line : lines) cMasterIdxContents.push_back(FromMultibyte(line));
    cb.callLib(L"notifyMasterIdxContent(cMasterIdxContents)",
               &CUpdateLibCallbacks::notifyMasterIdxContent, cMasterIdxContents);
    cb.checkCreateDirectory(GetDirPart(keptCopy));
    cb.copyFile(local, keptCopy, false);
    return true;
}

std::wstring FileProcessor::DownloadProductInfoFile(const std::wstring& defaultAddress,
                                                    const std::wstring& givenName) {
    const std::wstring remote = ProductInfoRemoteName(defaultAddress, givenName);
    const std::wstring local = LocalPathOfAddress(m_dirs.m_tmpdir, remote);
    MakeTempDirectory(GetDirPart(local));
    LogDebug(L"%s\n", Msg<643>(remote).c_str());
    m_temporaries.addFile(local);
    GetDownloader().downloadFile(remote, local);
    return local;
}

// ---- module download ---------------------------------------------------------------------

void FileProcessor::DownloadFiles(const std::wstring& baseAddress, const std::wstring& productRoot) {
    UpdateCallbacks& cb = m_config->cCallbacks();
    LogDebug(L"%s\n", Msg<621>().c_str());
    m_downloadDir = JoinConfined(m_dirs.m_tmpdir, productRoot);
    LogDebug(L"%s\n",
             Msg<622>(static_cast<int>(cb.filesTotal()), baseAddress).c_str());
    const std::wstring& weblocation = baseAddress;
    cb.callGui(L"onStartDownloadFiles(weblocation, "
               L"m_updatePerformer->config()->cCallbacks().ulGetDownloadSize())",
               &CUpdateGuiCallbacks::onStartDownloadFiles, weblocation, cb.ulGetDownloadSize());

    int count = 0;
    for (const UpdateModuleInfo& module : m_update->modules) {
        if (!module.needsupdate) continue;
        for (const UpdateFileInfo& file : module.files) {
            if (!file.needsupdate) continue;
            const std::wstring remote = ModuleFileRemoteName(baseAddress, module.source, file.name);
            const std::wstring local = ModuleFileLocalName(m_downloadDir, module.source, file.name);
            const std::wstring gz = local + kGzSuffix;
            std::vector<std::wstring> created;
            if (CreateDirectories(GetDirPart(gz), 0755, &created) != 0)
                THROW_CRITICAL(Msg<125>(GetDirPart(gz)), 626);
            m_temporaries.addDirs(created);

            if (FileInfo(gz).Exists() && CompressedFileMatches(gz, file)) {
                LogDebug(L"%s\n", Msg<627>(gz).c_str());
            } else {
                if (FileInfo(gz).Exists()) LogDebug(L"%s\n", Msg<628>(gz).c_str());
                if (InterruptRequested())
                    THROW_CRITICAL(Msg<252>(std::wstring(L"a signal was received")), -1);
                ++count;
                LogDebug(L"%s\n", Msg<619>(count, remote, local).c_str());
                m_temporaries.addFile(gz);
                GetDownloader().downloadFile(remote, gz);
                VerifyCompressedFile(gz, file);
            }
            if (!m_config->mirror()) {
                UpdStringList made;
                try {
                    DecompressAndVerify(gz, file, made);
                } catch (...) {
                    for (const std::wstring& p : made) m_temporaries.addFile(p);
                    throw;
                }
                for (const std::wstring& p : made) m_temporaries.addFile(p);
            }
        }
    }
    GetDownloader().disconnectServer();
    cb.callGui(L"onFinishDownloadFiles(weblocation)", &CUpdateGuiCallbacks::onFinishDownloadFiles,
               weblocation);
}

// ---- module commands ---------------------------------------------------------------------

void FileProcessor::RunPre(int moduleIndex) {
    if (m_config->mirror()) return;
    const UpdateModuleInfo& m = m_update->cGetModuleByIndex(moduleIndex);
    if (m_config->cCallbacks().callLib(L"overridePre(m.name)", &CUpdateLibCallbacks::overridePre,
                                       m.name))
        return;
    if (m.pre.empty()) return;
    const ModuleCommandLine command = SplitModuleCommand(m.pre);
    const std::wstring path = ModuleProgramPath(m_dirs.m_installdir, command.program);
    LogDebug(L"%s\n", Msg<585>(m.name, m.pre).c_str());
    RunModuleCommand(m.name, ModuleProgramExists(path) ? path : ModuleProgramName(command.program),
                     command.arguments);
}

void FileProcessor::RunPost(int moduleIndex) {
    if (m_config->mirror()) return;
    const UpdateModuleInfo& m = m_update->cGetModuleByIndex(moduleIndex);
    if (m_config->cCallbacks().callLib(L"overridePost(m.name)",
                                       &CUpdateLibCallbacks::overridePost, m.name))
        return;
    if (m.post.empty()) return;
    const ModuleCommandLine command = SplitModuleCommand(m.post);
    const std::wstring path = ModuleProgramPath(m_dirs.m_installdir, command.program);
    LogDebug(L"%s\n", Msg<586>(m.name, m.post).c_str());
    if (ModuleProgramExists(path)) {
        LogDebug(L"Post command line: %s %s\n", path.c_str(), command.arguments.c_str());
        RunModuleCommand(m.name, path, command.arguments);
    } else {
        RunModuleCommand(m.name, ModuleProgramName(command.program), command.arguments);
    }
}

void FileProcessor::RunUnPost(int moduleIndex) {
    if (m_config->mirror()) return;
    const UpdateModuleInfo& cCurModule = m_update->cGetModuleByIndex(moduleIndex);
    if (cCurModule.unpost.empty()) return;
    UpdateCallbacks& cb = m_config->cCallbacks();
    cb.callGui(L"beforeUnpost(cCurModule.name, cCurModule.unpost)",
               &CUpdateGuiCallbacks::beforeUnpost, cCurModule.name, cCurModule.unpost);
    if (!cb.callLib(L"overrideUnPost(cCurModule.name)", &CUpdateLibCallbacks::overrideUnPost,
                    cCurModule.name)) {
        const ModuleCommandLine command = SplitModuleCommand(cCurModule.unpost);
        LogDebug(L"%s\n", Msg<587>(cCurModule.name, cCurModule.unpost).c_str());
        RunModuleCommand(cCurModule.name, ModuleProgramPath(m_dirs.m_installdir, command.program),
                         command.arguments);
    }
    cb.callGui(L"afterUnpost(cCurModule.name, cCurModule.unpost)",
               &CUpdateGuiCallbacks::afterUnpost, cCurModule.name, cCurModule.unpost);
}

// ---- backup, installation, rollback ------------------------------------------------------

CModuleInstaller& FileProcessor::installer() {
    if (!m_installer) {
        InstallSettings settings;
        settings.installDir = m_dirs.m_installdir;
        settings.tmpDir = m_dirs.m_tmpdir;
        settings.backupDir = m_dirs.m_backupdir;
        settings.mirror = m_config->mirror();
        settings.selfUpdateDone = m_config->selfUpdateDone();
        settings.selfUpdate.tmpDir = m_dirs.m_tmpdir;
        settings.selfUpdate.logFile = m_config->logFileName();
        settings.selfUpdate.updateLib = m_config->updateLib();
        std::wstring commandLine = GetCommandLineText();
        m_config->expandVariables(commandLine, true, false);
        settings.selfUpdate.commandLine = commandLine;
        settings.selfUpdate.updaterPath = GetUpdaterPath();
        m_installer.reset(new CModuleInstaller(m_config->cCallbacks(), m_temporaries, settings));
    }
    // Where the download step put the files (the server's layout below the temporary root).
    const std::wstring root = m_serversHandler ? m_serversHandler->GetUpdateRoot()
                                               : m_config->productRoot();
    m_installer->setProductRoot(root);
    m_installer->setDownloadDir(m_downloadDir.empty() ? JoinConfined(m_dirs.m_tmpdir, root)
                                                      : m_downloadDir);
    return *m_installer;
}

void FileProcessor::BackupModule(int moduleIndex) {
    installer().backupModule(m_update->cGetModuleByIndex(moduleIndex));
}

void FileProcessor::InstallModule(int moduleIndex) {
    installer().installModule(m_update->cGetModuleByIndex(moduleIndex));
}

void FileProcessor::RestoreModule(int moduleIndex) {
    installer().restoreModule(m_update->cGetModuleByIndex(moduleIndex));
}

// The four kinds of rollback step, done by this processor.
class FileProcessor::RollbackOperations : public IRollbackOperations {
public:
    explicit RollbackOperations(FileProcessor& processor) : m_processor(processor) {}
    void runPre(int module) override { m_processor.RunPre(module); }
    void runPost(int module) override { m_processor.RunPost(module); }
    void runUnpost(int module) override { m_processor.RunUnPost(module); }
    void restoreModule(int module) override { m_processor.RestoreModule(module); }

private:
    FileProcessor& m_processor;
};

void FileProcessor::RollBack(int phase, int moduleIndex) {
    RollbackOperations operations(*this);
    ::RollBack(m_config->cCallbacks(), *m_update, operations, phase, moduleIndex);
}
