#include "event_log.h"

#include "reg_key_holder.h"
#include "string_helpers.h"

#include <memory>

CRITICAL_SECTION g_EventLogLock;
HANDLE g_hEventSource = nullptr;

namespace {

constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
// The one message of the executable's message table: "%1\r\n\r\n".
constexpr DWORD kEventId = 1;

} // namespace

std::wstring& FormatFatalError(std::wstring& out, int id, uint16_t error) {
    const uint32_t code = 0x20000000u | ((static_cast<uint32_t>(id) & 0x1FFF) << 16) | error;
    FormatStringW(out,
                  L"The program encounted a fatal error: 0x%08X.Please contact support for further "
                  L"assistance.",
                  code);
    return out;
}

LONG CreateEventLogSourceKey(const wchar_t* source, HKEY* key) {
    CRegKeyHolder application;
    LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application", 0,
                      KEY_SET_VALUE, application.Receive());
    if (status != ERROR_SUCCESS)
        return status;
    return RegCreateKeyExW(application.Get(), source, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                           nullptr, key, nullptr);
}

void RegisterEventLogSource(const wchar_t* source, const wchar_t* messageFile) {
    InitializeCriticalSection(&g_EventLogLock);
    g_hEventSource = nullptr;

    {
        CRegKeyHolder key;
        if (CreateEventLogSourceKey(source, key.Receive()) != ERROR_SUCCESS)
            return;
        // The viewer does without these values; a failure to write them does not stop the reports.
        RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&kTypesSupported), sizeof(kTypesSupported));
        RegSetValueExW(key.Get(), L"EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(messageFile),
                       static_cast<DWORD>((wcslen(messageFile) + 1) * sizeof(wchar_t)));
    }
    g_hEventSource = RegisterEventSourceW(nullptr, source);
}

void ReportErrorEventUnlocked(const wchar_t* text) {
    if (g_hEventSource == nullptr)
        return;
    std::unique_ptr<wchar_t[]> cut;
    if (wcslen(text) > kMaxEventTextUnits) {
        cut.reset(new wchar_t[kMaxEventTextUnits + 1]);
        wmemcpy(cut.get(), text, kMaxEventTextUnits);
        cut[kMaxEventTextUnits] = L'\0';
        text = cut.get();
    }
    const wchar_t* strings[1] = {text};
    ReportEventW(g_hEventSource, EVENTLOG_ERROR_TYPE, 0, kEventId, nullptr, 1, 0, strings, nullptr);
}

void ReportErrorEvent(const wchar_t* text) {
    EnterCriticalSection(&g_EventLogLock);
    ReportErrorEventUnlocked(text);
    LeaveCriticalSection(&g_EventLogLock);
}

void RaiseFatalError(int id, DWORD error) {
    std::wstring text;
    ReportErrorEvent(FormatFatalError(text, id, static_cast<uint16_t>(error)).c_str());
    ExitProcess(1);
}
