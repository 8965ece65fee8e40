#pragma once
// Stand-ins for what Wine only stubs under the drive-letter manager: the configuration manager's
// device tree, the mount-point manager's answers and the APFS probe, plus ExitProcess and the
// event report so that fatal errors can be watched. DOS device definitions stay real.
#include "import_patch.h"

#include <windows.h>

#include <cfgmgr32.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct FakeVolume {
    FakeVolume(std::wstring name_, std::vector<std::wstring> links_ = {}, int probe_ = 0)
        : name(std::move(name_)), links(std::move(links_)), probe(probe_) {}

    // The node's physical device object name; empty: the property read fails.
    std::wstring name;
    // Symbolic links the mount-point manager lists for the device.
    std::vector<std::wstring> links;
    // What the APFS probe answers.
    int probe = 0;
};

struct FakePlatform {
    std::vector<FakeVolume> tree;
    bool locateFails = false;
    DWORD mountManagerError = 0;
    // Last-error values the configuration manager leaves when it fails.
    DWORD cmError = 0;
    // Devices whose query fails outright.
    std::vector<std::wstring> queryFails;
    // The next cutTimes sibling requests from the node of device cutAt fail with cutAnswer. For
    // CR_NO_SUCH_DEVNODE the node counts as removed under the walk (its status answers
    // CR_NO_SUCH_DEVINST until the next walk begins); the device is listed again all the same.
    std::wstring cutAt;
    int cutTimes = 0;
    CONFIGRET cutAnswer = CR_NO_SUCH_DEVNODE;

    std::map<std::wstring, int> probes;
    std::vector<std::wstring> queried;
    std::vector<BYTE> lastQueryInput;
    int mountManagerOpen = 0;
    std::vector<std::wstring> events;
    UINT exitCode = 0;

    // Signalled when the probe runs (pass under way) and when the configuration manager is first
    // asked in a pass.
    HANDLE probed = nullptr;
    HANDLE walked = nullptr;
    // When set, the probe holds its pass until the event is signalled.
    HANDLE gate = nullptr;
};

extern FakePlatform g_fake;

// Thrown by the ExitProcess stand-in on the test's own thread; on any other thread the stand-in
// ends that thread instead.
struct ProcessEnded {};

// Installs every stand-in for its lifetime and resets g_fake.
class CFakeVolumePlatform {
  public:
    CFakeVolumePlatform();
    ~CFakeVolumePlatform();

  private:
    std::vector<std::unique_ptr<CImportPatch>> m_patches;
};

std::wstring VolumeName(int number);
// "\DosDevices\X:"
std::wstring DriveLink(wchar_t letter);
