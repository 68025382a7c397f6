// The check's verdict kept with the stat cache: what a check that found nothing to do
// keeps, and its take-over by a later check before the product info is read.
#include "base/Logger.h"
#include "base/Messages.h"
#include "config/UpdateConfig.h"
#include "download/DownloadServersHandler.h"
#include "download/ReleaseChoice.h"
#include "run/FileProcessor.h"
#include "run/UpdatePerformer.h"

namespace UpdateNew {

CheckVerdict UpdatePerformer::checkVerdict() const {
    CheckVerdict verdict;
    verdict.infoSha256 = m_productInfoSha256;
    verdict.product = m_product.name;
    verdict.version = m_product.version;
    verdict.firstInfo = m_candidateInfo.empty()
                            ? m_fileProcessor->GetServersHandler().GetProductInfo()
                            : m_candidateInfo;
    verdict.infoNames = m_infoNames;
    return verdict;
}

bool UpdatePerformer::takeCheckVerdict() {
    // A report or the list of changes describes the product as read: those runs read it.
    if (!m_config->reportFile().empty() || !m_config->metricsFile().empty()) return false;
    if (m_config->checkDirty() && m_config->listChanges()) return false;
    CheckVerdict verdict;
    FileProcessor& fp = *m_fileProcessor;
    if (!fp.TakeCheckVerdict(checkVerdict().firstInfo, verdict)) return false;
    // A release refused here is refused by the full path, with its line.
    if (!m_config->retryFailed() &&
        ReadRecordValue(FailedRecordPath(keptIndex()), "sha256") == verdict.infoSha256)
        return false;
    m_productInfoSha256 = verdict.infoSha256;
    m_product.name = verdict.product;
    m_product.version = verdict.version;
    UpdateCallbacks& cb = callbacks();
    cb.resetRunCounters();
    fp.FinishMasterIdx();
    fp.CountCheckVerdict();
    LogDebug(L"%s\n", Msg<615>().c_str());
    if (m_config->checkDirty()) LogInfo(L"%s\n", Msg<714>().c_str());
    cb.callLib(L"afterDownloadFiles()", &CUpdateLibCallbacks::afterDownloadFiles);
    cb.callLib(L"downloadNothingChanged()", &CUpdateLibCallbacks::downloadNothingChanged);
    return true;
}

}  // namespace UpdateNew
