/* Keybags, the password unlock of an encrypted volume and decrypting reads of file data. */
#include "keybag.h"

#include "block.h"
#include "container.h"
#include "crypto.h"
#include "der.h"
#include "volume.h"

#include <openssl/crypto.h>
#include <stdlib.h>
#include <string.h>

/* Key data of a container-keybag entry that locates a volume keybag: start block, block count. */
#define KB_LOCATION_SIZE 16

/* Keybags take one block in practice; a larger count read from disk is refused before anything is
 * allocated for it. */
#define APFS_KEYBAG_MAX_BLOCKS 16u

#define AES_UNIT 512u

/* KEK and VEK flag words: 2 marks a 16-byte key, 16 a KEK derived for a hardware-bound volume
 * that the password alone still opens. */
#define KEY_FLAG_AES128 2u
#define KEK_FLAG_HW 16u

void apfs_keybag_walk_init(apfs_keybag_walk* walk, const uint8_t* keybag, size_t size) {
    walk->keybag = keybag;
    walk->size = size;
    walk->offset = APFS_KB_ENTRIES_OFF;
    walk->left = size >= APFS_KB_ENTRIES_OFF ? apfs_le16(keybag + APFS_KB_NKEYS_OFF) : 0;
}

int apfs_keybag_walk_next(apfs_keybag_walk* walk, apfs_keybag_entry* entry) {
    if (walk->left == 0)
        return 0;
    if (!apfs_range_ok(walk->offset, APFS_KE_KEYDATA_OFF, walk->size))
        return 0;
    const uint8_t* p = walk->keybag + walk->offset;
    uint16_t keylen = apfs_le16(p + APFS_KE_KEYLEN_OFF);
    if (!apfs_range_ok(walk->offset + APFS_KE_KEYDATA_OFF, keylen, walk->size))
        return 0;
    entry->uuid = p + APFS_KE_UUID_OFF;
    entry->tag = apfs_le16(p + APFS_KE_TAG_OFF);
    entry->keylen = keylen;
    entry->keydata = p + APFS_KE_KEYDATA_OFF;
    /* Entries are padded to 16 bytes; the format computes the step in 16 bits. */
    uint16_t step = (uint16_t)((uint16_t)(keylen + 39u) & 0xFFF0u);
    walk->offset += step;
    walk->left--;
    /* A step that wrapped to 0 would give the same entry again: nothing lies beyond it. */
    if (step == 0)
        walk->left = 0;
    return 1;
}

int apfs_keybag_find_volume(const uint8_t* keybag, size_t size, const uint8_t* uuid, apfs_keybag_entry* vek,
                            apfs_keybag_entry* location) {
    apfs_keybag_walk walk;
    apfs_keybag_walk_init(&walk, keybag, size);
    apfs_keybag_entry entry;
    int have_vek = 0, have_location = 0;
    while (!(have_vek && have_location) && apfs_keybag_walk_next(&walk, &entry)) {
        if (memcmp(entry.uuid, uuid, 16) != 0)
            continue;
        if (entry.tag == APFS_KB_TAG_WRAPPED_VEK) {
            *vek = entry;
            have_vek = 1;
        } else if (entry.tag == APFS_KB_TAG_VOLUME_KEYBAG) {
            *location = entry;
            have_location = 1;
        }
    }
    return have_vek && have_location;
}

int apfs_keybag_read(apfs_container* container, uint64_t start_block, uint8_t* buffer, uint64_t block_count,
                     const uint8_t* uuid) {
    if (!apfs_read_blocks(container, start_block, buffer, block_count))
        return 0;
    uint8_t key_bytes[32];
    memcpy(key_bytes, uuid, 16);
    memcpy(key_bytes + 16, uuid, 16);
    apfs_cipher_key* key = NULL;
    if (!apfs_cipher_key_new(APFS_CIPHER_AES128_XTS, &key) || !key)
        return 0;
    int ok = apfs_cipher_key_set(key, key_bytes, sizeof(key_bytes)) &&
             apfs_decrypt_blocks(container, key, start_block, buffer, block_count);
    apfs_cipher_key_free(key);
    return ok;
}

/* Reads and verifies the keybag of block_count blocks at start; the caller frees *out. */
static int keybag_load(apfs_container* container, uint64_t start, uint64_t block_count, const uint8_t* uuid,
                       uint32_t type, uint8_t** out) {
    *out = NULL;
    if (block_count == 0 || block_count > APFS_KEYBAG_MAX_BLOCKS)
        return 0;
    uint8_t* keybag = malloc((size_t)block_count * container->block_size);
    if (!keybag)
        return 0;
    *out = keybag;
    return apfs_keybag_read(container, start, keybag, block_count, uuid) &&
           apfs_obj_verify(container, keybag, (uint32_t)block_count, type);
}

int apfs_volume_unlock_password(apfs_container* container, uint8_t index, const char* password) {
    if (!password || !container->volumes || index >= container->volume_count)
        return 0;
    apfs_volume* volume = &container->volumes[index];
    const uint8_t* vol_uuid = apfs_volume_uuid(volume);
    if (!vol_uuid)
        return 0;
    const uint8_t* keylocker = container->superblock + APFS_NX_KEYLOCKER;
    uint64_t count = apfs_le64(keylocker + 8);
    uint8_t* keybag = NULL;
    int ok = 0;
    if (keybag_load(container, apfs_le64(keylocker), count, container->superblock + APFS_NX_UUID,
                    APFS_KEYBAG_TYPE_CONTAINER, &keybag)) {
        apfs_keybag_entry vek, location;
        if (apfs_keybag_find_volume(keybag, (size_t)count * container->block_size, vol_uuid, &vek, &location))
            ok = apfs_volume_unlock(volume, &vek, &location, password, strlen(password));
    }
    free(keybag);
    return ok;
}

int apfs_volume_unlock(apfs_volume* volume, const apfs_keybag_entry* vek_entry,
                       const apfs_keybag_entry* keybag_entry, const char* password, size_t password_length) {
    apfs_container* container = volume->container;
    volume->unlocked = 0;
    if (keybag_entry->keylen < KB_LOCATION_SIZE)
        return 0;
    uint64_t start = apfs_le64(keybag_entry->keydata);
    uint64_t count = apfs_le64(keybag_entry->keydata + 8);
    uint8_t* keybag = NULL;
    apfs_der_cursor cursor;
    apfs_der_header header;
    apfs_der_vek vek;
    apfs_der_kek kek;
    int parsed = 0;
    if (keybag_load(container, start, count, keybag_entry->uuid, APFS_KEYBAG_TYPE_VOLUME, &keybag)) {
        apfs_keybag_walk walk;
        apfs_keybag_walk_init(&walk, keybag, (size_t)count * container->block_size);
        apfs_keybag_entry entry;
        int have_record = 0;
        while (apfs_keybag_walk_next(&walk, &entry)) {
            if (entry.tag == APFS_KB_TAG_UNLOCK_RECORD) {
                have_record = 1;
                break;
            }
        }
        if (have_record) {
            apfs_der_set(&cursor, vek_entry->keydata, vek_entry->keylen);
            parsed = apfs_der_blob_header(&cursor, &header) && apfs_der_vek_blob(&cursor, &vek);
            apfs_der_set(&cursor, entry.keydata, entry.keylen);
            parsed = parsed && apfs_der_blob_header(&cursor, &header) && apfs_der_kek_blob(&cursor, &kek);
        }
    }
    free(keybag);
    if (!parsed)
        return 0;
    uint8_t volume_key[APFS_VOLUME_KEY_BYTES];
    int ok = apfs_unwrap_vek(&vek, &kek, password, password_length, volume_key);
    if (ok && !volume->key)
        ok = apfs_cipher_key_new(APFS_CIPHER_AES128_XTS, &volume->key) && volume->key;
    if (ok)
        ok = apfs_cipher_key_set(volume->key, volume_key, sizeof(volume_key));
    OPENSSL_cleanse(volume_key, sizeof(volume_key));
    OPENSSL_cleanse(&kek, sizeof(kek));
    if (ok)
        volume->unlocked = 1;
    return ok;
}

int apfs_unwrap_vek(const apfs_der_vek* vek, const apfs_der_kek* kek, const char* password,
                    size_t password_length, uint8_t out_key[APFS_VOLUME_KEY_BYTES]) {
    uint32_t kek_flags = apfs_le32(kek->flags);
    if (kek_flags != 0 && kek_flags != KEY_FLAG_AES128 && kek_flags != KEK_FLAG_HW)
        return 0;
    uint32_t vek_flags = apfs_le32(vek->flags);
    if (vek_flags != 0 && vek_flags != KEY_FLAG_AES128)
        return 0;
    uint8_t derived[32];
    uint8_t kek_key[32] = {0};
    uint64_t integrity = 0;
    int ok = apfs_pbkdf2_sha256((const uint8_t*)password, password_length, kek, derived, sizeof(derived));
    if (ok)
        ok = apfs_aes_key_unwrap(kek->wrapped_key, derived,
                                 kek_flags == KEY_FLAG_AES128 ? APFS_CIPHER_AES128_CBC
                                                              : APFS_CIPHER_AES256_CBC,
                                 kek_key, &integrity) &&
             integrity == APFS_KEY_WRAP_IV;
    if (ok && vek_flags == 0) {
        ok = apfs_aes_key_unwrap(vek->wrapped_key, kek_key, APFS_CIPHER_AES256_CBC, out_key, &integrity) &&
             integrity == APFS_KEY_WRAP_IV;
    } else if (ok) {
        ok = apfs_aes_key_unwrap(vek->wrapped_key, kek_key, APFS_CIPHER_AES128_CBC, out_key, &integrity) &&
             integrity == APFS_KEY_WRAP_IV;
        /* A 16-byte VEK gets its XTS tweak half from a digest of the key and the record's UUID. */
        apfs_digest* digest = NULL;
        uint8_t sum[32];
        ok = ok && apfs_digest_new(APFS_DIGEST_SHA256, &digest) && digest &&
             apfs_digest_update(digest, out_key, 16) && apfs_digest_update(digest, vek->uuid, 16) &&
             apfs_digest_final(digest, sum);
        if (digest)
            apfs_digest_free(digest);
        if (ok)
            memcpy(out_key + 16, sum, 16);
    }
    OPENSSL_cleanse(derived, sizeof(derived));
    OPENSSL_cleanse(kek_key, sizeof(kek_key));
    return ok;
}

int apfs_volume_read(apfs_volume* volume, uint64_t offset, void* buffer, uint64_t size, uint32_t decrypt,
                     uint64_t crypto_id) {
    apfs_container* container = volume->container;
    if (!volume->encrypted || !decrypt)
        return apfs_read_bytes(container, offset, buffer, size);
    if (!volume->key)
        return 0;
    if (!volume->work_buffer) {
        volume->work_buffer = malloc(AES_UNIT);
        if (!volume->work_buffer)
            return 0;
    }
    uint8_t* work = volume->work_buffer;
    uint8_t* out = buffer;
    uint32_t unit_shift = container->block_shift - 9;
    uint64_t unit = (crypto_id << unit_shift) + ((offset >> 9) & ((container->block_size - 1) >> 9));
    uint64_t head = offset % AES_UNIT;
    if (head != 0 && size != 0) {
        uint64_t n = AES_UNIT - head < size ? AES_UNIT - head : size;
        if (!apfs_read_bytes(container, offset - head, work, AES_UNIT) ||
            !apfs_decrypt_units(container, volume->key, unit, work, 1))
            return 0;
        memcpy(out, work + head, (size_t)n);
        unit++;
        offset += n;
        out += n;
        size -= n;
    }
    uint64_t whole = size / AES_UNIT;
    if (whole != 0) {
        if (!apfs_read_bytes(container, offset, out, whole * AES_UNIT) ||
            !apfs_decrypt_units(container, volume->key, unit, out, whole))
            return 0;
        unit += whole;
        offset += whole * AES_UNIT;
        out += whole * AES_UNIT;
        size -= whole * AES_UNIT;
    }
    if (size != 0) {
        if (!apfs_read_bytes(container, offset, work, AES_UNIT) ||
            !apfs_decrypt_units(container, volume->key, unit, work, 1))
            return 0;
        memcpy(out, work, (size_t)size);
    }
    return 1;
}
