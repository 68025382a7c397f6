#include "plugin/UpdateCallbacks.h"

#include <string>

#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/TrustedDirectory.h"
#include "plugin/BuiltinFileOps.h"
#include "plugin/LibraryInfo.h"

namespace UpdateNew {

namespace {

// The guarded call's process-wide state. The text is kept as its kind and expression and
// formatted only when asked for, so a call per received block costs no message formatting.
struct CurrentCall {
    int depth = 0;        // guarded calls in progress, nested ones included
    bool active = false;  // a call was made current and has not returned normally
    EPluginKind kind = EPluginKind::Lib;
    std::wstring expression;
    int lastResult = 0;
    // The outermost call that a callback left by throwing, kept while the clean-up makes
    // calls of its own, until the failure is reported or handled.
    bool failed = false;
    EPluginKind failedKind = EPluginKind::Lib;
    std::wstring failedExpression;
};

std::wstring CallText(EPluginKind kind, const std::wstring& expression) {
    // Before the message file is loaded the expression text alone must do.
    if (!g_cMsgTable.IsLoaded()) return expression;
    return kind == EPluginKind::Lib ? Msg<657>(expression) : Msg<658>(expression);
}

CurrentCall& State() {
    static CurrentCall state;
    return state;
}

}  // namespace

CGuardedCallScope::CGuardedCallScope(EPluginKind kind, const wchar_t* pszExpression) {
    CurrentCall& state = State();
    // The outermost call is the one that starts while no other guarded call runs. A text
    // left behind by a call that threw is replaced then, so it never names a stale call.
    m_bOutermost = state.depth == 0;
    if (m_bOutermost) {
        state.active = true;
        state.kind = kind;
        state.expression = pszExpression ? pszExpression : L"";
    }
    ++state.depth;
}

CGuardedCallScope::~CGuardedCallScope() {
    CurrentCall& state = State();
    --state.depth;
    // Left by an exception: the first such call stays named for the report.
    if (m_bOutermost && state.active && !state.failed) {
        state.failed = true;
        state.failedKind = state.kind;
        state.failedExpression = state.expression;
    }
}

void CGuardedCallScope::Returned(int result) {
    CurrentCall& state = State();
    state.lastResult = result;
    if (m_bOutermost) {
        state.active = false;
        state.expression.clear();
    }
}

std::wstring UpdateCallbacks::CurrentCallText() {
    const CurrentCall& state = State();
    if (!state.active) return std::wstring();
    return CallText(state.kind, state.expression);
}

std::wstring UpdateCallbacks::FailedCallText() {
    const CurrentCall& state = State();
    if (state.failed) return CallText(state.failedKind, state.failedExpression);
    return CurrentCallText();
}

void UpdateCallbacks::ForgetFailedCall() {
    CurrentCall& state = State();
    state.failed = false;
    state.failedExpression.clear();
}

int UpdateCallbacks::LastResult() {
    return State().lastResult;
}

std::wstring UpdateCallbacks::FormatFailureText(const std::wstring& failureText, int result) {
    std::wstring out;
    out.reserve(failureText.size() + 11);
    bool replaced = false;
    for (size_t i = 0; i < failureText.size(); ++i) {
        const wchar_t c = failureText[i];
        if (c == L'%' && i + 1 < failureText.size()) {
            const wchar_t next = failureText[i + 1];
            if (next == L'%') {
                out += L'%';
                ++i;
                continue;
            }
            if (!replaced && (next == L'd' || next == L'i')) {
                out += std::to_wstring(result);
                replaced = true;
                ++i;
                continue;
            }
        }
        out += c;
    }
    // A text without a placeholder still has to tell the answer.
    if (!replaced) out += L" (" + std::to_wstring(result) + L")";
    return out;
}

bool UpdateCallbacks::CheckLibResult(int result, const std::wstring& failureText) {
    if (result == 0) return true;
    if (result == -1) return false;
    THROW_CRITICAL(FormatFailureText(failureText, result), ERR_LIB_PLUGIN_INVALID_RESULT);
}

void UpdateCallbacks::CheckGuiResult(int result, const std::wstring& failureText) {
    if (result == 0) return;
    THROW_CRITICAL(FormatFailureText(failureText, result), ERR_GUI_PLUGIN_INVALID_RESULT);
}

bool UpdateCallbacks::JudgeLibResult(int result, const wchar_t* pszExpression) {
    if (result == 0) return true;
    if (result == -1) return false;
    return CheckLibResult(result, Msg<660>(pszExpression ? pszExpression : L""));
}

void UpdateCallbacks::JudgeGuiResult(int result, const wchar_t* pszExpression) {
    if (result == 0) return;
    CheckGuiResult(result, Msg<661>(pszExpression ? pszExpression : L""));
}

UpdateCallbacks::UpdateCallbacks()
    : mpcGuiCallbacks(new CUpdateGuiCallbacks), mpcLibCallbacks(new CUpdateLibCallbacks) {}

UpdateCallbacks::~UpdateCallbacks() {
    try {
        UnloadGuiLib();
    } catch (const Exception& e) {
        LogError(L"%s\n", e.twhat());
    }
    try {
        UnloadLib();
    } catch (const Exception& e) {
        LogError(L"%s\n", e.twhat());
    }
}

CUpdateGuiCallbacks* UpdateCallbacks::GuiCallbacks() {
    if (!mpcGuiCallbacks) THROW_CRITICAL(Msg<130>(), ERR_PLUGIN_LOAD);
    return mpcGuiCallbacks;
}

CUpdateLibCallbacks* UpdateCallbacks::LibCallbacks() {
    if (!mpcLibCallbacks) THROW_CRITICAL(Msg<131>(), ERR_PLUGIN_LOAD);
    return mpcLibCallbacks;
}

void UpdateCallbacks::LoadGuiLib(const std::wstring& path) {
    UnloadGuiLib();
    if (path.empty()) {
        mpcGuiCallbacks = new CUpdateGuiCallbacks;
        return;
    }
    if (m_cGuiLibrary.Load(path.c_str()) != 0) {
        DropFailedGuiLib();
        THROW_CRITICAL(Msg<126>(path), ERR_PLUGIN_LOAD);
    }
    auto initialize =
        reinterpret_cast<PFN_InitializeGuiLibA>(m_cGuiLibrary.GetSymbol("InitializeGuiLibA"));
    if (!initialize) {
        DropFailedGuiLib();
        THROW_CRITICAL(Msg<127>(path), ERR_PLUGIN_LOAD);
    }
    mpcGuiCallbacks = initialize();
    if (mpcGuiCallbacks) {
        const int answer = mpcGuiCallbacks->onLoad();
        if (answer != 0) {
            DropFailedGuiLib();
            THROW_CRITICAL(Msg<664>(path, answer), ERR_PLUGIN_REFUSED);
        }
    }
}

void UpdateCallbacks::LoadLib(const std::wstring& path) {
    UnloadLib();
    if (path.empty()) {
        mpcLibCallbacks = new CUpdateLibCallbacks;
        return;
    }
    if (m_cLibLibrary.Load(path.c_str()) != 0) {
        DropFailedLib();
        THROW_CRITICAL(Msg<126>(path), ERR_PLUGIN_LOAD);
    }
    auto initialize =
        reinterpret_cast<PFN_InitializeLibA>(m_cLibLibrary.GetSymbol("InitializeLibA"));
    if (!initialize) {
        DropFailedLib();
        THROW_CRITICAL(Msg<127>(path), ERR_PLUGIN_LOAD);
    }
    mpcLibCallbacks = initialize();
    if (mpcLibCallbacks) {
        const int answer = mpcLibCallbacks->onLoad();
        if (answer != 0 && answer != -1) {
            DropFailedLib();
            THROW_CRITICAL(Msg<664>(path, answer), ERR_PLUGIN_REFUSED);
        }
    }
}

// A plug-in that failed to start gets no further call: its table (when it gave one) is
// handed back, its library closed, and the default table takes its place, so whoever
// goes on after the failure still has a table to call.
void UpdateCallbacks::DropFailedGuiLib() {
    m_bLoadFailed = true;
    try {
        UnloadGuiLib();
    } catch (const Exception& e) {
        LogError(L"%s\n", e.twhat());
    }
    mpcGuiCallbacks = new CUpdateGuiCallbacks;
}

void UpdateCallbacks::DropFailedLib() {
    m_bLoadFailed = true;
    try {
        UnloadLib();
    } catch (const Exception& e) {
        LogError(L"%s\n", e.twhat());
    }
    mpcLibCallbacks = new CUpdateLibCallbacks;
}

void UpdateCallbacks::UnloadGuiLib() {
    CUpdateGuiCallbacks* table = mpcGuiCallbacks;
    mpcGuiCallbacks = nullptr;
    if (m_cGuiLibrary.IsLoaded()) {
        if (table) {
            auto uninitialize = reinterpret_cast<PFN_UninitializeGuiLibA>(
                m_cGuiLibrary.GetSymbol("UninitializeGuiLibA"));
            if (!uninitialize) {
                m_cGuiLibrary.Unload();
                THROW_CRITICAL(Msg<128>(), ERR_PLUGIN_LOAD);
            }
            uninitialize(table);
        }
        m_cGuiLibrary.Unload();
    } else {
        delete table;  // the default table is ours
    }
}

void UpdateCallbacks::UnloadLib() {
    CUpdateLibCallbacks* table = mpcLibCallbacks;
    mpcLibCallbacks = nullptr;
    if (m_cLibLibrary.IsLoaded()) {
        if (table) {
            auto uninitialize =
                reinterpret_cast<PFN_UninitializeLibA>(m_cLibLibrary.GetSymbol("UninitializeLibA"));
            if (!uninitialize) {
                m_cLibLibrary.Unload();
                THROW_CRITICAL(Msg<129>(), ERR_PLUGIN_LOAD);
            }
            uninitialize(table);
        }
        m_cLibLibrary.Unload();
    } else {
        delete table;
    }
}

void UpdateCallbacks::NotifyPlugins() {
    if (m_cGuiLibrary.IsLoaded()) {
        callLib(L"notifyGuiPlugin(mpcGuiCallbacks)", &CUpdateLibCallbacks::notifyGuiPlugin,
                mpcGuiCallbacks);
    } else {
        callLib(L"notifyGuiPlugin(NULL)", &CUpdateLibCallbacks::notifyGuiPlugin, nullptr);
    }
    if (m_cLibLibrary.IsLoaded()) {
        callGui(L"notifyLibPlugin(mpcLibCallbacks)", &CUpdateGuiCallbacks::notifyLibPlugin,
                mpcLibCallbacks);
    } else {
        callGui(L"notifyLibPlugin(NULL)", &CUpdateGuiCallbacks::notifyLibPlugin, nullptr);
    }
}

void UpdateCallbacks::notifyVersionInfo() {
    std::wstring cProductVersion;
    if (!CLibraryInfo().GetProductVersion(cProductVersion)) return;
    callLib(L"notifyVersionInfo(cProductVersion)", &CUpdateLibCallbacks::notifyVersionInfo,
            cProductVersion);
    callGui(L"notifyVersionInfo(cProductVersion)", &CUpdateGuiCallbacks::notifyVersionInfo,
            cProductVersion);
}

bool UpdateCallbacks::notifyConfigFile(const std::wstring& cConfigFileName) {
    callLib(L"notifyConfigFile(cConfigFileName, mcConfigFileData)",
            &CUpdateLibCallbacks::notifyConfigFile, cConfigFileName, mcConfigFileData);
    callGui(L"notifyConfigFile(cConfigFileName, mcConfigFileData)",
            &CUpdateGuiCallbacks::notifyConfigFile, cConfigFileName, mcConfigFileData);
    return true;
}

bool UpdateCallbacks::copyFile(const std::wstring& source, const std::wstring& dest, bool bMayDefer,
                               bool* pDeferred, const FileMode& mode) {
    return placeFile(source, dest, bMayDefer, pDeferred, mode, CopyFileBuiltin);
}

bool UpdateCallbacks::moveFile(const std::wstring& source, const std::wstring& dest, bool bMayDefer,
                               bool* pDeferred, const FileMode& mode) {
    return placeFile(source, dest, bMayDefer, pDeferred, mode, MoveFileBuiltin);
}

bool UpdateCallbacks::placeFile(const std::wstring& source, const std::wstring& dest,
                                bool bMayDefer, bool* pDeferred, const FileMode& mode,
                                BuiltinPlacement builtin) {
    if (pDeferred) *pDeferred = false;
    if (callLib(L"copyFile(source, dest)", &CUpdateLibCallbacks::copyFile, source, dest))
        return true;
    bool bDeferred = false;
    const bool bCopied = builtin(source, dest, bMayDefer, bDeferred, mode);
    if (pDeferred) *pDeferred = bDeferred;
    if (bCopied && bDeferred) {
        callLib(L"copyFileNeedRestart(dest)", &CUpdateLibCallbacks::copyFileNeedRestart, dest);
    }
    return bCopied;
}

bool UpdateCallbacks::checkCreateDirectory(const std::wstring& cPath, UpdStringList& cCreatedDirs,
                                           bool privateDir) {
    if (callLib(L"checkCreateDirectory(cPath, cCreatedDirs)",
                &CUpdateLibCallbacks::checkCreateDirectory, cPath, cCreatedDirs))
        return true;
    const int error = privateDir ? CreatePrivateDirectory(cPath, &cCreatedDirs)
                                 : CreateDirectories(cPath, 0755, &cCreatedDirs);
    errno = error;  // the reason, for the caller's message
    return error == 0;
}

bool UpdateCallbacks::checkCreateDirectory(const std::wstring& cPath) {
    UpdStringList cCreatedDirs;
    return checkCreateDirectory(cPath, cCreatedDirs);
}

}  // namespace UpdateNew
