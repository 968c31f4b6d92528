// Message queue throughput: items handed from producer threads to consumer
// threads, 1 to 1 and 4 to 4, against a plain std::mutex +
// std::condition_variable + std::deque queue doing the same work in the same
// run.  Consumers block while the queue is empty.  The ratio lines at the end
// give the library queue's items per second as a fraction of the plain one's.
// Both sides do the same work per item, including the check that every item
// arrived: consumers sum what they take, and a round whose sum is off fails.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rate_reporter.h"
#include "vuvidur.h"

namespace {

constexpr int kItemsPerRound = 240000;  // divisible by every thread count below

class LibraryQueue {
public:
    LibraryQueue() { vesk_msgq_create(&q_); }
    ~LibraryQueue() { vesk_msgq_destroy(&q_); }
    void put(void *item) {
        while (vesk_msgq_put(&q_, item) != 0)
            std::this_thread::yield();  // full: never at this size
    }
    void *take() { return vesk_msgq_get(&q_); }

private:
    vesk_msgq q_;
};

class PlainQueue {
public:
    void put(void *item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(item);
        }
        ready_.notify_one();
    }
    void *take() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !items_.empty(); });
        void *item = items_.front();
        items_.pop_front();
        return item;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<void *> items_;
};

template <typename Queue>
void BM_Handoff(benchmark::State &state) {
    const int producers = static_cast<int>(state.range(0));
    const int consumers = static_cast<int>(state.range(1));
    // Producer p puts 1 .. kItemsPerRound / producers.
    const uint64_t per_producer = static_cast<uint64_t>(kItemsPerRound / producers);
    const uint64_t expected_sum =
        static_cast<uint64_t>(producers) * per_producer * (per_producer + 1) / 2;
    for (auto _ : state) {
        Queue queue;
        std::atomic<uint64_t> sum{0};
        std::vector<std::thread> threads;
        for (int c = 0; c < consumers; ++c) {
            threads.emplace_back([&queue, &sum, consumers] {
                uint64_t own = 0;
                for (int i = 0; i < kItemsPerRound / consumers; ++i) {
                    own += reinterpret_cast<uintptr_t>(queue.take());
                }
                sum.fetch_add(own);
            });
        }
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([&queue, producers] {
                for (int i = 0; i < kItemsPerRound / producers; ++i) {
                    queue.put(reinterpret_cast<void *>(static_cast<uintptr_t>(i) + 1));
                }
            });
        }
        for (std::thread &thread : threads) thread.join();
        if (sum.load() != expected_sum) {
            state.SkipWithError("items lost or duplicated");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kItemsPerRound);
}

// Registered pairwise so that the two queues run side by side per shape.
BENCHMARK_TEMPLATE(BM_Handoff, LibraryQueue)
    ->ArgNames({"producers", "consumers"})
    ->Args({1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Handoff, PlainQueue)
    ->ArgNames({"producers", "consumers"})
    ->Args({1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Handoff, LibraryQueue)
    ->ArgNames({"producers", "consumers"})
    ->Args({4, 4})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Handoff, PlainQueue)
    ->ArgNames({"producers", "consumers"})
    ->Args({4, 4})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RateReporter reporter("items_per_second");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (int threads : {1, 4}) {
        std::string shape = "/producers:" + std::to_string(threads) +
                            "/consumers:" + std::to_string(threads) + "/real_time";
        double library = reporter.rate("BM_Handoff<LibraryQueue>" + shape);
        double plain = reporter.rate("BM_Handoff<PlainQueue>" + shape);
        if (library > 0 && plain > 0) {
            std::printf(
                "library/plain queue throughput ratio, %d producer(s) / %d consumer(s): %.2f\n",
                threads, threads, library / plain);
        }
    }
    benchmark::Shutdown();
    return 0;
}
