// The function-replacing plug-in interface (option `updatelib`).
//
// A plug-in library exports InitializeLibA, which returns a CUpdateLibCallbacks object,
// and UninitializeLibA, which receives it back before the library is closed. The updater
// calls the object through its virtual table, so the ORDER of the virtual functions below
// is the binary interface: never reorder, insert or remove one. A plug-in derives from the
// class and overrides what it cares about; everything else keeps the default answer.
//
// Answers: 0 = the plug-in did the step (the updater skips its own work where it has any),
// -1 = it did not. Any other answer ends the run with error 612. For pure notifications
// the answer is only validated. A plug-in may also end the run by throwing
// CPluginException (common/Exception.h) out of a callback; nothing else may be thrown.
//
// Arguments: texts are the updater's wide strings; callbacks named change... or modify...
// receive non-const references and the updater uses the changed value; lists passed as
// non-const references arrive empty and are filled by the plug-in. Arguments live only for
// the duration of the call. Types of lists and records: update/UpdateCallbackTypes.h.
//
// The class is also the updater's default table (no plug-in configured): it has no data
// members and every slot is defined here, so a plug-in needs no library of the updater.
#pragma once

#include <string>

#include "update/PluginException.h"
#include "update/UpdateCallbackTypes.h"

class CUpdateGuiCallbacks;

// The default bodies ignore their arguments; keep plug-ins built with -Wextra quiet.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"

class CUpdateLibCallbacks {
public:
    // Slots 0 and 1: complete and deleting destructor.
    virtual ~CUpdateLibCallbacks() {}

    // Slot 2: called once, directly after InitializeLibA. 0 or -1 accepts the plug-in;
    // anything else refuses it (the updater fails to start with error 640).
    virtual int onLoad() { return 0; }
    // Slot 3: this run is the updater started by a self-update.
    virtual int notifyIsSelfUpdate() { return -1; }
    // Slot 4: this run is the self-update helper that copies the new updater into place.
    virtual int notifySelfUpdateExecuted() { return -1; }
    // Slot 5: reserved; the updater never calls it.
    virtual int reserved() { return 0; }
    // Slot 6: the GUI plug-in's table, or null when none is loaded. It stays valid until
    // the plug-ins are unloaded and may be called directly.
    virtual int notifyGuiPlugin(CUpdateGuiCallbacks* pcGuiCallbacks) { return -1; }
    // Slot 7: the updater's own version (the text "updater --version" prints).
    virtual int notifyVersionInfo(const std::wstring& cProductVersion) { return -1; }
    // Slot 8: the log file name; may be changed.
    virtual int changeLogFileName(std::wstring& cLogFileName) { return -1; }
    // Slot 9: the temporary directory; may be changed.
    virtual int changeTempDir(std::wstring& cTempDir) { return -1; }
    // Slot 10: the configuration file's name and its key/value pairs.
    virtual int notifyConfigFile(const std::wstring& cConfigFileName,
                                 const ConfigFileData& cConfigFileData) {
        return -1;
    }
    // Slot 11: an empty list of (option name, value) pairs; answered 0, every pair is
    // applied as if it were given as an option.
    virtual int modifyConfiguration(UpdStringPairList& cNewConfigData) { return -1; }
    // Slot 12: the installation, backup and temporary directories of the run.
    virtual int notifyUpdateStart(const std::wstring& cInstallDir, const std::wstring& cBackupDir,
                                  const std::wstring& cTmpDir) {
        return -1;
    }
    // Slot 13: the run ends with a critical error.
    virtual int notifyUpdateCriticalError(EUpdateErrors eError) { return -1; }
    // Slot 14: an attempt failed with a non-critical error; the next server is tried.
    virtual int notifyUpdateNonCriticalError(EUpdateErrors eError) { return -1; }
    // Slot 15: the proxy settings before anything is fetched.
    virtual int beforeDownloadFiles(bool bProxy, const std::wstring& cProxy, int nProxyPort,
                                    bool bProxyUser, const std::wstring& cProxyUser,
                                    const std::wstring& cProxyPassword) {
        return -1;
    }
    // Slot 16: the master index address; may be changed.
    virtual int changeMasterIdxUrl(std::wstring& cUrl) { return -1; }
    // Slot 17: the lines of the fetched master index.
    virtual int notifyMasterIdxContent(const UpdStringList& cMasterIdxContents) { return -1; }
    // Slot 18: the server about to be used ("file://" in front for a share), with the share
    // user name and password.
    virtual int connectServer(const std::wstring& cServerUri, const std::wstring& cShareUser,
                              const std::wstring& cSharePassword) {
        return -1;
    }
    // Slot 19: the product file address; may be changed.
    virtual int changeProductFileUrl(std::wstring& cUrl) { return -1; }
    // Slot 20: the product info path and the update root; both may be changed.
    virtual int changeProductLocationUrl(std::wstring& cProductInfo, std::wstring& cUpdateRoot) {
        return -1;
    }
    // Slot 21: the master index is unchanged; the run ends without updating.
    virtual int downloadNothingChanged() { return -1; }
    // Slot 22: a file is about to be fetched. 0: the plug-in placed it at cDest itself and
    // no transfer happens.
    virtual int downloadFile(const std::wstring& cSource, const std::wstring& cDest) { return -1; }
    // Slot 23: the server is no longer used.
    virtual int disconnectServer(const std::wstring& cServer) { return -1; }
    // Slot 24: an empty list; answered 0, the listed files are fetched first.
    virtual int getSpecialDownloadFilesFirst(UpdStringList& cAdditionalFiles) { return -1; }
    // Slot 25: local path of one of those files, fetched.
    virtual int onSpecialDownloadFileFirst(const std::wstring& cDownloadDestFile) { return -1; }
    // Slot 26: all of them are fetched.
    virtual int onSpecialDownloadFilesFirstDone() { return -1; }
    // Slot 27: one file entry of the product info file: module name, file name and the
    // entry's (element name, value) pairs in document order.
    virtual int notifyProductInfoFileContent(const std::wstring& cModuleName,
                                             const std::wstring& cFileName,
                                             const FileXmlData& cFileXmlData) {
        return -1;
    }
    // Slot 28: local name of the product info file.
    virtual int notifyProductInfoFile(const std::wstring& cProductInfoLocalName) { return -1; }
    // Slot 29: like slot 24, for the second set fetched after the product info file.
    virtual int getSpecialDownloadFilesSecond(UpdStringList& cAdditionalFiles) { return -1; }
    // Slot 30: local path of a file of the second set, fetched.
    virtual int onSpecialDownloadFileSecond(const std::wstring& cDownloadDestFile) { return -1; }
    // Slot 31: the second set is fetched.
    virtual int onSpecialDownloadFilesSecondDone() { return -1; }
    // Slot 32: fetching one entry of either set failed. bIgnoreError arrives false; answered
    // 0, a true flag skips the entry, otherwise the failure goes on.
    virtual int onSpecialDownloadFileError(const std::wstring& cEntry, bool& bIgnoreError) {
        return -1;
    }
    // Slot 33: the fetch phase is over.
    virtual int afterDownloadFiles() { return -1; }
    // Slot 34: an empty list of (module name, path) entries the plug-in may fill; the
    // answer is not consulted.
    virtual int setTidy(UpdStringPairList& cTidy) { return -1; }
    // Slot 35: one module after the check: name, whether it needs updating, the full paths
    // of all its files and of its changed files, and its destination directory.
    virtual int notifyModuleFileList(const std::wstring& cModuleName, bool bNeedsUpdate,
                                     const UpdStringList& cAllModuleFiles,
                                     const UpdStringList& cDirtyFiles,
                                     const std::wstring& cDestination) {
        return -1;
    }
    // Slot 36: every module was listed.
    virtual int notifyModuleFileListDone() { return -1; }
    // Slot 37: before the pre commands.
    virtual int globalPre() { return -1; }
    // Slot 38: before the pre commands of a run that follows a self-update.
    virtual int globalAfterSelfupdatePre() { return -1; }
    // Slot 39: 0 skips the whole pre, backup, install and post sequence.
    virtual int overrideInstall() { return -1; }
    // Slot 40: 0: the updater does not back the module up.
    virtual int overrideBackupModule(const std::wstring& cModuleName) { return -1; }
    // Slot 41: 0: the updater does not install the module.
    virtual int overrideInstallModule(const std::wstring& cModuleName) { return -1; }
    // Slot 42: 0: the updater does not run the module's pre command.
    virtual int overridePre(const std::wstring& cModuleName) { return -1; }
    // Slot 43: 0: the updater does not run the module's post command.
    virtual int overridePost(const std::wstring& cModuleName) { return -1; }
    // Slot 44: 0: the updater does not run the module's unpost command.
    virtual int overrideUnPost(const std::wstring& cModuleName) { return -1; }
    // Slot 45: 0: the plug-in copied (or chose not to copy) the file; the updater does not.
    virtual int copyFile(const std::wstring& cSource, const std::wstring& cDest) { return -1; }
    // Slot 46: the destination was busy; the new file replaces it later.
    virtual int copyFileNeedRestart(const std::wstring& cDest) { return -1; }
    // Slot 47: a directory (with its parents) is needed. 0: the plug-in took care of it and
    // appended the directories it created to cCreatedDirs.
    virtual int checkCreateDirectory(const std::wstring& cPath, UpdStringList& cCreatedDirs) {
        return -1;
    }
    // Slot 48: 0: the updater does not delete the file.
    virtual int DeleteFile(const wchar_t* pszPath) { return -1; }
    // Slot 49: 0: the updater does not remove the directory.
    virtual int DeleteDir(const wchar_t* pszPath) { return -1; }
    // Slot 50: a rollback starts.
    virtual int beforeRollback() { return -1; }
    // Slot 51: one rollback step of a module, with the module's changed files. 0: the
    // updater does not do this step.
    virtual int overrideRollback(ERollbackSteps eStep, const std::wstring& cModuleName,
                                 const UpdStringList& cFilesToRollback) {
        return -1;
    }
    // Slot 52: the rollback is over.
    virtual int afterRollback() { return -1; }
    // Slot 53: the self-update module is being restored.
    virtual int NotifySelfUpdateRollback() { return -1; }
    // Slot 54: the whole update is installed.
    virtual int globalPost() { return -1; }
};

#pragma GCC diagnostic pop

// Entry points of a function-replacing plug-in library, exported under these plain names.
// InitializeLibA returns the plug-in's table (the plug-in owns it); UninitializeLibA gets
// the same pointer back before the library is closed and releases it. Its result, if a
// plug-in declares one, is ignored.
#ifndef UPD_PLUGIN_EXPORT
#define UPD_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif
extern "C" {
typedef CUpdateLibCallbacks* (*PFN_InitializeLibA)();
typedef void (*PFN_UninitializeLibA)(CUpdateLibCallbacks* pcCallbacks);
// A plug-in defines both; these declarations give them C linkage and default visibility.
UPD_PLUGIN_EXPORT CUpdateLibCallbacks* InitializeLibA();
UPD_PLUGIN_EXPORT void UninitializeLibA(CUpdateLibCallbacks* pcCallbacks);
}
