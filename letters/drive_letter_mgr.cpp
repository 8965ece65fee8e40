#include "drive_letter_mgr.h"

#include "apfs_probe.h"
#include "string_helpers.h"

#include <memory>
#include <string.h>

CDriveLetterMgr* g_pDriveLetterMgr = nullptr;

namespace {

// Room for the targets of one DOS device name.
constexpr DWORD kTargetUnits = 4096;

constexpr wchar_t kFirstLetter = L'D';
constexpr wchar_t kLastLetter = L'Z';

HANDLE CreateEventOrExit(BOOL manualReset) {
    HANDLE event = CreateEventW(nullptr, manualReset, FALSE, nullptr);
    if (event == nullptr)
        ExitProcess(1);
    return event;
}

// Whether deviceName is among the targets that the DOS device name drive stands for.
bool DriveNamesDevice(const wchar_t* drive, const wchar_t* deviceName) {
    std::unique_ptr<wchar_t[]> targets(new wchar_t[kTargetUnits]);
    const DWORD units = QueryDosDeviceW(drive, targets.get(), kTargetUnits);
    for (DWORD i = 0; i < units && targets[i] != 0;) {
        const wchar_t* target = &targets[i];
        const size_t length = wcsnlen(target, units - i);
        if (length == wcslen(deviceName) && wcsncmp(target, deviceName, length) == 0)
            return true;
        i += static_cast<DWORD>(length) + 1;
    }
    return false;
}

bool ContainsName(const std::list<std::wstring>& names, const std::wstring& name) {
    for (const std::wstring& candidate : names)
        if (candidate == name)
            return true;
    return false;
}

} // namespace

CDaemonThread::CDaemonThread() : CWorkerThread(CDriveLetterMgr::ThreadProc, 0) {}

CDaemonThread::~CDaemonThread() = default;

CDriveLetterMgr::CDriveLetterMgr() {
    arrivalEvent = CreateEventOrExit(FALSE);
    removalEvent = CreateEventOrExit(FALSE);
}

CDriveLetterMgr::~CDriveLetterMgr() {
    CloseHandle(arrivalEvent);
    CloseHandle(removalEvent);
}

void CDriveLetterMgr::InitialScan() {
    QueryVolumes(volumes);
    for (VolumeInfo& volume : volumes)
        DecideLetter(volume);
}

// A device that already has a letter is never probed and never given a second one.
void CDriveLetterMgr::DecideLetter(VolumeInfo& volume) {
    volume.assigned = 0;
    volume.letter = 0;
    if (volume.hasLetter != 0)
        return;
    if (!ProbeApfsVolume(volume.deviceName.c_str()))
        return;
    uint16_t letter = 0;
    if (!AssignDriveLetter(volume.deviceName.c_str(), &letter))
        return;
    volume.assigned = 1;
    volume.letter = letter;
}

DWORD WINAPI CDriveLetterMgr::ThreadProc(void* parameter) {
    auto* self = dynamic_cast<CDriveLetterMgr*>(static_cast<CWorkerThread*>(parameter));
    // The lowest signalled index wins: a stop goes before pending work, an arrival before a
    // removal.
    HANDLE handles[3] = {self->stopEvent, self->arrivalEvent, self->removalEvent};
    for (;;) {
        switch (WaitForMultipleObjects(3, handles, FALSE, INFINITE)) {
        case WAIT_OBJECT_0 + 1:
            self->OnVolumeArrival();
            break;
        case WAIT_OBJECT_0 + 2:
            self->OnVolumeRemoval();
            break;
        default:
            return 0;
        }
    }
}

void CDriveLetterMgr::OnVolumeArrival() {
    std::list<VolumeInfo> fresh;
    QueryVolumes(fresh);
    for (VolumeInfo& volume : fresh) {
        bool known = false;
        for (const VolumeInfo& seen : volumes)
            if (seen.deviceName == volume.deviceName) {
                known = true;
                break;
            }
        // A known device is neither probed again nor updated, even when it came back meanwhile.
        if (known)
            continue;
        DecideLetter(volume);
        volumes.push_back(volume);
    }
}

void CDriveLetterMgr::OnVolumeRemoval() {
    std::list<std::wstring> names;
    // A device missing from a partial list may well be there still: the next notification's
    // pass decides.
    if (!EnumVolumeDevices(names))
        return;
    for (auto it = volumes.begin(); it != volumes.end();) {
        if (ContainsName(names, it->deviceName)) {
            ++it;
            continue;
        }
        if (it->assigned != 0) {
            std::wstring drive;
            FormatStringW(drive, L"%c:", it->letter);
            // A letter that no longer names the device is not ours to remove. The exact match
            // says so already, but not every platform honours it, so the targets are read first.
            // A failed removal changes nothing that a retry could mend: the entry goes anyway.
            if (DriveNamesDevice(drive.c_str(), it->deviceName.c_str()))
                DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                                 drive.c_str(), it->deviceName.c_str());
        }
        it = volumes.erase(it);
    }
}

void StartDriveLetterDaemon() {
    g_pDriveLetterMgr->stopEvent = CreateEventOrExit(TRUE);
    g_pDriveLetterMgr->Start();
}

void StopDriveLetterDaemon() {
    CDriveLetterMgr* mgr = g_pDriveLetterMgr;
    if (mgr == nullptr || mgr->thread == nullptr)
        return;
    SetEvent(mgr->stopEvent);
    WaitForSingleObject(mgr->thread, INFINITE);
    CloseHandle(mgr->stopEvent);
    CloseHandle(mgr->thread);
    mgr->stopEvent = nullptr;
    mgr->thread = nullptr;
}

int AssignDriveLetter(const wchar_t* deviceName, uint16_t* letter) {
    std::unique_ptr<wchar_t[]> target(new wchar_t[kTargetUnits]);
    wchar_t drive[3] = {kFirstLetter, L':', 0};
    wchar_t free = 0;
    for (wchar_t candidate = kFirstLetter; candidate <= kLastLetter; ++candidate) {
        drive[0] = candidate;
        if (QueryDosDeviceW(drive, target.get(), kTargetUnits) != 0) {
            // Letters given by an earlier run of the service outlive it, and the mount-point
            // manager does not know them: such a device keeps its letter rather than gaining
            // another one with every start.
            if (wcscmp(target.get(), deviceName) == 0) {
                *letter = candidate;
                return 1;
            }
            continue;
        }
        // Targets too long for the buffer still mean the letter is taken; defining it again
        // would hide them.
        if (free == 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            free = candidate;
    }
    if (free == 0)
        return 0;
    drive[0] = free;
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH, drive, deviceName))
        return 0;
    *letter = free;
    return 1;
}
