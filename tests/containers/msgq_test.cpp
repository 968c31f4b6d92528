// The blocking message queue: order, blocking, the item limit, many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

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

TEST(MessageQueue, DestroyAcceptsNullAndReleasesUndrainedNodes) {
    vesk_msgq_destroy(nullptr);
    vesk_msgq q{};
    vesk_msgq_create(&q);
    vesk_msgq_put(&q, as_item(1));
    vesk_msgq_put(&q, as_item(2));
    vesk_msgq_destroy(&q);  // the leak checker of the sanitizer run watches this
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.head, nullptr);
    // A take from a destroyed queue fails instead of touching freed memory.
    EXPECT_EQ(vesk_msgq_tryget(&q), nullptr);
    EXPECT_EQ(vesk_msgq_get(&q), nullptr);
}

}  // namespace
