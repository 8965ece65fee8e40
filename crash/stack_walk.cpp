#include "stack_walk.h"

#include "seh_guard.h"

#include <dbghelp.h>

#include <algorithm>
#include <string>

namespace {

typedef BOOL(WINAPI* SymInitializeFn)(HANDLE process, PCSTR searchPath, BOOL invadeProcess);
typedef BOOL(WINAPI* SymCleanupFn)(HANDLE process);
typedef DWORD(WINAPI* SymGetOptionsFn)();
typedef DWORD(WINAPI* SymSetOptionsFn)(DWORD options);
typedef BOOL(WINAPI* StackWalk64Fn)(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame,
                                    PVOID context, PREAD_PROCESS_MEMORY_ROUTINE64 readMemory,
                                    PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
                                    PGET_MODULE_BASE_ROUTINE64 getModuleBase,
                                    PTRANSLATE_ADDRESS_ROUTINE64 translateAddress);

const DWORD kSymOptFailCriticalErrors = 0x200;
const size_t kCommitStep = 64 * 1024 / sizeof(StackFrameRecord) + 1;

template <typename F> bool Resolve(HMODULE module, const char* name, F* function) {
    *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *function != nullptr;
}

struct WalkCall {
    CONTEXT* context;
    CFrameList* frames;
};

void RunWalk(void* call) {
    auto* walk = static_cast<WalkCall*>(call);
    WalkStack(walk->context, *walk->frames);
}

} // namespace

CFrameList::~CFrameList() {
    if (m_records != nullptr)
        VirtualFree(m_records, 0, MEM_RELEASE);
}

StackFrameRecord* CFrameList::Append() {
    if (m_records == nullptr) {
        m_records = static_cast<StackFrameRecord*>(
            VirtualAlloc(nullptr, kMaxFrames * sizeof(StackFrameRecord), MEM_RESERVE, PAGE_NOACCESS));
        if (m_records == nullptr)
            return nullptr;
    }
    if (m_count == m_committed) {
        if (m_committed == kMaxFrames)
            return nullptr;
        const size_t grow = std::min(kCommitStep, kMaxFrames - m_committed);
        if (!VirtualAlloc(m_records + m_committed, grow * sizeof(StackFrameRecord), MEM_COMMIT,
                          PAGE_READWRITE))
            return nullptr;
        m_committed += grow;
    }
    // Freshly committed pages are zero.
    return &m_records[m_count++];
}

bool GetLogicalAddress(const void* address, wchar_t* path, uint32_t* section, uint32_t* offset) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(address, &region, sizeof(region)) == 0)
        return false;
    // Free memory has no allocation base; the module of a null handle would be the executable,
    // which did not hold this address (a call through a null pointer lands here).
    auto* module = static_cast<const BYTE*>(region.AllocationBase);
    if (module == nullptr)
        return false;
    if (GetModuleFileNameW(reinterpret_cast<HMODULE>(const_cast<BYTE*>(module)), path, MAX_PATH) == 0) {
        path[0] = L'\0';
        return false;
    }
    path[MAX_PATH - 1] = L'\0';

    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(module + dos->e_lfanew);
    const WORD count = nt->FileHeader.NumberOfSections;
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const BYTE*>(&nt->OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader);
    const uint32_t rva = static_cast<uint32_t>(static_cast<const BYTE*>(address) - module);
    for (WORD i = 0; i < count; ++i) {
        const uint32_t start = sections[i].VirtualAddress;
        const uint32_t end =
            start + std::max<uint32_t>(sections[i].Misc.VirtualSize, sections[i].SizeOfRawData);
        if (rva >= start && rva <= end) {
            *section = i + 1u;
            *offset = rva - start;
            return true;
        }
    }
    return false;
}

void WalkStack(CONTEXT* context, CFrameList& frames) {
    HANDLE process = GetCurrentProcess();
    HANDLE thread = GetCurrentThread();

    // From the system folder only, never through the search order, which includes PATH.
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 13)
        return;
    HMODULE dbghelp = LoadLibraryW((std::wstring(system, length) + L"\\dbghelp.dll").c_str());
    if (dbghelp == nullptr)
        return;
    SymInitializeFn symInitialize;
    SymCleanupFn symCleanup;
    SymGetOptionsFn symGetOptions;
    SymSetOptionsFn symSetOptions;
    PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess;
    PGET_MODULE_BASE_ROUTINE64 getModuleBase;
    StackWalk64Fn stackWalk;
    if (!Resolve(dbghelp, "SymInitialize", &symInitialize) || !Resolve(dbghelp, "SymCleanup", &symCleanup) ||
        !Resolve(dbghelp, "SymGetOptions", &symGetOptions) ||
        !Resolve(dbghelp, "SymSetOptions", &symSetOptions) ||
        !Resolve(dbghelp, "SymFunctionTableAccess64", &functionTableAccess) ||
        !Resolve(dbghelp, "SymGetModuleBase64", &getModuleBase) ||
        !Resolve(dbghelp, "StackWalk64", &stackWalk))
        return;

    if (!symInitialize(process, nullptr, TRUE))
        return;
    symSetOptions(symGetOptions() | kSymOptFailCriticalErrors);

    STACKFRAME64 frame = {};
    frame.AddrPC.Offset = context->Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context->Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context->Rsp;
    frame.AddrStack.Mode = AddrModeFlat;

    while (stackWalk(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, context, nullptr, functionTableAccess,
                     getModuleBase, nullptr)) {
        StackFrameRecord* record = frames.Append();
        if (record == nullptr)
            break;
        record->programCounter = frame.AddrPC.Offset;
        record->frameAddress = frame.AddrFrame.Offset;
        GetLogicalAddress(reinterpret_cast<const void*>(frame.AddrPC.Offset), record->modulePath,
                          &record->section, &record->offset);
        if (frame.AddrReturn.Offset == 0 || frame.AddrPC.Offset == frame.AddrReturn.Offset)
            break;
    }
    symCleanup(process);
}

void WalkStackGuarded(CONTEXT* context, CFrameList& frames) {
    WalkCall call = {context, &frames};
    RunGuarded(&RunWalk, &call);
}
