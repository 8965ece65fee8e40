#include "base64.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

TEST(Base64, LengthsAndPaddingFollowTheStandard) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="},
                 {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"}};
    for (const Case& c : cases) {
        int32_t n = static_cast<int32_t>(strlen(c.in));
        std::unique_ptr<char[]> buffer(new char[Base64EncodedSize(n)]);
        int32_t written = Base64Encode(reinterpret_cast<const uint8_t*>(c.in), n, buffer.get());
        EXPECT_STREQ(c.out, buffer.get());
        EXPECT_EQ(Base64EncodedSize(n) - 1, written) << c.in;
    }
    EXPECT_EQ(1, Base64EncodedSize(0));
}

TEST(Base64, EveryByteValueUsesTheStandardAlphabet) {
    const uint8_t bytes[] = {0xFB, 0xFF, 0xBF, 0x00, 0x10, 0x83};
    std::unique_ptr<char[]> encoded(Base64EncodeAlloc(bytes, 6));
    EXPECT_STREQ("+/+/ABCD", encoded.get());
}
