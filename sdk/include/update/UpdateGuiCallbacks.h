// The GUI plug-in interface (option `guilib`): a plug-in that shows what a run is doing.
//
// A GUI plug-in library exports InitializeGuiLibA, which returns a CUpdateGuiCallbacks
// object, and UninitializeGuiLibA, which receives it back before the library is closed.
// The updater calls the object through its virtual table, so the ORDER of the virtual
// functions below is the binary interface: never reorder, insert or remove one.
//
// Every callback must answer 0. Any other answer ends the run with error 611; a GUI
// plug-in that wants to stop the run answers non-zero or throws CPluginException
// (common/Exception.h). Nothing else may be thrown out of a callback.
//
// Arguments are the updater's own values, const and valid only for the duration of the
// call. Types of lists and records: update/UpdateCallbackTypes.h. Byte counts and file
// counts are unsigned long (64-bit).
//
// The class is also the updater's default table: no data members, every slot answers 0.
#pragma once

#include <string>

#include "update/PluginException.h"
#include "update/UpdateCallbackTypes.h"

class CUpdateLibCallbacks;

// The default bodies ignore their arguments; keep plug-ins built with -Wextra quiet.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"

class CUpdateGuiCallbacks {
public:
    // Slots 0 and 1: complete and deleting destructor.
    virtual ~CUpdateGuiCallbacks() {}

    // Slot 2: called once, directly after InitializeGuiLibA; must answer 0, anything else
    // refuses the plug-in (the updater fails to start with error 640).
    virtual int onLoad() { return 0; }
    // Slot 3: reserved; the updater never calls it.
    virtual int reserved() { return 0; }
    // Slot 4: the function-replacing plug-in's table, or null when none is loaded. It stays
    // valid until the plug-ins are unloaded and may be called directly.
    virtual int notifyLibPlugin(CUpdateLibCallbacks* pcLibCallbacks) { return 0; }
    // Slot 5: the updater's own version (the text "updater --version" prints).
    virtual int notifyVersionInfo(const std::wstring& cProductVersion) { return 0; }
    // Slot 6: the run ends with a critical error: its text and code.
    virtual int onUpdateCriticalError(const std::wstring& cError, EUpdateErrors eError) {
        return 0;
    }
    // Slot 7: an attempt failed with a non-critical error; the next server is tried.
    virtual int onUpdateNonCriticalError(const std::wstring& cError, EUpdateErrors eError) {
        return 0;
    }
    // Slot 8: a rollback starts restoring a module.
    virtual int beforeRestoreModuleStartup(const std::wstring& cModuleName) { return 0; }
    // Slot 9: a backup copy (cSrc) is about to be copied back to cDest.
    virtual int onModuleRestoreFile(const std::wstring& cModuleName, const std::wstring& cSrc,
                                    const std::wstring& cDest) {
        return 0;
    }
    // Slot 10: the module is restored.
    virtual int afterRestoreModuleCompletion(const std::wstring& cModuleName) { return 0; }
    // Slot 11: a product update run starts.
    virtual int onUpdateStart() { return 0; }
    // Slot 12: a self-update run starts.
    virtual int onSelfUpdateStart() { return 0; }
    // Slot 13: the log file name.
    virtual int notifyLogFile(const std::wstring& cLogFileName) { return 0; }
    // Slot 14: the configuration file's name and its key/value pairs.
    virtual int notifyConfigFile(const std::wstring& cConfigFileName,
                                 const ConfigFileData& cConfigFileData) {
        return 0;
    }
    // Slot 15: the master index changed (true: the files are checked next) or not (false).
    virtual int onCheckMainIdx(bool bCheck) { return 0; }
    // Slot 16: a file of the product is checked against the installed copy.
    virtual int onCheckFile(const UpdateFileInfo& cFile) { return 0; }
    // Slot 17: that file was found changed.
    virtual int onCheckFileIsDirty(const UpdateFileInfo& cFile) { return 0; }
    // Slot 18: the check is over; this many files will be fetched.
    virtual int onCheckFilesDone(unsigned long ulFilesTotal) { return 0; }
    // Slot 19: fetching starts from this server; this many bytes are expected in total.
    // Patches (files rebuilt from the installed copy) were fetched before: the total is
    // that of the whole files still to come, the ones whose patch could not be used among
    // them.
    virtual int onStartDownloadFiles(const std::wstring& cServer, unsigned long ulDownloadSize) {
        return 0;
    }
    // Slot 20: one block of a file arrived (before it is written). The byte counts of one
    // file add up to its transferred size.
    virtual int onDownloadFile(const std::wstring& cSource, const std::wstring& cDest,
                               unsigned long ulBytes) {
        return 0;
    }
    // Slot 21: fetching from this server is over.
    virtual int onFinishDownloadFiles(const std::wstring& cServer) { return 0; }
    // Slot 22: one module after the check: name, whether it needs updating, the full paths
    // of all its files and of its changed files, and its destination directory.
    virtual int notifyModuleFileList(const std::wstring& cModuleName, bool bNeedsUpdate,
                                     const UpdStringList& cAllModuleFiles,
                                     const UpdStringList& cDirtyFiles,
                                     const std::wstring& cDestination) {
        return 0;
    }
    // Slot 23: every module was listed.
    virtual int notifyModuleFileListDone() { return 0; }
    // Slot 24: the module's update starts.
    virtual int BeforeUpdateModule(const std::wstring& cModuleName) { return 0; }
    // Slot 25: the module's backup starts.
    virtual int beforeBackup(const std::wstring& cModuleName) { return 0; }
    // Slot 26: an installed file (cSrc) is about to be backed up to cDest.
    virtual int onBackupFile(const std::wstring& cModuleName, const std::wstring& cSrc,
                             const std::wstring& cDest) {
        return 0;
    }
    // Slot 27: the module's backup is over.
    virtual int afterBackup(const std::wstring& cModuleName) { return 0; }
    // Slot 28: the module's pre command is about to run.
    virtual int beforePre(const std::wstring& cModuleName, const std::wstring& cCommand) {
        return 0;
    }
    // Slot 29: the module's pre command ran.
    virtual int afterPre(const std::wstring& cModuleName, const std::wstring& cCommand) {
        return 0;
    }
    // Slot 30: the module's installation starts.
    virtual int beforeInstallModule(const std::wstring& cModuleName) { return 0; }
    // Slot 31: a new file (cSrc) is about to be installed at cDest.
    virtual int onInstallFile(const std::wstring& cSrc, const std::wstring& cDest) { return 0; }
    // Slot 32: the module is installed.
    virtual int afterInstallModule(const std::wstring& cModuleName) { return 0; }
    // Slot 33: the module's post command is about to run.
    virtual int beforePost(const std::wstring& cModuleName, const std::wstring& cCommand) {
        return 0;
    }
    // Slot 34: the module's post command ran.
    virtual int afterPost(const std::wstring& cModuleName, const std::wstring& cCommand) {
        return 0;
    }
    // Slot 35: the module's unpost command is about to run (rollback).
    virtual int beforeUnpost(const std::wstring& cModuleName, const std::wstring& cCommand) {
        return 0;
    }
    // Slot 36: the module's unpost command ran.
    virtual int afterUnpost(const std::wstring& cModuleName, const std::wstring& cCommand) {
        return 0;
    }
    // Slot 37: the module's update is over.
    virtual int AfterUpdateModule(const std::wstring& cModuleName) { return 0; }
    // Slot 38: the product update run is over.
    virtual int onUpdateFinish() { return 0; }
    // Slot 39: the self-update run is over.
    virtual int onSelfUpdateFinish() { return 0; }
};

#pragma GCC diagnostic pop

// Entry points of a GUI plug-in library, exported under these plain names.
// InitializeGuiLibA returns the plug-in's table (the plug-in owns it); UninitializeGuiLibA
// gets the same pointer back before the library is closed and releases it. Its result, if
// a plug-in declares one, is ignored.
#ifndef UPD_PLUGIN_EXPORT
#define UPD_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif
extern "C" {
typedef CUpdateGuiCallbacks* (*PFN_InitializeGuiLibA)();
typedef void (*PFN_UninitializeGuiLibA)(CUpdateGuiCallbacks* pcCallbacks);
// A plug-in defines both; these declarations give them C linkage and default visibility.
UPD_PLUGIN_EXPORT CUpdateGuiCallbacks* InitializeGuiLibA();
UPD_PLUGIN_EXPORT void UninitializeGuiLibA(CUpdateGuiCallbacks* pcCallbacks);
}
