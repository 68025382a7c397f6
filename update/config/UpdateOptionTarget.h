// What the option table needs from the configuration when it carries option values into
// it. CUpdateParameters::apply turns one option value into exactly one of these calls (or
// two, for the options that name a file to read); the configuration (UpdateConfig)
// implements them. The table never keeps a pointer to the target: every call receives it.
//
// Values arrive as the table holds them: after path-variable expansion, with their case
// kept. Numbers are already converted, flags already decided (the flag setters are only
// called with true: a value other than "1" or "true" leaves the flag as it was). Texts
// longer than a field's limit are already cut for the proxy server and the user names.
#pragma once

#include <string>

namespace UpdateNew {

class UpdateOptionTarget {
public:
    // Connection settings (`retries`, `timeout`, `proxy-server`, `proxy-port`,
    // `proxy-username`). The names match ConnectionConfig's, so a class that derives from
    // both implements them by forwarding to ConnectionConfig.
    virtual void setRetries(int retries) = 0;
    virtual void setTimeout(int seconds) = 0;
    // `parallel` (1 to 64) and `max-rate` (bytes a second, 0: no cap), already checked.
    virtual void setParallel(int transfers) = 0;
    virtual void setMaxRate(unsigned long long bytesPerSecond) = 0;
    virtual void setProxy(const std::wstring& proxy) = 0;
    virtual void setProxyPort(int port) = 0;
    virtual void setProxyUsername(const std::wstring& name) = 0;
    // `proxy-userpass` and `share-userpass`, the value exactly as given: plain text when
    // the plain-password flag is on, otherwise scrambled hexadecimal text that the target
    // descrambles with its own seed. The target keeps at most 63 characters of the result.
    // `plain-pass` is applied before either of these (table order).
    virtual void setProxyPassword(const std::wstring& value) = 0;
    virtual void setSharePassword(const std::wstring& value) = 0;
    // `share-username` (at most 63 characters, already cut).
    virtual void setShareUsername(const std::wstring& name) = 0;

    // `install-path` and `backup-dir`: the target normalises the slashes and removes every
    // trailing "/" and "\".
    virtual void setInstallPath(const std::wstring& path) = 0;
    virtual void setBackupDir(const std::wstring& path) = 0;
    // `tmpdir`: may first be offered to the function-replacing plug-in, then normalised.
    virtual void setTempDir(const std::wstring& path) = 0;
    // `logfile`: joined to the updater's directory when relative, offered to the plug-in.
    virtual void setLogFileName(const std::wstring& name) = 0;

    // `config-file`: setConfigFileName stores the name (a bare name is taken in the
    // updater's directory), then readConfigFile(value) reads that file into the option
    // table; the same value is handed to both. A missing file is not an error.
    virtual void setConfigFileName(const std::wstring& name) = 0;
    virtual void readConfigFile(const std::wstring& name) = 0;
    // `url-file`: setUrlFileName stores the name, readUrlFile(value) reads it (a bare name
    // is taken in the configuration file's directory) and adds each line as a server.
    virtual void setUrlFileName(const std::wstring& name) = 0;
    virtual void readUrlFile(const std::wstring& name) = 0;
    // `url` and `url%d`: one server URL (an empty or malformed URL fails there).
    virtual void addServerUrl(const std::wstring& url) = 0;

    // Plain texts: `productinfofile`, `defaultsrv`, `masteridx`, `productfile`,
    // `productroot`, `idxlocalname`, `TmpFilesList`, `log-template`.
    virtual void setProductInfoFile(const std::wstring& name) = 0;
    virtual void setDefaultServer(const std::wstring& root) = 0;
    virtual void setMasterIdx(const std::wstring& path) = 0;
    virtual void setProductFile(const std::wstring& path) = 0;
    virtual void setProductRoot(const std::wstring& root) = 0;
    virtual void setIdxLocalName(const std::wstring& name) = 0;
    virtual void setTmpFilesList(const std::wstring& name) = 0;
    virtual void setLogTemplate(const std::wstring& tmpl) = 0;
    // `trusted-keys` (a file of minisign public keys) and `trust-threshold`.
    virtual void setTrustedKeys(const std::wstring& path) = 0;
    virtual void setTrustThreshold(int keys) = 0;

    // Plug-ins (`guilib`, `updatelib`): store the path and have the dispatcher load it.
    virtual void setGuiLib(const std::wstring& path) = 0;
    virtual void setUpdateLib(const std::wstring& path) = 0;

    // Self-update: `noselfupdate` (flag on, then notifySelfUpdateExecuted() to the
    // function-replacing plug-in), `copyaction` ("src|dest", once per value, in order),
    // `execaction` (the last value applied stays).
    virtual void setSelfUpdateDone() = 0;
    virtual void addCopyAction(const std::wstring& action) = 0;
    virtual void setSelfUpdateProgram(const std::wstring& program) = 0;

    // Flags, only ever switched on: `mirror`, `checkdirty`, `productfileignoreserverlist`,
    // `IgnoreMasterIDX`, `plain-pass`, `log-append`.
    virtual void setMirror(bool on) = 0;
    virtual void setCheckDirty(bool on) = 0;
    virtual void setIgnoreServerList(bool on) = 0;
    virtual void setIgnoreMasterIdx(bool on) = 0;
    virtual void setPlainPass(bool on) = 0;
    virtual void setLogAppend(bool on) = 0;
    // `delta`: on for "1" or "true", off for any other value.
    virtual void setDelta(bool on) = 0;
    // `check-timeout`: seconds a module's health check may run (1 to 86400).
    virtual void setCheckTimeout(int seconds) = 0;
    // `retry-failed`: install a release that failed its health check here before.
    virtual void setRetryFailed(bool on) = 0;
    // `machine-id`: the text that places this machine in a candidate's share.
    virtual void setMachineId(const std::wstring& id) = 0;
    // `candidate`: "auto", "always" or "never" (checked by the table).
    virtual void setCandidateMode(const std::wstring& mode) = 0;
    // `list-changes` (a flag, only switched on), `status` ("text" or "json", already
    // checked and in lower case), `report` and `metrics` (file names as given).
    virtual void setListChanges(bool on) = 0;
    virtual void setStatus(const std::wstring& form) = 0;
    virtual void setReportFile(const std::wstring& path) = 0;
    virtual void setMetricsFile(const std::wstring& path) = 0;
    // `stat-cache` (on for "1" or "true") and `full-check-every` (0 to 1000000, checked).
    virtual void setStatCache(bool on) = 0;
    virtual void setFullCheckEvery(int runs) = 0;

    virtual ~UpdateOptionTarget() = default;
};

}  // namespace UpdateNew
