#include "list.h"

void apfs_list_init(apfs_list* link) {
    link->next = link;
    link->prev = link;
}

int apfs_list_is_empty(const apfs_list* head) {
    return head->next == head;
}

void apfs_list_insert(apfs_list* link, apfs_list* prev, apfs_list* next) {
    next->prev = link;
    link->next = next;
    link->prev = prev;
    prev->next = link;
}

void apfs_list_add_tail(apfs_list* link, apfs_list* head) {
    apfs_list_insert(link, head->prev, head);
}

void apfs_list_del(apfs_list* link) {
    link->next->prev = link->prev;
    link->prev->next = link->next;
}
