#ifndef VOLARIX_APFS_TREE_H
#define VOLARIX_APFS_TREE_H
/* Whole B-trees over single nodes: opening at a root (directly or through an omap_phys_t), child
 * resolution (physical, checkpoint map or object map), keyed lookups, iteration with a cursor,
 * file-extent lookup, record count and object-map lookup. */
#include "apfs_common.h"
#include "key.h"
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

/* omap_phys_t, of which the first 72 bytes are kept; omap_val_t */
#define APFS_OMAP_PHYS_SIZE 72
#define APFS_OM_TREE_OID 48
#define APFS_OMAP_VAL_FLAGS 0
#define APFS_OMAP_VAL_SIZE 4
#define APFS_OMAP_VAL_PADDR 8
#define APFS_OMAP_KEY_LEN 16
#define APFS_OMAP_VAL_LEN 16

/* Deepest tree the reader descends. APFS trees over 4 KiB nodes hold billions of records in far
 * fewer levels; the bound stops a corrupted tree whose child pointers form a cycle. */
#define APFS_BTREE_MAX_DEPTH 16

/* Head shared by a tree and its cursors: the keyed operations take either. */
struct apfs_btree {
    apfs_tree* resolver; /* object map resolving child oids; NULL: children are block numbers */
    apfs_tree_level* root;
    apfs_tree_level* current; /* level of the current position */
    int32_t index;            /* entry in the current node, or a negative node-search code */
    apfs_container* container;
    uint32_t descended; /* a full root-to-leaf descent happened */
    apfs_key* scratch_a;
    apfs_key* scratch_b;
};

struct apfs_tree {
    apfs_btree head;
    uint8_t* omap_phys; /* APFS_OMAP_PHYS_SIZE bytes, allocated on first use */
    apfs_cursor* cursor;
    apfs_list cursors;
};

struct apfs_cursor {
    apfs_btree head;
    uint8_t start_key[APFS_DREC_HASHED_KEY_MAX];
    uint32_t flags;
    uint32_t key_kind;
    uint32_t case_sensitive;
    uint32_t root_checked;
    apfs_list link;
    uint64_t* visited;      /* open-addressed set of the leaf blocks (plus 1) entered since the start */
    uint32_t visited_slots; /* a power of two, or 0 before the first leaf move */
    uint32_t visited_count;
    uint32_t have_last; /* last_id and last_xid hold the record stepped over last */
    uint64_t last_id;
    uint64_t last_xid;
};

struct apfs_tree_level {
    apfs_tree_level* parent;
    apfs_tree_level* child;
    apfs_tree* resolver;
    apfs_tree* owner;
    apfs_node* node;
    int32_t index; /* entry of the parent's node this level hangs from; -1 for a root */
};

void apfs_tree_init(apfs_tree* tree, apfs_container* container);
int apfs_tree_open(apfs_tree* tree, uint64_t oid, uint8_t vol_idx, int is_omap_phys, apfs_tree* resolver,
                   int decrypt);
void apfs_tree_free(apfs_tree* tree);

int apfs_btree_open(apfs_btree* head, uint64_t root_block, uint8_t vol_idx, apfs_tree* resolver,
                    apfs_tree* owner, int decrypt);
int apfs_btree_node_child(apfs_tree_level* child, apfs_tree_level* parent, uint32_t i, uint32_t* not_found);
int apfs_level_child(apfs_tree_level* level, uint32_t i, uint32_t* not_found);
int apfs_btree_descend(apfs_btree* head, const apfs_key* key, uint32_t mode, uint32_t* not_found);

/* Positions the head on the entry the mode selects; value and key point into the node block. */
int apfs_btree_lookup(apfs_btree* head, const apfs_key* key, uint16_t mode, const uint8_t** value,
                      const uint8_t** key_out, uint32_t* not_found);
/* The file extent of oid with the greatest logical address not above offset. */
int apfs_btree_extent_lookup(apfs_btree* head, uint64_t oid, uint64_t offset, const uint8_t** value,
                             const uint8_t** key_out, uint32_t* not_found);
/* Lengths of the entry the head stands on, for callers that read the values handed out. */
int apfs_btree_current_value_len(const apfs_btree* head, uint16_t* value_len);
int apfs_btree_current_key_len(const apfs_btree* head, uint16_t* key_len);
uint64_t apfs_btree_record_count(apfs_tree* tree);

int apfs_btree_iter_start(apfs_cursor* cursor, const apfs_key* key, uint32_t flags, uint32_t* not_found,
                          uint32_t case_sensitive);
int apfs_btree_iter_next(apfs_cursor* cursor, const uint8_t** key, const uint8_t** value, uint16_t* key_len,
                         uint16_t* value_len, uint32_t* not_found, const uint8_t** block,
                         const uint64_t** paddr_ref);

/* Newest version of oid: key16 and value16 receive its omap_key_t and omap_val_t. */
int apfs_omap_lookup(apfs_tree* tree, uint64_t oid, uint8_t* key16, uint8_t* value16, uint32_t* not_found);

#ifdef __cplusplus
}
#endif
#endif
