// Volume mount, inode loading, extended attributes and the directory iterator on fixture images.
#include "support/apfs_test_support.h"

#include "container.h"
#include "dir.h"
#include "fs_reader.h"
#include "inode.h"
#include "mount.h"
#include "tree.h"
#include "volume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// A container opened on a fixture device with a mount handle and its two trees.
class Mounted : public testing::Test {
  protected:
    void Open(const char* device) {
        apfs_test::UseTestDevices();
        FsReader_Reset(&reader_);
        ASSERT_EQ(1, FsReader_Init(&reader_, device));
        std::vector<uint8_t> block(4096);
        ASSERT_EQ(1, FsReader_Read(&reader_, 0, block.data(), block.size()));
        apfs_container_init(&container_);
        opened_ = true;
        ASSERT_EQ(1, apfs_container_open(&container_, block.data(), &reader_));
        apfs_mount_init(&mount_, &container_);
        apfs_tree_init(&omap_, &container_);
        apfs_tree_init(&fs_, &container_);
    }
    void TearDown() override {
        if (!opened_)
            return;
        apfs_tree_free(&fs_);
        apfs_tree_free(&omap_);
        apfs_mount_free(&mount_);
        apfs_container_free(&container_);
        FsReader_Uninit(&reader_);
    }
    int Mount(const char* password = nullptr, int32_t index = 0) {
        return apfs_mount_volume(&mount_, index, password, &omap_, &fs_);
    }
    apfs_inode* Inode(uint64_t oid, uint32_t* not_found = nullptr) {
        apfs_inode* inode = nullptr;
        return apfs_inode_open(&container_, oid, &inode, not_found, &fs_) ? inode : nullptr;
    }

    FsReader reader_;
    apfs_container container_;
    apfs_mount mount_;
    apfs_tree omap_, fs_;
    bool opened_ = false;
};

TEST_F(Mounted, SecondMountOfAVolumeReadsNothing) {
    Open(apfs_test::kDfvfsVolume);
    ASSERT_EQ(1, Mount());
    ASSERT_NE(nullptr, mount_.root);
    EXPECT_EQ(2u, apfs_inode_oid(mount_.root->inode));
    EXPECT_EQ(1u, mount_.root->kind);
    EXPECT_EQ(0u, mount_.root->inode->size);
    EXPECT_EQ(0x4000, apfs_inode_mode(mount_.root->inode) & 0xF000);
    uint64_t superblock = container_.volumes[0].superblock_block;
    container_.volumes[0].superblock_block = 0;
    EXPECT_EQ(1, apfs_volume_mount(&container_, 0, nullptr, &omap_, &fs_));
    EXPECT_EQ(0u, container_.volumes[0].superblock_block);
    container_.volumes[0].superblock_block = superblock;
    EXPECT_EQ(&container_.volumes[0], apfs_container_volume(&container_, 0));
    EXPECT_EQ(nullptr, apfs_container_volume(&container_, 1));
}

TEST_F(Mounted, IndexOutsideTheVolumeTableFails) {
    Open(apfs_test::kDfvfsVolume);
    EXPECT_EQ(0, Mount(nullptr, 1));
    EXPECT_EQ(0, Mount(nullptr, -1));
    EXPECT_EQ(nullptr, mount_.root);
    EXPECT_EQ(0u, container_.volumes[0].mounted);
}

TEST_F(Mounted, IndexBeyondTheInodeIdBitsFails) {
    Open(apfs_test::kDfvfsVolume);
    // Index 16 would put volume 0's bits in every inode id; it is refused before the table is read.
    const uint32_t count = container_.volume_count;
    container_.volume_count = 17;
    EXPECT_EQ(0, Mount(nullptr, 16));
    container_.volume_count = count;
    EXPECT_EQ(nullptr, mount_.root);
}

TEST_F(Mounted, EncryptedVolumeNeedsItsPassword) {
    Open(apfs_test::kEncDfvfsVolume);
    EXPECT_EQ(0u, apfs_container_find_data_volume(&container_));
    EXPECT_EQ(0, Mount());
    EXPECT_EQ(1u, container_.volumes[0].encrypted);
    EXPECT_EQ(0u, container_.volumes[0].mounted);
    EXPECT_EQ(0, Mount("volarix-TEST-pw "));
    EXPECT_EQ(0u, container_.volumes[0].unlocked);
    EXPECT_EQ(1, Mount("volarix-TEST-pw"));
    EXPECT_EQ(1u, container_.volumes[0].unlocked);
    apfs_inode* file = Inode(18); // /passwords.txt, 116 bytes
    ASSERT_NE(nullptr, file);
    std::vector<uint8_t> data(file->size);
    ASSERT_EQ(116u, data.size());
    ASSERT_EQ(1, apfs_inode_read_stream(file, 18, data.data(), data.size(), &fs_));
    EXPECT_NE(std::string::npos, std::string(data.begin(), data.end()).find("secret"));
    apfs_inode_release(file);
}

// Without a keylocker the encrypted volume mounts with its tree unopened, and its root directory
// then fails: the failed mount must not leave it mounted for the next one to take as loaded.
TEST_F(Mounted, FailedRootDirectoryLeavesTheVolumeUnmounted) {
    Open(apfs_test::kEncDfvfsVolume);
    apfs_put_le64(container_.superblock + APFS_NX_KEYLOCKER + 8, 0);
    EXPECT_EQ(0, Mount());
    EXPECT_EQ(nullptr, apfs_container_volume(&container_, 0));
    EXPECT_EQ(1u, container_.volumes[0].encrypted);
}

TEST_F(Mounted, SymlinkSizeIsTheTargetAttributePlusOne) {
    Open(apfs_test::kDfvfsVolume);
    ASSERT_EQ(1, Mount());
    apfs_inode* link = Inode(20); // /a_link, target attribute of 25 bytes
    ASSERT_NE(nullptr, link);
    EXPECT_EQ(26u, link->size);
    apfs_inode_release(link);
}

TEST_F(Mounted, AttributeQueriesReportSizeTooSmallAndAbsence) {
    Open(apfs_test::kDfvfsVolume);
    ASSERT_EQ(1, Mount());
    apfs_inode* file = Inode(17); // /a_directory/a_file, xattr myxattr of 21 bytes
    ASSERT_NE(nullptr, file);
    uint64_t size = 0;
    uint32_t too_small = 0, missing = 0;
    EXPECT_EQ(1, apfs_inode_get_xattr(file, "myxattr", 7, nullptr, 0, &size, &too_small, &missing, &fs_));
    EXPECT_EQ(21u, size);
    char small[4];
    size = 0;
    EXPECT_EQ(
        0, apfs_inode_get_xattr(file, "myxattr", 7, small, sizeof(small), &size, &too_small, &missing, &fs_));
    EXPECT_EQ(1u, too_small);
    EXPECT_EQ(21u, size);
    EXPECT_EQ(0u, missing);
    too_small = 0;
    EXPECT_EQ(0, apfs_inode_get_xattr(file, "myxatt", 6, nullptr, 0, &size, &too_small, &missing, &fs_));
    EXPECT_EQ(1u, missing);
    EXPECT_EQ(0u, too_small);
    missing = 0;
    EXPECT_EQ(0, apfs_inode_get_xattr(file, nullptr, 0, nullptr, 0, &size, &too_small, &missing, &fs_));
    EXPECT_EQ(0u, missing);
    apfs_inode_release(file);
}

TEST_F(Mounted, MissingInodeSetsNotFound) {
    Open(apfs_test::kDfvfsVolume);
    ASSERT_EQ(1, Mount());
    uint32_t not_found = 0;
    EXPECT_EQ(nullptr, Inode(999999, &not_found));
    EXPECT_EQ(1u, not_found);
}

TEST_F(Mounted, CompressedFileTakesItsUncompressedSize) {
    Open(apfs_test::kContentVolume);
    ASSERT_EQ(1, Mount());
    apfs_inode* file = Inode(23); // /compressed.txt
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(1, apfs_inode_is_compressed(file));
    EXPECT_EQ(180000u, file->size);
    apfs_inode_release(file);
}

TEST_F(Mounted, SparseFileReadStopsAtItsHole) {
    Open(apfs_test::kContentVolume);
    ASSERT_EQ(1, Mount());
    apfs_inode* file = Inode(22); // /sparse.bin, 69632 bytes with a 64 KiB hole
    ASSERT_NE(nullptr, file);
    std::vector<uint8_t> data(file->size);
    EXPECT_EQ(0, apfs_inode_read_stream(file, 22, data.data(), data.size(), &fs_));
    apfs_extent run;
    apfs_extent_init(&run);
    ASSERT_EQ(1, apfs_inode_map_extent(file, 22, 0, 17, &run, &fs_));
    EXPECT_NE(0u, run.length);
    apfs_inode_release(file);
}

TEST_F(Mounted, IteratorRefusesDotNamesAndOverlongNames) {
    Open(apfs_test::kDfvfsVolume);
    ASSERT_EQ(1, Mount());
    apfs_dir_iter* iter = mount_.root->iter;
    apfs_inode* root = mount_.root->inode;
    auto start = [&](const std::string& name) {
        return apfs_dir_iter_start(iter, &mount_, root, reinterpret_cast<const uint8_t*>(name.data()),
                                   static_cast<uint32_t>(name.size()), &fs_);
    };
    EXPECT_EQ(0, start("."));
    EXPECT_EQ(0, start(".."));
    EXPECT_EQ(0, start(""));
    EXPECT_EQ(0, start(std::string(256, 'a')));
    start("...");
    EXPECT_EQ(3u, iter->name_len);
    EXPECT_EQ(0u, iter->no_name);
    start(".a");
    EXPECT_EQ(0, memcmp(iter->name, ".a", 2));
    start(std::string(255, 'b'));
    EXPECT_EQ(255u, iter->name_len);
    // The volume is case-insensitive: both spellings start at the same hash.
    EXPECT_EQ(0u, iter->case_sensitive);
    start("A_LINK");
    uint32_t upper = iter->hash;
    start("a_link");
    EXPECT_EQ(upper, iter->hash);
}

// Images of make-hostile-trees.py: index entries that lead to one leaf of the root inode's
// attributes again and again, distinct leaves full of its attributes, thousands of distinct leaves
// of one attribute each (more than a probe may read), and leaves of records that the root's load
// does not need, which it mounts without; and checkpoint areas of other sizes, the newest
// checkpoint torn.
TEST(HostileTree, MountEndsWithinTheProbeBudget) {
    // Whether the container opens, whether its volume then mounts, and the most reads a probe may
    // try: walks that stop early stay well below the budget, and a walk that spends it ends there.
    constexpr uint64_t kBudgetReads = FS_READER_PROBE_BUDGET / FS_READER_UNIT;
    const struct {
        const char* name;
        int opens, mounts;
        uint64_t most_reads;
    } cases[] = {{"hostile_tree_d2.img", 1, 0, 32},
                 {"hostile_tree_d3.img", 1, 0, 32},
                 {"hostile_tree_links.img", 1, 1, 32},
                 {"hostile_tree_wide.img", 1, 0, 128},
                 {"hostile_tree_many_links.img", 1, 1, 32},
                 {"hostile_tree_many_streams.img", 1, 1, 32},
                 {"hostile_tree_many_crypto.img", 1, 1, 32},
                 {"hostile_tree_many_extents.img", 1, 1, 32},
                 {"hostile_tree_many_attrs.img", 1, 0, kBudgetReads + 1},
                 {"hostile_area_huge.img", 0, 0, 8},
                 {"hostile_area_sparse.img", 0, 0, kBudgetReads + 1},
                 {"hostile_area_real.img", 1, 1, 320},
                 // Refused before a block of the area is read: only block 0's read is counted.
                 {"hostile_area_flagged.img", 0, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        apfs_test::ImageReader reader(apfs_test::FixturePath(c.name));
        ASSERT_TRUE(reader.Ok());
        FsReader_SetBudget(reader.Get(), FS_READER_PROBE_BUDGET);
        std::vector<uint8_t> block(4096);
        ASSERT_EQ(1, FsReader_Read(reader.Get(), 0, block.data(), block.size()));
        apfs_container container;
        apfs_container_init(&container);
        apfs_mount mount;
        apfs_mount_init(&mount, &container);
        apfs_tree omap, fs;
        apfs_tree_init(&omap, &container);
        apfs_tree_init(&fs, &container);
        const int opens = apfs_container_open(&container, block.data(), reader.Get());
        const int mounts = opens && apfs_mount_volume(&mount, 0, nullptr, &omap, &fs);
        apfs_tree_free(&fs);
        apfs_tree_free(&omap);
        apfs_mount_free(&mount);
        apfs_container_free(&container);
        EXPECT_EQ(c.opens, opens);
        EXPECT_EQ(c.mounts, mounts);
        EXPECT_LE(reader.Get()->attempts, c.most_reads);
    }
}

TEST(DirIter, NameBufferIsReusedForShorterNames) {
    apfs_dir_iter iter;
    memset(&iter, 0, sizeof(iter));
    ASSERT_EQ(1, apfs_dir_iter_set_name(&iter, reinterpret_cast<const uint8_t*>("0123456789"), 10));
    uint8_t* buffer = iter.name;
    ASSERT_EQ(1, apfs_dir_iter_set_name(&iter, reinterpret_cast<const uint8_t*>("abcde"), 5));
    EXPECT_EQ(buffer, iter.name);
    EXPECT_EQ(5u, iter.name_len);
    ASSERT_EQ(1, apfs_dir_iter_set_name(&iter, reinterpret_cast<const uint8_t*>("ABCDEFGH"), 8));
    EXPECT_EQ(8u, iter.name_len);
    EXPECT_EQ(0, memcmp(iter.name, "ABCDEFGH", 8));
    ASSERT_EQ(1, apfs_dir_iter_set_name(&iter, nullptr, 0));
    EXPECT_EQ(1u, iter.no_name);
    free(iter.name);
}

} // namespace
