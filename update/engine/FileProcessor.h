// The file processor: every per-module step of an update run, from checking the installed
// files to cleaning up. The update run owns one and calls its phases in order; the
// processor keeps what a phase hands on to the next (marks in the product data, lists of
// changed files). Sections below follow the phases of a run.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "UpdateInfo.h"

class CDownloadServersHandler;
class FileDownloader;
class UpdateConfig;

class FileProcessor {
public:
    // --- construction ---
    // `config` and `update` belong to the update run and must outlive the processor.
    FileProcessor(UpdateConfig* config, UpdateInfo* update);
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
};
