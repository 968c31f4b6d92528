// The blocking message queue: order, blocking, the item limit, many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "containers/msgq.h"
#include "vuvidur.h"

namespace {

void *as_item(uintptr_t value) { return reinterpret_cast<void *>(value); }
uintptr_t as_value(void *item) { return reinterpret_cast<uintptr_t>(item); }

void *const kStopPill = as_item(UINTPTR_MAX);

bool sanitized() {
    const char *mode = std::getenv("VESK_SANITIZED");
    return mode != nullptr && mode[0] != '\0';
}

struct Queue {
    vesk_msgq q{};
    Queue() { vesk_msgq_create(&q); }
    ~Queue() { vesk_msgq_destroy(&q); }
};

TEST(MessageQueue, NewQueueIsEmptyAndTrygetReturnsNullAtOnce) {
    Queue queue;
    EXPECT_EQ(vesk_msgq_count(&queue.q), 0);
    EXPECT_EQ(queue.q.state, VESK_MSGQ_EMPTY);
    EXPECT_EQ(vesk_msgq_tryget(&queue.q), nullptr);
}

TEST(MessageQueue, ItemsComeOutInPutOrderAndStateFollowsCount) {
    Queue queue;
    ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(0xA)), 0);
    EXPECT_EQ(queue.q.state, VESK_MSGQ_NORMAL);
    ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(0xB)), 0);
    ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(0xC)), 0);
    EXPECT_EQ(vesk_msgq_count(&queue.q), 3);
    EXPECT_EQ(as_value(vesk_msgq_get(&queue.q)), 0xAu);
    EXPECT_EQ(as_value(vesk_msgq_tryget(&queue.q)), 0xBu);
    // Emptied then refilled: the chain's head and tail must both restart.
    EXPECT_EQ(as_value(vesk_msgq_get(&queue.q)), 0xCu);
    EXPECT_EQ(queue.q.state, VESK_MSGQ_EMPTY);
    EXPECT_EQ(vesk_msgq_tryget(&queue.q), nullptr);
    ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(0xD)), 0);
    ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(0xE)), 0);
    EXPECT_EQ(as_value(vesk_msgq_tryget(&queue.q)), 0xDu);
    EXPECT_EQ(as_value(vesk_msgq_tryget(&queue.q)), 0xEu);
    EXPECT_EQ(vesk_msgq_count(&queue.q), 0);
}

TEST(MessageQueue, BlockedGetWakesWhenAnotherThreadPuts) {
    Queue queue;
    std::atomic<bool> returned{false};
    void *taken = nullptr;
    std::thread consumer([&] {
        taken = vesk_msgq_get(&queue.q);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned.load()) << "get returned before anything was put";
    ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(42)), 0);
    consumer.join();
    EXPECT_EQ(as_value(taken), 42u);
    EXPECT_EQ(vesk_msgq_count(&queue.q), 0);
}

TEST(MessageQueue, PutBeyondTheLimitIsRefusedUntilOneItemIsTaken) {
    Queue queue;
    for (uintptr_t i = 1; i <= VESK_MSGQ_MAX_ITEMS; ++i) {
        ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(i)), 0) << "put number " << i;
    }
    EXPECT_EQ(queue.q.state, VESK_MSGQ_FULL);
    EXPECT_EQ(vesk_msgq_put(&queue.q, as_item(999999999)), -1);
    EXPECT_EQ(vesk_msgq_count(&queue.q), VESK_MSGQ_MAX_ITEMS);

    EXPECT_EQ(as_value(vesk_msgq_get(&queue.q)), 1u);
    EXPECT_EQ(queue.q.state, VESK_MSGQ_NORMAL);
    EXPECT_EQ(vesk_msgq_put(&queue.q, as_item(VESK_MSGQ_MAX_ITEMS + 1)), 0);
    EXPECT_EQ(vesk_msgq_put(&queue.q, as_item(999999999)), -1);

    // A refused put posts no unit: exactly the accepted items come out, in
    // order, and then the queue is empty -- the refused value never appears.
    for (uintptr_t i = 2; i <= VESK_MSGQ_MAX_ITEMS + 1; ++i) {
        ASSERT_EQ(as_value(vesk_msgq_tryget(&queue.q)), i);
    }
    EXPECT_EQ(vesk_msgq_tryget(&queue.q), nullptr);
    EXPECT_EQ(queue.q.state, VESK_MSGQ_EMPTY);
}

TEST(MessageQueue, ManyProducersAndConsumersTakeEveryItemExactlyOnce) {
    const int producers = 4;
    const int consumers = 4;
    const int per_producer = sanitized() ? 5000 : 50000;
    const int total = producers * per_producer;
    Queue queue;
    std::vector<std::atomic<int>> seen(static_cast<size_t>(total));
    std::atomic<int> taken{0};
    // Each producer's items must come out in its own order, whichever
    // consumer takes them; the last value seen per producer per consumer
    // must therefore only grow.
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c] {
            std::vector<int> last(producers, -1);
            bool blocking = c % 2 == 0;  // half block, half poll
            while (taken.load() < total) {
                void *item = blocking ? vesk_msgq_get(&queue.q) : vesk_msgq_tryget(&queue.q);
                if (item == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                if (item == kStopPill) break;
                int value = static_cast<int>(as_value(item)) - 1;
                seen[static_cast<size_t>(value)].fetch_add(1);
                int producer = value / per_producer;
                EXPECT_GT(value, last[static_cast<size_t>(producer)]);
                last[static_cast<size_t>(producer)] = value;
                taken.fetch_add(1);
            }
        });
    }
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i) {
                int value = p * per_producer + i;
                while (vesk_msgq_put(&queue.q, as_item(static_cast<uintptr_t>(value) + 1)) != 0) {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (int p = 0; p < producers; ++p) threads[static_cast<size_t>(consumers + p)].join();
    while (taken.load() < total) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Wake every consumer still blocked in get.
    for (int c = 0; c < consumers; ++c) vesk_msgq_put(&queue.q, kStopPill);
    for (int c = 0; c < consumers; ++c) threads[static_cast<size_t>(c)].join();

    for (int v = 0; v < total; ++v) ASSERT_EQ(seen[static_cast<size_t>(v)].load(), 1) << v;
    EXPECT_EQ(taken.load(), total);
}

// Taken nodes are kept for later puts.  A reused node must leave the spare
// stack (or it would be handed out twice and two items would share it), must
// come back with a fresh `next` (or the chain would run into the stack), and
// the stack must stop growing at its bound (or a queue that once held many
// items would keep their memory until destroyed).
TEST(MessageQueue, ReusedNodesKeepOrderAndTheSpareStackIsBounded) {
    Queue queue;
    const uintptr_t many = 3 * static_cast<uintptr_t>(containers::kMsgqSpareLimit) + 7;
    for (int round = 0; round < 3; ++round) {
        uintptr_t base = static_cast<uintptr_t>(round) * 1000000;
        for (uintptr_t i = 1; i <= many; ++i)
            ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(base + i)), 0);
        // Every put of a round after the first found a spare node.
        EXPECT_EQ(containers::msgq_spare_count(&queue.q), 0);
        EXPECT_EQ(vesk_msgq_count(&queue.q), static_cast<int>(many));
        for (uintptr_t i = 1; i <= many; ++i)
            ASSERT_EQ(as_value(vesk_msgq_tryget(&queue.q)), base + i);
        EXPECT_EQ(vesk_msgq_tryget(&queue.q), nullptr);
        EXPECT_EQ(containers::msgq_spare_count(&queue.q), containers::kMsgqSpareLimit);
    }
    // Short cycles around an almost empty queue: the same few nodes go round
    // between the chain and the stack, and FIFO order holds throughout.
    uintptr_t next_in = 1, next_out = 1;
    for (int step = 0; step < 10000; ++step) {
        for (int k = 0; k < 1 + step % 3; ++k)
            ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(next_in++)), 0);
        for (int k = 0; k < 1 + (step + 1) % 3 && next_out < next_in; ++k) {
            ASSERT_EQ(as_value(vesk_msgq_get(&queue.q)), next_out++);
        }
        ASSERT_EQ(vesk_msgq_count(&queue.q), static_cast<int>(next_in - next_out));
        ASSERT_LE(containers::msgq_spare_count(&queue.q), containers::kMsgqSpareLimit);
    }
    while (next_out < next_in) ASSERT_EQ(as_value(vesk_msgq_tryget(&queue.q)), next_out++);
    EXPECT_EQ(vesk_msgq_tryget(&queue.q), nullptr);
    // A refused put takes no spare node with it.
    int32_t spares = containers::msgq_spare_count(&queue.q);
    queue.q.state = VESK_MSGQ_FULL;
    EXPECT_EQ(vesk_msgq_put(&queue.q, as_item(1)), -1);
    queue.q.state = VESK_MSGQ_EMPTY;
    EXPECT_EQ(containers::msgq_spare_count(&queue.q), spares);
}

// Many threads cycling a few items through a queue that never holds much:
// nearly every put reuses a node that another thread's take just gave back.
// Each item must come out exactly once; the sanitizer runs watch the nodes.
TEST(MessageQueue, NodesReusedAcrossThreadsLoseAndDuplicateNothing) {
    const int threads_count = 4;
    const int rounds = sanitized() ? 2000 : 20000;
    Queue queue;
    const int total = threads_count * rounds;
    std::vector<std::atomic<int>> seen(static_cast<size_t>(total));
    std::vector<std::thread> threads;
    for (int t = 0; t < threads_count; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                int value = t * rounds + i;
                ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(static_cast<uintptr_t>(value) + 1)), 0);
                // Every thread puts before it takes, so a unit is always there.
                void *item = i % 2 == 0 ? vesk_msgq_get(&queue.q) : vesk_msgq_tryget(&queue.q);
                ASSERT_NE(item, nullptr);
                seen[as_value(item) - 1].fetch_add(1);
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (int v = 0; v < total; ++v) ASSERT_EQ(seen[static_cast<size_t>(v)].load(), 1) << v;
    EXPECT_EQ(vesk_msgq_count(&queue.q), 0);
    EXPECT_LE(containers::msgq_spare_count(&queue.q), containers::kMsgqSpareLimit);
    EXPECT_GT(containers::msgq_spare_count(&queue.q), 0);
}

TEST(MessageQueue, DestroyAcceptsNullAndReleasesUndrainedNodes) {
    vesk_msgq_destroy(nullptr);
    vesk_msgq q{};
    vesk_msgq_create(&q);
    vesk_msgq_put(&q, as_item(1));
    vesk_msgq_put(&q, as_item(2));
    vesk_msgq_put(&q, as_item(3));
    EXPECT_EQ(as_value(vesk_msgq_get(&q)), 1u);  // its node becomes a spare
    // The leak checker of the sanitizer run watches the queued and the spare
    // nodes both.
    vesk_msgq_destroy(&q);
    EXPECT_EQ(containers::msgq_spare_count(&q), 0);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.head, nullptr);
    // A take from a destroyed queue fails instead of touching freed memory.
    EXPECT_EQ(vesk_msgq_tryget(&q), nullptr);
    EXPECT_EQ(vesk_msgq_get(&q), nullptr);
}

}  // namespace
