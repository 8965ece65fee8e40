#include "volume_stand_ins.h"

#include "apfs_probe.h"
#include "event_log.h"

#include <cfgmgr32.h>
#include <gtest/gtest.h>

#include <string.h>

FakePlatform g_fake;

namespace {

HANDLE const kMountManager = reinterpret_cast<HANDLE>(0x6d00);
HANDLE const kEventSource = reinterpret_cast<HANDLE>(0x6d10);
constexpr DEVINST kRoot = 1;
constexpr DEVINST kFirstChild = 100;
// A link whose name the answer places outside itself.
constexpr wchar_t kStrayLink[] = L"<stray>";

// The node that the last cut walk stood on, until the next walk begins.
DEVINST g_removedNode = 0;
DWORD g_testThread = 0;
CImportPatch* g_open = nullptr;
CImportPatch* g_close = nullptr;
CImportPatch* g_ioctl = nullptr;

CONFIGRET WINAPI FakeLocate(PDEVINST node, DEVINSTID_W id, ULONG flags) {
    EXPECT_STREQ(L"ROOT\\VOLMGR\\0000", id);
    EXPECT_EQ(static_cast<ULONG>(CM_LOCATE_DEVNODE_NORMAL), flags);
    SetEvent(g_fake.walked);
    if (g_fake.locateFails) {
        SetLastError(g_fake.cmError);
        return CR_NO_SUCH_DEVNODE;
    }
    *node = kRoot;
    return CR_SUCCESS;
}

CONFIGRET WINAPI FakeChild(PDEVINST child, DEVINST node, ULONG) {
    EXPECT_EQ(kRoot, node);
    if (g_fake.tree.empty()) {
        SetLastError(g_fake.cmError);
        return CR_NO_SUCH_DEVNODE;
    }
    g_removedNode = 0;
    *child = kFirstChild;
    return CR_SUCCESS;
}

CONFIGRET WINAPI FakeSibling(PDEVINST sibling, DEVINST node, ULONG) {
    // As the configuration manager does, whatever the answer.
    *sibling = 0;
    if (g_fake.cutTimes > 0 && g_fake.tree.at(node - kFirstChild).name == g_fake.cutAt) {
        --g_fake.cutTimes;
        if (g_fake.cutAnswer == CR_NO_SUCH_DEVNODE)
            g_removedNode = node;
        return g_fake.cutAnswer;
    }
    if (node + 1 - kFirstChild >= g_fake.tree.size())
        return CR_NO_SUCH_DEVNODE;
    *sibling = node + 1;
    return CR_SUCCESS;
}

CONFIGRET WINAPI FakeStatus(PULONG status, PULONG problem, DEVINST node, ULONG flags) {
    EXPECT_EQ(0u, flags);
    if (node == g_removedNode)
        return CR_NO_SUCH_DEVINST;
    *status = DN_DRIVER_LOADED | DN_STARTED;
    *problem = 0;
    return CR_SUCCESS;
}

CONFIGRET WINAPI FakeProperty(DEVINST node, ULONG property, PULONG type, PVOID buffer, PULONG length, ULONG) {
    EXPECT_EQ(static_cast<ULONG>(CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME), property);
    EXPECT_EQ(nullptr, type);
    EXPECT_EQ(520u, *length);
    const std::wstring& name = g_fake.tree.at(node - kFirstChild).name;
    if (name.empty())
        return CR_NO_SUCH_VALUE;
    const ULONG bytes = static_cast<ULONG>((name.size() + 1) * sizeof(wchar_t));
    if (bytes > *length) {
        *length = bytes;
        return CR_BUFFER_SMALL;
    }
    memcpy(buffer, name.c_str(), bytes);
    *length = bytes;
    return CR_SUCCESS;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE source) {
    if (wcscmp(name, L"\\\\.\\MountPointManager") != 0)
        return g_open->Original<decltype(&CreateFileW)>()(name, access, share, security, disposition, flags,
                                                          source);
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), access);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE), share);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), disposition);
    if (g_fake.mountManagerError) {
        SetLastError(g_fake.mountManagerError);
        return INVALID_HANDLE_VALUE;
    }
    ++g_fake.mountManagerOpen;
    return kMountManager;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
    if (handle != kMountManager)
        return g_close->Original<decltype(&CloseHandle)>()(handle);
    --g_fake.mountManagerOpen;
    return TRUE;
}

void Put32(std::vector<BYTE>& out, size_t at, uint32_t v) {
    memcpy(&out[at], &v, sizeof(v));
}

void Put16(std::vector<BYTE>& out, size_t at, uint16_t v) {
    memcpy(&out[at], &v, sizeof(v));
}

// MOUNTMGR_MOUNT_POINTS: Size, count, 24-byte entries, then the link names.
std::vector<BYTE> MountPoints(const std::vector<std::wstring>& links) {
    std::vector<BYTE> out(8 + 24 * links.size());
    for (size_t i = 0; i < links.size(); ++i) {
        const size_t entry = 8 + 24 * i;
        if (links[i] == kStrayLink) {
            Put32(out, entry, 0xFFFFFFF0u);
            Put16(out, entry + 4, 28);
            continue;
        }
        Put32(out, entry, static_cast<uint32_t>(out.size()));
        Put16(out, entry + 4, static_cast<uint16_t>(links[i].size() * sizeof(wchar_t)));
        const BYTE* text = reinterpret_cast<const BYTE*>(links[i].data());
        out.insert(out.end(), text, text + links[i].size() * sizeof(wchar_t));
    }
    Put32(out, 0, static_cast<uint32_t>(out.size()));
    Put32(out, 4, static_cast<uint32_t>(links.size()));
    return out;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped) {
    if (device != kMountManager)
        return g_ioctl->Original<decltype(&DeviceIoControl)>()(device, code, in, inSize, out, outSize,
                                                               returned, overlapped);
    EXPECT_EQ(0x006D0008u, code);
    EXPECT_EQ(nullptr, overlapped);
    EXPECT_EQ(4096u, outSize);
    const BYTE* input = static_cast<const BYTE*>(in);
    g_fake.lastQueryInput.assign(input, input + inSize);
    uint32_t offset = 0;
    uint16_t length = 0;
    memcpy(&offset, input + 16, sizeof(offset));
    memcpy(&length, input + 20, sizeof(length));
    std::wstring name(reinterpret_cast<const wchar_t*>(input + offset), length / sizeof(wchar_t));
    g_fake.queried.push_back(name);
    for (const std::wstring& failing : g_fake.queryFails)
        if (failing == name) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    std::vector<std::wstring> links;
    for (const FakeVolume& volume : g_fake.tree)
        if (volume.name == name)
            links = volume.links;
    std::vector<BYTE> answer = MountPoints(links);
    if (answer.size() > outSize) {
        memcpy(out, answer.data(), 4);
        *returned = 4;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    memcpy(out, answer.data(), answer.size());
    *returned = static_cast<DWORD>(answer.size());
    return TRUE;
}

BOOL WINAPI FakeReportEvent(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR* texts, LPVOID) {
    g_fake.events.push_back(texts[0]);
    return TRUE;
}

void WINAPI FakeExitProcess(UINT code) {
    g_fake.exitCode = code;
    if (GetCurrentThreadId() == g_testThread)
        throw ProcessEnded();
    ExitThread(code);
}

template <typename F> void* Fn(F* f) {
    return reinterpret_cast<void*>(f);
}

} // namespace

// The probe itself is tested with real images elsewhere; here each device answers as its test
// says.
int ProbeApfsVolume(const wchar_t* deviceName) {
    ++g_fake.probes[deviceName];
    SetEvent(g_fake.probed);
    if (g_fake.gate)
        WaitForSingleObject(g_fake.gate, INFINITE);
    for (const FakeVolume& volume : g_fake.tree)
        if (volume.name == deviceName)
            return volume.probe;
    return 0;
}

CFakeVolumePlatform::CFakeVolumePlatform() {
    g_fake = FakePlatform();
    g_removedNode = 0;
    g_fake.probed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_fake.walked = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_testThread = GetCurrentThreadId();
    static bool lockReady = false;
    if (!lockReady) {
        InitializeCriticalSection(&g_EventLogLock);
        lockReady = true;
    }
    g_hEventSource = kEventSource;

    auto patch = [this](const char* dll, const char* function, void* replacement) {
        m_patches.push_back(std::make_unique<CImportPatch>(dll, function, replacement));
        EXPECT_TRUE(m_patches.back()->Active()) << function;
        return m_patches.back().get();
    };
    patch("CFGMGR32.dll", "CM_Locate_DevNodeW", Fn(FakeLocate));
    patch("CFGMGR32.dll", "CM_Get_Child", Fn(FakeChild));
    patch("CFGMGR32.dll", "CM_Get_Sibling", Fn(FakeSibling));
    patch("CFGMGR32.dll", "CM_Get_DevNode_Status", Fn(FakeStatus));
    patch("CFGMGR32.dll", "CM_Get_DevNode_Registry_PropertyW", Fn(FakeProperty));
    g_open = patch("KERNEL32.dll", "CreateFileW", Fn(FakeCreateFile));
    g_close = patch("KERNEL32.dll", "CloseHandle", Fn(FakeCloseHandle));
    g_ioctl = patch("KERNEL32.dll", "DeviceIoControl", Fn(FakeDeviceIoControl));
    patch("KERNEL32.dll", "ExitProcess", Fn(FakeExitProcess));
    patch("ADVAPI32.dll", "ReportEventW", Fn(FakeReportEvent));
}

CFakeVolumePlatform::~CFakeVolumePlatform() {
    m_patches.clear();
    g_hEventSource = nullptr;
    CloseHandle(g_fake.probed);
    CloseHandle(g_fake.walked);
}

std::wstring VolumeName(int number) {
    return L"\\Device\\HarddiskVolume" + std::to_wstring(number);
}

std::wstring DriveLink(wchar_t letter) {
    return std::wstring(L"\\DosDevices\\") + letter + L":";
}
