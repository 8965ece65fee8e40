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
extern std::wstring g_DataFolder; // always ends in a backslash once created
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
bool CreateDataFolder();
int InitMandatoryLabelSupport();
void EnsureDataFolderSlash();

// The data folder (g_DataFolder) held open while the service writes into it.
class CDataFolderLock {
  public:
    CDataFolderLock() = default;
    ~CDataFolderLock();
    CDataFolderLock(const CDataFolderLock&) = delete;
    CDataFolderLock& operator=(const CDataFolderLock&) = delete;

    // Creates the folder when missing and gives it Administrators as owner and the protected DACL. An
    // existing folder is used only when its whole security state is the service's own: owned by SYSTEM,
    // Administrators or the service's account, and no entry of its DACL granting anyone else more than
    // reading. Anything else in its place (another's folder, one whose descriptor cannot be read or that
    // denies the service, a file, a link) is renamed, untouched, to a new name beside it and a new folder
    // made in its place; so is a folder that someone holds open with DELETE. False when that cannot be
    // done or the descriptor cannot be set. While held, the folder can be neither renamed nor deleted, so
    // paths through it lead to the folder that was checked. Called once per object.
    bool Acquire();

  private:
    HANDLE m_folder = INVALID_HANDLE_VALUE;
};

// Opens (creating when missing) "Software\<product>" under HKLM (machine != 0) or HKCU; returns the
// Win32 status of RegCreateKeyExW.
LONG OpenSettingsKey(REGSAM access, int machine, HKEY* key);
