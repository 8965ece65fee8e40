#pragma once
// Helpers shared by the reader's tests: fixture paths, the device names under which
// link-devices.cmake makes the images reachable, capture of the reader's diagnostics, and a
// stand-in for the device control call (CImportPatch on Windows, the native layer's hook here).
#include "device_api.h"
#include "fs_reader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#define WINAPI
#endif

namespace apfs_test {

// Device names of tests/apfs/CMakeLists.txt (APFS_DEVICE_LINKS).
constexpr const char* kDfvfsVolume = "\\\\.\\HarddiskVolume41";
constexpr const char* kPopCiVolume = "\\\\.\\HarddiskVolume42";
constexpr const char* kPopCsVolume = "\\\\.\\HarddiskVolume43";
constexpr const char* kPopCsnsVolume = "\\\\.\\HarddiskVolume44";
constexpr const char* kNxsbHeadVolume = "\\\\.\\HarddiskVolume45";
constexpr const char* kContainerChainVolume = "\\\\.\\HarddiskVolume46";
constexpr const char* kFstreeVolume = "\\\\.\\HarddiskVolume47";
constexpr const char* kContentVolume = "\\\\.\\HarddiskVolume48";
constexpr const char* kEncDfvfsVolume = "\\\\.\\HarddiskVolume49";
// dfvfs_apfs.raw in a GPT disk, its partition at sector 40.
constexpr const char* kGptDisk = "\\\\.\\PhysicalDrive41";
constexpr uint64_t kGptPartitionStart = 40 * 512;
// dfvfs_apfs.raw in a GPT disk of 4096-byte sectors (make-hostile-trees.py), its partition at sector 6.
constexpr const char* kGpt4kDisk = "\\\\.\\PhysicalDrive42";
constexpr uint64_t kGpt4kPartitionStart = 6 * 4096;
constexpr uint64_t kDfvfsSize = 4153344;

std::string FixturePath(const std::string& name);
// A file of this process beside the fixtures: test programs run side by side, each its own copy.
std::string ScratchPath(const std::string& name);
// Bytes of a file, or an empty vector when it cannot be read.
std::vector<uint8_t> ReadFile(const std::string& path, uint64_t offset, size_t size);
// Points the native device layer at the linked devices; nothing to do under Wine.
void UseTestDevices();

// Everything written to the standard error stream while the object lives.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    std::string Take();

  private:
    int m_saved = -1;
    std::string m_path;
    bool m_taken = false;
};

using DeviceIoControlFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

class IoctlStandIn {
  public:
    explicit IoctlStandIn(DeviceIoControlFn fn);
    ~IoctlStandIn();
    IoctlStandIn(const IoctlStandIn&) = delete;
    IoctlStandIn& operator=(const IoctlStandIn&) = delete;
    bool Active() const;
    DeviceIoControlFn Original() const { return m_original; }

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    DeviceIoControlFn m_original = nullptr;
};

// Sets the error that the device layer's GetLastError reports next (from stand-ins).
inline void SetDeviceError(DWORD error) {
#ifdef _WIN32
    SetLastError(error);
#else
    fs_posix_set_last_error(error);
#endif
}

// An FsReader over a plain image file, opened as a disk whose single APFS partition is the whole
// file: the tests' way to read images they made or edited themselves.
class ImageReader {
  public:
    explicit ImageReader(const std::string& path);
    ~ImageReader();
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;
    bool Ok() const { return m_ok; }
    FsReader* Get() { return &m_reader; }

  private:
    FsReader m_reader;
    bool m_ok = false;
};

// A copy of a fixture image that a test edits block by block; removed with the object.
class EditedImage {
  public:
    EditedImage(const std::string& fixture, const std::string& name);
    ~EditedImage();
    const std::string& Path() const { return m_path; }
    std::vector<uint8_t> Block(uint64_t block, uint32_t block_size = 4096) const;
    // Writes the block back; with checksum set its object checksum is computed first.
    void Put(uint64_t block, std::vector<uint8_t> data, bool checksum = true);

  private:
    std::string m_path;
};

// The drive layout (DRIVE_LAYOUT_INFORMATION_EX) that Windows reports for a GPT disk image of
// 512- or 4096-byte sectors.
bool GptDriveLayout(const std::string& image, std::vector<uint8_t>* layout);

} // namespace apfs_test
