// Keybag walk and selection rules, the KEK and VEK unwrap rules, and the unit arithmetic of
// decrypting reads, against keys and ciphertext made here with OpenSSL.
#include "container.h"
#include "crypto.h"
#include "device_api.h"
#include "fs_reader.h"
#include "keybag.h"
#include "support/apfs_test_support.h"
#include "volume.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// A keybag buffer whose entries are appended as the format lays them out.
struct KeybagBuilder {
    Bytes data = Bytes(4096, 0);
    size_t offset = APFS_KB_ENTRIES_OFF;
    uint16_t count = 0;

    size_t Add(uint8_t uuid_byte, uint16_t tag, uint16_t keylen) {
        size_t at = offset;
        memset(&data[at], uuid_byte, 16);
        apfs_put_le16(&data[at + APFS_KE_TAG_OFF], tag);
        apfs_put_le16(&data[at + APFS_KE_KEYLEN_OFF], keylen);
        memset(&data[at + APFS_KE_KEYDATA_OFF], tag, keylen);
        offset += (keylen + 39u) & 0xFFF0u;
        apfs_put_le16(&data[APFS_KB_NKEYS_OFF], ++count);
        return at;
    }
};

TEST(KeybagWalk, EntrySizesFollowTheKeyLength) {
    KeybagBuilder kb;
    size_t first = kb.Add(1, 2, 40);
    size_t second = kb.Add(1, 3, 8);
    size_t third = kb.Add(2, 2, 40);
    EXPECT_EQ(48u + 64u, second);
    EXPECT_EQ(48u + 64u + 32u, third);
    apfs_keybag_walk walk;
    apfs_keybag_walk_init(&walk, kb.data.data(), kb.data.size());
    apfs_keybag_entry e;
    ASSERT_EQ(1, apfs_keybag_walk_next(&walk, &e));
    EXPECT_EQ(kb.data.data() + first + 24, e.keydata);
    EXPECT_EQ(40, e.keylen);
    ASSERT_EQ(1, apfs_keybag_walk_next(&walk, &e));
    EXPECT_EQ(kb.data.data() + second + 24, e.keydata);
    EXPECT_EQ(3, e.tag);
    ASSERT_EQ(1, apfs_keybag_walk_next(&walk, &e));
    EXPECT_EQ(kb.data.data() + third, e.uuid);
    EXPECT_EQ(0, apfs_keybag_walk_next(&walk, &e));
}

TEST(KeybagWalk, EntryReachingPastTheKeybagEndsTheWalk) {
    KeybagBuilder kb;
    kb.Add(1, 2, 40);
    size_t last = kb.Add(1, 3, 16);
    apfs_keybag_walk walk;
    apfs_keybag_entry e;
    // The keybag ends one byte before the second entry's key data does.
    apfs_keybag_walk_init(&walk, kb.data.data(), last + 24 + 16 - 1);
    EXPECT_EQ(1, apfs_keybag_walk_next(&walk, &e));
    EXPECT_EQ(0, apfs_keybag_walk_next(&walk, &e));
    // A count larger than the entries present stops where the bytes stop.
    apfs_put_le16(&kb.data[APFS_KB_NKEYS_OFF], 0xFFFF);
    apfs_keybag_walk_init(&walk, kb.data.data(), kb.data.size());
    int n = 0;
    while (apfs_keybag_walk_next(&walk, &e))
        n++;
    EXPECT_LE(n, int(kb.data.size() / 32));
    // Too small for the header: no entries at all.
    apfs_keybag_walk_init(&walk, kb.data.data(), 40);
    EXPECT_EQ(0, apfs_keybag_walk_next(&walk, &e));
}

TEST(KeybagFind, PassesOverForeignUuidsAndTakesTheLaterEntryOfATag) {
    KeybagBuilder kb;
    kb.Add(9, 2, 40);
    size_t vek1 = kb.Add(1, 2, 40);
    kb.Add(9, 3, 16);
    size_t vek2 = kb.Add(1, 2, 40);
    size_t location = kb.Add(1, 3, 16);
    uint8_t uuid[16];
    memset(uuid, 1, sizeof(uuid));
    apfs_keybag_entry vek, loc;
    ASSERT_EQ(1, apfs_keybag_find_volume(kb.data.data(), kb.data.size(), uuid, &vek, &loc));
    EXPECT_NE(kb.data.data() + vek1, vek.uuid);
    EXPECT_EQ(kb.data.data() + vek2, vek.uuid);
    EXPECT_EQ(kb.data.data() + location, loc.uuid);
}

TEST(KeybagFind, VolumeWithoutKeybagLocationIsNotFound) {
    KeybagBuilder kb;
    kb.Add(1, 2, 40);
    kb.Add(9, 3, 16);
    uint8_t uuid[16];
    memset(uuid, 1, sizeof(uuid));
    apfs_keybag_entry vek, loc;
    EXPECT_EQ(0, apfs_keybag_find_volume(kb.data.data(), kb.data.size(), uuid, &vek, &loc));
}

Bytes Wrap(const Bytes& kek, const Bytes& data) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    EVP_EncryptInit_ex(ctx, kek.size() == 16 ? EVP_aes_128_wrap() : EVP_aes_256_wrap(), nullptr, kek.data(),
                       nullptr);
    Bytes out(data.size() + 8);
    int n = 0, m = 0;
    EVP_EncryptUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(n + m);
    return out;
}

// A VEK and KEK record pair as a keybag would give them for password, with the given flags.
struct Records {
    apfs_der_vek vek{};
    apfs_der_kek kek{};
    Bytes volume_key;

    Records(const std::string& password, uint32_t kek_flags, uint32_t vek_flags) {
        Bytes salt = Pattern(16, 3);
        memcpy(kek.salt, salt.data(), 16);
        kek.iterations = 1000;
        apfs_put_le32(kek.flags, kek_flags);
        apfs_put_le32(vek.flags, vek_flags);
        Bytes uuid = Pattern(16, 200);
        memcpy(vek.uuid, uuid.data(), 16);
        Bytes derived(32);
        PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(), 16, 1000,
                          EVP_sha256(), 32, derived.data());
        Bytes kek_key = Pattern(kek_flags == 2 ? 16 : 32, 50);
        Bytes wrapped = Wrap(Bytes(derived.begin(), derived.begin() + kek_key.size()), kek_key);
        memcpy(kek.wrapped_key, wrapped.data(), wrapped.size());
        Bytes key = Pattern(vek_flags == 2 ? 16 : 32, 90);
        wrapped = Wrap(Bytes(kek_key.begin(), kek_key.begin() + key.size()), key);
        memcpy(vek.wrapped_key, wrapped.data(), wrapped.size());
        volume_key = key;
        if (vek_flags == 2) {
            uint8_t sum[32];
            unsigned int len = 0;
            Bytes input = key;
            input.insert(input.end(), uuid.begin(), uuid.end());
            EVP_Digest(input.data(), input.size(), sum, &len, EVP_sha256(), nullptr);
            volume_key.insert(volume_key.end(), sum, sum + 16);
        }
    }
};

TEST(UnwrapVek, TheFlagPairsGiveTheVolumeKey) {
    const std::string pw = "volarix-TEST-pw";
    for (uint32_t kek_flags : {0u, 2u, 16u}) {
        for (uint32_t vek_flags : {0u, 2u}) {
            // A 16-byte KEK cannot unwrap a 32-byte VEK.
            if (kek_flags == 2 && vek_flags == 0)
                continue;
            Records r(pw, kek_flags, vek_flags);
            uint8_t key[32];
            ASSERT_EQ(1, apfs_unwrap_vek(&r.vek, &r.kek, pw.data(), pw.size(), key))
                << "KEK flags " << kek_flags << ", VEK flags " << vek_flags;
            EXPECT_EQ(r.volume_key, Bytes(key, key + 32));
        }
    }
}

TEST(UnwrapVek, WrongPasswordFailsAtTheKekIntegrityValue) {
    Records r("volarix-TEST-pw", 0, 0);
    uint8_t key[32];
    EXPECT_EQ(0, apfs_unwrap_vek(&r.vek, &r.kek, "volarix-test-pw", 15, key));
    EXPECT_EQ(0, apfs_unwrap_vek(&r.vek, &r.kek, "", 0, key));
}

TEST(UnwrapVek, UnknownFlagsAreRefused) {
    const std::string pw = "pw";
    for (uint32_t flags : {1u, 18u}) {
        Records r(pw, 0, 0);
        apfs_put_le32(r.kek.flags, flags);
        uint8_t key[32];
        EXPECT_EQ(0, apfs_unwrap_vek(&r.vek, &r.kek, pw.data(), pw.size(), key)) << flags;
    }
    Records r(pw, 0, 0);
    apfs_put_le32(r.vek.flags, 16);
    uint8_t key[32];
    EXPECT_EQ(0, apfs_unwrap_vek(&r.vek, &r.kek, pw.data(), pw.size(), key));
}

Bytes XtsEncrypt(const Bytes& key, uint64_t unit, const Bytes& plain) {
    uint8_t tweak[16] = {};
    apfs_put_le64(tweak, unit);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_xts(), nullptr, key.data(), tweak);
    Bytes out(plain.size());
    int n = 0;
    EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

// File data of an encrypted volume: the tweak of each 512-byte unit comes from the extent's
// crypto id and the unit's place in its block, not from where the bytes lie on the device.
class VolumeRead : public testing::Test {
  protected:
    void SetUp() override {
        key_ = Pattern(32, 11);
        Bytes image(3 * 4096);
        for (uint64_t u = 0; u < 3 * 8; u++) {
            plain_.push_back(Pattern(512, static_cast<uint8_t>(u)));
            Bytes c = XtsEncrypt(key_, 7 * 8 + u, plain_.back());
            memcpy(&image[u * 512], c.data(), 512);
        }
        path_ = apfs_test::ScratchPath("volume-read.img");
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), image.size());
        FsReader_Reset(&reader_);
#ifdef _WIN32
        reader_.descriptor = _open(path_.c_str(), _O_BINARY | _O_RDONLY);
#else
        reader_.descriptor = fs_posix_open(path_.c_str(), _O_BINARY);
#endif
        ASSERT_NE(-1, reader_.descriptor);
        reader_.length = image.size();
        apfs_container_init(&container_);
        container_.reader = &reader_;
        container_.block_size = 4096;
        container_.block_shift = 12;
        apfs_volume_init(&volume_);
        apfs_volume_bind(&volume_, &container_, 0);
        volume_.encrypted = 1;
        ASSERT_EQ(1, apfs_cipher_key_new(APFS_CIPHER_AES128_XTS, &volume_.key));
        ASSERT_EQ(1, apfs_cipher_key_set(volume_.key, key_.data(), 32));
    }
    void TearDown() override {
        apfs_volume_free(&volume_);
        apfs_container_free(&container_);
        FsReader_Uninit(&reader_);
        std::remove(path_.c_str());
    }
    // The plain bytes at offset of the file whose first block has crypto id 7.
    Bytes Plain(uint64_t offset, size_t size) {
        Bytes out;
        for (uint64_t i = offset; i < offset + size; i++)
            out.push_back(plain_[i / 512][i % 512]);
        return out;
    }

    Bytes key_;
    std::vector<Bytes> plain_;
    std::string path_;
    FsReader reader_;
    apfs_container container_;
    apfs_volume volume_;
};

TEST_F(VolumeRead, HeadAndTailUnitsTakeTheirTweakFromTheCryptoId) {
    Bytes out(100);
    ASSERT_EQ(1, apfs_volume_read(&volume_, 1000, out.data(), out.size(), 1, 7));
    // Unit 57 (7 x 8 + 1) gives its bytes 488 to 511, unit 58 its first 76.
    EXPECT_EQ(Plain(1000, 100), out);
}

TEST_F(VolumeRead, WholeUnitsAcrossBlocks) {
    for (auto [offset, size] : {std::pair<uint64_t, size_t>{0, 8192}, {512, 1024}, {4000, 5000}, {3, 1}}) {
        Bytes out(size);
        ASSERT_EQ(1, apfs_volume_read(&volume_, offset, out.data(), size, 1, 7)) << offset;
        EXPECT_EQ(Plain(offset, size), out) << offset << "+" << size;
    }
}

TEST_F(VolumeRead, PlainReadWithoutDecryptAndNoKeyFails) {
    Bytes out(512);
    ASSERT_EQ(1, apfs_volume_read(&volume_, 0, out.data(), out.size(), 0, 7));
    EXPECT_NE(plain_[0], out);
    apfs_cipher_key_free(volume_.key);
    volume_.key = nullptr;
    EXPECT_EQ(0, apfs_volume_read(&volume_, 0, out.data(), out.size(), 1, 7));
}

} // namespace
