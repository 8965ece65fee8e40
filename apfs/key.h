#ifndef VOLARIX_APFS_KEY_H
#define VOLARIX_APFS_KEY_H
/* Search keys: a view of (or a copy of) B-tree key bytes that compares itself by its kind. The
 * kind of the search key decides how the node keys it is compared with are read. */
#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define APFS_KEY_JKEY 0        /* j_key_t, or ok_oid of omap_key_t: first u64 only */
#define APFS_KEY_JKEY2 1       /* made as APFS_KEY_JKEY */
#define APFS_KEY_DREC_HASHED 2 /* j_drec_hashed_key_t */
#define APFS_KEY_FILE_EXTENT 3 /* j_file_extent_key_t */
#define APFS_KEY_XATTR 4       /* j_xattr_key_t */
#define APFS_KEY_U64_PAIR 5
#define APFS_KEY_JKEY_U64 6
#define APFS_KEY_U64_PAIR2 7
#define APFS_KEY_DREC 8 /* j_drec_key_t: the directory records of a volume that stores no name hash */
#define APFS_KEY_KIND_MAX 8

/* obj_id_and_type: object id in the low 60 bits, record type in the top 4. */
#define APFS_OBJ_ID_MASK 0x0FFFFFFFFFFFFFFFull
#define APFS_OBJ_TYPE_SHIFT 60
#define APFS_TYPE_INODE 3
#define APFS_TYPE_FILE_EXTENT 8
#define APFS_TYPE_DIR_REC 9

/* A hashed directory-record key with a 255-byte name and its terminator. */
#define APFS_DREC_HASHED_KEY_MAX 268
#define APFS_DREC_NAME_LEN_MASK 0x3FFu
#define APFS_DREC_HASH_SHIFT 10

struct apfs_key {
    const uint8_t* data;     /* key bytes; unused by kind 0, which keeps its value inline */
    uint32_t case_sensitive; /* directory-record names: 1 byte-exact after decoding, 0 folded */
    uint32_t kind;
    union {
        uint64_t id;                             /* kind 0: first u64 of the key */
        uint32_t owns_data;                      /* kind 4: data is freed with the key */
        uint8_t bytes[APFS_DREC_HASHED_KEY_MAX]; /* kinds 2, 3, 8: the key built by a maker */
    } u;
};

/* Re-points the key in *slot when it has this kind, else replaces it with a new one. */
int apfs_key_make(uint32_t kind, const void* data, apfs_key** slot);
void apfs_key_free(apfs_key* key);
void apfs_key_set_data(apfs_key* key, const void* p);

uint32_t apfs_key_size(const apfs_key* key);
/* Bytes a key of this kind needs before its size can be read. */
uint32_t apfs_key_head_size(uint32_t kind);
const uint8_t* apfs_key_bytes(const apfs_key* key);
uint32_t apfs_key_type(const apfs_key* key);
uint64_t apfs_key_object_id(const apfs_key* key);

/* Dispatch on a's kind; 1 or 0. */
int apfs_key_equal(const apfs_key* a, const apfs_key* b);
int apfs_key_greater(const apfs_key* a, const apfs_key* b);
int apfs_key_less_equal(const apfs_key* a, const apfs_key* b);

int apfs_bytes_compare(const uint8_t* a, uint16_t alen, const uint8_t* b, uint16_t blen);

/* Makers of search keys in caller-owned objects; nothing is allocated. */
void apfs_omap_key_make(apfs_key* key, uint64_t oid, uint32_t type);
void apfs_extent_key_make(apfs_key* key, uint64_t oid, uint64_t logical);
void apfs_drec_key_make(apfs_key* key, uint64_t dir_oid, uint32_t case_sensitive, uint32_t hash);
/* The unhashed key of one name, stored with its terminator; 0 when the name does not fit. */
int apfs_drec_name_key_make(apfs_key* key, uint64_t dir_oid, const uint8_t* name, uint32_t name_len);

#ifdef __cplusplus
}
#endif
#endif
