// The service's entry to the probe: turns the NT device name into the \\.\ path that the device
// reader opens.
#include "apfs_probe.h"

#include "string_helpers.h"

#include <cwchar>
#include <string>

namespace {

// "\Device", the part of an NT device name that the \\.\ prefix replaces.
constexpr size_t kDevicePrefixLength = 7;

} // namespace

int ProbeApfsVolume(const wchar_t* deviceName) {
    // A shorter name has nothing after the prefix to open; reading past its end would be worse.
    if (!deviceName || wcslen(deviceName) <= kDevicePrefixLength)
        return 0;
    std::string path;
    FormatStringA(path, "\\\\.%S", deviceName + kDevicePrefixLength);
    return ProbeApfsDevicePath(path.c_str());
}
