// Opens a mutated container, runs object-map look-ups and an object-map walk over it, then
// opens each volume's object map and file-system tree and walks and searches them, and mounts
// the data volume and loads the inodes and directory names of its first records.
//
// Input: records of a u32 unit number, a u16 length and that many bytes (at most 4096), each
// placed at the start of its 4096-byte unit of an otherwise zero image, with its object checksum
// made valid. The image is as long as
// block 0 says the container is (capped), so that the open's size check can pass.
#include "block.h"
#include "container.h"
#include "device_api.h"
#include "dir.h"
#include "fs_reader.h"
#include "fuzz_support.h"
#include "inode.h"
#include "mount.h"
#include "name.h"
#include "node.h"
#include "tree.h"
#include "volume.h"
#include "whole_disk_layout.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kUnit = 4096;
constexpr uint64_t kMaxUnits = 16384; // 64 MiB of sparse image
constexpr int kMaxWalk = 4096;
// File-system records walked on the mounted volume, and bytes read of each attribute and stream.
constexpr int kMaxRecords = 512;
constexpr uint64_t kMaxRead = 65536;
constexpr uint16_t kDrecNameOff = 12;

uint64_t g_image_size;

BOOL DiskLayout(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD out_size, LPDWORD returned,
                LPOVERLAPPED) {
    if (code != IOCTL_DISK_GET_DRIVE_LAYOUT_EX)
        return TRUE;
    return WriteWholeDiskLayout(out, out_size, g_image_size, returned);
}

// Lays the records out in the image file; false when there is no block 0.
bool BuildImage(int fd, const uint8_t* data, size_t size) {
    uint64_t units = 0;
    bool have_block0 = false;
    for (size_t pos = 0; pos + 6 <= size;) {
        uint32_t unit = apfs_le32(data + pos);
        size_t length = apfs_le16(data + pos + 4);
        pos += 6;
        if (length > kUnit)
            length = kUnit;
        if (length > size - pos)
            length = size - pos;
        if (unit == 0 && length >= APFS_NX_BLOCK_COUNT + 8) {
            units = apfs_le64(data + pos + APFS_NX_BLOCK_COUNT);
            have_block0 = true;
        }
        pos += length;
    }
    if (!have_block0)
        return false;
    if (units > kMaxUnits)
        units = kMaxUnits;
    if (units == 0)
        units = 1;
    g_image_size = units * kUnit;
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(g_image_size)) != 0)
        return false;
    for (size_t pos = 0; pos + 6 <= size;) {
        uint32_t unit = apfs_le32(data + pos);
        size_t length = apfs_le16(data + pos + 4);
        pos += 6;
        if (length > kUnit)
            length = kUnit;
        if (length > size - pos)
            length = size - pos;
        if (unit < units) {
            // Objects get a valid checksum back, so that mutations reach the parsers behind it.
            uint8_t block[kUnit] = {};
            memcpy(block, data + pos, length);
            if (length >= APFS_OBJ_PHYS_SIZE)
                apfs_fletcher64(block, kUnit);
            if (pwrite(fd, block, kUnit, static_cast<off_t>(unit * kUnit)) != (ssize_t)kUnit)
                return false;
        }
        pos += length;
    }
    return true;
}

// Starts the tree's cursor on its first key: an iteration that starts below the first key
// finds nothing.
bool StartAtFirstKey(apfs_tree* tree) {
    const uint8_t* first;
    uint16_t first_len;
    if (!apfs_node_entry(tree->head.root->node, 0, &first, nullptr, &first_len, nullptr) || first_len < 8)
        return false;
    apfs_key start;
    apfs_omap_key_make(&start, apfs_le64(first) & APFS_OBJ_ID_MASK, (uint32_t)(apfs_le64(first) >> 60));
    uint32_t not_found = 0;
    return apfs_btree_iter_start(tree->cursor, &start, APFS_BT_GE | APFS_BT_ANY_TYPE, &not_found, 1);
}

void Exercise(apfs_container* container) {
    uint8_t key16[16], value16[16];
    for (uint32_t i = 0; i < container->volume_count; i++) {
        uint64_t oid = apfs_le64(container->superblock + APFS_NX_FS_OID + 8 * i);
        uint32_t not_found = 0;
        apfs_omap_lookup(container->omap_tree, oid, key16, value16, &not_found);
    }
    if (!StartAtFirstKey(container->omap_tree))
        return;
    uint32_t not_found = 0;
    for (int i = 0; i < kMaxWalk; i++) {
        const uint8_t *k, *v;
        uint16_t kl, vl;
        if (!apfs_btree_iter_next(container->omap_tree->cursor, &k, &v, &kl, &vl, &not_found, nullptr,
                                  nullptr))
            break;
    }
}

// Every record of a file-system tree, then key, extent and directory-record look-ups of the
// object ids met.
void WalkFsTree(apfs_tree* fs) {
    if (!StartAtFirstKey(fs))
        return;
    std::vector<uint64_t> ids;
    uint32_t not_found = 0;
    for (int i = 0; i < kMaxWalk; i++) {
        const uint8_t *k, *v;
        uint16_t kl, vl;
        if (!apfs_btree_iter_next(fs->cursor, &k, &v, &kl, &vl, &not_found, nullptr, nullptr))
            break;
        if (kl >= 8)
            ids.push_back(apfs_le64(k));
    }
    for (size_t i = 0; i < ids.size() && i < 64; i++) {
        uint64_t oid = ids[i] & APFS_OBJ_ID_MASK;
        apfs_key key;
        apfs_omap_key_make(&key, oid, (uint32_t)(ids[i] >> 60));
        const uint8_t *value, *found;
        apfs_btree_lookup(&fs->head, &key, APFS_BT_EQ, &value, &found, &not_found);
        apfs_btree_extent_lookup(&fs->head, oid, 0, &value, &found, &not_found);
        apfs_btree_extent_lookup(&fs->head, oid, 4096, &value, &found, &not_found);
        apfs_drec_key_make(&key, oid, 0, (uint32_t)(ids[i] & APFS_NAME_HASH_MASK));
        apfs_btree_lookup(&fs->head, &key, APFS_BT_EQ, &value, &found, &not_found);
        apfs_btree_iter_start(fs->cursor, &key, APFS_BT_EQ, &not_found, 1);
    }
}

// Each volume's object map and file-system tree, opened as a mount opens them but without
// decryption.
void ExerciseVolumes(apfs_container* container) {
    std::vector<uint8_t> block(container->block_size);
    for (uint32_t i = 0; i < container->volume_count; i++) {
        uint8_t key16[16], value16[16] = {0};
        uint32_t not_found = 0;
        uint64_t oid = apfs_le64(container->superblock + APFS_NX_FS_OID + 8 * i);
        if (!apfs_omap_lookup(container->omap_tree, oid, key16, value16, &not_found) ||
            !apfs_read_blocks(container, apfs_le64(value16 + APFS_OMAP_VAL_PADDR), block.data(), 1) ||
            apfs_le32(block.data() + APFS_SB_MAGIC_OFF) != APFS_SB_MAGIC)
            continue;
        apfs_tree omap, fs;
        apfs_tree_init(&omap, container);
        apfs_tree_init(&fs, container);
        memset(value16, 0, sizeof value16);
        if (apfs_tree_open(&omap, apfs_le64(block.data() + APFS_SB_OMAP_OID_OFF), (uint8_t)i, 1, nullptr,
                           0) &&
            apfs_omap_lookup(&omap, apfs_le64(block.data() + APFS_SB_ROOT_TREE_OID_OFF), key16, value16,
                             &not_found) &&
            apfs_tree_open(&fs, apfs_le64(value16 + APFS_OMAP_VAL_PADDR), APFS_VOLUME_CONTAINER, 0, &omap, 0))
            WalkFsTree(&fs);
        apfs_tree_free(&fs);
        apfs_tree_free(&omap);
    }
}

// Mounts the data volume as the probe does, opens its root and walks a bounded number of
// file-system records: every inode met is loaded with its attributes and the start of its data,
// and every hashed directory record's name is searched again through the root's iterator.
void ExerciseVolume(apfs_container* container) {
    uint32_t index = apfs_container_find_data_volume(container);
    apfs_mount mount;
    apfs_mount_init(&mount, container);
    apfs_tree omap_tree, fs_tree;
    apfs_tree_init(&omap_tree, container);
    apfs_tree_init(&fs_tree, container);
    if (apfs_mount_volume(&mount, static_cast<int32_t>(index), nullptr, &omap_tree, &fs_tree)) {
        std::vector<std::pair<uint64_t, std::vector<uint8_t>>> found;
        uint32_t not_found = 0;
        if (StartAtFirstKey(&fs_tree)) {
            for (int i = 0; i < kMaxRecords; i++) {
                const uint8_t *k, *v;
                uint16_t kl, vl;
                if (!apfs_btree_iter_next(fs_tree.cursor, &k, &v, &kl, &vl, &not_found, nullptr, nullptr))
                    break;
                if (kl < 8)
                    continue;
                uint64_t header = apfs_le64(k);
                uint32_t type = static_cast<uint32_t>(header >> APFS_OBJ_TYPE_SHIFT);
                if (type == APFS_TYPE_INODE) {
                    found.emplace_back(header, std::vector<uint8_t>());
                } else if (type == APFS_TYPE_DIR_REC && kl >= kDrecNameOff) {
                    // j_drec_hashed_key_t: the name length with its NUL in the low 10 bits.
                    uint32_t len = apfs_le32(k + 8) & APFS_DREC_NAME_LEN_MASK;
                    if (len > 1 && len <= kl - kDrecNameOff)
                        found.emplace_back(
                            header, std::vector<uint8_t>(k + kDrecNameOff, k + kDrecNameOff + len - 1));
                }
            }
        }
        for (const auto& [header, name] : found) {
            uint64_t id = (static_cast<uint64_t>(index) << 60) | (header & APFS_OBJ_ID_MASK);
            if ((header >> APFS_OBJ_TYPE_SHIFT) == APFS_TYPE_DIR_REC) {
                apfs_inode* dir = nullptr;
                if (apfs_inode_open(container, id, &dir, nullptr, &fs_tree)) {
                    apfs_dir_iter_start(mount.root->iter, &mount, dir, name.data(),
                                        static_cast<uint32_t>(name.size()), &fs_tree);
                    apfs_inode_release(dir);
                }
                continue;
            }
            apfs_inode* inode = nullptr;
            if (!apfs_inode_open(container, id, &inode, nullptr, &fs_tree))
                continue;
            std::vector<uint8_t> buffer(kMaxRead);
            for (apfs_list* link = inode->xattrs.next; link != &inode->xattrs; link = link->next) {
                apfs_xattr* xattr = reinterpret_cast<apfs_xattr*>(reinterpret_cast<uint8_t*>(link) -
                                                                  offsetof(apfs_xattr, link));
                uint64_t size = 0;
                uint32_t too_small = 0, missing = 0;
                if (xattr->name_len > 1)
                    apfs_inode_get_xattr(inode, reinterpret_cast<const char*>(xattr->data),
                                         xattr->name_len - 1u, buffer.data(), buffer.size(), &size,
                                         &too_small, &missing, &fs_tree);
            }
            uint64_t stream = apfs_le64(inode->value + APFS_INODE_PRIVATE_ID_OFF);
            uint64_t size = inode->size < kMaxRead ? inode->size : kMaxRead;
            apfs_inode_read_stream(inode, stream, buffer.data(), size, &fs_tree);
            apfs_inode_release(inode);
        }
    }
    apfs_tree_free(&fs_tree);
    apfs_tree_free(&omap_tree);
    apfs_mount_free(&mount);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fs_posix_set_ioctl(&DiskLayout);
    FuzzDiscardTargetStderr(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("apfs-fuzz", MFD_CLOEXEC);
    if (fd < 0 || !BuildImage(fd, data, size))
        return 0;
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    FsReader reader;
    FsReader_Reset(&reader);
    uint8_t block0[kUnit];
    if (FsReader_Init(&reader, path.c_str()) && FsReader_Read(&reader, 0, block0, sizeof block0)) {
        apfs_container container;
        apfs_container_init(&container);
        if (apfs_container_open(&container, block0, &reader)) {
            Exercise(&container);
            ExerciseVolumes(&container);
            ExerciseVolume(&container);
        }
        apfs_container_free(&container);
    }
    FsReader_Uninit(&reader);
    return 0;
}
