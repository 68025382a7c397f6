// The file processor: every per-module step of an update run, from checking the installed
// files to cleaning up. The update run owns one and calls its phases in order; the
// processor keeps what a phase hands on to the next (marks in the product data, lists of
// changed files). Sections below follow the phases of a run.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ModuleInstaller.h"
#include "Rollback.h"
#include "TemporaryFiles.h"
#include "UpdateConfig.h"
#include "UpdateInfo.h"

class CDownloadServersHandler;
class FileDownloader;
class UpdateConfig;

class FileProcessor {
public:
    // --- construction ---
    // `config` and `update` belong to the update run and must outlive the processor.
    FileProcessor(UpdateConfig* config, UpdateInfo* update);
    // Deletes every listed temporary file and directory (the clean-up of the run).
    ~FileProcessor();
    FileProcessor(const FileProcessor&) = delete;
    FileProcessor& operator=(const FileProcessor&) = delete;

    // --- server choice ---
    // The run's downloader and server handler, created together on first use (the
    // handler chooses a default server at once in default-server mode).
    CDownloadServersHandler& GetServersHandler();
    FileDownloader& GetDownloader();
    bool HasServersHandler() const { return m_serversHandler != nullptr; }

    // --- file check ---
    // Compares every file of every module with the installed copy (or, in mirror mode,
    // with the compressed copy in the mirror tree) and marks what must be fetched: changed
    // files and their modules get `needsupdate`, so do the modules that depend on a module
    // that needs an update. Counts the files and the compressed bytes to fetch in the
    // dispatcher, reports each file to the GUI plug-in ("onCheckFile(f)", and
    // "onCheckFileIsDirty(f)" for a changed one) and, when anything changed, sets the path
    // variable UPDATED_FILES. Changes no installed file. Unusable module dependencies end
    // the process (status 250 or 249).
    void CheckFiles();
    // The entries behind UPDATED_FILES of the last check: per module with changed files
    // "[name]", then the local path of each changed file between double quotes.
    const std::vector<std::wstring>& updatedFiles() const { return m_updatedFiles; }

    // --- the run's directories and what it leaves behind ---
    // Takes the configuration's three directories for a run: logs them (message 600),
    // fails with CUpdateCriticalException 607 (message 249) when one is empty, and lists
    // the backup and then the temporary directory for the clean-up. The update run calls
    // it once, before anything else.
    void PrepareRun();
    CTemporaryFiles& temporaries() { return m_temporaries; }
    void AddTempFile(const std::wstring& path) { m_temporaries.addFile(path); }
    void AddTempDir(const std::wstring& path) { m_temporaries.addDir(path); }
    // Takes over what an earlier updater process listed for deletion ("ToRemove.txt").
    void ReadTmpFilesList(const std::wstring& path) { m_temporaries.readListFile(path); }
    // Deletes the kept local copy of the master index ("DeleteFile(cIdx)" offered first), so
    // that the next run does not take an unfinished update for an unchanged one.
    void DeleteMasterIdxCopy();

    // --- master index and product info ---
    // Fetches the master index from `address` (the plug-in may change it first:
    // "changeMasterIdxUrl(src)") into the temporary root, checks it (a second fetch when
    // the first copy fails; then Exception 636, message 132) and compares it whole with
    // `keptCopy`. False when both are equal and IgnoreMasterIDX is not set (message 645).
    // Otherwise, in this order: in mirror mode the copy into the mirror tree; its lines to
    // "notifyMasterIdxContent(cMasterIdxContents)"; the fresh index copied over `keptCopy`;
    // true. After a self-update the first process's copy is used: nothing is fetched.
    bool DownloadMasterIdx(const std::wstring& address, const std::wstring& keptCopy);
    // Fetches the product info file (`defaultAddress`, or `givenName` beside it with the
    // naming rules of ProductInfoRemoteName) below the temporary root (message 643) and
    // gives the local path, still to be decoded. 626 (message 125) when its directory
    // cannot be made.
    std::wstring DownloadProductInfoFile(const std::wstring& defaultAddress,
                                         const std::wstring& givenName);

    // --- module download ---
    // Fetches every changed file of every module that needs an update from `baseAddress`
    // (the server joined with the update root) into the download directory (temporary
    // root joined with `productRoot`), reusing a matching ".gz" already there, verifies
    // it, and outside mirror mode decompresses and verifies it beside itself. Bracketed by
    // "onStartDownloadFiles(...)" and "onFinishDownloadFiles(weblocation)"; disconnects the
    // downloader at the end. An interrupt or terminate signal stops it before the next
    // fetch (CUpdateCriticalException -1, message 252).
    void DownloadFiles(const std::wstring& baseAddress, const std::wstring& productRoot);
    const std::wstring& downloadDir() const { return m_downloadDir; }

    // --- module commands, backup, installation, rollback (module index) ---
    // PRE and POST offer "overridePre(m.name)" / "overridePost(m.name)" first, UNPOST is
    // bracketed by "beforeUnpost(...)" and "afterUnpost(...)"; mirror mode runs nothing.
    void RunPre(int moduleIndex);
    void RunPost(int moduleIndex);
    void RunUnPost(int moduleIndex);
    void BackupModule(int moduleIndex);
    // The updater's own module is handed to the self-update, which ends this process.
    void InstallModule(int moduleIndex);
    void RestoreModule(int moduleIndex);
    // Undoes a run that failed in `phase` (0 pre or backup, 4 install, 1 post) at module
    // `moduleIndex`.
    void RollBack(int phase, int moduleIndex);

private:
    // Checks one file; true when it must be fetched. `localPath` receives the path looked at.
    bool checkFile(const UpdateModuleInfo& module, const UpdateFileInfo& file,
                   const std::wstring& destination, std::wstring& localPath);
    bool checkInstalledFile(const UpdateModuleInfo& module, const UpdateFileInfo& file,
                            const std::wstring& localPath);

    // The server's product root, and the base address of the module files for log lines.
    std::wstring productRoot() const;
    std::wstring moduleFilesAddress() const;

    UpdateConfig* m_config;
    UpdateInfo* m_update;
    std::unique_ptr<FileDownloader> m_downloader;
    std::unique_ptr<CDownloadServersHandler> m_serversHandler;  // uses m_downloader
    std::vector<std::wstring> m_updatedFiles;

    CModuleInstaller& installer();
    // Creates `dir` through "checkCreateDirectory(cPath, cCreatedDirs)" and lists what it
    // created for the clean-up; 626 (message 125) when it cannot.
    void MakeTempDirectory(const std::wstring& dir);
    bool FetchCheckedIndex(const std::wstring& address, const std::wstring& local);
    class RollbackOperations;

    UpdateDirs m_dirs;
    CTemporaryFiles m_temporaries;
    std::unique_ptr<CModuleInstaller> m_installer;
    std::wstring m_downloadDir;
};
