#include "container.h"
#include "dir.h"
#include "fs_reader.h"
#include "inode.h"
#include "mount.h"
#include "tree.h"
#include "volume.h"

#include "support/apfs_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace apfs_test;

namespace {

using Bytes = std::vector<uint8_t>;

// dfvfs_apfs.raw: descriptor area of 8 blocks at block 1; the newest checkpoint (xid 4) is its
// map block 7 and superblock 8.
constexpr uint64_t kBase = 1;
constexpr uint32_t kAreaBlocks = 8;

Bytes Superblock(const Bytes& source, uint64_t xid, uint32_t next, uint32_t index = 0, uint32_t len = 2) {
    Bytes sb = source;
    apfs_put_le64(&sb[APFS_OBJ_XID], xid);
    apfs_put_le32(&sb[APFS_NX_XP_DESC_NEXT], next);
    apfs_put_le32(&sb[APFS_NX_XP_DESC_INDEX], index);
    apfs_put_le32(&sb[APFS_NX_XP_DESC_LEN], len);
    return sb;
}

Bytes MapBlock(const Bytes& source, uint64_t block, uint64_t xid, std::vector<uint64_t> oids = {}) {
    Bytes map = source;
    apfs_put_le64(&map[APFS_OBJ_OID], block);
    apfs_put_le64(&map[APFS_OBJ_XID], xid);
    if (!oids.empty()) {
        apfs_put_le32(&map[APFS_CPM_COUNT], static_cast<uint32_t>(oids.size()));
        for (size_t i = 0; i < oids.size(); i++) {
            uint8_t* entry = &map[APFS_CPM_MAP + i * APFS_CPM_ENTRY_SIZE];
            apfs_put_le32(entry + APFS_CPM_TYPE, 0x80000000u | APFS_OBJECT_TYPE_BTREE_NODE);
            apfs_put_le32(entry + APFS_CPM_SIZE, 4096);
            apfs_put_le64(entry + APFS_CPM_OID, oids[i]);
            apfs_put_le64(entry + APFS_CPM_PADDR, 500 + oids[i]);
        }
    }
    return map;
}

class CheckpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sb = image.Block(8);
        map = image.Block(7);
        apfs_container_init(&container);
        container.block_size = 4096;
        container.block_shift = 12;
    }
    void TearDown() override { apfs_container_free(&container); }

    // The block that the walk from block 0 settles on; 0 when it fails.
    uint64_t Latest(const Bytes& block0 = {}) {
        ImageReader reader(image.Path());
        EXPECT_TRUE(reader.Ok());
        container.reader = reader.Get();
        Bytes b0 = block0.empty() ? image.Block(0) : block0;
        uint64_t block = 0;
        int ok = apfs_checkpoint_find_latest(&container, b0.data(), &block);
        container.reader = nullptr;
        return ok ? block : 0;
    }

    void PutArea(const std::vector<Bytes>& blocks) {
        for (size_t i = 0; i < blocks.size(); i++)
            image.Put(kBase + i, blocks[i], !blocks[i].empty() && blocks[i][24] != 0);
    }

    EditedImage image{"dfvfs_apfs.raw", "checkpoint.img"};
    Bytes sb, map;
    Bytes empty = Bytes(4096, 0);
    apfs_container container;
};

TEST_F(CheckpointTest, FindsNewestCheckpointOfRealImage) {
    EXPECT_EQ(8u, Latest());
}

TEST_F(CheckpointTest, WalkStopsAtTheFirstOlderSuperblock) {
    // Block 0 names the checkpoint at the area's start; xids 10, 11, 12 follow, then an older 7.
    PutArea({MapBlock(map, 1, 10), Superblock(sb, 10, 2), MapBlock(map, 3, 11), Superblock(sb, 11, 4),
             MapBlock(map, 5, 12), Superblock(sb, 12, 6), MapBlock(map, 7, 7), Superblock(sb, 7, 0)});
    Bytes b0 = Superblock(image.Block(0), 10, 2, 0, 2);
    EXPECT_EQ(6u, Latest(b0));
}

TEST_F(CheckpointTest, EmptyBlockEndsTheWalk) {
    // After xid 11 the walk looks at the block after the next checkpoint's first one.
    PutArea({MapBlock(map, 1, 10), Superblock(sb, 10, 2), MapBlock(map, 3, 11), Superblock(sb, 11, 4),
             MapBlock(map, 5, 12), empty, Superblock(sb, 12, 6), empty});
    EXPECT_EQ(4u, Latest(Superblock(image.Block(0), 10, 2, 0, 2)));
}

TEST_F(CheckpointTest, WalkWrapsPastTheAreaEnd) {
    // xid 10 at the area's last block points past the end: the walk goes on at the base.
    PutArea({MapBlock(map, 1, 11), Superblock(sb, 11, 2), Superblock(sb, 9, 4), empty, empty, empty,
             MapBlock(map, 7, 10), Superblock(sb, 10, 7)});
    EXPECT_EQ(2u, Latest(Superblock(image.Block(0), 10, 7, 6, 2)));
}

TEST_F(CheckpointTest, MalformedAreasFailTheSearch) {
    // Only map blocks: the walk is bounded instead of circling for ever.
    std::vector<Bytes> maps;
    for (uint64_t i = 0; i < kAreaBlocks; i++)
        maps.push_back(MapBlock(map, kBase + i, 3));
    PutArea(maps);
    EXPECT_EQ(0u, Latest());
    // An object of another type in the area.
    Bytes other = map;
    apfs_put_le32(&other[APFS_OBJ_TYPE], APFS_OBJECT_TYPE_OMAP);
    PutArea({other, empty, empty, empty, empty, empty, empty, empty});
    EXPECT_EQ(0u, Latest(Superblock(image.Block(0), 4, 0, 0, 1)));
    // An area that does not lie inside the container.
    Bytes b0 = image.Block(0);
    apfs_put_le64(&b0[APFS_NX_XP_DESC_BASE], apfs_le64(&b0[APFS_NX_BLOCK_COUNT]) - 2);
    EXPECT_EQ(0u, Latest(b0));
    apfs_put_le64(&b0[APFS_NX_XP_DESC_BASE], 1);
    apfs_put_le32(&b0[APFS_NX_XP_DESC_BLOCKS], 0x80000008u);
    EXPECT_EQ(0u, Latest(b0));
}

class CheckpointMapTest : public CheckpointTest {
  protected:
    // Loads the maps of a current superblock at block sb_block whose first map block is first.
    int Load(const Bytes& current, uint64_t sb_block, uint64_t first) {
        ImageReader reader(image.Path());
        EXPECT_TRUE(reader.Ok());
        container.reader = reader.Get();
        free(container.superblock);
        container.superblock = static_cast<uint8_t*>(malloc(4096));
        memcpy(container.superblock, current.data(), 4096);
        container.superblock_block = sb_block;
        container.first_map_block = first;
        int ok = apfs_checkpoint_map_load(&container);
        container.reader = nullptr;
        return ok;
    }
};

TEST_F(CheckpointMapTest, LoadsAndLooksUpTheRealMaps) {
    ASSERT_EQ(1, Load(sb, 8, 7));
    ASSERT_EQ(4u, container.map_count);
    const uint8_t* entry = container.map_table;
    uint64_t oid = apfs_le64(entry + APFS_CPM_OID), paddr = 0;
    uint32_t type = apfs_le32(entry + APFS_CPM_TYPE), size = 0, not_found = 0;
    ASSERT_EQ(1, apfs_checkpoint_map_lookup(&container, oid, type & 0xFFFF, &paddr, &size, &not_found));
    EXPECT_EQ(apfs_le64(entry + APFS_CPM_PADDR), paddr);
    EXPECT_EQ(apfs_le32(entry + APFS_CPM_SIZE), size);
    EXPECT_EQ(0u, not_found);
}

TEST_F(CheckpointMapTest, TypeFlagsAreIgnoredButTypesMustAgree) {
    image.Put(7, MapBlock(map, 7, 4, {0x400, 0x401}));
    ASSERT_EQ(1, Load(sb, 8, 7));
    uint64_t paddr = 0;
    uint32_t size = 0, not_found = 0;
    EXPECT_EQ(1, apfs_checkpoint_map_lookup(&container, 0x401, APFS_OBJECT_TYPE_BTREE_NODE, &paddr, &size,
                                            &not_found));
    EXPECT_EQ(500u + 0x401, paddr);
    EXPECT_EQ(4096u, size);
    EXPECT_EQ(
        0, apfs_checkpoint_map_lookup(&container, 0x401, APFS_OBJECT_TYPE_BTREE, &paddr, &size, &not_found));
    EXPECT_EQ(0u, not_found);
    EXPECT_EQ(0, apfs_checkpoint_map_lookup(&container, 0x402, APFS_OBJECT_TYPE_BTREE_NODE, &paddr, nullptr,
                                            &not_found));
    EXPECT_EQ(1u, not_found);
}

TEST_F(CheckpointMapTest, MapBlocksWrapToTheAreaBase) {
    // A checkpoint of three map blocks at area blocks 7, 8 and 1, and its superblock at block 2.
    Bytes current = Superblock(sb, 20, 2, 6, 4);
    image.Put(7, MapBlock(map, 7, 20, {0x10}));
    image.Put(8, MapBlock(map, 8, 20, {0x11, 0x12}));
    image.Put(1, MapBlock(map, 1, 20, {0x13}));
    ASSERT_EQ(1, Load(current, 2, 7));
    ASSERT_EQ(4u, container.map_count);
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_EQ(0x10u + i, apfs_le64(container.map_table + i * APFS_CPM_ENTRY_SIZE + APFS_CPM_OID));
    EXPECT_EQ(1, Load(Superblock(sb, 20, 2, 6, 1), 2, 7));
    EXPECT_EQ(0u, container.map_count);
    EXPECT_EQ(0, Load(Superblock(sb, 20, 2, 6, 0), 2, 7));
}

TEST_F(CheckpointMapTest, RejectsForeignOrOverfullMapBlocks) {
    EXPECT_EQ(0, Load(Superblock(sb, 5, 0, 6, 2), 8, 7)); // map block of another transaction
    // An area flagged as not contiguous.
    Bytes flagged = sb;
    apfs_put_le32(&flagged[APFS_NX_XP_DESC_BLOCKS], APFS_NX_XP_DESC_NONCONTIG | kAreaBlocks);
    EXPECT_EQ(0, Load(flagged, 8, 7));
    image.Put(7, MapBlock(map, 6, 4));
    EXPECT_EQ(0, Load(sb, 8, 7)); // map block that is not at its own address
    Bytes overfull = MapBlock(map, 7, 4);
    apfs_put_le32(&overfull[APFS_CPM_COUNT], 102);
    image.Put(7, overfull);
    EXPECT_EQ(0, Load(sb, 8, 7));
    EXPECT_EQ(0, Load(Superblock(sb, 4, 0, 6, kAreaBlocks + 1), 8, 7));
    // An empty map block leaves room in the table, but a count may never run past its own block.
    Bytes none = MapBlock(map, 7, 20), many = MapBlock(map, 8, 20);
    apfs_put_le32(&none[APFS_CPM_COUNT], 0);
    apfs_put_le32(&many[APFS_CPM_COUNT], 150);
    image.Put(7, none);
    image.Put(8, many);
    EXPECT_EQ(0, Load(Superblock(sb, 20, 2, 6, 3), 2, 7));
}

TEST(Checksum, EveryObjectOfTheFixturesVerifies) {
    struct Image {
        const char* name;
        uint64_t min_objects;
    } images[] = {{"dfvfs_apfs.raw", 20},
                  {"apfs_forensic_nxsb_head.img", 10},
                  {"apfs_forensic_container_chain.img", 10},
                  {"apfs_forensic_fstree.img", 10},
                  {"apfs_forensic_content.img", 10},
                  {"pop_ci_1g.img", 200},
                  {"pop_cs_1g.img", 200},
                  {"pop_csns_1g.img", 200}};
    for (const Image& image : images) {
        std::ifstream in(FixturePath(image.name), std::ios::binary);
        ASSERT_TRUE(in) << image.name;
        std::vector<uint8_t> chunk(1 << 20);
        uint64_t objects = 0, block = 0;
        while (in.read(reinterpret_cast<char*>(chunk.data()), chunk.size()) || in.gcount() > 0) {
            size_t blocks = static_cast<size_t>(in.gcount()) / 4096;
            for (size_t b = 0; b < blocks; b++, block++) {
                const uint8_t* obj = &chunk[b * 4096];
                uint32_t type = apfs_le32(obj + APFS_OBJ_TYPE);
                // Objects as this writer stores them: a known type with the physical, ephemeral
                // or no-header-flag storage bits, and a nonzero checksum.
                uint32_t flags = type >> 16;
                if (apfs_le64(obj) == 0 || (type & 0xFFFF) == 0 || (type & 0xFFFF) > 0x20 ||
                    (flags != 0 && flags != 0x4000 && flags != 0x8000) || apfs_le64(obj + APFS_OBJ_OID) == 0)
                    continue;
                EXPECT_TRUE(apfs_obj_checksum_ok(obj, 4096)) << image.name << " block " << block;
                objects++;
            }
            if (!in)
                break;
        }
        EXPECT_GE(objects, image.min_objects) << image.name;
    }
}

TEST(Checksum, StoresTheSumItComputes) {
    Bytes block = ReadFile(FixturePath("dfvfs_apfs.raw"), 0, 4096);
    uint64_t stored = apfs_le64(&block[0]);
    apfs_put_le64(&block[0], 0);
    EXPECT_EQ(stored, apfs_fletcher64(block.data(), 4096));
    EXPECT_EQ(stored, apfs_le64(&block[0]));
    block[100] ^= 1;
    EXPECT_FALSE(apfs_obj_checksum_ok(block.data(), 4096));
    EXPECT_EQ(0x00000000FFFFFFFFull, apfs_fletcher64(block.data(), 8));
    EXPECT_EQ(0u, apfs_fletcher_fold(0x00000001FFFFFFFEull));
    EXPECT_EQ(0x12345678u + 0x9ABCDEF0u, apfs_fletcher_fold(0x123456789ABCDEF0ull));
}

TEST(Superblock, ChecksFieldsWithinTheirRanges) {
    Bytes b0 = ReadFile(FixturePath("dfvfs_apfs.raw"), 0, 4096);
    apfs_container container;
    apfs_container_init(&container);
    container.block_size = 4096;
    ASSERT_EQ(1, apfs_nx_superblock_ok(&container, b0.data()));
    struct Case {
        size_t offset;
        uint64_t value;
        int width;
        int ok;
    } cases[] = {
        {APFS_NX_MAX_FILE_SYSTEMS, 0, 4, 0},     {APFS_NX_MAX_FILE_SYSTEMS, 101, 4, 0},
        {APFS_NX_MAX_FILE_SYSTEMS, 1, 4, 1},     {APFS_NX_MAX_FILE_SYSTEMS, 100, 4, 1},
        {APFS_NX_BLOCK_COUNT, 0, 8, 0},          {APFS_NX_BLOCK_COUNT, 1ull << 32, 8, 0},
        {APFS_NX_BLOCK_COUNT, 0xFFFFFFFF, 8, 1}, {APFS_NX_MAGIC_OFF, 0x4253584F, 4, 0},
        {APFS_OBJ_TYPE, 0x80000002, 4, 0},       {APFS_NX_BLOCK_SIZE, 8192, 4, 0},
    };
    for (const Case& c : cases) {
        Bytes sb = b0;
        if (c.width == 4)
            apfs_put_le32(&sb[c.offset], static_cast<uint32_t>(c.value));
        else
            apfs_put_le64(&sb[c.offset], c.value);
        apfs_fletcher64(sb.data(), 4096);
        EXPECT_EQ(c.ok, apfs_nx_superblock_ok(&container, sb.data())) << c.offset << " " << c.value;
    }
    for (uint32_t size : {0u, 512u, 3000u, 1u << 26}) {
        container.block_size = size;
        EXPECT_EQ(0, apfs_nx_superblock_ok(&container, b0.data())) << size;
    }
    b0[200] ^= 1;
    container.block_size = 4096;
    EXPECT_EQ(0, apfs_nx_superblock_ok(&container, b0.data()));
}

TEST(Superblock, BlockShiftOfPowersOfTwo) {
    EXPECT_EQ(0, apfs_log2(1));
    EXPECT_EQ(9, apfs_log2(512));
    EXPECT_EQ(12, apfs_log2(4096));
    EXPECT_EQ(14, apfs_log2(16384));
    EXPECT_EQ(25, apfs_log2(1u << 25));
    EXPECT_EQ(9, apfs_log2(1u << 26));
    EXPECT_EQ(9, apfs_log2(3000));
    EXPECT_EQ(9, apfs_log2(0));
}

TEST(ObjectVerify, ChecksMultiBlockObjects) {
    apfs_container container;
    apfs_container_init(&container);
    container.block_size = 4096;
    container.superblock = static_cast<uint8_t*>(calloc(1, 4096));
    apfs_put_le64(container.superblock + APFS_OBJ_XID, 50);
    Bytes keybag(2 * 4096, 0x5A);
    apfs_put_le64(&keybag[APFS_OBJ_OID], 0);
    apfs_put_le64(&keybag[APFS_OBJ_XID], 50);
    apfs_put_le32(&keybag[APFS_OBJ_TYPE], 0x6B657973);
    apfs_put_le32(&keybag[APFS_OBJ_SUBTYPE], 0);
    apfs_fletcher64(keybag.data(), 2 * 4096);
    EXPECT_EQ(1, apfs_obj_verify(&container, keybag.data(), 2, 0x6B657973));
    EXPECT_EQ(0, apfs_obj_verify(&container, keybag.data(), 1, 0x6B657973));
    EXPECT_EQ(0, apfs_obj_verify(&container, keybag.data(), 2, 0x72656373));
    EXPECT_EQ(0, apfs_obj_verify(&container, keybag.data(), 0x80000000u, 0x6B657973));
    apfs_put_le64(&keybag[APFS_OBJ_XID], 51);
    apfs_fletcher64(keybag.data(), 2 * 4096);
    EXPECT_EQ(0, apfs_obj_verify(&container, keybag.data(), 2, 0x6B657973));
    apfs_container_free(&container);
}

class ContainerOpenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseTestDevices();
        apfs_container_init(&container);
    }
    void TearDown() override { apfs_container_free(&container); }

    int Open(FsReader* reader) {
        Bytes block0(4096);
        if (!FsReader_Read(reader, 0, block0.data(), 4096))
            return 0;
        return apfs_container_open(&container, block0.data(), reader);
    }

    apfs_container container;
};

TEST_F(ContainerOpenTest, EveryFixtureOpensWithItsVolumes) {
    struct Case {
        const char* device;
        int opens;
        uint64_t xid;
    } cases[] = {
        {kDfvfsVolume, 1, 4},   {kPopCiVolume, 1, 1863},       {kPopCsVolume, 1, 0},
        {kPopCsnsVolume, 1, 0}, {kContainerChainVolume, 1, 0}, {kFstreeVolume, 1, 0},
        {kContentVolume, 1, 0}, {kEncDfvfsVolume, 1, 4},       {kNxsbHeadVolume, 0, 1},
    };
    for (const Case& c : cases) {
        FsReader reader;
        FsReader_Reset(&reader);
        StderrCapture quiet;
        ASSERT_EQ(1, FsReader_Init(&reader, c.device)) << c.device;
        apfs_container_init(&container);
        EXPECT_EQ(c.opens, Open(&reader)) << c.device;
        EXPECT_EQ(static_cast<uint32_t>(c.opens), container.opened);
        if (c.opens) {
            EXPECT_EQ(1u, apfs_container_volume_count(&container)) << c.device;
        }
        if (c.xid) {
            EXPECT_EQ(c.xid, apfs_container_xid(&container)) << c.device;
        }
        apfs_container_free(&container);
        FsReader_Uninit(&reader);
    }
}

TEST_F(ContainerOpenTest, NewestCheckpointThatVerifiesIsOpened) {
    // dfvfs_apfs keeps checkpoints 1 to 4 in its area. 4 (map block 7, superblock 8, object map
    // 108) and 3 (superblock 6, object map 105) hold the same tree; 2 (superblock 4) an empty root.
    const Bytes sb4 = ReadFile(FixturePath("dfvfs_apfs.raw"), 8 * 4096, 4096);
    const Bytes map4 = ReadFile(FixturePath("dfvfs_apfs.raw"), 7 * 4096, 4096);
    struct Case {
        const char* name;
        std::vector<std::pair<uint64_t, size_t>> torn;      // block, byte
        std::vector<std::pair<uint64_t, uint64_t>> relabel; // superblock, xid it claims
        std::vector<std::pair<uint64_t, Bytes>> written;    // block, object put there
        uint64_t xid, superblock, volume_superblock;
        uint32_t root_children;
    } cases[] = {
        {"newest superblock", {{8, 200}}, {}, {}, 3, 6, 104, 4},
        {"newest map block", {{7, 64}}, {}, {}, 3, 6, 104, 4},
        {"newest object map", {{108, 100}}, {}, {}, 3, 6, 104, 4},
        {"newest superblock and previous object map", {{8, 200}, {105, 100}}, {}, {}, 2, 4, 90, 0},
        // xid 1's superblock claims xid 3 but its map block does not: the real xid 3 is tried next.
        {"older superblock claiming the previous transaction", {{8, 200}}, {{2, 3}}, {}, 3, 6, 104, 4},
        // xid 5's superblock at 7 landed but its map block did not: 6 still holds xid 3's superblock.
        // xid 4's map blocks run from the area's last block to its first, and with its superblock at 2
        // fill the room after superblock 7 exactly.
        {"newest map block unwritten, previous wrapping past the area end",
         {},
         {},
         {{0, Superblock(sb4, 5, 7, 5, 2)},
          {7, Superblock(sb4, 5, 7, 5, 2)},
          {8, MapBlock(map4, 8, 4)},
          {1, MapBlock(map4, 1, 4)},
          {2, Superblock(sb4, 4, 2, 7, 3)}},
         4,
         2,
         107,
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EditedImage image("dfvfs_apfs.raw", "torn.img");
        for (const auto& [block, xid] : c.relabel) {
            Bytes sb = image.Block(block);
            apfs_put_le64(&sb[APFS_OBJ_XID], xid);
            image.Put(block, sb);
        }
        for (const auto& [block, object] : c.written)
            image.Put(block, object);
        for (const auto& [block, offset] : c.torn) {
            Bytes torn = image.Block(block);
            torn[offset] ^= 0x5A;
            image.Put(block, torn, false);
        }
        ImageReader reader(image.Path());
        ASSERT_TRUE(reader.Ok());
        apfs_container_init(&container);
        EXPECT_EQ(1, Open(reader.Get()));
        EXPECT_EQ(c.xid, apfs_container_xid(&container));
        EXPECT_EQ(c.superblock, container.superblock_block);
        apfs_mount mount;
        apfs_tree omap, fs;
        apfs_mount_init(&mount, &container);
        apfs_tree_init(&omap, &container);
        apfs_tree_init(&fs, &container);
        if (container.opened && apfs_mount_volume(&mount, 0, nullptr, &omap, &fs)) {
            EXPECT_EQ(c.volume_superblock, container.volumes[0].superblock_block);
            EXPECT_EQ(c.root_children, apfs_le32(mount.root->inode->value + APFS_INODE_NCHILDREN_OFF));
        } else {
            ADD_FAILURE() << "volume 0 does not mount";
        }
        apfs_tree_free(&fs);
        apfs_tree_free(&omap);
        apfs_mount_free(&mount);
        apfs_container_free(&container);
    }
}

TEST_F(ContainerOpenTest, DeviceShorterThanTheContainerFails) {
    EditedImage image("dfvfs_apfs.raw", "short.img");
    ImageReader reader(image.Path());
    ASSERT_TRUE(reader.Ok());
    reader.Get()->length = kDfvfsSize - 4096;
    EXPECT_EQ(0, Open(reader.Get()));
    EXPECT_EQ(1u, apfs_container_volume_count(&container)); // everything else succeeded
    reader.Get()->length = kDfvfsSize;
    EXPECT_EQ(1, Open(reader.Get()));
}

TEST_F(ContainerOpenTest, ReopenWithMoreVolumesGrowsTheTable) {
    EditedImage image("dfvfs_apfs.raw", "grow.img");
    ImageReader reader(image.Path());
    ASSERT_TRUE(reader.Ok());
    ASSERT_EQ(1, Open(reader.Get()));
    EXPECT_EQ(1u, apfs_container_volume_count(&container));
    // A second record in the object map's root leaf (block 109), a copy of the first.
    Bytes root = image.Block(109);
    apfs_put_le32(&root[36], 2);
    memcpy(&root[60], &root[56], 4);
    image.Put(109, root);
    ASSERT_EQ(1, Open(reader.Get()));
    ASSERT_EQ(2u, apfs_container_volume_count(&container));
    EXPECT_EQ(&container, container.volumes[1].container);
    EXPECT_EQ(1u, container.volumes[1].index);
    EXPECT_EQ(0u, container.volumes[1].mounted);
}

TEST_F(ContainerOpenTest, VolumeSuperblockIsItsNewestVersionUpToTheContainerTransaction) {
    // The object map's root leaf (block 109) holds versions 1, 2, 4 and 5 of the superblock's
    // oid; only version 4 (the container's transaction) names the real block, 107.
    EditedImage image("dfvfs_apfs.raw", "versions.img");
    Bytes root = image.Block(109);
    const uint64_t xids[] = {1, 2, 4, 5};
    apfs_put_le32(&root[36], 4);
    for (uint32_t i = 0; i < 4; i++) {
        apfs_put_le16(&root[56 + 4 * i], static_cast<uint16_t>(16 * i));
        apfs_put_le16(&root[58 + 4 * i], static_cast<uint16_t>(16 * (i + 1)));
        apfs_put_le64(&root[504 + 16 * i], 1026);
        apfs_put_le64(&root[512 + 16 * i], xids[i]);
        uint8_t* value = &root[4056 - 16 * (i + 1)];
        apfs_put_le32(value, 0);
        apfs_put_le32(value + 4, 4096);
        apfs_put_le64(value + 8, xids[i] == 4 ? 107 : 8);
    }
    image.Put(109, root);
    ImageReader reader(image.Path());
    ASSERT_TRUE(reader.Ok());
    ASSERT_EQ(1, Open(reader.Get()));
    apfs_tree omap, fs;
    apfs_tree_init(&omap, &container);
    apfs_tree_init(&fs, &container);
    EXPECT_EQ(1, apfs_volume_mount(&container, 0, nullptr, &omap, &fs));
    EXPECT_EQ(107u, container.volumes[0].superblock_block);
    apfs_tree_free(&fs);
    apfs_tree_free(&omap);
}

TEST_F(ContainerOpenTest, VolumeSuperblockCopyFollowsTheBlockSize) {
    // The volume superblock (block 107) as the first half of the 8 KiB block 400, marked at its end.
    EditedImage image("dfvfs_apfs.raw", "bigger.img");
    Bytes big = image.Block(107);
    big.resize(8192, 0);
    big[8191] = 0x5A;
    apfs_fletcher64(big.data(), 8192);
    image.Put(800, Bytes(big.begin(), big.begin() + 4096), false);
    image.Put(801, Bytes(big.begin() + 4096, big.end()), false);
    ImageReader reader(image.Path());
    ASSERT_TRUE(reader.Ok());
    ASSERT_EQ(1, Open(reader.Get()));
    apfs_tree omap;
    apfs_tree_init(&omap, &container);
    apfs_volume* volume = &container.volumes[0];
    ASSERT_EQ(1, apfs_volume_load(volume, 107, &omap));
    // As after an open with larger blocks: the copy is the whole block (its object map is not
    // where 8 KiB blocks would put it).
    container.block_size = 8192;
    container.block_shift = 13;
    EXPECT_EQ(0, apfs_volume_load(volume, 400, &omap));
    EXPECT_EQ(0x5A, volume->superblock[8191]);
    apfs_tree_free(&omap);
}

TEST_F(ContainerOpenTest, CheckpointMapsWrappingPastTheAreaEndAreFound) {
    // The newest checkpoint's map runs from the area's last block to its first.
    EditedImage image("dfvfs_apfs.raw", "wrapped.img");
    Bytes sb = image.Block(8), map = image.Block(7);
    Bytes current = Superblock(sb, 9, 2, 7, 3);
    image.Put(8, MapBlock(map, 8, 9));
    image.Put(1, MapBlock(map, 1, 9));
    image.Put(2, current);
    image.Put(0, Superblock(sb, 4, 0, 6, 2));
    ImageReader reader(image.Path());
    ASSERT_TRUE(reader.Ok());
    ASSERT_EQ(1, Open(reader.Get()));
    EXPECT_EQ(2u, container.superblock_block);
    EXPECT_EQ(8u, container.first_map_block);
    EXPECT_EQ(8u, container.map_count);
}

TEST_F(ContainerOpenTest, SixteenKilobyteBlocksAreReadWhole) {
    // A container of 16384-byte blocks: block 0 and one checkpoint (map block 1, superblock 2).
    // Its object map is not there, so the open ends at the tree, after the checkpoint.
    std::string path = ScratchPath("16k.img");
    const uint32_t bs = 16384;
    Bytes sb(bs, 0), map(bs, 0);
    apfs_put_le64(&sb[APFS_OBJ_OID], 1);
    apfs_put_le64(&sb[APFS_OBJ_XID], 6);
    apfs_put_le32(&sb[APFS_OBJ_TYPE], 0x80000000u | APFS_OBJECT_TYPE_NX_SUPERBLOCK);
    apfs_put_le32(&sb[APFS_NX_MAGIC_OFF], APFS_NX_MAGIC);
    apfs_put_le32(&sb[APFS_NX_BLOCK_SIZE], bs);
    apfs_put_le64(&sb[APFS_NX_BLOCK_COUNT], 64);
    apfs_put_le32(&sb[APFS_NX_XP_DESC_BLOCKS], 4);
    apfs_put_le64(&sb[APFS_NX_XP_DESC_BASE], 1);
    apfs_put_le32(&sb[APFS_NX_XP_DESC_NEXT], 2);
    apfs_put_le32(&sb[APFS_NX_XP_DESC_LEN], 2);
    apfs_put_le64(&sb[APFS_NX_OMAP_OID], 40);
    apfs_put_le32(&sb[APFS_NX_MAX_FILE_SYSTEMS], 100);
    sb[bs - 1] = 0x77; // only a checksum over all 16384 bytes covers this
    apfs_fletcher64(sb.data(), bs);
    map = MapBlock(Bytes(bs, 0), 1, 6, {0x400, 0x401, 0x402});
    apfs_put_le32(&map[APFS_OBJ_TYPE], 0x40000000u | APFS_OBJECT_TYPE_CHECKPOINT_MAP);
    apfs_fletcher64(map.data(), bs);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        Bytes image(64 * bs, 0);
        memcpy(&image[0], sb.data(), bs);
        memcpy(&image[bs], map.data(), bs);
        memcpy(&image[2 * bs], sb.data(), bs);
        out.write(reinterpret_cast<const char*>(image.data()), image.size());
    }
    {
        ImageReader reader(path);
        ASSERT_TRUE(reader.Ok());
        EXPECT_EQ(0, Open(reader.Get()));
        EXPECT_EQ(bs, container.block_size);
        EXPECT_EQ(14u, container.block_shift);
        EXPECT_EQ(0x77, container.block0[bs - 1]);
        EXPECT_EQ(2u, container.superblock_block);
        EXPECT_EQ(1u, container.first_map_block);
        EXPECT_EQ(3u, container.map_count);
    }
    std::remove(path.c_str());
}

} // namespace
