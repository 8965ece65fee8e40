#ifndef VOLARIX_LIST_H
#define VOLARIX_LIST_H
/* Intrusive circular doubly linked list: elements embed the link, the owner holds the head, and
 * the list owns nothing. */
#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

struct apfs_list {
    apfs_list* next;
    apfs_list* prev;
};

void apfs_list_init(apfs_list* link);
int apfs_list_is_empty(const apfs_list* head);
void apfs_list_insert(apfs_list* link, apfs_list* prev, apfs_list* next);
void apfs_list_add_tail(apfs_list* link, apfs_list* head);
/* Joins the neighbours; the link keeps its old pointers. */
void apfs_list_del(apfs_list* link);

#ifdef __cplusplus
}
#endif
#endif
