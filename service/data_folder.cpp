#include "data_folder.h"

#include "environment.h"
#include "reg_key_holder.h"

#include <memory>
#include <ntsecapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <string.h>
#include <winternl.h>

std::wstring g_DataFolder;
const wchar_t kDataFolderIdentityValue[] = L"DataFolderId";

namespace {

// Owned by Administrators, not by whoever made it (an owner that SYSTEM and an elevated administrator alike
// may set); protected, so nothing is inherited from the common application-data folder. Users get no right on
// the folder itself, so that none of them can open it and hold it against the service; what the service
// creates inside inherits their reading, and they reach it by its path, past the folder's traverse check,
// which Windows lets them bypass.
const wchar_t kDataFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GRGX;;;BU)";

// Sharing counts none of these: no one's share mode refuses the service this handle, and its own binds no
// one. That no one else renames the folder meanwhile is the DACL's to decide: it lets administrators alone.
constexpr DWORD kHeldFolderAccess =
    FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What stands in the folder's place is judged through a handle with this alone, which no share mode refuses
// and which the parent's listing right grants whatever the object's own DACL says: the recorded folder is
// always recognised, and never moved aside.
constexpr DWORD kProbeAccess = FILE_READ_ATTRIBUTES;

// Moving aside needs DELETE alone, which SYSTEM's delete-child on the common application-data folder grants
// whatever the object's own DACL says. Everything is shared, so that another's handle stops the move only
// when it does not share delete.
constexpr DWORD kMoveAsideAccess = DELETE | FILE_READ_ATTRIBUTES;

// Random bytes in the name a folder is moved aside to: a name that another user could foresee, they
// could take first, and every move would fail.
constexpr size_t kAsideNameBytes = 8;

// A folder's identity as GetFileInformationByHandleEx's FileIdInfo class answers it (FILE_ID_INFO), which the
// headers declare only for Windows 8 on, the first to know the class.
struct FolderIdentity {
    uint64_t volumeSerialNumber;
    uint8_t fileId[16];
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// The recorded value holds exactly one identity; a value of another size or type counts as none.
constexpr DWORD kIdentityBytes = sizeof(FolderIdentity);

bool IsRealFolder(DWORD attributes) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
           FILE_ATTRIBUTE_DIRECTORY;
}

// The object in the folder's place itself, never what a link there points to. The path's own attributes as
// well, for file systems that follow a link on open whatever the flags say: a link at the path must be what
// was opened.
HANDLE OpenInPlace(const std::wstring& path, DWORD access, DWORD* attributes) {
    HANDLE object = CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (object == INVALID_HANDLE_VALUE)
        return object;
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD inPlace = GetFileAttributesW(path.c_str());
    if (!GetFileInformationByHandle(object, &info) || inPlace == INVALID_FILE_ATTRIBUTES ||
        ((info.dwFileAttributes ^ inPlace) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(object);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    *attributes = info.dwFileAttributes;
    return object;
}

bool ReadIdentity(HANDLE object, FolderIdentity* identity) {
    *identity = {};
    if (GetFileInformationByHandleEx(object, kFileIdInfo, identity, sizeof *identity))
        return true;
    // Before Windows 8 the class is unknown; the volume's serial number and the 64-bit file index name the
    // object there.
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(object, &info))
        return false;
    const uint64_t index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    identity->volumeSerialNumber = info.dwVolumeSerialNumber;
    memcpy(identity->fileId, &index, sizeof index);
    return true;
}

bool ReadRecordedIdentity(HKEY settings, FolderIdentity* identity) {
    DWORD type = REG_NONE, size = kIdentityBytes;
    return RegQueryValueExW(settings, kDataFolderIdentityValue, nullptr, &type,
                            reinterpret_cast<BYTE*>(identity), &size) == ERROR_SUCCESS &&
           type == REG_BINARY && size == kIdentityBytes;
}

// What stands in the folder's place: nothing, the recorded folder (then opened for holding into *folder),
// anything else, or something that cannot be judged now.
enum class Place { kNothing, kRecorded, kOther, kUnjudged };

Place OpenRecordedFolder(const std::wstring& path, HKEY settings, HANDLE* folder) {
    DWORD attributes = 0;
    HANDLE probe = OpenInPlace(path, kProbeAccess, &attributes);
    if (probe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND      ? Place::kNothing
               : error == ERROR_SHARING_VIOLATION ? Place::kUnjudged
                                                  : Place::kOther;
    }
    FolderIdentity recorded, inPlace;
    const bool own = IsRealFolder(attributes) && ReadRecordedIdentity(settings, &recorded) &&
                     ReadIdentity(probe, &inPlace) && memcmp(&recorded, &inPlace, sizeof inPlace) == 0;
    // Reopened through the probe, so that the handle is to the very object whose identity was read.
    if (own)
        *folder = ReOpenFile(probe, kHeldFolderAccess, kShareAll,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
    CloseHandle(probe);
    return !own ? Place::kOther : *folder != INVALID_HANDLE_VALUE ? Place::kRecorded : Place::kUnjudged;
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

    DWORD attributes = 0;
    HANDLE object = OpenInPlace(path, kMoveAsideAccess, &attributes);
    if (object == INVALID_HANDLE_VALUE)
        return false;
    const bool moved = SetFileInformationByHandle(object, FileRenameInfo, rename, size);
    CloseHandle(object);
    return moved;
}

// A new folder, so that no one else ever held a handle to it, with its descriptor from the first moment. A
// link in its place is not followed: creating through a directory link whose target does not exist would make
// the target, wherever the link points. Its identity is recorded before it is used.
HANDLE MakeFolder(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, HKEY settings) {
    UNICODE_STRING name;
    if (!RtlDosPathNameToNtPathName_U(path.c_str(), &name, nullptr, nullptr))
        return INVALID_HANDLE_VALUE;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, OBJ_CASE_INSENSITIVE, nullptr, descriptor);
    IO_STATUS_BLOCK io;
    HANDLE folder = nullptr;
    const NTSTATUS status = NtCreateFile(
        &folder, kHeldFolderAccess, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll, FILE_CREATE,
        FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    RtlFreeUnicodeString(&name);
    if (!NT_SUCCESS(status))
        return INVALID_HANDLE_VALUE;
    FolderIdentity identity;
    if (!ReadIdentity(folder, &identity) ||
        RegSetValueExW(settings, kDataFolderIdentityValue, 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(&identity), kIdentityBytes) != ERROR_SUCCESS) {
        CloseHandle(folder);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}

} // namespace

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
    // that cannot be made the service's own is tried again before every store and stores nothing until
    // then; the service runs on without it.
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
    CRegKeyHolder settings;
    if (OpenSettingsKey(KEY_QUERY_VALUE | KEY_SET_VALUE, 1, settings.Receive()) != ERROR_SUCCESS)
        return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataFolderSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    const Place place = OpenRecordedFolder(path, settings.Get(), &m_folder);
    // Anything else is left to whoever made it, and a new folder takes its place. When the old cannot be
    // moved (it is held open without delete sharing) or the path is taken again meanwhile, nothing is stored
    // until the next try.
    if (place == Place::kOther ? MoveAside(path) : place == Place::kNothing)
        m_folder = MakeFolder(path, descriptor, settings.Get());
    // Set again on the handle alone, in case an administrator changed it; SetSecurityInfo would also rewrite
    // what lies inside.
    const bool held =
        m_folder != INVALID_HANDLE_VALUE &&
        SetKernelObjectSecurity(m_folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return held;
}
