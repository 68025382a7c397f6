#include "product/UpdateInfo.h"

#include <cstdio>
#include <cstdlib>
#include <cwctype>

#include "base/Logger.h"
#include "base/Messages.h"

namespace UpdateNew {

namespace {

std::wstring Lower(const std::wstring& text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return out;
}

std::wstring TrimBlanks(const std::wstring& text) {
    static const wchar_t* const kBlank = L" \t\r\n\v\f";
    const size_t first = text.find_first_not_of(kBlank);
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

}  // namespace

int UpdateInfo::moduleIndex(const std::wstring& moduleName) const {
    for (size_t i = 0; i < modules.size(); ++i) {
        if (modules[i].name == moduleName) return static_cast<int>(i);
    }
    return -1;
}

int UpdateInfo::addModule(const std::wstring& moduleName) {
    UpdateModuleInfo module;
    module.name = moduleName;
    module.position = moduleCount();
    modules.push_back(std::move(module));
    return moduleCount() - 1;
}

int UpdateInfo::FindModule(const std::wstring& moduleName) const {
    const std::wstring wanted = Lower(moduleName);
    for (size_t i = 0; i < modules.size(); ++i) {
        if (Lower(modules[i].name) == wanted) return static_cast<int>(i);
    }
    return -1;
}

bool UpdateInfo::DependsOn(int i, int j) const {
    return m_dependsOn.at(static_cast<size_t>(i)).at(static_cast<size_t>(j));
}

void UpdateInfo::SetDependsOn(int i, int j) {
    m_dependsOn.at(static_cast<size_t>(i)).at(static_cast<size_t>(j)) = true;
}

DependencyVerdict UpdateInfo::BuildDependencies() {
    const size_t count = modules.size();
    m_dependsOn.assign(count, std::vector<bool>(count, false));
    DependencyVerdict verdict;
    for (size_t i = 0; i < count; ++i) {
        UpdateModuleInfo& module = modules[i];
        if (module.depend.empty()) continue;
        std::vector<int> found;
        size_t start = 0;
        for (;;) {
            const size_t comma = module.depend.find(L',', start);
            const std::wstring part = TrimBlanks(module.depend.substr(
                start, comma == std::wstring::npos ? std::wstring::npos : comma - start));
            if (!part.empty()) {
                const int index = FindModule(part);
                if (index < 0) {
                    verdict.status = kUnknownDependency;
                    verdict.reason = Msg<106>(module.name, part);
                    verdict.text = verdict.reason + L"\n";
                    return verdict;
                }
                found.push_back(index);
            }
            if (comma == std::wstring::npos) break;
            start = comma + 1;
        }
        module.dependencies = found;
        for (int d : found) {
            if (DependsOn(d, static_cast<int>(i))) {
                wchar_t line[128];
                std::swprintf(line, sizeof line / sizeof line[0],
                              L"Module %d  already depends on module %d\n", d, static_cast<int>(i));
                verdict.status = kCyclicDependency;
                verdict.text = Msg<107>() + L"\n" + line;
                verdict.reason = Msg<107>() + L" (\"" + modules[static_cast<size_t>(d)].name +
                                 L"\" and \"" + module.name + L"\")";
                return verdict;
            }
            SetDependsOn(static_cast<int>(i), d);
        }
    }
    // The pairwise test above misses a module naming itself and cycles through three or
    // more modules; collecting dependents would never end on those.
    std::vector<int> cycle;
    if (findCycle(cycle)) {
        std::wstring chain;
        for (int m : cycle) {
            if (!chain.empty()) chain += L" -> ";
            chain += L"\"" + modules[static_cast<size_t>(m)].name + L"\"";
        }
        verdict.status = kCyclicDependency;
        verdict.text = Msg<107>() + L"\nDependency cycle: " + chain + L"\n";
        verdict.reason = Msg<1240>(chain);
    }
    return verdict;
}

bool UpdateInfo::findCycle(std::vector<int>& cycle) const {
    // Depth-first search with an explicit stack; colour 1 marks modules on the current path.
    const int count = moduleCount();
    std::vector<int> colour(static_cast<size_t>(count), 0);
    for (int root = 0; root < count; ++root) {
        if (colour[static_cast<size_t>(root)] != 0) continue;
        std::vector<std::pair<int, int>> path;  // (module, next dependency to look at)
        path.emplace_back(root, 0);
        colour[static_cast<size_t>(root)] = 1;
        while (!path.empty()) {
            auto& top = path.back();
            const int m = top.first;
            if (top.second == count) {
                colour[static_cast<size_t>(m)] = 2;
                path.pop_back();
                continue;
            }
            const int d = top.second++;
            if (!DependsOn(m, d)) continue;
            if (colour[static_cast<size_t>(d)] == 1) {
                size_t at = 0;
                while (path[at].first != d) ++at;
                for (; at < path.size(); ++at) cycle.push_back(path[at].first);
                cycle.push_back(d);
                return true;
            }
            if (colour[static_cast<size_t>(d)] == 0) {
                colour[static_cast<size_t>(d)] = 1;
                path.emplace_back(d, 0);
            }
        }
    }
    return false;
}

void UpdateInfo::collect(int m, std::vector<int>& dependents, std::vector<bool>& seen) const {
    for (int j = 0; j < moduleCount(); ++j) {
        // Each module once: modules that share dependents (m2 on m1 and m0, m3 on m2 and
        // m1, ...) would otherwise be walked again along every path, twice as often for
        // each module more.
        if (seen[static_cast<size_t>(j)] || !DependsOn(j, m)) continue;
        seen[static_cast<size_t>(j)] = true;
        dependents.push_back(j);
        collect(j, dependents, seen);
    }
}

DependencyVerdict UpdateInfo::CollectDependentModules(int n, std::vector<int>& dependents) {
    dependents.clear();
    DependencyVerdict verdict = BuildDependencies();
    std::vector<bool> seen(static_cast<size_t>(moduleCount()), false);
    if (verdict.ok()) collect(n, dependents, seen);
    return verdict;
}

CModuleDependencyException::CModuleDependencyException(const DependencyVerdict& verdict,
                                                       const wchar_t* file, int line)
    : CUpdateCriticalException(verdict.reason, ERR_XML, file, line), m_exitStatus(verdict.status) {}

CModuleDependencyException::~CModuleDependencyException() = default;

std::vector<int> UpdateInfo::GetDependentModules(int n) {
    std::vector<int> dependents;
    const DependencyVerdict verdict = CollectDependentModules(n, dependents);
    if (!verdict.ok()) {
        LogDebug(L"%s", verdict.text.c_str());
        throw CModuleDependencyException(verdict, UPD_FILE, __LINE__);
    }
    return dependents;
}

}  // namespace UpdateNew
