#include "plugin/DynamicLibrary.h"

#include <dlfcn.h>

#include <string>

#include "base/Console.h"
#include "base/Conv.h"
#include "base/Messages.h"
#include "base/TrustedDirectory.h"

namespace UpdateNew {

namespace {
const char* LastDlError() {
    const char* error = dlerror();
    return error ? error : "unknown reason";
}
}  // namespace

DynamicLibrary::~DynamicLibrary() {
    if (m_pHandle) Unload();
}

int DynamicLibrary::Load(const wchar_t* pszPath) {
    if (!pszPath) {
        ConsolePrintf(L"Invalid argument\n");
        return 3;
    }
    std::string path;
    if (!WideToMultibyte(pszPath, path)) {
        ConsolePrintf(L"Invalid pointer: %s cannot be converted to the local character set\n",
                      pszPath);
        return 2;
    }
    // A name without "/" is searched in the system's library directories; a path is the
    // file it names, which must be one no other user may have put there or may change.
    if (path.find('/') != std::string::npos) {
        if (const std::wstring fault = ProgramTrustFault(pszPath); !fault.empty()) {
            ConsolePrintf(L"%s\n", Msg<1225>(std::wstring(pszPath), fault).c_str());
            return 2;
        }
    }
    if (m_pHandle) Unload();
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (!handle) {
        ConsolePrintf(L"Invalid pointer: %S\n", LastDlError());
        return 2;
    }
    m_pHandle = handle;
    m_bLoaded = true;
    return 0;
}

int DynamicLibrary::Unload() {
    if (!m_pHandle) {
        ConsolePrintf(L"Invalid pointer\n");
        return 2;
    }
    const int result = dlclose(m_pHandle);
    m_pHandle = nullptr;
    // A closed library is no longer loaded: otherwise a later lookup would search the
    // whole process (dlsym on a null handle) and call whatever it found.
    m_bLoaded = false;
    return result;
}

void* DynamicLibrary::GetSymbol(const char* pszName) {
    if (!pszName) {
        ConsolePrintf(L"Invalid argument\n");
        return nullptr;
    }
    if (!m_pHandle) {
        ConsolePrintf(L"Invalid pointer\n");
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(m_pHandle, pszName);
    if (!symbol) {
        ConsolePrintf(L"Invalid symbol %S: %S\n", pszName, LastDlError());
        return nullptr;
    }
    return symbol;
}

}  // namespace UpdateNew
