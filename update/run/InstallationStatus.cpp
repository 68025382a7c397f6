#include "run/InstallationStatus.h"

#include <unistd.h>

#include "base/Conv.h"
#include "base/CountText.h"
#include "base/Messages.h"
#include "config/UpdateConfig.h"
#include "download/DownloadServersHandler.h"
#include "download/ReleaseChoice.h"
#include "install/RunLock.h"
#include "product/SignedIndex.h"
#include "run/JsonText.h"
#include "run/VersionReport.h"

namespace UpdateNew {

InstallationStatus::InstallationStatus(const UpdateConfig& config)
    : m_installation(config.updateDirs().m_installdir) {
    const std::wstring kept = KeptMasterIdxPath(config);
    m_keptIndex = kept;
    m_exists = ::access(ToMultibyte(m_installation).c_str(), F_OK) == 0;
    VersionReport version;
    version.readKeptIndex(kept);
    m_product = version.name();
    m_version = version.version();
    TrustState trust;
    if (ReadTrustState(TrustStatePath(kept), trust) && trust.present) {
        m_signed = true;
        m_serial = trust.serial;
    }
    KeptState::ReadLastRun(kept, m_lastRun);
    const std::wstring pending = KeptState::PendingPath(kept);
    if (::access(ToMultibyte(pending).c_str(), F_OK) == 0) {
        m_pending = pending;
        // A rollback after a failed health check that a kill stopped is not completed by
        // the next run: that run refuses the release and says so.
        const std::wstring failed = FailedRecordPath(kept);
        if (ReadRecordValue(failed, "rolled-back") != "yes")
            m_failedRelease = Utf8ToWide(ReadRecordValue(failed, "version"));
    }
    const auto installed = KeptState::ReadInstalled(kept);
    m_listKept = !installed.empty();
    for (const auto& file : installed) {
        auto module = m_modules.begin();
        while (module != m_modules.end() && module->first != file.first) ++module;
        if (module == m_modules.end()) module = m_modules.insert(module, {file.first, 0});
        ++module->second;
    }
    m_changedConfig = KeptState::ChangedConfigFiles(kept);
    m_runner = RunLock::Holder(kept + L".lock");
}

std::string InstallationStatus::json() const {
    std::string out = "{\n  \"schema\": 1,\n";
    out += "  \"installation\": " + JsonString(m_installation) + ",\n";
    out += "  \"product\": " + JsonString(m_product) + ",\n";
    out += "  \"version\": " + JsonString(m_version) + ",\n";
    out += std::string("  \"trusted\": ") + (m_signed ? "true" : "false") + ",\n";
    out += "  \"serial\": " + (m_signed ? std::to_string(m_serial) : std::string("null")) + ",\n";
    if (m_lastRun.present) {
        const std::string ended = UtcTimeText(m_lastRun.ended);
        out += "  \"last_run\": {\"end_time\": " +
               (ended.empty() ? std::string("null") : "\"" + ended + "\"") +
               ", \"outcome\": " + JsonString(m_lastRun.outcome) +
               ", \"exit_status\": " + std::to_string(m_lastRun.exitStatus) +
               ", \"result_code\": " + std::to_string(m_lastRun.resultCode) +
               ", \"result_message\": " + JsonString(m_lastRun.message) + "},\n";
    } else {
        out += "  \"last_run\": null,\n";
    }
    out += std::string("  \"unfinished\": ") + (m_pending.empty() ? "false" : "true") + ",\n";
    out +=
        "  \"running\": " + (m_runner > 0 ? std::to_string(m_runner) : std::string("null")) + ",\n";
    out += "  \"modules\": [";
    for (size_t i = 0; i < m_modules.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"name\": " + JsonString(m_modules[i].first) +
               ", \"files\": " + std::to_string(m_modules[i].second) + "}";
    out += "],\n";
    out += "  \"config_changed\": " + JsonStrings(m_changedConfig) + "\n";
    return out + "}\n";
}

std::string InstallationStatus::text() const {
    std::vector<std::wstring> lines;
    if (m_runner > 0) lines.push_back(Msg<1236>(std::to_wstring(m_runner)));
    lines.push_back(m_product.empty() && m_version.empty() ? Msg<1163>(m_keptIndex)
                                                           : Msg<1152>(m_product, m_version));
    lines.push_back(m_signed ? Msg<1153>(std::to_wstring(m_serial)) : Msg<1154>());
    if (m_lastRun.present) {
        lines.push_back(Msg<1155>(Utf8ToWide(UtcTimeText(m_lastRun.ended)), m_lastRun.outcome,
                                  std::to_wstring(m_lastRun.exitStatus),
                                  std::to_wstring(m_lastRun.resultCode)));
        if (!m_lastRun.message.empty()) lines.push_back(Msg<1156>(m_lastRun.message));
    } else {
        lines.push_back(Msg<1157>());
    }
    if (!m_failedRelease.empty())
        lines.push_back(Msg<1231>(m_failedRelease, m_pending));
    else if (!m_pending.empty() && m_runner <= 0)
        lines.push_back(Msg<1158>(m_pending));
    if (!m_listKept) lines.push_back(Msg<1161>());
    for (const auto& module : m_modules)
        lines.push_back(Msg<1159>(module.first, FileCountText(module.second)));
    for (const std::wstring& path : m_changedConfig) lines.push_back(Msg<1160>(path));
    std::string out;
    for (const std::wstring& line : lines) out += WideToUtf8(line) + "\n";
    return out;
}

}  // namespace UpdateNew
