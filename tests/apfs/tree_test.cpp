#include "tree.h"

#include "container.h"
#include "name.h"
#include "node.h"
#include "support/apfs_test_support.h"
#include "support/open_container.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace apfs_test;

namespace {

// Object locations from each image's header.json.
struct Image {
    const char* device;
    const char* file;
    uint64_t apsb_oid, apsb_paddr, volume_omap, root_tree_oid, root_tree_paddr;
};
const Image kImages[] = {
    {kPopCiVolume, "pop_ci_1g.img", 1026, 229384, 229385, 1027, 229387},
    {kPopCsVolume, "pop_cs_1g.img", 1026, 229407, 229409, 1027, 229418},
    {kDfvfsVolume, "dfvfs_apfs.raw", 1026, 107, 102, 1028, 101},
    {kFstreeVolume, "apfs_forensic_fstree.img", 1026, 371, 366, 1028, 365},
    {kContainerChainVolume, "apfs_forensic_container_chain.img", 1026, 342, 337, 1028, 341},
};

void PrintTo(const Image& image, std::ostream* os) {
    *os << image.file;
}

uint64_t Paddr(const uint8_t* value16) {
    return apfs_le64(value16 + APFS_OMAP_VAL_PADDR);
}

class Tree {
  public:
    explicit Tree(apfs_container* c) { apfs_tree_init(&t, c); }
    ~Tree() { apfs_tree_free(&t); }
    apfs_tree t;
};

struct Record {
    std::vector<uint8_t> key, value;
};

// Every record from the tree's first key on, in order.
std::vector<Record> WalkAll(apfs_tree* tree, const std::vector<uint8_t>& first_key) {
    apfs_key start;
    apfs_omap_key_make(&start, apfs_le64(first_key.data()) & APFS_OBJ_ID_MASK,
                       (uint32_t)(apfs_le64(first_key.data()) >> 60));
    std::vector<Record> out;
    uint32_t not_found = 0;
    if (!apfs_btree_iter_start(tree->cursor, &start, APFS_BT_GE | APFS_BT_ANY_TYPE, &not_found, 1))
        return out;
    for (;;) {
        const uint8_t *k, *v;
        uint16_t kl, vl;
        uint32_t end = 0;
        if (!apfs_btree_iter_next(tree->cursor, &k, &v, &kl, &vl, &end, nullptr, nullptr)) {
            EXPECT_EQ(end, 1u) << "iteration stopped by an error";
            return out;
        }
        out.push_back(
            {std::vector<uint8_t>(k, k + kl), v ? std::vector<uint8_t>(v, v + vl) : std::vector<uint8_t>()});
    }
}

// The root's first key, which is the first key of the whole tree.
std::vector<uint8_t> FirstKey(apfs_tree* tree) {
    apfs_node* node = tree->head.root->node;
    std::vector<uint8_t> key;
    const uint8_t* k;
    uint16_t kl;
    if (apfs_node_entry(node, 0, &k, nullptr, &kl, nullptr))
        key.assign(k, k + kl);
    return key;
}

std::vector<uint8_t> DrecKey(uint64_t parent, const std::string& name, uint32_t hash) {
    std::vector<uint8_t> v(12 + name.size() + 1, 0);
    apfs_put_le64(v.data(), parent | (uint64_t)APFS_TYPE_DIR_REC << 60);
    apfs_put_le32(v.data() + 8, hash << 10 | (uint32_t)(name.size() + 1));
    memcpy(v.data() + 12, name.data(), name.size());
    return v;
}

TEST(ObjectMap, ResolvesVolumeSuperblockAndRootTreeOfEveryImage) {
    for (const Image& image : kImages) {
        SCOPED_TRACE(image.file);
        OpenedContainer oc(image.device);
        ASSERT_TRUE(oc.Ok());
        uint8_t key16[16] = {0}, value16[16] = {0};
        uint32_t not_found = 0;
        ASSERT_EQ(apfs_omap_lookup(oc.Get()->omap_tree, image.apsb_oid, key16, value16, &not_found), 1);
        EXPECT_EQ(Paddr(value16), image.apsb_paddr);
        EXPECT_EQ(apfs_le64(key16), image.apsb_oid);
        EXPECT_EQ(apfs_le32(value16 + APFS_OMAP_VAL_SIZE), oc.Get()->block_size);

        // The same through a keyed lookup on the tree's own head.
        apfs_key key;
        apfs_omap_key_make(&key, image.apsb_oid, 0);
        const uint8_t *value = nullptr, *found = nullptr;
        ASSERT_EQ(apfs_btree_lookup(&oc.Get()->omap_tree->head, &key, APFS_BT_EQ, &value, &found, &not_found),
                  1);
        EXPECT_EQ(Paddr(value), image.apsb_paddr);
        uint16_t value_len = 0;
        ASSERT_EQ(apfs_btree_current_value_len(&oc.Get()->omap_tree->head, &value_len), 1);
        EXPECT_EQ(value_len, 16);
        EXPECT_EQ(not_found, 0u);

        Tree omap(oc.Get());
        ASSERT_EQ(apfs_tree_open(&omap.t, image.volume_omap, 0, 1, nullptr, 0), 1);
        memset(value16, 0, sizeof value16);
        ASSERT_EQ(apfs_omap_lookup(&omap.t, image.root_tree_oid, key16, value16, &not_found), 1);
        EXPECT_EQ(Paddr(value16), image.root_tree_paddr);
        EXPECT_EQ(not_found, 0u);
    }
}

TEST(ObjectMap, AbsentOidLeavesOutputsAlone) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    Tree omap(oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap.t, 229385, 0, 1, nullptr, 0), 1);
    uint8_t key16[16] = {0}, value16[16] = {0};
    uint32_t not_found = 0;
    EXPECT_EQ(apfs_omap_lookup(&omap.t, 0x0FFFFFFFFFFFFFF0ull, key16, value16, &not_found), 1);
    EXPECT_EQ(Paddr(value16), 0u);
    // Below the first oid the start itself finds nothing.
    EXPECT_EQ(apfs_omap_lookup(&omap.t, 1, key16, value16, &not_found), 0);
    EXPECT_EQ(not_found, 1u);
    EXPECT_EQ(Paddr(value16), 0u);
}

TEST(ObjectMap, LeafReachedTwiceByOneWalkIsRefused) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    Tree omap(oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap.t, 229385, 0, 1, nullptr, 0), 1);
    // Point the cursor's second branch at the first leaf, as a damaged index node would.
    apfs_node* root = omap.t.cursor->head.root->node;
    ASSERT_GE(root->nkeys, 2u);
    const uint8_t *child0, *child1;
    ASSERT_EQ(apfs_node_entry(root, 0, nullptr, &child0, nullptr, nullptr), 1);
    ASSERT_EQ(apfs_node_entry(root, 1, nullptr, &child1, nullptr, nullptr), 1);
    memcpy(const_cast<uint8_t*>(child1), child0, 8);
    ASSERT_EQ(apfs_level_child(omap.t.cursor->head.root, 0, nullptr), 1);
    apfs_node* leaf = omap.t.cursor->head.root->child->node;
    const uint8_t* last;
    ASSERT_EQ(apfs_node_entry(leaf, leaf->nkeys - 1, &last, nullptr, nullptr, nullptr), 1);
    // The walk for the first leaf's last oid steps on into the second branch, which leads back.
    uint8_t key16[16], value16[16];
    uint32_t not_found = 0;
    EXPECT_EQ(apfs_omap_lookup(&omap.t, apfs_le64(last), key16, value16, &not_found), 0);
    EXPECT_EQ(not_found, 0u);
}

TEST(ObjectMap, ChildNotOneLevelBelowItsParentIsRefused) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    Tree omap(oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap.t, 229385, 0, 1, nullptr, 0), 1);
    // Every branch of the cursor's root leads back to the root block: a cycle of child pointers.
    apfs_node* root = omap.t.cursor->head.root->node;
    for (uint32_t i = 0; i < root->nkeys; i++) {
        const uint8_t* child;
        ASSERT_EQ(apfs_node_entry(root, i, nullptr, &child, nullptr, nullptr), 1);
        apfs_put_le64(const_cast<uint8_t*>(child), root->paddr);
    }
    uint8_t key16[16], value16[16];
    uint32_t not_found = 0;
    EXPECT_EQ(apfs_omap_lookup(&omap.t, 1027, key16, value16, &not_found), 0);
    EXPECT_EQ(not_found, 0u);
}

TEST(ObjectMap, RefusesTreeWithResolverAndNonOmapHeader) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    Tree tree(oc.Get());
    // The volume superblock block is no omap_phys_t.
    EXPECT_EQ(apfs_tree_open(&tree.t, 229384, 0, 1, nullptr, 0), 0);
    Tree omap(oc.Get()), fs(oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap.t, 229385, 0, 1, nullptr, 0), 1);
    ASSERT_EQ(apfs_tree_open(&fs.t, 229387, APFS_VOLUME_CONTAINER, 0, &omap.t, 0), 1);
    uint8_t key16[16], value16[16];
    EXPECT_EQ(apfs_omap_lookup(&fs.t, 1027, key16, value16, nullptr), 0);
}

// A file-system tree of more than one level opened the way a mount opens it (without
// decryption: the fixture volumes are plain).
class FsTree : public ::testing::TestWithParam<Image> {
  protected:
    void SetUp() override {
        oc.reset(new OpenedContainer(GetParam().device));
        ASSERT_TRUE(oc->Ok());
        omap.reset(new Tree(oc->Get()));
        fs.reset(new Tree(oc->Get()));
        ASSERT_EQ(apfs_tree_open(&omap->t, GetParam().volume_omap, 0, 1, nullptr, 0), 1);
        ASSERT_EQ(apfs_tree_open(&fs->t, GetParam().root_tree_paddr, APFS_VOLUME_CONTAINER, 0, &omap->t, 0),
                  1);
    }
    std::unique_ptr<OpenedContainer> oc;
    std::unique_ptr<Tree> omap, fs;
};

TEST_P(FsTree, WalkVisitsEveryRecordInOrderAndMatchesRecordCount) {
    std::vector<Record> all = WalkAll(&fs->t, FirstKey(&fs->t));
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(apfs_btree_record_count(&fs->t), all.size());
    apfs_key *a = nullptr, *b = nullptr;
    for (size_t i = 1; i < all.size(); i++) {
        ASSERT_EQ(apfs_key_make(APFS_KEY_JKEY, all[i - 1].key.data(), &a), 1);
        ASSERT_EQ(apfs_key_make(APFS_KEY_JKEY, all[i].key.data(), &b), 1);
        ASSERT_TRUE(apfs_key_less_equal(a, b)) << i;
    }
    apfs_key_free(a);
    apfs_key_free(b);

    std::set<std::pair<uint64_t, std::string>> walked, listed;
    for (const Record& r : all)
        if (apfs_le64(r.key.data()) >> 60 == APFS_TYPE_DIR_REC)
            walked.insert({apfs_le64(r.key.data()) & APFS_OBJ_ID_MASK,
                           std::string(reinterpret_cast<const char*>(r.key.data()) + 12,
                                       (apfs_le32(r.key.data() + 8) & 0x3FF) - 1)});
    for (const DirRecord& d : DirRecordsOf(GetParam().file))
        listed.insert({d.parent, d.name});
    EXPECT_EQ(walked, listed);
}

TEST_P(FsTree, EveryDirectoryRecordIsFoundByItsNameAndHash) {
    const bool ci = std::string(GetParam().file) != "pop_cs_1g.img";
    std::vector<DirRecord> records = DirRecordsOf(GetParam().file);
    ASSERT_FALSE(records.empty());
    for (const DirRecord& d : records) {
        SCOPED_TRACE(d.name);
        std::vector<uint8_t> bytes = DrecKey(d.parent, d.name, d.hash);
        apfs_key* key = nullptr;
        ASSERT_EQ(apfs_key_make(APFS_KEY_DREC_HASHED, bytes.data(), &key), 1);
        key->case_sensitive = !ci;
        const uint8_t *value = nullptr, *found = nullptr;
        uint32_t not_found = 0;
        ASSERT_EQ(apfs_btree_lookup(&fs->t.head, key, APFS_BT_EQ, &value, &found, &not_found), 1);
        EXPECT_EQ(memcmp(found, bytes.data(), bytes.size()), 0);

        // The nameless key of the directory iterator stops on a record of the same hash.
        apfs_key nameless;
        apfs_drec_key_make(&nameless, d.parent, !ci, d.hash);
        ASSERT_EQ(apfs_btree_lookup(&fs->t.head, &nameless, APFS_BT_EQ, &value, &found, &not_found), 1);
        EXPECT_EQ(apfs_le32(found + 8) >> 10, d.hash);
        apfs_key_free(key);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FsTree, ::testing::Values(kImages[0], kImages[1], kImages[2], kImages[3]),
                         [](const ::testing::TestParamInfo<Image>& info) {
                             std::string name = info.param.file;
                             return name.substr(0, name.find('.'));
                         });

// Names are found as the directory iterator finds them: by a nameless key of the name's hash,
// then by the decoded comparison over the records of that hash.
bool FindByName(apfs_tree* fs, uint64_t parent, const std::string& name, bool ci, std::string* stored) {
    uint32_t crc = 0xFFFFFFFF;
    if (apfs_name_hash_update(reinterpret_cast<const uint8_t*>(name.data()), name.size(), !ci, &crc) != 0)
        return false;
    apfs_key key;
    apfs_drec_key_make(&key, parent, !ci, crc & APFS_NAME_HASH_MASK);
    uint32_t not_found = 0;
    if (!apfs_btree_iter_start(fs->cursor, &key, APFS_BT_EQ, &not_found, 1))
        return false;
    const uint8_t *k, *v;
    uint16_t kl, vl;
    while (apfs_btree_iter_next(fs->cursor, &k, &v, &kl, &vl, &not_found, nullptr, nullptr)) {
        uint32_t len = apfs_le32(k + 8) & 0x3FF;
        if (apfs_name_equal(k + 12, len - 1, reinterpret_cast<const uint8_t*>(name.data()), name.size(),
                            !ci)) {
            stored->assign(reinterpret_cast<const char*>(k) + 12, len - 1);
            return true;
        }
    }
    return false;
}

TEST(FsTreeLookup, CaseRuleDecidesWhichSpellingsMatch) {
    for (const Image* image : {&kImages[0], &kImages[1]}) {
        const bool ci = image == &kImages[0];
        SCOPED_TRACE(image->file);
        OpenedContainer oc(image->device);
        ASSERT_TRUE(oc.Ok());
        Tree omap(oc.Get()), fs(oc.Get());
        ASSERT_EQ(apfs_tree_open(&omap.t, image->volume_omap, 0, 1, nullptr, 0), 1);
        ASSERT_EQ(apfs_tree_open(&fs.t, image->root_tree_paddr, APFS_VOLUME_CONTAINER, 0, &omap.t, 0), 1);
        std::vector<DirRecord> records = DirRecordsOf(image->file);
        std::set<std::pair<uint64_t, std::string>> names;
        for (const DirRecord& d : records)
            names.insert({d.parent, d.name});
        size_t checked = 0;
        for (const DirRecord& d : records) {
            std::string upper = d.name, stored;
            for (char& c : upper)
                if (c >= 'a' && c <= 'z')
                    c -= 0x20;
            if (upper == d.name || names.count({d.parent, upper}))
                continue;
            SCOPED_TRACE(d.name);
            ASSERT_TRUE(FindByName(&fs.t, d.parent, d.name, ci, &stored));
            EXPECT_EQ(stored, d.name);
            EXPECT_EQ(FindByName(&fs.t, d.parent, upper, ci, &stored), ci);
            if (ci) {
                EXPECT_EQ(stored, d.name);
            }
            checked++;
        }
        EXPECT_GT(checked, 100u);
    }
}

TEST(FsTreeLookup, ExtentLookupFindsCoveringExtentAndStepsSequentially) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    Tree omap(oc.Get()), fs(oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap.t, 229385, 0, 1, nullptr, 0), 1);
    ASSERT_EQ(apfs_tree_open(&fs.t, 229387, APFS_VOLUME_CONTAINER, 0, &omap.t, 0), 1);
    std::vector<Record> all = WalkAll(&fs.t, FirstKey(&fs.t));
    // Files whose data lies in several extents.
    std::map<uint64_t, std::vector<const Record*>> extents;
    for (const Record& r : all)
        if (apfs_le64(r.key.data()) >> 60 == APFS_TYPE_FILE_EXTENT)
            extents[apfs_le64(r.key.data()) & APFS_OBJ_ID_MASK].push_back(&r);
    size_t multi = 0;
    for (const auto& [oid, list] : extents) {
        if (list.size() < 2)
            continue;
        multi++;
        for (const Record* r : list) {
            uint64_t logical = apfs_le64(r->key.data() + 8);
            uint64_t length = apfs_le64(r->value.data()) & 0x00FFFFFFFFFFFFFFull;
            for (uint64_t offset : {logical, logical + length - 1}) {
                const uint8_t *value = nullptr, *key = nullptr;
                uint32_t not_found = 0;
                ASSERT_EQ(apfs_btree_extent_lookup(&fs.t.head, oid, offset, &value, &key, &not_found), 1);
                EXPECT_EQ(memcmp(key, r->key.data(), 16), 0) << oid << " at " << offset;
            }
        }
    }
    EXPECT_GT(multi, 0u);
    // Past a file's last extent the greatest one below is found; beyond any object, nothing.
    const Record* last = extents.rbegin()->second.back();
    uint64_t oid = extents.rbegin()->first;
    const uint8_t *value = nullptr, *key = nullptr;
    uint32_t not_found = 0;
    ASSERT_EQ(apfs_btree_extent_lookup(&fs.t.head, oid, 1ull << 50, &value, &key, &not_found), 1);
    EXPECT_EQ(memcmp(key, last->key.data(), 16), 0);
    EXPECT_EQ(apfs_btree_extent_lookup(&fs.t.head, 0x0FFFFFFFFFFFFFFull, 0, &value, &key, &not_found), 0);
    EXPECT_EQ(not_found, 1u);
}

TEST(FsTreeLookup, SequentialStepTakesOnlyAFileExtent) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    Tree omap(oc.Get()), fs(oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap.t, 229385, 0, 1, nullptr, 0), 1);
    ASSERT_EQ(apfs_tree_open(&fs.t, 229387, APFS_VOLUME_CONTAINER, 0, &omap.t, 0), 1);
    std::vector<Record> all = WalkAll(&fs.t, FirstKey(&fs.t));
    const uint8_t *value = nullptr, *key = nullptr;
    for (size_t i = 0; i + 1 < all.size(); i++) {
        const std::vector<uint8_t>&a = all[i].key, &b = all[i + 1].key;
        if (apfs_le64(a.data()) >> 60 != APFS_TYPE_FILE_EXTENT || apfs_le64(a.data()) != apfs_le64(b.data()))
            continue;
        uint64_t oid = apfs_le64(a.data()) & APFS_OBJ_ID_MASK;
        ASSERT_EQ(apfs_btree_extent_lookup(&fs.t.head, oid, apfs_le64(a.data() + 8), &value, &key, nullptr),
                  1);
        const uint8_t* next;
        apfs_node* leaf = fs.t.head.current->node;
        if (!apfs_node_entry(leaf, (uint32_t)fs.t.head.index + 1, &next, nullptr, nullptr, nullptr))
            continue; // the next extent starts another leaf
        // The record after the extent is made one of another type that would cover the offset.
        apfs_put_le64(const_cast<uint8_t*>(next), oid | (uint64_t)APFS_TYPE_DIR_REC << 60);
        ASSERT_EQ(apfs_btree_extent_lookup(&fs.t.head, oid, apfs_le64(b.data() + 8), &value, &key, nullptr),
                  1);
        EXPECT_EQ(memcmp(key, a.data(), 16), 0);
        return;
    }
    FAIL() << "no file with two extents in one leaf";
}

TEST(TreeIterator, StartsAtFirstKeyAndEndsAtTheLastLeaf) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    apfs_tree* omap = oc.Get()->omap_tree;
    ASSERT_EQ(omap->head.root->node->level, 0); // the container map is a single leaf
    std::vector<uint8_t> first = FirstKey(omap);
    ASSERT_EQ(first.size(), 16u);

    apfs_key start;
    apfs_omap_key_make(&start, apfs_le64(first.data()), 0);
    uint32_t not_found = 0;
    ASSERT_EQ(apfs_btree_iter_start(omap->cursor, &start, APFS_BT_GE, &not_found, 1), 1);
    const uint8_t *k = nullptr, *v = nullptr;
    uint16_t kl = 0, vl = 0;
    const uint8_t* block = nullptr;
    const uint64_t* paddr = nullptr;
    ASSERT_EQ(apfs_btree_iter_next(omap->cursor, &k, &v, &kl, &vl, &not_found, &block, &paddr), 1);
    EXPECT_EQ(memcmp(k, first.data(), 16), 0);
    EXPECT_EQ(kl, 16);
    EXPECT_EQ(vl, 16);
    ASSERT_NE(paddr, nullptr);
    EXPECT_EQ(*paddr, omap->cursor->head.current->node->paddr);
    EXPECT_EQ(block, omap->cursor->head.current->node->block);
    size_t n = 1;
    while (apfs_btree_iter_next(omap->cursor, &k, &v, &kl, &vl, &not_found, nullptr, nullptr))
        n++;
    EXPECT_EQ(not_found, 1u);
    EXPECT_EQ(n, apfs_btree_record_count(omap));

    // A start key below the first one finds nothing, also with a forward walk.
    apfs_omap_key_make(&start, apfs_le64(first.data()) - 1, 0);
    not_found = 0;
    EXPECT_EQ(apfs_btree_iter_start(omap->cursor, &start, APFS_BT_GE | APFS_BT_ANY_TYPE, &not_found, 1), 0);
    EXPECT_EQ(not_found, 1u);
}

TEST(TreeLookup, ForwardModeIsRefusedWithoutNotFound) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    apfs_key key;
    apfs_omap_key_make(&key, 1026, 0);
    const uint8_t *value = nullptr, *found = nullptr;
    uint32_t not_found = 0;
    EXPECT_EQ(apfs_btree_lookup(&oc.Get()->omap_tree->head, &key, APFS_BT_GE, &value, &found, &not_found), 0);
    EXPECT_EQ(not_found, 0u);
}

TEST(TreeLookup, DeepTreeRecordCountComesFromBtreeInfo) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    Tree omap(oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap.t, 229385, 0, 1, nullptr, 0), 1);
    apfs_node* root = omap.t.head.root->node;
    ASSERT_GT(root->level, 0);
    ASSERT_NE(root->info, nullptr);
    EXPECT_EQ(apfs_btree_record_count(&omap.t), apfs_le64(root->info + APFS_BTREE_INFO_KEY_COUNT));
    EXPECT_EQ(apfs_btree_record_count(&omap.t), 270u);
}

TEST(TreeOpen, ReopenReusesLevelsAndFreeIsSafeTwice) {
    OpenedContainer oc(kPopCiVolume);
    ASSERT_TRUE(oc.Ok());
    apfs_tree omap;
    apfs_tree_init(&omap, oc.Get());
    ASSERT_EQ(apfs_tree_open(&omap, 229385, 0, 1, nullptr, 0), 1);
    uint8_t key16[16], value16[16] = {0};
    ASSERT_EQ(apfs_omap_lookup(&omap, 1027, key16, value16, nullptr), 1);
    apfs_tree_level* root = omap.head.root;
    apfs_cursor* cursor = omap.cursor;
    ASSERT_EQ(apfs_tree_open(&omap, 229385, 0, 1, nullptr, 0), 1);
    EXPECT_EQ(omap.head.root, root);
    EXPECT_EQ(omap.cursor, cursor);
    EXPECT_EQ(omap.cursors.next, &cursor->link);
    EXPECT_EQ(cursor->link.next, &omap.cursors);
    memset(value16, 0, sizeof value16);
    ASSERT_EQ(apfs_omap_lookup(&omap, 1027, key16, value16, nullptr), 1);
    EXPECT_EQ(Paddr(value16), 229387u);
    apfs_tree_free(&omap);
    apfs_tree_free(&omap);
}

} // namespace
