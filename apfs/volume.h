/* Volume records of a container, the choice of the data volume and the mount of one volume. */
#ifndef VOLARIX_APFS_VOLUME_H
#define VOLARIX_APFS_VOLUME_H

#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* apfs_superblock_t */
#define APFS_SB_MAGIC 0x42535041u /* "APSB" */
#define APFS_SB_MAGIC_OFF 32
#define APFS_SB_INCOMPAT_OFF 56
#define APFS_SB_QUOTA_OFF 80
#define APFS_SB_ALLOC_OFF 88
#define APFS_SB_OMAP_OID_OFF 128
#define APFS_SB_ROOT_TREE_OID_OFF 136
#define APFS_SB_VOL_UUID_OFF 240
#define APFS_SB_ROLE_OFF 964
#define APFS_INCOMPAT_CASE_INSENSITIVE 0x1u
#define APFS_INCOMPAT_NORMALIZATION_INSENSITIVE 0x8u

/* omap_val_t flag of an object stored encrypted */
#define APFS_OMAP_VAL_ENCRYPTED 4u

/* Ids of inodes carry their volume's index in the top 4 bits. */
#define APFS_ID_VOLUME_SHIFT 60
/* So an index above 15 would name another volume's inodes and is never mounted. */
#define APFS_MAX_VOLUME_INDEX 15
#define APFS_ROOT_DIR_OID 2u

struct apfs_volume {
    apfs_container* container;
    uint64_t superblock_block;
    uint8_t* superblock;      /* block-size copy of the volume superblock */
    uint32_t superblock_size; /* the block size it was allocated for */
    uint64_t root_tree_block; /* physical block of the file-system tree's root node */
    uint8_t index;
    uint32_t encrypted; /* the file-system tree's object-map value has flag 4 */
    uint32_t unlocked;
    uint8_t* work_buffer; /* 512 bytes for decrypting reads, allocated on first use */
    apfs_cipher_key* key;
    uint32_t mounted;
};

void apfs_volume_init(apfs_volume* volume);
void apfs_volume_bind(apfs_volume* volume, apfs_container* container, uint8_t index);
void apfs_volume_free(apfs_volume* volume);
uint32_t apfs_volume_is_mounted(const apfs_volume* volume);
void apfs_volume_set_mounted(apfs_volume* volume, uint32_t flag);
const uint8_t* apfs_volume_uuid(const apfs_volume* volume);
int apfs_volume_case_sensitive(const apfs_volume* volume);
/* 1 when directory records carry a name hash: a volume that folds case or normalisation. */
int apfs_volume_names_hashed(const apfs_volume* volume);
int apfs_volume_superblock_ok(const apfs_volume* volume, const uint8_t* superblock);
int apfs_volume_load(apfs_volume* volume, uint64_t block, apfs_tree* omap_tree);
int apfs_volume_open_fs_tree(apfs_volume* volume, apfs_tree* omap_tree, apfs_tree* fs_tree);
int apfs_volume_mount(apfs_container* container, uint8_t index, const char* password, apfs_tree* omap_tree,
                      apfs_tree* fs_tree);

/* The volume record at index when it is mounted, else NULL. */
apfs_volume* apfs_container_volume(apfs_container* container, uint8_t index);
/* Index of the first volume whose role is none or data; 0 when none qualifies. */
uint32_t apfs_container_find_data_volume(apfs_container* container);

#ifdef __cplusplus
}
#endif

#endif
