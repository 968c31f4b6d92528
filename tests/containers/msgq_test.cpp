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

// Drained segments are kept for later puts.  A reused segment must leave the
// spare stack (or it would be handed out twice and two items would share its
// slots), must come back with fresh slot indices and a fresh `next` (or old
// items would reappear, or the chain would run into the stack), and the stack
// must stop growing at its bound (or a queue that once held many items would
// keep their memory until destroyed).
TEST(MessageQueue, ReusedSegmentsKeepOrderAndTheSpareStackIsBounded) {
    Queue queue;
    const uintptr_t many =
        3 * static_cast<uintptr_t>(containers::kMsgqSpareLimit * containers::kMsgqSegmentItems) + 7;
    for (int round = 0; round < 3; ++round) {
        uintptr_t base = static_cast<uintptr_t>(round) * 1000000;
        for (uintptr_t i = 1; i <= many; ++i)
            ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(base + i)), 0);
        // Every put of a round after the first that needed a segment found a spare one.
        EXPECT_EQ(containers::msgq_spare_count(&queue.q), 0);
        EXPECT_EQ(vesk_msgq_count(&queue.q), static_cast<int>(many));
        for (uintptr_t i = 1; i <= many; ++i)
            ASSERT_EQ(as_value(vesk_msgq_tryget(&queue.q)), base + i);
        EXPECT_EQ(vesk_msgq_tryget(&queue.q), nullptr);
        EXPECT_EQ(containers::msgq_spare_count(&queue.q), containers::kMsgqSpareLimit);
    }
    // Short cycles around an almost empty queue: the slots march through
    // segment after segment, the queue emptying at every position, and FIFO
    // order holds throughout.
    uintptr_t next_in = 1, next_out = 1;
    for (int step = 0; step < 10000; ++step) {
        for (int k = 0; k < 1 + step % 3; ++k)
            ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(next_in++)), 0);
        for (int k = 0; k < 1 + (step + 1) % 3 && next_out < next_in; ++k) {
            ASSERT_EQ(as_value(vesk_msgq_get(&queue.q)), next_out++);
        }
        ASSERT_EQ(vesk_msgq_count(&queue.q), static_cast<int>(next_in - next_out));
        ASSERT_EQ(queue.q.head == nullptr, next_in == next_out);
        ASSERT_LE(containers::msgq_spare_count(&queue.q), containers::kMsgqSpareLimit);
    }
    while (next_out < next_in) ASSERT_EQ(as_value(vesk_msgq_tryget(&queue.q)), next_out++);
    EXPECT_EQ(vesk_msgq_tryget(&queue.q), nullptr);
    // A refused put takes no spare segment with it.
    int32_t spares = containers::msgq_spare_count(&queue.q);
    queue.q.state = VESK_MSGQ_FULL;
    EXPECT_EQ(vesk_msgq_put(&queue.q, as_item(1)), -1);
    queue.q.state = VESK_MSGQ_EMPTY;
    EXPECT_EQ(containers::msgq_spare_count(&queue.q), spares);
}

// Many threads cycling a few items through a queue that never holds much:
// segments are drained and reused by whichever thread comes next.  Each item
// must come out exactly once; the sanitizer runs watch the segments.
TEST(MessageQueue, SegmentsReusedAcrossThreadsLoseAndDuplicateNothing) {
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

TEST(MessageQueue, NullOrDestroyedQueueIsRefusedWithoutCrashing) {
    vesk_msgq_create(nullptr);
    EXPECT_EQ(vesk_msgq_put(nullptr, as_item(1)), -1);
    EXPECT_EQ(vesk_msgq_count(nullptr), -1);
    EXPECT_EQ(vesk_msgq_get(nullptr), nullptr);
    EXPECT_EQ(vesk_msgq_tryget(nullptr), nullptr);
    vesk_msgq q{};
    vesk_msgq_create(&q);
    ASSERT_EQ(vesk_msgq_put(&q, as_item(1)), 0);
    vesk_msgq_destroy(&q);
    // Destroyed, even with an item left in it: nothing goes in or comes out,
    // and a second destroy does nothing.
    EXPECT_EQ(vesk_msgq_put(&q, as_item(2)), -1);
    EXPECT_EQ(vesk_msgq_get(&q), nullptr);
    EXPECT_EQ(vesk_msgq_tryget(&q), nullptr);
    EXPECT_EQ(containers::msgq_spare_count(&q), 0);
    EXPECT_EQ(containers::msgq_sleeper_count(&q), 0);
    vesk_msgq_destroy(&q);
}

TEST(MessageQueue, DestroyAcceptsNullAndReleasesUndrainedNodes) {
    vesk_msgq_destroy(nullptr);
    vesk_msgq q{};
    vesk_msgq_create(&q);
    // Two full segments and part of a third, then the first drained: queued
    // and spare segments both; the leak checker of the sanitizer run watches
    // them.
    const uintptr_t segment = static_cast<uintptr_t>(containers::kMsgqSegmentItems);
    for (uintptr_t i = 1; i <= 2 * segment + 3; ++i) vesk_msgq_put(&q, as_item(i));
    for (uintptr_t i = 1; i <= segment; ++i) EXPECT_EQ(as_value(vesk_msgq_get(&q)), i);
    EXPECT_EQ(containers::msgq_spare_count(&q), 1);
    vesk_msgq_destroy(&q);
    EXPECT_EQ(containers::msgq_spare_count(&q), 0);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.head, nullptr);
    // A take from a destroyed queue fails instead of touching freed memory.
    EXPECT_EQ(vesk_msgq_tryget(&q), nullptr);
    EXPECT_EQ(vesk_msgq_get(&q), nullptr);
    EXPECT_EQ(vesk_msgq_put(&q, as_item(4)), -1);
}

// Waits up to five seconds for `done`.
template <typename Done>
bool eventually(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Consumers asleep in get, then puts back to back: each put must wake one
// sleeper, not only the put that finds the queue empty (the others' items
// would sit in the queue while their consumers sleep on).
TEST(MessageQueue, EveryPutWakesOneSleeperEvenWhenPutsComeBackToBack) {
    const int consumers = 3;
    Queue queue;
    std::atomic<uintptr_t> sum{0};
    std::atomic<int> returned{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&] {
            sum += as_value(vesk_msgq_get(&queue.q));
            returned += 1;
        });
    }
    ASSERT_TRUE(eventually([&] { return containers::msgq_sleeper_count(&queue.q) == consumers; }));
    for (uintptr_t i = 1; i <= consumers; ++i) ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(i)), 0);
    EXPECT_TRUE(eventually([&] { return returned.load() == consumers; }))
        << returned.load() << " woke";
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(sum.load(), 1u + 2u + 3u);
    EXPECT_EQ(vesk_msgq_count(&queue.q), 0);
}

// A woken consumer can find its item already taken by a tryget: it must wait
// on (not return NULL), and the next put must still wake it.  Then hand-offs
// one at a time, with the producer pausing for varying times, so that the
// consumer meets each put while polling, while registering and while asleep.
TEST(MessageQueue, WokenConsumerWhoseItemWasTakenWaitsOnAndNoWakeUpIsLost) {
    Queue queue;
    int steals = 0;
    // Whether the tryget beats the woken consumer is up to the scheduler:
    // rounds go on until it has, a few times.
    for (int round = 0; steals < 3 && round < 1000; ++round) {
        std::atomic<void *> got{nullptr};
        std::thread consumer([&] { got = vesk_msgq_get(&queue.q); });
        ASSERT_TRUE(eventually([&] { return containers::msgq_sleeper_count(&queue.q) == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // asleep, slow to wake
        ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(1)), 0);
        void *stolen = vesk_msgq_tryget(&queue.q);
        if (stolen != nullptr) {
            steals += 1;
            // Woken for nothing: it must go back to sleep, registered again.
            EXPECT_TRUE(eventually([&] { return containers::msgq_sleeper_count(&queue.q) == 1; }))
                << "round " << round;
            ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(2)), 0);
        }
        EXPECT_TRUE(eventually([&] { return got.load() != nullptr; })) << "round " << round;
        consumer.join();
        EXPECT_EQ(as_value(got.load()), stolen != nullptr ? 2u : 1u);
    }
    EXPECT_GT(steals, 0);
    const int handoffs = sanitized() ? 300 : 3000;
    std::atomic<int> taken{0};
    std::thread consumer([&] {
        for (int i = 1; i <= handoffs; ++i) {
            EXPECT_EQ(as_value(vesk_msgq_get(&queue.q)), static_cast<uintptr_t>(i));
            taken = i;
        }
    });
    for (int i = 1; i <= handoffs; ++i) {
        if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50 * (i % 5)));
        for (int k = 0; k < i % 13; ++k) std::this_thread::yield();
        ASSERT_EQ(vesk_msgq_put(&queue.q, as_item(static_cast<uintptr_t>(i))), 0);
        ASSERT_TRUE(eventually([&] { return taken.load() == i; }))
            << "hand-off " << i << " never arrived";
    }
    consumer.join();
}

// Destroy wakes the consumers blocked in get (NULL for each) and returns once
// they have left, so none touches the released queue.
TEST(MessageQueue, DestroyWakesConsumersBlockedInGet) {
    const int consumers = 3;
    vesk_msgq q{};
    vesk_msgq_create(&q);
    std::atomic<int> nulls{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&] {
            if (vesk_msgq_get(&q) == nullptr) nulls += 1;
        });
    }
    ASSERT_TRUE(eventually([&] { return containers::msgq_sleeper_count(&q) == consumers; }));
    vesk_msgq_destroy(&q);
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(nulls.load(), consumers);
    EXPECT_EQ(q.lock, nullptr);
}

}  // namespace
