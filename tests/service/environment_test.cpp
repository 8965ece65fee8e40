#include "environment.h"

#include "import_patch.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <shlobj.h>

#include <string.h>

#include <memory>
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

namespace {

const wchar_t* g_commonAppData;
std::vector<std::wstring> g_created;

HRESULT WINAPI FixedFolder(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
    EXPECT_EQ(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, folder);
    wcscpy(path, g_commonAppData);
    return S_OK;
}

BOOL WINAPI RecordDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    g_created.push_back(path);
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
}

} // namespace

TEST(DataFolder, EndsInOneBackslashWhateverTheSystemPathEndsIn) {
    CImportPatch folder("shell32.dll", "SHGetFolderPathW", reinterpret_cast<void*>(&FixedFolder));
    CImportPatch create("kernel32.dll", "CreateDirectoryW", reinterpret_cast<void*>(&RecordDirectory));
    ASSERT_TRUE(folder.Active() && create.Active());
    g_ProductName = L"Volarix";
    for (const wchar_t* base : {L"C:\\ProgramData", L"C:\\ProgramData\\"}) {
        g_commonAppData = base;
        // An existing folder is no failure.
        ASSERT_TRUE(CreateDataFolder());
        EXPECT_EQ(L"C:\\ProgramData\\Volarix\\", g_DataFolder);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\ProgramData\\Volarix", L"C:\\ProgramData\\Volarix"}),
              g_created);

    g_DataFolder.clear();
    EnsureDataFolderSlash();
    EXPECT_TRUE(g_DataFolder.empty());
}

std::wstring g_folderSddl;

BOOL WINAPI RecordDirectorySecurity(LPCWSTR, LPSECURITY_ATTRIBUTES security) {
    wchar_t* text = nullptr;
    if (security != nullptr && security->lpSecurityDescriptor != nullptr &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, nullptr)) {
        g_folderSddl = text;
        LocalFree(text);
    }
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
}

// Wine keeps no descriptor given at creation, so the one handed to CreateDirectoryW is checked.
TEST(DataFolder, ANewFolderGetsItsOwnProtectedDacl) {
    CImportPatch folder("shell32.dll", "SHGetFolderPathW", reinterpret_cast<void*>(&FixedFolder));
    CImportPatch create("kernel32.dll", "CreateDirectoryW",
                        reinterpret_cast<void*>(&RecordDirectorySecurity));
    ASSERT_TRUE(folder.Active() && create.Active());
    g_commonAppData = L"C:\\ProgramData";
    const std::wstring saved = g_ProductName;
    g_ProductName = L"Volarix";
    EXPECT_TRUE(CreateDataFolder());
    g_ProductName = saved;
    g_DataFolder.clear();
    EXPECT_EQ(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GXGR;;;BU)", g_folderSddl);
    g_folderSddl.clear();
}

// Each call as "<object's path> <what> <descriptor>"; Wine keeps no descriptor, so none is set.
BOOL WINAPI RecordObjectSecurity(HANDLE object, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR sd) {
    wchar_t path[MAX_PATH] = {}, *text = nullptr;
    GetFinalPathNameByHandleW(object, path, MAX_PATH, 0);
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, what, &text, nullptr);
    g_created.push_back(path + (L" " + std::to_wstring(what) + L" ") + text);
    LocalFree(text);
    return TRUE;
}

// The object the row puts in the folder's place, known by its identity, which a rename keeps.
BY_HANDLE_FILE_INFORMATION g_theirs;
bool IsTheirs(HANDLE object) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(object, &info) &&
           info.dwVolumeSerialNumber == g_theirs.dwVolumeSerialNumber &&
           info.nFileIndexHigh == g_theirs.nFileIndexHigh && info.nFileIndexLow == g_theirs.nFileIndexLow;
}

// Wine reads every file back as owned by the account that runs the test, which is the service's own, and
// enforces no DACL: these stand in for what Windows would answer about the row's object. A null
// descriptor is Wine's own answer, an empty one a descriptor that cannot be read.
const wchar_t* g_theirDescriptor;
bool g_theirsDeniesUs;
std::wstring g_opens; // per open of the folder's path: H held, M moving aside, ? anything else
CImportPatch *g_securityPatch, *g_openPatch;

DWORD WINAPI DescribeTheirs(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID* owner,
                            PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* sd) {
    if (g_theirDescriptor == nullptr || !IsTheirs(object))
        return g_securityPatch->Original<decltype(&GetSecurityInfo)>()(object, type, what, owner, group, dacl,
                                                                       sacl, sd);
    BOOL present, defaulted;
    PACL theirDacl = nullptr;
    if (!*g_theirDescriptor || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                   g_theirDescriptor, SDDL_REVISION_1, sd, nullptr))
        return ERROR_ACCESS_DENIED;
    if (owner != nullptr)
        GetSecurityDescriptorOwner(*sd, owner, &defaulted);
    // Without a DACL, GetSecurityInfo answers a null one.
    if (dacl != nullptr)
        *dacl =
            GetSecurityDescriptorDacl(*sd, &present, &theirDacl, &defaulted) && present ? theirDacl : nullptr;
    return ERROR_SUCCESS;
}

// A DACL that denies the service leaves it only what the parent folder grants: DELETE and the attributes.
HANDLE WINAPI OpenAsWindowsWould(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE model) {
    const bool held =
        access == (FILE_LIST_DIRECTORY | READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES) &&
        share == (FILE_SHARE_READ | FILE_SHARE_WRITE);
    const bool moving = access == (DELETE | FILE_READ_ATTRIBUTES) && share == 7;
    if (g_DataFolder.compare(0, g_DataFolder.size() - 1, path) == 0)
        g_opens += held ? L'H' : moving ? L'M' : L'?';
    HANDLE object = g_openPatch->Original<decltype(&CreateFileW)>()(path, access, share, security,
                                                                    disposition, flags, model);
    if (object != INVALID_HANDLE_VALUE && g_theirsDeniesUs && !moving && IsTheirs(object)) {
        CloseHandle(object);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return object;
}

// The owner makes the folder again as soon as theirs is moved.
CImportPatch* g_renamePatch;
BOOL WINAPI RenameAndMakeAgain(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    const BOOL renamed =
        g_renamePatch->Original<decltype(&SetFileInformationByHandle)>()(file, kind, info, size);
    CreateDirectoryW(g_DataFolder.substr(0, g_DataFolder.size() - 1).c_str(), nullptr);
    return renamed;
}

TEST(DataFolder, OnlyTheServicesOwnIsKeptAndAnythingElseIsMovedAsideUntouched) {
    const DWORD none = ~0u;
    const struct {
        const char* name;
        const wchar_t* descriptor;
        bool file, deniesUs, madeAgain;
        DWORD earlierShare; // the share mode of a handle with DELETE opened before, or none
        const wchar_t* opens;
        bool moved, held;
    } rows[] = {
        {"own", nullptr, false, false, false, none, L"H", false, true},
        {"own, as Windows keeps it",
         L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(D;;FA;;;BG)", false,
         false, false, none, L"H", false, true},
        {"another's", L"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)", false, false, false, none, L"HMH", true, true},
        {"Administrators', Users may add files", L"O:BAD:P(A;;FA;;;BA)(A;;0x1200ab;;;BU)", false, false,
         false, none, L"HMH", true, true},
        {"Administrators', anyone may write", L"O:BAD:P(A;;FA;;;BA)(A;OICIIO;GW;;;WD)", false, false, false,
         none, L"HMH", true, true},
        {"NULL DACL", L"O:BA", false, false, false, none, L"HMH", true, true},
        {"descriptor unreadable", L"", false, false, false, none, L"HMH", true, true},
        {"denies the service", nullptr, false, true, false, none, L"HMH", true, true},
        {"a plain file", nullptr, true, false, false, none, L"HMH", true, true},
        {"another's, made again once moved", L"O:S-1-5-21-1-2-3-1001D:", false, false, true, none, L"HM",
         true, false},
        {"held with DELETE, delete shared", nullptr, false, false, false, 7, L"HMH", true, true},
        {"held with DELETE", nullptr, false, false, false, FILE_SHARE_READ | FILE_SHARE_WRITE, L"HM", false,
         false},
    };
    CImportPatch security("advapi32.dll", "SetKernelObjectSecurity",
                          reinterpret_cast<void*>(&RecordObjectSecurity));
    ASSERT_TRUE(security.Active());
    wchar_t temp[MAX_PATH];
    // A name of this process's own: the program may run beside another copy of itself.
    const std::wstring made = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + L"environment_test_" +
                              std::to_wstring(GetCurrentProcessId());
    g_DataFolder = made + L"\\";
    const std::vector<std::wstring> secured = {
        L"\\\\?\\" + made + L" 5 O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GXGR;;;BU)"};
    const char kLeft[] = "left by its owner";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveDirectoryW(made.c_str());
        // What its owner left: a folder in the stored file's place, or a file of their own.
        HANDLE theirs = INVALID_HANDLE_VALUE;
        if (row.file) {
            theirs = CreateFileW(made.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            DWORD written = 0;
            WriteFile(theirs, kLeft, sizeof kLeft, &written, nullptr);
        } else {
            CreateDirectoryW(made.c_str(), nullptr);
            CreateDirectoryW((made + L"\\updates.dat").c_str(), nullptr);
            theirs = CreateFileW(made.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        }
        ASSERT_TRUE(GetFileInformationByHandle(theirs, &g_theirs));
        CloseHandle(theirs);
        HANDLE earlier = row.earlierShare == none
                             ? INVALID_HANDLE_VALUE
                             : CreateFileW(made.c_str(), DELETE, row.earlierShare, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ASSERT_EQ(row.earlierShare == none, earlier == INVALID_HANDLE_VALUE);
        g_theirDescriptor = row.descriptor;
        g_theirsDeniesUs = row.deniesUs;
        g_opens.clear();
        g_created.clear();
        bool held;
        {
            CImportPatch describe("advapi32.dll", "GetSecurityInfo",
                                  reinterpret_cast<void*>(&DescribeTheirs));
            CImportPatch open("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&OpenAsWindowsWould));
            std::unique_ptr<CImportPatch> rename;
            if (row.madeAgain)
                rename.reset(new CImportPatch("kernel32.dll", "SetFileInformationByHandle",
                                              reinterpret_cast<void*>(&RenameAndMakeAgain)));
            g_securityPatch = &describe;
            g_openPatch = &open;
            g_renamePatch = rename.get();
            held = CDataFolderLock().Acquire();
        }
        if (earlier != INVALID_HANDLE_VALUE)
            CloseHandle(earlier);
        EXPECT_EQ(row.held, held);
        EXPECT_EQ(row.opens, g_opens);
        EXPECT_EQ(row.held ? secured : std::vector<std::wstring>{}, g_created);

        // Beside it, under its name and a dot, as its owner left it.
        std::vector<std::wstring> aside;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((made + L".*").c_str(), &found);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
            if (temp + std::wstring(found.cFileName) != made)
                aside.push_back(temp + std::wstring(found.cFileName));
        FindClose(find);
        ASSERT_EQ(row.moved ? 1u : 0u, aside.size());
        const std::wstring others = row.moved ? aside[0] : made;
        if (row.file) {
            char left[sizeof kLeft] = {};
            DWORD read = 0;
            HANDLE file = CreateFileW(others.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_TRUE(ReadFile(file, left, sizeof left, &read, nullptr) && read == sizeof kLeft);
            CloseHandle(file);
            EXPECT_STREQ(kLeft, left);
            DeleteFileW(others.c_str());
        } else {
            EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((others + L"\\updates.dat").c_str()));
            RemoveDirectoryW((others + L"\\updates.dat").c_str());
            RemoveDirectoryW(others.c_str());
        }
        // In the folder's place, a new one, empty.
        EXPECT_EQ(row.moved, GetFileAttributesW(made.c_str()) == FILE_ATTRIBUTE_DIRECTORY);
        RemoveDirectoryW(made.c_str());
    }
    g_DataFolder.clear();
    g_created.clear();
}

TEST(DataFolder, FailsWhenTheSystemHasNoCommonFolder) {
    auto none = [](HWND, int, HANDLE, DWORD, LPWSTR) -> HRESULT { return E_FAIL; };
    CImportPatch folder(
        "shell32.dll", "SHGetFolderPathW",
        reinterpret_cast<void*>(static_cast<HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR)>(none)));
    ASSERT_TRUE(folder.Active());
    EXPECT_FALSE(CreateDataFolder());
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
