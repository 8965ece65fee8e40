#include <stdlib.h>
#include <string.h>

#include "container.h"
#include "node.h"
#include "tree.h"

static void set_flag(uint32_t* flag) {
    if (flag)
        *flag = 1;
}

/* Loads child 0 level by level from level down to a leaf and makes that leaf current. */
static int descend_first(apfs_btree* head, apfs_tree_level* level, uint32_t* not_found) {
    while (level->node->level != 0) {
        if (!apfs_level_child(level, 0, not_found))
            return 0;
        level = level->child;
    }
    head->current = level;
    head->index = 0;
    return 1;
}

/* Slots of the visited-leaf set at a walk's start: most walks stay within a leaf or two. A set
 * that grew for a long walk is dropped rather than cleared at every start. */
#define VISITED_FIRST_SLOTS 64u

static void visited_reset(apfs_cursor* cursor) {
    if (cursor->visited_slots > VISITED_FIRST_SLOTS) {
        free(cursor->visited);
        cursor->visited = NULL;
        cursor->visited_slots = 0;
    } else if (cursor->visited) {
        memset(cursor->visited, 0, cursor->visited_slots * sizeof *cursor->visited);
    }
    cursor->visited_count = 0;
}

static uint64_t* visited_slot(uint64_t* table, uint32_t slots, uint64_t entry) {
    uint32_t i = (uint32_t)((entry * 0x9E3779B97F4A7C15ull) >> 32) & (slots - 1);
    while (table[i] != 0 && table[i] != entry)
        i = (i + 1) & (slots - 1);
    return &table[i];
}

/* Records a leaf block the walk enters; 0 when it entered it before or the set cannot grow. The
 * set is kept at most half full. */
static int visit_leaf(apfs_cursor* cursor, uint64_t paddr) {
    const uint64_t entry = paddr + 1; /* 0 marks a free slot */
    if ((cursor->visited_count + 1u) * 2u > cursor->visited_slots) {
        uint32_t slots = cursor->visited_slots ? cursor->visited_slots * 2u : VISITED_FIRST_SLOTS;
        if (slots < cursor->visited_slots)
            return 0;
        uint64_t* table = calloc(slots, sizeof *table);
        if (!table)
            return 0;
        for (uint32_t i = 0; i < cursor->visited_slots; i++)
            if (cursor->visited[i])
                *visited_slot(table, slots, cursor->visited[i]) = cursor->visited[i];
        free(cursor->visited);
        cursor->visited = table;
        cursor->visited_slots = slots;
    }
    uint64_t* slot = visited_slot(cursor->visited, cursor->visited_slots, entry);
    if (*slot == entry)
        return 0;
    *slot = entry;
    cursor->visited_count++;
    return 1;
}

int apfs_btree_iter_start(apfs_cursor* cursor, const apfs_key* key, uint32_t flags, uint32_t* not_found,
                          uint32_t case_sensitive) {
    apfs_btree* head = &cursor->head;
    uint32_t size = apfs_key_size(key);
    if (!head->root || size > sizeof cursor->start_key)
        return 0;
    if (key->kind == APFS_KEY_JKEY || key->kind == APFS_KEY_JKEY2)
        apfs_put_le64(cursor->start_key, key->u.id);
    else
        memcpy(cursor->start_key, apfs_key_bytes(key), size);
    cursor->key_kind = key->kind;
    cursor->case_sensitive = case_sensitive;
    visited_reset(cursor);
    cursor->have_last = 0;

    apfs_node* root = head->root->node;
    if (!apfs_node_loaded(root) ? !apfs_node_reload(root)
                                : !cursor->root_checked && !apfs_node_check_header(root))
        return 0;
    if (!cursor->root_checked)
        head->current = head->root;
    if (root->nkeys == 0) {
        set_flag(not_found);
        return 0;
    }
    cursor->root_checked = 1;
    cursor->flags = flags;

    uint32_t missing = 0;
    if (apfs_btree_lookup(head, key, APFS_BT_BEFORE | APFS_BT_ANY_TYPE, NULL, NULL, &missing))
        return 1;
    if (!missing)
        return 0;
    /* The start key is the tree's first key, or lies before every key of a forward walk. */
    if (head->index == APFS_NODE_AT_FIRST || (head->index == APFS_NODE_NOT_FOUND && flags & APFS_BT_GE)) {
        head->index = 0;
        head->current = head->root;
        if (root->level == 0)
            return 1;
        return descend_first(head, head->root, not_found);
    }
    set_flag(not_found);
    return 0;
}

/* Records must come in key order. Every tree the reader walks leads its keys with a u64 that
 * never decreases (obj_id_and_type, compared by id then type, or ok_oid), and an object map's
 * (ok_oid, ok_xid) pairs strictly increase. A record out of that order means a damaged tree
 * sent the walk back over ground it had covered. */
static int in_key_order(apfs_cursor* cursor, const apfs_node* node, const uint8_t* key, uint16_t key_len) {
    const int omap = node->subtype == APFS_SUBTYPE_OMAP;
    if (omap && key_len < APFS_OMAP_KEY_LEN)
        return 0;
    uint64_t first = apfs_le64(key);
    uint64_t xid = omap ? apfs_le64(key + 8) : 0;
    if (cursor->have_last) {
        uint64_t id = first & APFS_OBJ_ID_MASK, last_id = cursor->last_id & APFS_OBJ_ID_MASK;
        uint64_t type = first >> APFS_OBJ_TYPE_SHIFT, last_type = cursor->last_id >> APFS_OBJ_TYPE_SHIFT;
        if (id != last_id       ? id < last_id
            : type != last_type ? type < last_type
                                : omap && xid <= cursor->last_xid)
            return 0;
    }
    cursor->have_last = 1;
    cursor->last_id = first;
    cursor->last_xid = xid;
    return 1;
}

/* Moves to the first entry of the next leaf. */
static int next_leaf(apfs_cursor* cursor, uint32_t* not_found) {
    apfs_btree* head = &cursor->head;
    apfs_tree_level* level = head->current;
    while (level->parent && (uint32_t)level->index + 1 >= level->parent->node->nkeys)
        level = level->parent;
    if (!level->parent) {
        set_flag(not_found);
        return 0;
    }
    /* A sound tree reaches each leaf through one index entry, so a walk never enters a leaf
     * twice. Index entries that lead to the same leaf again would make the walk hand out its
     * records again, once per entry, which for deep trees means millions of times. */
    if (cursor->visited_count == 0 && !visit_leaf(cursor, head->current->node->paddr))
        return 0;
    apfs_tree_level* parent = level->parent;
    if (!apfs_level_child(parent, (uint32_t)level->index + 1, not_found) ||
        !descend_first(head, parent->child, not_found))
        return 0;
    return visit_leaf(cursor, head->current->node->paddr);
}

int apfs_btree_iter_next(apfs_cursor* cursor, const uint8_t** key, const uint8_t** value, uint16_t* key_len,
                         uint16_t* value_len, uint32_t* not_found, const uint8_t** block,
                         const uint64_t** paddr_ref) {
    apfs_btree* head = &cursor->head;
    if (!head->current || head->index < 0)
        return 0;
    if (!apfs_key_make(cursor->key_kind, cursor->start_key, &head->scratch_a) ||
        !apfs_key_make(cursor->key_kind, NULL, &head->scratch_b))
        return 0;
    apfs_key* a = head->scratch_a;
    apfs_key* b = head->scratch_b;
    a->case_sensitive = b->case_sensitive = cursor->case_sensitive;
    const uint32_t flags = cursor->flags;

    for (;;) {
        apfs_node* node = head->current->node;
        /* A failed look-up can leave the cursor on an index node: its entries are no records. */
        if ((!apfs_node_loaded(node) && !apfs_node_reload(node)) || node->level != 0)
            return 0;
        if ((uint32_t)head->index >= node->nkeys) {
            if (!next_leaf(cursor, not_found))
                return 0;
            continue;
        }
        const uint8_t *k, *v;
        uint16_t k_len, v_len;
        if (!apfs_node_entry(node, (uint32_t)head->index, &k, &v, &k_len, &v_len) ||
            !apfs_node_key_view(node, k, b) || !in_key_order(cursor, node, k, k_len))
            return 0;
        head->index++;

        int type_ok = apfs_key_type(b) == apfs_key_type(a) || flags & APFS_BT_ANY_TYPE;
        if (type_ok && ((flags & APFS_BT_EQ && apfs_key_equal(b, a)) ||
                        (flags & APFS_BT_LE && apfs_key_less_equal(b, a)) ||
                        (flags & APFS_BT_GE && apfs_key_less_equal(a, b)))) {
            if (key)
                *key = k;
            if (value)
                *value = v;
            if (key_len)
                *key_len = k_len;
            if (value_len)
                *value_len = v_len;
            if (block)
                *block = node->block;
            if (paddr_ref)
                *paddr_ref = &node->paddr;
            return 1;
        }
        if (apfs_key_greater(b, a) && (!(flags & APFS_BT_GE) || (!type_ok))) {
            set_flag(not_found);
            return 0;
        }
    }
}

int apfs_omap_lookup(apfs_tree* tree, uint64_t oid, uint8_t* key16, uint8_t* value16, uint32_t* not_found) {
    if (tree->head.resolver || !tree->cursor)
        return 0;
    apfs_key search;
    apfs_omap_key_make(&search, oid, 0);
    if (!apfs_btree_iter_start(tree->cursor, &search, APFS_BT_EQ, not_found, 1))
        return 0;
    /* Every version of the oid matches, in ascending xid order: the last one not newer than the
     * container's transaction is the one in force. */
    const uint64_t newest = apfs_container_xid(tree->head.container);
    for (;;) {
        const uint8_t *k, *v;
        uint16_t k_len, v_len;
        uint32_t end = 0;
        if (!apfs_btree_iter_next(tree->cursor, &k, &v, &k_len, &v_len, &end, NULL, NULL))
            return end;
        if (!v || k_len < APFS_OMAP_KEY_LEN || v_len < APFS_OMAP_VAL_LEN)
            return 0;
        if (apfs_le64(k + 8) > newest)
            return 1;
        memcpy(key16, k, APFS_OMAP_KEY_LEN);
        memcpy(value16, v, APFS_OMAP_VAL_LEN);
    }
}
