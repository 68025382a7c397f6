// The effective configuration of one run. The entry point constructs it, gives it the
// settings store (initSettings), the command line (init) and has it prepare itself
// (prepare); afterwards the update run and every other part read it. It owns the option
// table, the plug-in dispatcher (and through it the plug-ins), the path variables, the
// server list and the self-update actions; the settings store stays the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "config/PathVariables.h"
#include "config/UpdateOptionTarget.h"
#include "config/UpdateParameters.h"
#include "config/UpdateUri.h"
#include "net/ConnectionConfig.h"
#include "plugin/UpdateCallbacks.h"

namespace UpdateNew {

class ConnectionOptions;

// The three working directories of a run, each ending in "/" once prepared.
struct UpdateDirs {
    std::wstring m_installdir;
    std::wstring m_tmpdir;
    std::wstring m_backupdir;
};

class UpdateConfig : public ConnectionConfig, public UpdateOptionTarget {
public:
    // Settings of the store: the temporary directory, the settings file's name, and where
    // the settings file's other keys go.
    static constexpr int32_t kSettingTempDir = 100;
    static constexpr int32_t kSettingsFileName = 101;
    static constexpr int32_t kSettingOther = 102;
    // The settings file used when the store names none (a relative name here).
    static const wchar_t* const kDefaultSettingsFile;  // "c:\updatenew.conf"
    // Stored passwords: hexadecimal text of this many bytes, scrambled with the
    // product's seed (DescramblePassword), unless plain passwords are configured.
    static constexpr int kPasswordLength = 40;
    // The settings, configuration and URL files are read a line at a time within these
    // bounds, so that a file without line ends (or a device that never ends) cannot take
    // the run's memory or time. Such files are a few lines of text.
    static constexpr size_t kMaxLineBytes = 1u << 20;   // per line, without its line end
    static constexpr size_t kMaxFileBytes = 16u << 20;  // per file

    // Server URL text -> parsed record, in text order, one entry per distinct text.
    using ServerMap = std::map<std::wstring, UpdateUri>;
    // (source, destination) of a file the self-update copies into place.
    using CopyAction = std::pair<std::wstring, std::wstring>;
    using CopyActions = std::list<CopyAction>;

    UpdateConfig();
    UpdateConfig(const UpdateConfig&) = delete;
    UpdateConfig& operator=(const UpdateConfig&) = delete;
    ~UpdateConfig() override;

    // Records the store (not owned; it must outlive this object), reads the settings file
    // into it and makes sure it holds a temporary directory. 3 for a null store; otherwise 0
    // or the store's failure.
    int initSettings(ConnectionOptions* store);
    // The two-pass parse of the command line with the configuration file read in between,
    // then validation. Returns true or throws CUpdateCriticalException.
    bool init(int argc, const wchar_t* const* argv);
    // Loads the plug-ins, defines and expands the path variables, applies the options and
    // derives and creates the three directories. Throws CUpdateCriticalException.
    void prepare();
    // Whether prepare() got as far as applying every option (the log file's name is known).
    bool optionsApplied() const { return m_optionsApplied; }

    // --- what the option table applies (UpdateOptionTarget) ---
    void setRetries(int retries) override { ConnectionConfig::setRetries(retries); }
    void setTimeout(int seconds) override { ConnectionConfig::setTimeout(seconds); }
    void setParallel(int transfers) override { ConnectionConfig::setParallel(transfers); }
    void setMaxRate(unsigned long long bytesPerSecond) override {
        ConnectionConfig::setMaxRate(bytesPerSecond);
    }
    void setProxy(const std::wstring& proxy) override { ConnectionConfig::setProxy(proxy); }
    void setProxyPort(int port) override { ConnectionConfig::setProxyPort(port); }
    void setProxyUsername(const std::wstring& name) override {
        ConnectionConfig::setProxyUsername(name);
    }
    void setProxyPassword(const std::wstring& value) override;
    void setSharePassword(const std::wstring& value) override;
    void setShareUsername(const std::wstring& name) override {
        ConnectionConfig::setShareUsername(name);
    }
    void setInstallPath(const std::wstring& path) override;
    void setBackupDir(const std::wstring& path) override;
    void setTempDir(const std::wstring& path) override;
    void setLogFileName(const std::wstring& name) override;
    void setConfigFileName(const std::wstring& name) override;
    // Reads the configuration file into the option table. Virtual in both bases.
    void readConfigFile(const std::wstring& name) override;
    void setUrlFileName(const std::wstring& name) override;
    void readUrlFile(const std::wstring& name) override;
    void addServerUrl(const std::wstring& url) override;
    void setProductInfoFile(const std::wstring& name) override { m_productInfoFile = name; }
    void setDefaultServer(const std::wstring& root) override { m_defaultServer = root; }
    void setMasterIdx(const std::wstring& path) override { m_masterIdx = path; }
    void setProductFile(const std::wstring& path) override { m_productFile = path; }
    void setProductRoot(const std::wstring& root) override { m_productRoot = root; }
    void setIdxLocalName(const std::wstring& name) override { m_idxLocalName = name; }
    void setTmpFilesList(const std::wstring& name) override { m_tmpFilesList = name; }
    void setLogTemplate(const std::wstring& tmpl) override { m_logTemplate = tmpl; }
    void setGuiLib(const std::wstring& path) override;
    void setUpdateLib(const std::wstring& path) override;
    void setSelfUpdateDone() override;
    void addCopyAction(const std::wstring& action) override;
    void setSelfUpdateProgram(const std::wstring& program) override {
        m_selfUpdateProgram = program;
    }
    void setMirror(bool on) override { m_mirror = on; }
    void setCheckDirty(bool on) override { m_checkDirty = on; }
    void setIgnoreServerList(bool on) override { m_ignoreServerList = on; }
    void setIgnoreMasterIdx(bool on) override { m_ignoreMasterIdx = on; }
    void setDelta(bool on) override { m_delta = on; }
    void setCheckTimeout(int seconds) override { m_checkTimeout = seconds; }
    void setRetryFailed(bool on) override { m_retryFailed = on; }
    void setMachineId(const std::wstring& id) override { m_machineId = id; }
    void setCandidateMode(const std::wstring& mode) override { m_candidateMode = mode; }
    void setListChanges(bool on) override { m_listChanges = on; }
    void setStatus(const std::wstring& form) override { m_status = form; }
    void setReportFile(const std::wstring& path) override { m_reportFile = path; }
    void setMetricsFile(const std::wstring& path) override { m_metricsFile = path; }
    void setStatCache(bool on) override { m_statCache = on; }
    void setFullCheckEvery(int runs) override { m_fullCheckEvery = runs; }
    void setPlainPass(bool on) override { m_plainPass = on; }
    void setLogAppend(bool on) override { m_logAppend = on; }
    // Minisign public keys the master index must be signed with, and how many distinct
    // ones must have signed. No file: signatures are not checked.
    void setTrustedKeys(const std::wstring& path) override { m_trustedKeys = path; }
    void setTrustThreshold(int keys) override { m_trustThreshold = keys; }

    // --- path variables ---
    void setVariable(const std::wstring& name, std::wstring value) {
        m_variables.setVariable(name, std::move(value));
    }
    void setPackedVariable(const std::wstring& name, std::string packedValue) {
        m_variables.setPackedVariable(name, std::move(packedValue));
    }
    std::wstring getVariable(const std::wstring& name) const {
        return m_variables.getVariable(name);
    }
    const std::string* packedVariable(const std::wstring& name) const {
        return m_variables.packedValue(name);
    }
    void expandVariables(std::wstring& text, bool useEnvironment, bool removeDotSlash) const {
        m_variables.expandVariables(text, useEnvironment, removeDotSlash);
    }
    const PathVariables& variables() const { return m_variables; }

    // --- readers ---
    ConnectionOptions* settings() const { return m_settings; }
    bool settingsInitialised() const { return m_settingsInitialised; }
    CUpdateParameters& params() { return m_params; }
    const CUpdateParameters& params() const { return m_params; }
    UpdateCallbacks& cCallbacks() { return m_callbacks; }
    bool plainPass() const { return m_plainPass; }
    bool logAppend() const { return m_logAppend; }
    bool mirror() const { return m_mirror; }
    // `parallel` was given, not left at its default.
    bool parallelGiven() const {
        auto option = m_params.findById(OPT_PARALLEL);
        return option != m_params.end() && option->given();
    }
    bool ignoreMasterIdx() const { return m_ignoreMasterIdx; }
    bool selfUpdateDone() const { return m_selfUpdateDone; }
    // Rebuild changed files from patches against the installed copies where the server
    // offers them (option `delta`, on by default).
    bool delta() const { return m_delta; }
    // The health check and the candidate release (options `check-timeout`,
    // `retry-failed`, `machine-id`, `candidate`); an empty machine id: /etc/machine-id.
    int checkTimeout() const { return m_checkTimeout; }
    bool retryFailed() const { return m_retryFailed; }
    const std::wstring& machineId() const { return m_machineId; }
    const std::wstring& candidateMode() const { return m_candidateMode; }
    bool checkDirty() const { return m_checkDirty; }
    // A check-only run prints each file it would change (`list-changes`).
    bool listChanges() const { return m_listChanges; }
    // "text" or "json" when the run only prints the installation's state; empty otherwise.
    // Such a run makes no directory and contacts no server.
    const std::wstring& status() const { return m_status; }
    // Where the run's outcome goes at its end (empty: nowhere).
    const std::wstring& reportFile() const { return m_reportFile; }
    const std::wstring& metricsFile() const { return m_metricsFile; }
    // The check takes unchanged files' digests from the stat cache (`stat-cache`); every
    // fullCheckEvery()-th check with it hashes every file (0: never).
    bool statCache() const { return m_statCache; }
    int fullCheckEvery() const { return m_fullCheckEvery; }
    // `logfile` was given (on the command line or in the configuration file).
    bool logFileGiven() const {
        auto option = m_params.findById(OPT_LOGFILE);
        return option != m_params.end() && option->given();
    }
    bool ignoreServerList() const { return m_ignoreServerList; }
    const std::wstring& trustedKeys() const { return m_trustedKeys; }
    int trustThreshold() const { return m_trustThreshold; }
    const std::wstring& urlFileName() const { return m_urlFileName; }
    const std::wstring& installPath() const { return m_installPath; }
    const std::wstring& tempDir() const { return m_tempDir; }
    const std::wstring& backupDir() const { return m_backupDir; }
    const std::wstring& productInfoFile() const { return m_productInfoFile; }
    const std::wstring& logFileName() const { return m_logFileName; }
    const std::wstring& defaultServer() const { return m_defaultServer; }
    const std::wstring& masterIdx() const { return m_masterIdx; }
    const std::wstring& productFile() const { return m_productFile; }
    const std::wstring& productRoot() const { return m_productRoot; }
    const std::wstring& guiLib() const { return m_guiLib; }
    const std::wstring& updateLib() const { return m_updateLib; }
    const std::wstring& configFileName() const { return m_configFileName; }
    const std::wstring& idxLocalName() const { return m_idxLocalName; }
    const std::wstring& tmpFilesList() const { return m_tmpFilesList; }
    const std::wstring& selfUpdateProgram() const { return m_selfUpdateProgram; }
    const std::wstring& logTemplate() const { return m_logTemplate; }
    const UpdateDirs& updateDirs() const { return m_updateDirs; }
    const CopyActions& copyActions() const { return m_copyActions; }
    // The directories that preparing the run's installation, temporary and backup
    // directories created, parents first (none the plug-in created).
    const std::vector<std::wstring>& createdRunDirs() const { return m_createdRunDirs; }
    // Whether preparing the run created the temporary (the backup) directory itself; one
    // found in place may hold the user's files and is never removed whole.
    bool tmpDirCreated() const { return m_tmpDirCreated; }
    bool backupDirCreated() const { return m_backupDirCreated; }
    // The server list. The server handler drops failed servers from it and adds the
    // servers a product file names.
    ServerMap& servers() { return m_servers; }
    const ServerMap& servers() const { return m_servers; }
    // The URL text at that position of the server list; an index past the end fails with
    // CUpdateCriticalException 606.
    const std::wstring& getServerUrl(size_t index) const;

    // --- path helpers of the configuration ---
    // "\" becomes "/" and runs of "/" become one, unless the path holds ":"; trailing "/"
    // and "\" are removed.
    static std::wstring normalizeDir(const std::wstring& path);
    // Exactly one "/" between the parts (added to `a` when missing; a leading "/" of `b`
    // dropped).
    static std::wstring joinPath(const std::wstring& a, const std::wstring& b);
    // A name without "/" and "\" is taken in `dir`; any other is used as it is.
    static std::wstring inDirectoryIfBare(const std::wstring& name, const std::wstring& dir);

    // Logs a warning (console and log file) for every key of the command line and of the
    // configuration file that is no option of the updater, naming the nearest option.
    // Such keys still reach the plug-ins as configuration data.
    void warnUnknownOptions() const;

private:
    // Reads the settings file into the store: 0, or the store's failure.
    unsigned readSettingsFile();
    int ensureTempDirSetting();
    void defineStandardVariables();
    void applyPluginChanges();
    void defineUserVariables();
    void expandOptionValues();
    void prepareDirectories();
    // Gives whether `dir` itself was created (not only some of its parents); with
    // `privateDir` a missing directory is made with mode 0700.
    bool createDirectory(const std::wstring& dir, int errorCode, bool privateDir = false);
    // The temporary or backup directory: made 0700 when missing, and either way used only
    // when it is trusted (base/TrustedDirectory.h); otherwise the run is refused with
    // message 815 and `errorCode`.
    bool createRunDirectory(const std::wstring& dir, int errorCode);
    // The default temporary directory: a new one under $TMPDIR (when it names an absolute
    // path) or the default's own directory, named after the default with an unpredictable
    // ending, made exclusively with mode 0700. It becomes the temporary directory and the
    // value of UPDATE_TEMP.
    void createUniqueTempDir();
    std::wstring password(const wchar_t* option, const std::wstring& value) const;

    ConnectionOptions* m_settings = nullptr;
    bool m_settingsInitialised = false;

    CUpdateParameters m_params;
    UpdateCallbacks m_callbacks;

    bool m_plainPass = false;
    bool m_logAppend = false;
    bool m_mirror = false;
    bool m_ignoreMasterIdx = false;
    bool m_selfUpdateDone = false;
    bool m_delta = true;
    int m_checkTimeout = 60;
    bool m_retryFailed = false;
    std::wstring m_machineId;
    std::wstring m_candidateMode = L"auto";
    bool m_checkDirty = false;
    bool m_listChanges = false;
    std::wstring m_status;
    std::wstring m_reportFile;
    std::wstring m_metricsFile;
    bool m_statCache = false;
    int m_fullCheckEvery = 10;
    bool m_ignoreServerList = false;
    std::wstring m_trustedKeys;
    int m_trustThreshold = 1;

    std::wstring m_urlFileName;
    std::wstring m_installPath;
    bool m_installPathEmpty = false;  // given as "", or as "./"
    std::wstring m_tempDir;
    std::wstring m_backupDir;
    std::wstring m_productInfoFile;
    std::wstring m_logFileName;
    std::wstring m_defaultServer;
    std::wstring m_masterIdx;
    std::wstring m_productFile;
    std::wstring m_productRoot;
    std::wstring m_guiLib;
    std::wstring m_updateLib;
    std::wstring m_configFileName;
    std::wstring m_idxLocalName;
    std::wstring m_tmpFilesList;
    std::wstring m_selfUpdateProgram;
    std::wstring m_logTemplate;

    PathVariables m_variables;
    UpdateDirs m_updateDirs;
    ServerMap m_servers;
    CopyActions m_copyActions;
    std::vector<std::wstring> m_createdRunDirs;
    bool m_tmpDirCreated = false;
    bool m_backupDirCreated = false;
    // Whether the temporary directory is the default's (not given, not changed by the
    // function-replacing plug-in).
    bool m_tempDirDefault = false;
    bool m_optionsApplied = false;
};

}  // namespace UpdateNew
