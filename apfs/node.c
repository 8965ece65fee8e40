#include "node.h"

#include <string.h>

#include "block.h"
#include "container.h"
#include "key.h"
#include "tree.h"

/* Table-of-contents entries: kvloc_t in variable nodes, kvoff_t in fixed ones. */
#define KVLOC_SIZE 8
#define KVOFF_SIZE 4

void apfs_node_init(apfs_node* node, apfs_tree* owner) {
    memset(node, 0, sizeof *node);
    node->owner = owner;
    node->container = owner ? owner->head.container : NULL;
    node->vol_idx = APFS_VOLUME_CONTAINER;
}

void apfs_node_fixed_sizes(uint16_t subtype, uint16_t level, uint16_t* key_len, uint16_t* value_len) {
    uint16_t k = 0, v = 0;
    switch (subtype) {
    case APFS_SUBTYPE_SPACEMAN_FREE_QUEUE:
        k = 16;
        v = 8;
        break;
    case APFS_SUBTYPE_OMAP:
        k = 16;
        v = level == 0 ? 16 : 8;
        break;
    case APFS_SUBTYPE_OMAP_SNAPSHOT:
        k = 8;
        v = level == 0 ? 16 : 8;
        break;
    case APFS_SUBTYPE_GBITMAP_TREE:
        k = 8;
        v = 8;
        break;
    }
    if (key_len)
        *key_len = k;
    if (value_len)
        *value_len = v;
}

/* Points the node at its holder's bytes and checks the header; the pointers stay NULL unless
 * the header and the layout it describes are sound, so a refused node is never searched. */
int apfs_node_check_header(apfs_node* node) {
    uint8_t* b = apfs_block_slot_data(&node->holder);
    node->block = node->toc = node->value_end = node->info = node->key_area = NULL;
    if (!b || !node->container)
        return 0;
    uint16_t flags = apfs_le16(b + APFS_BTN_FLAGS);
    if (flags > APFS_BTNODE_FLAGS_MAX)
        return 0;
    node->fixed = (flags & APFS_BTNODE_FIXED_KV_SIZE) != 0;
    node->root = (flags & APFS_BTNODE_ROOT) != 0;
    node->oid = apfs_le64(b + APFS_OBJ_OID);
    node->xid = apfs_le64(b + APFS_OBJ_XID);
    node->nkeys = apfs_le32(b + APFS_BTN_NKEYS);
    node->level = apfs_le16(b + APFS_BTN_LEVEL);
    node->subtype = (uint16_t)apfs_le32(b + APFS_OBJ_SUBTYPE);
    if (apfs_obj_type(b) != (node->root ? APFS_OBJECT_TYPE_BTREE : APFS_OBJECT_TYPE_BTREE_NODE))
        return 0;
    if (((flags & APFS_BTNODE_LEAF) != 0) != (node->level == 0))
        return 0;
    if (node->xid > apfs_container_xid(node->container))
        return 0;

    uint32_t size = node->container->block_size;
    uint32_t end = size - (node->root ? APFS_BTREE_INFO_SIZE : 0);
    uint32_t table_len = apfs_le16(b + APFS_BTN_TABLE_SPACE_LEN);
    uint64_t toc_need = (uint64_t)node->nkeys * (node->fixed ? KVOFF_SIZE : KVLOC_SIZE);
    if (APFS_BTN_DATA + table_len > end || toc_need > table_len)
        return 0;
    node->block = b;
    node->toc = b + APFS_BTN_DATA;
    node->key_area = node->toc + table_len;
    node->value_end = b + end;
    node->info = node->root ? b + end : NULL;
    return 1;
}

int apfs_node_load(apfs_node* node, uint64_t block, uint8_t vol_idx, int decrypt) {
    node->block = NULL;
    if (!apfs_block_acquire(&node->holder, node->container, block, 0,
                            decrypt ? vol_idx : APFS_VOLUME_CONTAINER, 0))
        return 0;
    node->vol_idx = vol_idx;
    node->paddr = block;
    return apfs_node_check_header(node);
}

int apfs_node_clone(apfs_node* node, const apfs_node* other) {
    node->block = NULL;
    if (!apfs_block_acquire_clone(&node->holder, node->container, &other->holder, 0))
        return 0;
    node->vol_idx = other->vol_idx;
    node->paddr = other->paddr;
    return apfs_node_check_header(node);
}

/* The header is checked again: a released block is read anew and may have changed. */
int apfs_node_reload(apfs_node* node) {
    uint8_t vol = node->subtype == APFS_SUBTYPE_FSTREE ? node->vol_idx : APFS_VOLUME_CONTAINER;
    node->block = NULL;
    if (!apfs_block_acquire(&node->holder, node->container, node->paddr, 0, vol, 1))
        return 0;
    return apfs_node_check_header(node);
}

void apfs_node_release(apfs_node* node) {
    node->block = NULL;
    apfs_block_slot_clear(&node->holder);
}

void apfs_node_free(apfs_node* node) {
    if (!node)
        return;
    node->block = NULL;
    apfs_block_slot_clear(&node->holder);
}

int apfs_node_entry(const apfs_node* node, uint32_t i, const uint8_t** key, const uint8_t** value,
                    uint16_t* key_len, uint16_t* value_len) {
    if (!node->block || i >= node->nkeys)
        return 0;
    uint16_t k_off, k_len, v_off, v_len;
    if (node->fixed) {
        const uint8_t* e = node->toc + (size_t)i * KVOFF_SIZE;
        k_off = apfs_le16(e);
        v_off = apfs_le16(e + 2);
        apfs_node_fixed_sizes(node->subtype, node->level, &k_len, &v_len);
    } else {
        const uint8_t* e = node->toc + (size_t)i * KVLOC_SIZE;
        k_off = apfs_le16(e);
        k_len = apfs_le16(e + 2);
        v_off = apfs_le16(e + 4);
        v_len = apfs_le16(e + 6);
    }
    /* Keys grow forward from the key area, values backward from value_end; both must stay
     * between the two. */
    size_t area = (size_t)(node->value_end - node->key_area);
    if ((size_t)k_off + k_len > area)
        return 0;
    if (v_off != APFS_BTOFF_INVALID && (v_off > area || v_len > v_off))
        return 0;
    if (key)
        *key = node->key_area + k_off;
    if (value)
        *value = v_off == APFS_BTOFF_INVALID ? NULL : node->value_end - v_off;
    if (key_len)
        *key_len = k_len;
    if (value_len)
        *value_len = v_len;
    return 1;
}

int apfs_node_key_view(const apfs_node* node, const uint8_t* key, apfs_key* scratch) {
    size_t room = (size_t)(node->block + node->container->block_size - key);
    if (room < apfs_key_head_size(scratch->kind))
        return 0;
    apfs_key_set_data(scratch, key);
    return apfs_key_size(scratch) <= room;
}

static int view_key(const apfs_node* node, uint32_t i, apfs_key* scratch) {
    const uint8_t* key;
    return apfs_node_entry(node, i, &key, NULL, NULL, NULL) && apfs_node_key_view(node, key, scratch);
}

int apfs_node_search(apfs_node* node, const apfs_key* search, uint32_t mode, int32_t* index) {
    apfs_btree* owner = &node->owner->head;
    if (!node->block)
        return 0;
    if (!apfs_key_make(search->kind, NULL, &owner->scratch_a) ||
        !apfs_key_make(search->kind, NULL, &owner->scratch_b))
        return 0;
    apfs_key* k = owner->scratch_a;
    apfs_key* n = owner->scratch_b;
    k->case_sensitive = n->case_sensitive = search->case_sensitive;
    const int before = (mode & APFS_BT_BEFORE) != 0;
    const int index_node = node->level != 0;

    if (node->nkeys == 0) {
        *index = before && node->root ? APFS_NODE_AT_FIRST : APFS_NODE_NOT_FOUND;
        return 1;
    }
    if (!view_key(node, 0, k))
        return 0;
    if (apfs_key_greater(k, search)) {
        *index = APFS_NODE_BELOW_FIRST;
        return 1;
    }
    if (node->nkeys == 1) {
        if ((mode & (APFS_BT_LE | APFS_BT_BEFORE) || index_node) && apfs_key_greater(search, k))
            *index = 0;
        else if (mode & (APFS_BT_LE | APFS_BT_EQ) && apfs_key_equal(search, k))
            *index = 0;
        else if (before && apfs_key_equal(search, k))
            *index = APFS_NODE_AT_FIRST;
        else
            *index = APFS_NODE_NOT_FOUND;
        return 1;
    }

    const uint32_t type = apfs_key_type(search);
    uint32_t lo = 0, hi = node->nkeys - 1;
    for (;;) {
        uint32_t mid = lo + (hi - lo) / 2;
        int has_next = mid + 1 < node->nkeys;
        if (!view_key(node, mid, k) || (has_next && !view_key(node, mid + 1, n)))
            return 0;
        int gt = apfs_key_greater(search, k);
        if (before) {
            if (gt && (!has_next || apfs_key_less_equal(search, n))) {
                *index = (int32_t)mid;
                return 1;
            }
            if (mid == 0 && apfs_key_equal(search, k)) {
                *index = APFS_NODE_AT_FIRST;
                return 1;
            }
        } else {
            int same_type = apfs_key_type(k) == type;
            if (same_type && apfs_key_equal(search, k)) {
                *index = (int32_t)mid;
                return 1;
            }
            if ((mode & APFS_BT_LE || index_node) && gt &&
                (index_node || mode & APFS_BT_ANY_TYPE || same_type) &&
                (!has_next || apfs_key_greater(n, search))) {
                *index = (int32_t)mid;
                return 1;
            }
        }
        if (lo == hi) {
            *index = APFS_NODE_NOT_FOUND;
            return 1;
        }
        if (gt)
            lo = mid + 1;
        else
            hi = mid;
        if (lo > hi) {
            *index = APFS_NODE_NOT_FOUND;
            return 1;
        }
    }
}

uint32_t apfs_node_key_count(const apfs_node* node) {
    return node->nkeys;
}

uint16_t apfs_node_level(const apfs_node* node) {
    return node->level;
}

uint16_t apfs_node_subtype(const apfs_node* node) {
    return node->subtype;
}

uint8_t apfs_node_vol_idx(const apfs_node* node) {
    return node->vol_idx;
}

int apfs_node_loaded(const apfs_node* node) {
    return node->block != NULL;
}

int apfs_node_is_fstree(const apfs_node* node) {
    return node->subtype == APFS_SUBTYPE_FSTREE;
}
