// The release an update run installs: the stable release or the candidate the master
// index offers beside it, the health checks that decide whether the installed release
// stays, and the records kept beside the kept index (ReleaseChoice names them).
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "codec/StreamDigest.h"
#include "config/UpdateConfig.h"
#include "download/DownloadServersHandler.h"
#include "download/ReleaseChoice.h"
#include "run/FileProcessor.h"
#include "run/KeptState.h"
#include "run/UpdatePerformer.h"

namespace UpdateNew {

namespace {

const wchar_t* const kMachineIdFile = L"/etc/machine-id";

// Whether the failed-release record names this release: by its product info's digest, or
// by the release itself (a record written before the identity was kept has only the first).
bool NamesRelease(const std::wstring& record, const std::string& infoSha256,
                  const std::string& identity) {
    const std::string sha256 = ReadRecordValue(record, "sha256");
    const std::string release = ReadRecordValue(record, "release");
    return (!sha256.empty() && sha256 == infoSha256) || (!release.empty() && release == identity);
}

}  // namespace

std::string ReleaseIdentity(const UpdateInfo& product) {
    // Digested line by line: a product of many files is never held as one text.
    StreamDigest digest(StreamDigest::Kind::kSha256);
    std::string bytes;
    const auto add = [&digest, &bytes](const std::wstring& line) {
        bytes = WideToUtf8(line);
        digest.Update(bytes.data(), bytes.size());
    };
    add(product.name + L'\n' + product.version + L'\n');
    for (const UpdateModuleInfo& module : product.modules) {
        for (const std::wstring* field :
             {&module.name, &module.pre, &module.post, &module.unpost, &module.check})
            add(*field + L'\n');
        for (const FileRecord& file : module.files)
            add(file.name + L'\t' + file.filemd5.wide() + L'\t' + file.pefilemd5.wide() + L'\t' +
                std::to_wstring(file.filesize) + L'\t' + std::to_wstring(file.mode) + L'\t' +
                (file.config ? L"c" : L"") + L'\n');
    }
    return digest.Sha256Text();
}

std::wstring UpdatePerformer::keptIndex() {
    return m_fileProcessor->GetServersHandler().GetLocalMasterIdxPath();
}

std::string UpdatePerformer::machineId() {
    std::string id = WideToUtf8(m_config->machineId());
    int error = 0;
    if (id.empty() && !ReadMachineId(id, error))
        LogWarning(L"%s\n", Msg<1207>(kMachineIdFile, SystemErrorText(error)).c_str());
    return id;
}

void UpdatePerformer::chooseRelease() {
    m_candidateInfo.clear();
    m_candidateVersion.clear();
    const CandidateOffer offer = ParseCandidateOffer(m_fileProcessor->MasterIdxLines());
    m_stableVersion = offer.stable;
    const std::wstring& mode = m_config->candidateMode();
    if (!offer.present) return;
    // A mirror copies the stable release, whatever the machine it runs on would take; its
    // clients fall back to that release when the candidate's product info is missing.
    if (m_config->mirror()) {
        LogWarning(L"%s\n", Msg<1210>(Utf8ToWide(offer.version)).c_str());
        return;
    }
    if (mode == L"never") return;
    const std::wstring version = Utf8ToWide(offer.version);
    const std::wstring share = std::to_wstring(offer.share);
    // A machine that took this candidate stays on it, also once its share is halted.
    if (!TakesCandidate(offer, keptIndex(), mode, [this] { return machineId(); })) {
        LogInfo(L"%s\n", Msg<1206>(version, share, Utf8ToWide(offer.stable)).c_str());
        return;
    }
    LogInfo(L"%s\n", Msg<1205>(version, share).c_str());
    m_candidateInfo = Utf8ToWide(offer.info);
    m_candidateVersion = offer.version;
}

bool UpdatePerformer::refuseFailedRelease() {
    if (m_config->retryFailed() || m_config->mirror()) return false;
    const std::wstring record = FailedRecordPath(keptIndex());
    if (!NamesRelease(record, m_productInfoSha256, m_releaseIdentity)) return false;
    const std::string failed = ReadRecordValue(record, "sha256");
    if (!m_candidateInfo.empty()) {
        LogInfo(L"%s\n",
                Msg<1209>(Utf8ToWide(m_candidateVersion), Utf8ToWide(m_stableVersion)).c_str());
        m_candidateInfo.clear();
        m_candidateVersion.clear();
        readProductInfo();
        return refuseFailedRelease();
    }
    // A run stopped while it rolled the release back (or whose rollback failed) left the
    // update unfinished without saying that the earlier release is whole again: files of
    // both may be installed, and only the administrator can tell which release to make
    // whole. The marker stays, so every run says so until then.
    if (m_fileProcessor->Unfinished() && ReadRecordValue(record, "rolled-back") != "yes")
        THROW_CRITICAL(Msg<1230>(m_product.version, KeptState::PendingPath(keptIndex())),
                       ERR_GENERIC);
    LogInfo(L"%s\n", Msg<1201>(m_product.version, Utf8ToWide(failed)).c_str());
    // The run ends at the installed release, not the refused one it read.
    m_product.version.clear();
    // Nothing of the release is installed: the next run looks at the index again.
    m_fileProcessor->FinishMasterIdx();
    deleteMasterIdxQuietly();
    return true;
}

void UpdatePerformer::healthChecks() {
    if (m_config->mirror()) return;
    // After a self-update the restarted updater finishes the release and checks it.
    bool installed = m_config->selfUpdateDone();
    for (const UpdateModuleInfo& module : m_product.modules) installed |= module.needsupdate;
    if (!installed) return;
    FileProcessor& fp = *m_fileProcessor;
    for (int index = 0; index < m_product.moduleCount(); ++index) {
        const UpdateModuleInfo& module = m_product.cGetModuleByIndex(index);
        if (module.check.empty()) continue;
        std::wstring outcome;
        bool passed = false;
        try {
            passed = fp.RunCheck(index, m_config->checkTimeout(), outcome);
        } catch (const Exception& e) {
            outcome = e.twhat();
        }
        if (passed) {
            LogDebug(L"%s\n", Msg<1204>(module.name, module.check).c_str());
            continue;
        }
        // A signal came meanwhile (a Ctrl-C at the terminal reaches the check as well): the
        // run stops, and the release has not failed on this machine.
        if (InterruptRequested()) return;
        const std::wstring text = Msg<1200>(module.name, module.check, outcome);
        LogFatal(L"%s\n", text.c_str());
        // Recorded first: whatever the rollback meets, the release is not taken again.
        const std::wstring record = FailedRecordPath(keptIndex());
        std::vector<std::string> lines = {"sha256=" + m_productInfoSha256,
                                          "version=" + WideToUtf8(m_product.version),
                                          "release=" + m_releaseIdentity};
        const int err = WriteRecord(record, lines);
        if (err != 0)
            LogError(L"%s\n", Msg<1202>(m_product.version, record, SystemErrorText(err)).c_str());
        fp.RollBackRelease();
        // Whole again: the next run may leave the update it refuses unfinished no more.
        lines.push_back("rolled-back=yes");
        if (err == 0) WriteRecord(record, lines);
        THROW_CRITICAL(text, ERR_MODULE_COMMAND);
    }
}

void UpdatePerformer::recordRelease() {
    if (m_config->checkDirty() || m_config->mirror()) return;
    // What is installed now, for the runs that find no kept index to say it.
    const std::wstring release = ReleaseRecordPath(keptIndex());
    const std::string name = WideToUtf8(m_product.name), version = WideToUtf8(m_product.version);
    if (!version.empty() && (ReadRecordValue(release, "version") != version ||
                             ReadRecordValue(release, "product") != name)) {
        if (const int err = WriteRecord(release, {"product=" + name, "version=" + version}))
            LogError(L"%s\n", Msg<1212>(release, SystemErrorText(err)).c_str());
    }
    const std::wstring failed = FailedRecordPath(keptIndex());
    if (!m_productInfoSha256.empty() &&
        NamesRelease(failed, m_productInfoSha256, m_releaseIdentity))
        WriteRecord(failed, {});
    const std::wstring record = CandidateRecordPath(keptIndex());
    const std::string followed = ReadRecordValue(record, "version");
    if (followed == m_candidateVersion && m_skippedCandidate.empty()) return;
    std::vector<std::string> lines;
    if (!m_candidateVersion.empty())
        lines = {"version=" + m_candidateVersion, "info=" + WideToUtf8(m_candidateInfo)};
    else if (!m_skippedCandidate.empty())
        lines = {"skipped=" + m_skippedCandidate};
    const int err = WriteRecord(record, lines);
    if (err != 0) LogError(L"%s\n", Msg<1208>(record, SystemErrorText(err)).c_str());
}

}  // namespace UpdateNew
