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
#include "codec/FileInfo.h"
#include "codec/ProductInfoDecode.h"
#include "config/UpdateConfig.h"
#include "config/UpdateUri.h"
#include "download/DownloadNames.h"
#include "download/DownloadServersHandler.h"
#include "download/FileDownloader.h"
#include "download/ReleaseChoice.h"
#include "install/InstallationRecords.h"
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

// The path of a file record: its NAME up to the first blank (what follows are option
// words), "\" read as "/".
std::wstring FilePath(const FileRecord& file) {
    return ToSlashes(file.name.substr(0, file.name.find(L' ')));
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

// The text of a plug-in's exception; one without a text is named by the call it left
// (a failure line would otherwise end in "failed: " alone).
std::wstring PluginExceptionText(const std::wstring& given) {
    if (given.find_first_not_of(L" \t\r\n") != std::wstring::npos) return given;
    return UpdateCallbacks::FailedCallText() + L": " + Msg<1238>();
}

}  // namespace

bool UpdatePerformer::IsSelfUpdateName(const std::wstring& name) {
    return ToLower(name) == kSelfUpdateModule;
}

std::wstring UpdatePerformer::CurrentExceptionText() {
    try {
        throw;
    } catch (const Exception& e) {
        return e.twhat();
    } catch (const CPluginException& e) {
        return PluginExceptionText(e.twhat());
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
    // A mirror's configuration used on an installation by mistake would write the server's
    // tree into it and replace its kept index: it would then take itself for up to date.
    std::wstring installed = CInstallationRecords::InstalledPath(keptIndex());
    // (An installation published without dropped-file records keeps no list, but the
    // record of its release.)
    if (!FileInfo(installed).Exists()) installed = ReleaseRecordPath(keptIndex());
    if (m_config->mirror() && FileInfo(installed).Exists()) {
        m_resultText = Msg<1235>(m_config->installPath(), installed);
        LogFatal(L"%s\n", m_resultText.c_str());
        fillReport(ERR_GENERIC);
        return ERR_GENERIC;
    }
    const int result = runProductUpdate();
    fillReport(result);
    return result;
}

// A plug-in stopped the run: both plug-ins hear it as a critical error, the kept index
// goes. Gives the run's result.
int UpdatePerformer::endOnPluginException(const std::wstring& given) {
    UpdateCallbacks& cb = callbacks();
    const std::wstring text = PluginExceptionText(given);
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
            if (const auto* dependency = dynamic_cast<const CModuleDependencyException*>(&e))
                m_exitStatus = dependency->exitStatus();
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

}  // namespace UpdateNew
