// Backup, installation and restore of one module's files: the file processor's backup,
// install and restore operations do their work here. Every copy goes through the
// dispatcher's "copyFile(source, dest)" (the plug-in may take it over; otherwise the
// updater's own copy). The updater's own module ("selfupdate", any letter case) is not
// copied outside mirror mode: its files are handed to CSelfUpdateHelper.
//
// Paths, for a changed file with base name = last component of NAME ("\" read as "/"):
//   normal mode: installed file  = DESTINATION / base name
//                backup copy     = backup directory / base name (a distinct name when two
//                                  installed files share it, see CBackupNames)
//                install source  = download directory / SOURCE / NAME
//   mirror mode: installed file  = install path / product root / SOURCE / NAME.gz
//                backup copy     = backup directory / product root / SOURCE / NAME.gz
//                install source  = download directory / SOURCE / NAME.gz
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "install/BackupNames.h"
#include "install/SelfUpdateHelper.h"
#include "plugin/FileMode.h"
#include "product/FileRecord.h"
#include "update/UpdateCallbackTypes.h"

namespace UpdateNew {

class UpdateCallbacks;
class CTemporaryFiles;
struct UpdateModuleInfo;

struct InstallSettings {
    std::wstring installDir;        // the run's installation directory (option install-path)
    std::wstring tmpDir;            // the temporary root
    std::wstring backupDir;         // the backup root
    bool mirror = false;            // option mirror
    bool selfUpdateDone = false;    // option noselfupdate: this run follows a self-update
    SelfUpdateSettings selfUpdate;  // for handing the updater's own module over
};

class CModuleInstaller {
public:
    // `callbacks` and `temporaries` must outlive the installer. Backup copies and the
    // directories made for them are registered in `temporaries`.
    CModuleInstaller(UpdateCallbacks& callbacks, CTemporaryFiles& temporaries,
                     const InstallSettings& settings);
    CModuleInstaller(const CModuleInstaller&) = delete;
    CModuleInstaller& operator=(const CModuleInstaller&) = delete;

    // Set by the download step: where the fetched files are (temporary root joined with
    // the server's product root) and that product root (used by mirror paths).
    void setDownloadDir(const std::wstring& dir) { m_downloadDir = dir; }
    void setProductRoot(const std::wstring& root) { m_productRoot = root; }
    // Decides which downloads may be moved into place (UpdateCallbacks::moveFile) instead
    // of copied: those of the changed files of the changed `modules` that no other such
    // file installs too (it would still need the download). Nothing is moved before this
    // is called. The records must outlive the installer.
    void planMoves(const std::vector<UpdateModuleInfo>& modules);
    const std::wstring& downloadDir() const { return m_downloadDir; }
    const InstallSettings& settings() const { return m_settings; }

    // Whether `module` is handed to the self-update instead of being copied.
    bool isSelfUpdateModule(const UpdateModuleInfo& module) const;
    static bool IsSelfUpdateName(const std::wstring& name);

    std::wstring sourceDir(const UpdateModuleInfo& module) const;
    std::wstring installedPath(const UpdateModuleInfo& module, const FileRecord& file) const;
    std::wstring installSource(const UpdateModuleInfo& module, const FileRecord& file) const;
    // The backup copy a restore takes (see CBackupNames::lookup); "" when none can exist.
    std::wstring restoreSource(const UpdateModuleInfo& module, const FileRecord& file) const;

    // Copies the installed copy of every changed file to its backup copy (messages 626,
    // 623 for a file not installed yet); "overrideBackupModule(cCurModule.name)" may take
    // the module over; "onBackupFile(...)" before each file. A file backed up earlier in
    // this run keeps its first copy (it holds the content from before the run). Copy
    // failures throw.
    void backupModule(const UpdateModuleInfo& module);
    // Installs every changed file ("overrideInstallModule(cCurModule.name)" may take the
    // module over; "onInstallFile(src, dest)" before each file; a protected target is
    // replaced through target + ".tmp", which is listed as temporary). For the updater's own
    // module: CUpdateCriticalException 629 (message 242) after a self-update; otherwise the files
    // go to the self-update, which ends this process when it starts.
    void installModule(const UpdateModuleInfo& module);
    // Copies the backup copies of the module's changed files back (message 629; 632 for a
    // module that was not updated; 624 for a file without a backup copy, which stays as
    // installed). A changed file that this installer's backup step did not copy (its
    // installed copy was missing) has no backup copy, whatever lies under its name in the
    // backup directory (what a killed run left); only where the plug-in made the module's
    // backup is the copy looked up by name. For the updater's own module the copies go
    // through a restore-mode self-update helper.
    void restoreModule(const UpdateModuleInfo& module);
    // From now on a restore also removes the files this run installed where none was
    // before, so that the installation is the previous release again (a rollback after a
    // failed health check). The updater's own module keeps them.
    void removeNewFilesOnRestore() { m_removeNewFiles = true; }
    // Directories this run made for the installation (`dirs`, parents first), noted so that
    // removeNewDirectories can take them back.
    void noteCreatedDirectories(const std::vector<std::wstring>& dirs);
    // After a restore with removeNewFilesOnRestore: removes, last made first, each directory
    // this run made that is empty again. One that holds anything stays.
    void removeNewDirectories();

    // Where the product's new copy of a configuration file edited here is written: beside
    // it, as "<installed path>.upd-new-dist".
    static std::wstring NewDistPath(const std::wstring& installed);
    // The permission bits, owner and group an installed file gets: the product's bits (0755
    // when it gives none) and the owner of the file it replaces; a configuration file keeps
    // the bits, owner and group of the installed one.
    FileMode installMode(const UpdateModuleInfo& module, const FileRecord& file) const;

    // Backs up and removes the installed files `paths` that the product no longer lists
    // (message 1102 for each; a missing one is skipped); restoreDropped() puts them back
    // (the rollback), all it can, and throws the first failure after the last. Copy
    // failures throw; a file that cannot be removed throws too (message 1106), after which
    // restoreDropped() still restores what was removed.
    void removeDropped(const std::vector<std::wstring>& paths);
    void restoreDropped();
    size_t droppedCount() const { return m_dropped.size(); }

    // The list file handed to the next process: the temporary root joined with
    // "ToRemove.txt".
    std::wstring listFilePath() const;

private:
    std::wstring backupPath(const UpdateModuleInfo& module, const FileRecord& file);
    void handToSelfUpdate(CSelfUpdateHelper& helper);
    // Removes a file this run installed where none was; a failure is logged, not thrown:
    // the rest of the rollback goes on.
    void removeNewFile(const std::wstring& path);
    // Copies (or, with `move`, moves) through the dispatcher with may defer set; a
    // protected target moved aside is listed as temporary, so the run's clean-up deletes it.
    void copyDeferrable(const std::wstring& source, const std::wstring& dest, const FileMode& mode,
                        bool move = false);
    // In a mirror, the patches of a file that the download step fetched beside its ".gz"
    // (`src`) go beside the mirrored ".gz" (`dest`) too.
    void copyPatches(const UpdateModuleInfo& module, const FileRecord& file,
                     const std::wstring& src, const std::wstring& dest);

    UpdateCallbacks& m_callbacks;
    CTemporaryFiles& m_temporaries;
    InstallSettings m_settings;
    std::wstring m_downloadDir;
    std::wstring m_productRoot;
    CBackupNames m_backupNames;
    std::set<std::wstring> m_copied;            // installed files whose backup copy was made
    std::set<std::wstring> m_backedUpByPlugin;  // names of modules whose backup the plug-in made
    std::set<std::wstring> m_newFiles;          // installed files that were missing at the backup
    bool m_removeNewFiles = false;
    std::vector<std::wstring> m_createdDirs;  // made by this run, parents first
    // The product's copies beside configuration files edited here that were there before
    // this run wrote them, and their backups.
    std::map<std::wstring, std::wstring> m_besideBackups;
    // The files whose download is moved (planMoves), sorted by address: a run may install
    // hundreds of thousands, so no names are kept.
    std::vector<const FileRecord*> m_movable;
    // The dropped files removed by removeDropped(): (installed path, backup copy).
    std::vector<std::pair<std::wstring, std::wstring>> m_dropped;
};

}  // namespace UpdateNew
