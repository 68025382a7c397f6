#include "plugin/LibraryInfo.h"

#include "base/Conv.h"

namespace UpdateNew {

#ifndef UPDATER_PRODUCT_VERSION
#define UPDATER_PRODUCT_VERSION ""
#endif

bool CLibraryInfo::GetProductVersion(std::wstring& version) const {
    const std::wstring built = Utf8ToWide(UPDATER_PRODUCT_VERSION);
    if (built.empty()) return false;
    version = built;
    return true;
}

}  // namespace UpdateNew
