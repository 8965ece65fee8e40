#include "fs_reader.h"

#include "support/apfs_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace apfs_test;

namespace {

struct IoctlLog {
    std::vector<DWORD> codes;
    DWORD lock_error = 0;          // nonzero: the lock fails with it
    DWORD partition_error = 0;     // nonzero: partition information fails with it
    uint64_t partition_length = 0; // answered when partition_error is 0
    std::vector<uint8_t> layout;   // drive layout answered; empty: fails with 50
};
IoctlLog g_log;

BOOL WINAPI RecordingIoctl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD out_size, LPDWORD returned,
                           LPOVERLAPPED) {
    g_log.codes.push_back(code);
    if (code == FSCTL_LOCK_VOLUME && g_log.lock_error) {
        SetDeviceError(g_log.lock_error);
        return FALSE;
    }
    if (code == IOCTL_DISK_GET_PARTITION_INFO_EX) {
        if (g_log.partition_error) {
            SetDeviceError(g_log.partition_error);
            return FALSE;
        }
        memset(out, 0, out_size);
        apfs_put_le64(static_cast<uint8_t*>(out) + FS_PARTITION_LENGTH, g_log.partition_length);
        *returned = FS_PARTITION_ENTRY_SIZE;
        return TRUE;
    }
    if (code == IOCTL_DISK_GET_DRIVE_LAYOUT_EX) {
        if (g_log.layout.empty() || g_log.layout.size() > out_size) {
            SetDeviceError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        memcpy(out, g_log.layout.data(), g_log.layout.size());
        *returned = static_cast<DWORD>(g_log.layout.size());
        return TRUE;
    }
    return TRUE;
}

std::vector<uint8_t> Layout(uint32_t style, const std::vector<std::vector<uint8_t>>& types) {
    std::vector<uint8_t> layout(FS_LAYOUT_HEAD_SIZE + types.size() * FS_PARTITION_ENTRY_SIZE, 0);
    apfs_put_le32(&layout[FS_LAYOUT_STYLE], style);
    apfs_put_le32(&layout[FS_LAYOUT_COUNT], static_cast<uint32_t>(types.size()));
    for (size_t i = 0; i < types.size(); i++) {
        uint8_t* entry = &layout[FS_LAYOUT_HEAD_SIZE + i * FS_PARTITION_ENTRY_SIZE];
        apfs_put_le64(entry + FS_PARTITION_STARTING_OFFSET, (i + 1) * 0x100000);
        apfs_put_le64(entry + FS_PARTITION_LENGTH, 0x200000);
        memcpy(entry + FS_PARTITION_GPT_TYPE, types[i].data(), 16);
    }
    return layout;
}

const std::vector<uint8_t> kApfsType = {0xEF, 0x57, 0x34, 0x7C, 0x00, 0x00, 0xAA, 0x11,
                                        0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};
const std::vector<uint8_t> kBasicDataType = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                             0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};

class FsReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseTestDevices();
        g_log = IoctlLog();
        FsReader_Reset(&reader);
    }
    void TearDown() override { FsReader_Uninit(&reader); }

    // Opens path with the recording stand-in; returns the result and the diagnostics.
    int Open(const char* path, std::string* diagnostics) {
        IoctlStandIn stand_in(&RecordingIoctl);
        EXPECT_TRUE(stand_in.Active());
        StderrCapture capture;
        int ok = FsReader_Init(&reader, path);
        *diagnostics = capture.Take();
        return ok;
    }

    FsReader reader;
};

TEST_F(FsReaderTest, VolumeAndDiskPathsAskTheirOwnIoctl) {
    struct Case {
        const char* path;
        DWORD expected;
    } cases[] = {
        {"\\\\.\\HarddiskVolume12", IOCTL_DISK_GET_PARTITION_INFO_EX},
        {"\\\\.\\harddiskvolume7", IOCTL_DISK_GET_PARTITION_INFO_EX},
        {"\\\\.\\HarddiskVolum", IOCTL_DISK_GET_DRIVE_LAYOUT_EX},
        {"\\\\.\\PhysicalDrive40", IOCTL_DISK_GET_DRIVE_LAYOUT_EX},
    };
#ifndef _WIN32
    // Under Wine a drive letter names a folder mapping; natively it is one more device link.
    std::string drive = std::string(VOLARIX_DEVICES_DIR) + "/e:";
    unlink(drive.c_str());
    ASSERT_EQ(0, symlink(FixturePath("dfvfs_apfs.raw").c_str(), drive.c_str()));
    std::vector<Case> all(std::begin(cases), std::end(cases));
    all.push_back({"\\\\.\\E:", IOCTL_DISK_GET_PARTITION_INFO_EX});
#else
    std::vector<Case> all(std::begin(cases), std::end(cases));
#endif
    for (const Case& c : all) {
        g_log = IoctlLog();
        g_log.partition_length = kDfvfsSize;
        std::string diagnostics;
        Open(c.path, &diagnostics);
        ASSERT_GE(g_log.codes.size(), 2u) << c.path << ": " << diagnostics;
        EXPECT_EQ(static_cast<DWORD>(FSCTL_LOCK_VOLUME), g_log.codes[0]) << c.path;
        EXPECT_EQ(c.expected, g_log.codes[1]) << c.path;
        FsReader_Uninit(&reader);
    }
}

TEST_F(FsReaderTest, VolumeWithoutPartitionInformationStillOpens) {
    g_log.partition_error = ERROR_NOT_SUPPORTED;
    std::string diagnostics;
    ASSERT_EQ(1, Open(kDfvfsVolume, &diagnostics));
    EXPECT_EQ("FsReader_Init: IOCTL_DISK_GET_PARTITION_INFO_EX failed: 50\n", diagnostics);
    EXPECT_EQ(0u, reader.start);
    EXPECT_EQ(FS_READER_UNKNOWN_LENGTH, reader.length);
    uint8_t magic[4];
    ASSERT_EQ(1, FsReader_Read(&reader, 32, magic, 4));
    EXPECT_EQ(0, memcmp(magic, "NXSB", 4));
}

TEST_F(FsReaderTest, VolumeOpensOnThePlatformLayer) {
    StderrCapture capture;
    ASSERT_EQ(1, FsReader_Init(&reader, kDfvfsVolume));
    std::string diagnostics = capture.Take();
    EXPECT_EQ(0u, reader.start);
#ifdef _WIN32
    // Wine answers no partition information for a linked image file.
    EXPECT_EQ("FsReader_Init: IOCTL_DISK_GET_PARTITION_INFO_EX failed: 50\n", diagnostics);
    EXPECT_EQ(FS_READER_UNKNOWN_LENGTH, reader.length);
#else
    EXPECT_EQ("", diagnostics);
    EXPECT_EQ(kDfvfsSize, reader.length);
#endif
    EXPECT_STREQ(kDfvfsVolume, reader.path);
}

TEST_F(FsReaderTest, DiskLayoutFailuresAreReported) {
    struct Case {
        std::vector<uint8_t> layout;
        const char* message;
    } cases[] = {
        {{}, "FsReader_Init: IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed: 50\n"},
        {Layout(0, {kApfsType}),
         "FsReader_Init: unsupported partition style: 0 (only GPT lookup is supported).\n"},
        {Layout(1, {}), "FsReader_Init: APFS partition not found.\n"},
        {Layout(1, {kBasicDataType}), "FsReader_Init: APFS partition not found.\n"},
    };
    for (const Case& c : cases) {
        g_log = IoctlLog();
        g_log.layout = c.layout;
        std::string diagnostics;
        EXPECT_EQ(0, Open("\\\\.\\PhysicalDrive40", &diagnostics));
        EXPECT_EQ(c.message, diagnostics);
        FsReader_Uninit(&reader);
    }
}

TEST_F(FsReaderTest, FirstApfsPartitionOfTheLayoutWins) {
    g_log.layout = Layout(1, {kBasicDataType, kApfsType, kApfsType});
    std::string diagnostics;
    ASSERT_EQ(1, Open("\\\\.\\PhysicalDrive40", &diagnostics)) << diagnostics;
    EXPECT_EQ(0x200000u, reader.start);
    EXPECT_EQ(0x200000u, reader.length);
}

TEST_F(FsReaderTest, GptDiskReadsThePartition) {
    // Disks of 512-byte sectors and of 4096-byte ones, whose GPT header is at byte 4096.
    const struct {
        const char* device;
        const char* image;
        uint64_t start;
    } cases[] = {{kGptDisk, "gpt_dfvfs_apfs.img", kGptPartitionStart},
                 {kGpt4kDisk, "gpt4k_dfvfs_apfs.img", kGpt4kPartitionStart}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        std::vector<uint8_t> layout;
        ASSERT_TRUE(GptDriveLayout(FixturePath(c.image), &layout));
#ifdef _WIN32
        // Wine answers no drive layout: the stand-in answers from the image's own GPT.
        g_log.layout = layout;
        std::string diagnostics;
        ASSERT_EQ(1, Open(c.device, &diagnostics)) << diagnostics;
#else
        StderrCapture capture;
        ASSERT_EQ(1, FsReader_Init(&reader, c.device)) << capture.Take();
#endif
        EXPECT_EQ(c.start, reader.start);
        EXPECT_EQ(kDfvfsSize, reader.length);
        std::vector<uint8_t> block(4096);
        ASSERT_EQ(1, FsReader_Read(&reader, 0, block.data(), block.size()));
        EXPECT_EQ(ReadFile(FixturePath("dfvfs_apfs.raw"), 0, 4096), block);
        FsReader_Uninit(&reader);
    }
}

#ifndef _WIN32
uint32_t Crc32(const uint8_t* bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    return ~crc;
}

void SealGptHeader(uint8_t* header) {
    apfs_put_le32(header + 16, 0);
    apfs_put_le32(header + 16, Crc32(header, 92));
}

TEST_F(FsReaderTest, OnlyASoundGptBehindAProtectiveMbrIsTakenForOne) {
    // A disk of 512-byte sectors with one MBR entry, and a GPT of 4096-byte sectors beside it: its
    // header at byte 4096, its entries at byte 8192, its one APFS partition at LBA 6.
    constexpr uint64_t kSize = 2048 * 512 + 65536;
    const struct {
        const char* what;
        uint8_t mbr_type;
        uint32_t mbr_start;
        void (*spoil)(uint8_t* header);
        uint32_t style;
        uint64_t start;
    } cases[] = {
        {"sound, protected", 0xEE, 1, nullptr, FS_PARTITION_STYLE_GPT, 6 * 4096},
        {"no protective entry", 0x07, 2048, nullptr, FS_PARTITION_STYLE_MBR, 2048 * 512},
        {"header CRC wrong", 0xEE, 1, [](uint8_t* h) { h[56] ^= 1; }, FS_PARTITION_STYLE_MBR, 512},
        {"header at another LBA", 0xEE, 1,
         [](uint8_t* h) {
             apfs_put_le64(h + 24, 2);
             SealGptHeader(h);
         },
         FS_PARTITION_STYLE_MBR, 512},
        {"entries past the end", 0xEE, 1,
         [](uint8_t* h) {
             apfs_put_le64(h + 72, kSize / 4096 - 1);
             SealGptHeader(h);
         },
         FS_PARTITION_STYLE_MBR, 512},
    };
    const std::string path = ScratchPath("stray-gpt.img");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> disk(kSize, 0);
        disk[446 + 4] = c.mbr_type;
        apfs_put_le32(&disk[446 + 8], c.mbr_start);
        disk[510] = 0x55;
        disk[511] = 0xAA;
        uint8_t* entry = &disk[8192];
        memcpy(entry, kApfsType.data(), 16);
        apfs_put_le64(entry + 32, 6);
        apfs_put_le64(entry + 40, 21);
        uint8_t* h = &disk[4096];
        memcpy(h, "EFI PART", 8);
        apfs_put_le32(h + 12, 92);
        apfs_put_le64(h + 24, 1);
        apfs_put_le64(h + 72, 2);
        apfs_put_le32(h + 80, 128);
        apfs_put_le32(h + 84, 128);
        SealGptHeader(h);
        if (c.spoil)
            c.spoil(h);
        FILE* file = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, file);
        ASSERT_EQ(disk.size(), fwrite(disk.data(), 1, disk.size(), file));
        fclose(file);

        int fd = fs_posix_open(path.c_str(), 0);
        ASSERT_NE(-1, fd);
        std::vector<uint8_t> layout(FS_LAYOUT_HEAD_SIZE + 4 * FS_PARTITION_ENTRY_SIZE);
        DWORD returned = 0;
        EXPECT_TRUE(fs_posix_device_io_control(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)),
                                               IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, layout.data(),
                                               static_cast<DWORD>(layout.size()), &returned, nullptr));
        fs_posix_close(fd);
        EXPECT_EQ(c.style, apfs_le32(&layout[FS_LAYOUT_STYLE]));
        ASSERT_EQ(1u, apfs_le32(&layout[FS_LAYOUT_COUNT]));
        EXPECT_EQ(c.start, apfs_le64(&layout[FS_LAYOUT_HEAD_SIZE + FS_PARTITION_STARTING_OFFSET]));
    }
    std::remove(path.c_str());
}
#endif

TEST_F(FsReaderTest, LockFailureClosesWithoutDismount) {
    g_log.lock_error = 5;
    std::string diagnostics;
    IoctlStandIn stand_in(&RecordingIoctl);
    {
        StderrCapture capture;
        EXPECT_EQ(0, FsReader_Init(&reader, kDfvfsVolume));
        EXPECT_EQ("FsReader_Init: FSCTL_LOCK_VOLUME failed\n", capture.Take());
    }
    EXPECT_NE(-1, reader.descriptor);
    EXPECT_EQ(0u, reader.locked);
    FsReader_Uninit(&reader);
    EXPECT_EQ(std::vector<DWORD>{FSCTL_LOCK_VOLUME}, g_log.codes);
    EXPECT_EQ(-1, reader.descriptor);
}

TEST_F(FsReaderTest, UninitDismountsThenUnlocks) {
    IoctlStandIn stand_in(&RecordingIoctl);
    g_log.partition_length = kDfvfsSize;
    ASSERT_EQ(1, FsReader_Init(&reader, kDfvfsVolume));
    FsReader_Uninit(&reader);
    std::vector<DWORD> expected = {FSCTL_LOCK_VOLUME, IOCTL_DISK_GET_PARTITION_INFO_EX, FSCTL_DISMOUNT_VOLUME,
                                   FSCTL_UNLOCK_VOLUME};
    EXPECT_EQ(expected, g_log.codes);
}

TEST_F(FsReaderTest, MissingDeviceReportsOpenError) {
    StderrCapture capture;
    EXPECT_EQ(0, FsReader_Init(&reader, "\\\\.\\HarddiskVolume99"));
    EXPECT_EQ("FsReader_Init: _open error No such file or directory\n", capture.Take());
}

class FsReaderReadTest : public FsReaderTest {
  protected:
    void SetUp() override {
        FsReaderTest::SetUp();
        IoctlStandIn stand_in(&RecordingIoctl);
        g_log.partition_length = kDfvfsSize;
        ASSERT_EQ(1, FsReader_Init(&reader, kDfvfsVolume));
    }
};

TEST_F(FsReaderReadTest, ReadAcrossUnitsReadsBothUnits) {
#ifndef _WIN32
    fs_posix_read_stats_reset();
#endif
    uint8_t two[2] = {0, 0};
    ASSERT_EQ(1, FsReader_Read(&reader, 4095, two, 2));
    std::vector<uint8_t> expected = ReadFile(FixturePath("dfvfs_apfs.raw"), 4095, 2);
    EXPECT_EQ(expected, std::vector<uint8_t>(two, two + 2));
#ifndef _WIN32
    uint64_t count = 0, bytes = 0;
    fs_posix_read_stats(&count, &bytes);
    EXPECT_EQ(2u, count);
    EXPECT_EQ(8192u, bytes);
#endif
}

TEST_F(FsReaderReadTest, RangeIsCheckedWithoutWrapAround) {
    uint8_t byte = 0;
    StderrCapture capture;
    EXPECT_EQ(1, FsReader_Read(&reader, kDfvfsSize, &byte, 0));
    EXPECT_EQ(0, FsReader_Read(&reader, kDfvfsSize + 1, &byte, 0));
    EXPECT_EQ(0, FsReader_Read(&reader, kDfvfsSize - 1, &byte, 2));
    EXPECT_EQ(0, FsReader_Read(&reader, UINT64_MAX - 1, &byte, 4));
    EXPECT_EQ(0, FsReader_Read(&reader, 4, &byte, UINT64_MAX - 1));
    std::string line = "FsReader_Read: size overflow\n";
    EXPECT_EQ(line + line + line + line, capture.Take());
}

TEST_F(FsReaderReadTest, EveryTriedReadCountsAgainstTheBudget) {
    // Three units: two transferred, one refused as out of range; the next read finds none left.
    FsReader_SetBudget(&reader, 3 * FS_READER_UNIT);
    uint8_t bytes[2] = {};
    StderrCapture capture;
    EXPECT_EQ(1, FsReader_Read(&reader, FS_READER_UNIT - 1, bytes, 2));
    EXPECT_EQ(0, FsReader_Read(&reader, kDfvfsSize, bytes, 1));
    EXPECT_EQ(0, FsReader_Read(&reader, 0, bytes, 1));
    EXPECT_EQ(1u, reader.failed);
    EXPECT_EQ(3u, reader.attempts);
    EXPECT_EQ("FsReader_Read: size overflow\nFsReader_Read: read budget spent\n", capture.Take());
}

TEST_F(FsReaderReadTest, ShortDeviceFailsTheRead) {
    reader.length = kDfvfsSize + 8192;
    uint8_t byte = 0;
    StderrCapture capture;
    EXPECT_EQ(0, FsReader_Read(&reader, kDfvfsSize + 10, &byte, 1));
    EXPECT_EQ("FsReader_Read: n < to_read+head\n", capture.Take());
}

TEST_F(FsReaderReadTest, SeekFailureKeepsAPresentDeviceUsable) {
    uint64_t start = reader.start;
    reader.start = 0x8000000000000000ull;
    uint8_t byte = 0;
    {
        StderrCapture capture;
        EXPECT_EQ(0, FsReader_Read(&reader, 0, &byte, 1));
        EXPECT_EQ("FsReader_Read: _lseeki64 error 22\n", capture.Take());
    }
    EXPECT_EQ(0u, reader.failed);
    reader.start = start;
    EXPECT_EQ(1, FsReader_Read(&reader, 0, &byte, 1));
}

#ifndef _WIN32
TEST_F(FsReaderTest, DeviceThatWentAwayFailsEveryLaterRead) {
    std::string link = std::string(VOLARIX_DEVICES_DIR) + "/harddiskvolume60";
    unlink(link.c_str());
    ASSERT_EQ(0, symlink(FixturePath("dfvfs_apfs.raw").c_str(), link.c_str()));
    ASSERT_EQ(1, FsReader_Init(&reader, "\\\\.\\HarddiskVolume60"));
    ASSERT_EQ(0, unlink(link.c_str()));
    reader.start = 0x8000000000000000ull;
    uint8_t byte = 0;
    StderrCapture capture;
    EXPECT_EQ(0, FsReader_Read(&reader, 0, &byte, 1));
    EXPECT_EQ(1u, reader.failed);
    reader.start = 0;
    EXPECT_EQ(0, FsReader_Read(&reader, 0, &byte, 1));
    EXPECT_EQ("FsReader_Read: _lseeki64 error 22\n", capture.Take());
}
#endif

} // namespace
