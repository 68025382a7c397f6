// The product data read from the product info files: the product's own values, its
// modules with their files, and the dependency relation between the modules. Filled by
// UpdateXMLParser, marked by the file check, consumed by the later phases of the run.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "product/FileRecord.h"

namespace UpdateNew {

// A patch that rebuilds a file from an earlier version of it (a PATCH element of the file's
// entry; readers that know nothing of patches skip the element).
struct FilePatchInfo {
    std::wstring baseMd5;  // digest text of the version the patch applies to
    uint64_t size = 0;     // size of the patch on the server
    std::string sha256;    // SHA-256 of the patch, 64 lowercase hexadecimal digits
};

struct UpdateModuleInfo {
    int32_t number = 0;   // leading numeric field; 0 in product data, shown by the file check
    std::wstring name;    // MODULE NAME attribute
    std::wstring pre;     // command run before installation (PRE)
    std::wstring post;    // command run after installation (POST)
    std::wstring unpost;  // command run when the module is rolled back (UNPOST)
    // Health check run after every module's POST (CHECK); failing it rolls the update back.
    std::wstring check;
    std::wstring depend;            // DEPEND as written: comma-separated names of modules it needs
    std::vector<int> dependencies;  // indices of the modules named by `depend`, in text order
    std::wstring source;            // directory of the module's files on the server, relative
    std::wstring destination;       // installation directory; may contain path variables
    int32_t position = 0;           // index of the module in the product data when it was created
    std::vector<FileRecord> files;  // in product info order
    // The patches of the files, by file NAME; files without patches have no entry.
    std::map<std::wstring, std::vector<FilePatchInfo>> patches;
    // ZIPSHA256 of the files that carry one (signed publications), by file NAME.
    std::map<std::wstring, std::string> zipSha256;
    bool needsupdate = false;  // set by the file check
};

// What the dependency relation says about the product: usable, or why the run must end.
struct DependencyVerdict {
    int status = 0;       // 0 usable; otherwise the process exit status to end with
    std::wstring text;    // the text to log (debug level) before ending; ends with a line feed
    std::wstring reason;  // the same in one line, naming the modules, for the run's failure
    bool ok() const { return status == 0; }
};

// An unusable dependency relation: the run fails as after any critical failure (the
// plug-ins hear it, the kept index goes so that the next run tries again, the temporary
// files go, the report and the run's record say why), and the process then ends with
// exitStatus() (250 or 249) instead of 255.
class CModuleDependencyException : public CUpdateCriticalException {
public:
    CModuleDependencyException(const DependencyVerdict& verdict, const wchar_t* file, int line);
    ~CModuleDependencyException() override;
    int exitStatus() const { return m_exitStatus; }

private:
    int m_exitStatus;
};

class UpdateInfo {
public:
    // Exit statuses of unusable dependency texts.
    static constexpr int kUnknownDependency = 250;
    static constexpr int kCyclicDependency = 249;

    std::wstring version;  // UPDATE/VERSION
    std::wstring name;     // UPDATE/NAME
    std::wstring md5;      // UPDATE/MD5: checksum of the product info file itself
    // UPDATE/DROPPED with the value "remove": installed files that the product no longer
    // lists are removed (publications without it keep them, as earlier updaters do).
    bool removeDropped = false;
    // Further product info files to read (INCLUDE values, in document order); the run takes
    // entries from the front and may push its own first.
    std::list<std::wstring> includes;
    std::vector<UpdateModuleInfo> modules;  // in product info order

    int moduleCount() const { return static_cast<int>(modules.size()); }
    // Precondition: 0 <= index < moduleCount().
    UpdateModuleInfo& cGetModuleByIndex(int index) {
        return modules.at(static_cast<size_t>(index));
    }
    const UpdateModuleInfo& cGetModuleByIndex(int index) const {
        return modules.at(static_cast<size_t>(index));
    }
    // Index of the module with exactly this name, or -1.
    int moduleIndex(const std::wstring& moduleName) const;
    // Appends a module that has only its name and position; returns its index.
    int addModule(const std::wstring& moduleName);

    // Index of the module whose name equals `moduleName` regardless of case, or -1.
    int FindModule(const std::wstring& moduleName) const;
    // Whether module i depends directly on module j (after BuildDependencies).
    bool DependsOn(int i, int j) const;
    void SetDependsOn(int i, int j);

    // Rebuilds the relation from the modules' dependency texts. Names are trimmed of white
    // space and compared regardless of case; empty names (",," or a trailing ",") are
    // skipped. A name that is no module gives status 250 (message 106); two modules naming
    // each other, a module naming itself or any longer cycle give status 249 (message 107
    // and the modules concerned). The relation is only complete when the verdict is ok.
    DependencyVerdict BuildDependencies();
    // Rebuilds the relation and lists every module that depends on module n, directly or
    // through others, depth first in index order, each once (where it is first reached).
    // On a verdict other than ok the list is left empty.
    DependencyVerdict CollectDependentModules(int n, std::vector<int>& dependents);
    // As CollectDependentModules, but an unusable relation logs the verdict's text at debug
    // level and throws CModuleDependencyException: dependency errors are found by the
    // check, before anything is downloaded or installed.
    std::vector<int> GetDependentModules(int n);

private:
    void collect(int m, std::vector<int>& dependents, std::vector<bool>& seen) const;
    bool findCycle(std::vector<int>& cycle) const;

    std::vector<std::vector<bool>> m_dependsOn;  // row i, bit j: module i depends on module j
};

}  // namespace UpdateNew
