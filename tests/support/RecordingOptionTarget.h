// An option target that writes down every call it receives, as "name(argument)", in
// order. Tests compare the list; `onReadConfigFile` lets a test stand in for the
// configuration file's content.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "config/UpdateOptionTarget.h"

using namespace UpdateNew;

class RecordingOptionTarget : public UpdateOptionTarget {
public:
    std::vector<std::wstring> calls;
    std::function<void(const std::wstring&)> onReadConfigFile;

    void setRetries(int n) override { rec(L"setRetries", std::to_wstring(n)); }
    void setTimeout(int n) override { rec(L"setTimeout", std::to_wstring(n)); }
    void setParallel(int n) override { rec(L"setParallel", std::to_wstring(n)); }
    void setMaxRate(unsigned long long n) override { rec(L"setMaxRate", std::to_wstring(n)); }
    void setProxy(const std::wstring& v) override { rec(L"setProxy", v); }
    void setProxyPort(int n) override { rec(L"setProxyPort", std::to_wstring(n)); }
    void setProxyUsername(const std::wstring& v) override { rec(L"setProxyUsername", v); }
    void setProxyPassword(const std::wstring& v) override { rec(L"setProxyPassword", v); }
    void setSharePassword(const std::wstring& v) override { rec(L"setSharePassword", v); }
    void setShareUsername(const std::wstring& v) override { rec(L"setShareUsername", v); }
    void setInstallPath(const std::wstring& v) override { rec(L"setInstallPath", v); }
    void setBackupDir(const std::wstring& v) override { rec(L"setBackupDir", v); }
    void setTempDir(const std::wstring& v) override { rec(L"setTempDir", v); }
    void setLogFileName(const std::wstring& v) override { rec(L"setLogFileName", v); }
    void setConfigFileName(const std::wstring& v) override { rec(L"setConfigFileName", v); }
    void readConfigFile(const std::wstring& v) override {
        rec(L"readConfigFile", v);
        if (onReadConfigFile) onReadConfigFile(v);
    }
    void setUrlFileName(const std::wstring& v) override { rec(L"setUrlFileName", v); }
    void readUrlFile(const std::wstring& v) override { rec(L"readUrlFile", v); }
    void addServerUrl(const std::wstring& v) override { rec(L"addServerUrl", v); }
    void setProductInfoFile(const std::wstring& v) override { rec(L"setProductInfoFile", v); }
    void setDefaultServer(const std::wstring& v) override { rec(L"setDefaultServer", v); }
    void setMasterIdx(const std::wstring& v) override { rec(L"setMasterIdx", v); }
    void setProductFile(const std::wstring& v) override { rec(L"setProductFile", v); }
    void setProductRoot(const std::wstring& v) override { rec(L"setProductRoot", v); }
    void setIdxLocalName(const std::wstring& v) override { rec(L"setIdxLocalName", v); }
    void setTmpFilesList(const std::wstring& v) override { rec(L"setTmpFilesList", v); }
    void setLogTemplate(const std::wstring& v) override { rec(L"setLogTemplate", v); }
    void setTrustedKeys(const std::wstring& v) override { rec(L"setTrustedKeys", v); }
    void setTrustThreshold(int v) override { rec(L"setTrustThreshold", std::to_wstring(v)); }
    void setGuiLib(const std::wstring& v) override { rec(L"setGuiLib", v); }
    void setUpdateLib(const std::wstring& v) override { rec(L"setUpdateLib", v); }
    void setSelfUpdateDone() override { rec(L"setSelfUpdateDone", L""); }
    void addCopyAction(const std::wstring& v) override { rec(L"addCopyAction", v); }
    void setSelfUpdateProgram(const std::wstring& v) override { rec(L"setSelfUpdateProgram", v); }
    void setMirror(bool on) override { rec(L"setMirror", flag(on)); }
    void setCheckDirty(bool on) override { rec(L"setCheckDirty", flag(on)); }
    void setIgnoreServerList(bool on) override { rec(L"setIgnoreServerList", flag(on)); }
    void setIgnoreMasterIdx(bool on) override { rec(L"setIgnoreMasterIdx", flag(on)); }
    void setDelta(bool on) override { rec(L"setDelta", flag(on)); }
    void setCheckTimeout(int seconds) override {
        rec(L"setCheckTimeout", std::to_wstring(seconds));
    }
    void setRetryFailed(bool on) override { rec(L"setRetryFailed", flag(on)); }
    void setMachineId(const std::wstring& id) override { rec(L"setMachineId", id); }
    void setCandidateMode(const std::wstring& mode) override { rec(L"setCandidateMode", mode); }
    void setPlainPass(bool on) override { rec(L"setPlainPass", flag(on)); }
    void setLogAppend(bool on) override { rec(L"setLogAppend", flag(on)); }
    void setListChanges(bool on) override { rec(L"setListChanges", flag(on)); }
    void setStatus(const std::wstring& v) override { rec(L"setStatus", v); }
    void setReportFile(const std::wstring& v) override { rec(L"setReportFile", v); }
    void setMetricsFile(const std::wstring& v) override { rec(L"setMetricsFile", v); }
    void setStatCache(bool on) override { rec(L"setStatCache", flag(on)); }
    void setFullCheckEvery(int runs) override { rec(L"setFullCheckEvery", std::to_wstring(runs)); }

    // The recorded calls whose name starts with `prefix`.
    std::vector<std::wstring> only(const std::wstring& prefix) const {
        std::vector<std::wstring> out;
        for (const auto& c : calls)
            if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
        return out;
    }

private:
    static std::wstring flag(bool on) { return on ? L"true" : L"false"; }
    void rec(const wchar_t* name, const std::wstring& arg) {
        calls.push_back(std::wstring(name) + L"(" + arg + L")");
    }
};
