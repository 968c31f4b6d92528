// Random numbers: the result's arithmetic, the call counter and reseeding.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <thread>
#include <vector>

#include "text/random.h"
#include "vuvidur.h"

namespace {

TEST(RandomResult, SpansCounterPlusFiveToCounterPlus79997561) {
    EXPECT_EQ(text::rand_result(1, 0), 6);
    EXPECT_EQ(text::rand_result(1, text::kRandDrawMax), 1 + 79997561);
    EXPECT_EQ(text::rand_result(100, 1), 100 + 5 + 4 * 610);  // 610.35... rounded down
    EXPECT_EQ(text::rand_result(0, 16384), 5 + 4 * 10000000);
    // Every draw leaves remainder 1 modulo 4 after the counter.
    for (int draw = 0; draw <= text::kRandDrawMax; ++draw) {
        int diff = text::rand_result(7, draw) - 7;
        ASSERT_EQ(diff % 4, 1) << draw;
        ASSERT_GE(diff, 5);
        ASSERT_LE(diff, 79997561);
    }
}

TEST(RandomDraw, IsFifteenBitsAndRepeatableForASeed) {
    std::srand(12345);
    std::vector<int> first;
    for (int i = 0; i < 1000; ++i) {
        int draw = text::rand_draw();
        ASSERT_GE(draw, 0);
        ASSERT_LE(draw, text::kRandDrawMax);
        first.push_back(draw);
    }
    std::srand(12345);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(text::rand_draw(), first[static_cast<size_t>(i)]);
    // The draws are not stuck in a few values (a reduction that kept only
    // constant bits would be).
    EXPECT_GT(std::set<int>(first.begin(), first.end()).size(), 900u);
}

// The first call of the process sees counter 1 and the first draw after
// seeding with the current second.  Each test runs in a process of its own.
TEST(RandomNext, FirstCallOfTheProcessUsesCounterOneAndTheClockSeed) {
    std::time_t before = std::time(nullptr);
    int result = vesk_rand_next();
    std::time_t after = std::time(nullptr);
    std::set<int> expected;
    for (std::time_t t = before; t <= after; ++t) {
        std::srand(static_cast<unsigned>(t));
        expected.insert(text::rand_result(1, text::rand_draw()));
    }
    EXPECT_TRUE(expected.count(result)) << result;
}

TEST(RandomNext, TwoCallsInOneSecondDifferByExactlyOne) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::time_t before = std::time(nullptr);
        int a = vesk_rand_next();
        int b = vesk_rand_next();
        if (std::time(nullptr) != before) continue;  // a second boundary fell between
        EXPECT_EQ(b - a, 1);
        return;
    }
    FAIL() << "never managed two calls within one second";
}

TEST(RandomNext, ConcurrentCallersEachGetTheirOwnCounterValue) {
    // With the counter raised atomically, the results of one second stay
    // distinct across threads; a lost increment would repeat a value.
    constexpr int kThreads = 4;
    constexpr int kCalls = 2000;
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::time_t before = std::time(nullptr);
        std::vector<std::vector<int>> results(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&results, t] {
                for (int i = 0; i < kCalls; ++i)
                    results[static_cast<size_t>(t)].push_back(vesk_rand_next());
            });
        }
        for (auto &thread : threads) thread.join();
        if (std::time(nullptr) != before) continue;
        std::set<int> all;
        for (const auto &r : results) all.insert(r.begin(), r.end());
        EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kCalls));
        return;
    }
    GTEST_SKIP() << "every attempt crossed a second boundary";
}

TEST(RandomInit, SeedsFromTheClockAndDiscardsThreeDraws) {
    std::time_t before = std::time(nullptr);
    vesk_rand_init();
    int next = std::rand();
    std::time_t after = std::time(nullptr);
    std::set<int> expected;
    for (std::time_t t = before; t <= after; ++t) {
        std::srand(static_cast<unsigned>(t));
        for (int i = 0; i < 3; ++i) std::rand();
        expected.insert(std::rand());
    }
    EXPECT_TRUE(expected.count(next));
}

}  // namespace
