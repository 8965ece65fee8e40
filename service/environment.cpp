#include "environment.h"

#include <aclapi.h>
#include <memory>
#include <ntsecapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <string.h>

_locale_t g_Locale = nullptr;
OSVERSIONINFOEXW g_OsVersion = {};
uint32_t g_FileVersion[4] = {};
uint32_t g_ProductVersion[4] = {};
std::wstring g_OriginalFilename;
std::wstring g_ProductName;
std::wstring g_ModulePath;
std::wstring g_DataFolder;
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

// Owned by Administrators, not by whoever made it (an owner that SYSTEM and an elevated
// administrator alike may set); protected, so nothing is inherited from the common application-data
// folder; object and container inherit, so what the service creates inside gets the same.
const wchar_t kDataFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)";

// Listing is an access that sharing counts, and delete is not shared: while the handle is open no one can
// rename or delete the folder, and an earlier handle with DELETE makes the open fail. So paths through the
// folder lead to the folder that was judged.
constexpr DWORD kHeldFolderAccess =
    FILE_LIST_DIRECTORY | READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;

// Moving aside needs DELETE alone, which SYSTEM's delete-child on the common application-data folder grants
// whatever the object's own DACL says; the attributes tell what was opened. Everything is shared, so that
// another's handle stops the move only when it does not share delete.
constexpr DWORD kMoveAsideAccess = DELETE | FILE_READ_ATTRIBUTES;

// The most an entry of the folder's DACL may grant anyone but the service's accounts: reading, listing,
// traversing, and reading attributes and the descriptor.
constexpr ACCESS_MASK kOthersRights = FILE_LIST_DIRECTORY | FILE_READ_EA | FILE_TRAVERSE |
                                      FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE | GENERIC_READ |
                                      GENERIC_EXECUTE;

// Random bytes in the name a folder is moved aside to: a name that another user could foresee, they
// could take first, and every move would fail.
constexpr size_t kAsideNameBytes = 8;

struct LangCodePage {
    WORD language;
    WORD codePage;
};

bool IsRealFolder(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
           FILE_ATTRIBUTE_DIRECTORY;
}

const wchar_t* QueryString(const void* block, const wchar_t* path) {
    void* value = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(block, path, &value, &units) || value == nullptr)
        throw 1;
    return static_cast<const wchar_t*>(value);
}

// The object in the folder's place itself, never what a link there points to, and when folder is set only a
// real folder. The path's own attributes as well, for file systems that follow a link on open whatever the
// flags say: a link at the path must be what was opened.
HANDLE OpenInPlace(const std::wstring& path, DWORD access, DWORD share, bool folder) {
    HANDLE object = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD inPlace = GetFileAttributesW(path.c_str());
    if (object != INVALID_HANDLE_VALUE &&
        !(GetFileInformationByHandle(object, &info) && inPlace != INVALID_FILE_ATTRIBUTES &&
          ((info.dwFileAttributes ^ inPlace) & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
          (!folder || IsRealFolder(info.dwFileAttributes)))) {
        CloseHandle(object);
        object = INVALID_HANDLE_VALUE;
    }
    return object;
}

// LocalSystem as installed, but whichever account the service is configured to run as.
bool IsProcessAccount(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } account;
    DWORD size = 0;
    const bool same = GetTokenInformation(token, TokenUser, &account, sizeof account, &size) &&
                      EqualSid(account.user.User.Sid, sid);
    CloseHandle(token);
    return same;
}

bool IsServiceAccount(PSID sid) {
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsProcessAccount(sid);
}

// Anyone else who owns the folder, or whom its DACL lets change it, may hold it open with rights granted at
// that open, which outlive every descriptor set later, and may have left anything inside. A descriptor that
// cannot be read, a NULL DACL (everyone may do everything) and an entry of a kind not judged here count as
// another's; entries that deny only take rights away.
bool IsServicesOwn(HANDLE folder) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool own = owner != nullptr && dacl != nullptr && IsServiceAccount(owner);
    for (DWORD i = 0; own && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
            own = false;
        else if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
            own = (allowed->Mask & ~kOthersRights) == 0 || IsServiceAccount(&allowed->SidStart);
        } else
            own = ace->AceType == ACCESS_DENIED_ACE_TYPE;
    }
    LocalFree(descriptor);
    return own;
}

// The folder held for the service, or INVALID_HANDLE_VALUE when anything but a real folder in the service's
// own state is in its place, or when it is held with DELETE.
HANDLE OpenOwnFolder(const std::wstring& path) {
    HANDLE folder = OpenInPlace(path, kHeldFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, true);
    if (folder != INVALID_HANDLE_VALUE && !IsServicesOwn(folder)) {
        CloseHandle(folder);
        folder = INVALID_HANDLE_VALUE;
    }
    return folder;
}

// Whatever stands in the folder's place, a link itself and not what it points to, is renamed beside it and
// never deleted: as SYSTEM, a delete through what another user made could remove something elsewhere.
bool MoveAside(const std::wstring& path) {
    uint8_t random[kAsideNameBytes];
    if (!RtlGenRandom(random, sizeof random))
        return false;
    std::wstring aside = path + L'.';
    for (uint8_t byte : random) {
        aside += L"0123456789abcdef"[byte >> 4];
        aside += L"0123456789abcdef"[byte & 15];
    }
    const DWORD nameBytes = static_cast<DWORD>(aside.size() * sizeof(wchar_t));
    // The structure ends in the name's first unit; the rest of the name and its terminator follow it.
    const DWORD size = static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + nameBytes);
    std::unique_ptr<BYTE[]> buffer(new BYTE[size]());
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
    rename->FileNameLength = nameBytes;
    memcpy(rename->FileName, aside.c_str(), nameBytes);

    HANDLE object =
        OpenInPlace(path, kMoveAsideAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false);
    if (object == INVALID_HANDLE_VALUE)
        return false;
    const bool moved = SetFileInformationByHandle(object, FileRenameInfo, rename, size);
    CloseHandle(object);
    return moved;
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

void EnsureDataFolderSlash() {
    if (!g_DataFolder.empty() && g_DataFolder.back() != L'\\')
        g_DataFolder += L'\\';
}

bool CreateDataFolder() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                SHGFP_TYPE_CURRENT, buffer)))
        return false;
    g_DataFolder = buffer;
    EnsureDataFolderSlash();
    g_DataFolder += g_ProductName;
    g_DataFolder += L'\\';
    // Made the service's own before any store, so that no one else can prepare its contents. A folder
    // that cannot be made safe is tried again before every store and stores nothing until then; the
    // service runs on without it.
    CDataFolderLock().Acquire();
    return true;
}

CDataFolderLock::~CDataFolderLock() {
    if (m_folder != INVALID_HANDLE_VALUE)
        CloseHandle(m_folder);
}

bool CDataFolderLock::Acquire() {
    // Without its backslash: a trailing separator would resolve a link in the folder's place.
    const std::wstring path = g_DataFolder.substr(0, g_DataFolder.size() - 1);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataFolderSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    // Ordinary users may create folders under the common application data: a new folder gets the
    // descriptor at once, and an existing one of the service's is given it below.
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    CreateDirectoryW(path.c_str(), &security);
    m_folder = OpenOwnFolder(path);
    // Anything else is left to whoever made it, and a new object, which no earlier handle reaches, takes its
    // place. When that cannot be done (it is held open without delete sharing, or made again meanwhile),
    // nothing is stored until the next try.
    if (m_folder == INVALID_HANDLE_VALUE && MoveAside(path) && CreateDirectoryW(path.c_str(), &security))
        m_folder = OpenOwnFolder(path);
    // The descriptor is set on the handle alone: SetSecurityInfo would also rewrite what another user
    // left inside, links included.
    const bool held =
        m_folder != INVALID_HANDLE_VALUE &&
        SetKernelObjectSecurity(m_folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return held;
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
