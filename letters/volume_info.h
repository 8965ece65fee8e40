#pragma once
#include <stdint.h>
#include <string>

// One volume device as the drive-letter manager has seen it.
struct VolumeInfo {
    // The NT device name, "\Device\HarddiskVolume" and a number.
    std::wstring deviceName;
    // 1 when the mount-point manager reported a drive-letter link when the entry was made.
    uint32_t hasLetter = 0;
    // 1 when this service defined a drive letter for the device.
    uint32_t assigned = 0;
    // The letter this service defined, 'D' to 'Z'; meaningful only when assigned is 1.
    uint16_t letter = 0;
};
