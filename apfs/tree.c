#include "tree.h"

#include <stdlib.h>
#include <string.h>

#include "block.h"
#include "container.h"
#include "node.h"

#define FILE_EXTENT_LEN_MASK 0x00FFFFFFFFFFFFFFull

static apfs_tree_level* level_new(apfs_tree* owner, apfs_tree* resolver) {
    apfs_tree_level* level = calloc(1, sizeof *level);
    if (!level)
        return NULL;
    level->node = malloc(sizeof *level->node);
    if (!level->node) {
        free(level);
        return NULL;
    }
    apfs_node_init(level->node, owner);
    level->owner = owner;
    level->resolver = resolver;
    level->index = -1;
    return level;
}

static void level_free_chain(apfs_tree_level* level) {
    while (level) {
        apfs_tree_level* child = level->child;
        apfs_node_free(level->node);
        free(level->node);
        free(level);
        level = child;
    }
}

static void level_strip(apfs_tree_level* level) {
    level_free_chain(level->child);
    level->child = NULL;
}

/* A level's node may have been released; it is read again before use. */
static int level_ready(apfs_tree_level* level) {
    return apfs_node_loaded(level->node) || apfs_node_reload(level->node);
}

static int level_search(apfs_tree_level* level, const apfs_key* key, uint32_t mode, int32_t* index) {
    return level_ready(level) && apfs_node_search(level->node, key, mode, index);
}

static void set_flag(uint32_t* flag) {
    if (flag)
        *flag = 1;
}

void apfs_tree_init(apfs_tree* tree, apfs_container* container) {
    memset(tree, 0, sizeof *tree);
    tree->head.container = container;
    apfs_list_init(&tree->cursors);
}

int apfs_btree_open(apfs_btree* head, uint64_t root_block, uint8_t vol_idx, apfs_tree* resolver,
                    apfs_tree* owner, int decrypt) {
    head->resolver = resolver;
    if (!head->root) {
        head->root = level_new(owner, resolver);
        if (!head->root)
            return 0;
    } else {
        level_strip(head->root);
        head->root->resolver = resolver;
    }
    head->root->parent = NULL;
    head->root->index = -1;
    head->current = head->root;
    if (!apfs_node_load(head->root->node, root_block, vol_idx, decrypt))
        return 0;
    if (head->root->node->level >= APFS_BTREE_MAX_DEPTH) {
        apfs_node_release(head->root->node);
        return 0;
    }
    return 1;
}

static void cursor_free(apfs_cursor* cursor) {
    if (cursor->link.next && cursor->link.next != &cursor->link)
        apfs_list_del(&cursor->link);
    apfs_key_free(cursor->head.scratch_a);
    apfs_key_free(cursor->head.scratch_b);
    level_free_chain(cursor->head.root);
    free(cursor->visited);
    free(cursor);
}

static int cursor_open(apfs_cursor* cursor, apfs_tree* tree) {
    apfs_btree* head = &cursor->head;
    if (cursor->link.next == &cursor->link)
        apfs_list_add_tail(&cursor->link, &tree->cursors);
    head->resolver = tree->head.resolver;
    if (!head->root) {
        head->root = level_new(tree, head->resolver);
        if (!head->root)
            return 0;
    } else {
        level_strip(head->root);
        head->root->resolver = head->resolver;
    }
    head->root->parent = NULL;
    head->root->index = -1;
    head->current = head->root;
    cursor->root_checked = 0;
    return apfs_node_clone(head->root->node, tree->head.root->node);
}

/* The header is read whole and its checksum tested before its tree root is trusted: a torn write of
 * it would otherwise send every lookup through the map into a stale or foreign tree. Only its first
 * APFS_OMAP_PHYS_SIZE bytes are kept. */
static int read_omap_phys(apfs_container* container, uint64_t oid, uint8_t* omap_phys) {
    uint8_t* block = malloc(container->block_size);
    if (!block)
        return 0;
    int ok = apfs_read_blocks(container, oid, block, 1) &&
             apfs_obj_checksum_ok(block, container->block_size) &&
             apfs_obj_type(block) == APFS_OBJECT_TYPE_OMAP;
    if (ok)
        memcpy(omap_phys, block, APFS_OMAP_PHYS_SIZE);
    free(block);
    return ok;
}

int apfs_tree_open(apfs_tree* tree, uint64_t oid, uint8_t vol_idx, int is_omap_phys, apfs_tree* resolver,
                   int decrypt) {
    apfs_container* container = tree->head.container;
    uint64_t root_block = oid;
    if (!container)
        return 0;
    if (is_omap_phys) {
        if (!tree->omap_phys && !(tree->omap_phys = malloc(APFS_OMAP_PHYS_SIZE)))
            return 0;
        if (!read_omap_phys(container, oid, tree->omap_phys))
            return 0;
        root_block = apfs_le64(tree->omap_phys + APFS_OM_TREE_OID);
    }
    if (!apfs_btree_open(&tree->head, root_block, vol_idx, resolver, tree, decrypt))
        return 0;
    if (!tree->cursor) {
        tree->cursor = calloc(1, sizeof *tree->cursor);
        if (!tree->cursor)
            return 0;
        tree->cursor->head.container = container;
        tree->cursor->flags = APFS_BT_LE;
        tree->cursor->case_sensitive = 1;
        apfs_list_init(&tree->cursor->link);
    }
    return cursor_open(tree->cursor, tree);
}

void apfs_tree_free(apfs_tree* tree) {
    apfs_key_free(tree->head.scratch_a);
    apfs_key_free(tree->head.scratch_b);
    tree->head.scratch_a = tree->head.scratch_b = NULL;
    level_free_chain(tree->head.root);
    tree->head.root = tree->head.current = NULL;
    free(tree->omap_phys);
    tree->omap_phys = NULL;
    if (tree->cursor)
        cursor_free(tree->cursor);
    tree->cursor = NULL;
}

int apfs_btree_node_child(apfs_tree_level* child, apfs_tree_level* parent, uint32_t i, uint32_t* not_found) {
    if (!child || !child->node || !parent || !level_ready(parent) || i >= parent->node->nkeys)
        return 0;
    apfs_node* pnode = parent->node;
    apfs_container* container = pnode->container;
    child->parent = parent;
    child->index = (int32_t)i;

    const uint8_t* value;
    uint16_t value_len;
    if (!apfs_node_entry(pnode, i, NULL, &value, NULL, &value_len) || !value || value_len < 8)
        return 0;
    uint64_t oid = apfs_le64(value), block = oid;
    if (!child->resolver) {
        /* Free-queue nodes are ephemeral: their oids live in the checkpoint map. */
        if (pnode->subtype == APFS_SUBTYPE_SPACEMAN_FREE_QUEUE) {
            uint32_t size = 0;
            if (!apfs_checkpoint_map_lookup(container, oid, APFS_OBJECT_TYPE_BTREE_NODE, &block, &size,
                                            not_found))
                return 0;
            if (size != container->block_size)
                return 0;
        }
    } else {
        uint8_t key16[APFS_OMAP_KEY_LEN] = {0}, value16[APFS_OMAP_VAL_LEN] = {0};
        if (!apfs_omap_lookup(child->resolver, oid, key16, value16, not_found))
            return 0;
        block = apfs_le64(value16 + APFS_OMAP_VAL_PADDR);
        if (block == 0) {
            set_flag(not_found);
            return 0;
        }
    }
    if (!apfs_node_load(child->node, block, pnode->vol_idx, pnode->subtype == APFS_SUBTYPE_FSTREE))
        return 0;
    /* Each child sits exactly one level below its parent; anything else is a damaged tree, and
     * refusing it keeps a cycle of child pointers from being followed. */
    if (child->node->level + 1u != pnode->level) {
        apfs_node_release(child->node);
        return 0;
    }
    return 1;
}

int apfs_level_child(apfs_tree_level* level, uint32_t i, uint32_t* not_found) {
    if (!level->child) {
        level->child = level_new(level->owner, level->resolver);
        if (!level->child)
            return 0;
    } else {
        apfs_node_release(level->child->node);
    }
    return apfs_btree_node_child(level->child, level, i, not_found);
}

/* Whether the cached leaf's last entry settles the lookup: it does unless the nearest ancestor
 * with a later branch would send the key elsewhere. */
static int last_entry_settles(apfs_tree_level* leaf, const apfs_key* key, uint32_t mode) {
    apfs_tree_level* branch = leaf;
    apfs_tree_level* ancestor = leaf->parent;
    while (ancestor && (uint32_t)branch->index + 1 >= ancestor->node->nkeys) {
        branch = ancestor;
        ancestor = ancestor->parent;
    }
    if (!ancestor)
        return 1;
    int32_t index;
    return level_search(ancestor, key, mode, &index) && index == branch->index;
}

int apfs_btree_descend(apfs_btree* head, const apfs_key* key, uint32_t mode, uint32_t* not_found) {
    if (mode & APFS_BT_GE || !head->root)
        return 0;
    apfs_tree_level* current = head->current;
    int32_t index = -1;
    if (current && level_ready(current) && current->node->level == 0 &&
        (head->descended || current == head->root)) {
        if (!apfs_node_search(current->node, key, mode, &index))
            return 0;
        if (index >= 0 &&
            ((uint32_t)index + 1 < current->node->nkeys || last_entry_settles(current, key, mode))) {
            head->index = index;
            return 1;
        }
    }
    if (!level_ready(head->root))
        return 0;
    if (head->root->node->level == 0) {
        head->current = head->root;
        head->index = index;
        return 1;
    }

    apfs_tree_level* level = head->root;
    while (level->node->level != 0) {
        if (!apfs_node_search(level->node, key, mode, &index))
            return 0;
        if (index < 0) {
            head->index = index;
            set_flag(not_found);
            return 0;
        }
        if (!apfs_level_child(level, (uint32_t)index, not_found))
            return 0;
        level = level->child;
    }
    level_strip(level);
    head->current = level;
    if (!apfs_node_search(level->node, key, mode, &index))
        return 0;
    head->index = index;
    head->descended = 1;
    return 1;
}

int apfs_btree_lookup(apfs_btree* head, const apfs_key* key, uint16_t mode, const uint8_t** value,
                      const uint8_t** key_out, uint32_t* not_found) {
    if (!apfs_btree_descend(head, key, mode, not_found))
        return 0;
    if (head->index < 0) {
        set_flag(not_found);
        return 0;
    }
    return apfs_node_entry(head->current->node, (uint32_t)head->index, key_out, value, NULL, NULL);
}

static int current_entry(const apfs_btree* head, uint16_t* key_len, uint16_t* value_len) {
    if (!head->current || head->index < 0)
        return 0;
    return apfs_node_entry(head->current->node, (uint32_t)head->index, NULL, NULL, key_len, value_len);
}

int apfs_btree_current_value_len(const apfs_btree* head, uint16_t* value_len) {
    return current_entry(head, NULL, value_len);
}

int apfs_btree_current_key_len(const apfs_btree* head, uint16_t* key_len) {
    return current_entry(head, key_len, NULL);
}

/* The entry after the current one, when it is the next extent of oid and covers offset. */
static int next_extent_covers(apfs_btree* head, uint64_t oid, uint64_t offset, const uint8_t** value,
                              const uint8_t** key_out) {
    apfs_tree_level* current = head->current;
    if (!current || !apfs_node_loaded(current->node) || current->node->level != 0 || head->index < 0 ||
        (uint32_t)head->index + 1 >= current->node->nkeys)
        return 0;
    const uint8_t *k, *v;
    uint16_t k_len, v_len;
    if (!apfs_node_entry(current->node, (uint32_t)head->index + 1, &k, &v, &k_len, &v_len) || !v ||
        k_len < 16 || v_len < 8)
        return 0;
    uint64_t logical = apfs_le64(k + 8);
    uint64_t length = apfs_le64(v) & FILE_EXTENT_LEN_MASK;
    if (apfs_le64(k) != (oid | (uint64_t)APFS_TYPE_FILE_EXTENT << APFS_OBJ_TYPE_SHIFT) || logical > offset ||
        offset - logical >= length)
        return 0;
    head->index++;
    if (value)
        *value = v;
    if (key_out)
        *key_out = k;
    return 1;
}

int apfs_btree_extent_lookup(apfs_btree* head, uint64_t oid, uint64_t offset, const uint8_t** value,
                             const uint8_t** key_out, uint32_t* not_found) {
    if (offset != 0 && next_extent_covers(head, oid, offset, value, key_out))
        return 1;
    apfs_key search;
    const uint8_t* found = NULL;
    apfs_extent_key_make(&search, oid, offset);
    if (!apfs_btree_lookup(head, &search, APFS_BT_LE, value, &found, not_found))
        return 0;
    if (apfs_le64(found) != (oid | (uint64_t)APFS_TYPE_FILE_EXTENT << APFS_OBJ_TYPE_SHIFT)) {
        set_flag(not_found);
        return 0;
    }
    if (key_out)
        *key_out = found;
    return 1;
}

uint64_t apfs_btree_record_count(apfs_tree* tree) {
    apfs_tree_level* root = tree->head.root;
    if (!root || !level_ready(root))
        return 0;
    if (root->node->level == 0)
        return root->node->nkeys;
    return root->node->info ? apfs_le64(root->node->info + APFS_BTREE_INFO_KEY_COUNT) : 0;
}
