#include "pud_file.h"

#include "data_folder.h"
#include "environment.h"
#include "file_bytes.h"
#include "import_patch.h"
#include "saved_registry_value.h"
#include "safe_data_file.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutText(Bytes& out, const std::wstring& text) {
    PutLe32(out, static_cast<uint32_t>(text.size()));
    for (wchar_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
}

// The payload as the format lays it out, built here independently of the writer.
Bytes Payload(const PudPackage& p, const char* version = "100") {
    Bytes out(version, version + 3);
    for (uint32_t n : p.numbers)
        PutLe32(out, n);
    PutText(out, p.text1);
    PutText(out, p.text2);
    out.insert(out.end(), p.data1, p.data1 + 16);
    PutText(out, p.text3);
    out.insert(out.end(), p.data2, p.data2 + 16);
    PutText(out, p.text4);
    for (const auto& entry : p.table1)
        PutLe32(out, entry[0]), PutLe32(out, entry[1]);
    for (const auto& entry : p.table2)
        PutLe32(out, entry[0]), PutLe32(out, entry[1]);
    return out;
}

// A file of the given prefix and the payload in digest-protected blocks, digests from OpenSSL.
Bytes Blocks(const Bytes& payload, const std::string& prefix = "$AUD") {
    Bytes out(prefix.begin(), prefix.end());
    for (size_t at = 0; at < payload.size(); at += 65535) {
        const size_t size = std::min<size_t>(65535, payload.size() - at);
        uint8_t digest[16];
        unsigned int length = 0;
        EVP_Digest(payload.data() + at, size, digest, &length, EVP_md5(), nullptr);
        out.insert(out.end(), digest, digest + 16);
        out.insert(out.end(), payload.begin() + at, payload.begin() + at + size);
    }
    return out;
}

PudPackage Sample(size_t textLength = 5) {
    PudPackage p;
    for (uint32_t i = 0; i < 4; ++i)
        p.numbers[i] = 0x01020304u * (i + 1);
    p.text1 = L"https://updates.example/volarix";
    p.text2 = std::wstring(textLength, L'\x00e9');
    p.text3 = std::wstring(L"a\0b\xd83d\xde00", 5); // an embedded NUL and a surrogate pair survive
    p.text4 = L"1.0.3.0";
    for (uint32_t i = 0; i < 16; ++i)
        p.data1[i] = static_cast<uint8_t>(i), p.data2[i] = static_cast<uint8_t>(0xF0 | i);
    for (uint32_t i = 0; i < kPudTableEntries; ++i) {
        p.table1[i][0] = i, p.table1[i][1] = ~i;
        p.table2[i][0] = i * 7919, p.table2[i][1] = 0x80000000u | i;
    }
    return p;
}

bool Same(const PudPackage& a, const PudPackage& b) {
    return memcmp(a.numbers, b.numbers, sizeof a.numbers) == 0 && a.text1 == b.text1 && a.text2 == b.text2 &&
           memcmp(a.data1, b.data1, 16) == 0 && a.text3 == b.text3 && memcmp(a.data2, b.data2, 16) == 0 &&
           a.text4 == b.text4 && memcmp(a.table1, b.table1, sizeof a.table1) == 0 &&
           memcmp(a.table2, b.table2, sizeof a.table2) == 0;
}

const wchar_t kSettingsKey[] = L"Software\\Volarix";

class PudFileTest : public ::testing::Test {
  protected:
    // The settings key lives in the shared Wine prefix: put back what was there before.
    static void SetUpTestSuite() {
        HKEY key;
        s_keyExisted = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (!s_keyExisted)
            return;
        DWORD size = 0;
        s_hadValue = RegQueryValueExW(key, L"UPD", nullptr, &s_valueType, nullptr, &size) == ERROR_SUCCESS;
        s_value.resize(size);
        if (s_hadValue)
            RegQueryValueExW(key, L"UPD", nullptr, nullptr, s_value.data(), &size);
        RegCloseKey(key);
    }
    static void TearDownTestSuite() {
        if (!s_keyExisted) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSettingsKey);
            return;
        }
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        if (s_hadValue)
            RegSetValueExW(key, L"UPD", 0, s_valueType, s_value.data(), static_cast<DWORD>(s_value.size()));
        else
            RegDeleteValueW(key, L"UPD");
        RegCloseKey(key);
    }

    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        m_folder = temp + std::wstring(L"pud_file_test_") + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(m_folder.c_str(), nullptr);
        m_path = m_folder + L"\\download.pud";
        // A data folder of the service's own making, within the test's.
        m_data = m_folder + L"\\data";
        m_stored = m_data + L"\\updates.dat";
        m_savedDataFolder = g_DataFolder;
        g_DataFolder = m_data + L"\\";
    }
    void TearDown() override {
        g_DataFolder = m_savedDataFolder;
        for (const std::wstring& path : {m_path, m_stored, m_path + L".tmp", m_stored + L".tmp"})
            DeleteFileW(path.c_str());
        RemoveDirectoryW(m_data.c_str());
        RemoveDirectoryW(m_folder.c_str());
    }

    static std::wstring StoredValue() {
        wchar_t value[MAX_PATH * 2] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        DWORD type = 0;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"UPD", RRF_RT_ANY, &type, value, &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            return L"<none>";
        return value;
    }
    static void SetStoredValue(const wchar_t* text) {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"UPD", REG_SZ, text,
                        static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    }

    // What ReadPudRecord threw for the file at m_path: the message, "0xA0001", or "" for nothing.
    std::wstring ThrownBy() {
        CSafeDataFileIn file;
        file.Open(m_path.c_str(), kDiskFileRead | kDiskFileShareRead);
        PudPackage record;
        try {
            ReadPudRecord(file, &record);
        } catch (const std::wstring& message) {
            return message;
        } catch (long code) {
            return code == kErrBadBlock ? L"0xA0001" : L"other code";
        }
        return L"";
    }

    static bool s_keyExisted, s_hadValue;
    static DWORD s_valueType;
    static Bytes s_value;
    std::wstring m_folder, m_data, m_path, m_stored, m_savedDataFolder;
    CSavedRegistryValue m_savedIdentity{kSettingsKey, kDataFolderIdentityValue};
};
bool PudFileTest::s_keyExisted, PudFileTest::s_hadValue;
DWORD PudFileTest::s_valueType;
Bytes PudFileTest::s_value;

TEST_F(PudFileTest, EmptyStringsMakeOneBlockOf16471Bytes) {
    PudPackage empty;
    empty.numbers[2] = 7;
    ASSERT_EQ(1, WritePudFile(m_path.c_str(), empty));
    const Bytes file = FileBytes(m_path);
    EXPECT_EQ(16471u, file.size());
    EXPECT_EQ(Blocks(Payload(empty)), file);

    PudPackage back = Sample();
    ASSERT_EQ(1, ReadPudFile(m_path.c_str(), &back));
    EXPECT_TRUE(Same(empty, back));
}

TEST_F(PudFileTest, RecordsRoundTripInTheDocumentedLayout) {
    // The second record's strings push the payload into a second and third block.
    for (size_t textLength : {size_t{5}, size_t{60000}}) {
        SCOPED_TRACE(textLength);
        const PudPackage sample = Sample(textLength);
        ASSERT_EQ(1, WritePudFile(m_path.c_str(), sample));
        EXPECT_EQ(Blocks(Payload(sample)), FileBytes(m_path));
        PudPackage back;
        ASSERT_EQ(1, ReadPudFile(m_path.c_str(), &back));
        EXPECT_TRUE(Same(sample, back));
    }
}

TEST_F(PudFileTest, MalformedFilesAreRefusedAndLeaveTheRecordUntouched) {
    const Bytes payload = Payload(Sample());
    Bytes changed = Blocks(payload);
    changed[4 + 16 + 500] ^= 1;
    auto withCount = [&](uint32_t count) {
        Bytes p(payload.begin(), payload.begin() + 19);
        PutLe32(p, count);
        p.insert(p.end(), 64, 'x');
        return Blocks(p);
    };
    Bytes magicInside{'$', 'A', 'U', 'D'};
    magicInside.insert(magicInside.end(), payload.begin(), payload.end());
    magicInside = Blocks(magicInside, "");
    const std::wstring notPud = L"Not a valid PUD file.";
    const struct {
        const char* name;
        Bytes file;
        std::wstring thrown;
    } cases[] = {
        {"empty file", {}, notPud},
        {"short magic", {'$', 'A', 'U'}, notPud},
        {"other magic", Blocks(payload, "$AUE"), notPud},
        {"magic inside the first block", magicInside, notPud},
        {"version 101", Blocks(Payload(Sample(), "101")), L"Unsupported .PUD file version '101'."},
        {"version blank 10", Blocks(Payload(Sample(), " 10")), L"Unsupported .PUD file version ' 10'."},
        {"ends inside the version", Blocks(Bytes{'1', '0'}), L"0xA0001"},
        {"ends inside table2", Blocks(Bytes(payload.begin(), payload.end() - 100)), L"0xA0001"},
        {"changed payload byte", changed, L"0xA0001"},
        {"string count beyond the file", withCount(0x10000), L"0xA0001"},
        {"string count past 2 GiB", withCount(0x80000000u), L"0xA0001"},
        {"string count of all ones", withCount(0xFFFFFFFFu), L"0xA0001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetFileBytes(m_path, c.file);
        EXPECT_EQ(c.thrown, ThrownBy());
        PudPackage record = Sample(3);
        EXPECT_EQ(0, ReadPudFile(m_path.c_str(), &record));
        EXPECT_TRUE(Same(Sample(3), record));
    }

    DeleteFileW(m_path.c_str());
    PudPackage record = Sample(3);
    EXPECT_EQ(0, ReadPudFile(m_path.c_str(), &record));
    EXPECT_TRUE(Same(Sample(3), record));
}

TEST_F(PudFileTest, CountedStringsCarryTheirCountAndATerminator) {
    Bytes stream;
    PutText(stream, L"");
    PutText(stream, L"hi");
    SetFileBytes(m_path, Blocks(stream, ""));
    CSafeDataFileIn file;
    file.Open(m_path.c_str(), kDiskFileRead | kDiskFileShareRead);
    uint32_t count = 99;
    EXPECT_EQ(nullptr, PudReadString(file, &count));
    EXPECT_EQ(0u, count);
    wchar_t* text = PudReadString(file, nullptr);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(std::wstring(L"hi"), std::wstring(text, 3).c_str());
    EXPECT_EQ(L'\0', text[2]);
    delete[] text;
}

TEST_F(PudFileTest, SaveStoresOnlyTheRecordAndNamesItInTheRegistry) {
    // Data behind table2, in the last block and in a block of its own, is accepted but not kept.
    Bytes payload = Payload(Sample());
    payload.insert(payload.end(), 70000, 'z');
    SetFileBytes(m_path, Blocks(payload));
    PudPackage record;
    ASSERT_EQ(1, ReadPudFile(m_path.c_str(), &record));

    ASSERT_EQ(1, SavePudPackage(record));
    EXPECT_EQ(Blocks(Payload(Sample())), FileBytes(m_stored));
    EXPECT_EQ(m_stored, StoredValue());

    SetStoredValue(L"stale");
    const PudPackage second = Sample(100);
    ASSERT_EQ(1, SavePudPackage(second));
    EXPECT_EQ(Blocks(Payload(second)), FileBytes(m_stored));
    EXPECT_EQ(m_stored, StoredValue());
}

TEST_F(PudFileTest, NothingIsStoredThroughALinkInTheDataFolderPlace) {
    // Wine reports the Unix link that the build made as a reparse point.
    std::wstring linked(VOLARIX_LINKED, VOLARIX_LINKED + sizeof VOLARIX_LINKED - 1);
    std::replace(linked.begin(), linked.end(), L'/', L'\\');
    g_DataFolder = linked + L"\\Volarix\\";
    SetStoredValue(L"marker");
    EXPECT_EQ(0, SavePudPackage(Sample()));
    EXPECT_EQ(L"marker", StoredValue());
    EXPECT_FALSE(DeleteFileW((linked + L"\\elsewhere\\updates.dat").c_str()));
}

CImportPatch* g_writePatch;
int g_writes;
BOOL WINAPI FailFromThirdWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
    if (++g_writes >= 3) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return g_writePatch->Original<decltype(&WriteFile)>()(file, data, size, written, overlapped);
}

// Only the converted text of a record with a long text asks for this much at once.
const size_t kLargeAllocation = 1 << 20;
CImportPatch* g_mallocPatch;
void* __cdecl FailLargeMalloc(size_t size) {
    return size >= kLargeAllocation ? nullptr : g_mallocPatch->Original<void*(__cdecl*)(size_t)>()(size);
}

LSTATUS WINAPI DenyCreateKey(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const SECURITY_ATTRIBUTES*, PHKEY,
                             LPDWORD) {
    return ERROR_ACCESS_DENIED;
}

LSTATUS WINAPI DenySetValue(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return ERROR_ACCESS_DENIED;
}

DWORD WINAPI StagingIsALink(LPCWSTR path) {
    const size_t length = wcslen(path);
    if (length > 4 && wcscmp(path + length - 4, L".tmp") == 0)
        return FILE_ATTRIBUTE_REPARSE_POINT;
    return GetFileAttributesW(path);
}

TEST_F(PudFileTest, StagingFileIsOnlyEverOneMadeHere) {
    // A file left in the staging name, here a hard link to another file, is removed, not written
    // through.
    const std::wstring other = m_folder + L"\\other";
    SetFileBytes(other, Bytes{'k', 'e', 'e', 'p'});
    ASSERT_TRUE(CreateHardLinkW((m_path + L".tmp").c_str(), other.c_str(), nullptr));
    ASSERT_EQ(1, WritePudFile(m_path.c_str(), Sample()));
    EXPECT_EQ((Bytes{'k', 'e', 'e', 'p'}), FileBytes(other));
    EXPECT_EQ(Blocks(Payload(Sample())), FileBytes(m_path));
    DeleteFileW(other.c_str());

    // A link in its place is refused and the stored copy kept.
    const Bytes stored = FileBytes(m_path);
    CImportPatch patch("kernel32.dll", "GetFileAttributesW", reinterpret_cast<void*>(&StagingIsALink));
    ASSERT_TRUE(patch.Active());
    EXPECT_EQ(0, WritePudFile(m_path.c_str(), Sample(100)));
    EXPECT_EQ(stored, FileBytes(m_path));
}

TEST_F(PudFileTest, FailedSaveKeepsTheEarlierCopy) {
    ASSERT_EQ(1, SavePudPackage(Sample()));
    const Bytes earlier = FileBytes(m_stored);
    SetStoredValue(L"marker");

    {
        // The write fails after the new file was created and partly written.
        g_writes = 0;
        CImportPatch patch("kernel32.dll", "WriteFile", reinterpret_cast<void*>(&FailFromThirdWrite));
        ASSERT_TRUE(patch.Active());
        g_writePatch = &patch;
        EXPECT_EQ(0, SavePudPackage(Sample(60000)));
        EXPECT_EQ(0, WritePudFile(m_path.c_str(), Sample()));
    }
    const PudPackage large = Sample(kLargeAllocation);
    {
        // Memory runs out after the new file was created.
        CImportPatch patch("msvcrt.dll", "malloc", reinterpret_cast<void*>(&FailLargeMalloc));
        ASSERT_TRUE(patch.Active());
        g_mallocPatch = &patch;
        EXPECT_EQ(0, SavePudPackage(large));
    }
    EXPECT_EQ(earlier, FileBytes(m_stored));
    EXPECT_EQ(L"marker", StoredValue());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(m_path.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((m_stored + L".tmp").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((m_path + L".tmp").c_str()));

    {
        CImportPatch patch("advapi32.dll", "RegCreateKeyExW", reinterpret_cast<void*>(&DenyCreateKey));
        ASSERT_TRUE(patch.Active());
        EXPECT_EQ(0, SavePudPackage(Sample(100)));
    }
    EXPECT_EQ(earlier, FileBytes(m_stored));

    {
        // A value that cannot be written is no success, though the file itself was stored.
        CImportPatch patch("advapi32.dll", "RegSetValueExW", reinterpret_cast<void*>(&DenySetValue));
        ASSERT_TRUE(patch.Active());
        EXPECT_EQ(0, SavePudPackage(Sample(100)));
    }
    EXPECT_EQ(L"marker", StoredValue());
}

} // namespace
