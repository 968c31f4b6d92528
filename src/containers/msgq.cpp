// The blocking message queue: a FIFO chain of pointer-sized items between
// producer and consumer threads.
//
// Invariants: the semaphore holds one unit per item that no consumer has
// claimed yet, so a consumer enters the mutex only when an item is there for
// it; the order is always semaphore first, then mutex, and the mutex is never
// held while waiting on the semaphore.  `state` mirrors `count`: EMPTY at 0,
// FULL at VESK_MSGQ_MAX_ITEMS, NORMAL in between.
//
// Node reuse: allocating a node in the producer's thread and releasing it in
// the consumer's makes the allocator move memory between threads on every
// item, which cost about as much as the rest of a put and a take together.
// So a taken node goes onto a per-queue stack of spare nodes, and a put takes
// its node from there first.  Both happen under the mutex that is held anyway.
// The stack is bounded (msgq_spare_limit nodes; beyond that a taken node is
// released at once), and destroy releases it, so a queue that has drained
// holds at most that much memory.  The record's layout is fixed, so the stack
// lives in the block that holds the queue's mutex cell: `lock` points to the
// start of a msgq_lock_block.
#include <cstddef>
#include <thread>

#include "containers/msgq.h"
#include "os/os.h"
#include "vuvidur.h"

struct vesk_msgq_node {
    void *item;
    vesk_msgq_node *next;
};

namespace {

struct msgq_lock_block {
    // The mutex cell proper; first, so that the cell's address is the
    // block's and vesk_mem_free(q->lock) releases the whole block.
    alignas(void *) unsigned char cell[os_mutex_cell_size];
    vesk_msgq_node *spare;  // spare nodes, linked through `next`
    int32_t spare_count;
};

static_assert(offsetof(msgq_lock_block, cell) == 0);

// The block behind a queue's lock; NULL when the queue has no lock.
msgq_lock_block *msgq_block(vesk_msgq *q) {
    return reinterpret_cast<msgq_lock_block *>(q->lock);
}

constexpr int kMsgqBusyPolls = 50;
constexpr int kMsgqPolls = kMsgqBusyPolls + 20;

int msgq_state_for(int32_t count) {
    if (count <= 0) return VESK_MSGQ_EMPTY;
    return count >= VESK_MSGQ_MAX_ITEMS ? VESK_MSGQ_FULL : VESK_MSGQ_NORMAL;
}

// Unlinks the oldest node under the mutex; the caller releases it outside.
vesk_msgq_node *msgq_unlink_head(vesk_msgq *q) {
    if (q->state == VESK_MSGQ_EMPTY) return nullptr;
    vesk_msgq_node *node = q->head;
    if (node == nullptr) {
        q->tail = nullptr;  // a broken chain: nothing to take, count untouched
        return nullptr;
    }
    if (node == q->tail) {
        q->head = nullptr;
        q->tail = nullptr;
    } else {
        q->head = node->next;
    }
    q->count -= 1;
    q->state = msgq_state_for(q->count);
    return node;
}

// The second half of both takes, once a unit of the semaphore is ours.
void *msgq_take_claimed(vesk_msgq *q) {
    vesk_mutex_lock(q->lock);
    vesk_msgq_node *node = msgq_unlink_head(q);
    void *item = nullptr;
    if (node != nullptr) {
        item = node->item;
        msgq_lock_block *block = msgq_block(q);
        if (block != nullptr && block->spare_count < msgq_spare_limit) {
            node->next = block->spare;
            block->spare = node;
            block->spare_count += 1;
            node = nullptr;
        }
    }
    vesk_mutex_unlock(q->lock);
    vesk_mem_free(node);  // outside the mutex: keeps the critical section short
    return item;
}

}  // namespace

extern "C" {

VESK_API void vesk_msgq_create(vesk_msgq *q) {
    if (q == nullptr) return;
    // Not vesk_mutex_create's recursive, robust mutex: the queue never locks
    // twice and never ends holding its lock, and the cheaper kind roughly
    // halves the cost of a put and a take.
    auto *block = static_cast<msgq_lock_block *>(vesk_mem_alloc(0, 0, sizeof(msgq_lock_block)));
    block->spare = nullptr;
    block->spare_count = 0;
    q->lock = os_mutex_init_plain(block->cell);
    q->items = vesk_sem_create(0, 0, 0);
    q->head = nullptr;
    q->tail = nullptr;
    q->count = 0;
    q->state = VESK_MSGQ_EMPTY;
}

VESK_API void vesk_msgq_destroy(vesk_msgq *q) {
    if (q == nullptr) return;
    vesk_mutex_destroy(q->lock);
    if (msgq_lock_block *block = msgq_block(q)) {
        while (block->spare != nullptr) {
            vesk_msgq_node *next = block->spare->next;
            vesk_mem_free(block->spare);
            block->spare = next;
        }
        block->spare_count = 0;
    }
    vesk_mem_free(q->lock);
    vesk_sem_destroy(q->items);
    vesk_mem_free(q->items);
    q->lock = nullptr;
    q->items = nullptr;
    // Nodes still queued belong to the queue, not to the caller: release them
    // so that an undrained queue does not leak.  Their items stay the caller's.
    for (vesk_msgq_node *node = q->head; node != nullptr && q->count > 0; q->count--) {
        vesk_msgq_node *next = node->next;
        vesk_mem_free(node);
        node = next;
    }
    q->head = nullptr;
    q->tail = nullptr;
    q->count = 0;
    q->state = VESK_MSGQ_EMPTY;
}

VESK_API int vesk_msgq_put(vesk_msgq *q, void *item) {
    if (q == nullptr) return -1;
    vesk_mutex_lock(q->lock);
    if (q->state == VESK_MSGQ_FULL) {
        vesk_mutex_unlock(q->lock);
        return -1;  // the semaphore is not posted: takes stay matched to puts
    }
    msgq_lock_block *block = msgq_block(q);
    vesk_msgq_node *node = block != nullptr ? block->spare : nullptr;
    if (node != nullptr) {
        block->spare = node->next;
        block->spare_count -= 1;
    } else {
        // Under the mutex: a spare node could only be missing here, and
        // dropping the mutex to allocate would cost a second lock.
        node = static_cast<vesk_msgq_node *>(vesk_mem_alloc(0, 0, sizeof(vesk_msgq_node)));
    }
    node->item = item;
    node->next = nullptr;
    if (q->head == nullptr) {
        q->head = node;
    } else {
        q->tail->next = node;
    }
    q->tail = node;
    q->count += 1;
    q->state = msgq_state_for(q->count);
    vesk_mutex_unlock(q->lock);
    // Posted after the unlock so that a woken consumer does not run straight
    // into the mutex we still hold.  The item is already in the chain, so
    // the unit never precedes the item it stands for.
    vesk_sem_post(q->items);
    return 0;
}

VESK_API int vesk_msgq_count(vesk_msgq *q) {
    if (q == nullptr) return -1;
    vesk_mutex_lock(q->lock);
    int count = q->count;
    vesk_mutex_unlock(q->lock);
    return count;
}

VESK_API void *vesk_msgq_get(vesk_msgq *q) {
    if (q == nullptr) return nullptr;
    // A consumer that finds the queue empty usually sees the next item very
    // soon.  Sleeping on the semaphore costs a system call on both sides per
    // item (the put must wake the sleeper), so poll a little first, giving
    // the processor away between polls so that a producer can run.
    for (int i = 0; i < kMsgqPolls; ++i) {
        if (vesk_sem_trywait(q->items) == 0) return msgq_take_claimed(q);
        if (i >= kMsgqBusyPolls) std::this_thread::yield();
    }
    if (vesk_sem_wait(q->items) != 0) return nullptr;
    return msgq_take_claimed(q);
}

VESK_API void *vesk_msgq_tryget(vesk_msgq *q) {
    if (q == nullptr || vesk_sem_trywait(q->items) != 0) return nullptr;
    return msgq_take_claimed(q);
}

}  // extern "C"

int32_t msgq_spare_count(vesk_msgq *q) {
    msgq_lock_block *block = msgq_block(q);
    if (block == nullptr) return 0;
    vesk_mutex_lock(q->lock);
    int32_t count = block->spare_count;
    vesk_mutex_unlock(q->lock);
    return count;
}
