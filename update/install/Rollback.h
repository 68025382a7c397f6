// Undoing an update run that failed after its first module command or file change: which
// rollback steps run, in which order, for which modules, and the single step with its
// plug-in hand-over. The steps' own work (running a command, copying files back) belongs
// to the file processor, which passes itself as the IRollbackOperations.
#pragma once

#include <string>
#include <vector>

#include "base/Exception.h"
#include "update/UpdateCallbackTypes.h"

namespace UpdateNew {

// A rollback step that left an installed file other than it was before the run; the text
// names the module, the file and what was done (message 1011).
class RollbackFailure : public Exception {
public:
    using Exception::Exception;
};

class UpdateCallbacks;
class UpdateInfo;

// How far the update run had come when it failed; the update run passes one of these.
enum ERollbackPhase {
    ROLLBACK_PHASE_PRE_OR_BACKUP = 0,  // a pre command or a backup failed
    ROLLBACK_PHASE_POST = 1,           // a post command failed
    ROLLBACK_PHASE_INSTALL = 4         // an installation failed
};

// One step of a rollback: what to do, for which module, and the line announcing it.
struct RollbackStep {
    ERollbackSteps step;
    int module;
    std::wstring announcement;  // message 635 (UNPOST), 636 (PRE), 637 (RESTORE), 638 (POST)
};

// The steps of a rollback after a failure in `phase` while module `module` (of
// `moduleCount`) was being processed, in the order they run:
//  - phase 0: POST for module, module-1, ..., 0;
//  - phase 1: UNPOST for module down to 0, PRE for 0 up to module, RESTORE for every
//    module 0 up to the last, POST for every module from the last down to 0;
//  - phase 4: RESTORE for 0 up to module, POST for every module from the last down to 0;
//  - any other phase: nothing.
// A module index past the last module counts as the last one; a negative one gives no
// steps of the partial ranges. Modules that need no update are listed too: the step
// itself skips them.
std::vector<RollbackStep> PlanRollback(int phase, int module, int moduleCount);

// The work behind the four step kinds, for one module index.
class IRollbackOperations {
public:
    virtual ~IRollbackOperations() = default;
    virtual void runPre(int module) = 0;
    virtual void runPost(int module) = 0;
    virtual void runUnpost(int module) = 0;
    virtual void restoreModule(int module) = 0;
};

// One step for module `module` of `product`: a module without its needsupdate mark is
// skipped; otherwise the step is offered to the function-replacing plug-in with the names
// of the module's changed files ("overrideRollback(...)") and, unless the plug-in takes
// it over, `operations` does it. `announcement` is logged before the step. Exceptions of
// the plug-in call or of the operation pass on.
void RunRollbackStep(UpdateCallbacks& callbacks, const UpdateInfo& product,
                     IRollbackOperations& operations, ERollbackSteps step, int module,
                     const std::wstring& announcement);

// The whole rollback: message 630, "beforeRollback()", every planned step, then
// "afterRollback()". A step that fails does not stop the rollback: the files of every
// other module are still put back. The failure is logged (message 1011, naming the module
// and what the step did) and the first one is rethrown
// after the last step (and after "afterRollback()"), so the run still ends with it.
void RollBack(UpdateCallbacks& callbacks, const UpdateInfo& product,
              IRollbackOperations& operations, int phase, int module);

}  // namespace UpdateNew
