// The file processor's backup, installation, rollback and clean-up operations. The work is
// done by CModuleInstaller (files of one module), the rollback plan (Rollback.h) and
// CTemporaryFiles (the lists of what the run leaves behind); this source binds them to the
// run's configuration and product data.
#include <memory>

#include "FileProcessor.h"
#include "ModuleInstaller.h"
#include "common/ProgramInfo.h"
#include "Rollback.h"
#include "TemporaryFiles.h"
#include "UpdateCallbacks.h"
#include "UpdateConfig.h"
#include "common/Exception.h"
#include "common/Messages.h"
#include "fileutils.h"
#include "update/Logger.h"

namespace {

// The rollback's steps done by the file processor's own operations.
class ProcessorRollbackOperations : public IRollbackOperations {
public:
    explicit ProcessorRollbackOperations(FileProcessor& processor) : m_processor(processor) {}
    void runPre(int module) override { m_processor.RunPre(module); }
    void runPost(int module) override { m_processor.RunPost(module); }
    void runUnpost(int module) override { m_processor.RunUnPost(module); }
    void restoreModule(int module) override { m_processor.RestoreModule(module); }

private:
    FileProcessor& m_processor;
};

// What the self-update needs from the configuration. The command line is repeated with its
// path variables expanded; a text that cannot be expanded (a "%" that is no variable) is
// repeated as it was given.
SelfUpdateSettings SelfUpdateSettingsOf(UpdateConfig& config) {
    SelfUpdateSettings s;
    s.tmpDir = config.updateDirs().m_tmpdir;
    s.logFile = config.logFileName();
    s.updateLib = config.updateLib();
    s.updaterPath = GetUpdaterPath();
    s.commandLine = GetCommandLineText();
    std::wstring expanded = s.commandLine;
    try {
        config.expandVariables(expanded, false, false);
        s.commandLine = expanded;
    } catch (const Exception& e) {
        LogDebug(L"The command line is repeated unexpanded: %s\n", e.twhat());
    }
    return s;
}

}  // namespace

void FileProcessor::CheckDirectories() {
    const UpdateDirs& dirs = m_config->updateDirs();
    LogDebug(L"%s\n", Msg<600>(dirs.m_installdir, dirs.m_tmpdir, dirs.m_backupdir).c_str());
    if (dirs.m_installdir.empty() || dirs.m_tmpdir.empty() || dirs.m_backupdir.empty())
        THROW_CRITICAL(Msg<249>(), ERR_FILEPROCESSOR_DIRS);
    m_temporaries.addDir(dirs.m_backupdir);
    m_temporaries.addDir(dirs.m_tmpdir);
}

CModuleInstaller& FileProcessor::installer() {
    if (!m_installer) {
        const UpdateDirs& dirs = m_config->updateDirs();
        InstallSettings settings;
        settings.installDir = dirs.m_installdir;
        settings.tmpDir = dirs.m_tmpdir;
        settings.backupDir = dirs.m_backupdir;
        settings.mirror = m_config->mirror();
        settings.selfUpdateDone = m_config->selfUpdateDone();
        settings.selfUpdate = SelfUpdateSettingsOf(*m_config);
        m_installer.reset(new CModuleInstaller(m_config->cCallbacks(), m_temporaries, settings));
    }
    // The download step decides where the files are; before it, the temporary root.
    m_installer->setDownloadDir(m_downloadDir.empty() ? m_config->updateDirs().m_tmpdir
                                                      : m_downloadDir);
    m_installer->setProductRoot(productRoot());
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

void FileProcessor::RollBack(int phase, int moduleIndex) {
    ProcessorRollbackOperations operations(*this);
    ::RollBack(m_config->cCallbacks(), *m_update, operations, phase, moduleIndex);
}

void FileProcessor::RollbackStep(ERollbackSteps step, int moduleIndex,
                                 const std::wstring& announcement) {
    ProcessorRollbackOperations operations(*this);
    RunRollbackStep(m_config->cCallbacks(), *m_update, operations, step, moduleIndex,
                    announcement);
}

bool FileProcessor::ReadTmpFilesList(const std::wstring& path) {
    return m_temporaries.readListFile(path);
}

bool FileProcessor::WriteTmpFilesList(const std::wstring& path) {
    return m_temporaries.writeListFile(path);
}

void FileProcessor::CleanUp() noexcept { m_temporaries.cleanup(m_config->cCallbacks()); }

void FileProcessor::DeleteMasterIdxCopy(const std::wstring& cIdx) {
    if (cIdx.empty()) return;
    if (m_config->cCallbacks().callLib(L"DeleteFile(cIdx)", &CUpdateLibCallbacks::DeleteFile,
                                       cIdx.c_str()))
        return;
    ::DeleteFile(cIdx, true);
}
