#include "disk_file.h"

#include "import_patch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// The Win32 error a CDiskFile call threw, or 0 when it did not throw.
uint32_t ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (CDiskFileException* e) {
        const uint32_t error = e->Error();
        delete e;
        return error;
    }
    return 0;
}

class DiskFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        m_folder = temp + std::wstring(L"disk_file_test_") + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(m_folder.c_str(), nullptr);
        m_path = m_folder + L"\\file.bin";
    }
    void TearDown() override {
        DeleteFileW(m_path.c_str());
        DeleteFileW((m_folder + L"\\other.bin").c_str());
        RemoveDirectoryW(m_folder.c_str());
    }

    void WriteWhole(const std::string& content) {
        HANDLE h = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
        CloseHandle(h);
    }
    std::string ReadWhole() {
        HANDLE h = CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return "<missing>";
        char buffer[256];
        DWORD read = 0;
        ReadFile(h, buffer, sizeof buffer, &read, nullptr);
        CloseHandle(h);
        return std::string(buffer, read);
    }

    std::wstring m_folder;
    std::wstring m_path;
};

struct CreateCall {
    DWORD access, share, disposition, attributes;
    DWORD securityLength;
    BOOL inherit;
    bool noDescriptor, noTemplate;
};
CreateCall g_create;
int g_calls;

HANDLE WINAPI RecordCreate(LPCWSTR, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD attributes, HANDLE templateFile) {
    ++g_calls;
    g_create = {access,
                share,
                disposition,
                attributes,
                security ? security->nLength : 0,
                security ? security->bInheritHandle : -1,
                security && !security->lpSecurityDescriptor,
                templateFile == nullptr};
    SetLastError(1234);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI CountClose(HANDLE) {
    ++g_calls;
    return TRUE;
}
BOOL(WINAPI* g_realClose)(HANDLE);
// Closes the handle all the same, so that the test leaves nothing open, but reports failure.
BOOL WINAPI FailClose(HANDLE handle) {
    g_realClose(handle);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL WINAPI CountRead(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    ++g_calls;
    return FALSE;
}
BOOL WINAPI CountWrite(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    ++g_calls;
    return FALSE;
}
BOOL WINAPI ShortWrite(HANDLE, LPCVOID, DWORD count, LPDWORD written, LPOVERLAPPED) {
    *written = count - 1;
    return TRUE;
}
// Stand-ins that return the ambiguous 0xFFFFFFFF low part and leave the last error alone, as a
// system that does not clear it on success would.
DWORD WINAPI SizeOfFourGiBLessOne(HANDLE, LPDWORD high) {
    *high = 0;
    return 0xFFFFFFFF;
}
DWORD WINAPI SizeFailsWithBadHandle(HANDLE, LPDWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0xFFFFFFFF;
}
DWORD WINAPI PointerAtFourGiBLessOne(HANDLE, LONG, PLONG high, DWORD) {
    *high = 0;
    return 0xFFFFFFFF;
}

} // namespace

TEST_F(DiskFileTest, ModeWordSetsCreateFileArguments) {
    struct Case {
        uint32_t mode;
        DWORD access, share, disposition, attributes;
        BOOL inherit;
    };
    const DWORD normal = FILE_ATTRIBUTE_NORMAL;
    const Case cases[] = {
        {0x1021, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, normal, TRUE},
        {0x3021, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, normal, TRUE},
        {0x2000, GENERIC_READ, 0, OPEN_EXISTING, normal, TRUE},
        {0x20, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, normal, TRUE},
        {0x40, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, normal, TRUE},
        {0x44, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, normal, TRUE},
        {0x32, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING, normal, TRUE},
        {0x13, 0, 0, OPEN_EXISTING, normal, TRUE},
        {0x57, 0, 0, OPEN_EXISTING, normal, TRUE},
        {0x60, GENERIC_READ, 0, OPEN_EXISTING, normal, TRUE},
        {0x70, GENERIC_READ, 0, OPEN_EXISTING, normal, TRUE},
        {0x80, GENERIC_READ, 0, OPEN_EXISTING, normal, FALSE},
        {0x10000, GENERIC_READ, 0, OPEN_EXISTING, normal | FILE_FLAG_NO_BUFFERING, TRUE},
        {0x20000, GENERIC_READ, 0, OPEN_EXISTING, normal | FILE_FLAG_WRITE_THROUGH, TRUE},
        {0x40000, GENERIC_READ, 0, OPEN_EXISTING, normal | FILE_FLAG_RANDOM_ACCESS, TRUE},
        {0x80000, GENERIC_READ, 0, OPEN_EXISTING, normal | FILE_FLAG_SEQUENTIAL_SCAN, TRUE},
        {0xFFF00F08, GENERIC_READ, 0, OPEN_EXISTING, normal, TRUE},
    };
    CImportPatch patch("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&RecordCreate));
    ASSERT_TRUE(patch.Active());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode 0x" << std::hex << c.mode);
        g_create = {};
        CDiskFile file;
        EXPECT_EQ(1234u, ErrorOf([&] { file.Open(L"x", c.mode); }));
        EXPECT_EQ(c.access, g_create.access);
        EXPECT_EQ(c.share, g_create.share);
        EXPECT_EQ(c.disposition, g_create.disposition);
        EXPECT_EQ(c.attributes, g_create.attributes);
        EXPECT_EQ(c.inherit, g_create.inherit);
        EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), g_create.securityLength);
        EXPECT_TRUE(g_create.noDescriptor);
        EXPECT_TRUE(g_create.noTemplate);
    }
}

TEST_F(DiskFileTest, CreateTruncatesAndOpenAlwaysKeepsContents) {
    WriteWhole("old contents");
    {
        CDiskFile file;
        file.Open(m_path.c_str(), 0x3021);
        EXPECT_EQ(12u, file.GetLength());
        EXPECT_EQ(0, file.GetPosition());
    }
    EXPECT_EQ("old contents", ReadWhole());
    {
        CDiskFile file;
        file.Open(m_path.c_str(), 0x1021);
        EXPECT_EQ(0u, file.GetLength());
        file.Write("new", 3);
    }
    EXPECT_EQ("new", ReadWhole());
}

TEST_F(DiskFileTest, MissingFileThrowsNotFoundAndLeavesNothingToClose) {
    auto* file = new CDiskFile;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND),
              ErrorOf([&] { file->Open(m_path.c_str(), 0x20); }));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), ErrorOf([&] { file->GetLength(); }));
    g_calls = 0;
    {
        CImportPatch patch("kernel32.dll", "CloseHandle", reinterpret_cast<void*>(&CountClose));
        ASSERT_TRUE(patch.Active());
        delete file;
    }
    EXPECT_EQ(0, g_calls);
}

TEST_F(DiskFileTest, ShareModesAreEnforcedBetweenOpens) {
    CDiskFile writer;
    writer.Open(m_path.c_str(), 0x1021);
    CDiskFile reader;
    // 0x20 lets others read only, so it cannot join a writer.
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SHARING_VIOLATION),
              ErrorOf([&] { reader.Open(m_path.c_str(), 0x20); }));
    EXPECT_EQ(0u, ErrorOf([&] { reader.Open(m_path.c_str(), 0x40); }));
    CDiskFile second;
    // The writer lets others read only.
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SHARING_VIOLATION),
              ErrorOf([&] { second.Open(m_path.c_str(), 0x41); }));
}

TEST_F(DiskFileTest, ReopeningReleasesTheHandleHeldBefore) {
    const std::wstring other = m_folder + L"\\other.bin";
    CDiskFile file;
    file.Open(m_path.c_str(), 0x1011);
    file.Open(other.c_str(), 0x1011);
    CDiskFile exclusive;
    EXPECT_EQ(0u, ErrorOf([&] { exclusive.Open(m_path.c_str(), 0x1011); }));
}

TEST_F(DiskFileTest, ZeroCountsMakeNoSystemCall) {
    WriteWhole("abc");
    CDiskFile file;
    file.Open(m_path.c_str(), 0x2);
    g_calls = 0;
    char byte = 0;
    {
        CImportPatch read("kernel32.dll", "ReadFile", reinterpret_cast<void*>(&CountRead));
        CImportPatch write("kernel32.dll", "WriteFile", reinterpret_cast<void*>(&CountWrite));
        ASSERT_TRUE(read.Active());
        ASSERT_TRUE(write.Active());
        EXPECT_EQ(0u, file.Read(&byte, 0));
        file.Write(&byte, 0);
    }
    EXPECT_EQ(0, g_calls);
}

TEST_F(DiskFileTest, ReadsShortOnlyAtTheEnd) {
    WriteWhole("hello");
    CDiskFile file;
    file.Open(m_path.c_str(), 0x20);
    char buffer[16] = {};
    EXPECT_EQ(3u, file.Read(buffer, 3));
    EXPECT_EQ(2u, file.Read(buffer, sizeof buffer));
    EXPECT_EQ(0, memcmp("lo", buffer, 2));
    EXPECT_EQ(0u, file.Read(buffer, sizeof buffer));
    EXPECT_EQ(0u, file.Read(buffer, sizeof buffer));
}

TEST_F(DiskFileTest, ShortWriteThrowsDiskFull) {
    CDiskFile file;
    file.Open(m_path.c_str(), 0x1021);
    CImportPatch patch("kernel32.dll", "WriteFile", reinterpret_cast<void*>(&ShortWrite));
    ASSERT_TRUE(patch.Active());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_HANDLE_DISK_FULL), ErrorOf([&] { file.Write("abcd", 4); }));
}

TEST_F(DiskFileTest, WriteToReadOnlyHandleThrowsTheSystemError) {
    WriteWhole("abc");
    CDiskFile file;
    file.Open(m_path.c_str(), 0x20);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_ACCESS_DENIED), ErrorOf([&] { file.Write("x", 1); }));
    EXPECT_EQ(0, file.GetPosition());
}

TEST_F(DiskFileTest, PositionsAndLengthsPastFourGiB) {
    CDiskFile file;
    file.Open(m_path.c_str(), 0x1022);
    file.SetLength(0xFFFFFFFFLL);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(0xFFFFFFFFu, file.GetLength());
    EXPECT_EQ(0xFFFFFFFFLL, file.Seek(0, FILE_END));
    EXPECT_EQ(0xFFFFFFFFLL, file.GetPosition());

    EXPECT_EQ(0x100000005LL, file.Seek(0x100000005LL, FILE_BEGIN));
    file.Write("z", 1);
    EXPECT_EQ(0x100000006LL, file.GetPosition());
    EXPECT_EQ(0x100000006u, file.GetLength());
    EXPECT_EQ(0x100000004LL, file.Seek(-2, FILE_CURRENT));
    char byte = 1;
    EXPECT_EQ(1u, file.Read(&byte, 1));
    EXPECT_EQ(0, byte);
    file.SetLength(3);
    EXPECT_EQ(3u, file.GetLength());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_NEGATIVE_SEEK), ErrorOf([&] { file.Seek(-1, FILE_BEGIN); }));
    EXPECT_EQ(3, file.GetPosition());
}

TEST_F(DiskFileTest, AllBitsLowPartIsAValueUnlessTheCallSetsAnError) {
    CDiskFile file;
    file.Open(m_path.c_str(), 0x1021);
    {
        CImportPatch size("kernel32.dll", "GetFileSize", reinterpret_cast<void*>(&SizeOfFourGiBLessOne));
        CImportPatch pointer("kernel32.dll", "SetFilePointer",
                             reinterpret_cast<void*>(&PointerAtFourGiBLessOne));
        ASSERT_TRUE(size.Active());
        ASSERT_TRUE(pointer.Active());
        // An error left behind by an earlier, unrelated call must not turn the value into a failure.
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(0xFFFFFFFFu, file.GetLength());
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(0xFFFFFFFFLL, file.GetPosition());
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(0xFFFFFFFFLL, file.Seek(0xFFFFFFFFLL, FILE_BEGIN));
    }
    CImportPatch failing("kernel32.dll", "GetFileSize", reinterpret_cast<void*>(&SizeFailsWithBadHandle));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), ErrorOf([&] { file.GetLength(); }));
}

TEST_F(DiskFileTest, CloseReportsAndResets) {
    CDiskFile file;
    EXPECT_TRUE(file.Close());
    file.Open(m_path.c_str(), 0x1021);
    EXPECT_TRUE(file.Close());
    EXPECT_TRUE(file.Close());
    file.Open(m_path.c_str(), 0x1021);
    file.Write("again", 5);
    file.Flush();
    {
        CImportPatch patch("kernel32.dll", "CloseHandle", reinterpret_cast<void*>(&FailClose));
        ASSERT_TRUE(patch.Active());
        g_realClose = patch.Original<BOOL(WINAPI*)(HANDLE)>();
        EXPECT_FALSE(file.Close());
    }
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), ErrorOf([&] { file.Write("x", 1); }));
    EXPECT_EQ(0u, ErrorOf([&] { file.Flush(); }));
}
