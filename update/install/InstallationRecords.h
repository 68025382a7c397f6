// What the updater keeps beside the kept master index about the files it installed, for
// the next run:
//   "<kept index>.config"    the configuration files as last installed: the first line
//                            "# updater configuration digests 1", then one line per file,
//                            "<32 lowercase hex MD5> <absolute installed path>";
//   "<kept index>.installed" the files installed: the first line
//                            "# updater installed files 1", then one line per file,
//                            "<module name>\t<absolute installed path>".
// Both are UTF-8 text, replaced whole (new file, sync, rename) after a run that ended well.
// A value type, used on the run's thread only.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "install/ModulePathList.h"

namespace UpdateNew {

class CInstallationRecords {
public:
    static std::wstring ConfigPath(const std::wstring& keptIndex);
    // The lines of the UTF-8 record `path` after its first line, which must be `header`
    // (empty lines dropped); false when it cannot be read or starts otherwise. Only a
    // regular file of one name, no link, of root or the effective user and not writable by
    // every user is read: these records decide which files a run removes. Also the reader
    // of the other records beside the kept index.
    static bool ReadLines(const std::wstring& path, const char* header,
                          std::vector<std::string>& lines);
    // Reads the whole record `path` into `bytes` under the rules of ReadLines; 0, or the
    // error number (EPERM for a file of another user or writable by every user). `st` is
    // what fstat said of the file read.
    static int ReadRecord(const std::wstring& path, std::string& bytes, struct stat& st);
    static std::wstring InstalledPath(const std::wstring& keptIndex);

    // Reads both records kept beside `keptIndex`. A record that is missing, unreadable or
    // of another format counts as absent (hasInstalledList() false, no digests).
    void load(const std::wstring& keptIndex);
    // The recorded digests of the configuration files, by installed path in one spelling
    // (LexicalPath: an earlier run may have named the installation otherwise).
    const std::map<std::wstring, std::string>& configDigests() const { return m_config; }
    // The digest recorded for the configuration file `path` (in any spelling), or nullptr.
    const std::string* configDigest(const std::wstring& path) const;
    // Whether the list of installed files was there; an installation made by an earlier
    // updater has none, and nothing is removed as dropped from it.
    bool hasInstalledList() const { return m_hasInstalledList; }
    // The installed files as (module name, path), UTF-8, in the record's order. Kept as
    // the record's bytes: a product of many files lists a line for each.
    const ModulePathList& installed() const { return m_installed; }

    // The files of this run's product, for save(): `digest` is the product's digest of a
    // configuration file (`config`); `installs`, when given, the digest of the content
    // this run installs there (for noteAdding).
    void addFile(const std::wstring& module, const std::wstring& path, bool config,
                 const std::string& digest, const std::string& installs = std::string());
    void clearFiles();
    // The files added since clearFiles(), as (module name, path), UTF-8.
    const ModulePathList& files() const { return m_newInstalled; }
    bool hasConfigFiles() const { return !m_newConfig.empty(); }

    // Writes the configuration digests (when the product has configuration files) and,
    // with `installedList`, the list of installed files beside `keptIndex` (and removes
    // the record of files being added). Throws Exception naming the file and the reason
    // when one cannot be written.
    void save(const std::wstring& keptIndex, bool installedList) const;

    // The files a run is about to install, each with the digest of the content it installs
    // there: kept beside `keptIndex` until save() writes the list of installed files, so
    // that after a run killed in between, load() counts every one that still holds that
    // content as installed by the updater (a later release that drops it removes it). A
    // file that does not, or is not there, is left out. Throws as save().
    void noteAdding(const std::wstring& keptIndex) const;
    static std::wstring AddingPath(const std::wstring& keptIndex);

private:
    std::map<std::wstring, std::string> m_config;
    bool m_hasInstalledList = false;
    ModulePathList m_installed;
    std::vector<std::pair<std::string, std::wstring>> m_newConfig;  // digest, path
    ModulePathList m_newInstalled;
    // For noteAdding: "<digest> <module>\t<path>" lines of the files this run installs.
    std::string m_adding;
    std::wstring m_lastModule;  // addFile's last module, and its UTF-8 name
    std::string m_lastModuleUtf8;
};

}  // namespace UpdateNew
