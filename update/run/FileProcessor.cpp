#include "run/FileProcessor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/ProgramInfo.h"
#include "base/SafeFile.h"
#include "base/StringUtils.h"
#include "codec/DigestPrefetch.h"
#include "codec/FileDigest.h"
#include "config/UpdateConfig.h"
#include "download/DownloadNames.h"
#include "download/DownloadServersHandler.h"
#include "download/FileDownloader.h"
#include "download/IndexVerifier.h"
#include "plugin/BuiltinFileOps.h"
#include "plugin/UpdateCallbacks.h"
#include "run/StatCache.h"

namespace UpdateNew {

namespace {

const wchar_t kSelfUpdateModule[] = L"selfupdate";

// The version every local file reads as on this platform, and the value a VERSION text
// parses to here: a present file whose record has a VERSION is always the newer one.
const wchar_t kLocalFileVersion[] = L"1.1.1.1";
constexpr unsigned long long kLocalVersionValue = 0x0001000100010001ULL;
constexpr unsigned long long kRecordVersionValue = 0;

bool IsSelfUpdate(const UpdateModuleInfo& module) {
    return ToLower(module.name) == kSelfUpdateModule;
}

// The file's name as the check uses it: cut at the first blank, "\" read as "/", and
// outside mirror mode only the base name.
std::wstring CheckedName(const FileRecord& file, bool mirror) {
    // One scan and one copy: this runs for every file of the product.
    const std::wstring& name = file.name;
    size_t end = 0, start = 0;
    for (; end < name.size() && name[end] != L' '; ++end) {
        if (!mirror && (name[end] == L'/' || name[end] == L'\\')) start = end + 1;
    }
    std::wstring out(name, start, end - start);
    if (mirror) std::replace(out.begin(), out.end(), L'\\', L'/');
    return out;
}

// Results the hashing begun during the product info reading may keep waiting: the check
// takes them only after the whole document is read.
constexpr size_t kEarlyLookahead = 65536;

// The hashing workers' source of digests: the stat cache when there is one.
DigestPrefetch::Source CacheSource(StatCache* cache) {
    if (!cache) return DigestPrefetch::Source();
    return [cache](const std::wstring& path, int dir, const char* leaf) {
        return cache->digest(path, dir, leaf);
    };
}

// `prefetch` when a worker of it runs; otherwise (no thread could be started) none, and
// the check hashes each file itself on the run's thread.
std::unique_ptr<DigestPrefetch> KeptIfRunning(std::unique_ptr<DigestPrefetch> prefetch) {
    if (prefetch->running()) return prefetch;
    LogDebug(
        L"No thread could be started to hash the installed files ahead: the check "
        L"hashes them itself\n");
    return nullptr;
}

bool Exists(const std::wstring& path) {
    struct stat st;
    return ::stat(ToMultibyte(path).c_str(), &st) == 0;
}

}  // namespace

FileProcessor::FileProcessor(UpdateConfig* config, UpdateInfo* update)
    : m_config(config), m_update(update) {}

FileProcessor::~FileProcessor() {
    // Everything the run fetched, decompressed, backed up or listed goes, whatever the
    // outcome; failures are only logged (cleanup never throws).
    collectTemporaries();
    m_temporaries.cleanup(m_config->cCallbacks());
    for (auto dir = m_helperDirs.rbegin(); dir != m_helperDirs.rend(); ++dir)
        ::rmdir(ToMultibyte(*dir).c_str());
    removeFinishedMarker();
}

FileDownloader& FileProcessor::GetDownloader() {
    if (!m_downloader) m_downloader.reset(new FileDownloader(*m_config, m_config->cCallbacks()));
    return *m_downloader;
}

CDownloadServersHandler& FileProcessor::GetServersHandler() {
    if (!m_serversHandler) {
        m_serversHandler.reset(new CDownloadServersHandler(m_config, &GetDownloader()));
    }
    return *m_serversHandler;
}

std::wstring FileProcessor::productRoot() const {
    // Before a server is chosen (a check without servers) the configured product root.
    return m_serversHandler ? m_serversHandler->GetUpdateRoot() : m_config->productRoot();
}

std::wstring FileProcessor::moduleFilesAddress() const {
    return m_serversHandler ? m_serversHandler->GetUpdateRootAddress() : std::wstring();
}

bool FileProcessor::syncInstalledFiles(bool checkedOnly) {
    // The downloaded .gz files are of no more use once the files are installed, and not
    // worth a write to disk: without a plug-in (which hears each deletion) they go before
    // the flush rather than after it.
    if (!m_downloadsRemoved && !mirror() && !callbacks().IsLibLoaded()) {
        m_downloadsRemoved = true;
        collectTemporaries();
        m_temporaries.removeFilesNow(kGzSuffix);
    }
    std::vector<std::string> dirs = {ToMultibyte(GetDirPart(m_pendingIndexMarker))};
    for (const UpdateModuleInfo& module : m_update->modules) {
        std::wstring destination = module.destination;
        try {
            m_config->expandVariables(destination, true, false);
        } catch (const Exception&) {
            continue;  // the check could not reach its files either
        }
        // The check looks at each file in its module's destination itself.
        if (checkedOnly) {
            dirs.push_back(ToMultibyte(destination));
            continue;
        }
        for (const FileRecord& file : module.files) {
            std::string dir = ToMultibyte(GetDirPart(JoinPath(destination, file.name)));
            if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
        }
    }
    // A checked file may lie on a file system mounted below its module's destination.
    if (checkedOnly && m_statCache) {
        for (std::string& dir : m_statCache->deviceDirectories()) dirs.push_back(std::move(dir));
    }
    const int error = SyncFileSystems(dirs);
    m_filesSynced = error == 0;
    if (error != 0) LogWarning(L"%s\n", Msg<1020>(installDir(), SystemErrorText(error)).c_str());
    return error == 0;
}

std::unique_ptr<DigestPrefetch> FileProcessor::prefetchDigests() {
    if (m_config->mirror()) return nullptr;
    UpdateCallbacks& callbacks = m_config->cCallbacks();
    std::vector<std::wstring> paths;
    for (int index = 0; index < m_update->moduleCount(); ++index) {
        const UpdateModuleInfo& module = m_update->cGetModuleByIndex(index);
        if (callbacks.bLoadFailed() && !IsSelfUpdate(module)) continue;
        std::wstring destination = module.destination;
        try {
            m_config->expandVariables(destination, true, false);
        } catch (const Exception&) {
            break;  // the check itself meets the failure at this module
        }
        for (const FileRecord& file : module.files)
            paths.push_back(JoinPath(destination, CheckedName(file, false)));
    }
    if (paths.size() < 2) return nullptr;
    StatCache* cache = statCache();
    DigestPrefetch::Source source = CacheSource(cache);
    std::unique_ptr<DigestPrefetch> prefetch(
        new DigestPrefetch(std::move(paths), DigestPrefetch::Workers(), 256, std::move(source)));
    return KeptIfRunning(std::move(prefetch));
}

void FileProcessor::BeginPrefetch() {
    m_prefetch.reset();
    m_prefetchModule = -1;
    m_prefetchDestination.clear();
    m_prefetchSources.clear();
    // A library plug-in runs between the reading and the check (the product info's
    // entries, the special files) and may change installed files: then the check hashes
    // them itself, after it.
    if (m_config->mirror() || m_config->cCallbacks().hasLibPlugin()) return;
    // One worker while this thread reads the product info, all of them once it checks.
    const unsigned workers = DigestPrefetch::Workers();
    StatCache* cache = statCache();
    DigestPrefetch::Source source = CacheSource(cache);
    m_prefetch = KeptIfRunning(std::unique_ptr<DigestPrefetch>(new DigestPrefetch(
        std::max(workers, 2u) - 1, workers, kEarlyLookahead, std::move(source))));
}

void FileProcessor::DropPrefetch() {
    m_prefetch.reset();
}

void FileProcessor::PrefetchFile(int moduleIndex, const FileRecord& file) {
    if (!m_prefetch) return;
    if (moduleIndex != m_prefetchModule) {
        // Files of a module named again later in the document would be checked with its
        // first files, not where they were read: the check hashes every file itself.
        if (moduleIndex < m_prefetchModule) {
            m_prefetch.reset();
            return;
        }
        m_prefetchModule = moduleIndex;
        m_prefetchDestination.clear();
        const UpdateModuleInfo& module = m_update->cGetModuleByIndex(moduleIndex);
        if (m_config->cCallbacks().bLoadFailed() && !IsSelfUpdate(module)) return;
        // A destination given after the module's first files is not known yet: the check
        // then finds fewer paths than files and hashes them itself.
        if (module.destination.empty()) return;
        std::wstring destination = module.destination;
        try {
            m_config->expandVariables(destination, true, false);
        } catch (const Exception&) {
            return;  // the check meets the failure itself
        }
        m_prefetchDestination = destination;
        m_prefetchSources.emplace_back(moduleIndex, module.destination);
    }
    if (m_prefetchDestination.empty()) return;
    m_prefetch->add(JoinPath(m_prefetchDestination, CheckedName(file, false)));
}

void FileProcessor::CheckFiles() {
    UpdateCallbacks& callbacks = m_config->cCallbacks();
    callbacks.resetRunCounters();
    m_updatedText.clear();
    m_updatedEnds.clear();
    m_patchPlans.clear();
    m_missingPatches.clear();
    // The server address only appears in log lines; it stays the same during the check.
    const std::wstring filesAddress = LogDebugOn() ? moduleFilesAddress() : std::wstring();
    // The verdict lines are the same for every file.
    m_verdictLines[0] = LogDebugOn() ? Msg<685>() : std::wstring();
    m_verdictLines[1] = LogDebugOn() ? Msg<686>() : std::wstring();
    // The installed files are read and hashed ahead on other threads; results, callbacks
    // and log lines stay in file order on this one. Hashing begun while the product info
    // was read is taken when it holds a path for every file to check.
    std::unique_ptr<DigestPrefetch> prefetch = std::move(m_prefetch);
    if (prefetch) {
        size_t files = 0;
        for (const UpdateModuleInfo& module : m_update->modules)
            if (!callbacks.bLoadFailed() || IsSelfUpdate(module)) files += module.files.size();
        // A destination that changed after its module's first files (a later DESTINATION
        // for this system) leaves paths that the check would not take.
        bool same = prefetch->size() == files;
        for (const auto& used : m_prefetchSources)
            same = same && m_update->cGetModuleByIndex(used.first).destination == used.second;
        prefetch->close();
        if (!same) prefetch.reset();
    }
    if (!prefetch) prefetch = prefetchDigests();
    loadInstallationRecords();
    if (statCache()) statCache()->beginCheck();
    m_checked = true;
    m_cachedDigests = 0;
    size_t checked = 0;
    // Three debug lines per file: written in batches rather than with a call per file,
    // unless a plug-in library, which may write to the log itself, hears each file.
    std::unique_ptr<LogHold> hold;
    if (!callbacks.IsGuiLibLoaded() && !callbacks.hasLibPlugin()) hold.reset(new LogHold);

    const bool noteAdded =
        !m_config->checkDirty() && m_update->removeDropped && m_records.hasInstalledList();
    for (int index = 0; index < m_update->moduleCount(); ++index) {
        UpdateModuleInfo& module = m_update->cGetModuleByIndex(index);
        if (callbacks.bLoadFailed() && !IsSelfUpdate(module)) {
            if (LogDebugOn()) LogDebug(L"%s\n", Msg<656>(module.name).c_str());
            continue;
        }
        std::wstring destination = module.destination;
        m_config->expandVariables(destination, true, false);
        if (LogDebugOn()) {
            LogDebug(L"%s\n",
                     Msg<613>(module.name, module.source, destination, module.number).c_str());
        }

        bool listed = false;  // the module's "[name]" entry is in the list
        // The interface's form of each record; the default table (no GUI library) does
        // nothing with it, so it is only filled for a library.
        UpdateFileInfo f;
        const bool guiLibrary = callbacks.IsGuiLibLoaded();
        // The module's files on the server, for the log lines.
        const std::wstring moduleAddress = JoinPath(filesAddress, module.source);
        for (FileRecord& file : module.files) {
            std::wstring localPath;
            const bool changed =
                checkFile(module, file, destination, moduleAddress, prefetch.get(), localPath);
            ++checked;
            // What a kill during the replacement of the file left beside it.
            if (m_unfinished) (void)RemoveFile(ToMultibyte(ReplacementPath(localPath)));
            // A file this run is to install is noted with the content it gets, for a run
            // killed before the records are written (only where the records list the
            // installed files: the drop of a file needs them).
            if (!mirror() && (file.config || m_update->removeDropped))
                m_records.addFile(
                    module.name, localPath, file.config,
                    file.config ? WideToUtf8(file.pefilemd5.wide()) : std::string(),
                    changed && noteAdded ? WideToUtf8(file.pefilemd5.wide()) : std::string());
            if (guiLibrary) file.toPluginInfo(f);
            callbacks.callGui(L"onCheckFile(f)", &CUpdateGuiCallbacks::onCheckFile,
                              static_cast<const UpdateFileInfo&>(f));
            if (!changed) continue;
            callbacks.callGui(L"onCheckFileIsDirty(f)", &CUpdateGuiCallbacks::onCheckFileIsDirty,
                              static_cast<const UpdateFileInfo&>(f));
            callbacks.addDownloadSize(FetchSize(file));
            module.needsupdate = true;
            if (!listed) {
                m_updatedText += PathList::Pack(L"[" + module.name + L"]");
                m_updatedEnds.push_back(m_updatedText.size());
                m_updatedText += ' ';
                listed = true;
            }
            m_updatedText += '"';
            m_updatedText += PathList::Pack(localPath);
            m_updatedText += '"';
            m_updatedEnds.push_back(m_updatedText.size());
            m_updatedText += ' ';
            file.needsupdate = true;
            callbacks.addFilesTotal(1);
        }

        if (module.needsupdate || (IsSelfUpdate(module) && m_config->selfUpdateDone())) {
            for (int dependent : m_update->GetDependentModules(index)) {
                m_update->cGetModuleByIndex(dependent).needsupdate = true;
            }
        }
    }

    // Grown piece by piece; tens of MB for a product of hundreds of thousands of files.
    m_updatedText.shrink_to_fit();
    m_updatedEnds.shrink_to_fit();
    // The variable keeps the only copy; updatedFiles() reads it there.
    if (callbacks.filesTotal() != 0)
        m_config->setPackedVariable(L"UPDATED_FILES", std::move(m_updatedText));
    m_updatedText.clear();
    m_checkedFiles = checked;
    if (m_statCache && LogDebugOn())
        LogDebug(L"%s\n", Msg<1300>(m_cachedDigests, checked,
                                    StatCache::Path(GetServersHandler().GetLocalMasterIdxPath()))
                              .c_str());
    findDroppedFiles();
}

std::wstring FileProcessor::InstalledPath(const UpdateModuleInfo& module,
                                          const FileRecord& file) const {
    std::wstring destination = module.destination;
    m_config->expandVariables(destination, true, false);
    return JoinPath(destination, CheckedName(file, false));
}

std::vector<std::wstring> FileProcessor::updatedFiles() const {
    std::vector<std::wstring> entries;
    const std::string* text = m_config->packedVariable(L"UPDATED_FILES");
    if (text == nullptr) return entries;
    size_t start = 0;
    for (const size_t end : m_updatedEnds) {
        entries.push_back(PathList::Unpack(text->substr(start, end - start)));
        start = end + 1;
    }
    return entries;
}

bool FileProcessor::checkFile(const UpdateModuleInfo& module, FileRecord& file,
                              const std::wstring& destination, const std::wstring& moduleAddress,
                              DigestPrefetch* prefetch, std::wstring& localPath) {
    const bool mirror = m_config->mirror();
    const std::wstring name = CheckedName(file, mirror);
    if (!mirror) {
        localPath = JoinPath(destination, name);
        // One open gives presence, size and digest.
        ThrowIfInterrupted();
        const FileDigest local = prefetch && prefetch->nextIs(localPath)
                                     ? prefetch->take(ThrowIfInterrupted)
                                     : installedDigest(localPath);
        if (!local.exists) {
            if (LogDebugOn()) LogDebug(L"%s\n", Msg<620>(localPath).c_str());
            return true;
        }
        bool changed = checkInstalledFile(module, file, localPath, moduleAddress, local);
        if (changed && file.config) changed = judgeConfigFile(file, localPath, local.digest);
        if (changed) planPatch(module, file, localPath, local.digest);
        if (local.cached) ++m_cachedDigests;
        if (!changed && m_statCache) m_statCache->record(local, localPath);
        return changed;
    }
    // The mirror tree holds the server's compressed files under the same layout.
    localPath =
        JoinPath(JoinPath(m_config->installPath(), productRoot()), JoinPath(module.source, name)) +
        L".gz";
    if (!Exists(localPath)) {
        if (LogDebugOn()) LogDebug(L"%s\n", Msg<620>(localPath).c_str());
        return true;
    }
    // An unreadable copy has the empty digest and is never taken for a good one.
    const std::wstring digest = GetFileMD5(localPath);
    if (digest.empty() || digest != file.zipmd5) return true;
    // A patch the server added since (or a run stopped before copying) is fetched alone.
    const auto patches = module.patches.find(file.name);
    if (patches == module.patches.end()) return false;
    for (const FilePatchInfo& patch : patches->second) {
        const std::wstring name = PatchName(localPath, patch.baseMd5, file.filemd5.wide());
        if (Exists(name)) continue;
        if (LogDebugOn()) LogDebug(L"%s\n", Msg<620>(name).c_str());
        m_missingPatches.push_back({&module, &file, &patch, localPath});
    }
    return false;
}

bool FileProcessor::checkInstalledFile(const UpdateModuleInfo& module, const FileRecord& file,
                                       const std::wstring& localPath,
                                       const std::wstring& moduleAddress, const FileDigest& local) {
    // After a self-update the check is silent; the texts are built only when written.
    const bool log = !m_config->selfUpdateDone() && LogDebugOn();
    const bool hasVersion = !file.version.empty();
    const bool newer = hasVersion && kLocalVersionValue > kRecordVersionValue;
    const bool upToDate = newer || (static_cast<unsigned long long>(local.size) == file.filesize &&
                                    !local.digest.empty() && local.digest == file.pefilemd5);
    if (log) {
        // The file's three lines go to the log together (one write instead of three).
        const std::wstring serverPath = JoinPath(moduleAddress, ToSlashes(file.name));
        m_checkLines.resize(3);
        if (hasVersion) {
            m_checkLines[0] = Msg<681>(serverPath, file.version, file.pefilemd5.wide());
            m_checkLines[1] = Msg<682>(localPath, kLocalFileVersion, local.digest);
        } else {
            if (!m_serverFileLine) {
                m_serverFileLine.emplace();
                m_localFileLine.emplace();
            }
            m_checkLines[0].clear();
            m_serverFileLine->AppendTo(m_checkLines[0], serverPath, file.pefilemd5.wide());
            m_checkLines[1].clear();
            m_localFileLine->AppendTo(m_checkLines[1], localPath, local.digest);
        }
        m_checkLines[2] = m_verdictLines[upToDate ? 1 : 0];
        LogDebugTexts(m_checkLines);
    }
    return !upToDate;
}

void FileProcessor::planPatch(const UpdateModuleInfo& module, const FileRecord& file,
                              const std::wstring& installed, const std::wstring& digest) {
    if (!m_config->delta() || digest.empty()) return;
    const auto patches = module.patches.find(file.name);
    if (patches == module.patches.end()) return;
    for (const FilePatchInfo& patch : patches->second) {
        if (patch.baseMd5 != digest) continue;
        m_patchPlans[&file] = PatchPlan{installed, patch};
        return;
    }
}

unsigned long FileProcessor::FetchSize(const FileRecord& file) const {
    const auto plan = m_patchPlans.find(&file);
    return plan == m_patchPlans.end() ? file.zipsize
                                      : static_cast<unsigned long>(plan->second.patch.size);
}

// ---- the run's directories and temporary files -------------------------------------------

void FileProcessor::PrepareRun() {
    const UpdateDirs& dirs = m_config->updateDirs();
    LogDebug(L"%s\n", Msg<600>(dirs.m_installdir, dirs.m_tmpdir, dirs.m_backupdir).c_str());
    if (dirs.m_installdir.empty() || dirs.m_tmpdir.empty() || dirs.m_backupdir.empty())
        THROW_CRITICAL(Msg<249>(), 607);
    if (!m_config->copyActions().empty()) {
        m_helperDirs = m_config->createdRunDirs();
        return;
    }
    addRunDir(dirs.m_backupdir, m_config->backupDirCreated());
    addRunDir(dirs.m_tmpdir, m_config->tmpDirCreated());
}

void FileProcessor::addRunDir(const std::wstring& dir, bool created) {
    // A directory the run created carries the owner marker, so that this run's clean-up,
    // or a later one after a kill, removes it whole: also the default backup directory
    // inside the installation, which would otherwise keep a killed run's copies forever.
    // Never one that is or holds the installation, which outlives every run.
    if (created && !PathHolds(dir, m_config->updateDirs().m_installdir)) {
        CTemporaryFiles::MarkOwned(dir);
    } else if (LogDebugOn()) {
        LogDebug(
            L"\"%s\" gets no owner marker (found in place or holding the "
            L"installation): only what the run puts there is removed\n",
            dir.c_str());
    }
    m_temporaries.addRunDir(dir);
}

void FileProcessor::readEarlierRuns(const std::wstring& marker) {
    m_earlierRuns = ReadPendingRecord(marker);
    const UpdateDirs& dirs = m_config->updateDirs();
    for (auto* list : {&m_earlierRuns.tmpDirs, &m_earlierRuns.backupDirs}) {
        std::vector<std::wstring> kept;
        for (const std::wstring& dir : *list) {
            const bool ours = dir == WithoutTrailingSlash(dirs.m_tmpdir) ||
                              dir == WithoutTrailingSlash(dirs.m_backupdir);
            // Gone: that run removed it itself before it ended.
            if (!ours && !Exists(dir)) continue;
            std::wstring fault = ours ? std::wstring() : m_earlierRuns.distrust;
            if (!ours && fault.empty()) fault = CTemporaryFiles::OwnRunDirFault(dir);
            if (fault.empty())
                kept.push_back(dir);
            else
                LogWarning(L"%s\n", Msg<822>(dir, marker, fault).c_str());
        }
        list->swap(kept);
    }
}

void FileProcessor::ReadTmpFilesList(const std::wstring& path) {
    collectTemporaries();
    m_temporaries.readListFile(path);
}

void FileProcessor::collectTemporaries() {
    m_temporaries.takeFiles(m_tempFiles);
    m_temporaries.addDirs(m_tempDirs);
    m_tempDirs.clear();
}

void FileProcessor::DeleteMasterIdxCopy() {
    const std::wstring cIdx = GetServersHandler().GetLocalMasterIdxPath();
    // A mirror's kept copy is the index it serves, which its clients need; the marker of
    // an unfinished run makes the next one check every file all the same.
    if (mirror() && cIdx == mirrorIndexPath()) return;
    if (m_config->cCallbacks().callLib(L"DeleteFile(cIdx)", &CUpdateLibCallbacks::DeleteFile,
                                       cIdx.c_str()))
        return;
    (void)RemoveFile(ToMultibyte(cIdx));
}

bool FileProcessor::KeptIndexOutlivesFailure() const {
    return !m_config->trustedKeys().empty() && !m_keptIndexReplaced;
}

// ---- backup, installation, rollback ------------------------------------------------------

CModuleInstaller& FileProcessor::installer() {
    collectTemporaries();
    const UpdateDirs& dirs = m_config->updateDirs();
    if (!m_installer) {
        InstallSettings settings;
        settings.installDir = dirs.m_installdir;
        settings.tmpDir = dirs.m_tmpdir;
        settings.backupDir = dirs.m_backupdir;
        settings.mirror = m_config->mirror();
        settings.selfUpdateDone = m_config->selfUpdateDone();
        settings.selfUpdate.tmpDir = dirs.m_tmpdir;
        settings.selfUpdate.logFile = m_config->logFileName();
        settings.selfUpdate.updateLib = m_config->updateLib();
        // The command line is repeated with its path variables expanded; a text that
        // cannot be expanded (a "%" that is no variable, as in "%20" of an address) is
        // repeated as it was given rather than failing the backup of every module.
        std::wstring commandLine = GetCommandLineText();
        try {
            m_config->expandVariables(commandLine, true, false);
        } catch (const Exception& e) {
            LogDebug(L"The command line is repeated unexpanded: %s\n", e.twhat());
            commandLine = GetCommandLineText();
        }
        settings.selfUpdate.commandLine = commandLine;
        settings.selfUpdate.updaterPath = GetUpdaterPath();
        m_installer.reset(new CModuleInstaller(m_config->cCallbacks(), m_temporaries, settings));
    }
    // Where the download step put the files (the server's layout below the temporary root).
    const std::wstring root =
        m_serversHandler ? m_serversHandler->GetUpdateRoot() : m_config->productRoot();
    m_installer->setProductRoot(root);
    m_installer->setDownloadDir(m_downloadDir.empty() ? JoinConfined(dirs.m_tmpdir, root)
                                                      : m_downloadDir);
    return *m_installer;
}

void FileProcessor::BackupModule(int moduleIndex) {
    installer().backupModule(m_update->cGetModuleByIndex(moduleIndex));
}

void FileProcessor::InstallModule(int moduleIndex) {
    CModuleInstaller& modules = installer();
    if (!m_movableSourcesKnown) {
        // A download that two changed files install must still be there for the second,
        // so only one installed once is moved.
        modules.planMoves(m_update->modules);
        m_movableSourcesKnown = true;
    }
    modules.installModule(m_update->cGetModuleByIndex(moduleIndex));
}

void FileProcessor::RestoreModule(int moduleIndex) {
    installer().restoreModule(m_update->cGetModuleByIndex(moduleIndex));
}

// The four kinds of rollback step, done by this processor.
class FileProcessor::RollbackOperations : public IRollbackOperations {
public:
    explicit RollbackOperations(FileProcessor& processor) : m_processor(processor) {}
    void runPre(int module) override { m_processor.RunPre(module); }
    void runPost(int module) override {
        m_processor.RunPost(module);
        // The rollback ran it: the module owes no post command any more.
        m_processor.MarkPostRun(m_processor.m_update->cGetModuleByIndex(module).name);
    }
    void runUnpost(int module) override { m_processor.RunUnPost(module); }
    void restoreModule(int module) override { m_processor.RestoreModule(module); }

private:
    FileProcessor& m_processor;
};

void FileProcessor::RollBack(int phase, int moduleIndex) {
    // The files removed last go back first. One that cannot be put back keeps no module
    // from being rolled back; its failure is the run's after them.
    std::exception_ptr dropped;
    try {
        if (m_installer) m_installer->restoreDropped();
    } catch (...) {
        dropped = std::current_exception();
    }
    RollbackOperations operations(*this);
    try {
        UpdateNew::RollBack(m_config->cCallbacks(), *m_update, operations, phase, moduleIndex);
    } catch (...) {
        if (!dropped) throw;
    }
    if (dropped) std::rethrow_exception(dropped);
}

void FileProcessor::NoteCreatedDirectories(const std::vector<std::wstring>& dirs) {
    installer().noteCreatedDirectories(dirs);
}

void FileProcessor::RollBackRelease() {
    installer().removeNewFilesOnRestore();
    try {
        RollBack(ROLLBACK_PHASE_POST, m_update->moduleCount() - 1);
    } catch (...) {
        installer().removeNewDirectories();
        throw;
    }
    installer().removeNewDirectories();
}

}  // namespace UpdateNew
