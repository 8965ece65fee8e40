#include "node.h"

#include "block.h"
#include "container.h"
#include "key.h"
#include "support/apfs_test_support.h"
#include "support/open_container.h"
#include "tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace apfs_test;

namespace {

// Blocks of pop_ci_1g.img (header.json): the volume object map and the file-system root.
constexpr uint64_t kVolumeOmap = 229385;
constexpr uint64_t kFsRoot = 229387;

// A node read on its own, owned by an otherwise unopened tree that lends it scratch keys.
class LoadedNode {
  public:
    LoadedNode(apfs_container* c, uint64_t block) {
        apfs_tree_init(&owner, c);
        apfs_node_init(&node, &owner);
        loaded = apfs_node_load(&node, block, APFS_VOLUME_CONTAINER, 0);
    }
    ~LoadedNode() {
        apfs_node_free(&node);
        apfs_tree_free(&owner);
    }
    uint8_t* Bytes() { return apfs_block_slot_data(&node.holder); }
    int Search(const std::vector<uint8_t>& key, uint32_t kind, uint32_t mode) {
        apfs_key* k = nullptr;
        EXPECT_EQ(apfs_key_make(kind, key.data(), &k), 1);
        int32_t index = 99;
        int ok = apfs_node_search(&node, k, mode, &index);
        apfs_key_free(k);
        return ok ? index : 100;
    }
    std::vector<uint8_t> Key(uint32_t i) {
        const uint8_t* k = nullptr;
        uint16_t len = 0;
        EXPECT_EQ(apfs_node_entry(&node, i, &k, nullptr, &len, nullptr), 1);
        return std::vector<uint8_t>(k, k + len);
    }
    apfs_tree owner;
    apfs_node node;
    int loaded = 0;
};

uint64_t OmapPaddr(apfs_container* c, uint64_t phys) {
    std::vector<uint8_t> omap(4096);
    EXPECT_EQ(apfs_read_bytes(c, phys * 4096, omap.data(), omap.size()), 1);
    return apfs_le64(omap.data() + APFS_OM_TREE_OID);
}

std::vector<uint8_t> Pair(uint64_t a, uint64_t b) {
    std::vector<uint8_t> v(16);
    apfs_put_le64(v.data(), a);
    apfs_put_le64(v.data() + 8, b);
    return v;
}

// What each mode must select among sorted, distinct keys, by brute force.
struct Expected {
    int eq, le, before;
};
Expected Oracle(const std::vector<std::vector<uint8_t>>& keys, const std::vector<uint8_t>& s) {
    auto less = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
        uint64_t a0 = apfs_le64(a.data()), b0 = apfs_le64(b.data());
        return a0 != b0 ? a0 < b0 : apfs_le64(a.data() + 8) < apfs_le64(b.data() + 8);
    };
    if (less(s, keys[0]))
        return {APFS_NODE_BELOW_FIRST, APFS_NODE_BELOW_FIRST, APFS_NODE_BELOW_FIRST};
    Expected e{APFS_NODE_NOT_FOUND, APFS_NODE_NOT_FOUND, APFS_NODE_AT_FIRST};
    for (size_t j = 0; j < keys.size(); j++) {
        if (!less(s, keys[j]) && !less(keys[j], s))
            e.eq = (int)j;
        if (!less(s, keys[j]))
            e.le = (int)j;
        if (less(keys[j], s))
            e.before = (int)j;
    }
    return e;
}

TEST(NodeSearch, EveryModeOnObjectMapLeafAndIndexNodes) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    LoadedNode root(oc.Get(), OmapPaddr(oc.Get(), kVolumeOmap));
    ASSERT_TRUE(root.loaded);
    ASSERT_EQ(root.node.level, 1);
    ASSERT_GE(root.node.nkeys, 2u);
    EXPECT_TRUE(root.node.fixed);
    EXPECT_EQ(root.node.subtype, APFS_SUBTYPE_OMAP);
    uint16_t kl = 0, vl = 0;
    const uint8_t* value = nullptr;
    ASSERT_EQ(apfs_node_entry(&root.node, 0, nullptr, &value, &kl, &vl), 1);
    EXPECT_EQ(kl, 16);
    EXPECT_EQ(vl, 8);

    for (uint32_t child = 0; child < root.node.nkeys; child++) {
        ASSERT_EQ(apfs_node_entry(&root.node, child, nullptr, &value, nullptr, nullptr), 1);
        LoadedNode leaf(oc.Get(), apfs_le64(value));
        ASSERT_TRUE(leaf.loaded);
        ASSERT_EQ(leaf.node.level, 0);
        ASSERT_EQ(apfs_node_entry(&leaf.node, 0, nullptr, nullptr, &kl, &vl), 1);
        EXPECT_EQ(kl, 16);
        EXPECT_EQ(vl, 16);
        std::vector<std::vector<uint8_t>> keys;
        for (uint32_t i = 0; i < leaf.node.nkeys; i++)
            keys.push_back(leaf.Key(i));
        // Index node: the child whose first key is the greatest one not above the search key.
        EXPECT_EQ(root.Search(keys[0], APFS_KEY_U64_PAIR, APFS_BT_EQ), (int)child);
        EXPECT_EQ(root.Search(keys.back(), APFS_KEY_U64_PAIR, APFS_BT_EQ), (int)child);
        EXPECT_EQ(root.Search(keys[0], APFS_KEY_U64_PAIR, APFS_BT_BEFORE),
                  child == 0 ? APFS_NODE_AT_FIRST : (int)child - 1);

        for (const auto& k : keys) {
            uint64_t oid = apfs_le64(k.data()), xid = apfs_le64(k.data() + 8);
            for (const auto& probe : {k, Pair(oid, xid - 1), Pair(oid, xid + 1), Pair(oid + 1, 0)}) {
                Expected e = Oracle(keys, probe);
                SCOPED_TRACE(testing::Message() << "child " << child << " probe " << apfs_le64(probe.data())
                                                << "/" << apfs_le64(probe.data() + 8));
                EXPECT_EQ(leaf.Search(probe, APFS_KEY_U64_PAIR, APFS_BT_EQ), e.eq);
                EXPECT_EQ(leaf.Search(probe, APFS_KEY_U64_PAIR, APFS_BT_LE), e.le);
                EXPECT_EQ(leaf.Search(probe, APFS_KEY_U64_PAIR, APFS_BT_BEFORE), e.before);
            }
        }
        // A kind-0 key matches an object id whatever its transaction.
        std::vector<uint8_t> oid_only = Pair(apfs_le64(keys.back().data()), 0);
        EXPECT_EQ(leaf.Search(oid_only, APFS_KEY_JKEY, APFS_BT_EQ), (int)keys.size() - 1);
    }
}

TEST(NodeSearch, KeyBelowFirstIsReportedInEveryMode) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    LoadedNode root(oc.Get(), OmapPaddr(oc.Get(), kVolumeOmap));
    ASSERT_TRUE(root.loaded);
    for (uint32_t mode : {1u, 2u, 4u, 17u, 20u})
        EXPECT_EQ(root.Search(Pair(1, 0), APFS_KEY_U64_PAIR, mode), APFS_NODE_BELOW_FIRST) << mode;
}

TEST(NodeSearch, FloorOfAnyTypeInFileSystemLeaf) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    apfs_tree omap, fs;
    apfs_tree_init(&omap, oc.Get());
    apfs_tree_init(&fs, oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap, kVolumeOmap, 0, 1, nullptr, 0), 1);
    ASSERT_EQ(apfs_tree_open(&fs, kFsRoot, APFS_VOLUME_CONTAINER, 0, &omap, 0), 1);
    ASSERT_GT(fs.head.root->node->level, 0);
    ASSERT_EQ(apfs_level_child(fs.head.root, 0, nullptr), 1);
    apfs_tree_level* level = fs.head.root->child;
    while (level->node->level != 0) {
        ASSERT_EQ(apfs_level_child(level, 0, nullptr), 1);
        level = level->child;
    }
    apfs_node* leaf = level->node;
    EXPECT_FALSE(leaf->fixed);
    EXPECT_TRUE(apfs_node_is_fstree(leaf));
    // The last record of the first object id that has several record types.
    int32_t last_of_oid = -1;
    uint64_t oid = 0;
    for (uint32_t i = 0; i + 1 < leaf->nkeys; i++) {
        const uint8_t *a, *b;
        ASSERT_EQ(apfs_node_entry(leaf, i, &a, nullptr, nullptr, nullptr), 1);
        ASSERT_EQ(apfs_node_entry(leaf, i + 1, &b, nullptr, nullptr, nullptr), 1);
        if (oid == 0 && (apfs_le64(a) >> 60) != (apfs_le64(b) >> 60) &&
            (apfs_le64(a) & APFS_OBJ_ID_MASK) == (apfs_le64(b) & APFS_OBJ_ID_MASK))
            oid = apfs_le64(a) & APFS_OBJ_ID_MASK;
        if (oid && (apfs_le64(a) & APFS_OBJ_ID_MASK) == oid && (apfs_le64(b) & APFS_OBJ_ID_MASK) != oid) {
            last_of_oid = (int32_t)i;
            break;
        }
    }
    ASSERT_GE(last_of_oid, 0);
    apfs_key search;
    apfs_omap_key_make(&search, oid, 15);
    int32_t index = 99;
    ASSERT_EQ(apfs_node_search(leaf, &search, APFS_BT_LE | APFS_BT_ANY_TYPE, &index), 1);
    EXPECT_EQ(index, last_of_oid);
    ASSERT_EQ(apfs_node_search(leaf, &search, APFS_BT_LE, &index), 1);
    EXPECT_EQ(index, APFS_NODE_NOT_FOUND);
    apfs_tree_free(&fs);
    apfs_tree_free(&omap);
}

// The container object map's root is a one-leaf tree: a real block to damage in memory.
class DamagedRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        oc.reset(new OpenedContainer(kPopCiVolume));
        ASSERT_TRUE(oc->Ok());
        node.reset(new LoadedNode(oc->Get(),
                                  OmapPaddr(oc->Get(), apfs_le64(oc->Get()->superblock + APFS_NX_OMAP_OID))));
        ASSERT_TRUE(node->loaded);
        ASSERT_TRUE(node->node.root);
        b = node->Bytes();
    }
    bool Recheck() { return apfs_node_check_header(&node->node) == 1; }
    std::unique_ptr<OpenedContainer> oc;
    std::unique_ptr<LoadedNode> node;
    uint8_t* b = nullptr;
};

TEST_F(DamagedRoot, EmptyRootAndEmptyNodeAnswerAsDocumented) {
    apfs_put_le32(b + APFS_BTN_NKEYS, 0);
    ASSERT_TRUE(Recheck());
    std::vector<uint8_t> key = Pair(1026, 0);
    EXPECT_EQ(node->Search(key, APFS_KEY_JKEY, APFS_BT_BEFORE), APFS_NODE_AT_FIRST);
    EXPECT_EQ(node->Search(key, APFS_KEY_JKEY, APFS_BT_EQ), APFS_NODE_NOT_FOUND);
    apfs_put_le16(b + APFS_BTN_FLAGS, apfs_le16(b + APFS_BTN_FLAGS) & ~APFS_BTNODE_ROOT);
    apfs_put_le32(b + APFS_OBJ_TYPE, APFS_OBJECT_TYPE_BTREE_NODE);
    ASSERT_TRUE(Recheck());
    EXPECT_EQ(node->Search(key, APFS_KEY_JKEY, APFS_BT_BEFORE), APFS_NODE_NOT_FOUND);
}

TEST_F(DamagedRoot, HeaderFaultsFailTheLoad) {
    const uint16_t flags = apfs_le16(b + APFS_BTN_FLAGS);
    struct Case {
        const char* what;
        size_t offset, width;
        uint64_t value;
    } cases[] = {
        {"hashed flag", APFS_BTN_FLAGS, 2, flags | 8u},
        {"flags above 7", APFS_BTN_FLAGS, 2, 0xFFFF},
        {"root typed as plain node", APFS_OBJ_TYPE, 4, APFS_OBJECT_TYPE_BTREE_NODE},
        {"leaf at level 1", APFS_BTN_LEVEL, 2, 1},
        {"newer than the checkpoint", APFS_OBJ_XID, 8, apfs_container_xid(oc->Get()) + 1},
        {"table of contents past the block", APFS_BTN_TABLE_SPACE_LEN, 2, 4096 - 56 - 40 + 1},
        {"more keys than the table holds", APFS_BTN_NKEYS, 4, 0x10000},
    };
    std::vector<uint8_t> saved(b, b + 4096);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        memcpy(b, saved.data(), saved.size());
        ASSERT_TRUE(Recheck());
        for (size_t i = 0; i < c.width; i++)
            b[c.offset + i] = (uint8_t)(c.value >> (8 * i));
        EXPECT_FALSE(Recheck());
        EXPECT_FALSE(apfs_node_loaded(&node->node));
        EXPECT_EQ(node->Search(Pair(1026, 0), APFS_KEY_JKEY, APFS_BT_EQ), 100);
    }
}

TEST_F(DamagedRoot, EntriesOutsideTheBlockAreRefused) {
    // kvoff_t of entry 0: key offset u16, value offset u16.
    uint8_t* toc = b + APFS_BTN_DATA;
    const uint16_t table_len = apfs_le16(b + APFS_BTN_TABLE_SPACE_LEN);
    const uint16_t area = (uint16_t)(4096 - 40 - 56 - table_len);
    apfs_put_le16(toc, area - 8); // a 16-byte key that runs into the info
    EXPECT_EQ(apfs_node_entry(&node->node, 0, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(node->Search(Pair(1026, 0), APFS_KEY_JKEY, APFS_BT_EQ), 100);
    apfs_put_le16(toc, 0);
    apfs_put_le16(toc + 2, area + 16); // a value before the key area
    EXPECT_EQ(apfs_node_entry(&node->node, 0, nullptr, nullptr, nullptr, nullptr), 0);
    apfs_put_le16(toc + 2, 8); // a 16-byte value that would end past value_end
    EXPECT_EQ(apfs_node_entry(&node->node, 0, nullptr, nullptr, nullptr, nullptr), 0);
    apfs_put_le16(toc + 2, APFS_BTOFF_INVALID);
    const uint8_t* value = b;
    uint16_t vl = 0;
    ASSERT_EQ(apfs_node_entry(&node->node, 0, nullptr, &value, nullptr, &vl), 1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(vl, 16);
    EXPECT_EQ(apfs_node_entry(&node->node, node->node.nkeys, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(NodeLoad, RefusesBlocksThatAreNoNodesAndReloadsReleasedOnes) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    LoadedNode superblock(oc.Get(), 0);
    EXPECT_FALSE(superblock.loaded);
    LoadedNode omap(oc.Get(), kVolumeOmap); // omap_phys_t, not a node
    EXPECT_FALSE(omap.loaded);

    LoadedNode root(oc.Get(), kFsRoot);
    ASSERT_TRUE(root.loaded);
    EXPECT_EQ(root.node.paddr, kFsRoot);
    uint32_t nkeys = root.node.nkeys;
    apfs_node_release(&root.node);
    EXPECT_FALSE(apfs_node_loaded(&root.node));
    EXPECT_EQ(root.node.nkeys, nkeys);
    ASSERT_EQ(apfs_node_reload(&root.node), 1);
    EXPECT_TRUE(apfs_node_loaded(&root.node));

    apfs_node clone;
    apfs_node_init(&clone, &root.owner);
    ASSERT_EQ(apfs_node_clone(&clone, &root.node), 1);
    EXPECT_NE(clone.block, root.node.block);
    EXPECT_EQ(clone.paddr, kFsRoot);
    EXPECT_EQ(memcmp(clone.block, root.node.block, 4096), 0);
    apfs_node_free(&clone);
}

TEST(NodeLayout, FixedSizesBySubtypeAndLevel) {
    uint16_t k, v;
    apfs_node_fixed_sizes(APFS_SUBTYPE_OMAP, 0, &k, &v);
    EXPECT_EQ(k, 16);
    EXPECT_EQ(v, 16);
    apfs_node_fixed_sizes(APFS_SUBTYPE_OMAP, 1, &k, &v);
    EXPECT_EQ(v, 8);
    apfs_node_fixed_sizes(APFS_SUBTYPE_OMAP_SNAPSHOT, 0, &k, &v);
    EXPECT_EQ(k, 8);
    EXPECT_EQ(v, 16);
    apfs_node_fixed_sizes(APFS_SUBTYPE_FSTREE, 0, &k, &v);
    EXPECT_EQ(k, 0);
    EXPECT_EQ(v, 0);
}

} // namespace
