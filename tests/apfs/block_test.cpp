#include "block.h"
#include "container.h"
#include "crypto.h"
#include "fs_reader.h"
#include "volume.h"

#include "support/apfs_test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

using namespace apfs_test;

namespace {

// A container record with just what block reads use, over the small dfvfs image.
class BlockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseTestDevices();
        FsReader_Reset(&reader);
        StderrCapture quiet; // Wine reports no partition information
        ASSERT_EQ(1, FsReader_Init(&reader, kDfvfsVolume));
        reader.length = kDfvfsSize;
        memset(&container, 0, sizeof container);
        container.reader = &reader;
        container.block_size = 4096;
        container.block_shift = 12;
        memset(volumes, 0, sizeof volumes);
        for (uint8_t i = 0; i < 4; i++) {
            volumes[i].container = &container;
            volumes[i].index = i;
        }
        container.volumes = volumes;
        container.volume_count = 4;
    }
    void TearDown() override {
        apfs_cipher_key_free(volumes[1].key);
        FsReader_Uninit(&reader);
    }

    std::vector<uint8_t> FileBlock(uint64_t block) {
        return ReadFile(FixturePath("dfvfs_apfs.raw"), block * 4096, 4096);
    }

    FsReader reader;
    apfs_container container;
    apfs_volume volumes[4];
};

TEST_F(BlockTest, HoldersCountTheirReferences) {
    apfs_block* holder = nullptr;
    ASSERT_EQ(1, apfs_block_get(&container, 0, &holder, 0, APFS_VOLUME_CONTAINER, 7));
    EXPECT_EQ(1u, holder->refcount);
    EXPECT_EQ(FileBlock(0), std::vector<uint8_t>(holder->data, holder->data + 4096));
    apfs_block* clone = nullptr;
    ASSERT_EQ(1, apfs_block_clone(&container, holder, &clone, 0));
    EXPECT_NE(holder->data, clone->data);
    EXPECT_EQ(7u, clone->reload);
    EXPECT_EQ(0, memcmp(holder->data, clone->data, 4096));
    ASSERT_EQ(1, apfs_block_read(holder, &container, 1, 0, APFS_VOLUME_CONTAINER, 0));
    EXPECT_EQ(2u, holder->refcount);
    apfs_block_release(holder);
    apfs_block_release(holder);
    apfs_block_release(clone); // the sanitizer reports a leak or a second free
}

TEST_F(BlockTest, ReadIntoASmallerHolderIsRefused) {
    apfs_block* holder = nullptr;
    ASSERT_EQ(1, apfs_block_get(&container, 0, &holder, 512, APFS_VOLUME_CONTAINER, 0));
    EXPECT_EQ(0, apfs_block_read(holder, &container, 0, 4096, APFS_VOLUME_CONTAINER, 0));
    apfs_block* clone = nullptr;
    EXPECT_EQ(0, apfs_block_clone(&container, holder, &clone, 4096));
    apfs_block_release(holder);
}

TEST_F(BlockTest, SlotsReleaseTheirHolderAndStayEmptyOnFailure) {
    apfs_block* slot = nullptr;
    ASSERT_EQ(1, apfs_block_acquire(&slot, &container, 0, 0, APFS_VOLUME_CONTAINER, 0));
    EXPECT_EQ(FileBlock(0)[32], apfs_block_slot_data(&slot)[32]);
    ASSERT_EQ(1, apfs_block_acquire(&slot, &container, 2, 0, APFS_VOLUME_CONTAINER, 0));
    EXPECT_EQ(FileBlock(2), std::vector<uint8_t>(slot->data, slot->data + 4096));
    apfs_block* copy = nullptr;
    ASSERT_EQ(1, apfs_block_acquire_clone(&copy, &container, &slot, 0));
    ASSERT_EQ(1, apfs_block_acquire_clone(&copy, &container, &copy, 0));
    EXPECT_EQ(FileBlock(2), std::vector<uint8_t>(copy->data, copy->data + 4096));
    apfs_block_slot_clear(&copy);
    {
        StderrCapture quiet;
        EXPECT_EQ(0, apfs_block_acquire(&slot, &container, kDfvfsSize / 4096, 0, APFS_VOLUME_CONTAINER, 0));
        EXPECT_EQ(0, apfs_block_acquire(&slot, &container, UINT64_MAX >> 4, 0, APFS_VOLUME_CONTAINER, 0));
    }
    EXPECT_EQ(nullptr, slot);
    EXPECT_EQ(nullptr, apfs_block_slot_data(&slot));
    apfs_block_slot_clear(&slot);
    apfs_block_slot_release(&slot);
    EXPECT_EQ(0, apfs_block_acquire(&slot, nullptr, 0, 0, APFS_VOLUME_CONTAINER, 0));
}

TEST_F(BlockTest, VolumeReadsNeedAMountedVolume) {
#ifndef _WIN32
    fs_posix_read_stats_reset();
#endif
    apfs_block* slot = nullptr;
    EXPECT_EQ(0, apfs_block_acquire(&slot, &container, 0, 0, 3, 0));
    EXPECT_EQ(0, apfs_block_acquire(&slot, &container, 0, 0, 4, 0));
#ifndef _WIN32
    uint64_t count = 0, bytes = 0;
    fs_posix_read_stats(&count, &bytes);
    EXPECT_EQ(0u, count);
#endif
    volumes[3].mounted = 1;
    ASSERT_EQ(1, apfs_block_acquire(&slot, &container, 0, 0, 3, 0));
    EXPECT_EQ(FileBlock(0), std::vector<uint8_t>(slot->data, slot->data + 4096));
    apfs_block_slot_clear(&slot);
}

TEST_F(BlockTest, EncryptedVolumeBlocksAreDecryptedWithTheirPhysicalUnits) {
    volumes[1].mounted = 1;
    volumes[1].encrypted = 1;
    apfs_block* slot = nullptr;
    EXPECT_EQ(0, apfs_block_acquire(&slot, &container, 5, 0, 1, 0));
    ASSERT_EQ(1, apfs_block_acquire(&slot, &container, 5, 0, APFS_VOLUME_CONTAINER, 0));
    EXPECT_EQ(FileBlock(5), std::vector<uint8_t>(slot->data, slot->data + 4096));

    uint8_t raw_key[32];
    for (int i = 0; i < 32; i++)
        raw_key[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(1, apfs_cipher_key_new(APFS_CIPHER_AES128_XTS, &volumes[1].key));
    ASSERT_EQ(1, apfs_cipher_key_set(volumes[1].key, raw_key, 32));
    ASSERT_EQ(1, apfs_block_acquire(&slot, &container, 5, 0, 1, 0));
    // Encrypting what was read again must give the bytes on disk.
    std::vector<uint8_t> data(slot->data, slot->data + 4096);
    for (int unit = 0; unit < 8; unit++) {
        uint8_t tweak[16] = {};
        apfs_put_le64(tweak, 5 * 8 + unit);
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int n = 0;
        ASSERT_EQ(1, EVP_EncryptInit_ex(ctx, EVP_aes_128_xts(), nullptr, raw_key, tweak));
        ASSERT_EQ(1, EVP_EncryptUpdate(ctx, &data[unit * 512], &n, &data[unit * 512], 512));
        EVP_CIPHER_CTX_free(ctx);
    }
    EXPECT_EQ(FileBlock(5), data);
    apfs_block_slot_clear(&slot);
}

} // namespace
