#include "temp_files.h"

#include "import_patch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring g_tempFolder;
DWORD g_tick;
int g_creates;
HANDLE(WINAPI* g_realCreate)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);

DWORD WINAPI FakeTempPath(DWORD size, LPWSTR buffer) {
    if (g_tempFolder.size() >= size)
        return static_cast<DWORD>(g_tempFolder.size() + 1);
    wcscpy(buffer, g_tempFolder.c_str());
    return static_cast<DWORD>(g_tempFolder.size());
}
DWORD WINAPI FakeTick() {
    return g_tick;
}
HANDLE WINAPI CountCreate(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile) {
    ++g_creates;
    return g_realCreate(name, access, share, security, disposition, attributes, templateFile);
}

class TempFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, m_tempPath.Original<decltype(&GetTempPathW)>()(MAX_PATH, temp));
        m_folder = temp + std::wstring(L"temp_files_test_") + std::to_wstring(GetCurrentProcessId()) + L"\\";
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
        g_tempFolder = m_folder;
        g_creates = 0;
        g_realCreate = m_create.Original<decltype(g_realCreate)>();
        ASSERT_TRUE(m_tempPath.Active());
        ASSERT_TRUE(m_tick.Active());
        ASSERT_TRUE(m_create.Active());
    }
    void TearDown() override {
        for (const std::wstring& name : m_made) {
            const std::wstring path = m_folder + name;
            if (!DeleteFileW(path.c_str()))
                RemoveDirectoryW(path.c_str());
        }
        RemoveDirectoryW(m_folder.c_str());
    }

    std::wstring Make(const std::wstring& name, bool folder) {
        m_made.push_back(name);
        const std::wstring path = m_folder + name;
        if (folder) {
            CreateDirectoryW(path.c_str(), nullptr);
        } else {
            HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            DWORD written = 0;
            WriteFile(h, "keep", 4, &written, nullptr);
            CloseHandle(h);
        }
        return path;
    }
    static uint64_t SizeOf(const std::wstring& path) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
            return UINT64_MAX;
        return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    std::wstring m_folder;
    std::vector<std::wstring> m_made;
    CImportPatch m_tempPath{"kernel32.dll", "GetTempPathW", reinterpret_cast<void*>(&FakeTempPath)};
    CImportPatch m_tick{"kernel32.dll", "GetTickCount", reinterpret_cast<void*>(&FakeTick)};
    CImportPatch m_create{"kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&CountCreate)};
};

} // namespace

TEST_F(TempFilesTest, NamesTheFileAfterTheLowSixteenBitsOfTheTickCount) {
    g_tick = 0x12340ABC;
    std::wstring path;
    ASSERT_TRUE(CreateUniqueTempFile(path));
    m_made.push_back(L"AUMABC.tmp");
    EXPECT_EQ(m_folder + L"AUMABC.tmp", path);
    EXPECT_EQ(0u, SizeOf(path));
    EXPECT_EQ(1, g_creates);
}

TEST_F(TempFilesTest, SkipsExistingFilesAndFoldersPastSixteenBits) {
    g_tick = 0xABCDFFFF;
    const std::wstring file = Make(L"AUMFFFF.tmp", false);
    Make(L"AUM10000.tmp", true);
    std::wstring path;
    ASSERT_TRUE(CreateUniqueTempFile(path));
    m_made.push_back(L"AUM10001.tmp");
    EXPECT_EQ(m_folder + L"AUM10001.tmp", path);
    EXPECT_EQ(0u, SizeOf(path));
    EXPECT_EQ(4u, SizeOf(file)) << "an existing file must be left as it was";
    EXPECT_TRUE(IsDirectory((m_folder + L"AUM10000.tmp").c_str()));
}

TEST_F(TempFilesTest, FolderThatIsAFileFailsAfterOneAttempt) {
    g_tick = 1;
    g_tempFolder = Make(L"plain-file", false) + L"\\";
    g_creates = 0;
    std::wstring path = L"unchanged";
    EXPECT_FALSE(CreateUniqueTempFile(path));
    EXPECT_EQ(L"unchanged", path);
    EXPECT_EQ(1, g_creates);
}

TEST_F(TempFilesTest, UnknownOrTooLongTempFolderFailsWithoutCreating) {
    std::wstring path = L"unchanged";
    g_tempFolder = std::wstring(300, L'x');
    EXPECT_FALSE(CreateUniqueTempFile(path)) << "a folder longer than the buffer";
    g_tempFolder.clear();
    EXPECT_FALSE(CreateUniqueTempFile(path)) << "no folder";
    EXPECT_EQ(L"unchanged", path);
    EXPECT_EQ(0, g_creates);
}

TEST_F(TempFilesTest, IsDirectoryOnlyForExistingFolders) {
    EXPECT_TRUE(IsDirectory(m_folder.c_str()));
    EXPECT_FALSE(IsDirectory(Make(L"file", false).c_str()));
    EXPECT_FALSE(IsDirectory((m_folder + L"missing").c_str()));
}
