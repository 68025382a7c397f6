// The module commands of the file processor: PRE before a module's files are installed,
// POST after, UNPOST when a rollback undoes what POST did. Mirrors never run commands.
#include "base/Logger.h"
#include "base/Messages.h"
#include "config/UpdateConfig.h"
#include "install/ModuleCommand.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateInfo.h"
#include "run/FileProcessor.h"

namespace UpdateNew {

void FileProcessor::RunPre(int moduleIndex) {
    if (mirror()) return;
    const UpdateModuleInfo& m = m_update->cGetModuleByIndex(moduleIndex);
    if (callbacks().callLib(L"overridePre(m.name)", &CUpdateLibCallbacks::overridePre, m.name))
        return;
    if (m.pre.empty()) return;
    const ModuleCommandLine line = SplitModuleCommand(m.pre, installDir());
    const std::wstring path = ModuleProgramPath(installDir(), line.program);
    LogDebug(L"%s\n", Msg<585>(m.name, m.pre).c_str());
    const bool exists = ModuleProgramExists(path);
    // A first install has nothing to stop or prepare yet: a program the update is about to
    // install cannot run before it.
    if (!exists && InstallsFile(path)) {
        LogInfo(L"%s\n", Msg<1325>(m.name, path).c_str());
        return;
    }
    RunModuleCommand(m.name, exists ? path : ModuleProgramName(line.program), line.arguments);
}

bool FileProcessor::InstallsFile(const std::wstring& path) const {
    for (const UpdateModuleInfo& module : m_update->modules) {
        for (const FileRecord& file : module.files) {
            if (InstalledPath(module, file) == path) return true;
        }
    }
    return false;
}

void FileProcessor::RunPost(int moduleIndex) {
    if (mirror()) return;
    const UpdateModuleInfo& m = m_update->cGetModuleByIndex(moduleIndex);
    if (callbacks().callLib(L"overridePost(m.name)", &CUpdateLibCallbacks::overridePost, m.name))
        return;
    if (m.post.empty()) return;
    const ModuleCommandLine line = SplitModuleCommand(m.post, installDir());
    const std::wstring path = ModuleProgramPath(installDir(), line.program);
    LogDebug(L"%s\n", Msg<586>(m.name, m.post).c_str());
    std::wstring program = ModuleProgramName(line.program);
    if (ModuleProgramExists(path)) {
        program = path;
        LogDebug(L"Post command line: %s %s\n", path.c_str(), line.arguments.c_str());
    }
    RunModuleCommand(m.name, program, line.arguments);
}

bool FileProcessor::RunCheck(int moduleIndex, int timeoutSeconds, std::wstring& outcome) {
    const UpdateModuleInfo& m = m_update->cGetModuleByIndex(moduleIndex);
    if (mirror() || m.check.empty()) return true;
    const ModuleCommandLine line = SplitModuleCommand(m.check, installDir());
    const std::wstring path = ModuleProgramPath(installDir(), line.program);
    const std::wstring bare = ModuleProgramName(line.program);
    // Found neither way, it is named where the product would have put it.
    const bool inInstallation = ModuleProgramExists(path) || !ModuleProgramExists(bare);
    return RunModuleCheck(m.name, inInstallation ? path : bare, line.arguments, timeoutSeconds,
                          outcome);
}

void FileProcessor::RunUnPost(int moduleIndex) {
    if (mirror()) return;
    const UpdateModuleInfo& cCurModule = m_update->cGetModuleByIndex(moduleIndex);
    if (cCurModule.unpost.empty()) return;
    UpdateCallbacks& cb = callbacks();
    cb.callGui(L"beforeUnpost(cCurModule.name, cCurModule.unpost)",
               &CUpdateGuiCallbacks::beforeUnpost, cCurModule.name, cCurModule.unpost);
    if (!cb.callLib(L"overrideUnPost(cCurModule.name)", &CUpdateLibCallbacks::overrideUnPost,
                    cCurModule.name)) {
        const ModuleCommandLine line = SplitModuleCommand(cCurModule.unpost, installDir());
        LogDebug(L"%s\n", Msg<587>(cCurModule.name, cCurModule.unpost).c_str());
        RunModuleCommand(cCurModule.name, ModuleProgramPath(installDir(), line.program),
                         line.arguments);
    }
    cb.callGui(L"afterUnpost(cCurModule.name, cCurModule.unpost)",
               &CUpdateGuiCallbacks::afterUnpost, cCurModule.name, cCurModule.unpost);
}

}  // namespace UpdateNew
