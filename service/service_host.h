#pragma once
// The service's life cycle under the Service Control Manager.
#include <windows.h>

#include <dbt.h>

// The name in the dispatcher table and in the handler registration.
constexpr const wchar_t* kServiceName = L"volarixsvc";

extern SERVICE_STATUS g_ServiceStatus;
extern SERVICE_STATUS_HANDLE g_hServiceStatus;
extern HANDLE g_hDriver;
extern HDEVNOTIFY g_hDevNotify;

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
// Returns with everything started, or ends the process.
void ServiceStartup();
DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
