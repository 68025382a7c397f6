#include "run/UpdatePerformer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string>

#include "base/Conv.h"
#include "base/CountText.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/ProgramInfo.h"
#include "base/RunProcess.h"
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
#include "install/SelfUpdateHandover.h"
#include "plugin/BuiltinFileOps.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateXMLParser.h"
#include "run/ChangeList.h"
#include "run/FileProcessor.h"
#include "run/RunReport.h"

namespace UpdateNew {

namespace {

const wchar_t* const kSelfUpdateModule = L"selfupdate";
const wchar_t* const kSelfUpdateDir = L"SelfUpdateTemp";

bool IsSelfUpdateName(const std::wstring& name) {
    return ToLower(name) == kSelfUpdateModule;
}

// The path of a file record: its NAME up to the first blank (what follows are option
// words), "\" read as "/".
std::wstring FilePath(const FileRecord& file) {
    return ToSlashes(file.name.substr(0, file.name.find(L' ')));
}

// The text of whatever is being thrown, for the failure messages of the passes.
std::wstring CurrentExceptionText() {
    try {
        throw;
    } catch (const Exception& e) {
        return e.twhat();
    } catch (const CPluginException& e) {
        return e.twhat();
    } catch (const std::exception& e) {
        const std::wstring call = UpdateCallbacks::FailedCallText();
        const std::wstring text = Exception(e).twhat();
        return call.empty() ? text : call + L": " + text;
    } catch (...) {
        // Thrown by a plug-in callback: name the call.
        const std::wstring call = UpdateCallbacks::FailedCallText();
        return call.empty() ? Msg<659>() : call;
    }
}

// Runs `notify`; whatever it throws is dropped. The handlers of the attempt loop report a
// failure through plug-ins that may themselves fail; the run's result must not change.
template <class F>
void Quietly(F&& notify) {
    try {
        notify();
    } catch (...) {
    }
}

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

UpdatePerformer::UpdatePerformer(UpdateConfig* config)
    : m_config(config), m_fileProcessor(new FileProcessor(config, &m_product)) {
    m_fileProcessor->PrepareRun();
    // `candidate` and `retry-failed` may ask for another release of an unchanged index.
    m_fileProcessor->SetUnchangedIndexCheck([this](const std::vector<std::string>& lines) {
        return !m_config->mirror() &&
               ReleaseChoiceChanged(lines, keptIndex(), m_config->candidateMode(),
                                    m_config->retryFailed(), [this] { return machineId(); });
    });
}

UpdatePerformer::~UpdatePerformer() = default;

UpdateCallbacks& UpdatePerformer::callbacks() {
    return m_config->cCallbacks();
}

// ---- the run ---------------------------------------------------------------------------

int UpdatePerformer::run() {
    UpdateCallbacks& cb = callbacks();
    if (!m_config->copyActions().empty()) {
        cb.callGui(L"onSelfUpdateStart()", &CUpdateGuiCallbacks::onSelfUpdateStart);
        int result = -1;
        try {
            result = performSelfUpdateActions();
            // The files are in place; a helper that starts no updater (a restore) is what
            // the process that started it waits for.
            SelfUpdateHandover::SignalTakenOver();
        } catch (const Exception& e) {
            LogFatal(L"%s\n", Msg<241>(std::wstring(e.twhat())).c_str());
            result = -1;
        }
        cb.callGui(L"onSelfUpdateFinish()", &CUpdateGuiCallbacks::onSelfUpdateFinish);
        return result;
    }
    const int result = runProductUpdate();
    fillReport(result);
    return result;
}

// A plug-in stopped the run: both plug-ins hear it as a critical error, the kept index
// goes. Gives the run's result.
int UpdatePerformer::endOnPluginException(const std::wstring& text) {
    UpdateCallbacks& cb = callbacks();
    UpdateCallbacks::ForgetFailedCall();
    Quietly([&] {
        cb.callLib(L"notifyUpdateCriticalError(ERR_PLUGIN_INVALID_EXIT_CODE)",
                   &CUpdateLibCallbacks::notifyUpdateCriticalError, ERR_PLUGIN_INVALID_EXIT_CODE);
    });
    Quietly([&] {
        cb.callGui(L"onUpdateCriticalError(cPluginException.twhat(), ERR_PLUGIN_INVALID_EXIT_CODE)",
                   &CUpdateGuiCallbacks::onUpdateCriticalError, text, ERR_PLUGIN_INVALID_EXIT_CODE);
    });
    m_resultText = Msg<246>(text);
    LogFatal(L"%s\n", m_resultText.c_str());
    deleteMasterIdxQuietly();
    return ERR_PLUGIN_INVALID_EXIT_CODE;
}

int UpdatePerformer::runProductUpdate() {
    UpdateCallbacks& cb = callbacks();
    cb.callGui(L"onUpdateStart()", &CUpdateGuiCallbacks::onUpdateStart);
    for (;;) {
        int result = 0;
        try {
            result = performUpdate();
            if (result == 0) reportVersion();
            cb.callGui(L"onUpdateFinish()", &CUpdateGuiCallbacks::onUpdateFinish);
            return result;
        } catch (const CPluginException& e) {
            result = endOnPluginException(e.twhat());
        } catch (const CUpdateCriticalException& e) {
            UpdateCallbacks::ForgetFailedCall();
            notifyCriticalQuietly(e.twhat(), e.code());
            m_resultText = Msg<246>(std::wstring(e.twhat()));
            LogFatal(L"%s\n", m_resultText.c_str());
            deleteMasterIdxQuietly();
            result = e.code();
        } catch (const Exception& e) {
            UpdateCallbacks::ForgetFailedCall();
            const std::wstring text = e.twhat();
            const EUpdateErrors code = static_cast<EUpdateErrors>(e.code());
            Quietly([&] {
                cb.callLib(
                    L"notifyUpdateNonCriticalError(static_cast<EUpdateErrors>(cException.code()))",
                    &CUpdateLibCallbacks::notifyUpdateNonCriticalError, code);
            });
            Quietly([&] {
                cb.callGui(
                    L"onUpdateNonCriticalError(cException.twhat(), "
                    L"static_cast<EUpdateErrors>(cException.code()))",
                    &CUpdateGuiCallbacks::onUpdateNonCriticalError, text, code);
            });
            try {
                m_fileProcessor->GetServersHandler().ServerFailed();
                // The next server is tried either way; the line says whose fault it was.
                LogFatal(L"%s\n", (e.local() ? Msg<716>(text) : Msg<247>(text)).c_str());
                LogDebug(L"%s\n", Msg<248>().c_str());
                deleteMasterIdxQuietly();
                result = 0;
            } catch (const CUpdateCriticalException& c) {
                // No server left (628), or the failed one is unknown (625): the run ends
                // with that code, reported with the text of the failure that caused it.
                const EUpdateErrors lastCode = static_cast<EUpdateErrors>(c.code());
                Quietly([&] {
                    cb.callLib(
                        L"notifyUpdateCriticalError(static_cast<EUpdateErrors>("
                        L"cUpdException.code()))",
                        &CUpdateLibCallbacks::notifyUpdateCriticalError, lastCode);
                });
                Quietly([&] {
                    cb.callGui(
                        L"onUpdateCriticalError(cException.twhat(), "
                        L"static_cast<EUpdateErrors>(cUpdException.code()))",
                        &CUpdateGuiCallbacks::onUpdateCriticalError, text, lastCode);
                });
                m_resultText = Msg<246>(text);
                LogFatal(L"%s\n", m_resultText.c_str());
                deleteMasterIdxQuietly();
                result = c.code();
            }
        }
        if (result != 0) {
            cb.callGui(L"onUpdateFinish()", &CUpdateGuiCallbacks::onUpdateFinish);
            return result;
        }
    }
}

// The run's last info line: the product's version before and after. A check or a mirror
// installs nothing, and a run that hands the updater's own files to a self-update leaves
// the line to the updater it restarts, which finishes the update.
void UpdatePerformer::reportVersion() {
    if (m_config->checkDirty() || m_config->mirror()) return;
    bool installed = false;
    for (const UpdateModuleInfo& module : m_product.modules) {
        if (!module.needsupdate) continue;
        if (IsSelfUpdateName(module.name) && !m_config->selfUpdateDone()) return;
        installed = true;
    }
    const size_t removed = m_fileProcessor ? m_fileProcessor->RemovedFileCount() : 0;
    // A run that completes an update an earlier run began (and was stopped in) brings the
    // product to the release as well, even when only the owed post commands were left.
    const bool completed = m_fileProcessor && m_fileProcessor->Unfinished();
    std::wstring text = m_versionReport.line(m_product, installed || completed || removed != 0,
                                             m_config->selfUpdateDone());
    if (!text.empty() && removed != 0) text = Msg<1103>(text, FileCountText(removed));
    if (!text.empty()) LogInfo(L"%s\n", text.c_str());
    m_resultText = text;
}

void UpdatePerformer::notifyCriticalQuietly(const std::wstring& text, int code) {
    UpdateCallbacks& cb = callbacks();
    const EUpdateErrors error = static_cast<EUpdateErrors>(code);
    Quietly([&] {
        cb.callLib(L"notifyUpdateCriticalError(static_cast<EUpdateErrors>(cUpdException.code()))",
                   &CUpdateLibCallbacks::notifyUpdateCriticalError, error);
    });
    Quietly([&] {
        cb.callGui(
            L"onUpdateCriticalError(cUpdException.twhat(), "
            L"static_cast<EUpdateErrors>(cUpdException.code()))",
            &CUpdateGuiCallbacks::onUpdateCriticalError, text, error);
    });
}

void UpdatePerformer::deleteMasterIdxQuietly(bool failed) {
    if (failed && m_fileProcessor->KeptIndexOutlivesFailure()) {
        LogDebug(L"The kept master index stays: this run did not change it\n");
        return;
    }
    try {
        m_fileProcessor->DeleteMasterIdxCopy();
    } catch (...) {
        LogDebug(L"%s\n", CurrentExceptionText().c_str());
    }
}

// ---- one attempt -----------------------------------------------------------------------

// The function-replacing plug-in hears the run's three directories.
void UpdatePerformer::notifyUpdateStart() {
    const UpdateDirs& cUpdateDirs = m_config->updateDirs();
    callbacks().callLib(
        L"notifyUpdateStart(cUpdateDirs.m_installdir, cUpdateDirs.m_backupdir, "
        L"cUpdateDirs.m_tmpdir)",
        &CUpdateLibCallbacks::notifyUpdateStart, cUpdateDirs.m_installdir, cUpdateDirs.m_backupdir,
        cUpdateDirs.m_tmpdir);
}

// Steps 2 to 5 of an attempt: the plug-in hears the directories and the proxy, and what
// an earlier process of a self-update left behind joins this run's clean-up.
void UpdatePerformer::announceAttempt() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    const UpdateDirs& cUpdateDirs = m_config->updateDirs();

    notifyUpdateStart();  // 2.

    // 3. What the process before a self-update left behind goes with this run's clean-up.
    if (!m_config->tmpFilesList().empty()) fp.ReadTmpFilesList(m_config->tmpFilesList());

    // 4.
    if (m_config->selfUpdateDone())
        RemoveDirectoryTree(JoinPath(cUpdateDirs.m_tmpdir, kSelfUpdateDir));

    // 5.
    cb.callLib(
        L"beforeDownloadFiles( !m_config->proxy().empty(), m_config->proxy(), "
        L"m_config->proxyPort(), !m_config->proxyUsername().empty(), "
        L"m_config->proxyUsername(), m_config->proxyUserPass())",
        &CUpdateLibCallbacks::beforeDownloadFiles, !m_config->proxy().empty(), m_config->proxy(),
        m_config->proxyPort(), !m_config->proxyUsername().empty(), m_config->proxyUsername(),
        m_config->proxyUserPass());
}

int UpdatePerformer::performUpdate() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;

    // 1. The server handler, kept for the whole run: a new attempt goes on with the server
    // that the last failure left chosen.
    CDownloadServersHandler& servers = fp.GetServersHandler();

    announceAttempt();  // 2. - 5.

    // The server of this attempt (in default-server mode the product file is fetched now,
    // which connects the downloader to the default server: the plug-in hears
    // "connectServer" only for that server, and "disconnectServer" names it).
    std::wstring serverName;
    servers.GetDownloadServer(serverName);
    if (m_report) m_report->serverTried(servers.GetServerAddress());
    m_versionReport.readKeptIndex(servers.GetLocalMasterIdxPath());

    // 6. The master index only matters as a whole: unchanged means nothing to do.
    if (!m_config->selfUpdateDone()) {
        if (!fp.DownloadMasterIdx(servers.GetMasterIdxAddress(), servers.GetLocalMasterIdxPath())) {
            LogDebug(L"%s\n", Msg<615>().c_str());
            if (m_config->checkDirty()) LogInfo(L"%s\n", Msg<714>().c_str());
            cb.callLib(L"afterDownloadFiles()", &CUpdateLibCallbacks::afterDownloadFiles);
            cb.callLib(L"downloadNothingChanged()", &CUpdateLibCallbacks::downloadNothingChanged);
            cb.callGui(L"onCheckMainIdx(false)", &CUpdateGuiCallbacks::onCheckMainIdx, false);
            return 0;
        }
    } else {
        fp.DownloadMasterIdx(servers.GetMasterIdxAddress(), servers.GetLocalMasterIdxPath());
    }

    // 7.
    cb.callGui(L"onCheckMainIdx(true)", &CUpdateGuiCallbacks::onCheckMainIdx, true);
    LogDebug(L"%s\n", Msg<599>().c_str());

    chooseRelease();
    specialDownloadFiles(true);  // 8.
    if (takeCheckVerdict()) {
        recordRelease();
        return 0;
    }
    readProductInfo();  // 9.
    if (refuseFailedRelease()) {
        // Nothing is due: the release the server offers is one this machine refuses.
        if (m_config->checkDirty()) LogInfo(L"%s\n", Msg<714>().c_str());
        cb.callLib(L"afterDownloadFiles()", &CUpdateLibCallbacks::afterDownloadFiles);
        cb.callLib(L"downloadNothingChanged()", &CUpdateLibCallbacks::downloadNothingChanged);
        return 0;
    }
    specialDownloadFiles(false);  // 10.

    const int result = checkAndInstall(servers);  // 11. - 26.
    if (result == 0) recordRelease();
    return result;
}

// Steps 11 to 26 of an attempt whose index changed: check every file, then (unless only
// checking) fetch, run the commands and install. The plug-in hears globalPost() however
// it ends.
int UpdatePerformer::checkAndInstall(CDownloadServersHandler& servers) {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    try {
        // 11.
        cb.resetRunCounters();
        fp.CheckFiles();
        if (m_config->mirror() && !m_config->checkDirty())
            fp.FetchMissingMirrorPatches(servers.GetUpdateRootAddress());
        // 12.
        tidy();
        listChanges();
        // 13.
        cb.callGui(L"onCheckFilesDone(config()->cCallbacks().filesTotal())",
                   &CUpdateGuiCallbacks::onCheckFilesDone, cb.filesTotal());
        // 14. Nothing to fetch: done, unless a run that died after installing owes post
        // commands; those run in a post pass of their own below (a mere check of dirty
        // files runs none and keeps them owed).
        const bool postsOwed = anyPostOwed();
        if (!m_config->selfUpdateDone() && cb.filesTotal() == 0 && !fp.HasDroppedFiles() &&
            (!postsOwed || m_config->checkDirty())) {
            if (!m_config->checkDirty()) fp.SaveInstallationRecords();
            if (!postsOwed) {
                fp.FinishMasterIdx();
                fp.KeepCheckVerdict(checkVerdict());
                fp.SaveStatCache();
            }
            LogDebug(L"%s\n", Msg<615>().c_str());
            if (m_config->checkDirty()) LogInfo(L"%s\n", Msg<714>().c_str());
            cb.callLib(L"afterDownloadFiles()", &CUpdateLibCallbacks::afterDownloadFiles);
            cb.callLib(L"downloadNothingChanged()", &CUpdateLibCallbacks::downloadNothingChanged);
            return 0;
        }
        if (cb.filesTotal() == 0 && postsOwed)
            LogDebug(L"No file changed; the post commands the last update owes are run\n");
        // 15. Only report: nothing is downloaded or installed.
        if (m_config->checkDirty()) {
            unsigned long modules = 0;
            for (const UpdateModuleInfo& module : m_product.modules)
                if (module.needsupdate) ++modules;
            m_resultText = Msg<715>(FileCountText(cb.filesTotal()), ModuleCountText(modules),
                                    ByteSizeText(cb.ulGetDownloadSize()));
            LogInfo(L"%s\n", m_resultText.c_str());
            fp.SaveStatCache();
            deleteMasterIdxQuietly(false);
            return 1;
        }
        // 16.
        fp.RemoveStatCache();
        expandPaths();
        // 17.
        if (m_report) m_report->beganFetching = true;
        fp.DownloadFiles(servers.GetUpdateRootAddress(), servers.GetUpdateRoot());
        // 18.
        cb.callLib(L"afterDownloadFiles()", &CUpdateLibCallbacks::afterDownloadFiles);
        // 19.
        moduleFileLists();
        // 20.
        if (!m_config->selfUpdateDone())
            cb.callLib(L"globalPre()", &CUpdateLibCallbacks::globalPre);
        // 21. - 25.
        fp.NoteFilesBeingAdded();
        if (!cb.callLib(L"overrideInstall()", &CUpdateLibCallbacks::overrideInstall)) {
            installPasses();
        }
        // 26.
        cb.callLib(L"globalPost()", &CUpdateLibCallbacks::globalPost);
        fp.SaveInstallationRecords();
        fp.FinishMasterIdx();
        fp.SaveStatCache();
        LogDebug(L"%s\n", Msg<606>().c_str());
        return 0;
    } catch (...) {
        // What was fetched serves the next run (a self-update's restart takes its files from
        // the temporary directory itself).
        if (!m_config->selfUpdateDone()) fp.KeepDownloadsForNextRun();
        // The plug-in hears the end of the update whatever happened; a failure of this
        // call must not hide the one that ends the attempt.
        Quietly([&] { cb.callLib(L"globalPost()", &CUpdateLibCallbacks::globalPost); });
        throw;
    }
}

// ---- special download files ------------------------------------------------------------

void UpdatePerformer::specialDownloadFiles(bool first) {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;

    UpdStringList cAdditionalFiles;
    const bool takenOver =
        first ? cb.callLib(L"getSpecialDownloadFilesFirst(cAdditionalFiles)",
                           &CUpdateLibCallbacks::getSpecialDownloadFilesFirst, cAdditionalFiles)
              : cb.callLib(L"getSpecialDownloadFilesSecond(cAdditionalFiles)",
                           &CUpdateLibCallbacks::getSpecialDownloadFilesSecond, cAdditionalFiles);
    if (!takenOver) return;

    const std::wstring destDir =
        JoinPath(m_config->updateDirs().m_tmpdir, first ? L"SPECIALFIRST" : L"SPECIALSECOND");
    fp.AddTempDir(destDir);
    cb.checkCreateDirectory(destDir);

    const std::wstring server = fp.GetServersHandler().GetServerAddress();
    for (auto cAdditionalFilesIterator = cAdditionalFiles.begin();
         cAdditionalFilesIterator != cAdditionalFiles.end(); ++cAdditionalFilesIterator) {
        const std::wstring cDownloadDestFile =
            JoinPath(destDir, GetLastComponent(ToSlashes(*cAdditionalFilesIterator)));
        fp.AddTempFile(cDownloadDestFile);
        try {
            fp.GetDownloader().downloadFile(JoinPath(server, *cAdditionalFilesIterator),
                                            cDownloadDestFile);
        } catch (const Exception&) {
            bool bIgnoreError = false;
            if (!cb.callLib(L"onSpecialDownloadFileError(*cAdditionalFilesIterator, bIgnoreError)",
                            &CUpdateLibCallbacks::onSpecialDownloadFileError,
                            *cAdditionalFilesIterator, bIgnoreError))
                bIgnoreError = false;
            if (bIgnoreError) continue;
            throw;
        }
        if (first)
            cb.callLib(L"onSpecialDownloadFileFirst(cDownloadDestFile)",
                       &CUpdateLibCallbacks::onSpecialDownloadFileFirst, cDownloadDestFile);
        else
            cb.callLib(L"onSpecialDownloadFileSecond(cDownloadDestFile)",
                       &CUpdateLibCallbacks::onSpecialDownloadFileSecond, cDownloadDestFile);
    }
    if (first)
        cb.callLib(L"onSpecialDownloadFilesFirstDone()",
                   &CUpdateLibCallbacks::onSpecialDownloadFilesFirstDone);
    else
        cb.callLib(L"onSpecialDownloadFilesSecondDone()",
                   &CUpdateLibCallbacks::onSpecialDownloadFilesSecondDone);
}

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

// ---- tidy ------------------------------------------------------------------------------

void UpdatePerformer::tidy() {
    UpdateCallbacks& cb = callbacks();
    UpdStringPairList cTidy;
    cb.callLib(L"setTidy(cTidy)", &CUpdateLibCallbacks::setTidy, cTidy);

    bool removed = false;
    for (const auto& entry : cTidy) {
        std::wstring prefix = entry.second;
        while (!prefix.empty() && (prefix.back() == L'/' || prefix.back() == L'\\'))
            prefix.pop_back();
        const std::wstring moduleName = ToLower(entry.first);
        for (UpdateModuleInfo& module : m_product.modules) {
            if (ToLower(module.name) != moduleName) continue;
            for (FileRecord& file : module.files) {
                if (!file.needsupdate) continue;
                const std::wstring path = FilePath(file);
                if (path.compare(0, prefix.size(), prefix) != 0 &&
                    file.name.compare(0, prefix.size(), prefix) != 0)
                    continue;
                file.needsupdate = false;
                removed = true;
                LogDebug(L"%s\n", Msg<662>(module.name, file.name).c_str());
            }
        }
    }
    if (!removed) return;

    // The counters keep the check's totals: the plug-ins hear those, and a run whose
    // changed files were all taken out still goes through its download and install calls.
    for (UpdateModuleInfo& module : m_product.modules) {
        bool dirty = false;
        for (const FileRecord& file : module.files) dirty = dirty || file.needsupdate;
        if (module.needsupdate && !dirty) {
            module.needsupdate = false;
            LogDebug(L"%s\n", Msg<663>(module.name).c_str());
        }
    }
}

// ---- paths and file lists --------------------------------------------------------------

void UpdatePerformer::expandPaths() {
    for (UpdateModuleInfo& module : m_product.modules) {
        m_config->expandVariables(module.destination, true, false);
        m_config->expandVariables(module.source, true, false);
        for (FileRecord& file : module.files) m_config->expandVariables(file.name, true, false);
        // Commands reach the child and the plug-ins expanded. A reference to no variable
        // ends the expansion and stays as written, and so does a text the expansion cannot
        // take (a lone "%" of a date format): the command decides what that means.
        for (std::wstring* command : {&module.pre, &module.post, &module.unpost, &module.check}) {
            try {
                m_config->expandVariables(*command, false, false);
            } catch (const Exception& e) {
                LogDebug(L"The command of the module %s is run as far as it expands: %s\n",
                         module.name.c_str(), e.twhat());
            }
        }
    }
}

void UpdatePerformer::moduleFileLists() {
    UpdateCallbacks& cb = callbacks();
    for (const UpdateModuleInfo& cCurModule : m_product.modules) {
        UpdStringList cAllModuleFiles;
        UpdStringList cDirtyFiles;
        for (const FileRecord& file : cCurModule.files) {
            const std::wstring path = JoinPath(cCurModule.destination, FilePath(file));
            cAllModuleFiles.push_back(path);
            if (file.needsupdate) cDirtyFiles.push_back(path);
        }
        cb.callLib(
            L"notifyModuleFileList(cCurModule.name, cCurModule.needsupdate, "
            L"cAllModuleFiles, cDirtyFiles, cCurModule.destination)",
            &CUpdateLibCallbacks::notifyModuleFileList, cCurModule.name, cCurModule.needsupdate,
            cAllModuleFiles, cDirtyFiles, cCurModule.destination);
        cb.callGui(
            L"notifyModuleFileList(cCurModule.name, cCurModule.needsupdate, "
            L"cAllModuleFiles, cDirtyFiles, cCurModule.destination)",
            &CUpdateGuiCallbacks::notifyModuleFileList, cCurModule.name, cCurModule.needsupdate,
            cAllModuleFiles, cDirtyFiles, cCurModule.destination);
    }
    cb.callLib(L"notifyModuleFileListDone()", &CUpdateLibCallbacks::notifyModuleFileListDone);
    cb.callGui(L"notifyModuleFileListDone()", &CUpdateGuiCallbacks::notifyModuleFileListDone);
}

// ---- pre, backup, install and post passes ----------------------------------------------

// An interrupt stops the passes at the next point where every module is wholly old or
// wholly new: after a module's pre command, before a module's installation or between two
// of its files, before a post command. The rollback of the pass then gives the modules
// whose pre command ran the commands that undo it.
void UpdatePerformer::installPasses() {
    ThrowIfInterrupted();
    prePass();
    backupInstallPass();
    // Files the product no longer lists go once everything new is in place; a failure
    // rolls back the whole install pass (and restores the files removed so far).
    try {
        ThrowIfInterrupted();
        m_fileProcessor->RemoveDroppedFiles();
    } catch (...) {
        LogFatal(L"%s\n", Msg<1107>(CurrentExceptionText()).c_str());
        rollBack(4, m_product.moduleCount() - 1);
        throw;
    }
    postPass();
    // Stopped during the last post command or a health check: every module is new and its
    // post command ran, so the whole release goes back, as after a failed health check
    // (but it is not recorded as failed here).
    const auto stopIfInterrupted = [this] {
        try {
            ThrowIfInterrupted();
        } catch (...) {
            LogFatal(L"%s\n", CurrentExceptionText().c_str());
            m_fileProcessor->RollBackRelease();
            throw;
        }
    };
    stopIfInterrupted();
    healthChecks();
    stopIfInterrupted();
    LogDebug(L"%s\n", Msg<602>(FileCountText(callbacks().filesTotal())).c_str());
}

void UpdatePerformer::rollBack(int phase, int module) {
    m_fileProcessor->RollBack(phase, module);
}

void UpdatePerformer::prePass() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    LogDebug(L"%s\n", Msg<601>().c_str());
    bool afterSelfUpdate = false;
    const int n = m_product.moduleCount();
    for (int index = 0; index < n; ++index) {
        UpdateModuleInfo* i = &m_product.cGetModuleByIndex(index);
        try {
            if (afterSelfUpdate) {
                afterSelfUpdate = false;
                cb.callLib(L"globalAfterSelfupdatePre()",
                           &CUpdateLibCallbacks::globalAfterSelfupdatePre);
            }
            if (i->needsupdate) {
                cb.callGui(L"BeforeUpdateModule(i->name)", &CUpdateGuiCallbacks::BeforeUpdateModule,
                           i->name);
                UpdStringList created;
                cb.checkCreateDirectory(i->destination, created);
                fp.NoteCreatedDirectories(created);
                cb.callGui(L"beforePre(i->name, i->pre)", &CUpdateGuiCallbacks::beforePre, i->name,
                           i->pre);
                fp.RunPre(index);
                cb.callGui(L"afterPre(i->name, i->pre)", &CUpdateGuiCallbacks::afterPre, i->name,
                           i->pre);
            }
            if (IsSelfUpdateName(i->name)) afterSelfUpdate = true;
            ThrowIfInterrupted();
        } catch (...) {
            LogFatal(L"%s\n", Msg<610>(i->name, CurrentExceptionText()).c_str());
            rollBack(0, index);
            throw;
        }
    }
}

void UpdatePerformer::backupInstallPass() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    const int n = m_product.moduleCount();
    for (int index = 0; index < n; ++index) {
        UpdateModuleInfo* i = &m_product.cGetModuleByIndex(index);
        if (!i->needsupdate) continue;
        try {
            cb.callGui(L"beforeBackup(i->name)", &CUpdateGuiCallbacks::beforeBackup, i->name);
            fp.BackupModule(index);
            cb.callGui(L"afterBackup(i->name)", &CUpdateGuiCallbacks::afterBackup, i->name);
        } catch (...) {
            LogFatal(L"%s\n", Msg<608>(i->name, CurrentExceptionText()).c_str());
            rollBack(0, index);
            throw;
        }
        try {
            ThrowIfInterrupted();
            // From here until its post command ran, a kill leaves the module's post command
            // owed. The updater's own module is handed to a process of its own instead.
            if (!IsSelfUpdateName(i->name)) fp.MarkPostOwed(i->name);
            cb.callGui(L"beforeInstallModule(i->name)", &CUpdateGuiCallbacks::beforeInstallModule,
                       i->name);
            fp.InstallModule(index);
            cb.callGui(L"afterInstallModule(i->name)", &CUpdateGuiCallbacks::afterInstallModule,
                       i->name);
        } catch (...) {
            LogFatal(L"%s\n", Msg<611>(i->name, CurrentExceptionText()).c_str());
            rollBack(4, index);
            throw;
        }
    }
}

void UpdatePerformer::postPass() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    for (int index = m_product.moduleCount() - 1; index >= 0; --index) {
        UpdateModuleInfo* ri = &m_product.cGetModuleByIndex(index);
        if (!ri->needsupdate && !owesPost(*ri)) continue;
        // Stopped between two post commands: rolled back as a failed post pass is, but
        // said as what it is (no post command failed).
        try {
            ThrowIfInterrupted();
        } catch (...) {
            LogFatal(L"%s\n", CurrentExceptionText().c_str());
            rollBack(1, index);
            throw;
        }
        try {
            cb.callGui(L"beforePost(ri->name, ri->post)", &CUpdateGuiCallbacks::beforePost,
                       ri->name, ri->post);
            fp.RunPost(index);
            fp.MarkPostRun(ri->name);
            cb.callGui(L"afterPost(ri->name, ri->post)", &CUpdateGuiCallbacks::afterPost, ri->name,
                       ri->post);
            cb.callGui(L"AfterUpdateModule(ri->name)", &CUpdateGuiCallbacks::AfterUpdateModule,
                       ri->name);
        } catch (...) {
            LogFatal(L"%s\n", Msg<609>(ri->name, CurrentExceptionText()).c_str());
            rollBack(1, index);
            throw;
        }
    }
}

bool UpdatePerformer::owesPost(const UpdateModuleInfo& module) const {
    return !m_config->mirror() && !module.post.empty() && m_fileProcessor->IsPostOwed(module.name);
}

bool UpdatePerformer::anyPostOwed() const {
    if (m_fileProcessor->OwedPosts().empty()) return false;
    for (const UpdateModuleInfo& module : m_product.modules)
        if (owesPost(module)) return true;
    return false;
}

// ---- self-update actions ---------------------------------------------------------------

void UpdatePerformer::SplitExecAction(const std::wstring& action, std::wstring& program,
                                      std::wstring& arguments) {
    if (!action.empty() && action[0] == L'"') {
        const size_t close = action.find(L'"', 1);
        if (close == std::wstring::npos) THROW_CRITICAL(Msg<245>(action), 629);
        program = action.substr(1, close - 1);
        arguments = Trim(action.substr(close + 1), TRIM_BOTH, L" \t");
        return;
    }
    const size_t blank = action.find(L' ');
    program = action.substr(0, blank);
    arguments = blank == std::wstring::npos ? std::wstring() : action.substr(blank + 1);
}

int UpdatePerformer::performSelfUpdateActions() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;

    notifyUpdateStart();

    for (const auto& action : m_config->copyActions()) {
        const std::wstring& source = action.first;
        const std::wstring& dest = action.second;
        LogDebug(L"Self-update copy: %s -> %s\n", source.c_str(), dest.c_str());
        // The sources are not this process's to delete: they lie in the first process's
        // temporary directory, which the updater started below reuses and removes with
        // everything the first process listed, or they are the backup copies of a process
        // that waits for this one to restore them. Deleting them here would race with
        // the updater started below.
        bool deferred = false;
        cb.copyFile(source, dest, true, &deferred);
        if (deferred) fp.AddTempFile(SetAsidePath(dest));
    }

    const std::wstring& execAction = m_config->selfUpdateProgram();
    if (!execAction.empty()) {
        std::wstring program;
        std::wstring arguments;
        SplitExecAction(execAction, program, arguments);
        LogDebug(L"Self-update starts: %s %s\n", program.c_str(), HidePasswords(arguments).c_str());
        std::wstring resultText;
        ProcessOutcome outcome;
        // The updated updater answers the first process itself.
        SelfUpdateHandover::PassOn();
        const int started = RunProcess(program, arguments, 0, resultText, false, &outcome);
        SelfUpdateHandover::ReleasePassedOn();
        if (started != 0) THROW_CRITICAL(Msg<252>(resultText), ERR_SELFUPDATE);
        if (outcome.kind == ProcessOutcome::kNotStarted)
            THROW_CRITICAL(Msg<883>(program, SystemErrorText(outcome.startError)), ERR_SELFUPDATE);
    }
    return 0;
}

}  // namespace UpdateNew
