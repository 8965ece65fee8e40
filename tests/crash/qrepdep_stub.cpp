// A library that the importing stand-in upload library needs, placed where only PATH reaches it.
// Loading it creates the file named by VOLARIX_DEP_MARKER.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t marker[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"VOLARIX_DEP_MARKER", marker, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            CloseHandle(CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD WINAPI QrepDepResult() {
    return 0;
}
