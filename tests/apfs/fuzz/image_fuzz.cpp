// Mutates a real fixture image block by block and reads it as apfs-inspect does: mount the data
// volume (the encrypted base with its password, after a wrong one), walk the tree from the root
// loading every inode with its attributes and data, and resolve every name met through the
// directory iterator.
//
// Input: a byte choosing the base image, then patches of a u16 block slot, a u16 offset, a u8
// length and that many bytes. Slots index the blocks that hold objects and the partition table in
// front of the image, so that patches land where the parsers look; a patched block that held a
// valid object gets its checksum fixed, so that the mutation reaches the parsers behind it. The
// bases are served as whole disks from memory files, through the device layer's own drive layout.
#include "apfs_common.h"
#include "container.h"
#include "device_api.h"
#include "dir.h"
#include "fs_reader.h"
#include "fuzz_support.h"
#include "inode.h"
#include "key.h"
#include "keybag.h"
#include "mount.h"
#include "name.h"
#include "tree.h"
#include "volume.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kBlock = 4096;
// Bounds of one run, so that a mutated tree cannot make an input slow: inodes visited, children
// listed per directory, directory depth, and bytes read of a stream or an attribute.
constexpr int kMaxInodes = 32;
constexpr size_t kMaxChildren = 32;
constexpr int kMaxDepth = 12;
constexpr uint64_t kMaxRead = 64 * 1024;
constexpr int kMaxRuns = 64;
constexpr size_t kDrecHashedNameOff = 12;
constexpr size_t kDrecNameOff = 10;
constexpr uint16_t kModeDir = 0x4000;
constexpr uint16_t kModeRegular = 0x8000;

// The disk: block 0 holds a protective MBR, a GPT header and its entry array, whose one APFS
// partition starts at block 1 and holds the fixture image.
constexpr uint32_t kSector = 512;
constexpr uint64_t kGptEntriesLba = 2;
constexpr uint32_t kGptEntries = 4;
constexpr uint32_t kGptEntrySize = 128;
constexpr uint8_t kApfsPartitionType[16] = {0xEF, 0x57, 0x34, 0x7C, 0x00, 0x00, 0xAA, 0x11,
                                            0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};

struct Base {
    Base(const char* file_, const char* password_) : file(file_), password(password_) {}
    const char* file;
    const char* password;
    int fd = -1;
    std::vector<uint64_t> blocks;               // disk blocks that patches may land in
    std::vector<std::vector<uint8_t>> pristine; // their bytes
    std::vector<bool> object;                   // whether each held a valid object
};

// The plain images, the encrypted one (whose tree nodes only the key makes sense of, so all its
// blocks are open to patches), and a case-sensitive one whose trees have index levels.
Base g_bases[] = {
    {VOLARIX_FIXTURES_DIR "/dfvfs_apfs.raw", nullptr},
    {VOLARIX_FUZZ_SEEDS_DIR "/enc_dfvfs_fast.img", "volarix-TEST-pw"},
    {VOLARIX_FIXTURES_DIR "/apfs_forensic_content.img", nullptr},
    {VOLARIX_FIXTURES_DIR "/pop_cs_1g.img", nullptr},
};
uint8_t g_buffer[kMaxRead];

std::vector<uint8_t> PartitionTable(uint64_t image_size) {
    std::vector<uint8_t> block(kBlock);
    uint8_t* mbr = block.data();
    mbr[446 + 4] = 0xEE; // protective entry
    apfs_put_le32(mbr + 446 + 8, 1);
    apfs_put_le32(mbr + 446 + 12, 0xFFFFFFFFu);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    uint64_t first = kBlock / kSector, last = first + image_size / kSector - 1;
    uint8_t* header = block.data() + kSector;
    memcpy(header, "EFI PART", 8);
    apfs_put_le64(header + 40, first);
    apfs_put_le64(header + 48, last);
    memset(header + 56, 0x5A, 16);
    apfs_put_le64(header + 72, kGptEntriesLba);
    apfs_put_le32(header + 80, kGptEntries);
    apfs_put_le32(header + 84, kGptEntrySize);
    uint8_t* entry = block.data() + kGptEntriesLba * kSector;
    memcpy(entry, kApfsPartitionType, 16);
    memset(entry + 16, 0xA5, 16);
    apfs_put_le64(entry + 32, first);
    apfs_put_le64(entry + 40, last);
    return block;
}

void Keep(Base& base, uint64_t disk_block, const std::vector<uint8_t>& bytes, bool object) {
    base.blocks.push_back(disk_block);
    base.pristine.push_back(bytes);
    base.object.push_back(object);
}

void Load(Base& base) {
    int file = open(base.file, O_RDONLY | O_CLOEXEC);
    base.fd = memfd_create("apfs-image-fuzz", MFD_CLOEXEC);
    struct stat st;
    if (file < 0 || base.fd < 0 || fstat(file, &st) != 0) {
        fprintf(stderr, "image_fuzz: cannot load %s\n", base.file);
        abort();
    }
    uint64_t image_size = static_cast<uint64_t>(st.st_size) / kBlock * kBlock;
    static const uint8_t zero[kBlock] = {};
    std::vector<uint8_t> block(kBlock);
    // The fixtures are unpacked sparse: only their data extents are read.
    for (off_t data = lseek(file, 0, SEEK_DATA); data >= 0 && static_cast<uint64_t>(data) < image_size;) {
        off_t hole = lseek(file, data, SEEK_HOLE);
        for (uint64_t at = static_cast<uint64_t>(data) / kBlock * kBlock; at < static_cast<uint64_t>(hole);
             at += kBlock) {
            if (pread(file, block.data(), kBlock, static_cast<off_t>(at)) != kBlock ||
                memcmp(block.data(), zero, kBlock) == 0)
                continue;
            uint64_t disk_block = at / kBlock + 1;
            if (pwrite(base.fd, block.data(), kBlock, static_cast<off_t>(disk_block * kBlock)) != kBlock)
                abort();
            bool object = apfs_obj_checksum_ok(block.data(), kBlock) != 0;
            if (object || base.password)
                Keep(base, disk_block, block, object);
        }
        data = lseek(file, hole, SEEK_DATA);
    }
    close(file);
    std::vector<uint8_t> table = PartitionTable(image_size);
    if (ftruncate(base.fd, static_cast<off_t>(image_size + kBlock)) != 0 ||
        pwrite(base.fd, table.data(), kBlock, 0) != kBlock)
        abort();
    Keep(base, 0, table, false);
}

bool PutBlock(const Base& base, size_t slot, const uint8_t* bytes) {
    return pwrite(base.fd, bytes, kBlock, static_cast<off_t>(base.blocks[slot] * kBlock)) == kBlock;
}

class Walker {
  public:
    Walker(apfs_container* container, apfs_mount* mount, apfs_tree* fs, uint8_t index)
        : m_container(container), m_mount(mount), m_fs(fs), m_index(index) {
        uint32_t incompat = apfs_le32(container->volumes[index].superblock + APFS_SB_INCOMPAT_OFF);
        m_hashed = (incompat & (APFS_INCOMPAT_CASE_INSENSITIVE | APFS_INCOMPAT_NORMALIZATION_INSENSITIVE)) != 0;
    }

    void Visit(uint64_t oid, int depth) {
        if (depth > kMaxDepth || m_budget <= 0 || !m_visited.insert(oid).second)
            return;
        m_budget--;
        apfs_inode* inode = nullptr;
        if (!apfs_inode_open(m_container, Id(oid), &inode, nullptr, m_fs))
            return;
        uint16_t mode = apfs_inode_mode(inode);
        if ((mode & APFS_MODE_TYPE) == kModeRegular)
            ReadData(inode);
        ReadXattrs(inode);
        apfs_inode_release(inode);
        if ((mode & APFS_MODE_TYPE) != kModeDir)
            return;
        std::vector<std::pair<std::string, uint64_t>> children;
        Children(oid, children);
        for (const auto& [name, child] : children) {
            Resolve(oid, name);
            Visit(child, depth + 1);
        }
        Resolve(oid, "volarix-absent");
    }

  private:
    uint64_t Id(uint64_t oid) const { return (static_cast<uint64_t>(m_index) << APFS_ID_VOLUME_SHIFT) | oid; }

    // The whole stream when the reader takes it in one go, else run by run as a sparse file reads.
    void ReadData(apfs_inode* inode) {
        uint64_t size = inode->size < kMaxRead ? inode->size : kMaxRead;
        uint64_t stream = apfs_le64(inode->value + APFS_INODE_PRIVATE_ID_OFF);
        if (apfs_inode_read_stream(inode, stream, g_buffer, size, m_fs))
            return;
        uint32_t shift = m_container->block_shift;
        uint64_t blocks = (size + m_container->block_size - 1) >> shift;
        uint64_t block = 0;
        for (int runs = 0; block < blocks && runs < kMaxRuns; runs++) {
            apfs_extent run;
            apfs_extent_init(&run);
            if (!apfs_inode_map_extent(inode, stream, block, blocks - block, &run, m_fs) || run.length == 0)
                return;
            if (run.phys_block != APFS_EXTENT_NO_BLOCK) {
                uint64_t offset = block << shift;
                uint64_t n = run.length > ((size - offset) >> shift) ? size - offset : run.length << shift;
                if (!apfs_volume_read(inode->volume, run.phys_block << shift, g_buffer + offset, n, run.decrypt,
                                      run.crypto_id))
                    return;
            }
            block += run.phys_block == APFS_EXTENT_NO_BLOCK ? 1 : run.length;
        }
    }

    void ReadXattrs(apfs_inode* inode) {
        uint64_t size = 0;
        uint32_t too_small = 0, missing = 0;
        for (apfs_list* link = inode->xattrs.next; link != &inode->xattrs; link = link->next) {
            apfs_xattr* xattr =
                reinterpret_cast<apfs_xattr*>(reinterpret_cast<uint8_t*>(link) - offsetof(apfs_xattr, link));
            if (xattr->name_len < 2)
                continue;
            uint64_t want = xattr->size < kMaxRead ? xattr->size : kMaxRead;
            apfs_inode_get_xattr(inode, reinterpret_cast<const char*>(xattr->data), xattr->name_len - 1u,
                                 g_buffer, want, &size, &too_small, &missing, m_fs);
        }
        apfs_inode_get_xattr(inode, APFS_XATTR_NAME_SYMLINK, sizeof APFS_XATTR_NAME_SYMLINK - 1, g_buffer, 1,
                             &size, &too_small, &missing, m_fs);
    }

    bool RecordName(const uint8_t* key, uint16_t key_len, std::string* name) const {
        size_t off = m_hashed ? kDrecHashedNameOff : kDrecNameOff;
        if (key_len < off)
            return false;
        size_t len = m_hashed ? apfs_le32(key + 8) & APFS_DREC_NAME_LEN_MASK : apfs_le16(key + 8);
        if (len == 0 || off + len > key_len)
            return false;
        name->assign(reinterpret_cast<const char*>(key + off), len - 1);
        return true;
    }

    void Children(uint64_t dir_oid, std::vector<std::pair<std::string, uint64_t>>& out) {
        apfs_key start;
        apfs_omap_key_make(&start, dir_oid, APFS_TYPE_DIR_REC);
        uint32_t end = 0;
        if (!apfs_btree_iter_start(m_fs->cursor, &start, APFS_BT_EQ, &end, 1))
            return;
        const uint8_t *key, *value;
        uint16_t key_len, value_len;
        while (out.size() < kMaxChildren &&
               apfs_btree_iter_next(m_fs->cursor, &key, &value, &key_len, &value_len, &end, nullptr, nullptr)) {
            std::string name;
            if (RecordName(key, key_len, &name) && value && value_len >= 8)
                out.emplace_back(name, apfs_le64(value) & APFS_OBJ_ID_MASK);
        }
    }

    // One path component looked up through the root handle's iterator, as a path lookup does.
    void Resolve(uint64_t dir_oid, const std::string& name) {
        apfs_inode* dir = nullptr;
        if (!apfs_inode_open(m_container, Id(dir_oid), &dir, nullptr, m_fs))
            return;
        apfs_dir_iter* iter = m_mount->root->iter;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(name.data());
        if (apfs_dir_iter_start(iter, m_mount, dir, bytes, static_cast<uint32_t>(name.size()), m_fs)) {
            const uint8_t *key, *value;
            uint16_t key_len, value_len;
            uint32_t end = 0;
            for (size_t i = 0; i < kMaxChildren && apfs_btree_iter_next(m_fs->cursor, &key, &value, &key_len,
                                                                         &value_len, &end, nullptr, nullptr);
                 i++) {
                std::string stored;
                if (RecordName(key, key_len, &stored) &&
                    apfs_name_compare(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), bytes,
                                      name.size(), iter->case_sensitive) == 0)
                    break;
            }
        }
        apfs_inode_release(dir);
    }

    apfs_container* m_container;
    apfs_mount* m_mount;
    apfs_tree* m_fs;
    uint8_t m_index;
    bool m_hashed;
    int m_budget = kMaxInodes;
    std::set<uint64_t> m_visited;
};

// Mounts a volume with fresh trees; on success walks it from the root.
bool MountAndWalk(apfs_container* container, uint32_t index, const char* password, bool walk) {
    apfs_mount mount;
    apfs_mount_init(&mount, container);
    apfs_tree omap_tree, fs_tree;
    apfs_tree_init(&omap_tree, container);
    apfs_tree_init(&fs_tree, container);
    bool mounted = apfs_mount_volume(&mount, static_cast<int32_t>(index), password, &omap_tree, &fs_tree) != 0;
    if (mounted && walk) {
        Walker walker(container, &mount, &fs_tree, static_cast<uint8_t>(index));
        walker.Visit(APFS_ROOT_DIR_OID, 0);
    }
    apfs_tree_free(&fs_tree);
    apfs_tree_free(&omap_tree);
    apfs_mount_free(&mount);
    return mounted;
}

void Exercise(const Base& base) {
    std::string path = "/proc/self/fd/" + std::to_string(base.fd);
    FsReader reader;
    FsReader_Reset(&reader);
    uint8_t block0[kBlock];
    if (FsReader_Init(&reader, path.c_str()) && FsReader_Read(&reader, 0, block0, sizeof block0)) {
        apfs_container container;
        apfs_container_init(&container);
        if (apfs_container_open(&container, block0, &reader)) {
            uint32_t index = apfs_container_find_data_volume(&container);
            // The probe's mount, without a password; an encrypted volume then gets a wrong one first.
            if (!MountAndWalk(&container, index, nullptr, true) && base.password &&
                !MountAndWalk(&container, index, "wrong", false))
                MountAndWalk(&container, index, base.password, true);
            for (uint32_t other = 0; other < container.volume_count && other <= APFS_MAX_VOLUME_INDEX; other++)
                if (other != index)
                    MountAndWalk(&container, other, base.password, false);
        }
        apfs_container_free(&container);
    }
    FsReader_Uninit(&reader);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    for (Base& base : g_bases)
        Load(base);
    FuzzDiscardTargetStderr(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const Base& base = g_bases[data[0] % (sizeof g_bases / sizeof g_bases[0])];
    std::map<size_t, std::vector<uint8_t>> patched;
    for (size_t pos = 1; pos + 5 <= size;) {
        size_t slot = apfs_le16(data + pos) % base.blocks.size();
        size_t offset = apfs_le16(data + pos + 2) % kBlock;
        size_t length = data[pos + 4];
        pos += 5;
        length = std::min({length, size - pos, kBlock - offset});
        auto it = patched.try_emplace(slot, base.pristine[slot]).first;
        memcpy(it->second.data() + offset, data + pos, length);
        pos += length;
    }
    for (auto& [slot, block] : patched) {
        if (base.object[slot])
            apfs_fletcher64(block.data(), kBlock);
        if (!PutBlock(base, slot, block.data()))
            abort();
    }
    Exercise(base);
    for (const auto& entry : patched)
        if (!PutBlock(base, entry.first, base.pristine[entry.first].data()))
            abort();
    return 0;
}
