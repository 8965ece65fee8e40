#include "crypto.h"

#include "container.h"

#include <limits.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdlib.h>
#include <string.h>

#define PBKDF2_SALT_SIZE 16
#define KEY_WRAP_BLOCK 8
/* The count comes from the disk; far above what macOS writes, low enough that an unlock ends. */
#define PBKDF2_MAX_ITERATIONS 10000000u

int apfs_cipher_key_new(uint32_t kind, apfs_cipher_key** out) {
    *out = malloc(sizeof **out);
    if (!*out)
        return 0;
    apfs_cipher_key_init(*out, kind);
    return 1;
}

void apfs_cipher_key_init(apfs_cipher_key* key, uint32_t kind) {
    key->kind = kind;
    key->length = 0;
    key->bytes = NULL;
}

int apfs_cipher_key_set(apfs_cipher_key* key, const uint8_t* bytes, uint32_t length) {
    uint8_t* copy = malloc(length ? length : 1);
    if (!copy)
        return 0;
    memcpy(copy, bytes, length);
    apfs_cipher_key_clear(key);
    key->bytes = copy;
    key->length = length;
    return 1;
}

void apfs_cipher_key_clear(apfs_cipher_key* key) {
    if (key->bytes) {
        /* Volume keys should not linger in freed heap memory. */
        OPENSSL_cleanse(key->bytes, key->length);
        free(key->bytes);
    }
    key->bytes = NULL;
    key->length = 0;
}

void apfs_cipher_key_free(apfs_cipher_key* key) {
    if (!key)
        return;
    apfs_cipher_key_clear(key);
    free(key);
}

static const EVP_CIPHER* cipher_of(uint32_t kind, uint32_t* key_length) {
    switch (kind) {
    case APFS_CIPHER_AES128_CBC:
        *key_length = 16;
        return EVP_aes_128_cbc();
    case APFS_CIPHER_AES192_CBC:
        *key_length = 24;
        return EVP_aes_192_cbc();
    case APFS_CIPHER_AES256_CBC:
        *key_length = 32;
        return EVP_aes_256_cbc();
    case APFS_CIPHER_AES128_XTS:
        *key_length = 32;
        return EVP_aes_128_xts();
    default:
        return NULL;
    }
}

int apfs_cipher_run(const apfs_cipher_key* key, const uint8_t* input, uint32_t input_length, uint8_t* output,
                    uint32_t* out_length, const uint8_t* iv, int encrypt) {
    uint32_t needed = 0;
    const EVP_CIPHER* cipher = cipher_of(key->kind, &needed);
    if (!cipher || !key->bytes || key->length < needed || input_length > INT_MAX)
        return 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx)
        return 0;
    int n = 0, m = 0;
    int ok = EVP_CipherInit_ex(ctx, cipher, NULL, key->bytes, iv, encrypt) == 1;
    /* The callers run CBC on whole blocks only (one block of a key unwrap). OpenSSL 3 keeps the
     * last block of a padded decryption back until the final call, so padding is switched off to
     * have the block in the output at once. */
    if (ok && EVP_CIPHER_mode(cipher) == EVP_CIPH_CBC_MODE)
        ok = EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
    if (ok)
        ok = EVP_CipherUpdate(ctx, output, &n, input, (int)input_length) == 1;
    if (ok && n != 0)
        ok = EVP_CipherFinal_ex(ctx, output + n, &m) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (out_length)
        *out_length = ok ? (uint32_t)(n + m) : 0;
    return ok;
}

int apfs_cipher_decrypt(const apfs_cipher_key* key, const uint8_t* input, uint32_t input_length,
                        uint8_t* output, uint32_t* out_length, const uint8_t* iv) {
    return apfs_cipher_run(key, input, input_length, output, out_length, iv, 0);
}

int apfs_decrypt_units(const apfs_container* container, const apfs_cipher_key* key, uint64_t first_unit,
                       uint8_t* buffer, uint64_t unit_count) {
    (void)container;
    uint8_t tweak[16];
    memset(tweak, 0, sizeof tweak);
    for (uint64_t i = 0; i < unit_count; i++) {
        apfs_put_le64(tweak, first_unit + i);
        uint8_t* unit = buffer + i * APFS_CRYPTO_UNIT;
        if (!apfs_cipher_decrypt(key, unit, APFS_CRYPTO_UNIT, unit, NULL, tweak))
            return 0;
    }
    return 1;
}

int apfs_decrypt_blocks(const apfs_container* container, const apfs_cipher_key* key, uint64_t first_block,
                        uint8_t* buffer, uint64_t block_count) {
    if (container->block_shift < 9)
        return 0;
    uint32_t units_shift = container->block_shift - 9;
    return apfs_decrypt_units(container, key, first_block << units_shift, buffer, block_count << units_shift);
}

int apfs_digest_new(uint32_t kind, apfs_digest** out) {
    if (kind != APFS_DIGEST_SHA256 || !out)
        return 0;
    *out = malloc(sizeof **out);
    if (!*out)
        return 0;
    (*out)->context = NULL;
    (*out)->fed = 0;
    apfs_digest_reset(*out);
    return 1;
}

int apfs_digest_reset(apfs_digest* digest) {
    EVP_MD_CTX_free(digest->context);
    digest->fed = 0;
    digest->context = EVP_MD_CTX_new();
    return digest->context && EVP_DigestInit_ex(digest->context, EVP_sha256(), NULL) != 0;
}

int apfs_digest_update(apfs_digest* digest, const void* bytes, size_t length) {
    if (!digest->context)
        return 0;
    digest->fed += length;
    return EVP_DigestUpdate(digest->context, bytes, length) == 1;
}

int apfs_digest_final(apfs_digest* digest, uint8_t out[APFS_SHA256_SIZE]) {
    unsigned int size = 0;
    return digest->context && EVP_DigestFinal(digest->context, out, &size) == 1;
}

void apfs_digest_free(apfs_digest* digest) {
    if (!digest)
        return;
    EVP_MD_CTX_free(digest->context);
    free(digest);
}

int apfs_hmac_sha256(uint32_t kind, const uint8_t* key, size_t key_length, const uint8_t* data,
                     size_t data_length, uint8_t out[APFS_SHA256_SIZE]) {
    unsigned int size = 0;
    if (kind != APFS_DIGEST_SHA256 || key_length > INT_MAX)
        return 0;
    return HMAC(EVP_sha256(), key, (int)key_length, data, data_length, out, &size) == out;
}

int apfs_pbkdf2_sha256(const uint8_t* password, size_t password_length, const apfs_der_kek* kek, uint8_t* out,
                       size_t out_length) {
    uint8_t salt[PBKDF2_SALT_SIZE + 4], u[APFS_SHA256_SIZE], t[APFS_SHA256_SIZE];
    if (kek->iterations > PBKDF2_MAX_ITERATIONS)
        return 0;
    int ok = 1;
    memcpy(salt, kek->salt, PBKDF2_SALT_SIZE);
    for (uint32_t block = 1; ok && out_length > 0; block++) {
        salt[PBKDF2_SALT_SIZE] = (uint8_t)(block >> 24);
        salt[PBKDF2_SALT_SIZE + 1] = (uint8_t)(block >> 16);
        salt[PBKDF2_SALT_SIZE + 2] = (uint8_t)(block >> 8);
        salt[PBKDF2_SALT_SIZE + 3] = (uint8_t)block;
        ok = apfs_hmac_sha256(APFS_DIGEST_SHA256, password, password_length, salt, sizeof salt, u);
        memcpy(t, u, sizeof t);
        for (uint64_t made = 1; ok && made < kek->iterations; made++) {
            ok = apfs_hmac_sha256(APFS_DIGEST_SHA256, password, password_length, u, sizeof u, u);
            for (size_t i = 0; i < sizeof t; i++)
                t[i] ^= u[i];
        }
        if (ok) {
            size_t n = out_length < sizeof t ? out_length : sizeof t;
            memcpy(out, t, n);
            out += n;
            out_length -= n;
        }
    }
    OPENSSL_cleanse(u, sizeof u);
    OPENSSL_cleanse(t, sizeof t);
    return ok;
}

static uint64_t be64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = (v << 8) | p[i];
    return v;
}

static void put_be64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; i--) {
        p[i] = (uint8_t)v;
        v >>= 8;
    }
}

int apfs_aes_key_unwrap(const uint8_t* wrapped, const uint8_t* kek, uint32_t kind, uint8_t* out,
                        uint64_t* a_out) {
    uint32_t n, kek_length;
    if (kind == APFS_CIPHER_AES128_CBC) {
        n = 2;
        kek_length = 16;
    } else if (kind == APFS_CIPHER_AES256_CBC) {
        n = 4;
        kek_length = 32;
    } else {
        return 0;
    }
    apfs_cipher_key key;
    apfs_cipher_key_init(&key, kind);
    if (!apfs_cipher_key_set(&key, kek, kek_length))
        return 0;
    uint8_t r[4 * KEY_WRAP_BLOCK], b[16];
    uint64_t a = be64(wrapped);
    memcpy(r, wrapped + KEY_WRAP_BLOCK, n * KEY_WRAP_BLOCK);
    int ok = 1;
    for (uint64_t t = 6ull * n; ok && t >= 1;) {
        for (uint32_t i = n; ok && i >= 1; i--, t--) {
            uint8_t block[16];
            put_be64(block, a ^ t);
            memcpy(block + KEY_WRAP_BLOCK, r + (i - 1) * KEY_WRAP_BLOCK, KEY_WRAP_BLOCK);
            ok = apfs_cipher_decrypt(&key, block, sizeof block, b, NULL, NULL);
            if (ok) {
                a = be64(b);
                memcpy(r + (i - 1) * KEY_WRAP_BLOCK, b + KEY_WRAP_BLOCK, KEY_WRAP_BLOCK);
            }
        }
    }
    memcpy(out, r, n * KEY_WRAP_BLOCK);
    if (a_out)
        *a_out = a;
    OPENSSL_cleanse(r, sizeof r);
    OPENSSL_cleanse(b, sizeof b);
    apfs_cipher_key_clear(&key);
    return ok;
}
