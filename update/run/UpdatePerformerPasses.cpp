// UpdatePerformer's passes over the modules (pre commands, backup and install, post
// commands, with the rollback of a failed one) and the actions a self-update leaves.
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
#include "base/StringUtils.h"
#include "config/UpdateConfig.h"
#include "download/FileDownloader.h"
#include "install/Rollback.h"
#include "install/SelfUpdateHandover.h"
#include "plugin/BuiltinFileOps.h"
#include "plugin/UpdateCallbacks.h"
#include "run/FileProcessor.h"
#include "run/RunReport.h"
#include "run/UpdatePerformer.h"

namespace UpdateNew {

// ---- pre, backup, install and post passes ----------------------------------------------

// An interrupt stops the passes at the next point where every module is wholly old or
// wholly new: after a module's pre command, before a module's installation or between two
// of its files, before a post command. The rollback of the pass then gives the modules
// whose pre command ran the commands that undo it.
void UpdatePerformer::installPasses() {
    ThrowIfInterrupted();
    prePass();
    backupInstallPass();
    // Files the product no longer lists go once everything new is in place; a failure
    // rolls back the whole install pass (and restores the files removed so far).
    try {
        ThrowIfInterrupted();
        m_fileProcessor->RemoveDroppedFiles();
    } catch (...) {
        LogFatal(L"%s\n", Msg<1107>(CurrentExceptionText()).c_str());
        rollBack(4, m_product.moduleCount() - 1);
        throw;
    }
    postPass();
    // Stopped during the last post command or a health check: every module is new and its
    // post command ran, so the whole release goes back, as after a failed health check
    // (but it is not recorded as failed here).
    const auto stopIfInterrupted = [this] {
        try {
            ThrowIfInterrupted();
        } catch (...) {
            LogFatal(L"%s\n", CurrentExceptionText().c_str());
            m_fileProcessor->RollBackRelease();
            throw;
        }
    };
    stopIfInterrupted();
    healthChecks();
    stopIfInterrupted();
    LogDebug(L"%s\n", Msg<602>(FileCountText(callbacks().filesTotal())).c_str());
}

void UpdatePerformer::rollBack(int phase, int module) {
    m_fileProcessor->RollBack(phase, module);
}

void UpdatePerformer::prePass() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    LogDebug(L"%s\n", Msg<601>().c_str());
    bool afterSelfUpdate = false;
    const int n = m_product.moduleCount();
    for (int index = 0; index < n; ++index) {
        UpdateModuleInfo* i = &m_product.cGetModuleByIndex(index);
        try {
            if (afterSelfUpdate) {
                afterSelfUpdate = false;
                cb.callLib(L"globalAfterSelfupdatePre()",
                           &CUpdateLibCallbacks::globalAfterSelfupdatePre);
            }
            if (i->needsupdate) {
                cb.callGui(L"BeforeUpdateModule(i->name)", &CUpdateGuiCallbacks::BeforeUpdateModule,
                           i->name);
                UpdStringList created;
                cb.checkCreateDirectory(i->destination, created);
                fp.NoteCreatedDirectories(created);
                cb.callGui(L"beforePre(i->name, i->pre)", &CUpdateGuiCallbacks::beforePre, i->name,
                           i->pre);
                fp.RunPre(index);
                cb.callGui(L"afterPre(i->name, i->pre)", &CUpdateGuiCallbacks::afterPre, i->name,
                           i->pre);
            }
            if (IsSelfUpdateName(i->name)) afterSelfUpdate = true;
            ThrowIfInterrupted();
        } catch (...) {
            LogFatal(L"%s\n", Msg<610>(i->name, CurrentExceptionText()).c_str());
            rollBack(0, index);
            throw;
        }
    }
}

void UpdatePerformer::backupInstallPass() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    const int n = m_product.moduleCount();
    for (int index = 0; index < n; ++index) {
        UpdateModuleInfo* i = &m_product.cGetModuleByIndex(index);
        if (!i->needsupdate) continue;
        try {
            cb.callGui(L"beforeBackup(i->name)", &CUpdateGuiCallbacks::beforeBackup, i->name);
            fp.BackupModule(index);
            cb.callGui(L"afterBackup(i->name)", &CUpdateGuiCallbacks::afterBackup, i->name);
        } catch (...) {
            LogFatal(L"%s\n", Msg<608>(i->name, CurrentExceptionText()).c_str());
            // Every module's pre command ran, and the modules before this one are installed:
            // they are restored, and every post command runs (a rollback of the backup's own
            // phase would leave those modules new and the later ones stopped).
            rollBack(ROLLBACK_PHASE_INSTALL, index - 1);
            throw;
        }
        try {
            ThrowIfInterrupted();
            // From here until its post command ran, a kill leaves the module's post command
            // owed. The updater's own module is handed to a process of its own instead.
            if (!IsSelfUpdateName(i->name)) fp.MarkPostOwed(i->name);
            cb.callGui(L"beforeInstallModule(i->name)", &CUpdateGuiCallbacks::beforeInstallModule,
                       i->name);
            fp.InstallModule(index);
            cb.callGui(L"afterInstallModule(i->name)", &CUpdateGuiCallbacks::afterInstallModule,
                       i->name);
        } catch (...) {
            LogFatal(L"%s\n", Msg<611>(i->name, CurrentExceptionText()).c_str());
            rollBack(4, index);
            throw;
        }
    }
}

void UpdatePerformer::postPass() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;
    for (int index = m_product.moduleCount() - 1; index >= 0; --index) {
        UpdateModuleInfo* ri = &m_product.cGetModuleByIndex(index);
        if (!ri->needsupdate && !owesPost(*ri)) continue;
        // Stopped between two post commands: rolled back as a failed post pass is, but
        // said as what it is (no post command failed).
        try {
            ThrowIfInterrupted();
        } catch (...) {
            LogFatal(L"%s\n", CurrentExceptionText().c_str());
            rollBack(1, index);
            throw;
        }
        try {
            cb.callGui(L"beforePost(ri->name, ri->post)", &CUpdateGuiCallbacks::beforePost,
                       ri->name, ri->post);
            fp.RunPost(index);
            fp.MarkPostRun(ri->name);
            cb.callGui(L"afterPost(ri->name, ri->post)", &CUpdateGuiCallbacks::afterPost, ri->name,
                       ri->post);
            cb.callGui(L"AfterUpdateModule(ri->name)", &CUpdateGuiCallbacks::AfterUpdateModule,
                       ri->name);
        } catch (...) {
            LogFatal(L"%s\n", Msg<609>(ri->name, CurrentExceptionText()).c_str());
            rollBack(1, index);
            throw;
        }
    }
}

bool UpdatePerformer::owesPost(const UpdateModuleInfo& module) const {
    return !m_config->mirror() && !module.post.empty() && m_fileProcessor->IsPostOwed(module.name);
}

bool UpdatePerformer::anyPostOwed() const {
    if (m_fileProcessor->OwedPosts().empty()) return false;
    for (const UpdateModuleInfo& module : m_product.modules)
        if (owesPost(module)) return true;
    return false;
}

// ---- self-update actions ---------------------------------------------------------------

void UpdatePerformer::SplitExecAction(const std::wstring& action, std::wstring& program,
                                      std::wstring& arguments) {
    if (!action.empty() && action[0] == L'"') {
        const size_t close = action.find(L'"', 1);
        if (close == std::wstring::npos) THROW_CRITICAL(Msg<245>(action), 629);
        program = action.substr(1, close - 1);
        arguments = Trim(action.substr(close + 1), TRIM_BOTH, L" \t");
        return;
    }
    const size_t blank = action.find(L' ');
    program = action.substr(0, blank);
    arguments = blank == std::wstring::npos ? std::wstring() : action.substr(blank + 1);
}

int UpdatePerformer::performSelfUpdateActions() {
    UpdateCallbacks& cb = callbacks();
    FileProcessor& fp = *m_fileProcessor;

    notifyUpdateStart();

    for (const auto& action : m_config->copyActions()) {
        const std::wstring& source = action.first;
        const std::wstring& dest = action.second;
        LogDebug(L"Self-update copy: %s -> %s\n", source.c_str(), dest.c_str());
        // The sources are not this process's to delete: they lie in the first process's
        // temporary directory, which the updater started below reuses and removes with
        // everything the first process listed, or they are the backup copies of a process
        // that waits for this one to restore them. Deleting them here would race with
        // the updater started below.
        bool deferred = false;
        cb.copyFile(source, dest, true, &deferred);
        if (deferred) fp.AddTempFile(SetAsidePath(dest));
    }

    const std::wstring& execAction = m_config->selfUpdateProgram();
    if (!execAction.empty()) {
        std::wstring program;
        std::wstring arguments;
        SplitExecAction(execAction, program, arguments);
        LogDebug(L"Self-update starts: %s %s\n", program.c_str(), HidePasswords(arguments).c_str());
        std::wstring resultText;
        ProcessOutcome outcome;
        // The updated updater answers the first process itself.
        SelfUpdateHandover::PassOn();
        const int started = RunProcess(program, arguments, 0, resultText, false, &outcome);
        SelfUpdateHandover::ReleasePassedOn();
        if (started != 0) THROW_CRITICAL(Msg<252>(resultText), ERR_SELFUPDATE);
        if (outcome.kind == ProcessOutcome::kNotStarted)
            THROW_CRITICAL(Msg<883>(program, SystemErrorText(outcome.startError)), ERR_SELFUPDATE);
    }
    return 0;
}

}  // namespace UpdateNew
