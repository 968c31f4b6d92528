// The ring buffer: every branch of write and read, corrupt records, and a
// randomised comparison against a plain FIFO model.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "vuvidur.h"

namespace {

struct Ring {
    explicit Ring(int size) { vesk_ring_init(&r, size); }
    ~Ring() { vesk_ring_free(&r); }
    // Places both positions, as a ring would be after earlier traffic.
    void at(int read, int write) {
        r.read_pos = read;
        r.write_pos = write;
    }
    vesk_ring r;
};

const uint8_t kBytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

}  // namespace

TEST(RingBuffer, InitZeroFillsTheStorageAndStartsEmpty) {
    Ring ring(32);
    EXPECT_EQ(ring.r.size, 32);
    EXPECT_EQ(vesk_ring_is_empty(&ring.r), 1);
    EXPECT_EQ(vesk_ring_has_data(&ring.r), 0);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(ring.r.storage[i], 0) << i;
}

TEST(RingBuffer, KeepsOneByteFreeSoSizeEightStoresSeven) {
    Ring ring(8);
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 7), 0);
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 1), -3);
    EXPECT_EQ(ring.r.write_pos, 7) << "a refused write stored something";
    uint8_t out[16];
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 16), 7);
    EXPECT_EQ(0, memcmp(out, kBytes, 7));
}

TEST(RingBuffer, WriteEndingExactlyAtStorageEndWrapsWritePositionToZero) {
    Ring ring(8);
    ring.at(5, 5);
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 3), 0);
    EXPECT_EQ(ring.r.write_pos, 0);
    EXPECT_EQ(ring.r.storage[5], 1);
    EXPECT_EQ(ring.r.storage[7], 3);
}

TEST(RingBuffer, WriteCrossingTheEndSplitsAcrossTheStart) {
    Ring ring(8);
    ring.at(5, 5);
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 4), 0);
    EXPECT_EQ(ring.r.write_pos, 1);
    EXPECT_EQ(ring.r.storage[7], 3);
    EXPECT_EQ(ring.r.storage[0], 4);
    uint8_t out[8];
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 8), 4);
    EXPECT_EQ(0, memcmp(out, kBytes, 4));
}

TEST(RingBuffer, WriteIntoTheGapBeforeTheReaderMustLeaveOneByte) {
    Ring ring(8);
    ring.at(6, 2);  // free room: indices 2..4 (one byte before read_pos stays free)
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 4), -3);
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 3), 0);
    EXPECT_EQ(ring.r.write_pos, 5);
}

TEST(RingBuffer, WrappingWriteMayNotReachTheReader) {
    Ring ring(8);
    ring.at(2, 6);  // stored 4; free 3: indices 6, 7, 0
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 4), -3);
    EXPECT_EQ(ring.r.write_pos, 6);
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 3), 0);
    EXPECT_EQ(ring.r.write_pos, 1);
}

TEST(RingBuffer, ReadLongerThanStoredReturnsWhatIsThereAndEmpties) {
    Ring ring(16);
    vesk_ring_write(&ring.r, kBytes, 5);
    uint8_t out[16];
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 16), 5);
    EXPECT_EQ(ring.r.read_pos, ring.r.write_pos);
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 16), 0);
    EXPECT_EQ(vesk_ring_is_empty(&ring.r), 1);
    EXPECT_EQ(vesk_ring_has_data(&ring.r), 0);
}

TEST(RingBuffer, PartialReadOfAContiguousRunAdvancesByTheAmountAsked) {
    Ring ring(16);
    vesk_ring_write(&ring.r, kBytes, 6);
    uint8_t out[4];
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 4), 4);
    EXPECT_EQ(ring.r.read_pos, 4);
    EXPECT_EQ(out[3], 4);
}

TEST(RingBuffer, WrappedReadEndingAtStorageEndLeavesReadPositionAtZero) {
    Ring ring(8);
    ring.at(6, 2);  // 4 stored: indices 6, 7, 0, 1
    for (int i = 0; i < 8; ++i) ring.r.storage[i] = static_cast<uint8_t>(0x10 + i);
    uint8_t out[10];
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 2), 2);
    EXPECT_EQ(ring.r.read_pos, 0);
    EXPECT_EQ(out[0], 0x16);
    EXPECT_EQ(out[1], 0x17);
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 10), 2);
    EXPECT_EQ(out[0], 0x10);
    EXPECT_EQ(out[1], 0x11);
}

TEST(RingBuffer, WrappedReadThatFitsTakesTailThenHead) {
    Ring ring(8);
    ring.at(5, 3);  // stored: 5, 6, 7, 0, 1, 2
    for (int i = 0; i < 8; ++i) ring.r.storage[i] = static_cast<uint8_t>(i);
    uint8_t out[8];
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 8), 6);
    const uint8_t expected[] = {5, 6, 7, 0, 1, 2};
    EXPECT_EQ(0, memcmp(out, expected, 6));
    EXPECT_EQ(ring.r.read_pos, 3);
}

TEST(RingBuffer, WrappedReadShorterThanStoredButLongerThanTailCrossesTheEnd) {
    Ring ring(8);
    ring.at(6, 4);  // stored: 6, 7, 0, 1, 2, 3
    for (int i = 0; i < 8; ++i) ring.r.storage[i] = static_cast<uint8_t>(i);
    uint8_t out[8];
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 3), 3);
    const uint8_t expected[] = {6, 7, 0};
    EXPECT_EQ(0, memcmp(out, expected, 3));
    EXPECT_EQ(ring.r.read_pos, 1);
}

TEST(RingBuffer, ArgumentCheckComesBeforeTheConsistencyCheck) {
    Ring ring(8);
    ring.at(-1, 99);  // corrupt
    uint8_t out[4];
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 0), -1);
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, -4), -1);
    EXPECT_EQ(vesk_ring_write(&ring.r, nullptr, 4), -1);
    EXPECT_EQ(vesk_ring_read(&ring.r, nullptr, 4), -1);
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 0), -1);
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 4), -2);
    EXPECT_EQ(vesk_ring_read(&ring.r, out, 4), -2);
}

TEST(RingBuffer, PositionsOutsideTheirBoundsAreCorruptAndLeftUntouched) {
    struct Case {
        int read, write;
    } cases[] = {{-1, 0}, {8, 0}, {0, -1}, {0, 9}, {9, 9}};
    for (const auto &c : cases) {
        Ring ring(8);
        ring.at(c.read, c.write);
        uint8_t out[4];
        EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 1), -2) << c.read << ',' << c.write;
        EXPECT_EQ(vesk_ring_read(&ring.r, out, 4), -2) << c.read << ',' << c.write;
        EXPECT_EQ(ring.r.read_pos, c.read);
        EXPECT_EQ(ring.r.write_pos, c.write);
    }
}

TEST(RingBuffer, WritePositionEqualToSizeIsAcceptedAsConsistent) {
    Ring ring(8);
    ring.at(3, 8);  // the bound allows write_pos == size; tail is 0
    EXPECT_EQ(vesk_ring_write(&ring.r, kBytes, 2), 0);
    EXPECT_EQ(ring.r.write_pos, 2);
    EXPECT_EQ(ring.r.storage[0], 1);
}

TEST(RingBuffer, TinyRingsStoreNothing) {
    Ring zero(0);
    uint8_t out[1];
    EXPECT_EQ(vesk_ring_write(&zero.r, kBytes, 1), -2);
    EXPECT_EQ(vesk_ring_read(&zero.r, out, 1), -2);
    Ring negative(-5);  // taken as size 0
    EXPECT_EQ(negative.r.size, 0);
    EXPECT_EQ(vesk_ring_write(&negative.r, kBytes, 1), -2);
    Ring one(1);
    EXPECT_EQ(vesk_ring_write(&one.r, kBytes, 1), -3);
    EXPECT_EQ(vesk_ring_read(&one.r, out, 1), 0);
}

TEST(RingBuffer, ResetDropsStoredDataWithoutClearingBytes) {
    Ring ring(8);
    vesk_ring_write(&ring.r, kBytes, 5);
    vesk_ring_reset(&ring.r);
    EXPECT_EQ(ring.r.read_pos, 0);
    EXPECT_EQ(ring.r.write_pos, 0);
    EXPECT_EQ(ring.r.storage[4], 5);
    EXPECT_EQ(vesk_ring_is_empty(&ring.r), 1);
}

// Random writes and reads of random sizes against a deque: every byte comes
// out once, in order, and refusals happen exactly when the model is too full.
TEST(RingBuffer, BehavesLikeABoundedFifoUnderRandomTraffic) {
    for (int size : {2, 3, 8, 17, 64}) {
        Ring ring(size);
        std::deque<uint8_t> model;
        std::mt19937 rng(static_cast<unsigned>(size));
        uint8_t next = 0;
        for (int step = 0; step < 20000; ++step) {
            int len = 1 + static_cast<int>(rng() % static_cast<unsigned>(size + 2));
            if (rng() % 2) {
                std::vector<uint8_t> data(static_cast<size_t>(len));
                for (auto &b : data) b = next++;
                int rc = vesk_ring_write(&ring.r, data.data(), len);
                bool fits = static_cast<int>(model.size()) + len <= size - 1;
                ASSERT_EQ(rc, fits ? 0 : -3) << "size " << size << " step " << step;
                if (fits) {
                    model.insert(model.end(), data.begin(), data.end());
                } else {
                    next = static_cast<uint8_t>(next - len);
                }
            } else {
                std::vector<uint8_t> out(static_cast<size_t>(len));
                int rc = vesk_ring_read(&ring.r, out.data(), len);
                int expect = std::min(len, static_cast<int>(model.size()));
                ASSERT_EQ(rc, expect) << "size " << size << " step " << step;
                for (int i = 0; i < rc; ++i) {
                    ASSERT_EQ(out[static_cast<size_t>(i)], model.front());
                    model.pop_front();
                }
            }
            ASSERT_LT(ring.r.write_pos, size);
            ASSERT_EQ(vesk_ring_is_empty(&ring.r), model.empty() ? 1 : 0);
        }
    }
}
