/* Keybags, the password unlock of an encrypted volume and decrypting reads of file data. */
#ifndef VOLARIX_APFS_KEYBAG_H
#define VOLARIX_APFS_KEYBAG_H

#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#include "der.h"

#define APFS_KEYBAG_TYPE_CONTAINER 0x6B657973u /* "keys" */
#define APFS_KEYBAG_TYPE_VOLUME 0x72656373u    /* "recs" */

/* kb_locker_t at offset 32 of the keybag object */
#define APFS_KB_NKEYS_OFF 34
#define APFS_KB_ENTRIES_OFF 48
/* keybag_entry_t */
#define APFS_KE_UUID_OFF 0
#define APFS_KE_TAG_OFF 16
#define APFS_KE_KEYLEN_OFF 18
#define APFS_KE_KEYDATA_OFF 24

#define APFS_KB_TAG_WRAPPED_VEK 2u
#define APFS_KB_TAG_VOLUME_KEYBAG 3u /* container keybag: where the volume keybag lies */
#define APFS_KB_TAG_UNLOCK_RECORD 3u /* volume keybag: the password-wrapped KEK */

#define APFS_VOLUME_KEY_BYTES 32

/* One keybag entry, checked to lie inside its keybag; the pointers point into the keybag buffer. */
typedef struct apfs_keybag_entry {
    const uint8_t* uuid;
    uint16_t tag;
    uint16_t keylen;
    const uint8_t* keydata;
} apfs_keybag_entry;

/* A cursor over the kl_nkeys entries of a decrypted keybag of size bytes. */
typedef struct apfs_keybag_walk {
    const uint8_t* keybag;
    size_t size;
    size_t offset;
    uint32_t left;
} apfs_keybag_walk;

void apfs_keybag_walk_init(apfs_keybag_walk* walk, const uint8_t* keybag, size_t size);
/* The next entry; 0 when the entries are used up or the next one does not lie inside the keybag. */
int apfs_keybag_walk_next(apfs_keybag_walk* walk, apfs_keybag_entry* entry);

/* The container keybag's wrapped VEK (tag 2) and volume-keybag location (tag 3) of the volume with
 * this UUID; a later entry of a tag replaces an earlier one. 1 when both are there. */
int apfs_keybag_find_volume(const uint8_t* keybag, size_t size, const uint8_t* uuid, apfs_keybag_entry* vek,
                            apfs_keybag_entry* location);
int apfs_keybag_read(apfs_container* container, uint64_t start_block, uint8_t* buffer, uint64_t block_count,
                     const uint8_t* uuid);
int apfs_volume_unlock_password(apfs_container* container, uint8_t index, const char* password);
int apfs_volume_unlock(apfs_volume* volume, const apfs_keybag_entry* vek_entry,
                       const apfs_keybag_entry* keybag_entry, const char* password, size_t password_length);
int apfs_unwrap_vek(const apfs_der_vek* vek, const apfs_der_kek* kek, const char* password,
                    size_t password_length, uint8_t out_key[APFS_VOLUME_KEY_BYTES]);
int apfs_volume_read(apfs_volume* volume, uint64_t offset, void* buffer, uint64_t size, uint32_t decrypt,
                     uint64_t crypto_id);

#ifdef __cplusplus
}
#endif

#endif
