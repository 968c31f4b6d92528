// The blocking message queue: a FIFO of pointer-sized items between producer
// and consumer threads.
//
// Storage: items sit in segments of kMsgqSegmentItems slots, chained from
// `head` (the oldest) to `tail` (the newest, the one puts fill).  A put
// writes one slot, a take reads one; a segment is allocated or released only
// once per kMsgqSegmentItems items, and a drained segment is kept for later
// puts (up to kMsgqSpareLimit of them), so a queue that hands items over
// near empty allocates nothing at all.  `head` and `tail` are null exactly
// when the queue holds nothing.
//
// Everything is guarded by the one mutex, `count` and `state` included, which
// keep their meaning for callers: `state` mirrors `count` (EMPTY at 0, FULL
// at VESK_MSGQ_MAX_ITEMS, NORMAL in between).  A consumer that finds the queue
// empty polls `count` a little without the mutex, then registers as a sleeper
// under the mutex and waits on the semaphore.  A put that finds a registered
// sleeper unregisters it and posts once; a put that finds none posts nothing.
// So the semaphore costs nothing while consumers keep up, and no wake-up is
// lost: a sleeper registers while it holds the mutex and sees the queue empty,
// so any later put sees it, and a post made before the sleeper reaches its
// wait stays in the semaphore.  The mutex is taken with a back-off (see
// msgq_lock), so that under contention it changes hands once per run of
// operations rather than once per item.
//
// The record's layout is fixed, so the queue's own state lives in the block
// that holds its mutex cell: `lock` points to the start of a msgq_core.
#include "containers/msgq.h"

#include <atomic>
#include <cstddef>
#include <new>
#include <thread>

#include "frame/memory.h"
#include "os/mutex_guard.h"
#include "os/os.h"
#include "vuvidur.h"

using containers::kMsgqSegmentItems;
using containers::kMsgqSpareLimit;

struct vesk_msgq_node {
    vesk_msgq_node *next;  // the next newer segment
    int32_t first;         // slot of the oldest item still queued here
    int32_t end;           // one past the slot of the newest
    void *items[kMsgqSegmentItems];
};

static_assert(sizeof(vesk_msgq_node) <= 1024, "a segment is one small allocation");

namespace {

struct msgq_core {
    // The mutex cell proper; first, so that the cell's address is the
    // block's and vesk_mem_free(q->lock) releases the whole block.
    alignas(void *) unsigned char cell[os::kMutexCellSize];
    // Under the mutex.
    vesk_msgq_node *spare = nullptr;  // drained segments, linked through `next`
    int32_t spare_count = 0;
    int32_t sleepers = 0;  // consumers registered to sleep that no put has posted for yet
    int32_t waiting = 0;   // consumers inside vesk_msgq_get past their first look
    std::atomic<bool> closing{false};  // set by destroy under the mutex; polled without it
};

static_assert(offsetof(msgq_core, cell) == 0);

// The block behind a queue's lock; NULL when the queue has none (destroyed).
msgq_core *msgq_core_of(vesk_msgq *q) { return reinterpret_cast<msgq_core *>(q->lock); }

// Polls of an empty queue before a consumer sleeps: busy ones first, then
// ones that give the processor away so that a producer on it can run.
constexpr int kMsgqBusyPolls = 2000;
constexpr int kMsgqPolls = kMsgqBusyPolls + 20;

// Tries of a busy mutex before waiting in it, and the spin-wait steps
// between two tries (about a microsecond on current x86 processors).
constexpr int kMsgqLockTries = 10;
constexpr int kMsgqLockBackoff = 100;

// Takes the queue's mutex.  Passing the mutex and the record between threads
// on two processors costs a cache transfer each (a quarter of a microsecond on
// some machines), far more than a put or a take itself.  A thread that finds
// the mutex busy therefore keeps its hands off it for a while instead of
// spinning on it, and the holder goes through a run of operations with
// everything in its own cache: the mutex changes hands once per run, not once
// per item.  After kMsgqLockTries tries the thread waits in the mutex itself,
// so a holder that lost its processor is not spun on for long.
void msgq_lock(vesk_msgq *q) {
    for (int tries = 0; tries < kMsgqLockTries; ++tries) {
        if (os::mutex_trylock(q->lock) == 0) return;
        for (int i = 0; i < kMsgqLockBackoff; ++i) os::cpu_relax();
    }
    vesk_mutex_lock(q->lock);
}

// `count` is written under the mutex but also read without it, by consumers
// that poll an empty queue and by tryget: every write is atomic, and so is
// every read made without the mutex.  Relaxed: such a reader only learns
// whether it is worth taking the mutex, which orders everything it then reads.
void msgq_set_count(vesk_msgq *q, int32_t count) {
    std::atomic_ref<int32_t>(q->count).store(count, std::memory_order_relaxed);
}

int32_t msgq_peek_count(vesk_msgq *q) {
    return std::atomic_ref<int32_t>(q->count).load(std::memory_order_relaxed);
}

int msgq_state_for(int32_t count) {
    if (count <= 0) return VESK_MSGQ_EMPTY;
    return count >= VESK_MSGQ_MAX_ITEMS ? VESK_MSGQ_FULL : VESK_MSGQ_NORMAL;
}

// Takes the oldest item under the mutex into `*item`: true, or false when
// nothing is queued.  A segment that this take drains is kept as a spare or
// handed back in `*drained` for the caller to release outside the mutex.
bool msgq_take_locked(vesk_msgq *q, msgq_core *core, void **item, vesk_msgq_node **drained) {
    if (q->state == VESK_MSGQ_EMPTY) return false;
    vesk_msgq_node *node = q->head;
    if (node == nullptr || node->first >= node->end)
        return false;  // a broken chain: count untouched
    *item = node->items[node->first++];
    msgq_set_count(q, q->count - 1);
    q->state = msgq_state_for(q->count);
    if (node->first == node->end) {
        // Drained.  The tail is drained only when the queue is empty: a put
        // starts a new segment then.
        if (node == q->tail) {
            q->head = nullptr;
            q->tail = nullptr;
        } else {
            q->head = node->next;
        }
        if (core->spare_count < kMsgqSpareLimit) {
            node->next = core->spare;
            core->spare = node;
            core->spare_count += 1;
        } else {
            *drained = node;
        }
    }
    return true;
}

// A fresh segment for the tail, under the mutex: a spare one if any.
vesk_msgq_node *msgq_new_segment(msgq_core *core) {
    vesk_msgq_node *node = core->spare;
    if (node != nullptr) {
        core->spare = node->next;
        core->spare_count -= 1;
    } else {
        // Under the mutex: once per kMsgqSegmentItems puts at most, and
        // dropping the mutex to allocate would cost a second lock.
        node = static_cast<vesk_msgq_node *>(vesk_mem_alloc(0, 0, sizeof(vesk_msgq_node)));
    }
    node->next = nullptr;
    node->first = 0;
    node->end = 0;
    return node;
}

// Leaves a consumer's wait: drops it from `waiting`, unlocks, releases what
// the take drained, and returns the result.
void *msgq_leave(vesk_msgq *q, msgq_core *core, void *item, vesk_msgq_node *drained) {
    core->waiting -= 1;
    vesk_mutex_unlock(q->lock);
    vesk_mem_free(drained);
    return item;
}

}  // namespace

extern "C" {

VESK_API void vesk_msgq_create(vesk_msgq *q) {
    if (q == nullptr) return;
    // Not vesk_mutex_create's recursive, robust mutex: the queue never locks
    // twice and never ends holding its lock, and the cheaper kind roughly
    // halves the cost of a put and a take.
    void *block = vesk_mem_alloc(0, 0, sizeof(msgq_core));
    auto *core = new (block) msgq_core;
    q->lock = os::mutex_init_plain(core->cell);
    q->items = vesk_sem_create(0, 0, 0);
    // The call cannot report a failure, and a queue without its lock or its
    // semaphore would lose items or leave a consumer waiting for ever.
    if (q->lock == nullptr) frame::out_of_memory("a message queue's mutex could not be created");
    if (q->items == nullptr) {
        frame::out_of_memory("a message queue's semaphore could not be created");
    }
    q->head = nullptr;
    q->tail = nullptr;
    q->count = 0;
    q->state = VESK_MSGQ_EMPTY;
}

VESK_API void vesk_msgq_destroy(vesk_msgq *q) {
    if (q == nullptr) return;
    if (msgq_core *core = msgq_core_of(q)) {
        // Wake every consumer blocked in get: each sees `closing` and returns
        // NULL.  The block must outlive them, so wait until all have left.
        int32_t sleepers;
        {
            os::MutexGuard hold(q->lock);
            core->closing.store(true, std::memory_order_relaxed);
            sleepers = core->sleepers;
            core->sleepers = 0;
        }
        for (int32_t i = 0; i < sleepers; ++i) vesk_sem_post(q->items);
        for (;;) {
            int32_t waiting;
            {
                os::MutexGuard hold(q->lock);
                waiting = core->waiting;
            }
            if (waiting == 0) break;
            std::this_thread::yield();
        }
        vesk_mutex_destroy(q->lock);
        while (core->spare != nullptr) {
            vesk_msgq_node *next = core->spare->next;
            vesk_mem_free(core->spare);
            core->spare = next;
        }
        core->spare_count = 0;
        core->~msgq_core();
        vesk_mem_free(core);
    }
    vesk_sem_destroy(q->items);
    vesk_mem_free(q->items);
    q->lock = nullptr;
    q->items = nullptr;
    // Segments still queued belong to the queue, not to the caller: release
    // them so that an undrained queue does not leak.  Their items stay the
    // caller's.
    for (vesk_msgq_node *node = q->head; node != nullptr;) {
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
    msgq_core *core = msgq_core_of(q);
    if (core == nullptr) return -1;  // destroyed
    bool wake;
    {
        msgq_lock(q);
        os::MutexGuard hold(q->lock, os::kAdoptLock);
        if (q->state == VESK_MSGQ_FULL) return -1;
        vesk_msgq_node *tail = q->tail;
        if (tail == nullptr || tail->end == kMsgqSegmentItems) {
            vesk_msgq_node *node = msgq_new_segment(core);
            if (tail == nullptr) {
                q->head = node;
            } else {
                tail->next = node;
            }
            q->tail = node;
            tail = node;
        }
        tail->items[tail->end++] = item;
        msgq_set_count(q, q->count + 1);
        q->state = msgq_state_for(q->count);
        wake = core->sleepers > 0;
        if (wake) core->sleepers -= 1;
    }
    // Posted after the unlock so that the woken consumer does not run
    // straight into the mutex we still hold.  The sleeper is already
    // unregistered, so no other put posts for it.
    if (wake) vesk_sem_post(q->items);
    return 0;
}

VESK_API int vesk_msgq_count(vesk_msgq *q) {
    if (q == nullptr) return -1;
    os::MutexGuard hold(q->lock);
    return q->count;
}

VESK_API void *vesk_msgq_get(vesk_msgq *q) {
    if (q == nullptr) return nullptr;
    msgq_core *core = msgq_core_of(q);
    if (core == nullptr) return nullptr;  // destroyed
    void *item = nullptr;
    vesk_msgq_node *drained = nullptr;
    msgq_lock(q);
    if (msgq_take_locked(q, core, &item, &drained)) {
        vesk_mutex_unlock(q->lock);
        vesk_mem_free(drained);
        return item;
    }
    // Empty.  From here on destroy waits for this consumer to leave.
    core->waiting += 1;
    int polls = 0;
    for (;;) {
        if (core->closing.load(std::memory_order_relaxed))
            return msgq_leave(q, core, nullptr, nullptr);
        if (polls < kMsgqPolls) {
            // The next item usually comes very soon; sleeping would cost a
            // system call on both sides.  Poll the count without the mutex.
            vesk_mutex_unlock(q->lock);
            while (polls < kMsgqPolls && msgq_peek_count(q) == 0 &&
                   !core->closing.load(std::memory_order_relaxed)) {
                if (++polls > kMsgqBusyPolls) std::this_thread::yield();
            }
            msgq_lock(q);
        } else {
            core->sleepers += 1;
            vesk_mutex_unlock(q->lock);
            int rc = vesk_sem_wait(q->items);
            msgq_lock(q);
            if (rc != 0) {
                // A broken semaphore: no post will ever reach this consumer.
                if (core->sleepers > 0) core->sleepers -= 1;
                return msgq_leave(q, core, nullptr, nullptr);
            }
        }
        // Another consumer may have taken what woke this one: then poll or
        // sleep again.
        if (msgq_take_locked(q, core, &item, &drained)) return msgq_leave(q, core, item, drained);
    }
}

VESK_API void *vesk_msgq_tryget(vesk_msgq *q) {
    if (q == nullptr) return nullptr;
    msgq_core *core = msgq_core_of(q);
    // Nothing queued: answered without the mutex.
    if (core == nullptr || msgq_peek_count(q) == 0) return nullptr;
    void *item = nullptr;
    vesk_msgq_node *drained = nullptr;
    {
        msgq_lock(q);
        os::MutexGuard hold(q->lock, os::kAdoptLock);
        msgq_take_locked(q, core, &item, &drained);
    }
    vesk_mem_free(drained);  // outside the mutex
    return item;
}

}  // extern "C"

int32_t containers::msgq_spare_count(vesk_msgq *q) {
    msgq_core *core = msgq_core_of(q);
    if (core == nullptr) return 0;
    os::MutexGuard hold(q->lock);
    return core->spare_count;
}

int32_t containers::msgq_sleeper_count(vesk_msgq *q) {
    msgq_core *core = msgq_core_of(q);
    if (core == nullptr) return 0;
    os::MutexGuard hold(q->lock);
    return core->sleepers;
}
