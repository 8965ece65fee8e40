#pragma once
// Probes a test volume device by number: under Wine through the service's entry with an NT device
// name, natively through the same probe over the device path.
#include "apfs_probe.h"

#include <string>

inline int ProbeTestVolume(int volume) {
#ifdef _WIN32
    std::wstring name = L"\\Device\\HarddiskVolume" + std::to_wstring(volume);
    return ProbeApfsVolume(name.c_str());
#else
    std::string path = "\\\\.\\HarddiskVolume" + std::to_string(volume);
    return ProbeApfsDevicePath(path.c_str());
#endif
}
