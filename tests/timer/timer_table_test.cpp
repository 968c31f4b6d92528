// The timer table and its scheduling rules, driven pass by pass with a
// chosen clock second (no thread, no waiting).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "timer/timer.h"
#include "vuvidur.h"

namespace {

struct Run {
    int32_t index;
    void *context;
    void *param;
    uint8_t *data;
};
std::vector<Run> g_runs;

int record_run(int32_t index, void *context, void *param, uint8_t *data) {
    g_runs.push_back({index, context, param, data});
    return 0;
}

TimerSpec spec_with(uint32_t interval, TimerCallback callback = record_run) {
    TimerSpec spec;
    std::memset(&spec, 0, sizeof spec);
    spec.interval = interval;
    spec.callback = callback;
    return spec;
}

class TimerTable : public ::testing::Test {
protected:
    void SetUp() override {
        vesk_timer_init();
        g_runs.clear();
    }
    void TearDown() override { vesk_timer_init(); }
    // How many runs each of the given passes made.
    std::vector<size_t> runs_per_pass(std::initializer_list<uint32_t> seconds) {
        std::vector<size_t> counts;
        for (uint32_t now : seconds) {
            size_t before = g_runs.size();
            EXPECT_EQ(timer::run_due(now), 0);
            counts.push_back(g_runs.size() - before);
        }
        return counts;
    }
};

using Counts = std::vector<size_t>;

TEST_F(TimerTable, TenAddsFillSlotsInOrderAndAFreedSlotIsReusedFirst) {
    for (int i = 0; i < VESK_TIMER_SLOTS; ++i) EXPECT_EQ(vesk_timer_add(spec_with(5)), i);
    EXPECT_EQ(vesk_timer_add(spec_with(5)), VESK_TIMER_NO_SLOT);
    EXPECT_EQ(vesk_timer_remove(3), 0);
    EXPECT_EQ(vesk_timer_remove(3), -1);
    EXPECT_EQ(vesk_timer_add(spec_with(5)), 3);
    EXPECT_EQ(vesk_timer_remove_all(), 0);
    EXPECT_EQ(vesk_timer_add(spec_with(5)), 0);
}

TEST_F(TimerTable, RemoveRefusesFreeAndOutOfRangeSlots) {
    EXPECT_EQ(vesk_timer_remove(0), -1);
    EXPECT_EQ(vesk_timer_remove(-1), -1);
    EXPECT_EQ(vesk_timer_remove(10), -1);
    EXPECT_EQ(vesk_timer_remove_all(), 0);
}

TEST_F(TimerTable, IntervalZeroRunsAtEveryPassFromTheSecondOfTheAdd) {
    timer::add_at(spec_with(0), 1000);
    EXPECT_EQ(runs_per_pass({1000, 1000, 1001, 1001}), (Counts{1, 1, 1, 1}));
}

TEST_F(TimerTable, IntervalTwoFirstRunsTwoClockSecondsAfterTheAddThenEveryTwo) {
    timer::add_at(spec_with(2), 1000);
    EXPECT_EQ(runs_per_pass({1000, 1000, 1001, 1001, 1002, 1002, 1003, 1004}),
              (Counts{0, 0, 0, 0, 1, 0, 0, 1}));
    // A late pass runs it once, and the schedule counts from that pass.
    EXPECT_EQ(runs_per_pass({1010, 1011, 1012}), (Counts{1, 0, 1}));
}

TEST_F(TimerTable, ClockComparisonIsUnsigned) {
    // Stepping back: the difference wraps to a huge value, so the timer runs
    // and its schedule restarts from the new clock value.
    timer::add_at(spec_with(60), 5000);
    EXPECT_EQ(runs_per_pass({4990, 4991, 5049, 5050}), (Counts{1, 0, 0, 1}));
    EXPECT_EQ(timer::slot_snapshot(0).last_run, 5050u);
    // Across the 32-bit wrap of the clock.
    vesk_timer_remove_all();
    timer::add_at(spec_with(3), 0xFFFFFFFEu);
    EXPECT_EQ(runs_per_pass({0xFFFFFFFFu, 0u, 1u}), (Counts{0, 0, 1}));
}

TEST_F(TimerTable, CallbackGetsItsIndexValuesAndTheSlotsOwnPersistentData) {
    timer::add_at(spec_with(100), 50);  // slot 0, not due
    TimerSpec spec = spec_with(0);
    int context = 1;
    int param = 2;
    spec.context = &context;
    spec.param = &param;
    spec.data[0] = 0xAB;
    ASSERT_EQ(timer::add_at(spec, 50), 1);
    spec.data[0] = 0;  // the slot keeps its own copy

    timer::run_due(50);
    ASSERT_EQ(g_runs.size(), 1u);
    EXPECT_EQ(g_runs[0].index, 1);
    EXPECT_EQ(g_runs[0].context, &context);
    EXPECT_EQ(g_runs[0].param, &param);
    uint8_t *data = g_runs[0].data;
    EXPECT_EQ(data[0], 0xAB);
    data[1] = 0x5A;  // what a callback writes is there at its next run
    timer::run_due(51);
    ASSERT_EQ(g_runs.size(), 2u);
    EXPECT_EQ(g_runs[1].data, data);
    EXPECT_EQ(data[1], 0x5A);

    ASSERT_EQ(vesk_timer_remove(1), 0);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(data[i], 0) << "byte " << i << " survived the remove";
}

TEST_F(TimerTable, NullCallbackIsStillMarkedAsRun) {
    timer::add_at(spec_with(1, nullptr), 10);
    timer::run_due(10);
    EXPECT_EQ(timer::slot_snapshot(0).run_count, 0);
    timer::run_due(11);
    timer::run_due(12);
    timer::Slot slot = timer::slot_snapshot(0);
    EXPECT_EQ(slot.run_count, 2);
    EXPECT_EQ(slot.last_run, 12u);
    EXPECT_EQ(slot.created, 10u);
}

TEST_F(TimerTable, RunCountWrapsAfter255) {
    timer::add_at(spec_with(0, nullptr), 1);
    for (int i = 0; i < 256; ++i) timer::run_due(1);
    EXPECT_EQ(timer::slot_snapshot(0).run_count, 0);
    timer::run_due(1);
    EXPECT_EQ(timer::slot_snapshot(0).run_count, 1);
}

// A callback that removes itself and adds a new timer: the new one lands in
// the lowest free slot, which is its own (examined no more this pass), or a
// higher one (examined in this same pass).
int g_added_index = -1;
int remove_self_and_add(int32_t index, void *, void *, uint8_t *) {
    g_runs.push_back({index, nullptr, nullptr, nullptr});
    EXPECT_EQ(vesk_timer_remove(index), 0);
    g_added_index = vesk_timer_add(spec_with(0));
    return 0;
}

TEST_F(TimerTable, CallbacksMayAddAndRemoveTimersDuringAPass) {
    vesk_timer_add(spec_with(0, remove_self_and_add));  // slot 0
    timer::run_due(timer::now());
    EXPECT_EQ(g_added_index, 0);   // took the slot it freed
    EXPECT_EQ(g_runs.size(), 1u);  // slot 0 is behind the pass: the new timer waits
    EXPECT_EQ(timer::slot_snapshot(0).spec.callback, &record_run);
}

int add_higher(int32_t index, void *, void *, uint8_t *) {
    g_runs.push_back({index, nullptr, nullptr, nullptr});
    if (index == 0) g_added_index = vesk_timer_add(spec_with(0));
    return 0;
}

TEST_F(TimerTable, TimerAddedInAHigherSlotRunsInTheSamePass) {
    uint32_t now = timer::now();
    timer::add_at(spec_with(0, add_higher), now);
    timer::run_due(now);
    ASSERT_EQ(g_added_index, 1);
    // The new timer's add read the clock itself; interval 0 is due whatever
    // second that was.
    ASSERT_EQ(g_runs.size(), 2u);
    EXPECT_EQ(g_runs[1].index, 1);
}

TEST_F(TimerTable, InitEmptiesTheTable) {
    vesk_timer_add(spec_with(0));
    vesk_timer_add(spec_with(0));
    vesk_timer_init();
    EXPECT_EQ(vesk_timer_remove(1), -1) << "slot 1 still held";
    timer::run_due(timer::now());
    EXPECT_TRUE(g_runs.empty());
    EXPECT_EQ(vesk_timer_add(spec_with(0)), 0);
}

}  // namespace
