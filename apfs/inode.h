/* Inodes of a mounted volume: the inode record with its extended fields, the extended attributes,
 * the file extents and reads of data streams through them. */
#ifndef VOLARIX_APFS_INODE_H
#define VOLARIX_APFS_INODE_H

#include "apfs_common.h"
#include "key.h"
#include "list.h"
#include "tree.h"

#ifdef __cplusplus
extern "C" {
#endif

/* j_key_t record type of extended attributes */
#define APFS_TYPE_XATTR 4

/* j_inode_val_t */
#define APFS_INODE_PRIVATE_ID_OFF 8
#define APFS_INODE_INTERNAL_FLAGS_OFF 48
#define APFS_INODE_NCHILDREN_OFF 56
#define APFS_INODE_BSD_FLAGS_OFF 68
#define APFS_INODE_MODE_OFF 80
#define APFS_INODE_UNCOMPRESSED_SIZE_OFF 84
#define APFS_INODE_XFIELDS_OFF 92
#define APFS_INODE_MIN_COPY 100
#define APFS_INODE_HAS_UNCOMPRESSED_SIZE 0x40000ull
#define APFS_INODE_BSD_COMPRESSED 0x20u
#define APFS_MODE_TYPE 0xF000u
#define APFS_MODE_SYMLINK 0xA000u

/* extended-field types */
#define APFS_INO_EXT_TYPE_NAME 4u
#define APFS_INO_EXT_TYPE_DSTREAM 8u
#define APFS_INO_EXT_TYPE_SPARSE_BYTES 13u
#define APFS_INO_EXT_TYPE_RDEV 14u

#define APFS_XATTR_NAME_SYMLINK "com.apple.fs.symlink"

struct apfs_inode {
    uint64_t id; /* (volume index << 60) | object id */
    uint64_t refcount;
    uint64_t size;
    apfs_container* container;
    apfs_volume* volume;
    uint8_t* value;     /* copy of the inode value, at least 100 bytes, zero beyond the record */
    uint32_t value_len; /* bytes of the record itself */
    const uint8_t* data_stream;
    uint64_t sparse_bytes;
    const uint8_t* device;
    const uint8_t* name;
    uint16_t name_len;
    uint8_t volume_index;
    apfs_list xattrs;
};

struct apfs_xattr {
    uint64_t stream_oid; /* 0 for an inline value */
    uint64_t size;
    apfs_list link;
    uint16_t flags;
    uint16_t name_len; /* with the terminating NUL */
    uint8_t* data;     /* the name, then the inline value */
};

#define APFS_EXTENT_NO_BLOCK 0xFFFFFFFFFFFFFFFFull

struct apfs_extent {
    uint64_t oid;
    uint64_t logical_block;
    uint64_t phys_block; /* all ones when no data is mapped */
    uint64_t length;     /* in blocks */
    uint64_t crypto_id;
    uint32_t decrypt;
    const uint8_t* value;
};

/* 1 when the file-system tree was opened: inode loads and name searches need its cursor. */
static inline int apfs_fs_tree_ready(const apfs_tree* tree) {
    return tree && tree->head.root && tree->cursor;
}

void apfs_inode_init(apfs_inode* inode);
int apfs_inode_open(apfs_container* container, uint64_t id, apfs_inode** out, uint32_t* not_found,
                    apfs_tree* tree);
int apfs_inode_load(apfs_inode* inode, apfs_container* container, uint64_t id, uint32_t* not_found,
                    apfs_tree* tree);
void apfs_inode_free(apfs_inode* inode);
void apfs_inode_release(apfs_inode* inode);
uint64_t apfs_inode_oid(const apfs_inode* inode);
uint16_t apfs_inode_mode(const apfs_inode* inode);
int apfs_inode_is_compressed(const apfs_inode* inode);

void apfs_xattr_init(apfs_xattr* xattr);
int apfs_xattr_set(apfs_xattr* xattr, const uint8_t* name, uint16_t name_len, uint16_t flags,
                   const uint8_t* xdata, uint16_t xdata_len);
void apfs_xattr_free_data(apfs_xattr* xattr);
int apfs_inode_get_xattr(apfs_inode* inode, const char* name, uint32_t name_len, void* buffer,
                         uint64_t buffer_size, uint64_t* out_size, uint32_t* too_small, uint32_t* not_found,
                         apfs_tree* tree);

void apfs_extent_init(apfs_extent* extent);
int apfs_inode_extent_at(apfs_inode* inode, uint64_t oid, uint64_t offset, apfs_extent* out,
                         uint32_t* not_found, apfs_tree* tree);
int apfs_inode_map_extent(apfs_inode* inode, uint64_t oid, uint64_t first_block, uint64_t block_count,
                          apfs_extent* out, apfs_tree* tree);
int apfs_inode_read_stream(apfs_inode* inode, uint64_t oid, void* buffer, uint64_t size, apfs_tree* tree);

#ifdef __cplusplus
}
#endif

#endif
