#ifndef VOLARIX_CONTAINER_H
#define VOLARIX_CONTAINER_H
/* The APFS container: superblock, newest checkpoint, checkpoint maps and object checksum. */
#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define APFS_MAX_VOLUMES 100
/* The format's own limits; anything outside them cannot be a container we can read safely. */
#define APFS_MIN_BLOCK_SIZE 4096
#define APFS_MAX_BLOCK_SIZE 65536

/* nx_superblock_t */
#define APFS_NX_MAGIC 0x4253584Eu /* "NXSB" */
#define APFS_NX_MAGIC_OFF 32
#define APFS_NX_BLOCK_SIZE 36
#define APFS_NX_BLOCK_COUNT 40
#define APFS_NX_UUID 72
#define APFS_NX_XP_DESC_BLOCKS 104
#define APFS_NX_XP_DESC_NONCONTIG 0x80000000u /* flag in nx_xp_desc_blocks: the area is not contiguous */
#define APFS_NX_XP_DESC_BASE 112
#define APFS_NX_XP_DESC_NEXT 128
#define APFS_NX_XP_DESC_INDEX 136
#define APFS_NX_XP_DESC_LEN 140
#define APFS_NX_OMAP_OID 160
#define APFS_NX_MAX_FILE_SYSTEMS 180
#define APFS_NX_FS_OID 184
#define APFS_NX_KEYLOCKER 1296 /* prange_t: start block u64, block count u64 */

/* checkpoint_map_phys_t and checkpoint_mapping_t */
#define APFS_CPM_FLAGS 32
#define APFS_CPM_COUNT 36
#define APFS_CPM_MAP 40
#define APFS_CPM_ENTRY_SIZE 40
#define APFS_CPM_TYPE 0
#define APFS_CPM_SUBTYPE 4
#define APFS_CPM_SIZE 8
#define APFS_CPM_FS_OID 16
#define APFS_CPM_OID 24
#define APFS_CPM_PADDR 32
/* Entries of one 4096-byte map block. */
#define APFS_CPM_ENTRIES_PER_BLOCK 101

/* A checkpoint superblock of the descriptor area. */
typedef struct apfs_checkpoint_ref {
    uint64_t xid;
    uint64_t block;
    uint32_t length; /* nx_xp_desc_len: the superblock and its map blocks */
    uint32_t room;   /* blocks between it and the area's superblock before it */
} apfs_checkpoint_ref;

struct apfs_container {
    FsReader* reader; /* not owned */
    uint32_t block_size;
    uint32_t block_shift;
    uint32_t max_volumes; /* always 100 */
    uint32_t opened;
    uint8_t* block0;     /* copy of block 0, block_size bytes */
    uint8_t* superblock; /* the newest checkpoint's superblock */
    uint32_t map_count;
    uint8_t* map_table; /* checkpoint_mapping_t entries as on disk */
    uint8_t volume_count;
    apfs_volume* volumes; /* volume_count records */
    uint64_t first_map_block;
    uint64_t superblock_block;
    apfs_tree* omap_tree;    /* the container object map */
    uint8_t volume_capacity; /* records allocated in volumes */
};

void apfs_container_init(apfs_container* container);
int apfs_container_open(apfs_container* container, const uint8_t* block0, FsReader* reader);
void apfs_container_release_tables(apfs_container* container);
void apfs_container_free(apfs_container* container);

uint64_t apfs_fletcher64(void* object, uint32_t length);
uint32_t apfs_fletcher_fold(uint64_t value);
int apfs_obj_checksum_ok(const void* object, uint32_t length);
int apfs_obj_verify(const apfs_container* container, const void* object, uint32_t block_count, uint32_t type);
int apfs_nx_superblock_ok(const apfs_container* container, const uint8_t* superblock);

int apfs_checkpoint_find_latest(apfs_container* container, const uint8_t* block0, uint64_t* out_block);
/* The superblocks of block 0's descriptor area that verify on their own and name that area, newest
 * first and, within a transaction, in block order; the caller frees *out. Fails when the area does
 * not lie on the device or the reader fails on the way. */
int apfs_checkpoint_list_valid(apfs_container* container, const uint8_t* block0, apfs_checkpoint_ref** out,
                               uint32_t* out_count);
int apfs_checkpoint_map_load(apfs_container* container);
int apfs_checkpoint_map_lookup(const apfs_container* container, uint64_t oid, uint32_t type, uint64_t* paddr,
                               uint32_t* size, uint32_t* not_found);

uint8_t apfs_log2(uint32_t value);
uint64_t apfs_container_block_count(const apfs_container* container);
uint64_t apfs_container_xid(const apfs_container* container);
uint32_t apfs_container_volume_count(const apfs_container* container);

#ifdef __cplusplus
}
#endif
#endif
