#include "key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> U64Pair(uint64_t a, uint64_t b) {
    std::vector<uint8_t> v(16);
    apfs_put_le64(v.data(), a);
    apfs_put_le64(v.data() + 8, b);
    return v;
}

// j_drec_hashed_key_t with the name stored with its terminator.
std::vector<uint8_t> DrecKey(uint64_t dir, uint32_t hash, const std::string& name) {
    std::vector<uint8_t> v(12 + name.size() + 1);
    apfs_put_le64(v.data(), dir | (uint64_t)APFS_TYPE_DIR_REC << 60);
    apfs_put_le32(v.data() + 8, hash << 10 | (uint32_t)(name.size() + 1));
    memcpy(v.data() + 12, name.data(), name.size());
    return v;
}

struct KeyPair {
    apfs_key *a = nullptr, *b = nullptr;
    KeyPair(uint32_t kind, const void* pa, const void* pb) {
        EXPECT_EQ(apfs_key_make(kind, pa, &a), 1);
        EXPECT_EQ(apfs_key_make(kind, pb, &b), 1);
    }
    ~KeyPair() {
        apfs_key_free(a);
        apfs_key_free(b);
    }
    int Order() const {
        EXPECT_NE(apfs_key_greater(a, b), apfs_key_less_equal(a, b));
        return apfs_key_greater(a, b) ? 1 : apfs_key_equal(a, b) ? 0 : -1;
    }
};

TEST(KeyFactory, ReusesSameKindAndReplacesOthers) {
    auto omap = U64Pair(42 | (uint64_t)3 << 60, 7);
    apfs_key* slot = nullptr;
    ASSERT_EQ(apfs_key_make(APFS_KEY_JKEY2, omap.data(), &slot), 1);
    EXPECT_EQ(slot->kind, (uint32_t)APFS_KEY_JKEY);
    EXPECT_EQ(slot->case_sensitive, 1u);
    EXPECT_EQ(apfs_key_object_id(slot), 42 | (uint64_t)3 << 60); // kind 0 keeps the type
    EXPECT_EQ(apfs_key_type(slot), 3u);
    apfs_key* first = slot;
    ASSERT_EQ(apfs_key_make(APFS_KEY_JKEY, nullptr, &slot), 1);
    EXPECT_EQ(slot, first);
    EXPECT_EQ(slot->u.id, 0u);

    ASSERT_EQ(apfs_key_make(APFS_KEY_FILE_EXTENT, omap.data(), &slot), 1);
    EXPECT_EQ(slot->kind, (uint32_t)APFS_KEY_FILE_EXTENT);
    EXPECT_EQ(apfs_key_bytes(slot), omap.data());
    EXPECT_EQ(apfs_key_object_id(slot), 42u);
    EXPECT_EQ(apfs_key_size(slot), 16u);

    EXPECT_EQ(apfs_key_make(APFS_KEY_KIND_MAX + 1, omap.data(), &slot), 0);
    EXPECT_EQ(slot, nullptr);
}

TEST(KeyCompare, ObjectMapKeyMatchesEveryTransaction) {
    apfs_key search;
    apfs_omap_key_make(&search, 1026, 0);
    auto older = U64Pair(1026, 5), newer = U64Pair(1026, 900), next = U64Pair(1027, 1);
    apfs_key* rec = nullptr;
    for (auto* bytes : {&older, &newer}) {
        ASSERT_EQ(apfs_key_make(APFS_KEY_JKEY, bytes->data(), &rec), 1);
        EXPECT_TRUE(apfs_key_equal(&search, rec));
        EXPECT_TRUE(apfs_key_less_equal(&search, rec));
        EXPECT_FALSE(apfs_key_greater(&search, rec));
    }
    ASSERT_EQ(apfs_key_make(APFS_KEY_JKEY, next.data(), &rec), 1);
    EXPECT_FALSE(apfs_key_equal(&search, rec));
    EXPECT_TRUE(apfs_key_greater(rec, &search));
    apfs_key_free(rec);
}

TEST(KeyCompare, RecordTypeOrdersAfterObjectId) {
    auto inode = U64Pair(16 | (uint64_t)APFS_TYPE_INODE << 60, 0);
    auto extent = U64Pair(16 | (uint64_t)APFS_TYPE_FILE_EXTENT << 60, 0);
    KeyPair jkeys(APFS_KEY_JKEY, extent.data(), inode.data());
    EXPECT_EQ(jkeys.Order(), 1);

    auto hi_type = U64Pair(1 | (uint64_t)15 << 60, 0), low_oid = U64Pair(2, 0);
    KeyPair plain(APFS_KEY_U64_PAIR, hi_type.data(), low_oid.data());
    EXPECT_EQ(plain.Order(), 1);
    KeyPair fs(APFS_KEY_FILE_EXTENT, hi_type.data(), low_oid.data());
    EXPECT_EQ(fs.Order(), -1);
}

TEST(KeyCompare, ExtentKeysOrderByLogicalAddress) {
    apfs_key search;
    apfs_extent_key_make(&search, 20, 8192);
    auto below = U64Pair(20 | (uint64_t)8 << 60, 4096), same = U64Pair(20 | (uint64_t)8 << 60, 8192);
    apfs_key* rec = nullptr;
    ASSERT_EQ(apfs_key_make(APFS_KEY_FILE_EXTENT, below.data(), &rec), 1);
    EXPECT_TRUE(apfs_key_greater(&search, rec));
    ASSERT_EQ(apfs_key_make(APFS_KEY_FILE_EXTENT, same.data(), &rec), 1);
    EXPECT_TRUE(apfs_key_equal(&search, rec));
    EXPECT_TRUE(apfs_key_less_equal(&search, rec));
    apfs_key_free(rec);
}

TEST(KeyCompare, U64Pair2ComparesBothWords) {
    auto a = U64Pair(1, 2), b = U64Pair(1, 3);
    KeyPair k(APFS_KEY_U64_PAIR2, a.data(), b.data());
    EXPECT_FALSE(apfs_key_equal(k.a, k.b));
    EXPECT_EQ(k.Order(), -1);
}

TEST(DirectoryRecordKey, NamelessSearchKeyEqualsEveryNameOfItsHash) {
    apfs_key search;
    apfs_drec_key_make(&search, 2, 0, 0x1234);
    EXPECT_EQ(apfs_key_size(&search), 12u);
    auto abc = DrecKey(2, 0x1234, "abc"), other_hash = DrecKey(2, 0x1235, "abc");
    auto other_dir = DrecKey(3, 0x1234, "abc");
    apfs_key* rec = nullptr;
    ASSERT_EQ(apfs_key_make(APFS_KEY_DREC_HASHED, abc.data(), &rec), 1);
    EXPECT_EQ(apfs_key_size(rec), 16u);
    EXPECT_TRUE(apfs_key_equal(&search, rec));
    EXPECT_TRUE(apfs_key_less_equal(&search, rec));
    EXPECT_TRUE(apfs_key_less_equal(rec, &search));
    ASSERT_EQ(apfs_key_make(APFS_KEY_DREC_HASHED, other_hash.data(), &rec), 1);
    EXPECT_FALSE(apfs_key_equal(&search, rec));
    EXPECT_TRUE(apfs_key_greater(rec, &search));
    ASSERT_EQ(apfs_key_make(APFS_KEY_DREC_HASHED, other_dir.data(), &rec), 1);
    EXPECT_FALSE(apfs_key_equal(&search, rec));
    apfs_key_free(rec);
}

TEST(DirectoryRecordKey, OrderIsRawBytesWhileEqualityDecodes) {
    auto abc = DrecKey(2, 7, "abc"), abd = DrecKey(2, 7, "abd"), ab = DrecKey(2, 7, "ab");
    KeyPair third(APFS_KEY_DREC_HASHED, abd.data(), abc.data());
    EXPECT_EQ(third.Order(), 1);
    KeyPair prefix(APFS_KEY_DREC_HASHED, ab.data(), abc.data());
    EXPECT_EQ(prefix.Order(), -1); // the terminator 0 sorts below 'c'

    // Same hash, names equal under the case rule only: ordered apart, equal when folded.
    auto upper = DrecKey(2, 7, "Caf\xC3\x89"), lower = DrecKey(2, 7, "caf\xC3\xA9");
    KeyPair folded(APFS_KEY_DREC_HASHED, upper.data(), lower.data());
    EXPECT_FALSE(apfs_key_equal(folded.a, folded.b));
    folded.a->case_sensitive = 0;
    EXPECT_TRUE(apfs_key_equal(folded.a, folded.b));
    EXPECT_TRUE(apfs_key_less_equal(folded.a, folded.b));
    EXPECT_FALSE(apfs_key_less_equal(folded.b, folded.a));
    folded.a->case_sensitive = 1;
    EXPECT_FALSE(apfs_key_equal(folded.a, folded.b));

    // Canonically equivalent spellings share a hash but are different names.
    auto nfc = DrecKey(2, 7, "\xC3\xA9"), nfd = DrecKey(2, 7, "e\xCC\x81");
    KeyPair forms(APFS_KEY_DREC_HASHED, nfc.data(), nfd.data());
    EXPECT_FALSE(apfs_key_equal(forms.a, forms.b));
}

TEST(XattrKey, ComparesNameBytes) {
    auto make = [](const std::string& name) {
        std::vector<uint8_t> v(10 + name.size());
        apfs_put_le64(v.data(), 16 | (uint64_t)4 << 60);
        apfs_put_le16(v.data() + 8, (uint16_t)name.size());
        memcpy(v.data() + 10, name.data(), name.size());
        return v;
    };
    auto a = make("user.a"), b = make("user.b"), a2 = make("user.a");
    KeyPair diff(APFS_KEY_XATTR, a.data(), b.data());
    EXPECT_EQ(diff.Order(), -1);
    EXPECT_EQ(apfs_key_size(diff.a), 16u);
    KeyPair same(APFS_KEY_XATTR, a.data(), a2.data());
    EXPECT_EQ(same.Order(), 0);
}

TEST(BytesCompare, ReportsPositionOfFirstDifference) {
    const uint8_t a[] = {1, 2, 3}, b[] = {1, 2, 4};
    EXPECT_EQ(apfs_bytes_compare(a, 3, b, 3), -3);
    EXPECT_EQ(apfs_bytes_compare(b, 3, a, 3), 3);
    EXPECT_EQ(apfs_bytes_compare(a, 2, b, 3), -1);
}

TEST(KeyFactory, KeyWithoutDataIsSafeToCompare) {
    apfs_key *a = nullptr, *b = nullptr;
    ASSERT_EQ(apfs_key_make(APFS_KEY_DREC_HASHED, nullptr, &a), 1);
    ASSERT_EQ(apfs_key_make(APFS_KEY_DREC_HASHED, nullptr, &b), 1);
    EXPECT_TRUE(apfs_key_equal(a, b));
    EXPECT_EQ(apfs_key_type(a), 0u);
    apfs_key_free(a);
    apfs_key_free(b);
}

} // namespace
