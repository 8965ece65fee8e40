/* Opening an APFS container: block 0, the newest checkpoint, its maps, the container object map
 * and the volume table. */
#include "container.h"

#include "block.h"
#include "fs_reader.h"
#include "tree.h"
#include "volume.h"

#include <stdlib.h>
#include <string.h>

#define BLOCK0_COPY_SIZE 4096

void apfs_container_init(apfs_container* container) {
    memset(container, 0, sizeof *container);
}

static int is_power_of_two(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

int apfs_nx_superblock_ok(const apfs_container* container, const uint8_t* superblock) {
    uint32_t block_size = container->block_size;
    /* Block sizes outside the format's limits are refused: fields up to nx_keylocker must lie in
     * the block, and the byte shift must agree with the size. */
    return apfs_le32(superblock + APFS_NX_MAGIC_OFF) == APFS_NX_MAGIC &&
           apfs_obj_type(superblock) == APFS_OBJECT_TYPE_NX_SUPERBLOCK && is_power_of_two(block_size) &&
           block_size >= APFS_MIN_BLOCK_SIZE && block_size <= APFS_MAX_BLOCK_SIZE &&
           apfs_le32(superblock + APFS_NX_BLOCK_SIZE) == block_size &&
           apfs_le64(superblock + APFS_NX_BLOCK_COUNT) - 1 <= 0xFFFFFFFEull &&
           apfs_le32(superblock + APFS_NX_MAX_FILE_SYSTEMS) - 1 <= 99u &&
           apfs_obj_checksum_ok(superblock, block_size);
}

/* Block 0 as the caller read it (4096 bytes), or read again whole when its own block size says
 * it is larger. */
static int load_block0(apfs_container* container, const uint8_t* block0) {
    free(container->block0);
    container->block0 = malloc(BLOCK0_COPY_SIZE);
    if (!container->block0)
        return 0;
    memcpy(container->block0, block0, BLOCK0_COPY_SIZE);
    uint32_t block_size = apfs_le32(block0 + APFS_NX_BLOCK_SIZE);
    container->block_size = block_size;
    if (apfs_le32(block0 + APFS_NX_MAGIC_OFF) != APFS_NX_MAGIC ||
        apfs_obj_type(block0) != APFS_OBJECT_TYPE_NX_SUPERBLOCK || !is_power_of_two(block_size) ||
        block_size == BLOCK0_COPY_SIZE)
        return 1;
    if (block_size < APFS_MIN_BLOCK_SIZE || block_size > APFS_MAX_BLOCK_SIZE)
        return 1; /* refused by the superblock check that follows */
    uint8_t* whole = malloc(block_size);
    if (!whole)
        return 0;
    free(container->block0);
    container->block0 = whole;
    return apfs_read_bytes(container, 0, whole, block_size);
}

static void locate_first_map_block(apfs_container* container) {
    const uint8_t* sb = container->superblock;
    const uint8_t* b0 = container->block0;
    uint64_t first = container->superblock_block - apfs_le32(sb + APFS_NX_XP_DESC_LEN) + 1;
    if (first > apfs_le64(b0 + APFS_NX_XP_DESC_BASE) + apfs_le32(b0 + APFS_NX_XP_DESC_BLOCKS) ||
        first < apfs_le64(sb + APFS_NX_XP_DESC_BASE))
        first += apfs_le32(sb + APFS_NX_XP_DESC_BLOCKS);
    container->first_map_block = first;
}

static int open_object_map(apfs_container* container) {
    if (container->omap_tree) {
        apfs_tree_free(container->omap_tree);
        free(container->omap_tree);
    }
    container->omap_tree = malloc(sizeof *container->omap_tree);
    if (!container->omap_tree)
        return 0;
    apfs_tree_init(container->omap_tree, container);
    return apfs_tree_open(container->omap_tree, apfs_le64(container->superblock + APFS_NX_OMAP_OID),
                          APFS_VOLUME_CONTAINER, 1, NULL, 0);
}

/* The checkpoint whose superblock is at block, with everything the open takes from it checked:
 * the superblock, its map blocks and the container object map. */
static int open_checkpoint(apfs_container* container, uint64_t block) {
    container->superblock_block = block;
    if (!apfs_read_blocks(container, block, container->superblock, 1) ||
        !apfs_nx_superblock_ok(container, container->superblock))
        return 0;
    locate_first_map_block(container);
    return apfs_checkpoint_map_load(container) && open_object_map(container);
}

/* A write torn by a power loss leaves the newest checkpoint unreadable while the older ones of the
 * area still describe the container as it was: the newest of those that verifies is taken. */
static int open_older_checkpoint(apfs_container* container, int tried, uint64_t tried_block) {
    apfs_checkpoint_ref* refs = NULL;
    uint32_t count = 0;
    if (!apfs_checkpoint_list_valid(container, container->block0, &refs, &count))
        return 0;
    int ok = 0;
    for (uint32_t i = 0; !ok && i < count && !container->reader->failed; i++) {
        /* A checkpoint's map blocks lie just before its superblock, so one whose map blocks would
         * reach back over another listed superblock cannot verify and is not tried. The map blocks
         * of the rest lie apart: the tries together read each block of the area at most once
         * more, besides their object maps. */
        if ((tried && refs[i].block == tried_block) || refs[i].length == 0 ||
            refs[i].length - 1 > refs[i].room)
            continue;
        ok = open_checkpoint(container, refs[i].block);
    }
    free(refs);
    return ok;
}

static int load_checkpoint(apfs_container* container, uint32_t previous_block_size) {
    if (!apfs_block_buffer(container, &container->superblock, &previous_block_size))
        return 0;
    uint64_t block = 0;
    int found = apfs_checkpoint_find_latest(container, container->block0, &block);
    if (found && open_checkpoint(container, block))
        return 1;
    return open_older_checkpoint(container, found, block);
}

/* The volume table has room for volume_capacity records; a later open with more volumes grows it
 * rather than index past its end. */
static int load_volume_table(apfs_container* container) {
    uint64_t count = apfs_btree_record_count(container->omap_tree);
    if (count < 1 || count > APFS_MAX_VOLUMES)
        return 0;
    if (count > container->volume_capacity) {
        apfs_volume* table = realloc(container->volumes, (size_t)count * sizeof *table);
        if (!table)
            return 0;
        container->volumes = table;
        for (uint32_t i = container->volume_capacity; i < count; i++) {
            apfs_volume_init(&table[i]);
            apfs_volume_bind(&table[i], container, (uint8_t)i);
        }
        container->volume_capacity = (uint8_t)count;
    }
    container->volume_count = (uint8_t)count;
    return 1;
}

int apfs_container_open(apfs_container* container, const uint8_t* block0, FsReader* reader) {
    if (!reader || !block0)
        return 0;
    uint32_t previous_block_size = container->block_size;
    container->opened = 0;
    container->reader = reader;
    if (!load_block0(container, block0))
        return 0;
    container->block_shift = apfs_log2(container->block_size);
    container->max_volumes = APFS_MAX_VOLUMES;
    if (!apfs_nx_superblock_ok(container, container->block0))
        return 0;
    if (!load_checkpoint(container, previous_block_size) || !load_volume_table(container))
        return 0;
    if (reader->length / container->block_size < apfs_container_block_count(container))
        return 0;
    container->opened = 1;
    return 1;
}

void apfs_container_release_tables(apfs_container* container) {
    free(container->block0);
    container->block0 = NULL;
    free(container->superblock);
    container->superblock = NULL;
    free(container->map_table);
    container->map_table = NULL;
    container->map_count = 0;
    for (uint32_t i = 0; container->volumes && i < container->volume_capacity; i++)
        apfs_volume_free(&container->volumes[i]);
    free(container->volumes);
    container->volumes = NULL;
    container->volume_count = 0;
    container->volume_capacity = 0;
}

void apfs_container_free(apfs_container* container) {
    if (container->omap_tree) {
        apfs_tree_free(container->omap_tree);
        free(container->omap_tree);
        container->omap_tree = NULL;
    }
    apfs_container_release_tables(container);
    container->opened = 0;
}

uint64_t apfs_container_block_count(const apfs_container* container) {
    return container->superblock ? apfs_le64(container->superblock + APFS_NX_BLOCK_COUNT) : 0;
}

uint64_t apfs_container_xid(const apfs_container* container) {
    return container->superblock ? apfs_le64(container->superblock + APFS_OBJ_XID) : 0;
}

uint32_t apfs_container_volume_count(const apfs_container* container) {
    return container->volume_count;
}
