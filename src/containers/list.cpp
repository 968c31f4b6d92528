// The indexed, singly linked list.
//
// Every walk is bounded by `count`: the `next` link of the last node is never
// followed and `first` is never read while the list is empty, so neither
// needs to be null.
#include "vuvidur.h"

struct vesk_list_node {
    vesk_list_node *next;
    void *item;
};

namespace {

// The node at `index`, which the caller has checked lies in 0..count - 1.
vesk_list_node *list_node_at(const vesk_list *list, int index) {
    vesk_list_node *node = list->first;
    for (int i = 0; i < index; ++i) node = node->next;
    return node;
}

bool list_index_valid(const vesk_list *list, int index) {
    return index >= 0 && index < list->count;
}

void list_clear(vesk_list *list, int (*fn)(void *item)) {
    if (list == nullptr) return;
    while (list->count > 0) {
        void *item = vesk_list_get(list, 0);
        vesk_list_remove(list, 0);
        if (fn != nullptr) fn(item);  // the node has left: the list is consistent
        vesk_mem_free(item);
    }
}

}  // namespace

extern "C" {

VESK_API int vesk_list_init(vesk_list *list) {
    if (list != nullptr) list->count = 0;
    return 0;
}

VESK_API void vesk_list_clear_with(vesk_list *list, int (*fn)(void *item)) { list_clear(list, fn); }

VESK_API void vesk_list_clear(vesk_list *list) { list_clear(list, nullptr); }

VESK_API int vesk_list_count(const vesk_list *list) { return list == nullptr ? -1 : list->count; }

VESK_API int vesk_list_past_end(const vesk_list *list, int index) {
    if (list == nullptr) return 1;
    return index >= list->count ? 1 : 0;
}

VESK_API int vesk_list_insert(vesk_list *list, void *item, int pos) {
    if (list == nullptr) return -1;
    if (pos == -1 || pos >= list->count) pos = list->count;
    auto *node = static_cast<vesk_list_node *>(vesk_mem_alloc(0, 0, sizeof(vesk_list_node)));
    node->item = item;
    node->next = nullptr;
    if (list->count <= 0) {
        list->first = node;
        list->count = 0;
    } else if (pos == 0) {
        node->next = list->first;
        list->first = node;
    } else {
        // A position below -1 walks no steps and lands behind item 0, as it
        // always has.
        vesk_list_node *before = list_node_at(list, pos > 1 ? pos - 1 : 0);
        if (pos < list->count) node->next = before->next;
        before->next = node;
    }
    list->count += 1;
    return list->count;
}

VESK_API void *vesk_list_get(const vesk_list *list, int index) {
    if (list == nullptr || !list_index_valid(list, index)) return nullptr;
    return list_node_at(list, index)->item;
}

VESK_API int vesk_list_remove(vesk_list *list, int index) {
    if (list == nullptr || !list_index_valid(list, index)) return -1;
    vesk_list_node *removed;
    if (index == 0) {
        removed = list->first;
        list->first = removed->next;
    } else {
        vesk_list_node *before = list_node_at(list, index - 1);
        removed = before->next;
        before->next = removed->next;
    }
    vesk_mem_free(removed);
    list->count -= 1;
    return list->count;
}

}  // extern "C"
