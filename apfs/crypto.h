#ifndef VOLARIX_CRYPTO_H
#define VOLARIX_CRYPTO_H
/* Cipher keys, SHA-256 digests, AES-XTS decryption of 512-byte units, PBKDF2-HMAC-SHA256 and the
 * RFC 3394 key unwrap, all over OpenSSL's EVP interface. The key functions carry the cipher_key
 * prefix because apfs_key names the B-tree search key. */
#include "apfs_common.h"
#include "der.h"

#ifdef __cplusplus
extern "C" {
#endif

#define APFS_CIPHER_AES128_CBC 1
#define APFS_CIPHER_AES192_CBC 2
#define APFS_CIPHER_AES256_CBC 3
#define APFS_CIPHER_AES128_XTS 4
#define APFS_DIGEST_SHA256 5

#define APFS_CRYPTO_UNIT 512
#define APFS_SHA256_SIZE 32
#define APFS_KEY_WRAP_IV 0xA6A6A6A6A6A6A6A6ull

struct apfs_cipher_key {
    uint32_t kind;
    uint32_t length;
    uint8_t* bytes;
};

struct apfs_digest {
    struct evp_md_ctx_st* context;
    uint64_t fed; /* bytes fed so far */
};

int apfs_cipher_key_new(uint32_t kind, apfs_cipher_key** out);
void apfs_cipher_key_init(apfs_cipher_key* key, uint32_t kind);
int apfs_cipher_key_set(apfs_cipher_key* key, const uint8_t* bytes, uint32_t length);
void apfs_cipher_key_clear(apfs_cipher_key* key);
void apfs_cipher_key_free(apfs_cipher_key* key);

int apfs_cipher_run(const apfs_cipher_key* key, const uint8_t* input, uint32_t input_length, uint8_t* output,
                    uint32_t* out_length, const uint8_t* iv, int encrypt);
int apfs_cipher_decrypt(const apfs_cipher_key* key, const uint8_t* input, uint32_t input_length,
                        uint8_t* output, uint32_t* out_length, const uint8_t* iv);
/* In place; unit i uses the tweak first_unit + i (little-endian, then eight zero bytes). */
int apfs_decrypt_units(const apfs_container* container, const apfs_cipher_key* key, uint64_t first_unit,
                       uint8_t* buffer, uint64_t unit_count);
int apfs_decrypt_blocks(const apfs_container* container, const apfs_cipher_key* key, uint64_t first_block,
                        uint8_t* buffer, uint64_t block_count);

int apfs_digest_new(uint32_t kind, apfs_digest** out);
int apfs_digest_reset(apfs_digest* digest);
int apfs_digest_update(apfs_digest* digest, const void* bytes, size_t length);
int apfs_digest_final(apfs_digest* digest, uint8_t out[APFS_SHA256_SIZE]);
void apfs_digest_free(apfs_digest* digest);

int apfs_hmac_sha256(uint32_t kind, const uint8_t* key, size_t key_length, const uint8_t* data,
                     size_t data_length, uint8_t out[APFS_SHA256_SIZE]);
int apfs_pbkdf2_sha256(const uint8_t* password, size_t password_length, const apfs_der_kek* kek, uint8_t* out,
                       size_t out_length);
/* kind APFS_CIPHER_AES128_CBC unwraps 16 bytes with a 16-byte KEK, APFS_CIPHER_AES256_CBC 32 bytes
 * with a 32-byte KEK; a_out receives the integrity value for the caller to check. */
int apfs_aes_key_unwrap(const uint8_t* wrapped, const uint8_t* kek, uint32_t kind, uint8_t* out,
                        uint64_t* a_out);

#ifdef __cplusplus
}
#endif
#endif
