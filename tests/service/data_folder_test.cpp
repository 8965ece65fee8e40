#include "data_folder.h"

#include "environment.h"
#include "import_patch.h"
#include "saved_registry_value.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

const wchar_t kSettingsKey[] = L"Software\\Volarix";
const wchar_t kOwnSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GXGR;;;BU)";
const char kLeft[] = "left by its owner";
const NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);

// Each create the service asked for, and the descriptor it gave, which Wine does not keep.
struct Create {
    std::wstring name;
    ULONG disposition, options;
    std::wstring sddl;
};
std::vector<Create> g_creates;
NTSTATUS g_refuseCreate; // when not 0, every create fails with it
CImportPatch* g_createPatch;

NTSTATUS NTAPI RecordCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                            PIO_STATUS_BLOCK io, PLARGE_INTEGER allocation, ULONG attributes, ULONG share,
                            ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
    Create create = {std::wstring(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t)),
                     disposition, options, L""};
    wchar_t* text = nullptr;
    if (object->SecurityDescriptor != nullptr &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(
            object->SecurityDescriptor, SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        create.sddl = text;
        LocalFree(text);
    }
    g_creates.push_back(create);
    if (g_refuseCreate != 0)
        return g_refuseCreate;
    return g_createPatch->Original<decltype(&NtCreateFile)>()(
        handle, access, object, io, allocation, attributes, share, disposition, options, ea, eaLength);
}

// The identity of what stands at path, as the value holds it (FILE_ID_INFO); empty when nothing does.
Bytes IdentityAt(const std::wstring& path) {
    Bytes identity(24);
    HANDLE object = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (object == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(object, static_cast<FILE_INFO_BY_HANDLE_CLASS>(18), identity.data(),
                                      static_cast<DWORD>(identity.size())))
        identity.clear();
    if (object != INVALID_HANDLE_VALUE)
        CloseHandle(object);
    return identity;
}

Bytes RecordedIdentity() {
    Bytes value(64);
    DWORD size = static_cast<DWORD>(value.size());
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, kDataFolderIdentityValue, RRF_RT_REG_BINARY, nullptr,
                     value.data(), &size) != ERROR_SUCCESS)
        return {};
    value.resize(size);
    return value;
}

void Record(const Bytes& identity) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, OpenSettingsKey(KEY_SET_VALUE, 1, &key));
    if (identity.empty())
        RegDeleteValueW(key, kDataFolderIdentityValue);
    else
        RegSetValueExW(key, kDataFolderIdentityValue, 0, REG_BINARY, identity.data(),
                       static_cast<DWORD>(identity.size()));
    RegCloseKey(key);
}

void PutFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, kLeft, sizeof kLeft, &written, nullptr));
    CloseHandle(file);
}

std::string FileText(const std::wstring& path) {
    char text[64] = {};
    DWORD read = 0;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    ReadFile(file, text, sizeof text - 1, &read, nullptr);
    CloseHandle(file);
    return text;
}

// Every data folder test has a place of this process's own (the program may run beside another copy of
// itself), the create recorded, and the identity value as it found it.
class DataFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_create.Active());
        g_createPatch = &m_create;
        g_creates.clear();
        g_refuseCreate = 0;
        wchar_t temp[MAX_PATH];
        m_temp.assign(temp, GetTempPathW(MAX_PATH, temp));
        m_place = m_temp + L"data_folder_test_" + std::to_wstring(GetCurrentProcessId());
        m_savedFolder = g_DataFolder;
        g_DataFolder = m_place + L"\\";
    }
    void TearDown() override { g_DataFolder = m_savedFolder; }

    CSavedRegistryValue m_savedIdentity{kSettingsKey, kDataFolderIdentityValue};
    CImportPatch m_create{"ntdll.dll", "NtCreateFile", reinterpret_cast<void*>(&RecordCreate)};
    std::wstring m_temp, m_place, m_savedFolder;
};

const wchar_t* g_commonAppData;

HRESULT WINAPI FixedFolder(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
    EXPECT_EQ(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, folder);
    wcscpy(path, g_commonAppData);
    return S_OK;
}

} // namespace

TEST_F(DataFolder, EndsInOneBackslashWhateverTheSystemPathEndsIn) {
    CImportPatch folder("shell32.dll", "SHGetFolderPathW", reinterpret_cast<void*>(&FixedFolder));
    ASSERT_TRUE(folder.Active());
    const std::wstring savedName = g_ProductName;
    g_ProductName = L"Volarix";
    // Nothing is made: a folder that cannot be made is no failure at start.
    g_refuseCreate = kAccessDenied;
    const std::wstring bare = m_temp.substr(0, m_temp.size() - 1);
    for (const std::wstring& base : {bare, m_temp}) {
        g_commonAppData = base.c_str();
        ASSERT_TRUE(CreateDataFolder());
        EXPECT_EQ(m_temp + L"Volarix\\", g_DataFolder);
    }
    g_ProductName = savedName;
    ASSERT_EQ(2u, g_creates.size());
    EXPECT_EQ(L"\\??\\" + bare + L"\\Volarix", g_creates[1].name);

    g_DataFolder.clear();
    EnsureDataFolderSlash();
    EXPECT_TRUE(g_DataFolder.empty());
}

TEST(DataFolderPath, FailsWhenTheSystemHasNoCommonFolder) {
    auto none = [](HWND, int, HANDLE, DWORD, LPWSTR) -> HRESULT { return E_FAIL; };
    CImportPatch folder(
        "shell32.dll", "SHGetFolderPathW",
        reinterpret_cast<void*>(static_cast<HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR)>(none)));
    ASSERT_TRUE(folder.Active());
    EXPECT_FALSE(CreateDataFolder());
}

namespace {

// Each call as "<object's path> <what> <descriptor>"; Wine keeps no descriptor, so none is set.
std::vector<std::wstring> g_secured;
BOOL WINAPI RecordObjectSecurity(HANDLE object, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR sd) {
    wchar_t path[MAX_PATH] = {}, *text = nullptr;
    GetFinalPathNameByHandleW(object, path, MAX_PATH, 0);
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, what, &text, nullptr);
    g_secured.push_back(path + (L" " + std::to_wstring(what) + L" ") + text);
    LocalFree(text);
    return TRUE;
}

// The open that judges what stands in the folder's place is refused, as Windows may refuse it for a reason
// other than sharing.
std::wstring g_refusedPlace;
CImportPatch* g_openPatch;
HANDLE WINAPI RefuseJudging(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE model) {
    if (g_refusedPlace == path && access == FILE_READ_ATTRIBUTES) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return g_openPatch->Original<decltype(&CreateFileW)>()(path, access, share, security, disposition, flags,
                                                           model);
}

// The owner makes the folder again as soon as theirs is moved.
CImportPatch* g_renamePatch;
BOOL WINAPI RenameAndMakeAgain(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    const BOOL renamed =
        g_renamePatch->Original<decltype(&SetFileInformationByHandle)>()(file, kind, info, size);
    CreateDirectoryW(g_DataFolder.substr(0, g_DataFolder.size() - 1).c_str(), nullptr);
    return renamed;
}

} // namespace

TEST_F(DataFolder, OnlyTheServicesOwnIsKeptAndAnythingElseIsMovedAsideUntouched) {
    enum What { kOwn, kTheirs, kFile, kDanglingLink };
    const DWORD none = ~0u;
    const struct {
        const char* name;
        What what;
        bool otherRecorded;            // an identity of something else recorded beforehand
        DWORD otherAccess, otherShare; // a handle of another opener, held meanwhile, or none
        bool refused, madeAgain;
        bool held, moved, made;
    } rows[] = {
        {"own", kOwn, false, none, none, false, false, true, false, false},
        {"own, listed by another sharing nothing", kOwn, false, FILE_LIST_DIRECTORY, 0, false, false, true,
         false, false},
        {"own, listed by another sharing write and delete", kOwn, false, FILE_LIST_DIRECTORY,
         FILE_SHARE_WRITE | FILE_SHARE_DELETE, false, false, true, false, false},
        {"theirs, nothing recorded", kTheirs, false, none, none, false, false, true, true, true},
        {"theirs, another recorded", kTheirs, true, none, none, false, false, true, true, true},
        {"theirs, not to be opened", kTheirs, false, none, none, true, false, true, true, true},
        {"a plain file", kFile, false, none, none, false, false, true, true, true},
        {"theirs, held with delete, sharing no delete", kTheirs, false, DELETE,
         FILE_SHARE_READ | FILE_SHARE_WRITE, false, false, false, false, false},
        {"theirs, made again once moved", kTheirs, false, none, none, false, true, false, true, true},
        // Wine opens no dangling link, so the path seems free; the create must not make the target.
        {"a link whose target does not exist", kDanglingLink, false, none, none, false, false, false, false,
         true},
    };
    CImportPatch security("advapi32.dll", "SetKernelObjectSecurity",
                          reinterpret_cast<void*>(&RecordObjectSecurity));
    ASSERT_TRUE(security.Active());
    std::wstring dangling(VOLARIX_DANGLING, VOLARIX_DANGLING + sizeof VOLARIX_DANGLING - 1);
    std::replace(dangling.begin(), dangling.end(), L'/', L'\\');
    wchar_t full[MAX_PATH];
    dangling.assign(full, GetFullPathNameW(dangling.c_str(), MAX_PATH, full, nullptr));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring place = row.what == kDanglingLink ? dangling + L"\\Volarix" : m_place;
        g_DataFolder = place + L"\\";
        Record({});
        if (row.what == kOwn) {
            ASSERT_TRUE(CDataFolderLock().Acquire());
            PutFile(place + L"\\updates.dat");
        } else if (row.what == kTheirs) {
            CreateDirectoryW(place.c_str(), nullptr);
            PutFile(place + L"\\updates.dat");
            if (row.otherRecorded)
                Record(IdentityAt(m_temp));
        } else if (row.what == kFile)
            PutFile(place);
        const Bytes before = RecordedIdentity(), theirs = IdentityAt(place);
        HANDLE other = row.otherAccess == none
                           ? INVALID_HANDLE_VALUE
                           : CreateFileW(place.c_str(), row.otherAccess, row.otherShare, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ASSERT_EQ(row.otherAccess == none, other == INVALID_HANDLE_VALUE);
        g_creates.clear();
        g_secured.clear();
        bool held;
        {
            std::unique_ptr<CImportPatch> refuse, rename;
            if (row.refused) {
                refuse.reset(
                    new CImportPatch("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&RefuseJudging)));
                g_openPatch = refuse.get();
                g_refusedPlace = place;
            }
            if (row.madeAgain) {
                rename.reset(new CImportPatch("kernel32.dll", "SetFileInformationByHandle",
                                              reinterpret_cast<void*>(&RenameAndMakeAgain)));
                g_renamePatch = rename.get();
            }
            held = CDataFolderLock().Acquire();
        }
        if (other != INVALID_HANDLE_VALUE)
            CloseHandle(other);
        EXPECT_EQ(row.held, held);
        EXPECT_EQ(row.held ? std::vector<std::wstring>{L"\\\\?\\" + place + L" 5 " + kOwnSddl}
                           : std::vector<std::wstring>{},
                  g_secured);
        // Made new, never through a link, with its descriptor from the start.
        ASSERT_EQ(row.made ? 1u : 0u, g_creates.size());
        if (row.made) {
            EXPECT_EQ(L"\\??\\" + place, g_creates[0].name);
            EXPECT_EQ(static_cast<ULONG>(FILE_CREATE), g_creates[0].disposition);
            EXPECT_EQ(static_cast<ULONG>(FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT),
                      g_creates[0].options & (FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
            EXPECT_EQ(kOwnSddl, g_creates[0].sddl);
        }
        // Only the folder in place now, when the service holds it, is the recorded one.
        EXPECT_EQ(row.held ? IdentityAt(place) : before, RecordedIdentity());
        if (row.what == kOwn) {
            EXPECT_EQ(theirs, RecordedIdentity());
        }
        if (row.what == kDanglingLink) {
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dangling + L"\\nowhere").c_str()));
        }

        // Beside it, under its name and a dot, as its owner left it.
        std::vector<std::wstring> aside;
        const std::wstring folder = place.substr(0, place.rfind(L'\\') + 1);
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((place + L".*").c_str(), &found);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
            if (folder + found.cFileName != place)
                aside.push_back(folder + found.cFileName);
        FindClose(find);
        ASSERT_EQ(row.moved ? 1u : 0u, aside.size());
        if (row.moved) {
            EXPECT_EQ(theirs, IdentityAt(aside[0]));
            const std::wstring left = row.what == kFile ? aside[0] : aside[0] + L"\\updates.dat";
            EXPECT_EQ(kLeft, FileText(left));
            DeleteFileW(left.c_str());
            RemoveDirectoryW(aside[0].c_str());
        }
        // In its place the service's own: the one kept with what it holds, or a new one, empty.
        if (row.held) {
            EXPECT_EQ(row.what == kOwn ? kLeft : "", FileText(place + L"\\updates.dat"));
        }
        if (row.what != kDanglingLink) {
            DeleteFileW((place + L"\\updates.dat").c_str());
            RemoveDirectoryW(place.c_str());
            DeleteFileW(place.c_str());
        }
    }
}

namespace {

// The account of an ordinary user: this process's, with the administrators and SYSTEM counting only to
// deny.
HANDLE OrdinaryUser() {
    HANDLE process = nullptr, restricted = nullptr, user = nullptr;
    BYTE admins[SECURITY_MAX_SID_SIZE], system[SECURITY_MAX_SID_SIZE];
    DWORD adminsSize = sizeof admins, systemSize = sizeof system;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize);
    CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize);
    SID_AND_ATTRIBUTES denyOnly[] = {{admins, 0}, {system, 0}};
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process) &&
        CreateRestrictedToken(process, 0, 2, denyOnly, 0, nullptr, 0, nullptr, &restricted))
        DuplicateToken(restricted, SecurityImpersonation, &user);
    CloseHandle(restricted);
    CloseHandle(process);
    return user;
}

// Whether the descriptor's owner and DACL grant the token access, as Windows decides when opening.
bool Grants(PSECURITY_DESCRIPTOR given, HANDLE token, DWORD access) {
    // The access check wants a group too, which has no say in it.
    SECURITY_DESCRIPTOR absolute;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    GetSecurityDescriptorOwner(given, &owner, &defaulted);
    GetSecurityDescriptorDacl(given, &present, &dacl, &defaulted);
    SetSecurityDescriptorOwner(&absolute, owner, FALSE);
    SetSecurityDescriptorGroup(&absolute, owner, FALSE);
    SetSecurityDescriptorDacl(&absolute, present, dacl, FALSE);
    GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privilegesSize = sizeof privileges, granted = 0;
    BOOL status = FALSE;
    EXPECT_TRUE(
        AccessCheck(&absolute, token, access, &files, &privileges, &privilegesSize, &granted, &status));
    return status;
}

} // namespace

// Wine enforces no DACL, so Windows' access check decides against the descriptor the folder was made with.
// No one but administrators can rename the folder, held or not, and an ordinary user cannot open it at all,
// so no one can hold it against the service's opens.
TEST_F(DataFolder, AnOrdinaryUserCanNeitherRenameNorOpenTheFolder) {
    {
        CDataFolderLock held;
        ASSERT_TRUE(held.Acquire());
    }
    RemoveDirectoryW(m_place.c_str());
    ASSERT_EQ(1u, g_creates.size());
    PSECURITY_DESCRIPTOR folder = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(g_creates[0].sddl.c_str(),
                                                                     SDDL_REVISION_1, &folder, nullptr));
    HANDLE user = OrdinaryUser();
    ASSERT_NE(nullptr, user);
    const DWORD denied[] = {DELETE, FILE_LIST_DIRECTORY, FILE_TRAVERSE, READ_CONTROL, WRITE_DAC};
    for (DWORD access : denied) {
        SCOPED_TRACE(access);
        EXPECT_FALSE(Grants(folder, user, access));
    }
    // SYSTEM and the administrators remain in full control.
    HANDLE process = nullptr, self = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &process));
    ASSERT_TRUE(DuplicateToken(process, SecurityImpersonation, &self));
    EXPECT_TRUE(Grants(folder, self, FILE_ALL_ACCESS));
    CloseHandle(self);
    CloseHandle(process);
    CloseHandle(user);
    LocalFree(folder);
}
