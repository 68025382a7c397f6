#include "CommandCheck.h"

#include <set>

#include "ProductDescription.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/StringUtils.h"

namespace UpdateNew {

namespace {

// Whether a value limited to `os` (an upper-case token list, empty for none) applies here.
bool AppliesHere(const std::wstring& os) {
    if (os.empty()) return true;
    for (const std::wstring& token : Split(os, L",", false, true))
        if (token == L"UNIX" || token == L"ALL") return true;
    return false;
}

// The last value that applies here, as the updater picks it; null when none does.
const OsValue* Effective(const std::vector<OsValue>& values) {
    const OsValue* chosen = nullptr;
    for (const OsValue& value : values)
        if (AppliesHere(value.os)) chosen = &value;
    return chosen;
}

bool IsInstallationRoot(const std::wstring& destination) {
    std::wstring dir = ToUpper(Trim(destination));
    while (!dir.empty() && (dir.back() == L'/' || dir.back() == L'\\')) dir.pop_back();
    return dir == L"%INSTALL_PATH%" || dir == L"%INSTALL_DIR%";
}

}  // namespace

std::vector<std::wstring> CheckModuleCommands(const std::vector<ResolvedModule>& modules) {
    std::set<std::wstring> inRoot;
    for (const ResolvedModule& module : modules) {
        const OsValue* destination = Effective(module.desc->destination);
        if (!destination || !IsInstallationRoot(destination->value)) continue;
        for (const ResolvedFile& file : module.files)
            if (AppliesHere(file.os.empty() ? L"UNIX" : file.os))
                inRoot.insert(GetLastComponent(ToSlashes(file.name)));
    }
    std::vector<std::wstring> warnings;
    for (const ResolvedModule& module : modules) {
        const std::pair<const wchar_t*, const std::vector<OsValue>*> commands[] = {
            {L"PRE", &module.desc->pre},
            {L"POST", &module.desc->post},
            {L"UNPOST", &module.desc->unpost},
            {L"CHECK", &module.desc->check}};
        for (const auto& [key, values] : commands) {
            const OsValue* command = Effective(*values);
            if (!command || Trim(command->value).empty()) continue;
            const std::wstring text = Trim(command->value);
            const std::wstring program =
                GetLastComponent(ToSlashes(text.substr(0, text.find(L' '))));
            if (inRoot.count(program)) continue;
            warnings.push_back(Msg<699>(command->at.text(), key, module.desc->name, program));
        }
    }
    return warnings;
}

}  // namespace UpdateNew
