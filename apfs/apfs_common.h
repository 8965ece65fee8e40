#ifndef VOLARIX_APFS_COMMON_H
#define VOLARIX_APFS_COMMON_H
/* Little-endian field access, shared constants and the reader's type names. Every on-disk field
 * is read through these accessors at its documented offset: blocks come straight from the device
 * and are never cast to structures. */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FsReader FsReader;
typedef struct apfs_container apfs_container;
typedef struct apfs_volume apfs_volume;
typedef struct apfs_mount apfs_mount;
typedef struct apfs_block apfs_block;
typedef struct apfs_cipher_key apfs_cipher_key;
typedef struct apfs_digest apfs_digest;
typedef struct apfs_inode apfs_inode;
typedef struct apfs_xattr apfs_xattr;
typedef struct apfs_extent apfs_extent;
typedef struct apfs_node apfs_node;
typedef struct apfs_key apfs_key;
typedef struct apfs_btree apfs_btree;
typedef struct apfs_tree apfs_tree;
typedef struct apfs_tree_level apfs_tree_level;
typedef struct apfs_cursor apfs_cursor;
typedef struct apfs_dir apfs_dir;
typedef struct apfs_dir_iter apfs_dir_iter;
typedef struct apfs_list apfs_list;

static inline uint16_t apfs_le16(const void* p) {
    const uint8_t* b = (const uint8_t*)p;
    return (uint16_t)(b[0] | (b[1] << 8));
}

static inline uint32_t apfs_le32(const void* p) {
    const uint8_t* b = (const uint8_t*)p;
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

static inline uint64_t apfs_le64(const void* p) {
    const uint8_t* b = (const uint8_t*)p;
    return (uint64_t)apfs_le32(b) | ((uint64_t)apfs_le32(b + 4) << 32);
}

static inline void apfs_put_le16(void* p, uint16_t v) {
    uint8_t* b = (uint8_t*)p;
    b[0] = (uint8_t)v;
    b[1] = (uint8_t)(v >> 8);
}

static inline void apfs_put_le32(void* p, uint32_t v) {
    uint8_t* b = (uint8_t*)p;
    for (int i = 0; i < 4; i++)
        b[i] = (uint8_t)(v >> (8 * i));
}

static inline void apfs_put_le64(void* p, uint64_t v) {
    uint8_t* b = (uint8_t*)p;
    for (int i = 0; i < 8; i++)
        b[i] = (uint8_t)(v >> (8 * i));
}

/* 1 when [offset, offset + length) lies inside [0, size); written so that no sum can wrap. */
static inline int apfs_range_ok(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

/* Volume index that stands for the container itself: its objects are never decrypted. */
#define APFS_VOLUME_CONTAINER 255

/* obj_phys_t */
#define APFS_OBJ_CKSUM 0
#define APFS_OBJ_OID 8
#define APFS_OBJ_XID 16
#define APFS_OBJ_TYPE 24
#define APFS_OBJ_SUBTYPE 28
#define APFS_OBJ_PHYS_SIZE 32
#define APFS_OBJECT_TYPE_MASK 0xFFFFu

#define APFS_OBJECT_TYPE_INVALID 0u
#define APFS_OBJECT_TYPE_NX_SUPERBLOCK 1u
#define APFS_OBJECT_TYPE_BTREE 2u
#define APFS_OBJECT_TYPE_BTREE_NODE 3u
#define APFS_OBJECT_TYPE_OMAP 11u
#define APFS_OBJECT_TYPE_CHECKPOINT_MAP 12u
#define APFS_OBJECT_TYPE_FS 13u
#define APFS_OBJECT_TYPE_FSTREE 14u

/* The flag word shared by node searches and tree iterators. */
#define APFS_BT_LE 1
#define APFS_BT_EQ 2
#define APFS_BT_BEFORE 4
#define APFS_BT_GE 8
#define APFS_BT_ANY_TYPE 16

static inline uint32_t apfs_obj_type(const void* obj) {
    return apfs_le32((const uint8_t*)obj + APFS_OBJ_TYPE) & APFS_OBJECT_TYPE_MASK;
}

#ifdef __cplusplus
}
#endif
#endif
