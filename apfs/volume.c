/* Volume records of a container, the choice of the data volume and the mount of one volume. */
#include "volume.h"

#include "block.h"
#include "container.h"
#include "crypto.h"
#include "fs_reader.h"
#include "key.h"
#include "keybag.h"
#include "tree.h"

#include <stdlib.h>
#include <string.h>

/* omap_val_t */
#define OV_FLAGS 0
#define OV_SIZE 4
#define OV_PADDR 8
#define OMAP_VAL_SIZE 16

/* apfs_role: a role of none or data (0x40) marks the volume that the system mounts. */
#define APFS_ROLE_MASK_DATA 0xFFBFu

void apfs_volume_init(apfs_volume* volume) {
    memset(volume, 0, sizeof(*volume));
}

void apfs_volume_bind(apfs_volume* volume, apfs_container* container, uint8_t index) {
    volume->container = container;
    volume->index = index;
}

void apfs_volume_free(apfs_volume* volume) {
    free(volume->superblock);
    volume->superblock = NULL;
    if (volume->key)
        apfs_cipher_key_free(volume->key);
    volume->key = NULL;
    free(volume->work_buffer);
    volume->work_buffer = NULL;
}

uint32_t apfs_volume_is_mounted(const apfs_volume* volume) {
    return volume->mounted;
}

void apfs_volume_set_mounted(apfs_volume* volume, uint32_t flag) {
    volume->mounted = flag;
}

const uint8_t* apfs_volume_uuid(const apfs_volume* volume) {
    return volume->superblock ? volume->superblock + APFS_SB_VOL_UUID_OFF : NULL;
}

int apfs_volume_case_sensitive(const apfs_volume* volume) {
    if (!volume->superblock)
        return 1;
    return (apfs_le32(volume->superblock + APFS_SB_INCOMPAT_OFF) & APFS_INCOMPAT_CASE_INSENSITIVE) ? 0 : 1;
}

int apfs_volume_names_hashed(const apfs_volume* volume) {
    if (!volume->superblock)
        return 1;
    return (apfs_le32(volume->superblock + APFS_SB_INCOMPAT_OFF) &
            (APFS_INCOMPAT_CASE_INSENSITIVE | APFS_INCOMPAT_NORMALIZATION_INSENSITIVE))
               ? 1
               : 0;
}

int apfs_volume_superblock_ok(const apfs_volume* volume, const uint8_t* superblock) {
    const apfs_container* container = volume->container;
    if (apfs_le32(superblock + APFS_SB_MAGIC_OFF) != APFS_SB_MAGIC)
        return 0;
    if (apfs_obj_type(superblock) != APFS_OBJECT_TYPE_FS)
        return 0;
    if (apfs_le64(superblock + APFS_OBJ_XID) > apfs_container_xid(container))
        return 0;
    uint64_t quota = apfs_le64(superblock + APFS_SB_QUOTA_OFF);
    if (quota != 0 && quota < apfs_le64(superblock + APFS_SB_ALLOC_OFF))
        return 0;
    return apfs_obj_checksum_ok(superblock, container->block_size);
}

/* The container object map's value for the superblock of volume index: usable only when it is a
 * plain (unencrypted) one-block object. */
static int volume_superblock_paddr(apfs_container* container, uint8_t index, uint64_t* paddr) {
    if (index >= container->volume_count || !container->omap_tree)
        return 0;
    uint64_t oid = apfs_le64(container->superblock + APFS_NX_FS_OID + 8u * index);
    uint8_t key[APFS_OMAP_KEY_LEN] = {0}, value[APFS_OMAP_VAL_LEN] = {0};
    uint32_t not_found = 0;
    if (!apfs_omap_lookup(container->omap_tree, oid, key, value, &not_found) || apfs_le64(key) != oid)
        return 0;
    if (apfs_le32(value + OV_FLAGS) != 0 || apfs_le32(value + OV_SIZE) != container->block_size)
        return 0;
    *paddr = apfs_le64(value + OV_PADDR);
    return 1;
}

uint32_t apfs_container_find_data_volume(apfs_container* container) {
    uint8_t* block = malloc(container->block_size);
    if (!block)
        return 0;
    uint32_t answer = 0;
    /* A volume that cannot be read is passed over, but once the reader has failed none can be. */
    for (uint32_t i = 0; i < container->volume_count && !container->reader->failed; i++) {
        uint64_t paddr;
        if (!volume_superblock_paddr(container, (uint8_t)i, &paddr))
            continue;
        if (!apfs_read_blocks(container, paddr, block, 1))
            continue;
        if ((apfs_le16(block + APFS_SB_ROLE_OFF) & APFS_ROLE_MASK_DATA) == 0) {
            answer = i;
            break;
        }
    }
    free(block);
    return answer;
}

apfs_volume* apfs_container_volume(apfs_container* container, uint8_t index) {
    if (!container->volumes || index >= container->volume_count)
        return NULL;
    apfs_volume* volume = &container->volumes[index];
    return volume->mounted ? volume : NULL;
}

int apfs_volume_load(apfs_volume* volume, uint64_t block, apfs_tree* omap_tree) {
    apfs_container* container = volume->container;
    /* Known only once this load has found the superblock and the object map sound: the probe
     * takes an encrypted volume that fails to mount for one whose key alone is missing. */
    volume->encrypted = 0;
    volume->superblock_block = block;
    if (!apfs_block_buffer(container, &volume->superblock, &volume->superblock_size))
        return 0;
    if (!apfs_read_blocks(container, block, volume->superblock, 1))
        return 0;
    if (!apfs_volume_superblock_ok(volume, volume->superblock))
        return 0;
    if (!apfs_tree_open(omap_tree, apfs_le64(volume->superblock + APFS_SB_OMAP_OID_OFF), volume->index, 1,
                        NULL, 0))
        return 0;
    uint8_t key16[16];
    uint8_t value16[OMAP_VAL_SIZE];
    memset(value16, 0, sizeof(value16));
    uint32_t not_found = 0;
    if (!apfs_omap_lookup(omap_tree, apfs_le64(volume->superblock + APFS_SB_ROOT_TREE_OID_OFF), key16,
                          value16, &not_found))
        return 0;
    uint64_t paddr = apfs_le64(value16 + OV_PADDR);
    if (paddr == 0)
        return 0;
    uint32_t flags = apfs_le32(value16 + OV_FLAGS);
    if ((flags != 0 && flags != APFS_OMAP_VAL_ENCRYPTED) ||
        apfs_le32(value16 + OV_SIZE) != container->block_size)
        return 0;
    volume->encrypted = flags == APFS_OMAP_VAL_ENCRYPTED;
    volume->root_tree_block = paddr;
    return 1;
}

int apfs_volume_open_fs_tree(apfs_volume* volume, apfs_tree* omap_tree, apfs_tree* fs_tree) {
    if (volume->encrypted && !volume->key)
        return 1;
    return apfs_tree_open(fs_tree, volume->root_tree_block, volume->index, 0, omap_tree, 1);
}

int apfs_volume_mount(apfs_container* container, uint8_t index, const char* password, apfs_tree* omap_tree,
                      apfs_tree* fs_tree) {
    if (!container->volumes || index >= container->volume_count)
        return 0;
    apfs_volume* volume = &container->volumes[index];
    if (volume->mounted)
        return 1;
    volume->mounted = 1;
    uint64_t paddr;
    if (!volume_superblock_paddr(container, index, &paddr) || !apfs_volume_load(volume, paddr, omap_tree)) {
        volume->mounted = 0;
        return 0;
    }
    int has_keylocker = 0;
    int unlocked = 0;
    if (volume->encrypted) {
        const uint8_t* keylocker = container->superblock + APFS_NX_KEYLOCKER;
        has_keylocker = apfs_le64(keylocker) != 0 && apfs_le64(keylocker + 8) != 0;
        if (has_keylocker && password)
            unlocked = apfs_volume_unlock_password(container, index, password);
    }
    if (!volume->encrypted || !has_keylocker || unlocked) {
        if (apfs_volume_open_fs_tree(volume, omap_tree, fs_tree))
            return 1;
    }
    volume->mounted = 0;
    return 0;
}
