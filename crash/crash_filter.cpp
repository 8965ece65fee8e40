#include "crash_filter.h"

#include "disk_file.h"
#include "environment.h"
#include "md5.h"
#include "module_list.h"
#include "path_parts.h"
#include "report_client.h"
#include "report_line.h"
#include "seh_guard.h"
#include "stack_walk.h"
#include "string_helpers.h"

#include <ctime>
#include <string>

LPTOP_LEVEL_EXCEPTION_FILTER g_PrevCrashFilter = nullptr;

namespace {

const wchar_t kPlatform[] = L"x64";

struct ReportCall {
    EXCEPTION_POINTERS* pointers;
    uint32_t passOn;
};

struct PreviousFilterCall {
    EXCEPTION_POINTERS* pointers;
    LONG result;
};

void RunReport(void* call) {
    auto* report = static_cast<ReportCall*>(call);
    WriteCrashReport(report->pointers, &report->passOn);
}

void RunPreviousFilter(void* call) {
    auto* previous = static_cast<PreviousFilterCall*>(call);
    previous->result = g_PrevCrashFilter(previous->pointers);
}

// The program counter of the innermost frame in the service's own executable; 0 when none.
uint64_t FindOwnAddress(const CFrameList& frames) {
    for (size_t i = 0; i < frames.Count(); ++i) {
        if (_wcsicmp_l(frames[i].modulePath, g_ModulePath.c_str(), g_Locale) == 0)
            return frames[i].programCounter;
    }
    return 0;
}

void WriteReport(CDiskFile& file, time_t now, uint32_t digest32, uint64_t ownAddress, uint32_t exceptionCode,
                 const CFrameList& frames) {
    static const BYTE kByteOrderMark[] = {0xFF, 0xFE};
    file.Write(kByteOrderMark, sizeof(kByteOrderMark));

    std::wstring line;
    line.reserve(kReportLineCapacity);
    line.assign(FormatTimeW(now, L"%d-%b-%y %H:%M:%S").c_str());
    WriteReportLine(line, file);
    FormatReportLine(line, L"%s %s %d%d%d%d %08X internal error (%llX/%X)", g_OriginalFilename.c_str(),
                     kPlatform, g_FileVersion[0], g_FileVersion[1], g_FileVersion[2], g_FileVersion[3],
                     digest32, static_cast<unsigned long long>(ownAddress), exceptionCode);
    WriteReportLine(line, file);
    if (!g_OsVersionLoaded)
        ReadOsVersion();
    FormatReportLine(line,
                     L"OS Info: MajorVersion[%d] MinorVersion[%d] Build[%d] Platform[%d] CSDVersion[%s]",
                     g_OsVersion.dwMajorVersion, g_OsVersion.dwMinorVersion, g_OsVersion.dwBuildNumber,
                     g_OsVersion.dwPlatformId, g_OsVersion.szCSDVersion);
    WriteReportLine(line, file);

    WriteModuleListGuarded(file);

    line = L"Call stack:";
    WriteReportLine(line, file);
    line = L"Address           Frame             Logical addr  Module";
    WriteReportLine(line, file);
    for (size_t i = 0; i < frames.Count(); ++i) {
        const StackFrameRecord& frame = frames[i];
        FormatReportLine(line, L"%016llX  %016llX  %04X:%08X %s",
                         static_cast<unsigned long long>(frame.programCounter),
                         static_cast<unsigned long long>(frame.frameAddress), frame.section, frame.offset,
                         frame.modulePath);
        WriteReportLine(line, file);
    }
}

// The temporary folder with its trailing backslash; false when the system has none that fits. No
// other folder stands in: a file the service made in a drive root would inherit write access for
// every user, who could then read the report or change it before the upload.
bool ReportFolder(std::wstring& out) {
    wchar_t folder[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    // A longer path is not written at all: the result is then the size it would need.
    if (length == 0 || length >= MAX_PATH)
        return false;
    out.assign(folder, length);
    return true;
}

} // namespace

void SetCrashFilter() {
    g_PrevCrashFilter = SetUnhandledExceptionFilter(&CrashFilter);
}

void InstallCrashHandler() {
    SetCrashFilter();
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
    ReportCall report = {pointers, 1};
    RunGuarded(&RunReport, &report);
    if (report.passOn == 0 || g_PrevCrashFilter == nullptr)
        return EXCEPTION_EXECUTE_HANDLER;
    PreviousFilterCall previous = {pointers, EXCEPTION_EXECUTE_HANDLER};
    if (!RunGuarded(&RunPreviousFilter, &previous))
        return EXCEPTION_EXECUTE_HANDLER;
    return previous.result;
}

void WriteCrashReport(EXCEPTION_POINTERS* pointers, uint32_t* passOn) {
    *passOn = 1;
    if (g_Locale == nullptr && !CreateAppLocale())
        return;
    if (!g_VersionInfoLoaded && !ReadOwnVersionInfo())
        return;
    if (ReadReportClientValue(g_ProductName.c_str()) == 0)
        return;

    CFrameList frames;
    WalkStackGuarded(pointers->ContextRecord, frames);
    const uint64_t ownAddress = FindOwnAddress(frames);
    *passOn = 0;

    // Only the copy installed beside the executable: by bare name the search order would also take
    // a library planted on PATH, and run it as the service's account. Its own imports come from its
    // folder and System32 alone, for the same reason; a system that cannot load it so has none.
    if (!g_ModulePathLoaded && !ReadModulePath())
        return;
    const wchar_t* modulePath = g_ModulePath.c_str();
    const std::wstring clientPath = std::wstring(modulePath, PathFileNamePart(modulePath)) + L"qrepcli.dll";
    HMODULE client = LoadLibraryExW(clientPath.c_str(), nullptr,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (client == nullptr)
        return;
    auto upload = reinterpret_cast<UploadCrashReportWFn>(
        reinterpret_cast<void*>(GetProcAddress(client, "UploadCrashReportW")));
    if (upload == nullptr)
        return;

    const uint32_t digest32 = GetModuleDigest32();
    const time_t now = time(nullptr);
    const uint32_t machineId = GetReportMachineId();
    const uint32_t exceptionCode = pointers->ExceptionRecord->ExceptionCode;
    std::wstring name;
    FormatStringW(name, L"%d%d%d%d_%s_%s_%08X_%016llX_%08X_%08X_%s.txt", g_FileVersion[0], g_FileVersion[1],
                  g_FileVersion[2], g_FileVersion[3], g_OriginalFilename.c_str(), kPlatform, digest32,
                  static_cast<unsigned long long>(ownAddress), exceptionCode, machineId,
                  FormatTimeW(now, L"%Y%m%d%H%M%S").c_str());
    std::wstring path;
    if (!ReportFolder(path))
        return;
    path += name;

    CDiskFile file;
    bool created = false;
    try {
        // Users may create files in the temporary folder: a name someone else holds, a link
        // included, is never opened, so the report goes only into a file the service made.
        file.Open(path.c_str(), kDiskFileWrite | kDiskFileShareRead | kDiskFileCreateNew);
        created = true;
        WriteReport(file, now, digest32, ownAddress, exceptionCode, frames);
    } catch (CDiskFileException* error) {
        delete error;
        // A report cut short is not handed on, and is not left behind in the temporary folder.
        file.Close();
        if (created)
            DeleteFileW(path.c_str());
        return;
    }
    file.Close();
    upload(path.c_str(), g_ProductName.c_str(), machineId);
    DeleteFileW(path.c_str());
}

uint32_t GetModuleDigest32() {
    CDiskFile file;
    try {
        file.Open(g_ModulePath.c_str(), kDiskFileRead | kDiskFileShareReadWrite);
        uint8_t digest[kMd5DigestSize];
        Md5DigestFile(file, digest);
        return HashOneAtATime16(digest);
    } catch (CDiskFileException* error) {
        delete error;
        return 0;
    }
}
