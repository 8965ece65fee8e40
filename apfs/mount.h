/* The mount handle: one mounted volume of a container and its open root directory. */
#ifndef VOLARIX_APFS_MOUNT_H
#define VOLARIX_APFS_MOUNT_H

#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

struct apfs_mount {
    apfs_dir* root;
    apfs_container* container;
    int32_t volume_index; /* -1 for none */
};

void apfs_mount_init(apfs_mount* mount, apfs_container* container);
int apfs_mount_volume(apfs_mount* mount, int32_t index, const char* password, apfs_tree* omap_tree,
                      apfs_tree* fs_tree);
int apfs_mount_open(apfs_mount* mount, const char* password, apfs_tree* omap_tree, apfs_tree* fs_tree);
int apfs_mount_open_root(apfs_mount* mount, apfs_tree* fs_tree);
void apfs_mount_release(apfs_mount* mount);
void apfs_mount_free(apfs_mount* mount);
/* Longest name in bytes that a directory iterator accepts. */
uint32_t apfs_name_max(void);

#ifdef __cplusplus
}
#endif

#endif
