// The terminal progress plug-in (libupdater-progress.so, option `guilib`): shows on
// standard error what an update run is doing.
//
// On a terminal it keeps one status line that it redraws in place: files checked and found
// changed, a bar of the bytes downloaded against the expected total with the rate, the
// module being backed up, installed or restored; lines that stay in the scroll-back mark
// the end of each phase. Anywhere else (a pipe, a file, a journal) it writes the same
// phase lines only, one per phase and module step, without cursor control.
//
// UPDATER_PROGRESS=plain forces the line output on a terminal too, UPDATER_PROGRESS=bar
// forces the status line. NO_COLOR turns colours off.
//
// The plug-in only observes: every callback answers 0 and nothing leaves a callback as an
// exception; when standard error cannot be written the plug-in goes quiet.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "TerminalWriter.h"
#include "update/UpdateGuiCallbacks.h"

class CProgressGuiCallbacks : public CUpdateGuiCallbacks {
public:
    // Writes to `fd` (standard error for the plug-in library).
    explicit CProgressGuiCallbacks(int fd);
    ~CProgressGuiCallbacks() override;

    int notifyVersionInfo(const std::wstring& cProductVersion) override;
    int onUpdateCriticalError(const std::wstring& cError, EUpdateErrors eError) override;
    int onUpdateNonCriticalError(const std::wstring& cError, EUpdateErrors eError) override;
    int beforeRestoreModuleStartup(const std::wstring& cModuleName) override;
    int onModuleRestoreFile(const std::wstring& cModuleName, const std::wstring& cSrc,
                            const std::wstring& cDest) override;
    int afterRestoreModuleCompletion(const std::wstring& cModuleName) override;
    int onUpdateStart() override;
    int onSelfUpdateStart() override;
    int notifyConfigFile(const std::wstring& cConfigFileName,
                         const ConfigFileData& cConfigFileData) override;
    int onCheckMainIdx(bool bCheck) override;
    int onCheckFile(const UpdateFileInfo& cFile) override;
    int onCheckFileIsDirty(const UpdateFileInfo& cFile) override;
    int onCheckFilesDone(unsigned long ulFilesTotal) override;
    int onStartDownloadFiles(const std::wstring& cServer, unsigned long ulDownloadSize) override;
    int onDownloadFile(const std::wstring& cSource, const std::wstring& cDest,
                       unsigned long ulBytes) override;
    int onFinishDownloadFiles(const std::wstring& cServer) override;
    int notifyModuleFileList(const std::wstring& cModuleName, bool bNeedsUpdate,
                             const UpdStringList& cAllModuleFiles, const UpdStringList& cDirtyFiles,
                             const std::wstring& cDestination) override;
    int BeforeUpdateModule(const std::wstring& cModuleName) override;
    int beforeBackup(const std::wstring& cModuleName) override;
    int onBackupFile(const std::wstring& cModuleName, const std::wstring& cSrc,
                     const std::wstring& cDest) override;
    int afterBackup(const std::wstring& cModuleName) override;
    int beforePre(const std::wstring& cModuleName, const std::wstring& cCommand) override;
    int beforeInstallModule(const std::wstring& cModuleName) override;
    int onInstallFile(const std::wstring& cSrc, const std::wstring& cDest) override;
    int afterInstallModule(const std::wstring& cModuleName) override;
    int beforePost(const std::wstring& cModuleName, const std::wstring& cCommand) override;
    int beforeUnpost(const std::wstring& cModuleName, const std::wstring& cCommand) override;
    int AfterUpdateModule(const std::wstring& cModuleName) override;
    int onUpdateFinish() override;
    int onSelfUpdateFinish() override;

private:
    enum class Phase { Idle, Checking, Downloading, Modules, Rollback, Done };
    enum class Tone { Plain, Good, Bad, Alarm };
    using Clock = std::chrono::steady_clock;

    // A line that stays: clears the status line first (terminal), then the text.
    void line(const std::wstring& text, Tone tone = Tone::Plain);
    // The line announcing a module command (`text` followed by the command), after which
    // no status line is drawn while the command may write; an empty command only redraws.
    void commandLine(const std::wstring& text, const std::wstring& command, Tone tone);
    // Redraws the status line on a terminal; `force` skips the redraw throttle.
    void status(bool force);
    std::wstring statusText(int columns) const;
    void clearStatus();
    double secondsSince(Clock::time_point start) const;
    // A module command is run: not empty, and not a mirror (which runs none).
    bool commandRuns(const std::wstring& command) const;

    TerminalWriter m_out;
    bool m_bar;  // status line in place (terminal) or phase lines only

    Phase m_phase = Phase::Idle;
    bool m_statusShown = false;
    Clock::time_point m_lastDraw;

    std::wstring m_version;
    bool m_selfUpdate = false;
    bool m_failed = false;
    bool m_nothingChanged = false;
    bool m_rolledBack = false;
    bool m_mirror = false;  // the option `mirror`, as the configuration gave it

    // File check.
    unsigned long m_checked = 0;
    unsigned long m_changed = 0;
    std::wstring m_checking;

    // Download.
    unsigned long m_filesTotal = 0;
    unsigned long m_bytesTotal = 0;
    unsigned long m_bytesDone = 0;
    unsigned long m_filesStarted = 0;
    std::wstring m_server;
    std::wstring m_currentDest;
    Clock::time_point m_downloadStart;
    bool m_downloadStarted = false;
    unsigned long m_downloadedFiles = 0;  // over the whole run, for the summary
    std::wstring m_fetching;              // a file fetched outside the download phase
    // Patches fetched after the check, before the download phase: how many, their bytes,
    // and where the last one went.
    unsigned long m_patches = 0;
    unsigned long m_patchBytes = 0;
    std::wstring m_patchDest;

    // Modules.
    std::map<std::wstring, unsigned long> m_dirtyPerModule;
    std::wstring m_module;
    std::wstring m_step;
    unsigned long m_stepDone = 0;
    unsigned long m_stepTotal = 0;
    unsigned long m_modulesUpdated = 0;
    unsigned long m_filesInstalled = 0;
};
