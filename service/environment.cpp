#include "environment.h"

#include <memory>

_locale_t g_Locale = nullptr;
OSVERSIONINFOEXW g_OsVersion = {};
uint32_t g_FileVersion[4] = {};
uint32_t g_ProductVersion[4] = {};
std::wstring g_OriginalFilename;
std::wstring g_ProductName;
std::wstring g_ModulePath;
uint32_t g_IsVistaOrLater = 0;
AddMandatoryAceFn g_pfnAddMandatoryAce = nullptr;

uint8_t g_OsVersionLoaded = 0;
uint8_t g_VersionInfoLoaded = 0;
uint8_t g_ModulePathLoaded = 0;

namespace {

// Only the US English, UTF-16 string table ("040904b0") is read; other translations may precede
// it in the translation list.
constexpr WORD kStringTableLanguage = 0x0409;
constexpr WORD kStringTableCodePage = 1200;

struct LangCodePage {
    WORD language;
    WORD codePage;
};

const wchar_t* QueryString(const void* block, const wchar_t* path) {
    void* value = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(block, path, &value, &units) || value == nullptr)
        throw 1;
    return static_cast<const wchar_t*>(value);
}

} // namespace

bool CreateAppLocale() {
    g_Locale = _create_locale(LC_CTYPE, "");
    if (g_Locale == nullptr)
        g_Locale = _create_locale(LC_CTYPE, ".1252");
    return g_Locale != nullptr;
}

void FreeAppLocale() {
    if (g_Locale != nullptr) {
        _free_locale(g_Locale);
        g_Locale = nullptr;
    }
}

void ReadOsVersion() {
    g_OsVersion = {};
    g_OsVersion.dwOSVersionInfoSize = sizeof(g_OsVersion);
    // A failure leaves the zeroed structure: version 0 counts as "before 6.0" everywhere.
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&g_OsVersion));
    g_OsVersionLoaded = 1;
}

void SplitVersion(uint32_t ms, uint32_t ls, uint32_t out[4]) {
    out[0] = ms >> 16;
    out[1] = ms & 0xFFFF;
    out[2] = ls >> 16;
    out[3] = ls & 0xFFFF;
}

bool ReadModulePath() {
    wchar_t buffer[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0)
        return false;
    buffer[MAX_PATH - 1] = L'\0';
    g_ModulePath = buffer;
    if (g_ModulePath.rfind(L'\\') == std::wstring::npos)
        return false;
    g_ModulePathLoaded = 1;
    return true;
}

int ReadOwnVersionInfo() {
    if (!g_ModulePathLoaded && !ReadModulePath())
        return 0;
    try {
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeW(g_ModulePath.c_str(), &handle);
        if (size == 0)
            throw 1;
        std::unique_ptr<BYTE[]> block(new BYTE[size]);
        if (!GetFileVersionInfoW(g_ModulePath.c_str(), 0, size, block.get()))
            throw 1;

        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.get(), L"\\", &value, &length) || value == nullptr ||
            length < sizeof(VS_FIXEDFILEINFO))
            throw 1;
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        SplitVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS, g_FileVersion);
        SplitVersion(fixed->dwProductVersionMS, fixed->dwProductVersionLS, g_ProductVersion);

        if (!VerQueryValueW(block.get(), L"\\VarFileInfo\\Translation", &value, &length) || value == nullptr)
            throw 1;
        const auto* pairs = static_cast<const LangCodePage*>(value);
        bool found = false;
        for (UINT i = 0; i < length / sizeof(LangCodePage) && !found; ++i)
            found = pairs[i].language == kStringTableLanguage && pairs[i].codePage == kStringTableCodePage;
        if (!found)
            throw 1;

        g_OriginalFilename = QueryString(block.get(), L"\\StringFileInfo\\040904b0\\OriginalFilename");
        g_ProductName = QueryString(block.get(), L"\\StringFileInfo\\040904b0\\ProductName");
    } catch (int) {
        return 0;
    }
    g_VersionInfoLoaded = 1;
    return 1;
}

int InitMandatoryLabelSupport() {
    g_IsVistaOrLater = g_OsVersion.dwMajorVersion >= 6 ? 1 : 0;
    if (!g_IsVistaOrLater)
        return 1;
    // Resolved at run time: older systems lack the export. The module stays loaded for the
    // process's lifetime.
    HMODULE advapi = LoadLibraryW(L"Advapi32.dll");
    if (advapi == nullptr)
        return 0;
    g_pfnAddMandatoryAce = reinterpret_cast<AddMandatoryAceFn>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "AddMandatoryAce")));
    return g_pfnAddMandatoryAce != nullptr ? 1 : 0;
}

LONG OpenSettingsKey(REGSAM access, int machine, HKEY* key) {
    return RegCreateKeyExW(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, L"Software\\Volarix", 0, nullptr,
                           REG_OPTION_NON_VOLATILE, access, nullptr, key, nullptr);
}
