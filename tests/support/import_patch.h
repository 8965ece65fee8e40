#pragma once
// Puts a test's own function in place of a Windows API function for the lifetime of the object,
// by rewriting the entry in the executable's import address table. Everything under test is
// linked statically into the test executable, so every call to the API from the product code
// goes through that table. Used where Wine only stubs an interface (event log, name service,
// disk IOCTLs, configuration manager) or where a test must see the exact arguments.
#include <windows.h>

class CImportPatch {
public:
    // dll is the import's module name as linked ("KERNEL32.dll", compared without case);
    // module is the image whose table is patched (null: the executable).
    CImportPatch(const char* dll, const char* function, void* replacement, HMODULE module = nullptr);
    ~CImportPatch();
    CImportPatch(const CImportPatch&) = delete;
    CImportPatch& operator=(const CImportPatch&) = delete;

    // True when the import was found and replaced.
    bool Active() const { return m_slot != nullptr; }
    // The function that was in the table before, for stand-ins that pass calls through.
    template <typename F> F Original() const { return reinterpret_cast<F>(m_original); }

private:
    void** m_slot = nullptr;
    void* m_original = nullptr;
};
