// Extended-attribute records: which flags make a stream, and how the data buffer is kept.
#include "inode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Xattr {
    apfs_xattr x;
    Xattr() { apfs_xattr_init(&x); }
    ~Xattr() { apfs_xattr_free_data(&x); }
};

const uint8_t kName[] = "user.note"; // 10 bytes with the NUL

// j_xattr_dstream_t: xattr_obj_id, then the stream's size first in its j_dstream_t.
std::vector<uint8_t> Dstream(uint64_t oid, uint64_t size) {
    std::vector<uint8_t> d(48, 0);
    apfs_put_le64(&d[0], oid);
    apfs_put_le64(&d[8], size);
    return d;
}

TEST(Xattr, FlagsOneAndSeventeenMakeAStream) {
    for (uint16_t flags : {1, 0x11}) {
        Xattr a;
        std::vector<uint8_t> d = Dstream(77, 10000);
        ASSERT_EQ(
            1, apfs_xattr_set(&a.x, kName, sizeof(kName), flags, d.data(), static_cast<uint16_t>(d.size())));
        EXPECT_EQ(77u, a.x.stream_oid) << flags;
        EXPECT_EQ(10000u, a.x.size);
        EXPECT_EQ(0, memcmp(a.x.data, kName, sizeof(kName)));
    }
}

TEST(Xattr, OtherFlagsKeepTheValueInline) {
    for (uint16_t flags : {0, 2, 3, 0x10, 0x21}) {
        Xattr a;
        const uint8_t value[] = {1, 2, 3, 4, 5};
        ASSERT_EQ(1, apfs_xattr_set(&a.x, kName, sizeof(kName), flags, value, sizeof(value)));
        EXPECT_EQ(0u, a.x.stream_oid) << flags;
        EXPECT_EQ(5u, a.x.size);
        EXPECT_EQ(0, memcmp(a.x.data + sizeof(kName), value, sizeof(value)));
    }
}

TEST(Xattr, StreamDescriptorShorterThanItsFieldsIsRefused) {
    Xattr a;
    std::vector<uint8_t> d = Dstream(77, 10000);
    EXPECT_EQ(0, apfs_xattr_set(&a.x, kName, sizeof(kName), 1, d.data(), 15));
}

TEST(Xattr, StreamFlagWithoutAStreamIsRefusedAndKeepsTheRecord) {
    Xattr a;
    const uint8_t value[] = {1, 2, 3};
    ASSERT_EQ(1, apfs_xattr_set(&a.x, kName, sizeof(kName), 2, value, sizeof(value)));
    for (uint16_t flags : {1, 0x11}) {
        std::vector<uint8_t> d = Dstream(0, 3000);
        EXPECT_EQ(
            0, apfs_xattr_set(&a.x, kName, sizeof(kName), flags, d.data(), static_cast<uint16_t>(d.size())))
            << flags;
    }
    EXPECT_EQ(2u, a.x.flags);
    EXPECT_EQ(3u, a.x.size);
    EXPECT_EQ(0, memcmp(a.x.data + sizeof(kName), value, sizeof(value)));
}

TEST(Xattr, LongerValueGrowsTheBufferAndKeepsTheName) {
    Xattr a;
    const uint8_t small[] = {9};
    ASSERT_EQ(1, apfs_xattr_set(&a.x, kName, sizeof(kName), 2, small, sizeof(small)));
    std::vector<uint8_t> big(300, 0xAB);
    // A name length of 0 keeps the stored name.
    ASSERT_EQ(1, apfs_xattr_set(&a.x, nullptr, 0, 2, big.data(), static_cast<uint16_t>(big.size())));
    EXPECT_EQ(sizeof(kName), a.x.name_len);
    EXPECT_EQ(0, memcmp(a.x.data, kName, sizeof(kName)));
    EXPECT_EQ(300u, a.x.size);
    EXPECT_EQ(0, memcmp(a.x.data + sizeof(kName), big.data(), big.size()));
}

} // namespace
