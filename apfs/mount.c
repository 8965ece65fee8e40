/* The mount handle: mounts one volume of a container and opens its root directory. */
#include "mount.h"

#include "container.h"
#include "dir.h"
#include "volume.h"

#include <stdlib.h>

/* Longest name, in bytes, of a directory record. */
#define APFS_NAME_MAX 255u

void apfs_mount_init(apfs_mount* mount, apfs_container* container) {
    mount->root = NULL;
    mount->container = container;
    mount->volume_index = -1;
}

int apfs_mount_volume(apfs_mount* mount, int32_t index, const char* password, apfs_tree* omap_tree,
                      apfs_tree* fs_tree) {
    mount->volume_index = index;
    return apfs_mount_open(mount, password, omap_tree, fs_tree) ? 1 : 0;
}

int apfs_mount_open(apfs_mount* mount, const char* password, apfs_tree* omap_tree, apfs_tree* fs_tree) {
    if (mount->volume_index < 0 || mount->volume_index > APFS_MAX_VOLUME_INDEX ||
        (uint32_t)mount->volume_index >= mount->container->volume_count)
        return 0;
    const uint8_t index = (uint8_t)mount->volume_index;
    const int was_mounted = apfs_container_volume(mount->container, index) != NULL;
    if (!apfs_volume_mount(mount->container, index, password, omap_tree, fs_tree))
        return 0;
    if (apfs_mount_open_root(mount, fs_tree))
        return 1;
    /* A later mount would take a volume left marked mounted for loaded and skip its load. One
     * that was mounted before this call stays mounted for whoever mounted it. */
    if (!was_mounted)
        apfs_volume_set_mounted(&mount->container->volumes[index], 0);
    return 0;
}

int apfs_mount_open_root(apfs_mount* mount, apfs_tree* fs_tree) {
    if (mount->root)
        return 1;
    apfs_dir* dir = malloc(sizeof(*dir));
    if (!dir)
        return 0;
    apfs_dir_init(dir, mount);
    uint64_t id = ((uint64_t)(uint32_t)mount->volume_index << APFS_ID_VOLUME_SHIFT) | APFS_ROOT_DIR_OID;
    if (!apfs_dir_open(dir, id, NULL, fs_tree)) {
        apfs_dir_release_chain(dir);
        return 0;
    }
    mount->root = dir;
    return 1;
}

void apfs_mount_release(apfs_mount* mount) {
    if (mount->root)
        apfs_dir_release_chain(mount->root);
    mount->root = NULL;
}

void apfs_mount_free(apfs_mount* mount) {
    apfs_mount_release(mount);
}

uint32_t apfs_name_max(void) {
    return APFS_NAME_MAX;
}
