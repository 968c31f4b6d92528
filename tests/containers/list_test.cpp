// The indexed linked list: positions, bounds and the clearing walk.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vuvidur.h"

namespace {

void *as_item(uintptr_t value) { return reinterpret_cast<void *>(value); }

// The list's items from index 0 to count - 1, read through vesk_list_get.
std::vector<uintptr_t> contents(const vesk_list &list) {
    std::vector<uintptr_t> values;
    for (int i = 0; i < vesk_list_count(&list); ++i) {
        values.push_back(reinterpret_cast<uintptr_t>(vesk_list_get(&list, i)));
    }
    return values;
}

struct List {
    vesk_list list{};
    explicit List(const std::vector<uintptr_t> &values) {
        vesk_list_init(&list);
        for (uintptr_t v : values) vesk_list_insert(&list, as_item(v), -1);
    }
    List(std::initializer_list<uintptr_t> values) : List(std::vector<uintptr_t>(values)) {}
    ~List() {
        while (vesk_list_count(&list) > 0) vesk_list_remove(&list, 0);  // items are not blocks
    }
};

using Values = std::vector<uintptr_t>;

TEST(LinkedList, InsertPositionsPlaceTheItemAtThatIndex) {
    struct Case {
        const char *what;
        Values before;
        int pos;
        int new_count;
        Values after;
    };
    const Case cases[] = {
        {"-1 into an empty list", {}, -1, 1, {9}},
        {"-1 appends", {1}, -1, 2, {1, 9}},
        {"0 goes in front", {1, 2}, 0, 3, {9, 1, 2}},
        {"1 moves the old items 1 and 2 up", {1, 2, 3}, 1, 4, {1, 9, 2, 3}},
        {"count - 1 goes before the last", {1, 2, 3}, 2, 4, {1, 2, 9, 3}},
        {"count appends", {1, 2, 3}, 3, 4, {1, 2, 3, 9}},
        {"far beyond count appends", {1, 2, 3}, 100, 4, {1, 2, 3, 9}},
        {"below -1 lands at index 1 (compatibility)", {1, 2, 3}, -5, 4, {1, 9, 2, 3}},
        {"below -1 into an empty list", {}, -7, 1, {9}},
    };
    for (const Case &c : cases) {
        List l(c.before);
        EXPECT_EQ(vesk_list_insert(&l.list, as_item(9), c.pos), c.new_count) << c.what;
        EXPECT_EQ(contents(l.list), c.after) << c.what;
    }
}

TEST(LinkedList, RemoveRelinksNeighboursAndLaterAppendsFollowTheNewLast) {
    List l{1, 2, 3, 4};
    EXPECT_EQ(vesk_list_remove(&l.list, 3), 3);  // the last
    EXPECT_EQ(vesk_list_insert(&l.list, as_item(5), -1), 4);
    EXPECT_EQ(contents(l.list), (Values{1, 2, 3, 5}));
    EXPECT_EQ(vesk_list_remove(&l.list, 1), 3);  // a middle one
    EXPECT_EQ(contents(l.list), (Values{1, 3, 5}));
    EXPECT_EQ(vesk_list_remove(&l.list, 0), 2);  // the first
    EXPECT_EQ(contents(l.list), (Values{3, 5}));
    EXPECT_EQ(vesk_list_remove(&l.list, 1), 1);
    EXPECT_EQ(vesk_list_remove(&l.list, 0), 0);
    // Emptied by removes, the list starts again from nothing.
    EXPECT_EQ(vesk_list_insert(&l.list, as_item(7), 0), 1);
    EXPECT_EQ(contents(l.list), (Values{7}));
}

TEST(LinkedList, IndicesOutsideTheListAreRefusedWithoutChange) {
    List l{1, 2, 3};
    for (int index : {-1, 3, 1000}) {
        EXPECT_EQ(vesk_list_get(&l.list, index), nullptr) << index;
        EXPECT_EQ(vesk_list_remove(&l.list, index), -1) << index;
    }
    EXPECT_EQ(contents(l.list), (Values{1, 2, 3}));
    List empty{};
    EXPECT_EQ(vesk_list_get(&empty.list, 0), nullptr);
    EXPECT_EQ(vesk_list_remove(&empty.list, 0), -1);
}

TEST(LinkedList, PastEndIsTrueFromCountOnAndNeverForNegativeIndices) {
    List empty{};
    EXPECT_EQ(vesk_list_past_end(&empty.list, 0), 1);
    EXPECT_EQ(vesk_list_past_end(&empty.list, -1), 0);
    List l{1, 2};
    EXPECT_EQ(vesk_list_past_end(&l.list, 1), 0);
    EXPECT_EQ(vesk_list_past_end(&l.list, 2), 1);
    EXPECT_EQ(vesk_list_past_end(&l.list, -1), 0);
}

TEST(LinkedList, NullListIsCountedAsMinusOneAndClearedAsNothing) {
    EXPECT_EQ(vesk_list_count(nullptr), -1);
    vesk_list_clear(nullptr);
    vesk_list_clear_with(nullptr, nullptr);
    // Every other call refuses a null list without crashing.
    EXPECT_EQ(vesk_list_init(nullptr), 0);
    EXPECT_EQ(vesk_list_past_end(nullptr, 0), 1);
    EXPECT_EQ(vesk_list_insert(nullptr, as_item(1), -1), -1);
    EXPECT_EQ(vesk_list_get(nullptr, 0), nullptr);
    EXPECT_EQ(vesk_list_remove(nullptr, 0), -1);
}

std::vector<int> g_visited;
int g_count_during_call = -2;
vesk_list *g_list_being_cleared = nullptr;

int record_visit(void *item) {
    g_visited.push_back(*static_cast<int *>(item));
    g_count_during_call = vesk_list_count(g_list_being_cleared);
    return 0;
}

TEST(LinkedList, ClearWithCallsTheFunctionOncePerItemInOrderAndReleasesItems) {
    vesk_list list;
    vesk_list_init(&list);
    for (int v : {10, 20, 30}) {
        auto *item = static_cast<int *>(vesk_mem_alloc(0, 0, sizeof(int)));
        *item = v;
        vesk_list_insert(&list, item, -1);
    }
    g_list_being_cleared = &list;
    vesk_list_clear_with(&list, record_visit);  // the leak checker sees the items go
    EXPECT_EQ(g_visited, (std::vector<int>{10, 20, 30}));
    EXPECT_EQ(g_count_during_call, 0) << "the last item's node had not left the list";
    EXPECT_EQ(vesk_list_count(&list), 0);

    // A cleared list takes inserts without another init.
    vesk_list_insert(&list, vesk_mem_alloc(0, 0, 4), -1);
    EXPECT_EQ(vesk_list_count(&list), 1);
    vesk_list_clear(&list);
    EXPECT_EQ(vesk_list_count(&list), 0);
}

}  // namespace
