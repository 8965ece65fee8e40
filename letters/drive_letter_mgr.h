#pragma once
// The drive-letter manager: gives the first free letter from D: to Z: to every letterless volume
// device whose APFS data volume the service's own reader can mount (or finds encrypted), and takes
// the letters it gave away again when their device goes.
#include "volume_info.h"
#include "worker_thread.h"

#include <windows.h>

#include <list>
#include <string>

// A worker thread whose owner stops it through a manual-reset event.
class CDaemonThread : public CWorkerThread {
  public:
    CDaemonThread();
    ~CDaemonThread() override;

    // Created not signalled by StartDriveLetterDaemon, closed by StopDriveLetterDaemon.
    HANDLE stopEvent = nullptr;
};

class CDriveLetterMgr : public CDaemonThread {
  public:
    // Creates the two work events; a failure ends the process with exit code 1, unreported.
    CDriveLetterMgr();
    // Closes the work events and frees the list. It removes no letter, and expects the stop
    // event and the thread handle to be closed already.
    ~CDriveLetterMgr() override;

    // Runs once on the service thread before the manager's own thread exists: lists the volume
    // devices present and gives letters to those that deserve one.
    void InitialScan();

    static DWORD WINAPI ThreadProc(void* parameter);
    // Re-queries the volume devices and decides every one not seen before.
    void OnVolumeArrival();
    // Drops the devices that are gone, removing the letters this service gave them. Without a
    // complete list of the devices present it changes nothing.
    void OnVolumeRemoval();

    // Appends the NT device names of the volume manager's children. A walk that loses its node
    // to a removal begins again, a bounded number of times; false when none reached the end of
    // the list, and names then holds what the last walk saw. Volume manager node missing (1210)
    // or childless (1211) ends the process.
    static bool EnumVolumeDevices(std::list<std::wstring>& names);
    // One entry per volume device with its drive-letter state; assigned and letter are left to
    // the caller. A mount-point manager that cannot be opened (1209) ends the process.
    static void QueryVolumes(std::list<VolumeInfo>& volumes);

    // In the order in which the devices were first seen. Touched only by the manager's thread
    // once it runs, so it has no lock.
    std::list<VolumeInfo> volumes;
    // Both auto-reset: notifications that come while a pass runs result in one further pass.
    HANDLE arrivalEvent = nullptr;
    HANDLE removalEvent = nullptr;

  private:
    void DecideLetter(VolumeInfo& volume);
};

// The one manager of the process, set by the service's start-up once its initial scan is done,
// and deleted by the shut-down.
extern CDriveLetterMgr* g_pDriveLetterMgr;

// Creates the manager's stop event and starts its thread; failures end the process with exit
// code 1, unreported.
void StartDriveLetterDaemon();
// Sets the stop event and waits for the thread without a time limit (a pass in progress, with
// its probes, is finished first), then closes both handles. The letters given stay defined.
void StopDriveLetterDaemon();

// Defines the first free letter from D: to Z: for deviceName as a raw target. A letter that
// already names exactly this device is taken as its letter instead of giving it a second one.
// 1 with the letter, or 0 when none is free or the definition fails.
int AssignDriveLetter(const wchar_t* deviceName, uint16_t* letter);
