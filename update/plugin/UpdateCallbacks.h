// UpdateCallbacks: the one place through which the updater talks to its two plug-ins,
// the GUI plug-in (CUpdateGuiCallbacks) and the function-replacing plug-in
// (CUpdateLibCallbacks). It loads and unloads the libraries, holds both tables (the
// built-in default table when no library is configured), and makes the guarded call.
//
// THE GUARDED CALL. Every call of a plug-in callback anywhere in the updater goes through
// callLib or callGui, naming the call by its fixed expression text, the source expression
// of the call as the updater's reports show it:
//
//     if (cb.callLib(L"downloadFile(cSourceFileSimpl, cDestFileSimpl)",
//                    &CUpdateLibCallbacks::downloadFile, cSourceFileSimpl, cDestFileSimpl))
//         return;  // the plug-in fetched the file itself
//     cb.callGui(L"beforePost(ri->name, ri->post)", &CUpdateGuiCallbacks::beforePost,
//                ri->name, ri->post);
//
// Arguments are passed on to the slot as they are (references stay references, so a
// change... callback changes the caller's variable). The guarded call:
//  - makes the call the current plug-in call while it runs, unless an outer guarded call
//    is already in progress (nested calls keep the outermost text); CurrentCallText() gives
//    it as message 657 (library) or 658 (GUI) with the expression text;
//  - stores the answer as LastResult();
//  - judges the answer: callLib returns true for 0 (the plug-in did the step), false for -1
//    (the updater does it); any other answer throws CUpdateCriticalException 612 with
//    message 660. callGui accepts 0 only; anything else throws 611 with message 661. Both
//    messages name the expression text and the answer.
// An exception thrown out of a callback (CPluginException or anything else) passes through
// unchanged and leaves CurrentCallText() naming the call. The next outermost guarded call
// replaces that text, but the outermost call that threw stays FailedCallText() through the
// clean-up's own calls until ForgetFailedCall(), so the report of the failure (the
// last-resort handler, the failure messages of the passes) can say which call failed.
// Code that runs inside a C library's callback (a transfer's write function) must catch
// whatever a guarded call throws, and rethrow it once the C library has returned.
//
// Single-threaded, like the whole updater: the current-call state is process-wide.
#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include "plugin/DynamicLibrary.h"
#include "plugin/FileMode.h"
#include "update/UpdateCallbackTypes.h"
#include "update/UpdateGuiCallbacks.h"
#include "update/UpdateLibCallbacks.h"

namespace UpdateNew {

// Which of the two tables a guarded call goes to.
enum class EPluginKind { Lib, Gui };

// Marks one guarded call in progress for its lifetime. Used by the call templates below
// (and by code that drives a table of its own through GuardedCall); not copyable.
class CGuardedCallScope {
public:
    CGuardedCallScope(EPluginKind kind, const wchar_t* pszExpression);
    CGuardedCallScope(const CGuardedCallScope&) = delete;
    CGuardedCallScope& operator=(const CGuardedCallScope&) = delete;
    // Leaves the current-call text as it is when the call did not return (an exception).
    ~CGuardedCallScope();
    // The callback returned `result`: stores it as the last result and, for the outermost
    // call, clears the current-call text.
    void Returned(int result);

private:
    bool m_bOutermost;
};

// Calls `slot` of `table` as a guarded call and returns its raw answer (not judged). The
// table's type is taken from the slot, so an object of a derived class may be passed.
template <class Table, class... P, class... A>
int GuardedCall(EPluginKind kind, const wchar_t* pszExpression, std::common_type_t<Table>* table,
                int (Table::*slot)(P...), A&&... args) {
    CGuardedCallScope scope(kind, pszExpression);
    const int result = (table->*slot)(std::forward<A>(args)...);
    scope.Returned(result);
    return result;
}

class UpdateCallbacks {
public:
    // Starts with both default tables, so every call has a table to go to.
    UpdateCallbacks();
    UpdateCallbacks(const UpdateCallbacks&) = delete;
    UpdateCallbacks& operator=(const UpdateCallbacks&) = delete;
    // Unloads both plug-ins, GUI first. A failure there is logged, not thrown.
    virtual ~UpdateCallbacks();

    // Loading. The plug-in of this kind is unloaded first; an empty path installs the
    // default table. Failures are CUpdateCriticalException: 634 with message 126 (the
    // library cannot be opened) or 127 (no InitializeGuiLibA / InitializeLibA), 640 when
    // the table refuses its first callback (GUI: anything but 0; library: anything but 0
    // or -1). After such a failure the plug-in is unloaded again (a refusing plug-in gets its
    // table handed back) and the default table is in place. A null table from the entry
    // point is kept; its first use fails (130/131).
    void LoadGuiLib(const std::wstring& path);
    void LoadLib(const std::wstring& path);
    // Hands the table back to the library's uninitialisation entry point and closes the
    // library, or destroys the default table. A library without UninitializeGuiLibA /
    // UninitializeLibA is closed and fails with 634 and message 128 / 129.
    void UnloadGuiLib();
    void UnloadLib();
    bool IsGuiLibLoaded() const { return m_cGuiLibrary.IsLoaded(); }
    bool IsLibLoaded() const { return m_cLibLibrary.IsLoaded(); }

    // The tables; 634 with message 130 (GUI) or 131 (library) when none is held. Owned by
    // the plug-in (or by this object); valid until the plug-in is unloaded.
    CUpdateGuiCallbacks* GuiCallbacks();
    CUpdateLibCallbacks* LibCallbacks();

    // Guarded calls (see the top of this header).
    template <class... P, class... A>
    bool callLib(const wchar_t* pszExpression, int (CUpdateLibCallbacks::*slot)(P...),
                 A&&... args) {
        CUpdateLibCallbacks* table = LibCallbacks();
        const int result =
            GuardedCall(EPluginKind::Lib, pszExpression, table, slot, std::forward<A>(args)...);
        return JudgeLibResult(result, pszExpression);
    }
    template <class... P, class... A>
    void callGui(const wchar_t* pszExpression, int (CUpdateGuiCallbacks::*slot)(P...),
                 A&&... args) {
        CUpdateGuiCallbacks* table = GuiCallbacks();
        const int result =
            GuardedCall(EPluginKind::Gui, pszExpression, table, slot, std::forward<A>(args)...);
        JudgeGuiResult(result, pszExpression);
    }

    // Judging an answer. `failureText` is a message with one integer placeholder ("%d")
    // for the answer. CheckLibResult: 0 gives true, -1 false, anything else throws 612;
    // CheckGuiResult: anything but 0 throws 611.
    static bool CheckLibResult(int result, const std::wstring& failureText);
    static void CheckGuiResult(int result, const std::wstring& failureText);
    // The failure text with the answer in place of its placeholder. Only "%d" (or "%i")
    // is replaced and "%%" gives "%"; any other "%" stays as it is, so an expression text
    // can never act as a format.
    static std::wstring FormatFailureText(const std::wstring& failureText, int result);

    // The call in progress as message 657/658 with its expression text, or "" when no
    // plug-in call is in progress.
    static std::wstring CurrentCallText();
    // The outermost call that was left by an exception since the last ForgetFailedCall(),
    // as message 657/658; CurrentCallText() when there is none.
    static std::wstring FailedCallText();
    // The failure was handled: a later report must not name that call.
    static void ForgetFailedCall();
    // The last answer any plug-in callback gave.
    static int LastResult();

    // Tells each plug-in about the other: "notifyGuiPlugin(mpcGuiCallbacks)" (or
    // "notifyGuiPlugin(NULL)" without a GUI library), then "notifyLibPlugin(mpcLibCallbacks)"
    // (or "notifyLibPlugin(NULL)").
    void NotifyPlugins();
    // Sends the product version (CLibraryInfo) to both plug-ins, library first; nothing
    // when no version is known.
    void notifyVersionInfo();
    // Sends the configuration file's name and mcConfigFileData to both plug-ins, library
    // first. Returns true.
    bool notifyConfigFile(const std::wstring& cConfigFileName);
    // The configuration file's key/value pairs, filled by the configuration.
    ConfigFileData& configFileData() { return mcConfigFileData; }
    const ConfigFileData& configFileData() const { return mcConfigFileData; }

    // Copies `source` to `dest` unless the function-replacing plug-in takes the step over
    // ("copyFile(source, dest)" answered 0: true, nothing copied). The updater's own copy
    // (CopyFileBuiltin) may defer a protected target when `bMayDefer` is set; then
    // "copyFileNeedRestart(dest)" follows, and `*pDeferred` (when given) is set: the old
    // target then lies at SetAsidePath(dest) until the caller deletes it. Gives whether the
    // file was copied; a copy that cannot open or write a file throws Exception.
    // `mode`: the permission bits, owner and group the updater's own copy gives `dest`.
    bool copyFile(const std::wstring& source, const std::wstring& dest, bool bMayDefer,
                  bool* pDeferred = nullptr, const FileMode& mode = FileMode());
    // The same step for a source that is not needed afterwards (a verified download): the
    // plug-in is offered "copyFile(source, dest)" as for a copy and then gets the source
    // file as it is; otherwise the updater moves it into place (MoveFileBuiltin), copying
    // only where a move is not possible.
    bool moveFile(const std::wstring& source, const std::wstring& dest, bool bMayDefer,
                  bool* pDeferred = nullptr, const FileMode& mode = FileMode());
    // Makes sure the directory `cPath` exists, with its parents, unless the plug-in takes
    // the step over ("checkCreateDirectory(cPath, cCreatedDirs)" answered 0: true). The
    // updater creates missing directories with mode 0755 and appends each one it created
    // to `cCreatedDirs`, parents first. Gives whether the directory exists afterwards;
    // when not, errno holds the system's reason.
    // With `privateDir` the updater makes `cPath` itself with mode 0700 (parents as
    // before) and leaves anything found in place to the caller's check.
    bool checkCreateDirectory(const std::wstring& cPath, UpdStringList& cCreatedDirs,
                              bool privateDir = false);
    bool checkCreateDirectory(const std::wstring& cPath);

    // Counters of the run, kept for the file check and the progress display.
    unsigned long ulGetDownloadSize() const { return m_ulDownloadSize; }
    void addDownloadSize(unsigned long ulBytes) { m_ulDownloadSize += ulBytes; }
    // The download step's correction once the patches have settled what remains to fetch.
    void setDownloadSize(unsigned long ulBytes) { m_ulDownloadSize = ulBytes; }
    unsigned long filesTotal() const { return m_ulFilesTotal; }
    void addFilesTotal(unsigned long ulFiles = 1) { m_ulFilesTotal += ulFiles; }
    // Back to zero, for a new attempt that checks the files again.
    void resetRunCounters() {
        m_ulDownloadSize = 0;
        m_ulFilesTotal = 0;
    }
    // Set when loading a plug-in library failed; the file check then checks only the
    // updater's own module.
    bool bLoadFailed() const { return m_bLoadFailed; }
    // Whether a library plug-in is loaded (rather than the built-in table).
    bool hasLibPlugin() const { return m_cLibLibrary.IsLoaded(); }
    void setLoadFailed(bool bFailed) { m_bLoadFailed = bFailed; }

private:
    // copyFile and moveFile: the plug-in's offer, then `builtin`, then the restart notice.
    using BuiltinPlacement = bool (*)(const std::wstring&, const std::wstring&, bool, bool&,
                                      const FileMode&);
    bool placeFile(const std::wstring& source, const std::wstring& dest, bool bMayDefer,
                   bool* pDeferred, const FileMode& mode, BuiltinPlacement builtin);
    void DropFailedGuiLib();
    void DropFailedLib();
    static bool JudgeLibResult(int result, const wchar_t* pszExpression);
    static void JudgeGuiResult(int result, const wchar_t* pszExpression);

    CUpdateGuiCallbacks* mpcGuiCallbacks = nullptr;
    DynamicLibrary m_cGuiLibrary;
    CUpdateLibCallbacks* mpcLibCallbacks = nullptr;
    DynamicLibrary m_cLibLibrary;
    ConfigFileData mcConfigFileData;
    unsigned long m_ulDownloadSize = 0;
    unsigned long m_ulFilesTotal = 0;
    bool m_bLoadFailed = false;
};

}  // namespace UpdateNew
