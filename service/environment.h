#pragma once
// Facts about the process read once on the main thread before the dispatcher starts; afterwards
// they are only read, from any thread, without a lock.
#include "win_api.h"

#include <locale.h>
#include <stdint.h>
#include <string>

typedef BOOL(WINAPI* AddMandatoryAceFn)(PACL acl, DWORD revision, DWORD aceFlags, DWORD mandatoryPolicy,
                                        PSID labelSid);

extern _locale_t g_Locale;
extern OSVERSIONINFOEXW g_OsVersion;
extern uint32_t g_FileVersion[4];    // major, minor, build, revision
extern uint32_t g_ProductVersion[4]; // major, minor, build, revision
extern std::wstring g_OriginalFilename;
extern std::wstring g_ProductName;
extern std::wstring g_ModulePath;
extern uint32_t g_IsVistaOrLater;
extern AddMandatoryAceFn g_pfnAddMandatoryAce;

// Set once the matching loader has run (the crash reporter loads what start-up has not).
extern uint8_t g_OsVersionLoaded;
extern uint8_t g_VersionInfoLoaded;
extern uint8_t g_ModulePathLoaded;

bool CreateAppLocale();
void FreeAppLocale();
void ReadOsVersion();
int ReadOwnVersionInfo();
void SplitVersion(uint32_t ms, uint32_t ls, uint32_t out[4]);
bool ReadModulePath();
int InitMandatoryLabelSupport();

// Opens (creating when missing) "Software\<product>" under HKLM (machine != 0) or HKCU; returns the
// Win32 status of RegCreateKeyExW.
LONG OpenSettingsKey(REGSAM access, int machine, HKEY* key);
