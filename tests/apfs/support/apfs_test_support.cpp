#include "apfs_test_support.h"

#include "apfs_common.h"
#include "container.h"
#include "whole_disk_layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include "import_patch.h"

#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace apfs_test {

namespace {
#ifdef _WIN32
int DupFd(int fd) {
    return _dup(fd);
}
int Dup2Fd(int from, int to) {
    return _dup2(from, to);
}
int CloseFd(int fd) {
    return _close(fd);
}
int ProcessId() {
    return _getpid();
}
#else
int DupFd(int fd) {
    return dup(fd);
}
int Dup2Fd(int from, int to) {
    return dup2(from, to);
}
int CloseFd(int fd) {
    return close(fd);
}
int ProcessId() {
    return getpid();
}
#endif
} // namespace

std::string FixturePath(const std::string& name) {
    return std::string(VOLARIX_FIXTURES_DIR) + "/" + name;
}

std::string ScratchPath(const std::string& name) {
    return FixturePath("scratch-" + std::to_string(ProcessId()) + "-" + name);
}

std::vector<uint8_t> ReadFile(const std::string& path, uint64_t offset, size_t size) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> data(size);
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size)))
        return {};
    return data;
}

void UseTestDevices() {
#ifndef _WIN32
    setenv("VOLARIX_DEVICES", VOLARIX_DEVICES_DIR, 1);
#endif
}

StderrCapture::StderrCapture() {
    m_path = ScratchPath("stderr.txt");
    fflush(stderr);
    FILE* file = fopen(m_path.c_str(), "wb");
    if (!file)
        return;
    m_saved = DupFd(fileno(stderr));
    Dup2Fd(fileno(file), fileno(stderr));
    fclose(file);
}

StderrCapture::~StderrCapture() {
    Take();
}

std::string StderrCapture::Take() {
    if (m_taken || m_saved == -1)
        return {};
    m_taken = true;
    fflush(stderr);
    Dup2Fd(m_saved, fileno(stderr));
    CloseFd(m_saved);
    std::ifstream in(m_path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::remove(m_path.c_str());
    return text;
}

#ifdef _WIN32
struct IoctlStandIn::Impl {
    CImportPatch patch;
    explicit Impl(DeviceIoControlFn fn)
        : patch("kernel32.dll", "DeviceIoControl", reinterpret_cast<void*>(fn)) {}
};

IoctlStandIn::IoctlStandIn(DeviceIoControlFn fn) : m_impl(new Impl(fn)) {
    m_original = m_impl->patch.Original<DeviceIoControlFn>();
}

IoctlStandIn::~IoctlStandIn() = default;

bool IoctlStandIn::Active() const {
    return m_impl->patch.Active();
}
#else
struct IoctlStandIn::Impl {};

IoctlStandIn::IoctlStandIn(DeviceIoControlFn fn) {
    m_original = fs_posix_set_ioctl(fn);
}

IoctlStandIn::~IoctlStandIn() {
    fs_posix_set_ioctl(m_original);
}

bool IoctlStandIn::Active() const {
    return true;
}
#endif

namespace {
uint64_t g_image_size;

BOOL WINAPI WholeFileDisk(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD out_size, LPDWORD returned,
                          LPOVERLAPPED) {
    if (code != IOCTL_DISK_GET_DRIVE_LAYOUT_EX)
        return TRUE;
    return WriteWholeDiskLayout(out, out_size, g_image_size, returned);
}
} // namespace

ImageReader::ImageReader(const std::string& path) {
    FsReader_Reset(&m_reader);
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return;
    g_image_size = static_cast<uint64_t>(in.tellg());
    IoctlStandIn stand_in(&WholeFileDisk);
    m_ok = stand_in.Active() && FsReader_Init(&m_reader, path.c_str()) == 1;
}

ImageReader::~ImageReader() {
    IoctlStandIn stand_in(&WholeFileDisk);
    FsReader_Uninit(&m_reader);
}

EditedImage::EditedImage(const std::string& fixture, const std::string& name) {
    m_path = ScratchPath(name);
    std::ifstream in(FixturePath(fixture), std::ios::binary);
    std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
}

EditedImage::~EditedImage() {
    std::remove(m_path.c_str());
}

std::vector<uint8_t> EditedImage::Block(uint64_t block, uint32_t block_size) const {
    return ReadFile(m_path, block * block_size, block_size);
}

void EditedImage::Put(uint64_t block, std::vector<uint8_t> data, bool checksum) {
    if (checksum)
        apfs_fletcher64(data.data(), static_cast<uint32_t>(data.size()));
    std::fstream out(m_path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(block * data.size()));
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bool GptDriveLayout(const std::string& image, std::vector<uint8_t>* layout) {
    uint64_t sector = 512;
    std::vector<uint8_t> header = ReadFile(image, sector, 512);
    if (header.empty() || memcmp(header.data(), "EFI PART", 8) != 0) {
        sector = 4096;
        header = ReadFile(image, sector, 512);
    }
    if (header.empty() || memcmp(header.data(), "EFI PART", 8) != 0)
        return false;
    uint64_t entries = apfs_le64(&header[72]);
    uint32_t count = apfs_le32(&header[80]), entry_size = apfs_le32(&header[84]);
    layout->assign(FS_LAYOUT_HEAD_SIZE, 0);
    apfs_put_le32(&(*layout)[FS_LAYOUT_STYLE], FS_PARTITION_STYLE_GPT);
    uint32_t used = 0;
    for (uint32_t i = 0; i < count; i++) {
        std::vector<uint8_t> e = ReadFile(image, entries * sector + uint64_t(i) * entry_size, entry_size);
        if (e.empty())
            return false;
        if (apfs_le64(&e[0]) == 0 && apfs_le64(&e[8]) == 0)
            continue;
        std::vector<uint8_t> p(FS_PARTITION_ENTRY_SIZE, 0);
        apfs_put_le32(&p[FS_PARTITION_STYLE], FS_PARTITION_STYLE_GPT);
        apfs_put_le64(&p[FS_PARTITION_STARTING_OFFSET], apfs_le64(&e[32]) * sector);
        apfs_put_le64(&p[FS_PARTITION_LENGTH], (apfs_le64(&e[40]) - apfs_le64(&e[32]) + 1) * sector);
        apfs_put_le32(&p[FS_PARTITION_NUMBER], i + 1);
        memcpy(&p[FS_PARTITION_GPT_TYPE], &e[0], 32);
        layout->insert(layout->end(), p.begin(), p.end());
        used++;
    }
    apfs_put_le32(&(*layout)[FS_LAYOUT_COUNT], used);
    return true;
}

} // namespace apfs_test
