// The last info line of a run that ended well: the product's name and the version it had
// before the run and has after it ("Example Suite 2.0.0 → 2.1.0"), or that it stays at
// its version. The version before is the installed release's (readKeptIndex), read before
// the run replaces what names it.
//
// Owned by the update run, on its one thread.
#pragma once

#include <string>

namespace UpdateNew {

class UpdateInfo;

class VersionReport {
public:
    // Reads the name and version of the installed release the first time it is called;
    // later calls (further attempts) keep what the first one found. They come from the
    // record of the last installed release (ReleaseChoice), which only a run that ends well
    // writes: the kept master index names the stable release, also on a machine that
    // follows a candidate, and after a self-update already the new one. Without the record
    // (an installation updated before it was kept) they come from the kept master index at
    // `keptIndex`; without either they stay empty.
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

private:
    bool m_read = false;
    std::wstring m_name;
    std::wstring m_version;
};

}  // namespace UpdateNew
