/* The directory handle and its iterator, which positions the file-system tree's cursor on the
 * directory records of one name. */
#include "dir.h"

#include "container.h"
#include "inode.h"
#include "key.h"
#include "mount.h"
#include "name.h"
#include "tree.h"
#include "volume.h"

#include <stdlib.h>
#include <string.h>

void apfs_dir_init(apfs_dir* dir, apfs_mount* mount) {
    dir->kind = 0;
    dir->mount = mount;
    dir->inode = NULL;
    dir->iter = NULL;
}

int apfs_dir_set_kind(apfs_dir* dir, uint32_t kind) {
    if (kind != 1 && kind != 2)
        return 0;
    dir->kind = kind;
    return 1;
}

int apfs_dir_open(apfs_dir* dir, uint64_t id, apfs_inode* inode, apfs_tree* fs_tree) {
    if (inode)
        dir->inode = inode;
    else if (!apfs_inode_open(dir->mount->container, id, &dir->inode, NULL, fs_tree))
        return 0;
    if (!apfs_dir_iter_new(dir, &dir->iter, NULL, fs_tree))
        return 0;
    return apfs_dir_set_kind(dir, APFS_DIR_KIND_OPEN);
}

int apfs_dir_iter_new(apfs_dir* dir, apfs_dir_iter** slot, apfs_inode* inode, apfs_tree* fs_tree) {
    apfs_dir_iter* iter = calloc(1, sizeof(*iter));
    if (!iter)
        return 0;
    iter->no_name = 1;
    iter->case_sensitive = 1;
    *slot = iter;
    return apfs_dir_iter_start(iter, dir->mount, inode ? inode : dir->inode, NULL, 0, fs_tree);
}

/* "." and ".." name no directory record. */
static int name_is_dots(const uint8_t* name, uint32_t len) {
    return name[0] == '.' && len <= 2 && !(len == 2 && name[1] != '.');
}

int apfs_dir_iter_start(apfs_dir_iter* iter, apfs_mount* mount, apfs_inode* inode, const uint8_t* name,
                        uint32_t name_len, apfs_tree* fs_tree) {
    iter->container = mount->container;
    if (name) {
        if (name_len == 0 || name_len > apfs_name_max() || name_is_dots(name, name_len))
            return 0;
        if (!apfs_dir_iter_set_name(iter, name, (uint8_t)name_len))
            return 0;
    }
    iter->inode = inode;
    int hashed = 1;
    if (inode) {
        uint8_t index = (uint8_t)(inode->id >> APFS_ID_VOLUME_SHIFT);
        apfs_container* container = iter->container;
        if (container->volumes && index < container->volume_count) {
            iter->case_sensitive = (uint32_t)apfs_volume_case_sensitive(&container->volumes[index]);
            hashed = apfs_volume_names_hashed(&container->volumes[index]);
        }
    }
    if (!name) {
        apfs_dir_iter_set_name(iter, NULL, 0);
        return 1;
    }
    /* A name search needs the directory: its id names the directory and the volume. */
    if (!inode || !apfs_fs_tree_ready(fs_tree))
        return 0;
    const uint64_t dir_oid = inode->id & APFS_OBJ_ID_MASK;
    apfs_key key;
    if (hashed) {
        iter->hash = apfs_name_hash(iter, iter->name, iter->name_len);
        apfs_drec_key_make(&key, dir_oid, iter->case_sensitive, iter->hash);
    } else {
        /* Such a volume keys each record by its exact name bytes: there is no hash to share. */
        iter->hash = 0;
        if (!apfs_drec_name_key_make(&key, dir_oid, iter->name, iter->name_len))
            return 0;
    }
    return apfs_btree_iter_start(fs_tree->cursor, &key, APFS_BT_EQ, NULL, 1);
}

int apfs_dir_iter_set_name(apfs_dir_iter* iter, const uint8_t* name, uint8_t name_len) {
    if (!name) {
        iter->no_name = 1;
        return 1;
    }
    iter->no_name = 0;
    if (!iter->name || name_len > iter->name_len) {
        free(iter->name);
        iter->name = malloc(name_len ? name_len : 1);
        if (!iter->name) {
            iter->name_len = 0;
            iter->no_name = 1;
            return 0;
        }
    }
    memcpy(iter->name, name, name_len);
    iter->name_len = name_len;
    return 1;
}

uint32_t apfs_name_hash(const apfs_dir_iter* iter, const uint8_t* name, size_t len) {
    uint32_t crc = 0xFFFFFFFFu;
    if (apfs_name_hash_update(name, len, iter->case_sensitive, &crc) != 0)
        return 0;
    return crc & APFS_NAME_HASH_MASK;
}

void apfs_dir_iter_free(apfs_dir_iter* iter) {
    if (!iter)
        return;
    free(iter->name);
    free(iter);
}

void apfs_dir_free(apfs_dir* dir) {
    if (dir->inode)
        apfs_inode_release(dir->inode);
    dir->inode = NULL;
    apfs_dir_iter_free(dir->iter);
    dir->iter = NULL;
}

void apfs_dir_destroy(apfs_dir* dir) {
    apfs_dir_free(dir);
    free(dir);
}

void apfs_dir_release_chain(apfs_dir* dir) {
    if (dir)
        apfs_dir_destroy(dir);
}
