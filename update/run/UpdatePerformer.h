// UpdatePerformer: one run of the updater from the first notification to its result.
//
// A run is either the self-update action run of the updater copy that a self-update
// started (the configuration holds copy actions: copy the new files into place, start the
// updated updater) or a product update: attempts against the servers of the run, each one
// master index, product info, file check, download, pre/backup/install/post passes. Every
// phase is bracketed by the plug-in notifications the two plug-in interfaces expect, and
// every failure becomes one of three reactions:
//   - a plain Exception (typically transport): the server in use is dropped and a new
//     attempt starts against the next one; no server left ends the run with 628;
//   - a CUpdateCriticalException: the run ends with its code (a failing pass has rolled
//     back what it did first);
//   - a CPluginException: the run ends with 639.
// The local master index copy is deleted after every failed attempt, so the next run never
// takes an index that belonged to a failed run for an unchanged one.
//
// Owns the file processor (and through it the server handler, the downloader and the
// lists of temporary files, deleted when the performer is destroyed) and the product data.
// Single-threaded.
#pragma once

#include <memory>
#include <string>

#include "product/UpdateInfo.h"
#include "run/CheckVerdict.h"
#include "run/VersionReport.h"
#include "update/UpdateCallbackTypes.h"

namespace UpdateNew {

class ChangeList;
class CDownloadServersHandler;
class FileProcessor;
struct RunReport;
class UpdateCallbacks;
class UpdateConfig;

// What makes a release the same release wherever its files lie on the server (a SHA-256
// in hex): the product, its version, and each module's commands and files (names,
// digests, sizes, modes), not SOURCE. A candidate's product info differs from the same
// release promoted to stable only in SOURCE; a machine where it failed keeps refusing it.
// Taken of the product as read, before the run expands path variables in place.
std::string ReleaseIdentity(const UpdateInfo& product);

class UpdatePerformer {
public:
    // `config` is prepared and must outlive the performer. Builds the file processor,
    // which fails with CUpdateCriticalException 607 when one of the run's directories is
    // empty.
    explicit UpdatePerformer(UpdateConfig* config);
    UpdatePerformer(const UpdatePerformer&) = delete;
    UpdatePerformer& operator=(const UpdatePerformer&) = delete;
    ~UpdatePerformer();

    // The self-update action run: copies every "src|dest" copy action into place and
    // starts the exec action. Returns 0; failures throw (a malformed exec action:
    // CUpdateCriticalException 629, message 245).
    virtual int performSelfUpdateActions();
    // The whole run: 0 (done, or nothing changed), 1 (checkdirty found changes), the code
    // of the critical error that ended the run, 639 after a plug-in exception, -1 when the
    // self-update actions failed.
    virtual int run();
    // The process exit status the run's failure calls for instead of 255 (250 or 249 after
    // an unusable module dependency), or 0 when the usual mapping of run() holds.
    int exitStatus() const { return m_exitStatus; }
    // One update attempt: 0 (done or nothing to do) or 1 (checkdirty found changes).
    virtual int performUpdate();

    // The report the run fills in at its end (product, versions, files, transfers,
    // servers, result text); owned by the caller, it must outlive run(). None by default.
    void setReport(RunReport* report) { m_report = report; }

    UpdateConfig* config() const { return m_config; }
    UpdateInfo& product() { return m_product; }
    FileProcessor& fileProcessor() { return *m_fileProcessor; }

    // Splits an exec action into program and arguments: a leading double quote makes the
    // program the text up to the next double quote and the arguments the rest, trimmed of
    // blanks and tabs; otherwise the program ends at the first blank. A missing closing
    // quote throws CUpdateCriticalException 629 (message 245).
    static void SplitExecAction(const std::wstring& action, std::wstring& program,
                                std::wstring& arguments);

private:
    UpdateCallbacks& callbacks();
    int runProductUpdate();
    int endOnPluginException(const std::wstring& text);
    int runAttempt();
    // Steps 2 to 5 and 11 to 26 of performUpdate.
    void notifyUpdateStart();
    void announceAttempt();
    int checkAndInstall(CDownloadServersHandler& servers);
    // The handlers' notifications and the index deletion never let an exception out.
    void notifyCriticalQuietly(const std::wstring& text, int code);
    // Logs the product's version before and after a run that ended well.
    void reportVersion();
    // After a failure (`failed`) the kept index stays where the file processor says it
    // may; a check-only run that found changes always deletes it.
    void deleteMasterIdxQuietly(bool failed = true);
    // After the check: the files the run changes, when a report or the list asks for them;
    // a check-only run with `list-changes` prints them.
    void listChanges();
    // Fills the report (if any) at the end of run() with `result`.
    void fillReport(int result);

    void specialDownloadFiles(bool first);
    void readProductInfo();
    void tidy();
    void expandPaths();
    void moduleFileLists();
    // Whether `name` is the module that holds the updater itself.
    static bool IsSelfUpdateName(const std::wstring& name);
    // The text of whatever is being thrown, for the failure messages of the passes.
    static std::wstring CurrentExceptionText();

    // The passes (UpdatePerformerPasses.cpp).
    void installPasses();
    void prePass();
    void backupInstallPass();
    void postPass();
    // A module whose post command a run that did not end well still owes (its files were
    // being installed when that run died) and that still has one in this product info.
    bool owesPost(const UpdateModuleInfo& module) const;
    bool anyPostOwed() const;
    // Message `failure` has been logged by the caller; rolls back phase/module, then the
    // caller rethrows.
    void rollBack(int phase, int module);

    // The release this run installs (UpdatePerformerRelease.cpp): the stable one or the
    // candidate the index offers beside it, the health checks after the post pass, and
    // what the installation records beside the kept index about both.
    // Decides between the stable release and the candidate after the index was fetched.
    void chooseRelease();
    // The machine id that decides whether a candidate is taken (`machine-id`, or the
    // system's; empty with a warning when there is none).
    std::string machineId();
    // After the product info was read: true when it is a release whose health check failed
    // here (the run then ends with 0 and one line; a candidate falls back to the stable
    // release first).
    bool refuseFailedRelease();
    // The CHECK commands in module order after the post pass; the first that fails
    // records the release as failed, rolls every module back and throws
    // CUpdateCriticalException 613 naming the module, the command and the outcome. A check
    // that fails while a signal is pending ends the checks without that: the caller stops.
    void healthChecks();
    // After a run that ended well: the candidate followed, or none; a failed release that
    // installed after all is failed no more.
    void recordRelease();
    std::wstring keptIndex();
    // With the stat cache on, before the product info is read: true when the verdict of
    // the check it recorded stands (CheckVerdict.h); the run then ends as one that found
    // nothing to do, without reading the product info.
    bool takeCheckVerdict();
    // After a check that found nothing to do: its verdict, for the stat cache.
    CheckVerdict checkVerdict() const;

    UpdateConfig* m_config;
    std::wstring m_candidateInfo;  // product info file of the candidate followed; "" stable
    std::string m_candidateVersion;
    std::string m_stableVersion;
    std::string m_skippedCandidate;         // a candidate whose product info the server lacks
    std::string m_productInfoSha256;        // of the (first) product info file this attempt read
    std::string m_releaseIdentity;          // ReleaseIdentity of the product as read, where needed
    std::vector<std::wstring> m_infoNames;  // the product info files it read (local names)
    // Declared before the file processor, which keeps a reference to it.
    UpdateInfo m_product;
    std::unique_ptr<FileProcessor> m_fileProcessor;
    VersionReport m_versionReport;
    RunReport* m_report = nullptr;
    std::unique_ptr<ChangeList> m_changes;  // from the last check, when asked for
    std::wstring m_resultText;              // the line that ends the run
    int m_exitStatus = 0;                   // see exitStatus()
};

}  // namespace UpdateNew
