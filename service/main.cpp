// The process entry: prepares the process, then hands the main thread to the Service Control
// Manager's dispatcher until the service has stopped.
#include "crash_filter.h"
#include "data_folder.h"
#include "dll_search.h"
#include "environment.h"
#include "event_log.h"
#include "service_host.h"
#include "ssl_init.h"
#include "winsock_init.h"

namespace {

enum FatalId {
    kFatalWinsock = 1200,
    kFatalSsl = 1201,
    kFatalMandatoryLabel = 1202,
    kFatalDataFolder = 1203,
};

} // namespace

int main(int, char**, char**) {
    // Before anything can load a library, the crash filter's upload library included.
    RestrictDllSearch();
    InstallCrashHandler();
    // Nothing can be reported before the event source exists.
    if (!CreateAppLocale())
        ExitProcess(1);
    ReadOsVersion();
    if (!ReadOwnVersionInfo())
        ExitProcess(1);
    RegisterEventLogSource(g_ProductName.c_str(), g_ModulePath.c_str());

    if (!InitWinsock())
        RaiseFatalError(kFatalWinsock, 0);
    if (!InitSsl())
        RaiseFatalError(kFatalSsl, 0);
    if (!InitMandatoryLabelSupport())
        RaiseFatalError(kFatalMandatoryLabel, 0);
    if (!CreateDataFolder())
        RaiseFatalError(kFatalDataFolder, 0);

    // Fails at once when the process was not started by the Service Control Manager; the
    // process then simply cleans up.
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);

    CleanupSsl();
    CleanupWinsock();
    FreeAppLocale();
    return 0;
}
