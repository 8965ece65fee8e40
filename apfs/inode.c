/* Inodes of a mounted volume: the inode record with its extended fields, the extended attributes,
 * the file extents and reads of data streams through them. */
#include "inode.h"

#include "container.h"
#include "key.h"
#include "keybag.h"
#include "tree.h"
#include "volume.h"

#include <stdlib.h>
#include <string.h>

/* j_xattr_key_t and j_xattr_val_t */
#define XATTR_KEY_NAME_LEN_OFF 8
#define XATTR_KEY_NAME_OFF 10
#define XATTR_VAL_FLAGS_OFF 0
#define XATTR_VAL_XDATA_LEN_OFF 2
#define XATTR_VAL_XDATA_OFF 4
/* j_xattr_dstream_t: xattr_obj_id, then a j_dstream_t whose size comes first */
#define XATTR_DSTREAM_OID_OFF 0
#define XATTR_DSTREAM_SIZE_OFF 8
#define XATTR_DSTREAM_MIN 16

/* j_file_extent_key_t and j_file_extent_val_t */
#define EXTENT_KEY_LOGICAL_OFF 8
#define EXTENT_KEY_SIZE 16
#define EXTENT_LEN_AND_FLAGS_OFF 0
#define EXTENT_PHYS_OFF 8
#define EXTENT_CRYPTO_ID_OFF 16
#define EXTENT_VAL_SIZE 24
#define EXTENT_LEN_MASK 0x00FFFFFFFFFFFFFFull
#define EXTENT_FLAG_DECRYPT_SHIFT 56

/* xf_blob_t and x_field_t */
#define XF_USED_DATA_OFF 2
#define XF_DESCRIPTORS_OFF 4
#define XF_DESC_SIZE 4
#define X_TYPE_OFF 0
#define X_SIZE_OFF 2
#define XF_ALIGN 8u

#define JKEY_SIZE 8

/* Attributes one inode may gather: macOS writes a handful per file, crafted trees millions. */
#define INODE_MAX_XATTRS 4096u
/* Their bytes of names and inline values: a thousand of the largest inline values (3804 bytes). */
#define INODE_MAX_XATTR_BYTES (4u << 20)

/* An attribute value stored in a data stream rather than inline: flags 1 or 0x11. */
static int xattr_flags_stream(uint16_t flags) {
    return (((uint16_t)(flags - 1u)) & 0xFFEFu) == 0;
}

void apfs_inode_init(apfs_inode* inode) {
    memset(inode, 0, sizeof(*inode));
    apfs_list_init(&inode->xattrs);
}

void apfs_xattr_init(apfs_xattr* xattr) {
    memset(xattr, 0, sizeof(*xattr));
    apfs_list_init(&xattr->link);
}

void apfs_xattr_free_data(apfs_xattr* xattr) {
    free(xattr->data);
    xattr->data = NULL;
}

void apfs_extent_init(apfs_extent* extent) {
    memset(extent, 0, sizeof(*extent));
    extent->phys_block = APFS_EXTENT_NO_BLOCK;
}

int apfs_xattr_set(apfs_xattr* xattr, const uint8_t* name, uint16_t name_len, uint16_t flags,
                   const uint8_t* xdata, uint16_t xdata_len) {
    int stream = xattr_flags_stream(flags);
    /* A stream's data lives under a nonzero object id: id 0 would leave a stream size with no
     * stream behind it. */
    if (stream && (xdata_len < XATTR_DSTREAM_MIN || apfs_le64(xdata + XATTR_DSTREAM_OID_OFF) == 0))
        return 0;
    uint16_t old_name_len = xattr->name_len;
    uint64_t old_inline = !xattr_flags_stream(xattr->flags) && xattr->data ? xattr->size : 0;
    uint16_t new_name_len = name_len != 0 ? name_len : old_name_len;
    size_t need = (size_t)new_name_len + (stream ? 0 : xdata_len);
    size_t have = xattr->data ? (size_t)old_name_len + (size_t)old_inline : 0;
    if (!xattr->data || have < need) {
        uint8_t* data = malloc(need ? need : 1);
        if (!data)
            return 0;
        if (xattr->data)
            memcpy(data, xattr->data, have);
        free(xattr->data);
        xattr->data = data;
    }
    xattr->name_len = new_name_len;
    xattr->flags = flags;
    if (name_len != 0)
        memcpy(xattr->data, name, name_len);
    if (stream) {
        xattr->stream_oid = apfs_le64(xdata + XATTR_DSTREAM_OID_OFF);
        xattr->size = apfs_le64(xdata + XATTR_DSTREAM_SIZE_OFF);
    } else {
        memcpy(xattr->data + new_name_len, xdata, xdata_len);
        xattr->size = xdata_len;
        xattr->stream_oid = 0;
    }
    return 1;
}

void apfs_inode_free(apfs_inode* inode) {
    while (!apfs_list_is_empty(&inode->xattrs)) {
        apfs_list* link = inode->xattrs.next;
        apfs_list_del(link);
        apfs_xattr* xattr = (apfs_xattr*)((uint8_t*)link - offsetof(apfs_xattr, link));
        apfs_xattr_free_data(xattr);
        free(xattr);
    }
    free(inode->value);
    inode->value = NULL;
}

void apfs_inode_release(apfs_inode* inode) {
    if (!inode)
        return;
    if (inode->refcount > 1) {
        inode->refcount--;
        return;
    }
    apfs_inode_free(inode);
    free(inode);
}

uint64_t apfs_inode_oid(const apfs_inode* inode) {
    return inode->id & APFS_OBJ_ID_MASK;
}

uint16_t apfs_inode_mode(const apfs_inode* inode) {
    return inode->value ? apfs_le16(inode->value + APFS_INODE_MODE_OFF) : 0;
}

int apfs_inode_is_compressed(const apfs_inode* inode) {
    return inode->value &&
           (apfs_le32(inode->value + APFS_INODE_BSD_FLAGS_OFF) & APFS_INODE_BSD_COMPRESSED) != 0;
}

/* Points the inode at the extended fields of its value; every field must lie inside the record. */
static int inode_parse_xfields(apfs_inode* inode) {
    const uint8_t* value = inode->value;
    uint32_t len = inode->value_len;
    uint16_t count = apfs_le16(value + APFS_INODE_XFIELDS_OFF);
    if (count == 0)
        return 1;
    uint64_t desc = APFS_INODE_XFIELDS_OFF + XF_DESCRIPTORS_OFF;
    uint64_t data = desc + (uint64_t)count * XF_DESC_SIZE;
    if (data > len)
        return 0;
    uint64_t pos = data;
    for (uint16_t i = 0; i < count; i++) {
        const uint8_t* d = value + desc + (uint64_t)i * XF_DESC_SIZE;
        uint8_t type = d[X_TYPE_OFF];
        uint16_t size = apfs_le16(d + X_SIZE_OFF);
        if (!apfs_range_ok(pos, size, len))
            return 0;
        const uint8_t* field = value + pos;
        switch (type) {
        case APFS_INO_EXT_TYPE_NAME:
            inode->name = field;
            inode->name_len = size;
            break;
        case APFS_INO_EXT_TYPE_DSTREAM:
            if (size < 8)
                return 0;
            inode->data_stream = field;
            inode->size = apfs_le64(field);
            break;
        case APFS_INO_EXT_TYPE_SPARSE_BYTES:
            if (size < 8)
                return 0;
            inode->sparse_bytes = apfs_le64(field);
            break;
        case APFS_INO_EXT_TYPE_RDEV:
            inode->device = field;
            break;
        default:
            break;
        }
        /* Each field's data starts on an 8-byte boundary counted from the end of the descriptors. */
        pos += ((uint64_t)size + XF_ALIGN - 1) & ~(uint64_t)(XF_ALIGN - 1);
    }
    return 1;
}

static int inode_take_value(apfs_inode* inode, const uint8_t* value, uint16_t len) {
    size_t copy = len > APFS_INODE_MIN_COPY ? len : APFS_INODE_MIN_COPY;
    inode->value = calloc(1, copy);
    if (!inode->value)
        return 0;
    memcpy(inode->value, value, len);
    inode->value_len = len;
    return inode_parse_xfields(inode);
}

/* count and bytes are what the inode has gathered so far, against the limits above. */
static int inode_add_xattr(apfs_inode* inode, const uint8_t* key, uint16_t key_len, const uint8_t* value,
                           uint16_t value_len, uint32_t* count, uint32_t* bytes) {
    if (!value || key_len < XATTR_KEY_NAME_OFF || value_len < XATTR_VAL_XDATA_OFF)
        return 0;
    uint16_t name_len = apfs_le16(key + XATTR_KEY_NAME_LEN_OFF);
    if (name_len == 0 || name_len > key_len - XATTR_KEY_NAME_OFF)
        return 0;
    uint16_t xdata_len = apfs_le16(value + XATTR_VAL_XDATA_LEN_OFF);
    if (xdata_len > value_len - XATTR_VAL_XDATA_OFF)
        return 0;
    uint16_t flags = apfs_le16(value + XATTR_VAL_FLAGS_OFF);
    uint32_t size = (uint32_t)name_len + (xattr_flags_stream(flags) ? 0u : xdata_len);
    if (*count >= INODE_MAX_XATTRS || size > INODE_MAX_XATTR_BYTES - *bytes)
        return 0;
    (*count)++;
    *bytes += size;
    apfs_xattr* xattr = malloc(sizeof(*xattr));
    if (!xattr)
        return 0;
    apfs_xattr_init(xattr);
    apfs_list_add_tail(&xattr->link, &inode->xattrs);
    return apfs_xattr_set(xattr, key + XATTR_KEY_NAME_OFF, name_len, flags, value + XATTR_VAL_XDATA_OFF,
                          xdata_len);
}

int apfs_inode_load(apfs_inode* inode, apfs_container* container, uint64_t id, uint32_t* not_found,
                    apfs_tree* tree) {
    inode->id = id;
    inode->container = container;
    inode->volume_index = (uint8_t)(id >> APFS_ID_VOLUME_SHIFT);
    inode->volume = apfs_container_volume(container, inode->volume_index);
    if (!apfs_fs_tree_ready(tree))
        return 0;
    uint64_t oid = id & APFS_OBJ_ID_MASK;
    apfs_key start;
    apfs_omap_key_make(&start, oid, APFS_TYPE_INODE);
    if (!apfs_btree_iter_start(tree->cursor, &start, APFS_BT_GE | APFS_BT_ANY_TYPE, not_found, 1))
        return 0;
    uint32_t xattr_count = 0, xattr_bytes = 0;
    for (;;) {
        const uint8_t* key = NULL;
        const uint8_t* value = NULL;
        uint16_t key_len = 0, value_len = 0;
        uint32_t end = 0;
        if (!apfs_btree_iter_next(tree->cursor, &key, &value, &key_len, &value_len, &end, NULL, NULL)) {
            if (!end)
                return 0;
            break;
        }
        if (!key || key_len < JKEY_SIZE)
            return 0;
        uint64_t header = apfs_le64(key);
        uint32_t type = (uint32_t)(header >> APFS_OBJ_TYPE_SHIFT);
        /* The load takes the inode and its attributes alone. What follows them (sibling links,
         * stream ids, crypto states, extents, which are looked up when a stream is read) may fill
         * any number of leaves, and walking it would cost a read per leaf for nothing. */
        if (type > APFS_TYPE_XATTR || (header & APFS_OBJ_ID_MASK) > oid)
            break;
        if (type == APFS_TYPE_INODE) {
            if (inode->value || !value || !inode_take_value(inode, value, value_len))
                return 0;
        } else if (type == APFS_TYPE_XATTR) {
            if (!inode_add_xattr(inode, key, key_len, value, value_len, &xattr_count, &xattr_bytes))
                return 0;
        }
    }
    if (!inode->value) {
        if (not_found)
            *not_found = 1;
        return 0;
    }
    if ((apfs_inode_mode(inode) & APFS_MODE_TYPE) == APFS_MODE_SYMLINK) {
        uint64_t target = 0;
        uint32_t too_small = 0, missing = 0;
        if (apfs_inode_get_xattr(inode, APFS_XATTR_NAME_SYMLINK, sizeof(APFS_XATTR_NAME_SYMLINK) - 1, NULL, 0,
                                 &target, &too_small, &missing, tree))
            inode->size = target + 1;
        else if (!too_small && !missing)
            return 0;
        else
            inode->size = 0;
    }
    if (apfs_inode_is_compressed(inode) &&
        (apfs_le64(inode->value + APFS_INODE_INTERNAL_FLAGS_OFF) & APFS_INODE_HAS_UNCOMPRESSED_SIZE))
        inode->size = apfs_le64(inode->value + APFS_INODE_UNCOMPRESSED_SIZE_OFF);
    inode->refcount++;
    return 1;
}

int apfs_inode_open(apfs_container* container, uint64_t id, apfs_inode** out, uint32_t* not_found,
                    apfs_tree* tree) {
    apfs_inode* inode = malloc(sizeof(*inode));
    if (!inode)
        return 0;
    apfs_inode_init(inode);
    if (!apfs_inode_load(inode, container, id, not_found, tree)) {
        apfs_inode_free(inode);
        free(inode);
        return 0;
    }
    *out = inode;
    return 1;
}

int apfs_inode_get_xattr(apfs_inode* inode, const char* name, uint32_t name_len, void* buffer,
                         uint64_t buffer_size, uint64_t* out_size, uint32_t* too_small, uint32_t* not_found,
                         apfs_tree* tree) {
    if (!name || name_len == 0)
        return 0;
    apfs_xattr* found = NULL;
    for (apfs_list* link = inode->xattrs.next; link != &inode->xattrs; link = link->next) {
        apfs_xattr* xattr = (apfs_xattr*)((uint8_t*)link - offsetof(apfs_xattr, link));
        if ((uint32_t)xattr->name_len - 1 == name_len && memcmp(xattr->data, name, name_len) == 0) {
            found = xattr;
            break;
        }
    }
    if (!found) {
        if (not_found)
            *not_found = 1;
        return 0;
    }
    if (out_size)
        *out_size = found->size;
    if (buffer_size == 0)
        return 1;
    if (found->size > buffer_size) {
        if (too_small)
            *too_small = 1;
        return 0;
    }
    if (!buffer)
        return 0;
    if (!xattr_flags_stream(found->flags)) {
        memcpy(buffer, found->data + found->name_len, (size_t)found->size);
        return 1;
    }
    return apfs_inode_read_stream(inode, found->stream_oid, buffer, found->size, tree);
}

int apfs_inode_extent_at(apfs_inode* inode, uint64_t oid, uint64_t offset, apfs_extent* out,
                         uint32_t* not_found, apfs_tree* tree) {
    (void)inode;
    const uint8_t* value = NULL;
    const uint8_t* key = NULL;
    uint16_t value_len = 0;
    if (!apfs_btree_extent_lookup(&tree->head, oid, offset, &value, &key, not_found))
        return 0;
    if (!key || !value || !apfs_btree_current_value_len(&tree->head, &value_len) ||
        value_len < EXTENT_VAL_SIZE)
        return 0;
    apfs_container* container = tree->head.container;
    uint64_t len_and_flags = apfs_le64(value + EXTENT_LEN_AND_FLAGS_OFF);
    out->oid = apfs_le64(key) & APFS_OBJ_ID_MASK;
    out->logical_block = apfs_le64(key + EXTENT_KEY_LOGICAL_OFF) >> container->block_shift;
    out->phys_block = apfs_le64(value + EXTENT_PHYS_OFF);
    out->length = (len_and_flags & EXTENT_LEN_MASK) >> container->block_shift;
    out->crypto_id = apfs_le64(value + EXTENT_CRYPTO_ID_OFF);
    out->decrypt = (uint32_t)((len_and_flags >> EXTENT_FLAG_DECRYPT_SHIFT) & 1u);
    out->value = value;
    return 1;
}

static void extent_hole(apfs_extent* out, uint64_t count) {
    out->phys_block = APFS_EXTENT_NO_BLOCK;
    out->length = count;
}

int apfs_inode_map_extent(apfs_inode* inode, uint64_t oid, uint64_t first_block, uint64_t block_count,
                          apfs_extent* out, apfs_tree* tree) {
    apfs_container* container = inode->container;
    out->phys_block = 0;
    out->length = 0;
    if (first_block > (UINT64_MAX >> container->block_shift))
        return 0;
    uint32_t not_found = 0;
    apfs_extent found;
    apfs_extent_init(&found);
    if (!apfs_inode_extent_at(inode, oid, first_block << container->block_shift, &found, &not_found, tree)) {
        if (!not_found)
            return 0;
        extent_hole(out, block_count);
        return 1;
    }
    uint64_t start = found.logical_block;
    uint64_t end = start + found.length;
    if (end < start)
        return 0;
    uint64_t last = first_block + block_count;
    int touches = (last > start && last <= end) || (first_block >= start && first_block < end);
    if (!touches) {
        extent_hole(out, block_count);
        return 1;
    }
    uint64_t left = end - first_block;
    out->length = (block_count != 0 && left >= block_count) ? block_count : left;
    if (found.phys_block == 0) {
        out->phys_block = APFS_EXTENT_NO_BLOCK;
        return 1;
    }
    out->oid = found.oid;
    out->logical_block = first_block;
    out->phys_block = found.phys_block + (first_block - start);
    out->crypto_id = found.crypto_id + (first_block - start);
    out->decrypt = found.decrypt;
    out->value = found.value;
    return 1;
}

int apfs_inode_read_stream(apfs_inode* inode, uint64_t oid, void* buffer, uint64_t size, apfs_tree* tree) {
    if (size == 0)
        return 1;
    apfs_container* container = inode->container;
    uint32_t shift = container->block_shift;
    uint64_t block_size = container->block_size;
    uint64_t wanted = (size >> shift) + ((size & (block_size - 1)) != 0);
    uint64_t logical = 0;
    uint64_t done = 0;
    uint8_t* out = buffer;
    if (buffer && !inode->volume)
        return 0;
    while (done < size) {
        apfs_extent run;
        apfs_extent_init(&run);
        if (!apfs_inode_map_extent(inode, oid, logical, wanted, &run, tree))
            return 0;
        if (run.phys_block == APFS_EXTENT_NO_BLOCK || run.length == 0)
            return 0;
        uint64_t left = size - done;
        uint64_t chunk = run.length >= ((left >> shift) + 1) ? left : run.length << shift;
        if (chunk > left)
            chunk = left;
        if (buffer) {
            if (run.phys_block > (UINT64_MAX >> shift))
                return 0;
            if (!apfs_volume_read(inode->volume, run.phys_block << shift, out + done, chunk, run.decrypt,
                                  run.crypto_id))
                return 0;
        }
        done += chunk;
        logical += run.length;
        wanted = run.length < wanted ? wanted - run.length : 0;
    }
    return 1;
}
