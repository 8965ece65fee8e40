#include "import_patch.h"

#include <string.h>

static void** FindImportSlot(HMODULE module, const char* dll, const char* function) {
    auto base = reinterpret_cast<BYTE*>(module);
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return nullptr;
    for (auto desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name != 0;
         ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0)
            continue;
        // The name table may be absent in bound images; the address table then doubles as it.
        DWORD names = desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk;
        auto name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + names);
        auto slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal))
                continue;
            auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<void**>(&slot->u1.Function);
        }
    }
    return nullptr;
}

static void WriteSlot(void** slot, void* value) {
    DWORD old = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), old, &old);
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
}

CImportPatch::CImportPatch(const char* dll, const char* function, void* replacement, HMODULE module) {
    void** slot = FindImportSlot(module ? module : GetModuleHandleW(nullptr), dll, function);
    if (!slot)
        return;
    m_original = *slot;
    m_slot = slot;
    WriteSlot(slot, replacement);
}

CImportPatch::~CImportPatch() {
    if (m_slot)
        WriteSlot(m_slot, m_original);
}
