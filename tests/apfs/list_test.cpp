#include "list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item {
    int value;
    apfs_list link;
};

std::vector<int> Walk(apfs_list* head) {
    std::vector<int> values;
    for (apfs_list* p = head->next; p != head; p = p->next)
        values.push_back(reinterpret_cast<Item*>(reinterpret_cast<char*>(p) - offsetof(Item, link))->value);
    return values;
}

TEST(List, TailAddsKeepInsertionOrderAndDeletesUnlink) {
    apfs_list head;
    apfs_list_init(&head);
    EXPECT_TRUE(apfs_list_is_empty(&head));
    Item items[3] = {{1, {}}, {2, {}}, {3, {}}};
    for (Item& item : items) {
        apfs_list_init(&item.link);
        apfs_list_add_tail(&item.link, &head);
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3}), Walk(&head));
    apfs_list_del(&items[1].link);
    EXPECT_EQ((std::vector<int>{1, 3}), Walk(&head));
    EXPECT_EQ(&items[2].link, items[1].link.next); // a deleted link keeps its old pointers
    apfs_list_del(&items[0].link);
    apfs_list_del(&items[2].link);
    EXPECT_TRUE(apfs_list_is_empty(&head));
    EXPECT_EQ(&head, head.prev);
}

} // namespace
