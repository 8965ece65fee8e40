#include "service_host.h"

#include "drive_letter_mgr.h"
#include "environment.h"
#include "event_log.h"
#include "import_patch.h"
#include "update_client.h"

#include <cfgmgr32.h>
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// What the stand-ins saw and what they answer.
struct Platform {
    std::vector<SERVICE_STATUS> statuses;
    std::vector<std::wstring> events;
    std::vector<HDEVNOTIFY> unregistered;
    std::wstring openedName;
    DWORD openedAccess = 0, openedShare = 0, openedDisposition = 0;
    DWORD openError = 0;
    DWORD ioctlCode = 0, ioctlOutSize = 0;
    std::vector<BYTE> ioctlInput;
    DWORD ioctlError = 0;
    std::string answer = "VLRX";
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    HANDLE recipient = nullptr;
    DWORD notifyFlags = 0;
    DWORD notifyError = 0;
    bool registerHandler = true;
    UINT exitCode = 0;
    LPTHREAD_START_ROUTINE threadProc = nullptr;
    void* threadParameter = nullptr;
    SIZE_T threadStack = 1;
    bool failEvents = false;
    LONG scans = 0;
    HANDLE secondScan = nullptr;
    LONG reporting = 0, overlaps = 0;
} g;

decltype(&CreateEventW) g_realCreateEvent = nullptr;
decltype(&CreateThread) g_realCreateThread = nullptr;

struct Ended {};

HANDLE const kDriver = reinterpret_cast<HANDLE>(0x7710);
HDEVNOTIFY const kNotify = reinterpret_cast<HDEVNOTIFY>(0x7720);
SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x7730);

BOOL WINAPI FakeSetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    EXPECT_EQ(kStatusHandle, handle);
    // Two reports at once would let the SCM see them in either order.
    if (InterlockedIncrement(&g.reporting) > 1)
        InterlockedIncrement(&g.overlaps);
    SwitchToThread();
    g.statuses.push_back(*status);
    InterlockedDecrement(&g.reporting);
    return TRUE;
}

BOOL WINAPI FakeReportEvent(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR* texts, LPVOID) {
    g.events.push_back(texts[0]);
    return TRUE;
}

void WINAPI FakeExitProcess(UINT code) {
    g.exitCode = code;
    throw Ended();
}

// The drive-letter manager's start: a volume manager node without volume devices of its own
// kind, so that its initial scan finds nothing to ask the mount-point manager about.
HANDLE const kMountPointManager = reinterpret_cast<HANDLE>(0x7750);

CONFIGRET WINAPI FakeLocateDevNode(PDEVINST node, DEVINSTID_W, ULONG) {
    if (InterlockedIncrement(&g.scans) == 2 && g.secondScan)
        SetEvent(g.secondScan);
    *node = 1;
    return CR_SUCCESS;
}

CONFIGRET WINAPI FakeGetChild(PDEVINST child, DEVINST, ULONG) {
    *child = 2;
    return CR_SUCCESS;
}

CONFIGRET WINAPI FakeGetSibling(PDEVINST, DEVINST, ULONG) {
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI FakeGetStatus(PULONG status, PULONG problem, DEVINST, ULONG) {
    *status = DN_DRIVER_LOADED | DN_STARTED;
    *problem = 0;
    return CR_SUCCESS;
}

CONFIGRET WINAPI FakeGetProperty(DEVINST, ULONG, PULONG, PVOID, PULONG, ULONG) {
    return CR_NO_SUCH_VALUE;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                             DWORD disposition, DWORD, HANDLE) {
    if (wcscmp(name, L"\\\\.\\MountPointManager") == 0)
        return kMountPointManager;
    g.openedName = name;
    g.openedAccess = access;
    g.openedShare = share;
    g.openedDisposition = disposition;
    if (g.openError) {
        SetLastError(g.openError);
        return INVALID_HANDLE_VALUE;
    }
    return kDriver;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped) {
    EXPECT_EQ(kDriver, device);
    EXPECT_EQ(nullptr, overlapped);
    g.ioctlCode = code;
    g.ioctlOutSize = outSize;
    g.ioctlInput.assign(static_cast<BYTE*>(in), static_cast<BYTE*>(in) + inSize);
    if (g.ioctlError) {
        SetLastError(g.ioctlError);
        return FALSE;
    }
    memcpy(out, g.answer.data(), g.answer.size());
    *returned = static_cast<DWORD>(g.answer.size());
    return TRUE;
}

HDEVNOTIFY WINAPI FakeRegisterDeviceNotification(HANDLE recipient, LPVOID filter, DWORD flags) {
    g.recipient = recipient;
    g.filter = *static_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
    g.notifyFlags = flags;
    if (g.notifyError) {
        SetLastError(g.notifyError);
        return nullptr;
    }
    return kNotify;
}

BOOL WINAPI FakeUnregisterDeviceNotification(HDEVNOTIFY handle) {
    g.unregistered.push_back(handle);
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI FakeRegisterHandler(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                 LPVOID context) {
    EXPECT_STREQ(L"volarixsvc", name);
    EXPECT_EQ(&ServiceCtrlHandlerEx, handler);
    EXPECT_EQ(nullptr, context);
    return g.registerHandler ? kStatusHandle : nullptr;
}

// The update client's thread is not run: a signalled event stands in for the handle of a thread
// that has already ended. Other workers get their real threads.
HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack, LPTHREAD_START_ROUTINE proc,
                               LPVOID parameter, DWORD flags, LPDWORD id) {
    if (proc != &CUpdCl::ThreadProc)
        return g_realCreateThread(attributes, stack, proc, parameter, flags, id);
    g.threadProc = proc;
    g.threadParameter = parameter;
    g.threadStack = stack;
    return g_realCreateEvent(nullptr, TRUE, TRUE, nullptr);
}

HANDLE WINAPI FakeCreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manual, BOOL initial, LPCWSTR name) {
    if (g.failEvents) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_realCreateEvent(attributes, manual, initial, name);
}

template <typename F> void* Fn(F* f) {
    return reinterpret_cast<void*>(f);
}

class ServiceHost : public ::testing::Test {
  protected:
    void SetUp() override {
        g = Platform();
        for (CImportPatch* patch :
             {&m_status, &m_report, &m_exit, &m_open, &m_ioctl, &m_notify, &m_unnotify, &m_handler, &m_locate,
              &m_child, &m_sibling, &m_devStatus, &m_property, &m_thread, &m_event})
            ASSERT_TRUE(patch->Active());
        g_realCreateEvent = m_event.Original<decltype(&CreateEventW)>();
        g_realCreateThread = m_thread.Original<decltype(&CreateThread)>();
        InitializeCriticalSection(&g_EventLogLock);
        g_hEventSource = reinterpret_cast<HANDLE>(0x7740);
        g_hServiceStatus = kStatusHandle;
        const uint32_t version[4] = {1, 0, 2, 0};
        memcpy(g_ProductVersion, version, sizeof(version));
    }

    void TearDown() override {
        if (g_pDriveLetterMgr != nullptr) {
            StopDriveLetterDaemon();
            delete g_pDriveLetterMgr;
            g_pDriveLetterMgr = nullptr;
        }
        g_ServiceStatus = m_savedStatus;
        g_hServiceStatus = m_savedStatusHandle;
        g_hDriver = m_savedDriver;
        g_hDevNotify = m_savedDevNotify;
        g_hEventSource = m_savedEventSource;
    }

    // The status of a service that has started.
    void Running() {
        g_ServiceStatus = {
            SERVICE_WIN32, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0, 0};
        g_hDevNotify = kNotify;
    }

    // Starts and expects the fatal path with exactly this code.
    void ExpectFatal(const wchar_t* code) {
        EXPECT_THROW(ServiceStartup(), Ended);
        EXPECT_EQ(1u, g.exitCode);
        ASSERT_EQ(1u, g.events.size());
        EXPECT_NE(std::wstring::npos, g.events[0].find(code)) << g.events[0];
    }

    // A status left RUNNING would be what the next test's control thread reports first.
    const SERVICE_STATUS m_savedStatus = g_ServiceStatus;
    const SERVICE_STATUS_HANDLE m_savedStatusHandle = g_hServiceStatus;
    const HANDLE m_savedDriver = g_hDriver;
    const HDEVNOTIFY m_savedDevNotify = g_hDevNotify;
    const HANDLE m_savedEventSource = g_hEventSource;
    CImportPatch m_status{"advapi32.dll", "SetServiceStatus", Fn(&FakeSetServiceStatus)};
    CImportPatch m_report{"advapi32.dll", "ReportEventW", Fn(&FakeReportEvent)};
    CImportPatch m_exit{"kernel32.dll", "ExitProcess", Fn(&FakeExitProcess)};
    CImportPatch m_open{"kernel32.dll", "CreateFileW", Fn(&FakeCreateFile)};
    CImportPatch m_ioctl{"kernel32.dll", "DeviceIoControl", Fn(&FakeDeviceIoControl)};
    CImportPatch m_notify{"user32.dll", "RegisterDeviceNotificationW", Fn(&FakeRegisterDeviceNotification)};
    CImportPatch m_unnotify{"user32.dll", "UnregisterDeviceNotification",
                            Fn(&FakeUnregisterDeviceNotification)};
    CImportPatch m_handler{"advapi32.dll", "RegisterServiceCtrlHandlerExW", Fn(&FakeRegisterHandler)};
    CImportPatch m_locate{"cfgmgr32.dll", "CM_Locate_DevNodeW", Fn(&FakeLocateDevNode)};
    CImportPatch m_child{"cfgmgr32.dll", "CM_Get_Child", Fn(&FakeGetChild)};
    CImportPatch m_sibling{"cfgmgr32.dll", "CM_Get_Sibling", Fn(&FakeGetSibling)};
    CImportPatch m_devStatus{"cfgmgr32.dll", "CM_Get_DevNode_Status", Fn(&FakeGetStatus)};
    CImportPatch m_property{"cfgmgr32.dll", "CM_Get_DevNode_Registry_PropertyW", Fn(&FakeGetProperty)};
    CImportPatch m_thread{"kernel32.dll", "CreateThread", Fn(&FakeCreateThread)};
    CImportPatch m_event{"kernel32.dll", "CreateEventW", Fn(&FakeCreateEvent)};
};

bool SameStatus(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
    return memcmp(&a, &b, sizeof(a)) == 0;
}

} // namespace

TEST_F(ServiceHost, UnsupportedControlsAnswerNotImplementedAndReportNothing) {
    Running();
    for (DWORD control : {DWORD{SERVICE_CONTROL_PAUSE}, DWORD{SERVICE_CONTROL_CONTINUE},
                          DWORD{SERVICE_CONTROL_PARAMCHANGE}, DWORD{200}})
        EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
                  ServiceCtrlHandlerEx(control, 0, nullptr, nullptr))
            << control;
    EXPECT_TRUE(g.statuses.empty());
}

TEST_F(ServiceHost, InterrogateAndOtherDeviceEventsReReportTheStatusUnchanged) {
    Running();
    const SERVICE_STATUS before = g_ServiceStatus;
    EXPECT_EQ(0u, ServiceCtrlHandlerEx(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr));
    EXPECT_EQ(0u, ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEQUERYREMOVE, nullptr, nullptr));
    ASSERT_EQ(2u, g.statuses.size());
    EXPECT_TRUE(SameStatus(before, g.statuses[0]));
    EXPECT_TRUE(SameStatus(before, g.statuses[1]));
    EXPECT_TRUE(SameStatus(before, g_ServiceStatus));
    EXPECT_TRUE(g.unregistered.empty());
}

TEST_F(ServiceHost, StopAndShutdownUnregisterAndReportStopped) {
    for (DWORD control : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
        g.statuses.clear();
        g.unregistered.clear();
        Running();
        g_ServiceStatus.dwWin32ExitCode = 5;
        g_ServiceStatus.dwCheckPoint = 3;
        EXPECT_EQ(0u, ServiceCtrlHandlerEx(control, 0, nullptr, nullptr));
        EXPECT_EQ(std::vector<HDEVNOTIFY>{kNotify}, g.unregistered);
        ASSERT_EQ(1u, g.statuses.size());
        const SERVICE_STATUS& s = g.statuses[0];
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), s.dwCurrentState);
        EXPECT_EQ(0u, s.dwWin32ExitCode);
        EXPECT_EQ(0u, s.dwCheckPoint);
        EXPECT_EQ(0u, s.dwWaitHint);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32), s.dwServiceType);
    }
}

TEST_F(ServiceHost, ReportsFromTheControlThreadNeverInterleaveWithTheStart) {
    g_hServiceStatus = kStatusHandle;
    volatile LONG done = 0;
    std::thread control([&done] {
        while (!done)
            ServiceCtrlHandlerEx(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);
    });
    ServiceMain(0, nullptr);
    InterlockedExchange(&done, 1);
    control.join();
    EXPECT_EQ(0, g.overlaps);
    bool running = false;
    for (const SERVICE_STATUS& s : g.statuses) {
        if (s.dwCurrentState == SERVICE_RUNNING) {
            running = true;
            EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN),
                      s.dwControlsAccepted);
        } else {
            EXPECT_FALSE(running) << "state " << s.dwCurrentState << " after RUNNING";
        }
    }
    EXPECT_TRUE(running);
    EXPECT_EQ(0u, ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
}

TEST_F(ServiceHost, StartReportsPendingThenRunning) {
    ServiceMain(0, nullptr);
    ASSERT_EQ(2u, g.statuses.size());
    const SERVICE_STATUS pending = {SERVICE_WIN32, SERVICE_START_PENDING, 0, 0, 0, 0, 10000};
    const SERVICE_STATUS running = {
        SERVICE_WIN32, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0, 0};
    EXPECT_TRUE(SameStatus(pending, g.statuses[0]));
    EXPECT_TRUE(SameStatus(running, g.statuses[1]));
    EXPECT_TRUE(g.events.empty());
    EXPECT_EQ(kNotify, g_hDevNotify);

    // The driver is asked with the product version and must answer in 4 bytes.
    EXPECT_EQ(L"\\\\.\\volax", g.openedName);
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), g.openedAccess);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE), g.openedShare);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), g.openedDisposition);
    EXPECT_EQ(0x8E000u, g.ioctlCode);
    EXPECT_EQ(4u, g.ioctlOutSize);
    const BYTE version[16] = {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<BYTE>(version, version + 16), g.ioctlInput);

    // Volume interfaces, delivered to the service's status handle.
    const GUID volume = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    EXPECT_EQ(kStatusHandle, g.recipient);
    EXPECT_EQ(static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE), g.notifyFlags);
    EXPECT_EQ(32u, g.filter.dbcc_size);
    EXPECT_EQ(static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE), g.filter.dbcc_devicetype);
    EXPECT_EQ(0u, g.filter.dbcc_reserved);
    EXPECT_TRUE(IsEqualGUID(volume, g.filter.dbcc_classguid));
    EXPECT_EQ(L'\0', g.filter.dbcc_name[0]);
}

TEST_F(ServiceHost, FailedHandlerRegistrationReportsNothing) {
    g.registerHandler = false;
    ServiceMain(0, nullptr);
    EXPECT_TRUE(g.statuses.empty());
    EXPECT_TRUE(g.openedName.empty());
}

TEST_F(ServiceHost, MissingDriverIsFatal1206WithTheOpenError) {
    g.openError = ERROR_FILE_NOT_FOUND;
    ExpectFatal(L"0x24B60002.");
    EXPECT_EQ(0u, g.ioctlCode);
}

TEST_F(ServiceHost, FailedHandshakeIsFatal1207WithTheCallsError) {
    g.ioctlError = ERROR_GEN_FAILURE;
    ExpectFatal(L"0x24B7001F.");
}

TEST_F(ServiceHost, WrongOrShortAnswerIsFatal1207WithoutError) {
    for (const char* answer : {"VLRY", "XRLV", "VLR", ""}) {
        g.events.clear();
        g.answer = answer;
        SCOPED_TRACE(answer);
        ExpectFatal(L"0x24B70000.");
    }
}

TEST_F(ServiceHost, FailedNotificationRegistrationIsFatal1212) {
    g.notifyError = ERROR_INVALID_PARAMETER;
    ExpectFatal(L"0x24BC0057.");
}

TEST_F(ServiceHost, VolumeArrivalAndRemovalOnlySignalTheDriveLetterManager) {
    Running();
    CDriveLetterMgr letters;
    g_pDriveLetterMgr = &letters;
    EXPECT_EQ(0u, ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, nullptr, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(letters.arrivalEvent, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(letters.removalEvent, 0));
    EXPECT_EQ(0u,
              ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, nullptr, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(letters.removalEvent, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(letters.arrivalEvent, 0));
    EXPECT_EQ(0u, ServiceCtrlHandlerEx(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEQUERYREMOVE, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(letters.arrivalEvent, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(letters.removalEvent, 0));
    EXPECT_EQ(3u, g.statuses.size());
    g_pDriveLetterMgr = nullptr;
}

TEST_F(ServiceHost, StartRunsTheDriveLetterManagerAndStopEndsItsThread) {
    ServiceMain(0, nullptr);
    ASSERT_NE(nullptr, g_pDriveLetterMgr);
    ASSERT_NE(nullptr, g_pDriveLetterMgr->thread);
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), g_pDriveLetterMgr->thread, GetCurrentProcess(), &thread,
                                SYNCHRONIZE, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));

    EXPECT_EQ(0u, ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
    EXPECT_EQ(nullptr, g_pDriveLetterMgr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "the thread has ended before STOPPED";
    CloseHandle(thread);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g.statuses.back().dwCurrentState);
}

TEST_F(ServiceHost, StartRunsOneArrivalPassAfterRegisteringForNotifications) {
    // A volume arriving between the initial scan and the registration is found by that pass.
    HANDLE secondScan = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, secondScan);
    g.secondScan = secondScan;
    ServiceStartup();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(secondScan, 10000));
    EXPECT_EQ(0u, ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
    g.secondScan = nullptr;
    CloseHandle(secondScan);
}

TEST_F(ServiceHost, StartRunsTheUpdateClientsThreadAndStopEndsIt) {
    ServiceStartup();
    ASSERT_NE(nullptr, g_pUpdateClient);
    EXPECT_EQ(&CUpdCl::ThreadProc, g.threadProc);
    EXPECT_EQ(static_cast<CWorkerThread*>(g_pUpdateClient), g.threadParameter);
    EXPECT_EQ(0u, g.threadStack);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(g_pUpdateClient->stopEvent, 0));

    EXPECT_EQ(0u, ServiceCtrlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
    EXPECT_EQ(nullptr, g_pUpdateClient);
    ASSERT_EQ(1u, g.statuses.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g.statuses[0].dwCurrentState);
}

TEST_F(ServiceHost, UpdateClientWithoutAStopEventEndsTheProcessUnreported) {
    g.failEvents = true;
    EXPECT_THROW(ServiceStartup(), Ended);
    EXPECT_EQ(1u, g.exitCode);
    EXPECT_TRUE(g.events.empty());
    EXPECT_EQ(nullptr, g.threadProc);
}
