// The update run's part in the listing of changes and in the run's report.
#include <unistd.h>

#include "base/Conv.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "config/UpdateConfig.h"
#include "download/DownloadServersHandler.h"
#include "product/SignedIndex.h"
#include "run/ChangeList.h"
#include "run/FileProcessor.h"
#include "run/RunReport.h"
#include "run/UpdatePerformer.h"

namespace UpdateNew {

void UpdatePerformer::listChanges() {
    m_changes.reset();
    const bool list = m_config->checkDirty() && m_config->listChanges();
    if (!list && (!m_report || (m_config->reportFile().empty() && m_config->metricsFile().empty())))
        return;
    m_changes.reset(new ChangeList(m_product, *m_fileProcessor, KeptMasterIdxPath(*m_config)));
    if (list)
        for (const std::wstring& line : m_changes->lines()) LogInfo(L"%s\n", line.c_str());
}

void UpdatePerformer::fillReport(int result) {
    if (!m_report) return;
    RunReport& report = *m_report;
    const bool changed = result == 0 && !m_config->checkDirty();
    report.message = m_resultText;
    if (report.message.empty() && result == 0) report.message = m_changes ? Msg<606>() : Msg<615>();
    report.product = m_product.name.empty() ? m_versionReport.name() : m_product.name;
    report.versionBefore = m_versionReport.version();
    report.versionAfter =
        changed && !m_product.version.empty() ? m_product.version : report.versionBefore;
    TrustState trust;
    if (ReadTrustState(TrustStatePath(KeptMasterIdxPath(*m_config)), trust) && trust.present) {
        report.signedIndex = true;
        report.serial = trust.serial;
    }
    report.wholeBytes = m_fileProcessor->WholeBytesFetched();
    report.patchBytes = m_fileProcessor->PatchBytesFetched();
    if (!changed || !m_changes) return;
    report.updated = m_changes->paths({L"changed", L"patch"});
    report.added = m_changes->paths({L"missing", L"new"});
    report.kept = m_changes->paths({L"config-kept"});
    for (const std::wstring& path : m_changes->paths({L"dropped"}))
        if (::access(ToMultibyte(path).c_str(), F_OK) != 0) report.removed.push_back(path);
}

}  // namespace UpdateNew
