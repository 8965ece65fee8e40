// The body of apfs-inspect, shared by the tool and the tests that diff its output.
#include "inspect.h"

#include "apfs_common.h"
#include "container.h"
#include "dir.h"
#include "fs_reader.h"
#include "inode.h"
#include "key.h"
#include "keybag.h"
#include "mount.h"
#include "name.h"
#include "tree.h"
#include "volume.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// j_drec_hashed_key_t / j_drec_key_t and j_drec_val_t
constexpr size_t kDrecHashedNameOff = 12;
constexpr size_t kDrecNameOff = 10;
constexpr size_t kDrecFileIdOff = 0;
constexpr size_t kVolNameOff = 704;
constexpr size_t kVolNameMax = 256;
constexpr uint16_t kModeDir = 0x4000;
constexpr uint16_t kModeRegular = 0x8000;
// j_file_extent_key_t
constexpr size_t kExtentLogicalOff = 8;
constexpr size_t kExtentKeySize = 16;

// Streams are read and hashed in pieces of this size, whatever size they declare.
constexpr uint64_t kPieceBytes = 1u << 20;
// Bytes one run hashes, data and holes alike. A hole costs no transfer, so this alone bounds the
// work a declared size asks for: seconds of hashing, and 180 times what the largest fixture holds.
constexpr uint64_t kMaxHashedBytes = 4ull << 30;
// Attribute values read whole rather than in pieces: every inline one, whose length is a u16, and
// so every symlink target.
constexpr uint64_t kMaxWholeValue = 64u << 10;
// Directories the walk descends, recursing once per level: a path of PATH_MAX (1024 bytes) holds
// at most 512.
constexpr size_t kMaxDepth = 512;
// Entries one walk lists, at some 50 us each: forty times the largest fixture's 1,533, in seconds,
// where directories that name one directory twice multiply the entries without end.
constexpr size_t kMaxEntries = 1u << 16;
// Bytes of the listing, which is held whole to be sorted: 512 for each entry, five times what the
// fixtures' lines take.
constexpr size_t kMaxListingBytes = kMaxEntries * 512;
// Blocks of a checkpoint area the open may walk, which it does with no budget when the newest
// checkpoint is torn: 58 times the largest area Apple's formatter makes (280), and a fraction of a
// second, where an area of 2^24 blocks takes a minute and one of 2^31 hours.
constexpr uint32_t kMaxAreaBlocks = 1u << 14;

void Append(std::string& out, const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    out += buf;
}

struct Child {
    std::string name;
    uint64_t oid;
};

struct Entry {
    std::string path;
    std::string line;
};

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string Uuid(const uint8_t* u) {
    std::string h = Hex(u, 16);
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" +
           h.substr(20);
}

std::string Escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\' || c == '|' || c == ';' || c == '=' || c < 0x20 || c == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Sha256(const uint8_t* data, size_t n) {
    uint8_t digest[32];
    unsigned int len = 0;
    EVP_Digest(data, n, digest, &len, EVP_sha256(), nullptr);
    return Hex(digest, sizeof(digest));
}

class Sha256Stream {
  public:
    Sha256Stream() : m_ctx(EVP_MD_CTX_new()) {
        if (!m_ctx)
            throw std::bad_alloc();
        m_ok = EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) == 1;
    }
    ~Sha256Stream() { EVP_MD_CTX_free(m_ctx); }
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;
    void Update(const uint8_t* data, size_t n) { m_ok = m_ok && EVP_DigestUpdate(m_ctx, data, n) == 1; }
    bool Final(std::string* hex) {
        uint8_t digest[32];
        unsigned int len = 0;
        if (!m_ok || EVP_DigestFinal_ex(m_ctx, digest, &len) != 1)
            return false;
        *hex = Hex(digest, sizeof(digest));
        return true;
    }

  private:
    EVP_MD_CTX* m_ctx;
    bool m_ok = false;
};

// What a hole in a stream reads as: zeros in a file's data, as a sparse file reads, where a
// compressed file's stream with nothing stored is not hashed at all (its contents live in an
// attribute); in an attribute's stream a hole fails the read, as it fails the reader's own.
enum class Holes { kZeros, kZerosIfData, kFault };

enum class Read {
    kWhole,
    kEmpty, // Holes::kZerosIfData, and the stream stores nothing
    kUnreadable,
    kRefused, // it would pass kMaxHashedBytes; the message is written
};

class Inspector {
  public:
    Inspector(apfs_container* container, apfs_mount* mount, apfs_tree* fs_tree, uint8_t index)
        : m_container(container), m_mount(mount), m_fs(fs_tree), m_index(index),
          m_hashed(apfs_volume_names_hashed(&container->volumes[index]) != 0), m_piece(kPieceBytes) {}

    bool Walk(std::vector<Entry>& out) {
        apfs_inode* root = m_mount->root->inode;
        uint64_t root_parent = apfs_le64(root->value);
        return Visit("/", apfs_inode_oid(root), root_parent, out);
    }

    // Resolves a path component by component through the root handle's directory iterator.
    std::string Lookup(const std::string& path) {
        uint64_t dir = APFS_ROOT_DIR_OID;
        uint64_t parent = apfs_le64(m_mount->root->inode->value);
        size_t pos = 0;
        std::string shown = "/";
        while (pos < path.size()) {
            size_t slash = path.find('/', pos);
            std::string component =
                path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
            pos = slash == std::string::npos ? path.size() : slash + 1;
            if (component.empty())
                continue;
            uint64_t found = 0;
            if (!Resolve(dir, component, &found))
                return "not found";
            parent = dir;
            dir = found;
            shown += (shown.size() > 1 ? "/" : "") + component;
        }
        std::string line;
        if (!Describe(shown, dir, parent, &line))
            return "error";
        return line;
    }

  private:
    uint64_t Id(uint64_t oid) const { return (static_cast<uint64_t>(m_index) << APFS_ID_VOLUME_SHIFT) | oid; }

    bool Resolve(uint64_t dir_oid, const std::string& name, uint64_t* out) {
        apfs_inode* dir = nullptr;
        if (!apfs_inode_open(m_container, Id(dir_oid), &dir, nullptr, m_fs))
            return false;
        apfs_dir_iter* iter = m_mount->root->iter;
        bool found = false;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(name.data());
        if (apfs_dir_iter_start(iter, m_mount, dir, bytes, static_cast<uint32_t>(name.size()), m_fs)) {
            const uint8_t* key;
            const uint8_t* value;
            uint16_t key_len, value_len;
            uint32_t end = 0;
            while (!found && apfs_btree_iter_next(m_fs->cursor, &key, &value, &key_len, &value_len, &end,
                                                  nullptr, nullptr)) {
                std::string stored;
                if (!RecordName(key, key_len, &stored) || !value || value_len < 8)
                    continue;
                if (apfs_name_compare(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), bytes,
                                      name.size(), iter->case_sensitive) == 0) {
                    *out = apfs_le64(value + kDrecFileIdOff) & APFS_OBJ_ID_MASK;
                    found = true;
                }
            }
        }
        apfs_inode_release(dir);
        return found;
    }

    bool RecordName(const uint8_t* key, uint16_t key_len, std::string* name) const {
        size_t off, len;
        if (m_hashed) {
            if (key_len < kDrecHashedNameOff)
                return false;
            off = kDrecHashedNameOff;
            len = apfs_le32(key + 8) & APFS_DREC_NAME_LEN_MASK;
        } else {
            if (key_len < kDrecNameOff)
                return false;
            off = kDrecNameOff;
            len = apfs_le16(key + 8);
        }
        if (len == 0 || off + len > key_len)
            return false;
        name->assign(reinterpret_cast<const char*>(key + off), len - 1);
        return true;
    }

    bool Children(uint64_t dir_oid, std::vector<Child>& out) {
        apfs_key start;
        apfs_omap_key_make(&start, dir_oid, APFS_TYPE_DIR_REC);
        uint32_t not_found = 0;
        if (!apfs_btree_iter_start(m_fs->cursor, &start, APFS_BT_EQ, &not_found, 1))
            return not_found != 0;
        const uint8_t* key;
        const uint8_t* value;
        uint16_t key_len, value_len;
        uint32_t end = 0;
        while (
            apfs_btree_iter_next(m_fs->cursor, &key, &value, &key_len, &value_len, &end, nullptr, nullptr)) {
            Child child;
            if (!RecordName(key, key_len, &child.name) || !value || value_len < 8)
                return false;
            child.oid = apfs_le64(value + kDrecFileIdOff) & APFS_OBJ_ID_MASK;
            out.push_back(child);
        }
        return end != 0;
    }

    bool Visit(const std::string& path, uint64_t oid, uint64_t parent, std::vector<Entry>& out) {
        if (out.size() >= kMaxEntries) {
            Append(m_err, "apfs-inspect: more than %zu entries; %s is not listed\n", kMaxEntries,
                   path.c_str());
            return false;
        }
        Entry entry;
        entry.path = path;
        uint16_t mode = 0;
        if (!Describe(path, oid, parent, &entry.line, &mode))
            return false;
        m_listed += entry.path.size() + entry.line.size();
        if (m_listed > kMaxListingBytes) {
            Append(m_err, "apfs-inspect: the listing passes %zu bytes at %s\n", kMaxListingBytes,
                   path.c_str());
            return false;
        }
        out.push_back(std::move(entry));
        if ((mode & APFS_MODE_TYPE) != kModeDir)
            return true;
        if (m_above.size() >= kMaxDepth) {
            Append(m_err, "apfs-inspect: %s lies more than %zu directories deep\n", path.c_str(), kMaxDepth);
            return false;
        }
        std::vector<Child> children;
        if (!Children(oid, children)) {
            Append(m_err, "apfs-inspect: cannot list %s\n", path.c_str());
            return false;
        }
        m_above.push_back(oid);
        bool ok = true;
        for (auto child = children.begin(); ok && child != children.end(); ++child) {
            std::string child_path = path == "/" ? "/" + child->name : path + "/" + child->name;
            // Directories have one name each: a record naming one on the path would walk it forever.
            if (std::find(m_above.begin(), m_above.end(), child->oid) != m_above.end()) {
                Append(m_err, "apfs-inspect: %s names directory %llu, which holds it\n", child_path.c_str(),
                       static_cast<unsigned long long>(child->oid));
                ok = false;
            } else {
                ok = Visit(child_path, child->oid, oid, out);
            }
        }
        m_above.pop_back();
        return ok;
    }

    // The first block of the stream's first extent that starts at or after block, or blocks when
    // none starts before it.
    bool NextExtent(uint64_t oid, uint64_t block, uint64_t blocks, uint64_t* next) {
        *next = blocks;
        if (block >= blocks)
            return true;
        uint32_t shift = m_container->block_shift;
        apfs_key start;
        apfs_extent_key_make(&start, oid, block << shift);
        uint32_t none = 0;
        if (!apfs_btree_iter_start(m_fs->cursor, &start, APFS_BT_GE, &none, 1))
            return none != 0;
        const uint8_t* key;
        const uint8_t* value;
        uint16_t key_len, value_len;
        uint32_t end = 0;
        if (!apfs_btree_iter_next(m_fs->cursor, &key, &value, &key_len, &value_len, &end, nullptr, nullptr))
            return end != 0;
        uint64_t id = oid | static_cast<uint64_t>(APFS_TYPE_FILE_EXTENT) << APFS_OBJ_TYPE_SHIFT;
        if (key_len >= kExtentKeySize && apfs_le64(key) == id)
            *next = std::min(blocks, apfs_le64(key + kExtentLogicalOff) >> shift);
        return true;
    }

    // Takes n bytes of the stream or value what, of size bytes in all, from what the run may hash.
    bool Charge(uint64_t n, uint64_t size, const std::string& what) {
        if (n > m_hash_left) {
            Append(m_err, "apfs-inspect: %s: %llu bytes would pass the %llu bytes one run hashes\n",
                   what.c_str(), static_cast<unsigned long long>(size),
                   static_cast<unsigned long long>(kMaxHashedBytes));
            return false;
        }
        m_hash_left -= n;
        return true;
    }

    // Hashes the stream's first size bytes a piece at a time. A hole is crossed in one step, to
    // the next extent or the end, and hashed as zeros without a transfer.
    Read HashStream(apfs_inode* inode, uint64_t oid, uint64_t size, Holes holes, const std::string& what,
                    Sha256Stream& hash) {
        uint32_t shift = m_container->block_shift;
        uint64_t blocks = (size >> shift) + ((size & (m_container->block_size - 1)) != 0);
        bool stored = false;
        for (uint64_t block = 0; block < blocks;) {
            apfs_extent run;
            apfs_extent_init(&run);
            if (!apfs_inode_map_extent(inode, oid, block, blocks - block, &run, m_fs) || run.length == 0)
                return Read::kUnreadable;
            uint64_t end = block + std::min(run.length, blocks - block);
            bool hole = run.phys_block == APFS_EXTENT_NO_BLOCK;
            if (hole) {
                // The run of a hole may reach past the extents after it: only their start ends it.
                uint64_t next = blocks;
                if (holes == Holes::kFault || !NextExtent(oid, block + 1, blocks, &next))
                    return Read::kUnreadable;
                end = std::min(end, next);
                if (holes == Holes::kZerosIfData && !stored && end == blocks)
                    return Read::kEmpty;
            } else {
                if (run.phys_block > (UINT64_MAX >> shift))
                    return Read::kUnreadable;
                end = std::min(end, block + (kPieceBytes >> shift));
            }
            uint64_t offset = block << shift;
            uint64_t n = (end == blocks ? size : end << shift) - offset;
            if (!Charge(n, size, what))
                return Read::kRefused;
            if (hole) {
                std::fill(m_piece.begin(), m_piece.begin() + static_cast<size_t>(std::min(n, kPieceBytes)),
                          0);
                for (uint64_t left = n; left > 0; left -= std::min(left, kPieceBytes))
                    hash.Update(m_piece.data(), static_cast<size_t>(std::min(left, kPieceBytes)));
            } else {
                if (!apfs_volume_read(inode->volume, run.phys_block << shift, m_piece.data(), n, run.decrypt,
                                      run.crypto_id))
                    return Read::kUnreadable;
                hash.Update(m_piece.data(), static_cast<size_t>(n));
                stored = true;
            }
            block = end;
        }
        return holes == Holes::kZerosIfData && !stored && blocks > 0 ? Read::kEmpty : Read::kWhole;
    }

    // The data stream's digest, left empty for a compressed file whose stream cannot be read or
    // stores nothing: the reader does not decompress.
    bool DataDigest(apfs_inode* inode, const std::string& path, std::string* digest) {
        uint64_t stream = apfs_le64(inode->value + APFS_INODE_PRIVATE_ID_OFF);
        bool compressed = apfs_inode_is_compressed(inode) != 0;
        Sha256Stream hash;
        Read read = HashStream(inode, stream, inode->size, compressed ? Holes::kZerosIfData : Holes::kZeros,
                               path, hash);
        if (read == Read::kRefused)
            return false;
        if (compressed && read != Read::kWhole)
            return true;
        if (read != Read::kWhole || !hash.Final(digest)) {
            Append(m_err, "apfs-inspect: cannot read the data of %s\n", path.c_str());
            return false;
        }
        return true;
    }

    // The digest of an attribute's value, and a symlink's target when it is one.
    bool ValueDigest(apfs_inode* inode, const apfs_xattr* xattr, const std::string& name,
                     const std::string& what, std::string* target, std::string* digest) {
        if (xattr->size > kMaxWholeValue) {
            if (target) {
                Append(m_err, "apfs-inspect: %s: %llu bytes, too long for a symlink target\n", what.c_str(),
                       static_cast<unsigned long long>(xattr->size));
                return false;
            }
            Sha256Stream hash;
            Read read = HashStream(inode, xattr->stream_oid, xattr->size, Holes::kFault, what, hash);
            if (read == Read::kRefused)
                return false;
            if (read == Read::kWhole && hash.Final(digest))
                return true;
        } else {
            if (!Charge(xattr->size, xattr->size, what))
                return false;
            std::vector<uint8_t> value(static_cast<size_t>(xattr->size));
            uint64_t size = 0;
            uint32_t too_small = 0, missing = 0;
            if (apfs_inode_get_xattr(inode, name.data(), static_cast<uint32_t>(name.size()), value.data(),
                                     value.size(), &size, &too_small, &missing, m_fs)) {
                if (target)
                    target->assign(value.begin(), std::find(value.begin(), value.end(), 0));
                *digest = Sha256(value.data(), value.size());
                return true;
            }
        }
        Append(m_err, "apfs-inspect: cannot read %s\n", what.c_str());
        return false;
    }

    bool Describe(const std::string& path, uint64_t oid, uint64_t parent, std::string* line,
                  uint16_t* mode_out = nullptr) {
        apfs_inode* inode = nullptr;
        if (!apfs_inode_open(m_container, Id(oid), &inode, nullptr, m_fs)) {
            Append(m_err, "apfs-inspect: cannot open inode %llu (%s)\n", static_cast<unsigned long long>(oid),
                   path.c_str());
            return false;
        }
        uint16_t mode = apfs_inode_mode(inode);
        int32_t nlink = static_cast<int32_t>(apfs_le32(inode->value + APFS_INODE_NCHILDREN_OFF));
        std::string digest, target, xattrs;
        bool ok = true;
        if ((mode & APFS_MODE_TYPE) == kModeRegular && !DataDigest(inode, path, &digest))
            ok = false;
        std::vector<std::pair<std::string, std::string>> attributes;
        for (apfs_list* link = inode->xattrs.next; ok && link != &inode->xattrs; link = link->next) {
            apfs_xattr* xattr =
                reinterpret_cast<apfs_xattr*>(reinterpret_cast<uint8_t*>(link) - offsetof(apfs_xattr, link));
            std::string name(reinterpret_cast<const char*>(xattr->data),
                             xattr->name_len ? xattr->name_len - 1u : 0u);
            bool is_target = (mode & APFS_MODE_TYPE) == APFS_MODE_SYMLINK && name == APFS_XATTR_NAME_SYMLINK;
            std::string value;
            if (!ValueDigest(inode, xattr, name, "xattr " + name + " of " + path,
                             is_target ? &target : nullptr, &value)) {
                ok = false;
                break;
            }
            attributes.emplace_back(name, std::to_string(xattr->size) + ":" + value);
        }
        std::sort(attributes.begin(), attributes.end());
        for (const auto& a : attributes)
            xattrs += (xattrs.empty() ? "" : ";") + Escape(a.first) + "=" + a.second;
        char head[160];
        snprintf(head, sizeof(head), "%u|", m_index);
        char tail[160];
        snprintf(tail, sizeof(tail), "|%llu|%llu|%06o|%llu|%d|", static_cast<unsigned long long>(oid),
                 static_cast<unsigned long long>(parent), mode, static_cast<unsigned long long>(inode->size),
                 nlink);
        *line = head + Escape(path) + tail + digest + "|" + Escape(target) + "|" + xattrs;
        if (mode_out)
            *mode_out = mode;
        apfs_inode_release(inode);
        return ok;
    }

  public:
    std::string m_err;

  private:
    apfs_container* m_container;
    apfs_mount* m_mount;
    apfs_tree* m_fs;
    uint8_t m_index;
    bool m_hashed;
    std::vector<uint8_t> m_piece;
    uint64_t m_hash_left = kMaxHashedBytes;
    size_t m_listed = 0;
    std::vector<uint64_t> m_above; // the directories on the path being walked
};

} // namespace

int InspectReader(const InspectOptions& o, FsReader* reader, std::string& out, std::string& err) {
    std::vector<uint8_t> block0(4096);
    if (!FsReader_Read(reader, 0, block0.data(), block0.size())) {
        err += "apfs-inspect: cannot read the first block\n";
        return 1;
    }
    // The flag of a non-contiguous area is left to the open, which refuses it.
    uint32_t area = apfs_le32(block0.data() + APFS_NX_XP_DESC_BLOCKS) & ~APFS_NX_XP_DESC_NONCONTIG;
    if (apfs_le32(block0.data() + APFS_NX_MAGIC_OFF) == APFS_NX_MAGIC && area > kMaxAreaBlocks) {
        Append(err, "apfs-inspect: the checkpoint area of %u blocks is larger than the %u this tool walks\n",
               area, kMaxAreaBlocks);
        return 1;
    }
    apfs_container container;
    apfs_container_init(&container);
    if (!apfs_container_open(&container, block0.data(), reader)) {
        err += "apfs-inspect: not a readable APFS container\n";
        apfs_container_free(&container);
        return 1;
    }
    uint32_t index =
        o.volume >= 0 ? static_cast<uint32_t>(o.volume) : apfs_container_find_data_volume(&container);
    apfs_mount mount;
    apfs_mount_init(&mount, &container);
    apfs_tree omap_tree, fs_tree;
    apfs_tree_init(&omap_tree, &container);
    apfs_tree_init(&fs_tree, &container);
    int rc = 1;
    if (!apfs_mount_volume(&mount, static_cast<int32_t>(index), o.password, &omap_tree, &fs_tree)) {
        bool encrypted = index < container.volume_count && container.volumes[index].encrypted;
        Append(err, "apfs-inspect: volume %u does not mount%s\n", index, encrypted ? " (encrypted)" : "");
        rc = encrypted ? kInspectEncrypted : 1;
    } else {
        // Every size that still reaches an allocation is bounded; memory may run out all the same.
        try {
            const apfs_volume* volume = &container.volumes[index];
            const char* raw_name = reinterpret_cast<const char*>(volume->superblock + kVolNameOff);
            std::string name(raw_name, strnlen(raw_name, kVolNameMax));
            Inspector inspector(&container, &mount, &fs_tree, static_cast<uint8_t>(index));
            if (!o.lookups.empty()) {
                for (const std::string& path : o.lookups)
                    out += inspector.Lookup(path) + "\n";
                rc = 0;
            } else {
                std::vector<Entry> entries;
                out += "# format: volume|path|inode|parent|mode|size|nlink|sha256|symlink|xattrs\n";
                Append(out, "# container: uuid=%s volumes=%u\n",
                       Uuid(container.superblock + APFS_NX_UUID).c_str(),
                       apfs_container_volume_count(&container));
                if (volume->unlocked)
                    Append(out, "# volume %u: locked; unlock with password: ok\n", index);
                Append(out, "# volume %u: uuid=%s name=", index, Uuid(apfs_volume_uuid(volume)).c_str());
                out += name + "\n";
                bool ok = inspector.Walk(entries);
                std::sort(entries.begin(), entries.end(),
                          [](const Entry& a, const Entry& b) { return a.path < b.path; });
                for (const Entry& e : entries)
                    out += e.line + "\n";
                rc = ok ? 0 : 1;
            }
            err += inspector.m_err;
        } catch (const std::bad_alloc&) {
            err += "apfs-inspect: out of memory\n";
            rc = 1;
        }
    }
    apfs_tree_free(&fs_tree);
    apfs_tree_free(&omap_tree);
    apfs_mount_free(&mount);
    apfs_container_free(&container);
    return rc;
}

int RunInspect(const InspectOptions& options, std::string& out, std::string& err) {
    FsReader reader;
    FsReader_Reset(&reader);
    int rc = 1;
    if (FsReader_Init(&reader, options.device.c_str()))
        rc = InspectReader(options, &reader, out, err);
    else
        err += "apfs-inspect: cannot open " + options.device + "\n";
    FsReader_Uninit(&reader);
    return rc;
}
