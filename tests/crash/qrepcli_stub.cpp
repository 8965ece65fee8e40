// A stand-in for the product's crash upload library. Steered by environment variables:
//   VOLARIX_UPLOAD_DIR   the report is copied to report.txt there, and the call's arguments are
//                        written to args.txt (UTF-16: path, product name, machine id in hex, one
//                        per line)
//   VOLARIX_UPLOAD_MODE  "fail": nothing is copied and an error is returned;
//                        "raise": the call raises 0xE0DEAD01 after copying
#include <windows.h>

#ifdef QREPCLI_IMPORTS_DEP
// The importing variant, whose import of qrepdep.dll the loader must resolve before any call.
extern "C" __declspec(dllimport) DWORD WINAPI QrepDepResult();
#endif

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

void WriteArguments(const std::wstring& file, const wchar_t* path, const wchar_t* product, DWORD machineId) {
    wchar_t id[16];
    swprintf(id, 16, L"%08lX", static_cast<unsigned long>(machineId));
    const std::wstring text = std::wstring(path) + L"\n" + product + L"\n" + id + L"\n";
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(handle);
}

} // namespace

extern "C" __declspec(dllexport) DWORD WINAPI
    UploadCrashReportW(const wchar_t* reportPath, const wchar_t* productName, DWORD machineId) {
#ifdef QREPCLI_IMPORTS_DEP
    if (QrepDepResult() != 0)
        return ERROR_INVALID_FUNCTION;
#endif
    const std::wstring mode = Environment(L"VOLARIX_UPLOAD_MODE");
    if (mode == L"fail")
        return ERROR_NETWORK_UNREACHABLE;
    const std::wstring folder = Environment(L"VOLARIX_UPLOAD_DIR");
    if (!folder.empty()) {
        CopyFileW(reportPath, (folder + L"\\report.txt").c_str(), FALSE);
        WriteArguments(folder + L"\\args.txt", reportPath, productName, machineId);
    }
    if (mode == L"raise")
        RaiseException(0xE0DEAD01, 0, 0, nullptr);
    return 0;
}
