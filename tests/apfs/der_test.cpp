#include "der.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes* out, uint8_t tag, const Bytes& content) {
    out->push_back(tag);
    if (content.size() >= 0x80)
        out->push_back(0x81);
    out->push_back(static_cast<uint8_t>(content.size()));
    out->insert(out->end(), content.begin(), content.end());
}

Bytes Filled(size_t size, uint8_t first) {
    Bytes b(size);
    for (size_t i = 0; i < size; i++)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

// A keybag entry's key data: the blob header, then a key body (with the KEK's two extra elements
// when kek is set).
Bytes Blob(bool kek) {
    Bytes body;
    Append(&body, 0x80, {0x01});
    Append(&body, 0x81, Filled(16, 0x10));
    Append(&body, 0x82, Filled(8, 0x20));
    Append(&body, 0x83, Filled(40, 0x30));
    if (kek) {
        Append(&body, 0x84, {0x01, 0x86, 0xA0});
        Append(&body, 0x85, Filled(16, 0x60));
    }
    Bytes inner;
    Append(&inner, 0x80, {0x00});
    Append(&inner, 0x81, Filled(32, 0x70));
    Append(&inner, 0x82, Filled(8, 0x90));
    Append(&inner, 0xA3, body);
    Bytes blob;
    Append(&blob, 0x30, inner);
    return blob;
}

TEST(Der, ShortAndLongLengthForms) {
    const uint8_t long_form[] = {0x83, 0x81, 0x28};
    const uint8_t short_form[] = {0x83, 0x28};
    uint32_t header = 0;
    EXPECT_EQ(40u, apfs_der_length(long_form, &header));
    EXPECT_EQ(3u, header);
    EXPECT_EQ(40u, apfs_der_length(short_form, &header));
    EXPECT_EQ(2u, header);
}

TEST(Der, ReadsBigEndianIntegers) {
    const uint8_t element[] = {0x84, 0x03, 0x01, 0x86, 0xA0};
    apfs_der_cursor cursor;
    apfs_der_set(&cursor, element, sizeof element);
    uint64_t value = 0;
    ASSERT_EQ(1, apfs_der_get_uint(&cursor, 0x84, &value));
    EXPECT_EQ(100000u, value);
    EXPECT_EQ(element + sizeof element, cursor.pos);
    const uint8_t too_wide[] = {0x84, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    apfs_der_set(&cursor, too_wide, sizeof too_wide);
    EXPECT_EQ(0, apfs_der_get_uint(&cursor, 0x84, &value));
}

TEST(Der, BytesNeedTheirExactLength) {
    Bytes element;
    Append(&element, 0x81, Filled(32, 0));
    apfs_der_cursor cursor;
    apfs_der_set(&cursor, element.data(), static_cast<uint16_t>(element.size()));
    uint8_t uuid[16];
    EXPECT_EQ(0, apfs_der_get_bytes(&cursor, 0x81, uuid, 16));
    EXPECT_EQ(0, apfs_der_get_bytes(&cursor, 0x82, uuid, 32 - 16));
}

TEST(Der, ParsesKekAndVekBlobs) {
    Bytes kek_blob = Blob(true);
    kek_blob.push_back(0xEE); // trailing bytes are not looked at
    apfs_der_cursor cursor;
    apfs_der_set(&cursor, kek_blob.data(), static_cast<uint16_t>(kek_blob.size()));
    apfs_der_header header;
    apfs_der_kek kek;
    ASSERT_EQ(1, apfs_der_blob_header(&cursor, &header));
    ASSERT_EQ(1, apfs_der_kek_blob(&cursor, &kek));
    EXPECT_EQ(0x70, header.hmac[0]);
    EXPECT_EQ(0x90, header.salt[0]);
    EXPECT_EQ(1u, kek.integer);
    EXPECT_EQ(Filled(16, 0x10), Bytes(kek.uuid, kek.uuid + 16));
    EXPECT_EQ(Filled(40, 0x30), Bytes(kek.wrapped_key, kek.wrapped_key + 40));
    EXPECT_EQ(100000u, kek.iterations);
    EXPECT_EQ(Filled(16, 0x60), Bytes(kek.salt, kek.salt + 16));

    Bytes vek_blob = Blob(false);
    apfs_der_set(&cursor, vek_blob.data(), static_cast<uint16_t>(vek_blob.size()));
    apfs_der_vek vek;
    ASSERT_EQ(1, apfs_der_blob_header(&cursor, &header));
    ASSERT_EQ(1, apfs_der_vek_blob(&cursor, &vek));
    EXPECT_EQ(Filled(8, 0x20), Bytes(vek.flags, vek.flags + 8));
    // A VEK body has no iteration count.
    apfs_der_set(&cursor, vek_blob.data(), static_cast<uint16_t>(vek_blob.size()));
    ASSERT_EQ(1, apfs_der_blob_header(&cursor, &header));
    EXPECT_EQ(0, apfs_der_kek_blob(&cursor, &kek));
}

TEST(Der, EveryTruncationIsRejectedInsideTheBuffer) {
    Bytes blob = Blob(true);
    for (size_t length = 0; length < blob.size(); length++) {
        // A copy of exactly length bytes, so that the sanitizer sees any read past its end.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[length ? length : 1]);
        memcpy(copy.get(), blob.data(), length);
        apfs_der_cursor cursor;
        apfs_der_set(&cursor, copy.get(), static_cast<uint16_t>(length));
        apfs_der_header header;
        apfs_der_kek kek;
        EXPECT_FALSE(apfs_der_blob_header(&cursor, &header) && apfs_der_kek_blob(&cursor, &kek)) << length;
    }
}

TEST(Der, EnterRejectsLengthsBeyondTheEnd) {
    const uint8_t announced_long[] = {0x30, 0x82, 0x01, 0x00, 0x80};
    const uint8_t too_many_length_bytes[] = {0x30, 0x89, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    apfs_der_cursor cursor;
    apfs_der_set(&cursor, announced_long, sizeof announced_long);
    EXPECT_EQ(0, apfs_der_enter(&cursor, 0x30));
    apfs_der_set(&cursor, too_many_length_bytes, sizeof too_many_length_bytes);
    EXPECT_EQ(0, apfs_der_enter(&cursor, 0x30));
    apfs_der_reset(&cursor);
    EXPECT_EQ(0, apfs_der_enter(&cursor, 0x30));
}

} // namespace
