#include "install/Rollback.h"

#include <exception>

#include "base/Exception.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateInfo.h"

namespace UpdateNew {

namespace {

// What a rollback step of a module does, for its failure line.
std::wstring StepText(ERollbackSteps step) {
    switch (step) {
        case ROLLBACK_PRE:
            return Msg<1013>(L"pre");
        case ROLLBACK_POST:
            return Msg<1013>(L"post");
        case ROLLBACK_UNPOST:
            return Msg<1013>(L"unpost");
        case ROLLBACK_RESTORE:
            break;
    }
    return Msg<1012>(L"its files");
}

}  // namespace

std::vector<RollbackStep> PlanRollback(int phase, int module, int moduleCount) {
    std::vector<RollbackStep> steps;
    if (moduleCount <= 0) return steps;
    const int last = moduleCount - 1;
    const int m = module > last ? last : module;

    auto add = [&steps](ERollbackSteps step, int i) {
        std::wstring text;
        switch (step) {
            case ROLLBACK_UNPOST:
                text = Msg<635>();
                break;
            case ROLLBACK_PRE:
                text = Msg<636>();
                break;
            case ROLLBACK_RESTORE:
                text = Msg<637>();
                break;
            case ROLLBACK_POST:
                text = Msg<638>();
                break;
        }
        steps.push_back(RollbackStep{step, i, text});
    };

    switch (phase) {
        case ROLLBACK_PHASE_PRE_OR_BACKUP:
            for (int i = m; i >= 0; --i) add(ROLLBACK_POST, i);
            break;
        case ROLLBACK_PHASE_POST:
            for (int i = m; i >= 0; --i) add(ROLLBACK_UNPOST, i);
            for (int i = 0; i <= m; ++i) add(ROLLBACK_PRE, i);
            for (int i = 0; i <= last; ++i) add(ROLLBACK_RESTORE, i);
            for (int i = last; i >= 0; --i) add(ROLLBACK_POST, i);
            break;
        case ROLLBACK_PHASE_INSTALL:
            for (int i = 0; i <= m; ++i) add(ROLLBACK_RESTORE, i);
            for (int i = last; i >= 0; --i) add(ROLLBACK_POST, i);
            break;
        default:
            break;
    }
    return steps;
}

void RunRollbackStep(UpdateCallbacks& callbacks, const UpdateInfo& product,
                     IRollbackOperations& operations, ERollbackSteps step, int module,
                     const std::wstring& announcement) {
    const UpdateModuleInfo& cCurModule = product.cGetModuleByIndex(module);
    if (!cCurModule.needsupdate) return;
    LogInfo(L"%s\n", announcement.c_str());

    UpdStringList cFilesToRollback;
    for (const FileRecord& file : cCurModule.files)
        if (file.needsupdate) cFilesToRollback.push_back(file.name);
    const int p_stepId = step;
    if (callbacks.callLib(
            L"overrideRollback(static_cast<ERollbackSteps>(p_stepId), cCurModule.name, "
            L"cFilesToRollback)",
            &CUpdateLibCallbacks::overrideRollback, static_cast<ERollbackSteps>(p_stepId),
            cCurModule.name, cFilesToRollback))
        return;

    switch (step) {
        case ROLLBACK_PRE:
            operations.runPre(module);
            break;
        case ROLLBACK_POST:
            operations.runPost(module);
            break;
        case ROLLBACK_UNPOST:
            operations.runUnpost(module);
            break;
        case ROLLBACK_RESTORE:
            operations.restoreModule(module);
            break;
    }
}

void RollBack(UpdateCallbacks& callbacks, const UpdateInfo& product,
              IRollbackOperations& operations, int phase, int module) {
    LogInfo(L"%s\n", Msg<630>().c_str());
    callbacks.callLib(L"beforeRollback()", &CUpdateLibCallbacks::beforeRollback);

    std::exception_ptr first;
    for (const RollbackStep& s : PlanRollback(phase, module, product.moduleCount())) {
        std::wstring reason;
        try {
            RunRollbackStep(callbacks, product, operations, s.step, s.module, s.announcement);
            continue;
        } catch (const RollbackFailure& e) {
            // Names the module, the file and what was done itself.
            LogError(L"%s\n", e.twhat());
            if (!first) first = std::current_exception();
            continue;
        } catch (const Exception& e) {
            reason = e.twhat();
            if (!first) first = std::current_exception();
        } catch (const CPluginException& e) {
            reason = e.twhat();
            if (!first) first = std::current_exception();
        } catch (...) {
            reason = Msg<659>();
            if (!first) first = std::current_exception();
        }
        const std::wstring& name = product.cGetModuleByIndex(s.module).name;
        LogError(L"%s\n", Msg<1011>(name, StepText(s.step), reason).c_str());
    }

    try {
        callbacks.callLib(L"afterRollback()", &CUpdateLibCallbacks::afterRollback);
    } catch (...) {
        if (!first) throw;
    }
    if (first) std::rethrow_exception(first);
}

}  // namespace UpdateNew
