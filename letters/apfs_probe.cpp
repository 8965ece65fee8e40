// The probe proper, over the device path: every reader object lives in this frame and is freed
// on every way out.
#include "apfs_probe.h"

#include "container.h"
#include "fs_reader.h"
#include "mount.h"
#include "tree.h"
#include "volume.h"

#include <cstdlib>

namespace {

// The container superblock lies in the partition's first 4096 bytes.
constexpr size_t kFirstBlockSize = 4096;

} // namespace

int ProbeApfsDevicePath(const char* path) {
    int result = 0;
    FsReader reader;
    FsReader_Reset(&reader);
    FsReader_SetBudget(&reader, FS_READER_PROBE_BUDGET);
    if (FsReader_Init(&reader, path)) {
        uint8_t* block = static_cast<uint8_t*>(malloc(kFirstBlockSize));
        if (block && FsReader_Read(&reader, 0, block, kFirstBlockSize)) {
            apfs_container container;
            apfs_container_init(&container);
            if (apfs_container_open(&container, block, &reader)) {
                uint32_t index = apfs_container_find_data_volume(&container);
                apfs_mount mount;
                apfs_mount_init(&mount, &container);
                apfs_tree omap_tree;
                apfs_tree fs_tree;
                apfs_tree_init(&omap_tree, &container);
                apfs_tree_init(&fs_tree, &container);
                if (apfs_mount_volume(&mount, static_cast<int32_t>(index), nullptr, &omap_tree, &fs_tree))
                    result = 1;
                else
                    result = container.volumes[index].encrypted != 0 ? 1 : 0;
                apfs_tree_free(&fs_tree);
                apfs_tree_free(&omap_tree);
                apfs_mount_free(&mount);
            }
            apfs_container_free(&container);
        }
        free(block);
    }
    FsReader_Uninit(&reader);
    return result;
}
