#include "module_list.h"

#include "disk_file.h"
#include "report_line.h"
#include "seh_guard.h"

#include <windows.h>

#include <tlhelp32.h>

#include <string>

namespace {

typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFn)(DWORD flags, DWORD processId);
typedef BOOL(WINAPI* Module32FirstWFn)(HANDLE snapshot, MODULEENTRY32W* entry);
typedef BOOL(WINAPI* Module32NextWFn)(HANDLE snapshot, MODULEENTRY32W* entry);

const DWORD kVersionBufferSize = 5000;

class CSnapshotHolder {
  public:
    explicit CSnapshotHolder(HANDLE handle) : m_handle(handle) {}
    ~CSnapshotHolder() { CloseHandle(m_handle); }
    CSnapshotHolder(const CSnapshotHolder&) = delete;
    CSnapshotHolder& operator=(const CSnapshotHolder&) = delete;

  private:
    HANDLE m_handle;
};

void WriteModuleLine(const MODULEENTRY32W& module, std::wstring& line, CDiskFile& file) {
    BYTE block[kVersionBufferSize];
    if (!GetFileVersionInfoW(module.szExePath, 0, sizeof(block), block))
        return;
    void* value = nullptr;
    UINT length = 0;
    // A version block may lack the fixed part; VerQueryValueW can then succeed with nothing to read.
    if (VerQueryValueW(block, L"\\", &value, &length) && value != nullptr &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        FormatReportLine(
            line, L"%s Product Version = %d.%d.%d.%d  File Version = %d.%d.%d.%d Base=%016llX Size=%08X",
            module.szExePath, HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
            HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS),
            HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
            LOWORD(fixed->dwFileVersionLS), reinterpret_cast<unsigned long long>(module.modBaseAddr),
            module.modBaseSize);
    } else {
        FormatReportLine(line, L"%s", module.szExePath);
    }
    WriteReportLine(line, file);
}

void RunModuleList(void* file) {
    try {
        WriteModuleList(*static_cast<CDiskFile*>(file));
    } catch (CDiskFileException* error) {
        delete error;
    }
}

} // namespace

void WriteModuleList(CDiskFile& file) {
    HMODULE kernel = LoadLibraryW(L"Kernel32.dll");
    if (kernel == nullptr)
        return;
    auto createSnapshot = reinterpret_cast<CreateToolhelp32SnapshotFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "CreateToolhelp32Snapshot")));
    auto moduleFirst =
        reinterpret_cast<Module32FirstWFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "Module32FirstW")));
    auto moduleNext =
        reinterpret_cast<Module32NextWFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "Module32NextW")));
    if (createSnapshot == nullptr || moduleFirst == nullptr || moduleNext == nullptr)
        return;

    HANDLE snapshot = createSnapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    CSnapshotHolder holder(snapshot);

    std::wstring line;
    line.reserve(kReportLineCapacity);
    line = L"Loaded modules:";
    WriteReportLine(line, file);
    MODULEENTRY32W module = {};
    module.dwSize = sizeof(module);
    for (BOOL more = moduleFirst(snapshot, &module); more; more = moduleNext(snapshot, &module))
        WriteModuleLine(module, line, file);
}

void WriteModuleListGuarded(CDiskFile& file) {
    RunGuarded(&RunModuleList, &file);
}
