#include "install/ModuleCommand.h"

#include <sys/stat.h>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/RunProcess.h"
#include "base/TrustedDirectory.h"

namespace UpdateNew {

ModuleCommandLine SplitModuleCommand(const std::wstring& command, const std::wstring& installPath) {
    ModuleCommandLine line;
    std::wstring prefix = installPath;
    if (!prefix.empty() && prefix.back() != L'/') prefix += L'/';
    const size_t from =
        prefix.size() > 1 && command.compare(0, prefix.size(), prefix) == 0 ? prefix.size() : 0;
    const size_t blank = command.find(L' ', from);
    if (blank == std::wstring::npos) {
        line.program = command;
    } else {
        line.program = command.substr(0, blank);
        line.arguments = command.substr(blank + 1);
    }
    return line;
}

std::wstring ModuleProgramName(const std::wstring& programWord) {
    return GetLastComponent(ToSlashes(programWord));
}

std::wstring ModuleProgramPath(const std::wstring& installPath, const std::wstring& programWord) {
    return JoinPath(installPath, ModuleProgramName(programWord));
}

bool ModuleProgramExists(const std::wstring& path) {
    std::string narrow;
    if (path.empty() || !WideToMultibyte(path, narrow)) return false;
    struct stat st;
    return ::stat(narrow.c_str(), &st) == 0;
}

void RunModuleCommand(const std::wstring& moduleName, const std::wstring& program,
                      const std::wstring& arguments, int timeoutSeconds) {
    // Run as root: never a program another user may have put in place or may change, in
    // the installation (a directory open to all) or in the working directory.
    if (const std::wstring fault = ProgramTrustFault(program); !fault.empty()) {
        LogError(L"%s\n", Msg<1223>(moduleName, fault).c_str());
        return;
    }
    std::wstring resultText;
    ProcessOutcome outcome;
    const int result = RunProcess(program, arguments, timeoutSeconds, resultText, true, &outcome);
    LogDebug(L"Command of module %s: %s %s: %s\n", moduleName.c_str(), program.c_str(),
             arguments.c_str(), resultText.c_str());
    // Its outcome does not decide the run, but the administrator sees every one that
    // went wrong.
    const std::wstring command = arguments.empty() ? program : program + L" " + arguments;
    if (outcome.kind == ProcessOutcome::kNotStarted)
        LogError(L"%s\n",
                 Msg<698>(moduleName, program, SystemErrorText(outcome.startError)).c_str());
    else if (outcome.kind != ProcessOutcome::kExited || outcome.status != 0)
        LogWarning(L"%s\n", Msg<697>(moduleName, command, resultText).c_str());
    if (result != 0) THROW_CRITICAL(Msg<252>(resultText), ERR_MODULE_COMMAND);
}

bool RunModuleCheck(const std::wstring& moduleName, const std::wstring& program,
                    const std::wstring& arguments, int timeoutSeconds, std::wstring& outcome) {
    if (const std::wstring fault = ProgramTrustFault(program); !fault.empty()) {
        outcome = Msg<1223>(moduleName, fault);
        return false;
    }
    ProcessOutcome result;
    const int killed = RunProcess(program, arguments, timeoutSeconds, outcome, true, &result);
    LogDebug(L"Health check of module %s: %s %s: %s\n", moduleName.c_str(), program.c_str(),
             arguments.c_str(), outcome.c_str());
    if (killed != 0) THROW_CRITICAL(Msg<252>(outcome), ERR_MODULE_COMMAND);
    if (result.kind == ProcessOutcome::kNotStarted)
        outcome = Msg<698>(moduleName, program, SystemErrorText(result.startError));
    return result.kind == ProcessOutcome::kExited && result.status == 0;
}

}  // namespace UpdateNew
