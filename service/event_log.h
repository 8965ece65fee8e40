#pragma once
// The event log is the service's only log and carries one kind of entry: the fatal error that
// ends the process.
#include <windows.h>

#include <stdint.h>
#include <string>

// Serialises reports; initialised by RegisterEventLogSource, kept until the process ends.
extern CRITICAL_SECTION g_EventLogLock;
// The registered source, or null when none could be registered (every report is then skipped).
extern HANDLE g_hEventSource;

// Longest string one event carries, in UTF-16 units.
constexpr size_t kMaxEventTextUnits = 32766;

std::wstring& FormatFatalError(std::wstring& out, int id, uint16_t error);
void RegisterEventLogSource(const wchar_t* source, const wchar_t* messageFile);
LONG CreateEventLogSourceKey(const wchar_t* source, HKEY* key);
void ReportErrorEvent(const wchar_t* text);
void ReportErrorEventUnlocked(const wchar_t* text);

// Reports fatal error id with the low 16 bits of error and ends the process with exit code 1, at
// once, from whatever thread calls it.
[[noreturn]] void RaiseFatalError(int id, DWORD error);
