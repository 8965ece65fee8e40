#include "name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

uint32_t Hash(const std::string& name, uint32_t case_sensitive) {
    uint32_t crc = 0xFFFFFFFF;
    if (apfs_name_hash_update(reinterpret_cast<const uint8_t*>(name.data()), name.size(), case_sensitive,
                              &crc) != 0)
        return 0;
    return crc & APFS_NAME_HASH_MASK;
}

int32_t Compare(const std::string& a, const std::string& b, uint32_t case_sensitive) {
    return apfs_name_compare(reinterpret_cast<const uint8_t*>(a.data()), a.size(),
                             reinterpret_cast<const uint8_t*>(b.data()), b.size(), case_sensitive);
}

int32_t Decode(const std::string& s, size_t* used) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data()) + 1;
    int32_t cp = apfs_utf8_decode(static_cast<uint8_t>(s[0]), &p,
                                  reinterpret_cast<const uint8_t*>(s.data()) + s.size());
    *used = p - reinterpret_cast<const uint8_t*>(s.data());
    return cp;
}

TEST(NameHash, MatchesPublishedValues) {
    EXPECT_EQ(Hash("abc", 1), 0x3D848u);
    EXPECT_EQ(Hash("ABC", 0), 0x3D848u);
    EXPECT_EQ(Hash("ABC", 1), 0x35197Cu);
}

TEST(NameHash, DecomposesBeforeHashing) {
    EXPECT_EQ(Hash("\xC3\xA9", 1), 0x1D765Fu);
    EXPECT_EQ(Hash("e\xCC\x81", 1), 0x1D765Fu);
    EXPECT_EQ(Hash("\xC3\x89", 0), 0x1D765Fu);
    EXPECT_NE(Hash("\xC3\x89", 1), 0x1D765Fu);
    EXPECT_EQ(Hash("\xEA\xB0\x81", 1), Hash("\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", 1));
    EXPECT_EQ(Hash("\xEA\xB0\x81", 1), 0x38544Eu);
}

TEST(NameHash, FoldsSharpSAndGreekSpecials) {
    EXPECT_EQ(Hash("\xC3\x9F", 0), 0x201E6Bu);
    EXPECT_EQ(Hash("\xC3\x9F", 0), Hash("ss", 1));
    EXPECT_EQ(Hash("\xC3\x9F", 1), 0x3E48F1u);
    // U+1FC2 folds its ypogegrammeni to iota.
    EXPECT_EQ(Hash("\xE1\xBF\x82", 0), Hash("\xCE\xB7\xCC\x80\xCE\xB9", 1));
    EXPECT_EQ(Hash("\xC4\xB0", 0), Hash("i\xCC\x87", 1));
}

TEST(NameHash, CaseFoldsWhatHasNoLowercaseMapping) {
    EXPECT_EQ(Hash("case_folding_\xC2\xB5", 0), 3814936u); // as a macOS-made volume stores it
    EXPECT_EQ(Hash("\xC2\xB5", 0), Hash("\xCE\xBC", 1));
    EXPECT_EQ(Hash("\xCF\x91", 0), Hash("\xCE\xB8", 1));      // theta symbol
    EXPECT_EQ(Hash("\xCF\x82", 0), Hash("\xCE\xA3", 0));      // final sigma
    EXPECT_EQ(Hash("\xCD\x85", 0), Hash("\xCE\xB9", 1));      // lone ypogegrammeni
    EXPECT_EQ(Hash("\xE1\xBA\x9B", 0), Hash("s\xCC\x87", 1)); // long s with dot: after decomposing
}

TEST(NameHash, MalformedNamesHashToZero) {
    for (const char* bad : {"a\x80", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ab\xE2\x82"})
        EXPECT_EQ(Hash(bad, 1), 0u) << bad;
}

TEST(NameHash, StopsAtZeroByte) {
    EXPECT_EQ(Hash(std::string("abc\0def", 7), 1), Hash("abc", 1));
}

TEST(Utf8Decode, StrictForms) {
    size_t used;
    EXPECT_EQ(Decode("\xF0\x9F\x98\x80", &used), 0x1F600);
    EXPECT_EQ(used, 4u);
    EXPECT_EQ(Decode("\xF4\x8F\xBF\xBF", &used), 0x10FFFF);
    EXPECT_EQ(Decode("\xEF\xBF\xBF", &used), 0xFFFF);
    EXPECT_EQ(Decode("\xE0\x9F\xBF", &used), -1);     // overlong
    EXPECT_EQ(Decode("\xF0\x8F\xBF\xBF", &used), -1); // overlong
    EXPECT_EQ(Decode("\xC1\xBF", &used), -1);
    EXPECT_EQ(Decode("\xF8\x88\x80\x80\x80", &used), -1);
    EXPECT_EQ(Decode("\xE2\x28\xA1", &used), -1);
    EXPECT_EQ(Decode("\xF0\x9F\x98", &used), -1); // runs past the end
    EXPECT_EQ(used, 1u);
}

TEST(UnicodeTables, DecompositionAndLowercase) {
    uint32_t out[4];
    ASSERT_EQ(apfs_unicode_decompose(0x1E69, out), 3); // s with dot below and dot above
    EXPECT_EQ(out[0], 0x73u);
    EXPECT_EQ(out[1], 0x323u);
    EXPECT_EQ(out[2], 0x307u);
    ASSERT_EQ(apfs_unicode_decompose(0x2FA1D, out), 1); // last table entry
    EXPECT_EQ(out[0], 0x2A600u);
    ASSERT_EQ(apfs_unicode_decompose(0x2FA1E, out), 1);
    EXPECT_EQ(out[0], 0x2FA1Eu);
    ASSERT_EQ(apfs_unicode_decompose(0xAC00, out), 2);
    EXPECT_EQ(apfs_unicode_decomp_lookup(0x41), 0);

    EXPECT_EQ(apfs_unicode_fold_delta(0x130), 0x69 - 0x130);
    EXPECT_EQ(apfs_unicode_fold_delta(0x1E9E), 0xDF - 0x1E9E);
    EXPECT_EQ(apfs_unicode_fold_delta(0x2126), 0x3C9 - 0x2126);
    EXPECT_EQ(apfs_unicode_fold_delta(0xB5), 0x3BC - 0xB5);
    EXPECT_EQ(apfs_unicode_fold_delta(0x17F), 0x73 - 0x17F);
    EXPECT_EQ(apfs_unicode_fold_delta(0x1FBE), 0x3B9 - 0x1FBE);
    EXPECT_EQ(apfs_unicode_fold_delta(0x10400), 0x28);
    EXPECT_EQ(apfs_unicode_fold_delta(0x10427), 0x28);
    EXPECT_EQ(apfs_unicode_fold_delta(0x10428), 0);
    // Assigned after 6.3, so not folded: Cherokee small letters, capital ʞ (U+A7B0).
    EXPECT_EQ(apfs_unicode_fold_delta(0x13A0), 0);
    EXPECT_EQ(apfs_unicode_fold_delta(0xA7B0), 0);
}

TEST(NameCompare, DecodesButDoesNotDecompose) {
    EXPECT_NE(Compare("\xC3\xA9", "e\xCC\x81", 1), 0);
    EXPECT_EQ(Compare("\xC3\x89", "\xC3\xA9", 0), 0);
    EXPECT_NE(Compare("\xC3\x89", "\xC3\xA9", 1), 0);
    EXPECT_EQ(Compare("ABC", "abc", 0), 0);
    EXPECT_EQ(Compare("abd", "abc", 1), 1);
    EXPECT_EQ(Compare("ab", "abc", 1), -1);
    EXPECT_EQ(Compare("a\x80", "a\x80", 1), -1);
    EXPECT_TRUE(apfs_name_equal(reinterpret_cast<const uint8_t*>("x"), 1,
                                reinterpret_cast<const uint8_t*>("X"), 1, 0));
}

TEST(NameCompare, EqualOnlyWhenBothEndTogether) {
    EXPECT_LT(Compare("\xC4\xB0", "ix", 0), 0);      // U+0130 folds to i
    EXPECT_LT(Compare("\xE2\x84\xAA", "kab", 0), 0); // Kelvin sign folds to k
    EXPECT_EQ(Compare("\xE2\x84\xAA", "k", 0), 0);
    EXPECT_NE(Compare("\xE2\x84\xAA", "k", 1), 0);
    // A 0 byte ends a name, as it ends the hash.
    EXPECT_EQ(Compare(std::string("ab\0x", 4), std::string("ab\0yz", 5), 1), 0);
    EXPECT_LT(Compare(std::string("a\0", 2), "ab", 1), 0);
    EXPECT_EQ(Compare(std::string("ab\0", 3), "ab", 1), 0);
}

TEST(NameCompare, CaseFoldsWhatHasNoLowercaseMapping) {
    EXPECT_EQ(Compare("case_folding_\xC2\xB5", "CASE_FOLDING_\xCE\x9C", 0), 0);
    EXPECT_EQ(Compare("\xCF\x82", "\xCE\xA3", 0), 0);
    EXPECT_EQ(Compare("\xC5\xBF", "S", 0), 0);
    EXPECT_NE(Compare("\xE1\xBA\x9B", "s\xCC\x87", 0), 0); // still no decomposition
}

TEST(CRC32C, StandardCheckValue) {
    EXPECT_EQ(apfs_crc32c_update(0xFFFFFFFF, "123456789", 9) ^ 0xFFFFFFFF, 0xE3069283u);
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Every directory record of the fixture volumes must hash to the value stored on disk.
void CheckNamesFile(const char* file, size_t min_records) {
    std::ifstream in(std::string(VOLARIX_TEST_DATA) + "/apfs/" + file);
    ASSERT_TRUE(in) << file;
    std::string line;
    size_t checked = 0, failed = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string rule, parent, hex, stored;
        std::getline(fields, rule, '\t');
        std::getline(fields, parent, '\t');
        std::getline(fields, hex, '\t');
        std::getline(fields, stored, '\t');
        if (stored == "-")
            continue;
        ASSERT_TRUE(rule == "ci" || rule == "cs") << line;
        uint32_t got = Hash(FromHex(hex), rule == "cs");
        if (got != std::stoul(stored) && ++failed <= 10)
            ADD_FAILURE() << file << ": " << line << " hashes to " << got;
        checked++;
    }
    EXPECT_EQ(failed, 0u);
    EXPECT_GE(checked, min_records);
}

TEST(NameHash, EveryFixtureRecordHashesToItsStoredValue) {
    CheckNamesFile("names.tsv", 3000);
    CheckNamesFile("names_apple.tsv", 30);
}

} // namespace
