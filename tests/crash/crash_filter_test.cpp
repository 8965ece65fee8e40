// The crash filter seen from outside: crash_child fails on purpose, and the tests read the exit
// code, what the stand-in upload library received and what is left in the temporary folder.
#include "crash_test_support.h"
#include "disk_file.h"
#include "md5.h"
#include "saved_environment.h"
#include "string_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <regex>

namespace {

const DWORD kAccessViolation = 0xC0000005;
const DWORD kCustomCode = 0xE0564C58;
const DWORD kIllegalInstruction = 0xC000001D;
const wchar_t kProduct[] = L"Volarix"; // the child's version resource
const wchar_t kMachineId[] = L"UUID";

std::vector<std::wstring> ListFolder(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0)
            names.push_back(entry.cFileName);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

void RemoveTree(const std::wstring& folder) {
    for (auto& name : ListFolder(folder)) {
        const std::wstring path = folder + L"\\" + name;
        if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(path);
        else
            DeleteFileW(path.c_str());
    }
    RemoveDirectoryW(folder.c_str());
}

bool ReadBytes(const std::wstring& path, std::string* bytes) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char buffer[65536];
    DWORD read = 0;
    bytes->clear();
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes->append(buffer, read);
    CloseHandle(file);
    return true;
}

// The UTF-16 text split at CR LF; the text after the last CR LF is the last element.
std::vector<std::string> SplitLines(const std::wstring& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(Narrow(text.substr(start, end - start)));
    lines.push_back(Narrow(text.substr(start)));
    return lines;
}

uint32_t ExpectedDigest32(const std::wstring& exe) {
    CDiskFile file;
    file.Open(exe.c_str(), kDiskFileRead | kDiskFileShareRead);
    uint8_t digest[kMd5DigestSize];
    Md5DigestFile(file, digest);
    return HashOneAtATime16(digest);
}

struct Upload {
    std::string report;            // bytes of the report as the library received it
    std::vector<std::string> args; // path, product name, machine id

    // The lines after the byte-order mark; the last element is what follows the last CR LF.
    std::vector<std::string> Lines() const {
        if (report.size() < 2)
            return {};
        return SplitLines(
            std::wstring(reinterpret_cast<const wchar_t*>(report.data() + 2), report.size() / 2 - 1));
    }
};

class CrashFilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        // Wine reuses process ids, and a folder left by a killed earlier run must not fail this one:
        // the next name is taken instead.
        static int counter = 0;
        for (int tries = 1;; ++tries) {
            m_root = std::wstring(temp) + L"volarix-crash-" + std::to_wstring(GetCurrentProcessId()) +
                     L"-" + std::to_wstring(++counter);
            if (CreateDirectoryW(m_root.c_str(), nullptr))
                break;
            const DWORD error = GetLastError();
            ASSERT_TRUE(error == ERROR_ALREADY_EXISTS && tries < 100) << Narrow(m_root) << ": error " << error;
        }
        m_temp = m_root + L"\\temp";
        m_upload = m_root + L"\\upload";
        m_marker = m_root + L"\\previous-filter-ran";
        ASSERT_TRUE(CreateDirectoryW(m_temp.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(m_upload.c_str(), nullptr));
        SetEnvironmentVariableW(L"TMP", m_temp.c_str());
        SetEnvironmentVariableW(L"TEMP", m_temp.c_str());
        SetEnvironmentVariableW(L"VOLARIX_UPLOAD_DIR", m_upload.c_str());
        SetEnvironmentVariableW(L"VOLARIX_UPLOAD_MODE", nullptr);
        SetEnvironmentVariableW(L"VOLARIX_PREVIOUS_MARKER", m_marker.c_str());
    }
    void TearDown() override { RemoveTree(m_root); }

    // Each test points TMP and TEMP at a folder it deletes; the next one needs the real ones.
    CSavedEnvironmentVariable m_savedTmp{L"TMP"}, m_savedTemp{L"TEMP"},
        m_savedUploadDir{L"VOLARIX_UPLOAD_DIR"}, m_savedUploadMode{L"VOLARIX_UPLOAD_MODE"},
        m_savedMarker{L"VOLARIX_PREVIOUS_MARKER"};

    DWORD RunChild(const std::wstring& exe, const wchar_t* arguments) {
        std::wstring command = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            ADD_FAILURE() << "cannot start " << Narrow(exe) << ": " << GetLastError();
            return 0;
        }
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        else
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return code;
    }

    // Copies the child into the test's folder, where no upload library lies beside it.
    bool CopyChildAlone(std::wstring* alone) {
        *alone = m_root + L"\\crash_child.exe";
        return CopyFileW(m_child.c_str(), alone->c_str(), TRUE) != FALSE;
    }

    bool PreviousFilterRan() const { return GetFileAttributesW(m_marker.c_str()) != INVALID_FILE_ATTRIBUTES; }

    bool ReadUpload(Upload* upload) {
        std::string args;
        if (!ReadBytes(m_upload + L"\\report.txt", &upload->report) ||
            !ReadBytes(m_upload + L"\\args.txt", &args))
            return false;
        std::wstring text(reinterpret_cast<const wchar_t*>(args.data()), args.size() / 2);
        upload->args.clear();
        for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
            upload->args.push_back(Narrow(text.substr(start, end - start)));
        return upload->args.size() == 3;
    }

    const std::wstring m_child = WinePath(CRASH_CHILD_EXE);
    std::wstring m_root, m_temp, m_upload, m_marker;
    CSavedReportKey m_savedKey{{kProduct, kMachineId}};
};

TEST_F(CrashFilterTest, ReportOffPassesTheExceptionToThePreviousFilter) {
    CSavedReportKey::Remove(kProduct);
    EXPECT_EQ(RunChild(m_child, L"access previous"), kAccessViolation);
    EXPECT_TRUE(PreviousFilterRan());
    EXPECT_TRUE(ListFolder(m_temp).empty());
    EXPECT_TRUE(ListFolder(m_upload).empty());
    // Asking for the switch leaves the key behind.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, CSavedReportKey::kPath, 0, KEY_READ | KEY_WOW64_64KEY, &key),
              0);
    RegCloseKey(key);

    CSavedReportKey::SetDword(kProduct, 0);
    DeleteFileW(m_marker.c_str());
    EXPECT_EQ(RunChild(m_child, L"raise previous"), kCustomCode);
    EXPECT_TRUE(PreviousFilterRan());
    EXPECT_TRUE(ListFolder(m_upload).empty());
}

TEST_F(CrashFilterTest, ReportOnWritesTheReportHandsItOnAndDeletesIt) {
    CSavedReportKey::SetDword(kProduct, 1);
    CSavedReportKey::Remove(kMachineId);
    EXPECT_EQ(RunChild(m_child, L"access previous"), kAccessViolation);
    EXPECT_FALSE(PreviousFilterRan());

    Upload upload;
    ASSERT_TRUE(ReadUpload(&upload));
    // The first report on the machine creates its id.
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(CSavedReportKey::Get(kMachineId, &type, &data));
    ASSERT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(data.size(), 4u);
    char machineId[9];
    snprintf(machineId, sizeof(machineId), "%08lX", *reinterpret_cast<unsigned long*>(data.data()));
    EXPECT_EQ(upload.args[1], "Volarix");
    EXPECT_EQ(upload.args[2], machineId);

    // The file was in the temporary folder, named after the crash, and is gone.
    const std::string& path = upload.args[0];
    const std::string folder = Narrow(m_temp) + "\\";
    ASSERT_EQ(_strnicmp(path.c_str(), folder.c_str(), folder.size()), 0) << path;
    EXPECT_TRUE(ListFolder(m_temp).empty());
    std::smatch name;
    const std::string fileName = path.substr(folder.size());
    ASSERT_TRUE(std::regex_match(fileName, name,
                                 std::regex("1020_crashchild\\.exe_x64_([0-9A-F]{8})_([0-9A-F]{16})_C0000005_"
                                            "([0-9A-F]{8})_(20[0-9]{12})\\.txt")))
        << fileName;
    char digest[9];
    snprintf(digest, sizeof(digest), "%08X", ExpectedDigest32(m_child));
    EXPECT_EQ(name[1], digest);
    const uint64_t ownAddress = std::stoull(name[2], nullptr, 16);
    EXPECT_NE(ownAddress, 0u);
    EXPECT_EQ(name[3], machineId);

    // UTF-16 with its byte-order mark, every line ended, no terminator.
    ASSERT_GE(upload.report.size(), 2u);
    ASSERT_EQ(upload.report.substr(0, 2), "\xFF\xFE");
    ASSERT_EQ(upload.report.size() % 2, 0u);
    std::vector<std::string> lines = upload.Lines();
    ASSERT_EQ(lines.back(), "") << "the last line lacks its CR LF";
    lines.pop_back();
    ASSERT_GE(lines.size(), 9u);

    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex("[0-9]{2}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << lines[0];
    char identity[128];
    snprintf(identity, sizeof(identity), "crashchild.exe x64 1020 %s internal error (%llX/C0000005)", digest,
             static_cast<unsigned long long>(ownAddress));
    EXPECT_EQ(lines[1], identity);
    OSVERSIONINFOEXW os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&os));
    EXPECT_EQ(lines[2], "OS Info: MajorVersion[" + std::to_string(os.dwMajorVersion) + "] MinorVersion[" +
                            std::to_string(os.dwMinorVersion) + "] Build[" +
                            std::to_string(os.dwBuildNumber) + "] Platform[" +
                            std::to_string(os.dwPlatformId) + "] CSDVersion[" + Narrow(os.szCSDVersion) +
                            "]");

    ASSERT_EQ(lines[3], "Loaded modules:");
    size_t line = 4;
    bool childListed = false, uploadListedAlone = false;
    const std::regex versioned("(.+) Product Version = [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+  File Version = "
                               "[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+ Base=[0-9A-F]{16} Size=[0-9A-F]{8}");
    for (; line < lines.size() && lines[line] != "Call stack:"; ++line) {
        std::smatch module;
        if (std::regex_match(lines[line], module, versioned)) {
            if (_stricmp(module[1].str().c_str(), Narrow(m_child).c_str()) == 0) {
                childListed = true;
                EXPECT_NE(lines[line].find(" Product Version = 1.0.2.0  File Version = 1.0.2.0 Base="),
                          std::string::npos);
            }
        } else {
            // The stand-in upload library's version block has no fixed part: its path alone.
            EXPECT_EQ(_stricmp(lines[line].c_str(), Narrow(WinePath(QREPCLI_DLL)).c_str()), 0) << lines[line];
            uploadListedAlone = true;
        }
    }
    EXPECT_TRUE(childListed);
    EXPECT_TRUE(uploadListedAlone);

    ASSERT_LT(line + 1, lines.size());
    EXPECT_EQ(lines[line + 1], "Address           Frame             Logical addr  Module");
    const std::regex frameLine("([0-9A-F]{16})  [0-9A-F]{16}  ([0-9A-F]{4}):[0-9A-F]{8} (.*)");
    std::vector<std::smatch> frames;
    for (size_t i = line + 2; i < lines.size(); ++i) {
        std::smatch frame;
        ASSERT_TRUE(std::regex_match(lines[i], frame, frameLine)) << lines[i];
        frames.push_back(frame);
    }
    // The fault, the function that called it and main are all frames of the executable; the
    // first of them gives the own address.
    ASSERT_GE(frames.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(_stricmp(frames[i][3].str().c_str(), Narrow(m_child).c_str()), 0) << frames[i][0];
        EXPECT_NE(frames[i][2], "0000");
    }
    EXPECT_EQ(std::stoull(frames[0][1], nullptr, 16), ownAddress);
}

TEST_F(CrashFilterTest, LaterReportsReuseTheMachineIdAndCarryTheirOwnCode) {
    CSavedReportKey::SetDword(kProduct, 1);
    CSavedReportKey::SetDword(kMachineId, 0x12345678);
    EXPECT_EQ(RunChild(m_child, L"raise"), kCustomCode);
    Upload upload;
    ASSERT_TRUE(ReadUpload(&upload));
    EXPECT_EQ(upload.args[2], "12345678");
    EXPECT_NE(upload.args[0].find("_E0564C58_12345678_"), std::string::npos) << upload.args[0];
    const std::vector<std::string> lines = upload.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[1].find(" internal error ("), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 10), "/E0564C58)") << lines[1];
    EXPECT_TRUE(ListFolder(m_temp).empty());
}

TEST_F(CrashFilterTest, StackWithoutAFrameOfTheExecutableGivesOwnAddressZero) {
    CSavedReportKey::SetDword(kProduct, 1);
    EXPECT_EQ(RunChild(m_child, L"foreign"), kIllegalInstruction);
    Upload upload;
    ASSERT_TRUE(ReadUpload(&upload));
    EXPECT_NE(upload.args[0].find("_0000000000000000_C000001D_"), std::string::npos) << upload.args[0];
    const std::vector<std::string> lines = upload.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[1].find(" internal error (0/C000001D)"), std::string::npos) << lines[1];
}

TEST_F(CrashFilterTest, MissingUploadLibraryEndsTheProcessWithoutAReport) {
    CSavedReportKey::SetDword(kProduct, 1);
    std::wstring alone;
    ASSERT_TRUE(CopyChildAlone(&alone));
    EXPECT_EQ(RunChild(alone, L"access previous"), kAccessViolation);
    EXPECT_FALSE(PreviousFilterRan());
    EXPECT_TRUE(ListFolder(m_temp).empty());
    EXPECT_TRUE(ListFolder(m_upload).empty());
}

TEST_F(CrashFilterTest, UploadLibraryOnThePathIsNotUsed) {
    CSavedReportKey::SetDword(kProduct, 1);
    std::wstring alone;
    ASSERT_TRUE(CopyChildAlone(&alone));
    const std::wstring stub = WinePath(QREPCLI_DLL);
    {
        CSavedEnvironmentVariable path(L"PATH");
        SetEnvironmentVariableW(L"PATH", (stub.substr(0, stub.rfind(L'\\')) + L";" + path.Saved()).c_str());
        EXPECT_EQ(RunChild(alone, L"access previous"), kAccessViolation);
    }
    EXPECT_TRUE(ListFolder(m_upload).empty());
    EXPECT_TRUE(ListFolder(m_temp).empty());
}

TEST_F(CrashFilterTest, UploadLibraryImportsNothingThroughThePath) {
    // The library beside the executable needs one that only a folder of PATH holds: it cannot be
    // loaded, so there is no report, and the library on PATH never runs.
    CSavedReportKey::SetDword(kProduct, 1);
    std::wstring alone;
    ASSERT_TRUE(CopyChildAlone(&alone));
    ASSERT_TRUE(
        CopyFileW(WinePath(QREPCLI_IMPORTING_DLL).c_str(), (m_root + L"\\qrepcli.dll").c_str(), TRUE));
    const std::wstring dep = WinePath(QREPDEP_DLL);
    const std::wstring depMarker = m_root + L"\\dependency-loaded";
    {
        CSavedEnvironmentVariable path(L"PATH"), marker(L"VOLARIX_DEP_MARKER");
        SetEnvironmentVariableW(L"PATH", (dep.substr(0, dep.rfind(L'\\')) + L";" + path.Saved()).c_str());
        SetEnvironmentVariableW(L"VOLARIX_DEP_MARKER", depMarker.c_str());
        EXPECT_EQ(RunChild(alone, L"access previous"), kAccessViolation);
    }
    EXPECT_EQ(GetFileAttributesW(depMarker.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(PreviousFilterRan());
    EXPECT_TRUE(ListFolder(m_upload).empty());
    EXPECT_TRUE(ListFolder(m_temp).empty());
}

TEST_F(CrashFilterTest, FailingUploadStillEndsTheProcessAndLeavesNoReport) {
    CSavedReportKey::SetDword(kProduct, 1);
    SetEnvironmentVariableW(L"VOLARIX_UPLOAD_MODE", L"fail");
    EXPECT_EQ(RunChild(m_child, L"access previous"), kAccessViolation);
    EXPECT_FALSE(PreviousFilterRan());
    EXPECT_TRUE(ListFolder(m_temp).empty());

    // An exception inside the upload ends the report; the process still ends with the crash's code.
    SetEnvironmentVariableW(L"VOLARIX_UPLOAD_MODE", L"raise");
    EXPECT_EQ(RunChild(m_child, L"access previous"), kAccessViolation);
    EXPECT_FALSE(PreviousFilterRan());
    Upload upload;
    EXPECT_TRUE(ReadUpload(&upload));
}

TEST_F(CrashFilterTest, ReportThatCannotBeCreatedIsNotHandedOn) {
    CSavedReportKey::SetDword(kProduct, 1);
    const std::wstring missing = m_root + L"\\no-such-folder";
    SetEnvironmentVariableW(L"TMP", missing.c_str());
    SetEnvironmentVariableW(L"TEMP", missing.c_str());
    EXPECT_EQ(RunChild(m_child, L"access previous"), kAccessViolation);
    EXPECT_FALSE(PreviousFilterRan());
    EXPECT_TRUE(ListFolder(m_upload).empty());
}

TEST_F(CrashFilterTest, TemporaryFolderThatDoesNotFitGivesNoReport) {
    // No drive root stands in for it: there every user could read and change the report.
    CSavedReportKey::SetDword(kProduct, 1);
    const std::wstring tooLong = m_temp + L"\\" + std::wstring(MAX_PATH, L'x');
    SetEnvironmentVariableW(L"TMP", tooLong.c_str());
    SetEnvironmentVariableW(L"TEMP", tooLong.c_str());
    EXPECT_EQ(RunChild(m_child, L"access"), kAccessViolation);
    EXPECT_FALSE(PreviousFilterRan());
    EXPECT_TRUE(ListFolder(m_upload).empty());
}

TEST_F(CrashFilterTest, FileAlreadyAtTheReportsNameIsNeverOpened) {
    // Users may create files in the temporary folder. The first report shows the name a crash
    // gets; files planted at that name for every second the next run may take stay as they were,
    // and that crash gets no report.
    CSavedReportKey::SetDword(kProduct, 1);
    EXPECT_EQ(RunChild(m_child, L"raise"), kCustomCode);
    Upload first;
    ASSERT_TRUE(ReadUpload(&first));
    const std::string kTimeAndExtension = "YYYYmmddHHMMSS.txt";
    ASSERT_GT(first.args[0].size(), kTimeAndExtension.size());
    const std::string named = first.args[0].substr(0, first.args[0].size() - kTimeAndExtension.size());
    ASSERT_TRUE(DeleteFileW((m_upload + L"\\report.txt").c_str()));
    ASSERT_TRUE(DeleteFileW((m_upload + L"\\args.txt").c_str()));

    const std::string kPlanted = "planted by a user";
    std::vector<std::string> planted;
    for (time_t t = time(nullptr) - 1, end = t + 120; t <= end; ++t) {
        char stamp[16];
        ASSERT_EQ(strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", localtime(&t)), 14u);
        planted.push_back(named + stamp + ".txt");
        HANDLE file = CreateFileA(planted.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << planted.back();
        DWORD written = 0;
        WriteFile(file, kPlanted.data(), static_cast<DWORD>(kPlanted.size()), &written, nullptr);
        CloseHandle(file);
    }
    EXPECT_EQ(RunChild(m_child, L"raise"), kCustomCode);
    EXPECT_TRUE(ListFolder(m_upload).empty());
    EXPECT_EQ(ListFolder(m_temp).size(), planted.size());
    for (const std::string& path : planted) {
        std::string bytes;
        EXPECT_TRUE(ReadBytes(std::wstring(path.begin(), path.end()), &bytes) && bytes == kPlanted) << path;
    }
}

} // namespace
