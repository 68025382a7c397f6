// Version information of the running updater, handed to the plug-ins (notifyVersionInfo).
//
// Executables on this platform carry no version resource to read, so the product version
// is the one the updater was built as: the project version compiled into this source (the
// same text "--version" prints). A build without one reports no version, and then the
// plug-ins are not told any.
#pragma once

#include <string>

namespace UpdateNew {

class CLibraryInfo {
public:
    // The product version; false (and `version` untouched) when none is known.
    bool GetProductVersion(std::wstring& version) const;
};

}  // namespace UpdateNew
