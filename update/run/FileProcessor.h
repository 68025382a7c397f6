// The file processor: every per-module step of an update run, from checking the installed
// files to cleaning up. The update run owns one and calls its phases in order; the
// processor keeps what a phase hands on to the next (marks in the product data, lists of
// changed files). Sections below follow the phases of a run.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/PathList.h"
#include "base/PreparedMsg.h"
#include "base/UniqueFd.h"
#include "config/UpdateConfig.h"
#include "install/InstallationRecords.h"
#include "install/ModuleInstaller.h"
#include "install/PendingUpdate.h"
#include "install/Rollback.h"
#include "install/TemporaryFiles.h"
#include "product/UpdateInfo.h"

namespace UpdateNew {

class CDownloadServersHandler;
class DigestPrefetch;
class FileDownloader;
class IndexVerifier;
class StatCache;
struct CheckVerdict;
class TransferWindow;
struct FileDigest;
class UpdateCallbacks;
class UpdateConfig;

class FileProcessor {
public:
    // --- construction ---
    // `config` and `update` belong to the update run and must outlive the processor.
    FileProcessor(UpdateConfig* config, UpdateInfo* update);
    // Deletes every listed temporary file and directory (the clean-up of the run).
    ~FileProcessor();
    FileProcessor(const FileProcessor&) = delete;
    FileProcessor& operator=(const FileProcessor&) = delete;

    // --- server choice ---
    // The run's downloader and server handler, created together on first use (the
    // handler chooses a default server at once in default-server mode).
    CDownloadServersHandler& GetServersHandler();
    FileDownloader& GetDownloader();
    bool HasServersHandler() const { return m_serversHandler != nullptr; }

    // --- file check ---
    // Compares every file of every module with the installed copy (or, in mirror mode,
    // with the compressed copy in the mirror tree) and marks what must be fetched: changed
    // files and their modules get `needsupdate`, so do the modules that depend on a module
    // that needs an update. Counts the files and the bytes to fetch (FetchSize) in the
    // dispatcher, reports each file to the GUI plug-in ("onCheckFile(f)", and
    // "onCheckFileIsDirty(f)" for a changed one) and, when anything changed, sets the path
    // variable UPDATED_FILES. With patches on, a changed file whose installed copy is the
    // base of one of its patches is to be rebuilt from that patch. Changes no installed file;
    // after a run that did not end well it removes the replacement file (ReplacementPath) a
    // kill may have left beside each.
    // Unusable module dependencies end the process (status 250 or 249).
    void CheckFiles();
    // The installed files may be hashed for the check while the product info is still
    // being read: BeginPrefetch() before the reading, PrefetchFile() for each file record
    // as it is read, DropPrefetch() when the records will not be checked in the order they
    // were handed over (more product info files). CheckFiles() uses what was computed when
    // every path agrees and hashes the rest itself. Not in mirror mode, nor with a library
    // plug-in (its calls between the reading and the check may change installed files).
    void BeginPrefetch();
    void PrefetchFile(int moduleIndex, const FileRecord& file);
    void DropPrefetch();
    // In mirror mode (not a mere check): fetches the patches that current files of the
    // mirror tree lack (a run stopped, or patches published since) from the update root
    // `baseAddress` and puts them beside their files. One that cannot be fetched or does
    // not match its record is left out (logged at info level), as the whole file of a
    // client is the worst it costs.
    void FetchMissingMirrorPatches(const std::wstring& baseAddress);
    // The bytes fetching a changed file takes: its chosen patch's size, else ZIPSIZE.
    unsigned long FetchSize(const FileRecord& file) const;
    // Where the check looks for the file of `module` (its destination expanded).
    std::wstring InstalledPath(const UpdateModuleInfo& module, const FileRecord& file) const;
    // Whether one of the product's files installs at `path`.
    bool InstallsFile(const std::wstring& path) const;
    // Whether the check chose a patch to rebuild the changed file from.
    bool PatchPlanned(const FileRecord& file) const { return m_patchPlans.count(&file) != 0; }
    // Bytes the download step fetched so far: compressed whole files, and patches.
    unsigned long long WholeBytesFetched() const { return m_wholeBytes; }
    // The run failed: the whole module files it downloaded are moved into the resume
    // directory, where the next run finds them as partials that are complete, instead of
    // being deleted with the temporary directory. Never throws; nothing happens without a
    // resume directory to keep them in, across file systems, or on a nearly full disk.
    void KeepDownloadsForNextRun() noexcept;
    unsigned long long PatchBytesFetched() const { return m_patchBytes; }
    // The entries behind UPDATED_FILES of the last check: per module with changed files
    // "[name]", then the local path of each changed file between double quotes (none once
    // the variable is set to something else).
    std::vector<std::wstring> updatedFiles() const;

    // --- the run's directories and temporary things ---
    // The run's directories (from the configuration), each ending in "/".
    const std::wstring& installDir() const;
    const std::wstring& tmpDir() const;
    // Temporary files in the order registered (duplicates possible) and temporary
    // directories in the order registered (each once). Every file and directory the
    // download steps create below the temporary root is registered as soon as it exists.
    std::vector<std::wstring> tempFiles() const { return m_tempFiles.ToVector(); }
    const std::vector<std::wstring>& tempDirs() const { return m_tempDirs; }
    void AddTempFile(const std::wstring& path);
    void AddTempDir(const std::wstring& path);

    // --- master index ---
    // Fetches the master index from `address` to the temporary root (the path part of the
    // address below it; the plug-in may change the address first with
    // "changeMasterIdxUrl(src)"), checks it (a second fetch when the first copy fails the
    // check) and compares it whole with `keptCopy` (the server handler's local master index
    // path). Gives false when both are equal and IgnoreMasterIDX is not set (message 645:
    // nothing changed). Otherwise gives true after, in this order: in mirror mode the copy
    // into the mirror tree (install path joined with the `masteridx` option, through
    // "copyFile(source, dest)"); the index's lines handed to
    // "notifyMasterIdxContent(cMasterIdxContents)"; the fresh index put in place of
    // `keptCopy` ("copyFile(source, dest)" offered first; the updater's own replacement
    // writes a file beside it, syncs it and renames it over, so the kept copy is never
    // half written). In a run that follows a self-update nothing is fetched: the first
    // run's copy is registered as temporary and true is given.
    // Throws Exception 636 (message 132) after the second failed check; the downloader's
    // Exception for a failed transfer; CUpdateCriticalException 626 (message 125) when a
    // directory cannot be made; Exception (library messages 2, 5, 26) when the kept copy
    // cannot be replaced.
    //
    // With trusted keys configured the fetched index is verified first (IndexVerifier:
    // signatures, expiry, serial; the product file fetched before it against its digest),
    // nothing of it is used before, and once verified it is recorded in the trusted state
    // (not in a check-only run) before the kept copy changes. A run that follows a
    // self-update verifies the kept copy against the trusted state instead. In mirror mode
    // the index's signature files are copied beside the mirrored index.
    bool DownloadMasterIdx(const std::wstring& address, const std::wstring& keptCopy);
    // Asked with the lines of an index equal to the kept copy: true makes the run go on
    // as if it had changed (the release it would choose from it is not the one installed).
    void SetUnchangedIndexCheck(std::function<bool(const std::vector<std::string>&)> check) {
        m_unchangedIndexCheck = std::move(check);
    }
    // The verifier of a run with trusted keys after DownloadMasterIdx; null otherwise.
    const IndexVerifier* verifier() const { return m_verifier.get(); }
    // The kept copy is replaced before anything is installed. Until the run ends well a
    // marker file beside it (keptCopy + ".pending") says the update is unfinished, and a
    // run that finds the marker (the last one died, say by SIGKILL) does not take an equal
    // index for "nothing changed". The marker also names the temporary and backup
    // directories of every run of the unfinished update. The update run calls this when it
    // ends with success; the marker is removed at the very end of the clean-up, after this
    // run's own directories (a kill before leaves it to name them), and this lists the
    // earlier runs' directories that hold the owner marker (not this run's, never one
    // holding the installation) for the clean-up. A mirror's product info files, index
    // signatures and index go into its tree here, after every file they name: until then
    // the tree serves the last index it completed, also when the run fails or is killed.
    void FinishMasterIdx();
    // The marker also records the modules whose installation began while it stood and whose
    // post command has not run since: a run killed in between owes their post commands to
    // the next one. OwedPosts is that record as DownloadMasterIdx found it (kept up to date
    // by the two calls below; empty after a run without marker). MarkPostOwed adds a module
    // before its installation starts, MarkPostRun drops one once its post command ran; both
    // rewrite the marker whole (write, sync, rename) and throw Exception when they cannot.
    // Outside a run that changes the kept index (no marker) they do nothing.
    const std::vector<std::wstring>& OwedPosts() const { return m_owedPosts; }
    bool IsPostOwed(const std::wstring& module) const;
    void MarkPostOwed(const std::wstring& module);
    void MarkPostRun(const std::wstring& module);

    // --- product info file ---
    // Fetches the product info file and gives its local path (as fetched; the run decodes
    // it). The remote name is `defaultAddress` (the server handler's product info address),
    // or `givenName` in its directory with the naming rules of ProductInfoRemoteName; the
    // local path is the temporary root joined with the address's path part. Logs message
    // 643. Throws CUpdateCriticalException 626 (message 125) when the local directory
    // cannot be made; the downloader's Exception for a failed transfer.
    std::wstring DownloadProductInfoFile(const std::wstring& defaultAddress,
                                         const std::wstring& givenName);
    // In mirror mode: the fetched product info file `downloaded` is to be copied to
    // `mirrorPath` (its directory is made now), and, when the mirrored signed index names it
    // with this digest, also under its content name (ContentProductInfoName). The copies are
    // made by FinishMasterIdx, before the index.
    void MirrorProductInfo(const std::wstring& downloaded, const std::wstring& mirrorPath);

    // --- module download ---
    // The download step. `baseAddress` is the server joined with the update root (module
    // files are at <baseAddress>/<SOURCE>/<NAME>.gz); `productRoot` is the update root,
    // which places the download directory below the temporary root. Every file with its
    // `needsupdate` flag in every module with its flag is fetched (or taken from a matching
    // ".gz" already present, message 627, also one moved over from the download directory
    // of an earlier run of the unfinished update; a mismatching one is fetched again, 628),
    // verified, and outside mirror mode decompressed beside itself and verified again.
    // Patches come first, before the announcement: the files rebuilt from them, and in a
    // mirror the patches to copy. The size that "onStartDownloadFiles" then announces is
    // that of the whole files still to come, so a patch that falls back to its ".gz" is
    // in it and every byte it counts arrives after it.
    // Brackets the work with "onStartDownloadFiles(weblocation, ...)" and
    // "onFinishDownloadFiles(weblocation)" (weblocation = `baseAddress`) and disconnects
    // the downloader at the end. Throws CUpdateCriticalException 621/625 for a file that
    // fails its checks (messages 251/250) and -1 (message 252) when an interrupt or
    // terminate signal arrived before a fetch; the downloader's Exception for a failed
    // transfer (the run then tries the next server).
    void DownloadFiles(const std::wstring& baseAddress, const std::wstring& productRoot);
    // The download directory of the last DownloadFiles: where installation finds the files
    // (<downloadDir>/<SOURCE>/<NAME>, and <NAME>.gz beside it).
    const std::wstring& downloadDir() const { return m_downloadDir; }

    // --- module commands ---
    // The module's PRE, POST and UNPOST commands (module index into the product data).
    // Mirror mode runs nothing and calls no plug-in. PRE and POST offer
    // "overridePre(m.name)" / "overridePost(m.name)" first, even for an empty command;
    // an empty UNPOST causes no call at all, any other is bracketed by
    // "beforeUnpost(cCurModule.name, cCurModule.unpost)" and
    // "afterUnpost(cCurModule.name, cCurModule.unpost)" around
    // "overrideUnPost(cCurModule.name)". The program is the install path joined with the
    // program word's last component; PRE and POST fall back to that last component alone
    // when no such file exists. The child runs with the command time-out
    // (kModuleCommandTimeout) and the wait ends as soon as it does. Throws
    // CUpdateCriticalException 613 (message 252) when a late child cannot be terminated;
    // the child-process layer's Exception when it cannot be started or awaited. A PRE
    // whose program is missing but is one of the product's files (a first install) is
    // skipped with an info line (message 1325).
    void RunPre(int moduleIndex);
    void RunPost(int moduleIndex);
    void RunUnPost(int moduleIndex);
    // A module's health check (CHECK), found like its POST program and run with
    // `timeoutSeconds`: true when it exited with 0 (or the module has none, or this is a
    // mirror); otherwise false with the outcome text in `outcome`.
    bool RunCheck(int moduleIndex, int timeoutSeconds, std::wstring& outcome);

    // --- the run as a whole: directories, clean-up, backup, installation, rollback ---
    // Takes the configuration's three directories for a run: logs them (message 600),
    // fails with CUpdateCriticalException 607 (message 249) when one is empty, and lists
    // the backup and then the temporary directory for the clean-up. The update run calls
    // it once, before anything else. A self-update helper (a run of copy actions) lists
    // neither: it uses no directory of its own, and its default ones may be those of the
    // updater it starts (the default backup directory lies below the current directory),
    // so at its end it removes only the directories it created, and only while empty.
    void PrepareRun();
    // Takes over what an earlier updater process listed for deletion ("ToRemove.txt").
    void ReadTmpFilesList(const std::wstring& path);
    // Deletes the kept local copy of the master index ("DeleteFile(cIdx)" offered first), so
    // that the next run does not take an unfinished update for an unchanged one.
    void DeleteMasterIdxCopy();
    // Whether a failure of the run may leave the kept copy of the master index as it is:
    // with trusted keys, as long as the run did not replace it (it still names what the
    // installation holds, and deleting it would only make a refused publication change
    // the updater's files). Without keys the copy always goes on a failure (but for a
    // mirror's, which is the index it serves: DeleteMasterIdxCopy keeps that one).
    bool KeptIndexOutlivesFailure() const;
    // Whether an earlier run left the update unfinished (the marker was there when this run
    // fetched the index).
    bool Unfinished() const { return m_unfinished; }
    // Backup, installation and restore of one module (CModuleInstaller); the updater's own
    // module is handed to the self-update, which ends this process.
    void BackupModule(int moduleIndex);
    void InstallModule(int moduleIndex);
    void RestoreModule(int moduleIndex);
    // Undoes a run that failed in `phase` (0 pre or backup, 4 install, 1 post) at module
    // `moduleIndex`.
    void RollBack(int phase, int moduleIndex);
    // Puts the previous release back after a failed health check: every module is rolled
    // back as after a failure in the post pass of the last module (UNPOST, PRE, RESTORE,
    // POST), and the files this run installed where there were none are removed too, with
    // the directories this run made for them once they are empty.
    void RollBackRelease();
    // Directories the run made for a module (its destination), for RollBackRelease.
    void NoteCreatedDirectories(const std::vector<std::wstring>& dirs);
    // The lines of the master index DownloadMasterIdx fetched (after a self-update, of the
    // kept copy), without the digest line; empty before.
    const std::vector<std::string>& MasterIdxLines() const { return m_indexLines; }

    // --- the installation's records (CInstallationRecords), outside mirror mode ---
    // Whether the last check found installed files that the product no longer lists and
    // asks to remove (UPDATE/DROPPED): only files listed as installed by an earlier run, not
    // of the updater's own module, and not a configuration file edited here (kept, message
    // 1101).
    bool HasDroppedFiles() const { return !m_droppedFiles.empty(); }
    // After the check: the installed files this run removes because the product dropped
    // them (empty unless the publication asks for it).
    const std::vector<std::wstring>& DroppedFiles() const { return m_droppedFiles; }
    // The dropped configuration files edited here, which stay (message 1101).
    const std::vector<std::wstring>& KeptDroppedFiles() const { return m_keptDroppedFiles; }
    // Backs up and removes those files after the install pass (a rollback restores them).
    void RemoveDroppedFiles();
    // How many files RemoveDroppedFiles removed.
    size_t RemovedFileCount() const { return m_installer ? m_installer->droppedCount() : 0; }
    // Writes the records of the checked product beside the kept master index, after a run
    // that ended well. Throws Exception (message 1104) when one cannot be written.
    void SaveInstallationRecords();
    // Before the first file is installed: notes the files the check found to install, so
    // that a run killed before SaveInstallationRecords still counts them as the updater's
    // (CInstallationRecords::noteAdding). Throws as SaveInstallationRecords.
    void NoteFilesBeingAdded();
    // With the stat cache on: replaces it with what the last check found, after a run that
    // ended well, once the files it describes are on disk (the file systems holding the
    // kept index and every module's files are flushed first unless the run did that
    // already). Does nothing when no check ran. Never throws; a failure is a warning.
    void SaveStatCache();
    // Before the run changes the installation: the stat cache beside the kept index goes
    // (whether or not this run uses it); a run that ends well writes it anew.
    void RemoveStatCache();
    // With the stat cache on, before the product info is read: the verdict of the check
    // the cache recorded, when it was made with the product info `firstInfo` and its key
    // and every file are the same now (CheckVerdict.h). Only without plug-ins (they hear
    // each file of a check) and never after an unfinished update. False otherwise, with a
    // debug line that says why.
    bool TakeCheckVerdict(const std::wstring& firstInfo, CheckVerdict& verdict);
    // After a check that found nothing to do: its verdict goes into the stat cache with
    // SaveStatCache() (not when the check had installed files to compare beyond the product's).
    void KeepCheckVerdict(CheckVerdict verdict);
    // After a check that took the verdict over: counts it toward the next full check.
    void CountCheckVerdict();

private:
    // The stat cache, read on first use when the option is on (not in mirror mode nor in
    // the run after a self-update); null otherwise.
    StatCache* statCache();
    // The installed file's size and digest, from the stat cache when it has them.
    FileDigest installedDigest(const std::wstring& path);
    // Reads the records kept beside the kept master index, for the check.
    void loadInstallationRecords();
    // A changed configuration file (`local` its digest): true when it is to be replaced as
    // usual or written beside (FileRecord::configCopy); false when it was edited here and
    // the product's copy did not change (kept as it is).
    bool judgeConfigFile(FileRecord& file, const std::wstring& localPath,
                         const std::wstring& local);
    // After the check: the installed files the product dropped (m_droppedFiles).
    void findDroppedFiles();
    // Checks one file; true when it must be fetched. `localPath` receives the path looked at.
    // `moduleAddress` is the server's address of the module's files, for log lines only.
    // `prefetch` (may be null) holds the installed files' digests computed ahead.
    bool checkFile(const UpdateModuleInfo& module, FileRecord& file,
                   const std::wstring& destination, const std::wstring& moduleAddress,
                   DigestPrefetch* prefetch, std::wstring& localPath);
    // Starts hashing the installed files of the check ahead, in check order; null in mirror
    // mode and for fewer than two files.
    std::unique_ptr<DigestPrefetch> prefetchDigests();
    // Judges a present installed file from its size and digest (`local`).
    bool checkInstalledFile(const UpdateModuleInfo& module, const FileRecord& file,
                            const std::wstring& localPath, const std::wstring& moduleAddress,
                            const FileDigest& local);

    // The server's product root, and the base address of the module files for log lines.
    std::wstring productRoot() const;
    std::wstring moduleFilesAddress() const;

    UpdateCallbacks& callbacks();
    bool mirror() const;
    // Creates the directory of `file` through "checkCreateDirectory(cPath, cCreatedDirs)"
    // and registers what was created; logs message 125 and throws CUpdateCriticalException
    // `code` when that fails.
    void makeDirectoryForFile(const std::wstring& file, int code);
    // Fetches `address` into `local`; true when the copy passes the checked-text check.
    bool fetchCheckedIndex(const std::wstring& address, const std::wstring& local);
    // The index to copy into the mirror tree, with its signature files: its directory is
    // made and its product infos noted now, the copies are made by publishMirror.
    void mirrorIndex(const std::wstring& address, const std::wstring& local);
    // The mirror's product infos, then the index's signature files, then the index.
    void publishMirror();
    // Where a mirror serves the index.
    std::wstring mirrorIndexPath() const;
    // The changed index becomes the kept copy, after the unfinished-update record that
    // names this run is on disk.
    void keepNewIndex(const std::wstring& local, const std::wstring& keptCopy,
                      const std::wstring& marker);
    void replaceKeptIndex(const std::wstring& fresh, const std::wstring& kept);
    // Flushes the file systems that hold the kept index and the files of every module (one
    // syncfs each); false, with a warning, when that fails. `checkedOnly`: the files where
    // the check looks at them (each module's destination), one directory per module.
    bool syncInstalledFiles(bool checkedOnly = false);
    bool m_filesSynced = false;  // syncInstalledFiles succeeded
    // Fetches the signature file `remote` into `local` (registered as temporary first), no
    // bigger than a signature file may be.
    void fetchIndexSignature(const std::wstring& remote, const std::wstring& local);
    // Chooses, for a changed installed file, the patch whose base has its digest (when
    // patches are on and the file has any).
    void planPatch(const UpdateModuleInfo& module, const FileRecord& file,
                   const std::wstring& installed, const std::wstring& digest);
    // Rebuilds a file from its installed copy and the chosen patch into `local`; false
    // (logged at info level) when there is no patch to use or it fails, so that the
    // whole file is fetched.
    bool patchModuleFile(const FileRecord& file, const std::wstring& remoteGz,
                         const std::wstring& local, int& count);
    // In a mirror: fetches the file's patches beside its ".gz" `gz`; one that cannot be
    // fetched or does not match its record is left out (logged at info level).
    // Fetches `patch` from `remote` to `local` and checks its size and SHA-256; the text of
    // what failed, empty when it is there. Only a critical failure throws.
    std::wstring fetchMirrorPatch(const FilePatchInfo& patch, const std::wstring& remote,
                                  const std::wstring& local);
    void fetchMirrorPatches(const UpdateModuleInfo& module, const FileRecord& file,
                            const std::wstring& remoteGz, const std::wstring& gz);
    // Copies the `count` signature files of the index beside its mirror copy, under their
    // plain names and the names made from the index's content (fetching them first when
    // no verifier did).
    void copyIndexSignatures(const std::wstring& address, const std::wstring& local,
                             const std::wstring& mirrorCopy, int count);
    // What the download step does with one module file, decided before the first
    // transfer so that the files behind the one being fetched can run ahead.
    // A step keeps no paths: a product may have hundreds of thousands of files, so each
    // file's names are built from its module and record when its turn comes.
    struct ModuleFileStep {
        const UpdateModuleInfo* module;
        const FileRecord* file;
        int present;  // 1: a matching ".gz" is there, 0: none, -1: one that does not match
        // Its place in the transfer window's plan, or kNotAhead when it is not fetched
        // (present, or rebuilt from a patch).
        static constexpr size_t kNotAhead = static_cast<size_t>(-1);
        size_t windowIndex = kNotAhead;
        bool patched = false;  // rebuilt from its patch: nothing more to fetch
        bool clash = false;    // one of its two names is also a name of another step
    };
    // Marks the steps whose file or ".gz" shares its name with a file or ".gz" of another
    // step ("x.gz" is where "x" is fetched and where a file "x.gz" is decompressed), and
    // puts those in order of their names' length: each is fetched and decompressed in
    // the loop, the shorter name first, so that a ".gz" is of no more use when another
    // file is decompressed over it. Never ahead, nor from a patch (fetched before all).
    void markClashes(std::vector<ModuleFileStep>& steps) const;
    // The step's file on the server: <baseAddress>/<SOURCE>/<NAME>.gz.
    std::wstring stepRemoteGz(const ModuleFileStep& step) const;
    // The decompressed file in the download directory, and its ".gz" (local + ".gz").
    std::wstring stepLocal(const ModuleFileStep& step) const;
    std::wstring stepGz(const ModuleFileStep& step) const;
    // Creates the directory of the step's files (registered for removal after a
    // self-update); throws CUpdateCriticalException (message 125) when it cannot.
    void makeStepDirectory(const ModuleFileStep& step);
    // The patches of the steps, before any whole file: rebuilds each file planned to come
    // through a patch (`patched` set; one that falls back keeps its place among the whole
    // files), or in a mirror fetches the patches of each file. Gives by how much the
    // check's download size is too high: the planned patches' sizes, less the ".gz"
    // sizes of the files that fall back to them.
    long long fetchPatches(std::vector<ModuleFileStep>& steps, int& count);
    // One module file: reuse or fetch (through `window`, as planned file `count` - 1
    // after counting it), verify, decompress.
    void downloadModuleFile(const ModuleFileStep& step, TransferWindow& window, int& count);
    // Where the module transfers keep their partial files: the installation's resume
    // directory, or one below the temporary root (removed with the run) when that cannot
    // be made. `keep` tells whether partials may outlive the run; `dir` is that directory,
    // opened.
    std::wstring prepareResumeDir(bool& keep, UniqueFd& dir);
    // `dir` and its parents below the temporary root, as temporary directories.
    void registerDownloadDirs(const std::wstring& dir);

    UpdateConfig* m_config;
    UpdateInfo* m_update;
    CInstallationRecords m_records;
    bool m_recordsComplete = false;  // the last check saw every module's files
    std::vector<std::wstring> m_droppedFiles;
    std::vector<std::wstring> m_keptDroppedFiles;
    std::unique_ptr<FileDownloader> m_downloader;
    std::unique_ptr<CDownloadServersHandler> m_serversHandler;  // uses m_downloader
    // The UPDATED_FILES text of the check (each entry followed by a blank) in PathList's
    // packed form while the check builds it (the variable takes it over), and the end of
    // each entry in it: one narrow copy of every path instead of a string per entry.
    std::string m_updatedText;
    std::vector<size_t> m_updatedEnds;
    std::vector<std::wstring> m_checkLines;  // the debug lines of the file being checked
    std::wstring m_verdictLines[2];          // messages 685 (changed) and 686 (up to date)
    // Messages 683 and 684 (the server's and the local digest), prepared for the check.
    std::optional<PreparedMsg<683>> m_serverFileLine;
    std::optional<PreparedMsg<684>> m_localFileLine;
    // Declared before the prefetch, whose workers may use it until they are stopped.
    std::unique_ptr<StatCache> m_statCache;
    bool m_statCacheRead = false;  // statCache() decided
    bool m_checked = false;        // CheckFiles ran
    size_t m_checkedFiles = 0;     // the files it checked
    bool m_droppedLooked = false;  // it looked for dropped files beyond the product's list
    size_t m_cachedDigests = 0;    // files of the last check whose digest came from it
    std::unique_ptr<DigestPrefetch> m_prefetch;  // begun while the product info is read
    int m_prefetchModule = -1;                   // the module m_prefetchDestination is of
    std::wstring m_prefetchDestination;          // empty: its files are not prefetched
    // Each prefetched module with the DESTINATION its paths were made from.
    std::vector<std::pair<int, std::wstring>> m_prefetchSources;
    PathList m_tempFiles;  // one or two per downloaded file
    std::vector<std::wstring> m_tempDirs;
    std::wstring m_downloadDir;
    std::wstring m_baseAddress;  // of the module files, while DownloadFiles runs
    unsigned long long m_wholeBytes = 0;
    std::wstring m_keptResumeDir;     // where a failed run's downloads are kept; may be empty
    bool m_downloadsRemoved = false;  // before the flush that ends a run
    unsigned long long m_patchBytes = 0;
    // A patch the check chose for a changed file, and the installed copy it applies to.
    struct PatchPlan {
        std::wstring installed;
        FilePatchInfo patch;
    };
    // By file record: the records stay where they are from the check to the download.
    std::map<const FileRecord*, PatchPlan> m_patchPlans;
    // In mirror mode, the patches that a current compressed copy in the mirror tree lacks,
    // with that copy: fetched beside it, the file itself being no change.
    struct MissingPatch {
        const UpdateModuleInfo* module;
        const FileRecord* file;
        const FilePatchInfo* patch;
        std::wstring mirrorGz;
    };
    std::vector<MissingPatch> m_missingPatches;
    std::vector<std::string> m_indexLines;
    // The unfinished-update marker this run must remove when it ends well; empty when none.
    std::wstring m_pendingIndexMarker;
    // The marker of an update this run finished, removed once the run's own directories
    // are gone (removeFinishedMarker, at the end of the clean-up).
    std::wstring m_finishedMarker;
    void removeFinishedMarker();
    // Made by DownloadMasterIdx when trusted keys are configured; checks the index and,
    // through it, everything the run fetches after it.
    std::unique_ptr<IndexVerifier> m_verifier;
    std::function<bool(const std::vector<std::string>&)> m_unchangedIndexCheck;
    // The product info digests of the signed index a mirror copies (name -> SHA-256 text).
    std::map<std::string, std::string> m_mirroredInfos;
    // What publishMirror copies: the index's address and local copy (empty when none),
    // the number of its signatures (-1: not a signed index), and the product infos
    // (downloaded file, path in the mirror).
    std::wstring m_mirrorIndexAddress, m_mirrorIndexLocal;
    int m_mirrorIndexSignatures = -1;
    std::vector<std::pair<std::wstring, std::wstring>> m_mirrorInfos;
    // The modules the marker records as owed a post command.
    std::vector<std::wstring> m_owedPosts;
    // The record as this run found it (the directories of earlier runs of the update),
    // holding only the directories that may be taken as those runs' own.
    PendingRecord m_earlierRuns;
    // Reads the record of `marker` into m_earlierRuns. A directory of it that is not this
    // run's own is kept only when the marker and the directory are trusted and the
    // directory holds the owner marker; any other is left alone with a warning that says
    // why, and is neither reused nor removed.
    void readEarlierRuns(const std::wstring& marker);
    // Whether the marker was there: an earlier run did not end well.
    bool m_unfinished = false;
    // Whether this run (or the process before a self-update) replaced the kept index.
    bool m_keptIndexReplaced = false;
    // The download directories of earlier runs, where verified downloads may wait.
    std::vector<std::wstring> m_earlierDownloadDirs;
    // The record to write: the earlier runs' directories with `owed`.
    PendingRecord pendingRecord(const std::vector<std::wstring>& owed) const;
    // Moves the earlier runs' download of `file` to `gz` when there is one.
    void takeEarlierDownload(const UpdateModuleInfo& module, const FileRecord& file,
                             const std::wstring& gz);

    // Moves what the download steps listed into the run's temporary files, in order, so
    // that the list file handed to a self-update and the clean-up see everything.
    void collectTemporaries();
    // Lists the temporary or backup directory for the clean-up, marking it as the run's
    // own when preparing the run created it.
    void addRunDir(const std::wstring& dir, bool created);
    CModuleInstaller& installer();
    class RollbackOperations;

    CTemporaryFiles m_temporaries;
    // A self-update helper's own directories, removed at its end while empty.
    std::vector<std::wstring> m_helperDirs;
    std::unique_ptr<CModuleInstaller> m_installer;
    // Whether the installer knows which downloads it may move into place.
    bool m_movableSourcesKnown = false;
};

}  // namespace UpdateNew
