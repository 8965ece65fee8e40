#ifndef VOLARIX_APFS_NODE_H
#define VOLARIX_APFS_NODE_H
/* One B-tree node block (btree_node_phys_t): header check, table of contents, key and value
 * areas, and the binary search that every tree operation is built on. */
#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* btree_node_phys_t */
#define APFS_BTN_FLAGS 32
#define APFS_BTN_LEVEL 34
#define APFS_BTN_NKEYS 36
#define APFS_BTN_TABLE_SPACE_LEN 42
#define APFS_BTN_DATA 56
#define APFS_BTNODE_ROOT 1
#define APFS_BTNODE_LEAF 2
#define APFS_BTNODE_FIXED_KV_SIZE 4
#define APFS_BTNODE_FLAGS_MAX 7
#define APFS_BTREE_INFO_SIZE 40
#define APFS_BTREE_INFO_KEY_COUNT 24
#define APFS_BTOFF_INVALID 0xFFFF

/* Subtypes with fixed-size entries, and the file-system tree. */
#define APFS_SUBTYPE_SPACEMAN_FREE_QUEUE 9
#define APFS_SUBTYPE_OMAP 11
#define APFS_SUBTYPE_FSTREE 14
#define APFS_SUBTYPE_OMAP_SNAPSHOT 19
#define APFS_SUBTYPE_GBITMAP_TREE 26

/* Node search results besides an entry index. */
#define APFS_NODE_NOT_FOUND (-1)
#define APFS_NODE_AT_FIRST (-2)
#define APFS_NODE_BELOW_FIRST (-3)

struct apfs_node {
    apfs_tree* owner; /* its scratch keys view the node's keys during a search */
    apfs_container* container;
    uint8_t* block; /* NULL while released or when the header was refused */
    uint8_t* toc;
    uint8_t* value_end;
    uint8_t* info; /* btree_info_t of a root node, else NULL */
    apfs_block* holder;
    uint64_t paddr;
    uint64_t oid;
    uint64_t xid;
    uint32_t nkeys;
    uint16_t level;
    uint16_t subtype;
    uint32_t fixed;
    uint32_t root;
    uint8_t vol_idx;
    uint8_t* key_area; /* toc + btn_table_space.len */
};

void apfs_node_init(apfs_node* node, apfs_tree* owner);
int apfs_node_load(apfs_node* node, uint64_t block, uint8_t vol_idx, int decrypt);
int apfs_node_clone(apfs_node* node, const apfs_node* other);
int apfs_node_reload(apfs_node* node);
void apfs_node_release(apfs_node* node);
void apfs_node_free(apfs_node* node);
int apfs_node_check_header(apfs_node* node);

void apfs_node_fixed_sizes(uint16_t subtype, uint16_t level, uint16_t* key_len, uint16_t* value_len);
/* Entry i's key and value inside the block; each output optional. The value is NULL when the
 * entry has none. Fails for i >= nkeys or an entry that does not lie inside the block. */
int apfs_node_entry(const apfs_node* node, uint32_t i, const uint8_t** key, const uint8_t** value,
                    uint16_t* key_len, uint16_t* value_len);
/* Points a scratch key at a key of the node. Keys are read as the search key's kind, not the
 * record's, so a key may be read past its own length (an inode key viewed as a directory-record
 * key); the view is refused only when it would reach past the block. */
int apfs_node_key_view(const apfs_node* node, const uint8_t* key, apfs_key* scratch);
/* 1 with an entry index or a negative APFS_NODE_* code in *index; 0 when no scratch key can be
 * made or the node's keys are malformed. */
int apfs_node_search(apfs_node* node, const apfs_key* search_key, uint32_t mode, int32_t* index);

uint32_t apfs_node_key_count(const apfs_node* node);
uint16_t apfs_node_level(const apfs_node* node);
uint16_t apfs_node_subtype(const apfs_node* node);
uint8_t apfs_node_vol_idx(const apfs_node* node);
int apfs_node_loaded(const apfs_node* node);
int apfs_node_is_fstree(const apfs_node* node);

#ifdef __cplusplus
}
#endif
#endif
