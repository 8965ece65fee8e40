#pragma once
// The process's unhandled-exception filter: when crash reporting is switched on it writes a UTF-16
// report (time, identity and version, exception code, OS version, loaded modules, call stack) to
// the temporary folder, hands it to the upload library qrepcli.dll and deletes it; the process
// then ends. Otherwise the exception goes on to the filter that was installed before.
#include <windows.h>

#include <cstdint>

extern LPTOP_LEVEL_EXCEPTION_FILTER g_PrevCrashFilter;

// The upload library's export: report path, product name, machine id. It must have consumed the
// file when it returns; its result is not looked at.
typedef DWORD(WINAPI* UploadCrashReportWFn)(const wchar_t* reportPath, const wchar_t* productName,
                                            DWORD machineId);

// The first thing main does; the filter stays for the life of the process.
void InstallCrashHandler();
// Installs CrashFilter and keeps the filter it replaces in g_PrevCrashFilter.
void SetCrashFilter();

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers);

// passOn is 1 until the report stage begins, 0 from then on: the exception is passed on only when
// the report was never started (reporting off, or locale or version information unavailable).
void WriteCrashReport(EXCEPTION_POINTERS* pointers, uint32_t* passOn);

// Bob Jenkins' one-at-a-time hash of the executable's MD5 digest; 0 when the file cannot be read.
uint32_t GetModuleDigest32();
