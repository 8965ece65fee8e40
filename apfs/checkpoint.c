/* The checkpoint descriptor area: finding the newest checkpoint superblock and loading the
 * checkpoint-mapping table of ephemeral objects. */
#include "block.h"
#include "container.h"
#include "fs_reader.h"

#include <stdlib.h>
#include <string.h>

/* Entries a map block of this size can hold (101 in a 4096-byte block). */
static uint32_t map_entries_per_block(uint32_t block_size) {
    return (block_size - APFS_CPM_MAP) / APFS_CPM_ENTRY_SIZE;
}

/* The descriptor area that block 0 names. It must lie inside the container and on the device, so
 * that a walk over it never runs past the partition. A non-contiguous area is not walked by this
 * reader, and its flag is refused on its own: read as part of the count, it would pass the range
 * checks on a device of more than 2^31 blocks and send the walks over as many. */
static int descriptor_area(const apfs_container* container, const uint8_t* block0, uint64_t* base,
                           uint32_t* blocks) {
    *base = apfs_le64(block0 + APFS_NX_XP_DESC_BASE);
    *blocks = apfs_le32(block0 + APFS_NX_XP_DESC_BLOCKS);
    return !(*blocks & APFS_NX_XP_DESC_NONCONTIG) &&
           apfs_range_ok(*base, *blocks, apfs_le64(block0 + APFS_NX_BLOCK_COUNT)) &&
           apfs_range_ok(*base, *blocks, container->reader->length / container->block_size);
}

int apfs_checkpoint_find_latest(apfs_container* container, const uint8_t* block0, uint64_t* out_block) {
    uint64_t base;
    uint32_t blocks;
    uint32_t block_size = container->block_size;
    if (!descriptor_area(container, block0, &base, &blocks))
        return 0;
    uint8_t* scratch = malloc(block_size);
    if (!scratch)
        return 0;
    uint64_t i =
        base + apfs_le32(block0 + APFS_NX_XP_DESC_INDEX) + apfs_le32(block0 + APFS_NX_XP_DESC_LEN) - 1;
    if (i < base)
        i = base;
    uint64_t best = 0, best_xid = 0;
    int found = 0, ok = 1;
    /* A valid area ends the walk at an empty block or an older superblock within one pass; two
     * passes bound an area made only of map blocks. */
    for (uint64_t steps = 0;; steps++) {
        if (steps > 2 * (uint64_t)blocks + 2) {
            ok = 0;
            break;
        }
        if (i >= base + blocks)
            i = base;
        memset(scratch, 0, block_size);
        if (!apfs_read_blocks(container, i, scratch, 1)) {
            ok = 0;
            break;
        }
        uint32_t type = apfs_obj_type(scratch);
        if (type == APFS_OBJECT_TYPE_NX_SUPERBLOCK) {
            uint64_t xid = apfs_le64(scratch + APFS_OBJ_XID);
            if (best_xid != 0 && xid <= best_xid)
                break;
            best = i;
            best_xid = xid;
            found = 1;
            i = base + 1 + apfs_le32(scratch + APFS_NX_XP_DESC_NEXT);
        } else if (type == APFS_OBJECT_TYPE_CHECKPOINT_MAP) {
            i++;
        } else if (type == APFS_OBJECT_TYPE_INVALID) {
            break;
        } else {
            ok = 0;
            break;
        }
    }
    free(scratch);
    if (!ok || !found)
        return 0;
    *out_block = best;
    return 1;
}

/* Newest transaction first; superblocks that claim the same one in the order of their blocks, so
 * that the order never rests on the sort. */
static int newer_first(const void* a, const void* b) {
    const apfs_checkpoint_ref *x = a, *y = b;
    if (x->xid != y->xid)
        return x->xid < y->xid ? 1 : -1;
    return x->block < y->block ? -1 : x->block > y->block;
}

/* The blocks between each superblock and the one listed before it around the area: a checkpoint's
 * map blocks lie just before its superblock, so it can have no more than those. refs are in block
 * order. */
static void measure_room(apfs_checkpoint_ref* refs, uint32_t count, uint32_t blocks) {
    for (uint32_t i = 0; i < count; i++) {
        uint64_t previous = refs[i ? i - 1 : count - 1].block, block = refs[i].block;
        refs[i].room = (uint32_t)((block > previous ? block - previous : block + blocks - previous) - 1);
    }
}

/* Every block of the area is read once, so the cost is bounded by the area whatever it holds; a
 * block that cannot be read is simply no candidate, unless the reader itself has failed. */
int apfs_checkpoint_list_valid(apfs_container* container, const uint8_t* block0, apfs_checkpoint_ref** out,
                               uint32_t* out_count) {
    uint64_t base;
    uint32_t blocks;
    *out = NULL;
    *out_count = 0;
    if (!descriptor_area(container, block0, &base, &blocks))
        return 0;
    uint8_t* scratch = malloc(container->block_size);
    if (!scratch)
        return 0;
    apfs_checkpoint_ref* refs = NULL;
    uint32_t count = 0, room = 0;
    int ok = 1;
    for (uint32_t k = 0; k < blocks; k++) {
        if (!apfs_read_blocks(container, base + k, scratch, 1)) {
            if (container->reader->failed) {
                ok = 0;
                break;
            }
            continue;
        }
        /* A superblock that names another area than block 0 is no checkpoint of this one. */
        if (!apfs_nx_superblock_ok(container, scratch) || apfs_le64(scratch + APFS_NX_XP_DESC_BASE) != base ||
            apfs_le32(scratch + APFS_NX_XP_DESC_BLOCKS) != blocks)
            continue;
        if (count == room) {
            uint32_t grown = room > blocks / 2 ? blocks : room ? 2 * room : 8;
            apfs_checkpoint_ref* more = realloc(refs, (size_t)grown * sizeof *refs);
            if (!more) {
                ok = 0;
                break;
            }
            refs = more;
            room = grown;
        }
        refs[count].xid = apfs_le64(scratch + APFS_OBJ_XID);
        refs[count].block = base + k;
        refs[count].length = apfs_le32(scratch + APFS_NX_XP_DESC_LEN);
        count++;
    }
    free(scratch);
    if (!ok) {
        free(refs);
        return 0;
    }
    if (count) {
        measure_room(refs, count, blocks);
        qsort(refs, count, sizeof *refs, newer_first);
    }
    *out = refs;
    *out_count = count;
    return 1;
}

int apfs_checkpoint_map_load(apfs_container* container) {
    const uint8_t* sb = container->superblock;
    uint32_t length = apfs_le32(sb + APFS_NX_XP_DESC_LEN);
    uint64_t base = apfs_le64(sb + APFS_NX_XP_DESC_BASE);
    uint32_t blocks = apfs_le32(sb + APFS_NX_XP_DESC_BLOCKS);
    uint64_t xid = apfs_le64(sb + APFS_OBJ_XID);
    uint32_t per_block = map_entries_per_block(container->block_size);
    free(container->map_table);
    container->map_table = NULL;
    container->map_count = 0;
    if (length == 0 || length > blocks || (blocks & APFS_NX_XP_DESC_NONCONTIG))
        return 0;
    uint8_t* block = malloc(container->block_size);
    if (!block)
        return 0;
    int ok = 1;
    for (uint32_t k = 0; ok && k + 1 < length; k++) {
        uint64_t paddr = container->first_map_block + k;
        if (paddr >= base + blocks)
            paddr -= blocks;
        ok = apfs_read_blocks(container, paddr, block, 1) && apfs_le64(block + APFS_OBJ_OID) == paddr &&
             apfs_le64(block + APFS_OBJ_XID) == xid &&
             apfs_obj_type(block) == APFS_OBJECT_TYPE_CHECKPOINT_MAP &&
             apfs_obj_checksum_ok(block, container->block_size);
        uint32_t count = ok ? apfs_le32(block + APFS_CPM_COUNT) : 0;
        /* cpm_count comes from disk: it may not announce more entries than the block holds. */
        if (!ok || count > per_block) {
            ok = 0;
            break;
        }
        if (count == 0)
            continue;
        uint8_t* table =
            realloc(container->map_table, (size_t)(container->map_count + count) * APFS_CPM_ENTRY_SIZE);
        if (!table) {
            ok = 0;
            break;
        }
        container->map_table = table;
        memcpy(table + (size_t)container->map_count * APFS_CPM_ENTRY_SIZE, block + APFS_CPM_MAP,
               (size_t)count * APFS_CPM_ENTRY_SIZE);
        container->map_count += count;
    }
    free(block);
    return ok;
}

int apfs_checkpoint_map_lookup(const apfs_container* container, uint64_t oid, uint32_t type, uint64_t* paddr,
                               uint32_t* size, uint32_t* not_found) {
    for (uint32_t i = 0; i < container->map_count; i++) {
        const uint8_t* entry = container->map_table + (size_t)i * APFS_CPM_ENTRY_SIZE;
        if (apfs_le64(entry + APFS_CPM_OID) != oid)
            continue;
        if ((apfs_le32(entry + APFS_CPM_TYPE) & APFS_OBJECT_TYPE_MASK) != type)
            return 0;
        if (paddr)
            *paddr = apfs_le64(entry + APFS_CPM_PADDR);
        if (size)
            *size = apfs_le32(entry + APFS_CPM_SIZE);
        return 1;
    }
    if (not_found)
        *not_found = 1;
    return 0;
}
