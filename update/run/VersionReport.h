// The last info line of a run that ended well: the product's name and the version it had
// before the run and has after it ("Example Suite 2.0.0 → 2.1.0"), or that it stays at
// its version. The version before comes from the kept master index, which names the
// product and version it was published for; it is read before the run replaces it.
//
// Owned by the update run, on its one thread.
#pragma once

#include <string>

namespace UpdateNew {

class UpdateInfo;

class VersionReport {
public:
    // Reads the name and version of the kept master index at `keptIndex` the first time
    // it is called; later calls (further attempts) keep what the first one found. A
    // missing or unreadable index, or one without those lines, gives those of the record
    // of the last installed release (ReleaseChoice), or leaves them empty.
    void readKeptIndex(const std::wstring& keptIndex);

    // The line (without its line end) for a run that ended well. `product` is what the run
    // read from the product info (empty when the index was unchanged and none was read);
    // `installed` whether files were installed; `afterSelfUpdate` whether this run follows
    // a self-update (the kept index then already names the new version). Empty when the
    // product's name or version is unknown.
    std::wstring line(const UpdateInfo& product, bool installed, bool afterSelfUpdate) const;

    // What readKeptIndex found (empty when nothing).
    const std::wstring& name() const { return m_name; }
    const std::wstring& version() const { return m_version; }
    // The version the product had when the whole run began. After a self-update the kept
    // index names the new release already; the record of the last installed release,
    // written only when a run ends well, still names the one before.
    const std::wstring& versionBefore(bool afterSelfUpdate) const {
        return afterSelfUpdate && !m_recorded.empty() ? m_recorded : m_version;
    }

private:
    bool m_read = false;
    std::wstring m_name;
    std::wstring m_version;
    std::wstring m_recorded;  // the release record's version
};

}  // namespace UpdateNew
