// Ring buffer throughput: one write plus one read of a record, against plain
// memcpy of the same bytes in and out (the physical limit).  The ratio line at
// the end gives ring throughput as a fraction of memcpy's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rate_reporter.h"
#include "vuvidur.h"

namespace {

constexpr int kRingSize = 65536;

void BM_RingWriteRead(benchmark::State &state) {
    const int len = static_cast<int>(state.range(0));
    std::vector<uint8_t> in(static_cast<size_t>(len), 0x5A), out(static_cast<size_t>(len));
    vesk_ring ring;
    vesk_ring_init(&ring, kRingSize);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vesk_ring_write(&ring, in.data(), len));
        benchmark::DoNotOptimize(vesk_ring_read(&ring, out.data(), len));
        benchmark::ClobberMemory();
    }
    vesk_ring_free(&ring);
    state.SetBytesProcessed(state.iterations() * len);
}

// The same bytes through two memcpy calls via a buffer of the ring's size, at
// a moving offset like the ring's, so both touch the same amount of memory.
void BM_MemcpyInOut(benchmark::State &state) {
    const int len = static_cast<int>(state.range(0));
    std::vector<uint8_t> in(static_cast<size_t>(len), 0x5A), out(static_cast<size_t>(len));
    std::vector<uint8_t> middle(kRingSize);
    size_t offset = 0;
    for (auto _ : state) {
        if (offset + static_cast<size_t>(len) > middle.size()) offset = 0;
        std::memcpy(middle.data() + offset, in.data(), static_cast<size_t>(len));
        benchmark::ClobberMemory();
        std::memcpy(out.data(), middle.data() + offset, static_cast<size_t>(len));
        benchmark::ClobberMemory();
        offset += static_cast<size_t>(len);
    }
    state.SetBytesProcessed(state.iterations() * len);
}

BENCHMARK(BM_RingWriteRead)->Arg(64)->Arg(2048);
BENCHMARK(BM_MemcpyInOut)->Arg(64)->Arg(2048);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RateReporter reporter("bytes_per_second");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (int len : {64, 2048}) {
        double ring = reporter.rate("BM_RingWriteRead/" + std::to_string(len));
        double copy = reporter.rate("BM_MemcpyInOut/" + std::to_string(len));
        if (ring > 0 && copy > 0) {
            std::printf("ring/memcpy throughput ratio, %4d-byte records: %.2f\n", len, ring / copy);
        }
    }
    benchmark::Shutdown();
    return 0;
}
