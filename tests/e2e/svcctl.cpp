// A small control tool for the end-to-end tests and the run script: the Service Control
// Manager requests that Wine's sc lacks (interrogate, other control codes, the extended query),
// and watching a service's own process, whose exit code Wine's SCM does not report.
//
//   svcctl query NAME                 state, accepted controls, exit codes and process id
//   svcctl control NAME CODE          sends a control; prints its Win32 result and the status
//   svcctl stop-and-wait NAME         sends STOP, then waits for the process and prints its exit
//   svcctl start-and-wait NAME STATE  starts the service and waits for the state (4 RUNNING) or
//                                     for its process to end, whichever comes first
//   svcctl open-event NAME            opens a named event for SYNCHRONIZE and waits on it at once
//   svcctl letters                    every defined drive letter with its first target
//
// Every command prints key=value lines and returns 0 when the request could be made at all.
#include <windows.h>

#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

namespace {

// Generous bounds for a loaded machine; the service itself starts in well under a second.
constexpr DWORD kStartTimeoutMs = 60000;
constexpr DWORD kExitTimeoutMs = 60000;
// Room for the targets of one DOS device name.
constexpr DWORD kTargetUnits = 4096;

struct ScHandle {
    SC_HANDLE h = nullptr;
    ~ScHandle() {
        if (h != nullptr)
            CloseServiceHandle(h);
    }
};

struct Handle {
    HANDLE h = nullptr;
    ~Handle() {
        if (h != nullptr)
            CloseHandle(h);
    }
};

int Fail(const char* what) {
    printf("error=%s:%lu\n", what, GetLastError());
    return 1;
}

bool OpenService(const wchar_t* name, DWORD access, ScHandle& manager, ScHandle& service) {
    manager.h = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager.h == nullptr)
        return false;
    service.h = OpenServiceW(manager.h, name, access);
    return service.h != nullptr;
}

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed) != FALSE;
}

void PrintStatus(const SERVICE_STATUS_PROCESS& s) {
    printf("type=%lu\nstate=%lu\naccepted=%lu\nwin32=%lu\nspecific=%lu\ncheckpoint=%lu\n"
           "waithint=%lu\npid=%lu\n",
           s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
           s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint, s.dwProcessId);
}

// The file name of the service's program, to find its process.
std::wstring ImageName(SC_HANDLE service) {
    BYTE buffer[8192];
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    if (!QueryServiceConfigW(service, config, sizeof(buffer), &needed))
        return std::wstring();
    std::wstring path = config->lpBinaryPathName;
    if (!path.empty() && path[0] == L'"')
        path = path.substr(1, path.find(L'"', 1) - 1);
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Watches for the service's process from before the start on, so that a process that ends
// during its start-up is still caught: the SCM under Wine does not report how it ended.
struct ProcessWatch {
    std::wstring image;
    volatile LONG stop = 0;
    HANDLE process = nullptr;

    static DWORD WINAPI Run(void* parameter) {
        auto* self = static_cast<ProcessWatch*>(parameter);
        while (self->process == nullptr && !self->stop) {
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            if (snapshot == INVALID_HANDLE_VALUE)
                continue;
            PROCESSENTRY32W entry = {};
            entry.dwSize = sizeof(entry);
            for (BOOL ok = Process32FirstW(snapshot, &entry); ok && self->process == nullptr;
                 ok = Process32NextW(snapshot, &entry)) {
                if (_wcsicmp(entry.szExeFile, self->image.c_str()) == 0)
                    self->process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                                entry.th32ProcessID);
            }
            CloseHandle(snapshot);
        }
        return 0;
    }
};

int PrintExit(HANDLE process) {
    if (WaitForSingleObject(process, kExitTimeoutMs) != WAIT_OBJECT_0)
        return Fail("process-still-running");
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    printf("exit=%lu\n", code);
    return 0;
}

int StartAndWait(const wchar_t* name, DWORD wanted) {
    ScHandle manager, service;
    if (!OpenService(name, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG, manager, service))
        return Fail("open-service");
    ProcessWatch watch;
    watch.image = ImageName(service.h);
    if (watch.image.empty())
        return Fail("query-config");
    Handle watcher;
    watcher.h = CreateThread(nullptr, 0, ProcessWatch::Run, &watch, 0, nullptr);
    if (watcher.h == nullptr)
        return Fail("watch-thread");
    SetThreadPriority(watcher.h, THREAD_PRIORITY_HIGHEST);

    if (!StartServiceW(service.h, 0, nullptr)) {
        DWORD error = GetLastError();
        watch.stop = 1;
        WaitForSingleObject(watcher.h, INFINITE);
        printf("start=%lu\n", error);
        return 0;
    }
    printf("start=0\n");

    // The SCM's state has no event to wait on: poll it, while the process can also end.
    SERVICE_STATUS_PROCESS status = {};
    const DWORD begin = GetTickCount();
    for (;;) {
        if (!Query(service.h, status))
            return Fail("query");
        if (status.dwCurrentState == wanted)
            break;
        if (watch.process != nullptr && WaitForSingleObject(watch.process, 0) == WAIT_OBJECT_0)
            break;
        if (GetTickCount() - begin > kStartTimeoutMs)
            break;
        Sleep(20);
    }
    watch.stop = 1;
    WaitForSingleObject(watcher.h, INFINITE);
    PrintStatus(status);
    if (status.dwCurrentState == wanted) {
        if (watch.process != nullptr)
            CloseHandle(watch.process);
        return 0;
    }
    if (watch.process == nullptr)
        return Fail("process-not-found");
    int result = PrintExit(watch.process);
    CloseHandle(watch.process);
    return result;
}

int Control(const wchar_t* name, DWORD code, bool waitExit) {
    ScHandle manager, service;
    DWORD access = SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                   SERVICE_USER_DEFINED_CONTROL;
    if (!OpenService(name, access, manager, service))
        return Fail("open-service");
    Handle process;
    if (waitExit) {
        SERVICE_STATUS_PROCESS before = {};
        if (!Query(service.h, before) || before.dwProcessId == 0)
            return Fail("no-process");
        process.h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, before.dwProcessId);
        if (process.h == nullptr)
            return Fail("open-process");
    }
    SERVICE_STATUS reported = {};
    DWORD result = ControlService(service.h, code, &reported) ? 0 : GetLastError();
    printf("result=%lu\n", result);
    SERVICE_STATUS_PROCESS status = {};
    if (!waitExit) {
        if (!Query(service.h, status))
            return Fail("query");
        PrintStatus(status);
        return 0;
    }
    if (PrintExit(process.h) != 0)
        return 1;
    if (!Query(service.h, status))
        return Fail("query");
    PrintStatus(status);
    return 0;
}

int OpenNamedEvent(const wchar_t* name) {
    Handle event;
    event.h = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (event.h == nullptr) {
        printf("open=%lu\n", GetLastError());
        return 0;
    }
    printf("open=0\nwait=%lu\n", WaitForSingleObject(event.h, 0));
    return 0;
}

// Read from the object manager, as any other program sees them, not from the service's account.
int PrintDriveLetters() {
    std::wstring target(kTargetUnits, L'\0');
    wchar_t drive[3] = {L'A', L':', 0};
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        drive[0] = letter;
        if (QueryDosDeviceW(drive, &target[0], kTargetUnits) != 0)
            printf("%lc:=%ls\n", letter, target.c_str());
    }
    return 0;
}

int Usage() {
    fprintf(stderr, "usage: svcctl query|control|stop-and-wait|start-and-wait|open-event NAME "
                    "[ARG]\n       svcctl letters\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2 && std::wstring(argv[1]) == L"letters")
        return PrintDriveLetters();
    if (argc < 3)
        return Usage();
    const std::wstring command = argv[1];
    const wchar_t* name = argv[2];
    if (command == L"query" && argc == 3) {
        ScHandle manager, service;
        SERVICE_STATUS_PROCESS status = {};
        if (!OpenService(name, SERVICE_QUERY_STATUS, manager, service) || !Query(service.h, status))
            return Fail("query");
        PrintStatus(status);
        return 0;
    }
    if (command == L"control" && argc == 4)
        return Control(name, wcstoul(argv[3], nullptr, 0), false);
    if (command == L"stop-and-wait" && argc == 3)
        return Control(name, SERVICE_CONTROL_STOP, true);
    if (command == L"start-and-wait" && argc == 4)
        return StartAndWait(name, wcstoul(argv[3], nullptr, 0));
    if (command == L"open-event" && argc == 3)
        return OpenNamedEvent(name);
    return Usage();
}
