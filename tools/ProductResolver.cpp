#include "ProductResolver.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>

#include "CandidatePublication.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/StringUtils.h"
#include "product/UpdateOSChecker.h"

using namespace UpdateNew;

namespace {

std::wstring SystemError(int err) {
    return FromMultibyte(std::strerror(err));
}

// A name as the release manager can find it: bytes that are no character of the locale's
// encoding shown as \xNN.
std::wstring ShownName(const std::string& bytes) {
    std::wstring wide;
    if (MultibyteToWide(bytes, wide)) return wide;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            wide += static_cast<wchar_t>(c);
            continue;
        }
        static const wchar_t kHex[] = L"0123456789abcdef";
        wide += L"\\x";
        wide += kHex[c >> 4];
        wide += kHex[c & 0x0F];
    }
    return wide;
}

bool IsPattern(const std::wstring& text) {
    return text.find_first_of(L"*?[") != std::wstring::npos;
}

// Module names are compared as the updater compares them: without regard to case.
std::map<std::wstring, size_t> IndexModules(const ProductDesc& product) {
    std::map<std::wstring, size_t> index;
    for (size_t i = 0; i < product.modules.size(); ++i) {
        const ModuleDesc& module = product.modules[i];
        auto inserted = index.emplace(ToLower(module.name), i);
        if (!inserted.second)
            ThrowAt(module.at,
                    Msg<940>(module.name, product.modules[inserted.first->second].at.text()));
    }
    return index;
}

// Dependencies must name described modules and must not form a cycle: the updater
// would otherwise end a run with an error or never finish collecting dependents.
void CheckDependencies(const ProductDesc& product, const std::map<std::wstring, size_t>& index) {
    size_t count = product.modules.size();
    std::vector<std::vector<size_t>> edges(count);
    for (size_t i = 0; i < count; ++i) {
        const ModuleDesc& module = product.modules[i];
        if (module.depend.empty()) continue;
        for (const std::wstring& piece : Split(module.depend, L",")) {
            std::wstring name = Trim(piece, TRIM_BOTH, kTrimAllSpace);
            if (name.empty()) ThrowAt(module.dependAt, Msg<941>());
            auto found = index.find(ToLower(name));
            if (found == index.end()) ThrowAt(module.dependAt, Msg<942>(name));
            if (found->second == i) ThrowAt(module.dependAt, Msg<943>(module.name));
            edges[i].push_back(found->second);
        }
    }
    // Depth-first search; a module met again while still on the path closes a cycle.
    std::vector<int> state(count, 0);  // 0 new, 1 on the path, 2 done
    std::vector<size_t> path;
    std::function<void(size_t)> visit = [&](size_t m) {
        state[m] = 1;
        path.push_back(m);
        for (size_t d : edges[m]) {
            if (state[d] == 1) {
                std::wstring cycle;
                auto start = std::find(path.begin(), path.end(), d);
                for (auto it = start; it != path.end(); ++it)
                    cycle += product.modules[*it].name + L" -> ";
                cycle += product.modules[d].name;
                ThrowAt(product.modules[d].dependAt, Msg<944>(cycle));
            }
            if (state[d] == 0) visit(d);
        }
        path.pop_back();
        state[m] = 2;
    };
    for (size_t i = 0; i < count; ++i)
        if (state[i] == 0) visit(i);
}

ResolvedFile MakeFile(const FileSpec& entry, const std::wstring& name, const std::wstring& path,
                      const struct stat& st) {
    if (name.find_first_of(L" \t") != std::wstring::npos) ThrowAt(entry.at, Msg<945>(name));
    if (!IsSafeRelativePath(name)) ThrowAt(entry.at, Msg<946>(name));
    // The updater expands path variables in a file's name and its server path.
    if (name.find(L'%') != std::wstring::npos) ThrowAt(entry.at, Msg<918>(L"file name", name));
    if (st.st_size > kMaxPublishedFileSize)
        ThrowAt(entry.at, Msg<947>(path, static_cast<long long>(st.st_size)));
    ResolvedFile file;
    file.name = name;
    file.path = path;
    file.version = entry.version;
    file.os = entry.os;
    file.size = st.st_size;
    file.mtime = st.st_mtime;
    file.mode = st.st_mode & 0777;
    file.config = entry.config;
    file.at = entry.at;
    return file;
}

// `text` with glob's special characters escaped, so that it matches only itself.
std::string GlobEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// Expands one FILE line into the regular files it names, in byte order of their names.
std::vector<ResolvedFile> Expand(const FileSpec& entry, const std::wstring& baseDir) {
    std::vector<ResolvedFile> files;
    std::wstring full = JoinPath(baseDir, entry.pattern);
    std::string mbFull;
    if (!WideToMultibyte(full, mbFull)) ThrowAt(entry.at, Msg<948>(full));
    struct stat st;
    if (!IsPattern(entry.pattern)) {
        if (stat(mbFull.c_str(), &st) != 0) ThrowAt(entry.at, Msg<949>(full, SystemError(errno)));
        if (!S_ISREG(st.st_mode)) ThrowAt(entry.at, Msg<950>(full));
        files.push_back(MakeFile(entry, entry.pattern, full, st));
        return files;
    }
    // Only the line's pattern is one: the directories above it are taken as written.
    std::string mbBase, mbPattern;
    WideToMultibyte(baseDir, mbBase);
    if (!WideToMultibyte(entry.pattern, mbPattern)) ThrowAt(entry.at, Msg<948>(full));
    std::string globbed = GlobEscaped(mbBase);
    if (!globbed.empty() && globbed.back() != '/') globbed += '/';
    globbed += mbPattern;
    glob_t found{};
    int rc = glob(globbed.c_str(), GLOB_ERR | GLOB_NOSORT, nullptr, &found);
    std::vector<std::string> paths(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    globfree(&found);
    if (rc == GLOB_ABORTED) ThrowAt(entry.at, Msg<951>(full, SystemError(errno)));
    if (rc == GLOB_NOSPACE) ThrowAt(entry.at, Msg<952>(full));
    std::sort(paths.begin(), paths.end());
    std::string prefix;
    WideToMultibyte(JoinPath(baseDir, L""), prefix);
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    for (const std::string& mbPath : paths) {
        if (stat(mbPath.c_str(), &st) != 0)
            ThrowAt(entry.at, Msg<949>(FromMultibyte(mbPath), SystemError(errno)));
        if (!S_ISREG(st.st_mode))
            continue;  // a pattern names files; directories it meets are skipped
        std::wstring path, name;
        if (!MultibyteToWide(mbPath, path) || mbPath.compare(0, prefix.size(), prefix) != 0 ||
            !MultibyteToWide(mbPath.substr(prefix.size()), name))
            ThrowAt(entry.at, Msg<953>(ShownName(mbPath)));
        files.push_back(MakeFile(entry, name, path, st));
    }
    if (files.empty()) ThrowAt(entry.at, Msg<954>(full));
    return files;
}

// Within a module: one entry per NAME, and one installed file per base name among the
// files this system installs (the updater installs every file under its base name).
void CheckModuleFiles(const ResolvedModule& module) {
    static const CUpdateOSChecker os;
    std::map<std::wstring, const ResolvedFile*> names, installed;
    for (const ResolvedFile& file : module.files) {
        auto byName = names.emplace(file.name, &file);
        if (!byName.second)
            ThrowAt(file.at,
                    Msg<955>(file.name, module.desc->name, byName.first->second->at.text()));
        if (!os.matches(file.os)) continue;
        auto byBase = installed.emplace(GetLastComponent(file.name), &file);
        if (!byBase.second)
            ThrowAt(file.at, Msg<956>(byBase.first->second->name, file.name, module.desc->name,
                                      GetLastComponent(file.name)));
    }
}

}  // namespace

std::vector<ResolvedModule> ResolveProduct(const ProductDesc& product,
                                           const std::wstring& productDir) {
    std::map<std::wstring, size_t> index = IndexModules(product);
    CheckDependencies(product, index);
    std::vector<ResolvedModule> modules;
    std::map<std::wstring, const ResolvedFile*> serverPaths;
    for (const ModuleDesc& desc : product.modules) {
        ResolvedModule module;
        module.desc = &desc;
        std::wstring baseDir = desc.base.empty() ? productDir : JoinPath(productDir, desc.base);
        for (const FileSpec& entry : desc.files)
            if (!entry.config)
                for (ResolvedFile& file : Expand(entry, baseDir))
                    module.files.push_back(std::move(file));
        // A CONFIG line marks the files a FILE line names already and adds those it does not.
        for (const FileSpec& entry : desc.files) {
            if (!entry.config) continue;
            for (ResolvedFile& file : Expand(entry, baseDir)) {
                auto named =
                    std::find_if(module.files.begin(), module.files.end(),
                                 [&](const ResolvedFile& f) { return f.name == file.name; });
                if (named != module.files.end())
                    named->config = true;
                else
                    module.files.push_back(std::move(file));
            }
        }
        CheckModuleFiles(module);
        modules.push_back(std::move(module));
    }
    // Modules may share a SOURCE directory, but not a file in it.
    for (const ResolvedModule& module : modules) {
        for (const ResolvedFile& file : module.files) {
            std::wstring serverPath = JoinPath(module.desc->source, file.name);
            if (LiesAmongCandidates(JoinPath(product.updateRoot, serverPath) + L".gz", true))
                ThrowAt(file.at, Msg<1232>(serverPath));
            auto inserted = serverPaths.emplace(serverPath, &file);
            if (!inserted.second)
                ThrowAt(file.at, Msg<957>(serverPath, inserted.first->second->at.text()));
        }
    }
    return modules;
}

std::vector<std::wstring> SelfUpdateWarnings(const std::vector<ResolvedModule>& modules) {
    std::vector<std::wstring> warnings;
    for (const ResolvedModule& module : modules) {
        if (ToLower(module.desc->name) != L"selfupdate") continue;
        for (const wchar_t* needed : {L"updater", L"update_msg.lqr"}) {
            const bool carried =
                std::any_of(module.files.begin(), module.files.end(), [&](const ResolvedFile& f) {
                    return GetLastComponent(ToSlashes(f.name)) == needed;
                });
            if (!carried) warnings.push_back(Msg<958>(module.desc->name, needed));
        }
    }
    return warnings;
}
