// One shared library opened with dlopen. Reports failures by result code and a short
// diagnostic on standard output; the callback dispatcher turns them into exceptions.
#pragma once

namespace UpdateNew {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    // Closes a library that is still open.
    ~DynamicLibrary();

    // Opens the library with immediate symbol binding. 0 on success; 3 for a null path;
    // 2 when the path cannot be converted or dlopen fails (the reason is printed).
    int Load(const wchar_t* pszPath);
    // Closes the library: dlclose's result, or 2 when none is open.
    int Unload();
    // The address of an exported symbol, or null (printed) when it is missing.
    void* GetSymbol(const char* pszName);
    // True between a successful Load and the next Unload.
    bool IsLoaded() const { return m_bLoaded; }

private:
    void* m_pHandle = nullptr;
    bool m_bLoaded = false;
};

}  // namespace UpdateNew
