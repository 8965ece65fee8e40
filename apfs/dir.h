/* The directory handle and its iterator, which positions the file-system tree's cursor on the
 * directory records of one name. */
#ifndef VOLARIX_APFS_DIR_H
#define VOLARIX_APFS_DIR_H

#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define APFS_DIR_KIND_OPEN 1u

struct apfs_dir {
    uint32_t kind; /* 0 after init, 1 once opened */
    apfs_mount* mount;
    apfs_inode* inode; /* one reference, released by apfs_dir_free */
    apfs_dir_iter* iter;
};

struct apfs_dir_iter {
    apfs_container* container;
    uint8_t* name; /* name filter without terminator, owned */
    uint8_t name_len;
    uint32_t hash;           /* 22-bit hash of the filter; 0 where records carry none */
    uint32_t no_name;        /* 1: no name filter */
    uint32_t case_sensitive; /* the volume's case rule */
    apfs_inode* inode;       /* directory the iteration runs under, not owned */
};

void apfs_dir_init(apfs_dir* dir, apfs_mount* mount);
int apfs_dir_set_kind(apfs_dir* dir, uint32_t kind);
int apfs_dir_open(apfs_dir* dir, uint64_t id, apfs_inode* inode, apfs_tree* fs_tree);
int apfs_dir_iter_new(apfs_dir* dir, apfs_dir_iter** slot, apfs_inode* inode, apfs_tree* fs_tree);
int apfs_dir_iter_start(apfs_dir_iter* iter, apfs_mount* mount, apfs_inode* inode, const uint8_t* name,
                        uint32_t name_len, apfs_tree* fs_tree);
int apfs_dir_iter_set_name(apfs_dir_iter* iter, const uint8_t* name, uint8_t name_len);
void apfs_dir_iter_free(apfs_dir_iter* iter);
void apfs_dir_free(apfs_dir* dir);
void apfs_dir_destroy(apfs_dir* dir);
void apfs_dir_release_chain(apfs_dir* dir);

/* The 22-bit hash of a name under the iterator's case rule; 0 for a malformed name. */
uint32_t apfs_name_hash(const apfs_dir_iter* iter, const uint8_t* name, size_t len);

#ifdef __cplusplus
}
#endif

#endif
