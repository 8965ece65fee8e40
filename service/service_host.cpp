#include "service_host.h"

#include "drive_letter_mgr.h"
#include "environment.h"
#include "event_log.h"
#include "security.h"
#include "update_client.h"
#include "update_url.h"

#include <string.h>

SERVICE_STATUS g_ServiceStatus = {};
SERVICE_STATUS_HANDLE g_hServiceStatus = nullptr;
HANDLE g_hDriver = INVALID_HANDLE_VALUE;
HDEVNOTIFY g_hDevNotify = nullptr;

namespace {

// Own-process and share-process bits together, as the service has always reported itself.
constexpr DWORD kServiceType = SERVICE_WIN32;
constexpr DWORD kStartWaitHint = 10000;

// CTL_CODE(FILE_DEVICE_DISK_FILE_SYSTEM, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS |
// FILE_WRITE_ACCESS): in, the product version as four u32; out, the driver's magic.
constexpr DWORD kIoctlDriverHandshake = 0x0008E000;
constexpr char kDriverMagic[4] = {'V', 'L', 'R', 'X'};

enum FatalId {
    kFatalDriverOpen = 1206,
    kFatalDriverHandshake = 1207,
    kFatalDeviceNotification = 1212,
};

// {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}
constexpr GUID kVolumeInterfaceClass = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// The control thread re-reports the status while the service thread changes it; one lock keeps
// each change and its report together, so the SCM never sees a torn or out-of-order status.
SRWLOCK g_StatusLock = SRWLOCK_INIT;

template <typename Change> void ChangeAndReportStatus(Change change) {
    AcquireSRWLockExclusive(&g_StatusLock);
    change(g_ServiceStatus);
    SetServiceStatus(g_hServiceStatus, &g_ServiceStatus);
    ReleaseSRWLockExclusive(&g_StatusLock);
}

void ReportStatus() {
    ChangeAndReportStatus([](SERVICE_STATUS&) {});
}

// Opens the file-system driver's control device and checks that the driver answers the
// product's version with its magic; anything else ends the process.
void CheckDriver() {
    g_hDriver = CreateFileW(L"\\\\.\\volax", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
    if (g_hDriver == INVALID_HANDLE_VALUE)
        RaiseFatalError(kFatalDriverOpen, GetLastError());

    char answer[sizeof(kDriverMagic)] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(g_hDriver, kIoctlDriverHandshake, g_ProductVersion, sizeof(g_ProductVersion), answer,
                         sizeof(answer), &returned, nullptr))
        RaiseFatalError(kFatalDriverHandshake, GetLastError());
    if (returned != sizeof(answer) || memcmp(answer, kDriverMagic, sizeof(answer)) != 0)
        RaiseFatalError(kFatalDriverHandshake, 0);
}

void RegisterVolumeNotifications() {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kVolumeInterfaceClass;
    g_hDevNotify = RegisterDeviceNotificationW(g_hServiceStatus, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    if (g_hDevNotify == nullptr)
        RaiseFatalError(kFatalDeviceNotification, GetLastError());
}

// Runs on the thread that delivers the control; no STOP_PENDING is reported.
void Shutdown() {
    UnregisterDeviceNotification(g_hDevNotify);
    g_hDevNotify = nullptr;

    // The letters the manager gave stay defined.
    StopDriveLetterDaemon();
    delete g_pDriveLetterMgr;
    g_pDriveLetterMgr = nullptr;

    StopUpdateClient();

    ChangeAndReportStatus([](SERVICE_STATUS& status) {
        status.dwWin32ExitCode = NO_ERROR;
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwCheckPoint = 0;
        status.dwWaitHint = 0;
    });
}

} // namespace

void ServiceStartup() {
    CheckDriver();
    StartUpdateClient(kUpdateInfoUrl);
    CreateServiceRunningEvent();

    // The initial scan runs here, while the status still says START_PENDING.
    auto* letters = new CDriveLetterMgr();
    letters->InitialScan();
    g_pDriveLetterMgr = letters;
    StartDriveLetterDaemon();

    RegisterVolumeNotifications();
    // A volume that arrived between the scan and the registration sent no event; one pass finds it,
    // and known devices are not probed again.
    SetEvent(g_pDriveLetterMgr->arrivalEvent);
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_ServiceStatus = {};
    g_ServiceStatus.dwServiceType = kServiceType;
    g_ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
    g_ServiceStatus.dwWaitHint = kStartWaitHint;

    g_hServiceStatus = RegisterServiceCtrlHandlerExW(kServiceName, ServiceCtrlHandlerEx, nullptr);
    if (g_hServiceStatus == nullptr)
        return;
    ReportStatus();

    ServiceStartup();

    ChangeAndReportStatus([](SERVICE_STATUS& status) {
        status.dwCurrentState = SERVICE_RUNNING;
        status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        status.dwCheckPoint = 0;
        status.dwWaitHint = 0;
    });
}

DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID, LPVOID) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Shutdown();
        return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT:
        // The volume work is the manager's thread's; here its events are only signalled.
        if (g_pDriveLetterMgr != nullptr) {
            if (eventType == DBT_DEVICEARRIVAL)
                SetEvent(g_pDriveLetterMgr->arrivalEvent);
            else if (eventType == DBT_DEVICEREMOVECOMPLETE)
                SetEvent(g_pDriveLetterMgr->removalEvent);
        }
        ReportStatus();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        ReportStatus();
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}
