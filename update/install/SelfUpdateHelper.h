// CSelfUpdateHelper: hands the files of the updater's own module ("selfupdate") to a copy
// of the updater that runs from a side directory, because the running updater cannot
// replace its own files. Execute copies the module into "SelfUpdateTemp" inside the
// temporary directory, writes the "update.conf" that tells the copy what to copy where
// (and, for an update, how to start the updated updater to finish the run), starts the
// copy and ends this process with status 0.
//
// The restore of the module during a rollback uses the same helper in restore mode: no
// restart line is written, and this process waits for the copy to put the backed-up files
// back and then goes on with its rollback, so the run still ends with its error.
#pragma once

#include <string>
#include <vector>

namespace UpdateNew {

class UpdateCallbacks;

// What the helper needs to know about the run. The update run fills it from its
// configuration (SelfUpdateSettingsFrom...), tests directly.
struct SelfUpdateSettings {
    std::wstring tmpDir;       // the run's temporary directory
    std::wstring logFile;      // the log file path
    std::wstring updateLib;    // the function-replacing plug-in's path; empty when none
    std::wstring commandLine;  // this process's command line text, variables expanded;
                               // ends with a blank
    std::wstring updaterPath;  // the running updater's executable, links resolved
};

class CSelfUpdateHelper {
public:
    // The side directory's name inside the temporary directory.
    static const wchar_t* const kSideDirName;  // "SelfUpdateTemp"
    // The configuration file written into the side directory.
    static const wchar_t* const kConfigName;  // "update.conf"
    // How long a restore waits for the copy before terminating it, in seconds.
    static constexpr int kRestoreWaitSeconds = 60;

    struct Entry {
        std::wstring source;  // the new file (changed) or the module's file (unchanged)
        std::wstring target;  // where the file is installed
        bool changed;
    };

    // `callbacks` must outlive the helper.
    CSelfUpdateHelper(UpdateCallbacks& callbacks, const SelfUpdateSettings& settings,
                      bool restoreMode);
    virtual ~CSelfUpdateHelper();
    CSelfUpdateHelper(const CSelfUpdateHelper&) = delete;
    CSelfUpdateHelper& operator=(const CSelfUpdateHelper&) = delete;

    // An unchanged file of the module: copied into the side directory from `target` (the
    // installed copy) so that the copy of the updater is complete; not copied into place.
    void AddFile(const std::wstring& source, const std::wstring& target);
    // A changed file: copied into the side directory from `source`, and copied by the
    // helper from `source` to `target`.
    void AddChangedFile(const std::wstring& source, const std::wstring& target);

    const std::vector<Entry>& entries() const { return m_files; }
    bool restoreMode() const { return m_restoreMode; }
    // The side directory (temporary directory joined with "SelfUpdateTemp").
    std::wstring SideDir() const;
    // The program the helper runs: the side directory joined with the file name of the
    // updater's executable.
    std::wstring HelperProgram() const;

    // The text of "update.conf", line by line:
    //   [selfupdate]
    //   CopyAction=<source>|<target>            one per changed entry, in order
    //   ExecAction=<RestartCommandLine()> --NoSelfUpdate "--TmpDir=<tmp>" "--LogFile=<log>"
    //       "--TmpFilesList=<tmpFilesList>"     (one line; not in restore mode)
    //   [update]                                only with a plug-in library:
    //   UpdateLib=<HelperLibrary()>
    //   [product]
    //   masteridx=/idx/master.idx
    //   Logfile=<log>
    std::wstring ConfigText(const std::wstring& tmpFilesList) const;
    // The command line the updated updater is started with: this process's, unless its
    // program word (argv[0] as typed) is no path to an existing file (a program found
    // through PATH); then the updater's real path, resolved at start-up, takes its place.
    std::wstring RestartCommandLine() const;
    // Where the helper loads the function-replacing plug-in from: the side directory when
    // the library is one of the module's files (copied there by Execute), otherwise the
    // configured path.
    std::wstring HelperLibrary() const;

    // Creates the side directory (through "checkCreateDirectory(cPath, cCreatedDirs)"),
    // copies every entry into it (through "copyFile(source, dest)"), writes "update.conf"
    // (temporary name, sync, rename) and starts the helper program without arguments.
    // Normal mode: does not return once the updated updater the helper restarts took over
    // (SelfUpdateHandover), the process ends with status 0; when either does not take over
    // (or an interrupt comes first) it fails with 630 and message 700 saying what became of
    // them. Restore mode: waits for the helper (at most
    // kRestoreWaitSeconds) and returns. Failures: CUpdateCriticalException 630 with message 243
    // (the configuration file or the side directory cannot be written) or 252 (the helper could not
    // be started or awaited); the Exception of the child-process layer passes on; copy failures
    // pass on.
    void Execute(const std::wstring& tmpFilesList);

private:
    void WriteConfig(const std::wstring& path, const std::wstring& text) const;

    UpdateCallbacks& m_callbacks;
    SelfUpdateSettings m_settings;
    std::vector<Entry> m_files;
    bool m_restoreMode;
};

}  // namespace UpdateNew
