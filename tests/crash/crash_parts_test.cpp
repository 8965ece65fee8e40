// The parts of the crash report, in process: the upload library's registry values, logical
// addresses, the stack walk and the module list.
#include "crash_filter.h"
#include "crash_test_support.h"
#include "disk_file.h"
#include "environment.h"
#include "import_patch.h"
#include "module_list.h"
#include "report_client.h"
#include "saved_environment.h"
#include "stack_walk.h"

#include <dbghelp.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

const wchar_t kSwitch[] = L"VolarixPartsTest";
const wchar_t kMachineId[] = L"UUID";

TEST(ReportClientTest, SwitchReadsFourBytesOfAnyTypeAndCreatesTheKey) {
    CSavedReportKey saved({kSwitch});
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, CSavedReportKey::kPath, KEY_WOW64_64KEY, 0);
    EXPECT_EQ(ReadReportClientValue(kSwitch), 0u);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, CSavedReportKey::kPath, 0, KEY_READ | KEY_WOW64_64KEY, &key),
              0);
    RegCloseKey(key);

    ASSERT_TRUE(CSavedReportKey::SetDword(kSwitch, 7));
    EXPECT_EQ(ReadReportClientValue(kSwitch), 7u);
    const BYTE binary[4] = {1, 0, 0, 0};
    ASSERT_TRUE(CSavedReportKey::Set(kSwitch, REG_BINARY, binary, sizeof(binary)));
    EXPECT_EQ(ReadReportClientValue(kSwitch), 1u);
    // Longer than 4 bytes cannot be read: off.
    const BYTE longer[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(CSavedReportKey::Set(kSwitch, REG_BINARY, longer, sizeof(longer)));
    EXPECT_EQ(ReadReportClientValue(kSwitch), 0u);
}

TEST(ReportClientTest, MachineIdIsCreatedOnceAndReplacesAnUnreadableValue) {
    CSavedReportKey saved({kMachineId});
    CSavedReportKey::Remove(kMachineId);
    const uint32_t first = GetReportMachineId();
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(CSavedReportKey::Get(kMachineId, &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(data.data()), first);
    EXPECT_EQ(GetReportMachineId(), first);

    const BYTE longer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(CSavedReportKey::Set(kMachineId, REG_BINARY, longer, sizeof(longer)));
    const uint32_t replaced = GetReportMachineId();
    ASSERT_TRUE(CSavedReportKey::Get(kMachineId, &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(data.data()), replaced);
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

const IMAGE_SECTION_HEADER* FirstSection(const BYTE* module) {
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        module + reinterpret_cast<const IMAGE_DOS_HEADER*>(module)->e_lfanew);
    return IMAGE_FIRST_SECTION(nt);
}

TEST(LogicalAddressTest, CodeAddressesResolveToTheirSectionUpToAndIncludingItsEnd) {
    const auto* module = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const void* code = reinterpret_cast<const void*>(&OwnPath);
    wchar_t path[MAX_PATH] = L"";
    uint32_t section = 0, offset = 0;
    ASSERT_TRUE(GetLogicalAddress(code, path, &section, &offset));
    EXPECT_EQ(_wcsicmp(path, OwnPath().c_str()), 0);
    ASSERT_GE(section, 1u);
    EXPECT_EQ(module + FirstSection(module)[section - 1].VirtualAddress + offset, code);

    const IMAGE_SECTION_HEADER& first = FirstSection(module)[0];
    const uint32_t size = std::max<uint32_t>(first.Misc.VirtualSize, first.SizeOfRawData);
    section = offset = 0;
    ASSERT_TRUE(GetLogicalAddress(module + first.VirtualAddress + size, path, &section, &offset));
    EXPECT_EQ(section, 1u);
    EXPECT_EQ(offset, size);
}

TEST(LogicalAddressTest, AddressesOutsideEveryModuleHaveNoPath) {
    wchar_t path[MAX_PATH] = L"";
    uint32_t section = 0, offset = 0;
    // VirtualQuery refuses kernel space.
    EXPECT_FALSE(
        GetLogicalAddress(reinterpret_cast<const void*>(0xFFFF800000000000ull), path, &section, &offset));
    EXPECT_STREQ(path, L"");

    // Free memory has a null allocation base; it must not be taken for the executable.
    void* region = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(region, nullptr);
    ASSERT_TRUE(VirtualFree(region, 0, MEM_RELEASE));
    EXPECT_FALSE(GetLogicalAddress(region, path, &section, &offset));
    EXPECT_STREQ(path, L"");

    void* allocated = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(allocated, nullptr);
    EXPECT_FALSE(GetLogicalAddress(allocated, path, &section, &offset));
    EXPECT_STREQ(path, L"");
    VirtualFree(allocated, 0, MEM_RELEASE);
    EXPECT_EQ(section, 0u);
    EXPECT_EQ(offset, 0u);
}

__attribute__((noinline)) void WalkFromHere(CFrameList& frames) {
    CONTEXT context;
    RtlCaptureContext(&context);
    WalkStack(&context, frames);
    __asm__ __volatile__("" ::: "memory");
}

TEST(StackWalkTest, WalksFromAContextToTheThreadStart) {
    CFrameList frames;
    WalkFromHere(frames);
    ASSERT_GE(frames.Count(), 3u);
    EXPECT_EQ(_wcsicmp(frames[0].modulePath, OwnPath().c_str()), 0);
    EXPECT_GE(frames[0].section, 1u);
    for (size_t i = 1; i < frames.Count(); ++i)
        EXPECT_NE(frames[i].programCounter, frames[i - 1].programCounter);
}

std::wstring g_dbghelpRequest;

HMODULE WINAPI RefuseDbghelp(const wchar_t* name) {
    const size_t length = wcslen(name);
    if (length >= 11 && _wcsicmp(name + length - 11, L"dbghelp.dll") == 0) {
        g_dbghelpRequest = name;
        return nullptr;
    }
    return LoadLibraryExW(name, nullptr, 0);
}

TEST(StackWalkTest, WithoutDbghelpThereAreNoFramesAndItIsAskedForInTheSystemFolder) {
    CImportPatch patch("KERNEL32.dll", "LoadLibraryW", reinterpret_cast<void*>(&RefuseDbghelp));
    ASSERT_TRUE(patch.Active());
    CFrameList frames;
    WalkFromHere(frames);
    EXPECT_EQ(frames.Count(), 0u);
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_EQ(_wcsicmp(g_dbghelpRequest.c_str(), (std::wstring(system) + L"\\dbghelp.dll").c_str()), 0);
    g_dbghelpRequest.clear();
}

// A stand-in for StackWalk64 that plays a script of (program counter, return address) pairs
// and then fails.
struct ScriptedFrame {
    DWORD64 pc, ret;
};
const ScriptedFrame* g_script;
size_t g_scriptLength, g_scriptCalls;
CImportPatch* g_getProcAddressPatch;

BOOL WINAPI ScriptedStackWalk(DWORD, HANDLE, HANDLE, LPSTACKFRAME64 frame, PVOID,
                              PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                              PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64) {
    if (g_scriptCalls == g_scriptLength)
        return FALSE;
    frame->AddrPC.Offset = g_script[g_scriptCalls].pc;
    frame->AddrReturn.Offset = g_script[g_scriptCalls].ret;
    ++g_scriptCalls;
    return TRUE;
}

FARPROC WINAPI ScriptedGetProcAddress(HMODULE module, const char* name) {
    if (reinterpret_cast<uintptr_t>(name) > 0xFFFF && strcmp(name, "StackWalk64") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&ScriptedStackWalk));
    return g_getProcAddressPatch->Original<decltype(&GetProcAddress)>()(module, name);
}

size_t WalkScript(const ScriptedFrame* script, size_t length) {
    g_script = script;
    g_scriptLength = length;
    g_scriptCalls = 0;
    CImportPatch patch("KERNEL32.dll", "GetProcAddress", reinterpret_cast<void*>(&ScriptedGetProcAddress));
    g_getProcAddressPatch = &patch;
    EXPECT_TRUE(patch.Active());
    CFrameList frames;
    WalkFromHere(frames);
    return frames.Count();
}

TEST(StackWalkTest, TheWalkEndsOnAFrameWithoutReturnOrReturningToItself) {
    const ScriptedFrame noReturn[] = {{0x1000, 0x2000}, {0x2000, 0}, {0x3000, 0x4000}};
    EXPECT_EQ(WalkScript(noReturn, 3), 2u);
    const ScriptedFrame toItself[] = {{0x1000, 0x2000}, {0x2000, 0x2000}, {0x3000, 0x4000}};
    EXPECT_EQ(WalkScript(toItself, 3), 2u);
    const ScriptedFrame failing[] = {{0x1000, 0x2000}, {0x2000, 0x3000}};
    EXPECT_EQ(WalkScript(failing, 2), 2u);
}

std::vector<std::string> ReadUtf16Lines(const std::wstring& path) {
    std::vector<std::string> lines;
    CDiskFile file;
    file.Open(path.c_str(), kDiskFileRead | kDiskFileShareRead);
    std::wstring text(static_cast<size_t>(file.GetLength() / 2), L'\0');
    file.Read(&text[0], static_cast<uint32_t>(text.size() * 2));
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(Narrow(text.substr(start, end - start)));
    return lines;
}

std::wstring TempFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name + std::to_wstring(GetCurrentProcessId());
}

TEST(ModuleListTest, ListsVersionedModulesAndThePathAloneWithoutFixedVersion) {
    const std::wstring stub = WinePath(QREPCLI_DLL);
    ASSERT_NE(LoadLibraryW(stub.c_str()), nullptr);
    const std::wstring path = TempFile(L"volarix-modules-");
    {
        CDiskFile file;
        file.Open(path.c_str(), kDiskFileWrite | kDiskFileCreate);
        WriteModuleList(file);
    }
    const std::vector<std::string> lines = ReadUtf16Lines(path);
    DeleteFileW(path.c_str());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Loaded modules:");
    bool stubAlone = false, ntdllVersioned = false;
    for (const std::string& line : lines) {
        // The test program has no version resource at all: no line.
        EXPECT_EQ(line.find(Narrow(OwnPath())), std::string::npos) << line;
        stubAlone |= _stricmp(line.c_str(), Narrow(stub).c_str()) == 0;
        ntdllVersioned |= line.find("\\ntdll.dll Product Version = ") != std::string::npos;
    }
    EXPECT_TRUE(stubAlone);
    EXPECT_TRUE(ntdllVersioned);

    // A write failure ends the section inside its guard.
    CDiskFile closed;
    WriteModuleListGuarded(closed);
}

int g_writesLeft;
CImportPatch* g_writeFilePatch;

BOOL WINAPI FailingWriteFile(HANDLE file, const void* data, DWORD size, DWORD* written,
                             OVERLAPPED* overlapped) {
    if (g_writesLeft-- > 0)
        return g_writeFilePatch->Original<decltype(&WriteFile)>()(file, data, size, written, overlapped);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

TEST(CrashReportTest, AReportCutShortIsNeitherHandedOnNorLeftBehind) {
    CSavedReportKey saved({kSwitch});
    ASSERT_TRUE(CSavedReportKey::SetDword(kSwitch, 1));
    ASSERT_NE(LoadLibraryW(WinePath(QREPCLI_DLL).c_str()), nullptr);
    ASSERT_TRUE(CreateAppLocale());
    ASSERT_TRUE(ReadModulePath());
    g_ProductName = kSwitch;
    g_OriginalFilename = L"parts.exe";
    g_VersionInfoLoaded = 1;

    const std::wstring folder = TempFile(L"volarix-cut-");
    const std::wstring upload = folder + L"\\upload";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(upload.c_str(), nullptr));
    CSavedEnvironmentVariable savedTmp(L"TMP"), savedUploadDir(L"VOLARIX_UPLOAD_DIR");
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"VOLARIX_UPLOAD_DIR", upload.c_str());

    CONTEXT context;
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = 0xE0000001;
    EXCEPTION_POINTERS pointers = {&record, &context};
    uint32_t passOn = 1;
    {
        CImportPatch patch("KERNEL32.dll", "WriteFile", reinterpret_cast<void*>(&FailingWriteFile));
        g_writeFilePatch = &patch;
        ASSERT_TRUE(patch.Active());
        g_writesLeft = 3;
        WriteCrashReport(&pointers, &passOn);
    }
    EXPECT_EQ(passOn, 0u);
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*.txt").c_str(), &entry);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "left behind: " << Narrow(entry.cFileName);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    EXPECT_EQ(GetFileAttributesW((upload + L"\\report.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    RemoveDirectoryW(upload.c_str());
    RemoveDirectoryW(folder.c_str());
}

} // namespace
