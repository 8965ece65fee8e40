#include "report_client.h"

#include "reg_key_holder.h"

namespace {

const wchar_t kMachineIdValue[] = L"UUID";

// Reads exactly 4 bytes; a longer value fails with ERROR_MORE_DATA.
bool QueryDword(HKEY key, const wchar_t* name, uint32_t* value) {
    DWORD size = sizeof(*value);
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
           ERROR_SUCCESS;
}

} // namespace

LONG OpenReportClientKey(REGSAM access, HKEY* key) {
    CRegKeyHolder software;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  access | KEY_WOW64_64KEY, nullptr, software.Receive(), nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    return RegCreateKeyExW(software.Get(), L"qrepcli.dll", 0, nullptr, REG_OPTION_NON_VOLATILE,
                           access | KEY_WOW64_64KEY, nullptr, key, nullptr);
}

uint32_t ReadReportClientValue(const wchar_t* name) {
    CRegKeyHolder key;
    uint32_t value = 0;
    if (OpenReportClientKey(KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS ||
        !QueryDword(key.Get(), name, &value))
        return 0;
    return value;
}

uint32_t GetReportMachineId() {
    uint32_t value = 0;
    {
        CRegKeyHolder key;
        if (OpenReportClientKey(KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS)
            return 0;
        if (QueryDword(key.Get(), kMachineIdValue, &value))
            return value;
    }
    CRegKeyHolder key;
    if (OpenReportClientKey(KEY_SET_VALUE, key.Receive()) != ERROR_SUCCESS)
        return 0;
    value = GetTickCount();
    if (RegSetValueExW(key.Get(), kMachineIdValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof(value)) != ERROR_SUCCESS)
        return 0;
    return value;
}
