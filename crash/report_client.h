#pragma once
// The upload library's registry key, HKLM "Software\qrepcli.dll" in the 64-bit view: the crash
// reporting switch (a value named after the product) and the machine id "UUID".
#include <windows.h>

#include <cstdint>

// Opens the key, creating it (and "Software") when missing; access gains KEY_WOW64_64KEY.
// Returns the Win32 status (0 on success).
LONG OpenReportClientKey(REGSAM access, HKEY* key);

// The first 4 bytes of the value, whatever its type; 0 when the key or value cannot be read or the
// value is longer than 4 bytes.
uint32_t ReadReportClientValue(const wchar_t* name);

// The machine id "UUID"; created from GetTickCount as REG_DWORD when it cannot be read. 0 when
// the registry fails.
uint32_t GetReportMachineId();
