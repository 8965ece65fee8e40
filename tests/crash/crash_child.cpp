// A process that limits its library search and installs the crash filter as the service does, and
// then fails on purpose, for the crash reporting tests. The first argument picks the failure:
//   access     writes through a null pointer (0xC0000005) a few calls below main
//   raise      raises the custom code 0xE0564C58
//   foreign    runs an illegal instruction (0xC000001D) on a thread whose stack holds no frame of
//              this executable
// A second argument "previous" installs, before the crash filter, a filter that creates the file
// named by VOLARIX_PREVIOUS_MARKER and passes the exception on.
#include "crash_filter.h"
#include "dll_search.h"

#include <windows.h>

#include <cstring>

namespace {

const DWORD kCustomCode = 0xE0564C58;

LONG WINAPI PreviousFilter(EXCEPTION_POINTERS*) {
    wchar_t marker[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"VOLARIX_PREVIOUS_MARKER", marker, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        CloseHandle(CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return EXCEPTION_CONTINUE_SEARCH;
}

__attribute__((noinline)) void WriteThroughNull(volatile int* target) {
    *target = 1;
}

__attribute__((noinline)) void FailDeeper(volatile int* target) {
    WriteThroughNull(target);
    // Keeps this frame from becoming a tail call.
    __asm__ __volatile__("" ::: "memory");
}

void RunForeignThread() {
    // ud2 as the thread's start routine: the stack holds the thread start-up of the system
    // libraries and this page, which belongs to no module.
    static const unsigned char kIllegal[] = {0x0F, 0x0B};
    void* code = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
    if (code == nullptr)
        ExitProcess(2);
    memcpy(code, kIllegal, sizeof(kIllegal));
    FlushInstructionCache(GetCurrentProcess(), code, sizeof(kIllegal));
    HANDLE thread =
        CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(code), nullptr, 0, nullptr);
    if (thread == nullptr)
        ExitProcess(2);
    WaitForSingleObject(thread, INFINITE);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[2], "previous") == 0)
        SetUnhandledExceptionFilter(&PreviousFilter);
    RestrictDllSearch();
    InstallCrashHandler();
    if (argc < 2)
        return 2;
    if (strcmp(argv[1], "access") == 0)
        FailDeeper(nullptr);
    else if (strcmp(argv[1], "raise") == 0)
        RaiseException(kCustomCode, 0, 0, nullptr);
    else if (strcmp(argv[1], "foreign") == 0)
        RunForeignThread();
    return 3;
}
