#pragma once
// The APFS volume probe: does a letterless volume device hold an APFS container whose data
// volume mounts, or is encrypted? Such a volume gets a drive letter.

// The probe over an 8-bit device path (\\.\HarddiskVolumeN); 1 for yes, 0 otherwise. Portable:
// the native build runs it over the device layer's POSIX stand-in.
int ProbeApfsDevicePath(const char* path);

#ifdef _WIN32
// deviceName is an NT volume device name, "\Device\HarddiskVolume" and a number.
int ProbeApfsVolume(const wchar_t* deviceName);
#endif
