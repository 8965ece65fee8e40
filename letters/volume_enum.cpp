// Which volume devices exist (the configuration manager's children of the volume manager's node)
// and which of them already have a drive letter (the mount-point manager's answer).
#include "drive_letter_mgr.h"
#include "event_log.h"

#include <cfgmgr32.h>

#include <memory>
#include <string.h>
#include <vector>

namespace {

enum FatalId {
    kFatalMountPointManager = 1209,
    kFatalVolumeManagerNode = 1210,
    kFatalVolumeManagerChild = 1211,
};

constexpr wchar_t kVolumeManagerInstance[] = L"ROOT\\VOLMGR\\0000";
constexpr wchar_t kVolumeDevicePrefix[] = L"\\Device\\HarddiskVolume";
constexpr size_t kVolumeDevicePrefixBytes = sizeof(kVolumeDevicePrefix) - sizeof(wchar_t);
// MAX_PATH units: longer names fail the property read and are skipped.
constexpr ULONG kPropertyUnits = 260;
// Walks begun in one pass. Each restart follows a device removed under the walk; a tree that
// keeps changing this long is left to the pass that its next notification brings.
constexpr int kWalkAttempts = 4;

constexpr wchar_t kMountPointManager[] = L"\\\\.\\MountPointManager";
// IOCTL_MOUNTMGR_QUERY_POINTS.
constexpr DWORD kIoctlQueryPoints = 0x006D0008;
// An answer that needs more counts as one without a letter.
constexpr DWORD kPointsBytes = 4096;

// MOUNTMGR_MOUNT_POINT, the query's input and each entry of its answer; offsets count from the
// start of the buffer that holds it.
constexpr size_t kPointSize = 24;
constexpr size_t kPointLinkOffset = 0;
constexpr size_t kPointLinkLength = 4;
constexpr size_t kPointDeviceOffset = 16;
constexpr size_t kPointDeviceLength = 20;
// MOUNTMGR_MOUNT_POINTS: Size, NumberOfMountPoints, then the entries.
constexpr size_t kPointsCount = 4;
constexpr size_t kPointsEntries = 8;

// "\DosDevices\X:" with an upper-case letter, 14 units.
constexpr wchar_t kDosDevicesPrefix[] = L"\\DosDevices\\";
constexpr size_t kDosDevicesPrefixUnits = 12;
constexpr size_t kDriveLinkBytes = 28;

uint32_t ReadU32(const BYTE* p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

uint16_t ReadU16(const BYTE* p) {
    uint16_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

class CHandleHolder {
  public:
    explicit CHandleHolder(HANDLE h) : m_h(h) {}
    ~CHandleHolder() {
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    CHandleHolder(const CHandleHolder&) = delete;
    CHandleHolder& operator=(const CHandleHolder&) = delete;
    HANDLE Get() const { return m_h; }

  private:
    HANDLE m_h;
};

bool IsDriveLetterLink(const BYTE* link) {
    wchar_t units[kDriveLinkBytes / sizeof(wchar_t)];
    memcpy(units, link, kDriveLinkBytes);
    return memcmp(units, kDosDevicesPrefix, kDosDevicesPrefixUnits * sizeof(wchar_t)) == 0 &&
           units[12] >= L'A' && units[12] <= L'Z' && units[13] == L':';
}

// Whether the answer lists a drive-letter link. Entries and names that lie outside what the
// mount-point manager returned are not read.
bool HasDriveLetterLink(const BYTE* points, DWORD returned) {
    if (returned < kPointsEntries)
        return false;
    const uint32_t count = ReadU32(points + kPointsCount);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = kPointsEntries + static_cast<size_t>(i) * kPointSize;
        if (entry + kPointSize > returned)
            return false;
        const uint32_t offset = ReadU32(points + entry + kPointLinkOffset);
        const uint16_t length = ReadU16(points + entry + kPointLinkLength);
        if (length != kDriveLinkBytes || offset > returned || returned - offset < kDriveLinkBytes)
            continue;
        if (IsDriveLetterLink(points + offset))
            return true;
    }
    return false;
}

bool QueryHasLetter(HANDLE mountPointManager, const std::wstring& name) {
    const size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<BYTE> input(kPointSize + nameBytes + sizeof(wchar_t), 0);
    const uint32_t nameOffset = kPointSize;
    const uint16_t nameLength = static_cast<uint16_t>(nameBytes);
    memcpy(&input[kPointDeviceOffset], &nameOffset, sizeof(nameOffset));
    memcpy(&input[kPointDeviceLength], &nameLength, sizeof(nameLength));
    memcpy(&input[kPointSize], name.data(), nameBytes);

    std::vector<BYTE> output(kPointsBytes, 0);
    DWORD returned = 0;
    if (!DeviceIoControl(mountPointManager, kIoctlQueryPoints, input.data(), static_cast<DWORD>(input.size()),
                         output.data(), kPointsBytes, &returned, nullptr))
        return false;
    return HasDriveLetterLink(output.data(), returned < kPointsBytes ? returned : kPointsBytes);
}

// Appends the node's physical device object name when it names a numbered volume device.
void AppendVolumeName(DEVINST node, wchar_t* buffer, std::list<std::wstring>& names) {
    ULONG length = kPropertyUnits * sizeof(wchar_t);
    if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME, nullptr, buffer, &length,
                                          0) != CR_SUCCESS)
        return;
    if (length > kPropertyUnits * sizeof(wchar_t) || length < sizeof(wchar_t) ||
        length - sizeof(wchar_t) <= kVolumeDevicePrefixBytes)
        return;
    // The name ends at its first zero unit, which need not lie where the length says.
    const size_t units = wcsnlen(buffer, length / sizeof(wchar_t));
    if (units * sizeof(wchar_t) <= kVolumeDevicePrefixBytes ||
        memcmp(buffer, kVolumeDevicePrefix, kVolumeDevicePrefixBytes) != 0)
        return;
    names.emplace_back(buffer, units);
}

enum class WalkEnd { Complete, CutShort };

// One walk of the volume manager's children from its first. The end of the list and the removal
// of the node the walk stands on give the same answer; the node's own status tells them apart.
WalkEnd WalkVolumeDevices(DEVINST manager, wchar_t* buffer, std::list<std::wstring>& names) {
    DEVINST node = 0;
    if (CM_Get_Child(&node, manager, 0) != CR_SUCCESS)
        RaiseFatalError(kFatalVolumeManagerChild, GetLastError());
    for (;;) {
        AppendVolumeName(node, buffer, names);
        // A failed call may have written its answer too: the node asked about is kept apart.
        DEVINST sibling = 0;
        const CONFIGRET answer = CM_Get_Sibling(&sibling, node, 0);
        if (answer == CR_NO_SUCH_DEVNODE) {
            ULONG status = 0, problem = 0;
            return CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_NO_SUCH_DEVINST
                       ? WalkEnd::CutShort
                       : WalkEnd::Complete;
        }
        // Any other failure leaves the rest of the list unknown.
        if (answer != CR_SUCCESS)
            return WalkEnd::CutShort;
        node = sibling;
    }
}

} // namespace

bool CDriveLetterMgr::EnumVolumeDevices(std::list<std::wstring>& names) {
    DEVINST manager = 0;
    // The error part is the thread's last error, not the CONFIGRET.
    if (CM_Locate_DevNodeW(&manager, const_cast<DEVINSTID_W>(kVolumeManagerInstance),
                           CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS)
        RaiseFatalError(kFatalVolumeManagerNode, GetLastError());

    std::unique_ptr<wchar_t[]> buffer(new wchar_t[kPropertyUnits]);
    std::list<std::wstring> walked;
    bool complete = false;
    for (int attempt = 0; attempt < kWalkAttempts && !complete; ++attempt) {
        walked.clear();
        complete = WalkVolumeDevices(manager, buffer.get(), walked) == WalkEnd::Complete;
    }
    names.splice(names.end(), walked);
    return complete;
}

void CDriveLetterMgr::QueryVolumes(std::list<VolumeInfo>& volumes) {
    CHandleHolder manager(CreateFileW(kMountPointManager, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    if (manager.Get() == INVALID_HANDLE_VALUE)
        RaiseFatalError(kFatalMountPointManager, GetLastError());

    std::list<std::wstring> names;
    // A partial list names only devices that are there; those it misses are not decided yet.
    EnumVolumeDevices(names);
    for (const std::wstring& name : names) {
        VolumeInfo volume;
        volume.deviceName = name;
        volume.hasLetter = QueryHasLetter(manager.Get(), name) ? 1 : 0;
        volumes.push_back(volume);
    }
}
