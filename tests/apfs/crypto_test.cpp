#include "container.h"
#include "crypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// IEEE 1619-2007 XTS-AES-128 vectors 4 (data unit 0) and 5 (data unit 1, whose plaintext is the
// ciphertext of vector 4).
const char* kXtsKey = "2718281828459045235360287471352631415926535897932384626433832795";
const char* kXtsVector4 =
    "27a7479befa1d476489f308cd4cfa6e2a96e4bbe3208ff25287dd3819616e89cc78cf7f5e543445f8333d8fa7f560000"
    "05279fa5d8b5e4ad40e736ddb4d35412328063fd2aab53e5ea1e0a9f332500a5df9487d07a5c92cc512c8866c7e860ce"
    "93fdf166a24912b422976146ae20ce846bb7dc9ba94a767aaef20c0d61ad02655ea92dc4c4e41a8952c651d33174be51"
    "a10c421110e6d81588ede82103a252d8a750e8768defffed9122810aaeb99f9172af82b604dc4b8e51bcb08235a6f434"
    "1332e4ca60482a4ba1a03b3e65008fc5da76b70bf1690db4eae29c5f1badd03c5ccf2a55d705ddcd86d449511ceb7ec3"
    "0bf12b1fa35b913f9f747a8afd1b130e94bff94effd01a91735ca1726acd0b197c4e5b03393697e126826fb6bbde8ecc"
    "1e08298516e2c9ed03ff3c1b7860f6de76d4cecd94c8119855ef5297ca67e9f3e7ff72b1e99785ca0a7e7720c5b36dc6"
    "d72cac9574c8cbbc2f801e23e56fd344b07f22154beba0f08ce8891e643ed995c94d9a69c9f1b5f499027a78572aeebd"
    "74d20cc39881c213ee770b1010e4bea718846977ae119f7a023ab58cca0ad752afe656bb3c17256a9f6e9bf19fdd5a38"
    "fc82bbe872c5539edb609ef4f79c203ebb140f2e583cb2ad15b4aa5b655016a8449277dbd477ef2c8d6c017db738b18d"
    "eb4a427d1923ce3ff262735779a418f20a282df920147beabe421ee5319d0568";
const char* kXtsVector5 =
    "264d3ca8512194fec312c8c9891f279fefdd608d0c027b60483a3fa811d65ee59d52d9e40ec5672d81532b38b6b089ce"
    "951f0f9c35590b8b978d175213f329bb1c2fd30f2f7f30492a61a532a79f51d36f5e31a7c9a12c286082ff7d2394d18f"
    "783e1a8e72c722caaaa52d8f065657d2631fd25bfd8e5baad6e527d763517501c68c5edc3cdd55435c532d7125c8614d"
    "eed9adaa3acade5888b87bef641c4c994c8091b5bcd387f3963fb5bc37aa922fbfe3df4e5b915e6eb514717bdd2a7407"
    "9a5073f5c4bfd46adf7d282e7a393a52579d11a028da4d9cd9c77124f9648ee383b1ac763930e7162a8d37f350b2f74b"
    "8472cf09902063c6b32e8c2d9290cefbd7346d1c779a0df50edcde4531da07b099c638e83a755944df2aef1aa31752fd"
    "323dcb710fb4bfbb9d22b925bc3577e1b8949e729a90bbafeacf7f7879e7b1147e28ba0bae940db795a61b15ecf4df8d"
    "b07b824bb062802cc98a9545bb2aaeed77cb3fc6db15dcd7d80d7d5bc406c4970a3478ada8899b329198eb61c193fb62"
    "75aa8ca340344a75a862aebe92eee1ce032fd950b47d7704a3876923b4ad62844bf4a09c4dbe8b4397184b7471360c95"
    "64880aedddb9baa4af2e75394b08cd32ff479c57a07d3eab5d54de5f9738b8d27f27a9f0ab11799d7b7ffefb2704c95c"
    "6ad12c39f1e867a4b7b1d7818a4b753dfd2a89ccb45e001a03a867b187f225dd";

struct KeyHolder {
    apfs_cipher_key* key = nullptr;
    KeyHolder(uint32_t kind, const std::vector<uint8_t>& bytes) {
        EXPECT_EQ(1, apfs_cipher_key_new(kind, &key));
        EXPECT_EQ(1, apfs_cipher_key_set(key, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    ~KeyHolder() { apfs_cipher_key_free(key); }
};

// Independent encryption of units with the given tweak numbers, through EVP directly.
std::vector<uint8_t> XtsEncrypt(const std::vector<uint8_t>& key, std::vector<uint8_t> data, uint64_t first) {
    for (size_t i = 0; i < data.size() / 512; i++) {
        uint8_t tweak[16] = {};
        apfs_put_le64(tweak, first + i);
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int n = 0;
        EXPECT_EQ(1, EVP_EncryptInit_ex(ctx, EVP_aes_128_xts(), nullptr, key.data(), tweak));
        EXPECT_EQ(1, EVP_EncryptUpdate(ctx, &data[i * 512], &n, &data[i * 512], 512));
        EVP_CIPHER_CTX_free(ctx);
    }
    return data;
}

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++)
        data[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    return data;
}

TEST(Xts, DecryptsIeee1619Vectors) {
    KeyHolder key(APFS_CIPHER_AES128_XTS, Hex(kXtsKey));
    std::vector<uint8_t> buffer = Hex(kXtsVector4);
    std::vector<uint8_t> v5 = Hex(kXtsVector5);
    buffer.insert(buffer.end(), v5.begin(), v5.end());
    ASSERT_EQ(1024u, buffer.size());
    ASSERT_EQ(1, apfs_decrypt_units(nullptr, key.key, 0, buffer.data(), 2));
    for (size_t i = 0; i < 512; i++)
        ASSERT_EQ(static_cast<uint8_t>(i), buffer[i]) << i;
    EXPECT_EQ(Hex(kXtsVector4), std::vector<uint8_t>(buffer.begin() + 512, buffer.end()));
}

TEST(Xts, TweakIsTheLittleEndianUnitNumber) {
    std::vector<uint8_t> raw_key = Hex(kXtsKey);
    KeyHolder key(APFS_CIPHER_AES128_XTS, raw_key);
    std::vector<uint8_t> plain = Pattern(1024);
    std::vector<uint8_t> buffer = XtsEncrypt(raw_key, plain, 0x100000000ull);
    ASSERT_EQ(1, apfs_decrypt_units(nullptr, key.key, 0x100000000ull, buffer.data(), 2));
    EXPECT_EQ(plain, buffer);
    EXPECT_EQ(1, apfs_decrypt_units(nullptr, key.key, 5, buffer.data(), 0));
}

TEST(Xts, BlocksDecryptFromTheirPhysicalUnits) {
    apfs_container container;
    memset(&container, 0, sizeof container);
    container.block_size = 4096;
    container.block_shift = 12;
    std::vector<uint8_t> raw_key = Hex(kXtsKey);
    KeyHolder key(APFS_CIPHER_AES128_XTS, raw_key);
    std::vector<uint8_t> plain = Pattern(8192);
    std::vector<uint8_t> buffer = XtsEncrypt(raw_key, plain, 80);
    ASSERT_EQ(1, apfs_decrypt_blocks(&container, key.key, 10, buffer.data(), 2));
    EXPECT_EQ(plain, buffer);
}

TEST(Cipher, RejectsUnknownKindsAndShortKeys) {
    KeyHolder digest_kind(APFS_DIGEST_SHA256, Hex(kXtsKey));
    uint8_t block[16] = {}, out[32];
    EXPECT_EQ(0, apfs_cipher_decrypt(digest_kind.key, block, 16, out, nullptr, nullptr));
    KeyHolder short_key(APFS_CIPHER_AES256_CBC, Hex("000102030405060708090a0b0c0d0e0f"));
    EXPECT_EQ(0, apfs_cipher_decrypt(short_key.key, block, 16, out, nullptr, nullptr));
}

TEST(Cipher, CbcDecryptsOneBlockAtOnce) {
    // FIPS-197 appendix C.1.
    KeyHolder key(APFS_CIPHER_AES128_CBC, Hex("000102030405060708090a0b0c0d0e0f"));
    std::vector<uint8_t> cipher = Hex("69c4e0d86a7b0430d8cdb78070b4c55a"), out(32);
    uint32_t length = 0;
    ASSERT_EQ(1, apfs_cipher_decrypt(key.key, cipher.data(), 16, out.data(), &length, nullptr));
    EXPECT_EQ(16u, length);
    EXPECT_EQ(Hex("00112233445566778899aabbccddeeff"), std::vector<uint8_t>(out.begin(), out.begin() + 16));
}

TEST(KeyUnwrap, UnwrapsRfc3394Vectors) {
    struct Case {
        uint32_t kind;
        const char* kek;
        const char* wrapped;
        const char* key;
    } cases[] = {
        {APFS_CIPHER_AES128_CBC, "000102030405060708090A0B0C0D0E0F",
         "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5", "00112233445566778899AABBCCDDEEFF"},
        {APFS_CIPHER_AES256_CBC, "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
         "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21",
         "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> kek = Hex(c.kek), wrapped = Hex(c.wrapped), expected = Hex(c.key);
        std::vector<uint8_t> out(expected.size());
        uint64_t a = 0;
        ASSERT_EQ(1, apfs_aes_key_unwrap(wrapped.data(), kek.data(), c.kind, out.data(), &a));
        EXPECT_EQ(APFS_KEY_WRAP_IV, a);
        EXPECT_EQ(expected, out);
        kek[0] ^= 1;
        ASSERT_EQ(1, apfs_aes_key_unwrap(wrapped.data(), kek.data(), c.kind, out.data(), &a));
        EXPECT_NE(APFS_KEY_WRAP_IV, a);
    }
    uint8_t out[32];
    EXPECT_EQ(0, apfs_aes_key_unwrap(Hex(cases[0].wrapped).data(), Hex(cases[0].kek).data(),
                                     APFS_CIPHER_AES128_XTS, out, nullptr));
}

TEST(Digest, Sha256OfPiecesEqualsPublishedValue) {
    apfs_digest* digest = nullptr;
    EXPECT_EQ(0, apfs_digest_new(APFS_CIPHER_AES128_XTS, &digest));
    ASSERT_EQ(1, apfs_digest_new(APFS_DIGEST_SHA256, &digest));
    ASSERT_EQ(1, apfs_digest_update(digest, "a", 1));
    ASSERT_EQ(1, apfs_digest_update(digest, "bc", 2));
    EXPECT_EQ(3u, digest->fed);
    uint8_t out[32];
    ASSERT_EQ(1, apfs_digest_final(digest, out));
    EXPECT_EQ(Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
              std::vector<uint8_t>(out, out + 32));
    apfs_digest_free(digest);
}

TEST(Hmac, MatchesRfc4231) {
    std::string key = "Jefe", data = "what do ya want for nothing?";
    uint8_t out[32];
    ASSERT_EQ(1,
              apfs_hmac_sha256(APFS_DIGEST_SHA256, reinterpret_cast<const uint8_t*>(key.data()), key.size(),
                               reinterpret_cast<const uint8_t*>(data.data()), data.size(), out));
    EXPECT_EQ(Hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"),
              std::vector<uint8_t>(out, out + 32));
    EXPECT_EQ(0, apfs_hmac_sha256(APFS_CIPHER_AES128_CBC, out, 4, out, 4, out));
}

TEST(Pbkdf2, AgreesWithOpenSslDerivation) {
    std::string password = "volarix-TEST-pw";
    apfs_der_kek kek;
    memset(&kek, 0, sizeof kek);
    for (int i = 0; i < 16; i++)
        kek.salt[i] = static_cast<uint8_t>(0xA0 + i);
    for (uint64_t iterations : {1ull, 2ull, 1000ull}) {
        for (size_t length : {32u, 40u, 64u}) {
            kek.iterations = iterations;
            std::vector<uint8_t> ours(length), reference(length);
            ASSERT_EQ(1, apfs_pbkdf2_sha256(reinterpret_cast<const uint8_t*>(password.data()),
                                            password.size(), &kek, ours.data(), length));
            ASSERT_EQ(1, PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), kek.salt, 16,
                                           static_cast<int>(iterations), EVP_sha256(),
                                           static_cast<int>(length), reference.data()));
            EXPECT_EQ(reference, ours) << iterations << " " << length;
        }
    }
}

TEST(Pbkdf2, OneIterationIsOneHmacOfTheSaltAndBlockNumber) {
    apfs_der_kek kek;
    memset(&kek, 0, sizeof kek);
    memcpy(kek.salt, "0123456789abcdef", 16);
    const uint8_t password[] = {'p', 'w'};
    uint8_t salt[20], expected[32], once[32], zero[32];
    memcpy(salt, kek.salt, 16);
    memcpy(salt + 16, "\x00\x00\x00\x01", 4);
    ASSERT_EQ(1, apfs_hmac_sha256(APFS_DIGEST_SHA256, password, 2, salt, 20, expected));
    kek.iterations = 1;
    ASSERT_EQ(1, apfs_pbkdf2_sha256(password, 2, &kek, once, 32));
    kek.iterations = 0;
    ASSERT_EQ(1, apfs_pbkdf2_sha256(password, 2, &kek, zero, 32));
    EXPECT_EQ(0, memcmp(expected, once, 32));
    EXPECT_EQ(0, memcmp(expected, zero, 32));
}

TEST(Pbkdf2, RefusesAnIterationCountThatWouldRunForHours) {
    apfs_der_kek kek;
    memset(&kek, 0, sizeof kek);
    kek.iterations = UINT64_MAX;
    const uint8_t password[] = {'p', 'w'};
    uint8_t out[32];
    EXPECT_EQ(0, apfs_pbkdf2_sha256(password, 2, &kek, out, 32));
}

} // namespace
