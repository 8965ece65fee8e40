#include "environment.h"

#include "import_patch.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

// Points the loaders at the service executable instead of the test program.
void UseServiceExecutable() {
    wchar_t path[MAX_PATH];
    ASSERT_NE(0, MultiByteToWideChar(CP_UTF8, 0, VOLARIX_SERVICE_EXE, -1, path, MAX_PATH));
    for (wchar_t* p = path; *p; ++p)
        if (*p == L'/')
            *p = L'\\';
    g_ModulePath = path;
    g_ModulePathLoaded = 1;
}

// MinGW reaches msvcrt's _create_locale through a pointer of its own, resolved on first use, not
// through the import table; the test swaps that pointer.
extern "C" _locale_t(__cdecl* __imp__create_locale)(int, const char*);
_locale_t(__cdecl* g_createLocale)(int, const char*);
std::vector<std::string> g_localeNames;

_locale_t __cdecl UserLocaleMissing(int category, const char* name) {
    g_localeNames.push_back(name);
    if (*name == '\0')
        return nullptr;
    return g_createLocale(category, name);
}

} // namespace

TEST(AppLocale, FallsBackToCodePage1252) {
    _free_locale(_create_locale(LC_CTYPE, "C")); // resolves the pointer
    g_createLocale = __imp__create_locale;
    __imp__create_locale = &UserLocaleMissing;
    const bool created = CreateAppLocale();
    __imp__create_locale = g_createLocale;
    ASSERT_TRUE(created);
    EXPECT_EQ((std::vector<std::string>{"", ".1252"}), g_localeNames);
    EXPECT_NE(nullptr, g_Locale);
    FreeAppLocale();
    EXPECT_EQ(nullptr, g_Locale);
}

TEST(OwnVersionInfo, ReadsTheShippedResource) {
    UseServiceExecutable();
    ASSERT_EQ(1, ReadOwnVersionInfo());
    EXPECT_EQ(1, g_VersionInfoLoaded);
    EXPECT_EQ(L"Volarix", g_ProductName);
    EXPECT_EQ(L"volarixsvc.exe", g_OriginalFilename);
    const uint32_t expected[4] = {1, 0, 2, 0};
    EXPECT_EQ(0, memcmp(expected, g_ProductVersion, sizeof(expected)));
    EXPECT_EQ(0, memcmp(expected, g_FileVersion, sizeof(expected)));
}

namespace {

// The translation list that the stand-in VerQueryValueW answers in place of the resource's own.
std::vector<WORD> g_translations;
decltype(&VerQueryValueW) g_verQueryValue;

BOOL WINAPI OtherTranslations(LPCVOID block, LPCWSTR name, LPVOID* value, PUINT length) {
    if (wcscmp(name, L"\\VarFileInfo\\Translation") == 0) {
        *value = g_translations.data();
        *length = static_cast<UINT>(g_translations.size() * sizeof(WORD));
        return TRUE;
    }
    return g_verQueryValue(block, name, value, length);
}

} // namespace

TEST(OwnVersionInfo, FindsUsEnglishUtf16BehindOtherTranslations) {
    UseServiceExecutable();
    CImportPatch patch("version.dll", "VerQueryValueW", reinterpret_cast<void*>(&OtherTranslations));
    ASSERT_TRUE(patch.Active());
    g_verQueryValue = patch.Original<decltype(&VerQueryValueW)>();
    g_translations = {0x0407, 1252, 0x0409, 1252, 0x0409, 1200};
    ASSERT_EQ(1, ReadOwnVersionInfo());
    EXPECT_EQ(L"Volarix", g_ProductName);
}

TEST(OwnVersionInfo, FailsWithoutUsEnglishUtf16) {
    UseServiceExecutable();
    CImportPatch patch("version.dll", "VerQueryValueW", reinterpret_cast<void*>(&OtherTranslations));
    ASSERT_TRUE(patch.Active());
    g_verQueryValue = patch.Original<decltype(&VerQueryValueW)>();
    g_translations = {0x0407, 1200, 0x0409, 1252};
    // What an earlier test read is set aside, so that only this read decides.
    const uint8_t savedLoaded = g_VersionInfoLoaded;
    const std::wstring savedName = g_ProductName;
    g_VersionInfoLoaded = 0;
    g_ProductName.clear();
    EXPECT_EQ(0, ReadOwnVersionInfo());
    EXPECT_EQ(0, g_VersionInfoLoaded);
    EXPECT_TRUE(g_ProductName.empty());
    g_VersionInfoLoaded = savedLoaded;
    g_ProductName = savedName;
}

TEST(OwnVersionInfo, FailsForAProgramWithoutVersionResource) {
    // The test program itself carries none.
    ASSERT_TRUE(ReadModulePath());
    EXPECT_NE(std::wstring::npos, g_ModulePath.rfind(L'\\'));
    EXPECT_EQ(0, ReadOwnVersionInfo());
}

TEST(MandatoryLabel, ResolvedFromWindows6On) {
    ReadOsVersion();
    EXPECT_EQ(1, g_OsVersionLoaded);
    EXPECT_EQ(sizeof(OSVERSIONINFOEXW), g_OsVersion.dwOSVersionInfoSize);
    ASSERT_GE(g_OsVersion.dwMajorVersion, 6u);
    EXPECT_EQ(1, InitMandatoryLabelSupport());
    EXPECT_EQ(1u, g_IsVistaOrLater);
    EXPECT_NE(nullptr, g_pfnAddMandatoryAce);
}

TEST(MandatoryLabel, NothingLoadedBeforeWindows6) {
    static int loads = 0;
    auto load = [](LPCWSTR) -> HMODULE {
        ++loads;
        return nullptr;
    };
    CImportPatch patch("kernel32.dll", "LoadLibraryW",
                       reinterpret_cast<void*>(static_cast<HMODULE(WINAPI*)(LPCWSTR)>(load)));
    ASSERT_TRUE(patch.Active());
    const OSVERSIONINFOEXW savedVersion = g_OsVersion;
    const auto savedAce = g_pfnAddMandatoryAce;
    const auto savedVista = g_IsVistaOrLater;
    g_pfnAddMandatoryAce = nullptr;
    g_OsVersion = {};
    g_OsVersion.dwMajorVersion = 5;
    g_OsVersion.dwMinorVersion = 1;
    EXPECT_EQ(1, InitMandatoryLabelSupport());
    EXPECT_EQ(0u, g_IsVistaOrLater);
    EXPECT_EQ(nullptr, g_pfnAddMandatoryAce);
    EXPECT_EQ(0, loads);
    g_OsVersion = savedVersion;
    g_pfnAddMandatoryAce = savedAce;
    g_IsVistaOrLater = savedVista;
}
