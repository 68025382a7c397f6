// UpdatePerformer reading the product info: the kept copy when it may be trusted and
// matches the index, else the server's, and the checks of what it describes.
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/StringUtils.h"
#include "base/TrustedDirectory.h"
#include "base/UniqueFd.h"
#include "codec/FileDigest.h"
#include "codec/ProductInfoDecode.h"
#include "config/UpdateConfig.h"
#include "config/UpdateUri.h"
#include "download/DownloadNames.h"
#include "download/DownloadServersHandler.h"
#include "download/FileDownloader.h"
#include "download/ReleaseChoice.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateXMLParser.h"
#include "run/FileProcessor.h"
#include "run/RunReport.h"
#include "run/UpdatePerformer.h"

namespace UpdateNew {

namespace {

// Whether the copy of a product info at `path` may be read: a regular file that only
// root and the run's user may write, in a directory of the run's user that no other may (no other
// user can have planted it, nor swap it between its digest and its reading). An untrusted one is
// left alone with a warning and the file is fetched from the server.
bool TrustedInfoCopy(const std::wstring& path) {
    UniqueFd file;
    struct stat st;
    const int err = OpenRegular(ToMultibyte(path), file, &st);
    if (err == ENOENT) return false;
    std::wstring fault = err ? SystemErrorText(err) : std::wstring();
    if (fault.empty() && !OnlyTrustedMayWrite(st)) fault = Msg<878>();
    if (fault.empty()) fault = DirectoryTrustFault(GetDirPart(path));
    if (fault.empty()) return true;
    LogWarning(L"%s\n", Msg<1164>(path, fault).c_str());
    return false;
}

}  // namespace

// ---- product info ----------------------------------------------------------------------

// The most product info files one product may read (its own and what it includes).
constexpr size_t kMaxProductInfoFiles = 256;

void UpdatePerformer::readProductInfo() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    CDownloadServersHandler& servers = fp.GetServersHandler();
    const bool mirror = m_config->mirror();

    // Every attempt reads the product anew: an earlier attempt may have stopped half-way.
    m_product = UpdateInfo();
    m_infoNames.clear();
    m_product.includes.push_front(m_candidateInfo.empty() ? servers.GetProductInfo()
                                                          : m_candidateInfo);

    const auto& hashes = servers.GetProductInfoHashes();
    const std::wstring infoDir = GetDirPart(servers.GetLocalMasterIdxPath());
    bool first = true;
    // The installed files are hashed for the check while the product info is read.
    fp.BeginPrefetch();
    while (!m_product.includes.empty()) {
        const std::wstring entry = m_product.includes.front();
        std::wstring cProductInfoLocalName = GetLastComponent(ToSlashes(entry));
        if (cProductInfoLocalName.size() > 3 &&
            ToLower(cProductInfoLocalName.substr(cProductInfoLocalName.size() - 3)) == L".gz")
            cProductInfoLocalName.erase(cProductInfoLocalName.size() - 3);
        // A file already read is not read again (a file that includes itself, or one that two
        // others include, would otherwise be read without end or merged twice), and a chain
        // of ever new names ends too.
        if (std::find(m_infoNames.begin(), m_infoNames.end(), cProductInfoLocalName) !=
            m_infoNames.end()) {
            LogWarning(L"%s\n", Msg<1216>(cProductInfoLocalName).c_str());
            m_product.includes.pop_front();
            continue;
        }
        if (m_infoNames.size() >= kMaxProductInfoFiles)
            THROW_CRITICAL(Msg<1217>(kMaxProductInfoFiles, cProductInfoLocalName), ERR_XML);

        // A product info file whose announced hash matches the copy kept beside the master
        // index is taken from there: it is the decoded file already. Only a copy no other
        // user can have put there or change is looked at.
        std::wstring xmlFile;
        const auto hash = hashes.find(cProductInfoLocalName);
        if (hash != hashes.end()) {
            const std::wstring localCopy = JoinPath(infoDir, cProductInfoLocalName);
            if (!hash->second.empty() && TrustedInfoCopy(localCopy) &&
                hash->second == GetInfoFileMD5(localCopy))
                xmlFile = localCopy;
        }
        if (xmlFile.empty()) {
            const std::wstring given = first ? m_candidateInfo : entry;
            std::wstring downloaded;
            try {
                downloaded = fp.DownloadProductInfoFile(servers.GetProductInfoAddress(), given);
            } catch (const Exception& e) {
                // A machine about to take its first candidate whose product info cannot be
                // fetched (a mirror copies the stable release only) takes the stable release.
                // One that follows a candidate does not go back on its own, and a stop, or a
                // file of another publication, ends the run as always.
                if (!first || m_candidateInfo.empty() || e.code() != ERR_GENERIC ||
                    InterruptSignalName() ||
                    !ReadRecordValue(CandidateRecordPath(keptIndex()), "version").empty())
                    throw;
                LogWarning(L"%s\n", Msg<1211>(Utf8ToWide(m_candidateVersion), e.twhat(),
                                              Utf8ToWide(m_stableVersion))
                                        .c_str());
                // Not on the server at all: not asked for again while the index offers it.
                if (std::wstring(e.twhat()).find(Msg<677>()) != std::wstring::npos)
                    m_skippedCandidate = m_candidateVersion;
                m_candidateInfo.clear();
                m_candidateVersion.clear();
                readProductInfo();
                return;
            }
            if (mirror && !m_config->checkDirty()) {
                // The mirror tree is laid out like the server: the file lands at the path
                // it has below the server's base address, whatever path that address has.
                const std::wstring remote =
                    ProductInfoRemoteName(servers.GetProductInfoAddress(), given);
                const std::wstring mirrorPath =
                    JoinConfined(m_config->updateDirs().m_installdir,
                                 PathBelowServer(servers.GetServerAddress(), remote));
                fp.MirrorProductInfo(downloaded, mirrorPath);
            }
            xmlFile = DecodeProductInfoFile(downloaded,
                                            [&fp](const std::wstring& p) { fp.AddTempFile(p); });
        }
        m_product.includes.pop_front();
        m_infoNames.push_back(cProductInfoLocalName);

        UpdateXMLParser parser(&m_product, !first, &cb, mirror);
        if (first) {
            parser.setFileSink(
                [&fp](int module, const FileRecord& file) { fp.PrefetchFile(module, file); });
        } else {
            fp.DropPrefetch();  // merged files are checked in module order, not as read
        }
        parser.parseFile(xmlFile);
        if (first) m_productInfoSha256 = parser.fileSha256();
        cb.callLib(L"notifyProductInfoFile(cProductInfoLocalName)",
                   &CUpdateLibCallbacks::notifyProductInfoFile, cProductInfoLocalName);
        first = false;
    }
    // As read: the run expands the path variables of the commands and names in place. Only
    // where a release can be recorded as failed (it has health checks) or refused here.
    bool checked = false;
    for (const UpdateModuleInfo& module : m_product.modules) checked |= !module.check.empty();
    m_releaseIdentity =
        checked || !ReadRecordValue(FailedRecordPath(keptIndex()), "release").empty()
            ? ReleaseIdentity(m_product)
            : std::string();
}

}  // namespace UpdateNew
