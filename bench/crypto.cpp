// CRC-32, TEA buffer mode and the padded envelope.
//
// CRC-32 runs side by side with zlib's crc32 on 64 B, 4 KiB and 1 MiB.  TEA
// buffer mode and the envelope run against straightforward implementations
// that handle one block at a time (the reference code's loop, the key loaded
// per block, the envelope's stream collected byte by byte).  Throughput is in
// the bytes_per_second column.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#if __has_include(<zlib.h>)
#include <zlib.h>
#define BENCH_HAVE_ZLIB 1
#endif

#include "crypto/crc32.h"
#include "vuvidur.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n) {
    std::mt19937 rng(7);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

const uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                          0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

// ---- CRC-32 ------------------------------------------------------------------

void BM_Crc32_Library(benchmark::State &state) {
    const auto buf = random_bytes(static_cast<size_t>(state.range(0)));
    uint32_t c = 0;
    for (auto _ : state) {
        c = vesk_crc32(c, buf.data(), static_cast<int>(buf.size()));
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc32_LibraryTablesOnly(benchmark::State &state) {
    const auto buf = random_bytes(static_cast<size_t>(state.range(0)));
    uint32_t c = 0;
    for (auto _ : state) {
        c = ~crypto::crc32_table_update(~c, buf.data(), buf.size());
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

#ifdef BENCH_HAVE_ZLIB
void BM_Crc32_Zlib(benchmark::State &state) {
    const auto buf = random_bytes(static_cast<size_t>(state.range(0)));
    uLong c = 0;
    for (auto _ : state) {
        c = crc32(c, buf.data(), static_cast<uInt>(buf.size()));
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32_Zlib)->Arg(64)->Arg(4096)->Arg(1 << 20);
#endif
BENCHMARK(BM_Crc32_Library)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_Crc32_LibraryTablesOnly)->Arg(64)->Arg(4096)->Arg(1 << 20);

// ---- TEA buffer mode ---------------------------------------------------------

uint32_t le(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
void put_le(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The reference code's loop, one block after another.
void reference_tea_buffer(const uint8_t *src, size_t n, uint8_t *dst, const uint8_t *key) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint32_t k0 = le(key), k1 = le(key + 4), k2 = le(key + 8), k3 = le(key + 12);
        uint32_t y = le(src + i), z = le(src + i + 4), sum = 0;
        for (int r = 0; r < 32; ++r) {
            sum += 0x9E3779B9u;
            y += ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
            z += ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
        }
        put_le(dst + i, y);
        put_le(dst + i + 4, z);
    }
    for (size_t j = 0; i + j < n; ++j) dst[i + j] = src[i + j] ^ key[j];
}

void BM_TeaBuffer_Library(benchmark::State &state) {
    const auto src = random_bytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> dst(src.size());
    for (auto _ : state) {
        vesk_tea_encrypt_buffer(src.data(), static_cast<uint16_t>(src.size()), dst.data(), kKey);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_TeaBuffer_Reference(benchmark::State &state) {
    const auto src = random_bytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> dst(src.size());
    for (auto _ : state) {
        reference_tea_buffer(src.data(), src.size(), dst.data(), kKey);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_TeaBuffer_Reference)->Arg(64)->Arg(4096)->Arg(65535);
BENCHMARK(BM_TeaBuffer_Library)->Arg(64)->Arg(4096)->Arg(65535);

// ---- padded envelope ---------------------------------------------------------

uint32_t be(const uint8_t *p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
void put_be(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void reference_e16(const uint8_t in[8], uint8_t out[8], const uint8_t *key) {
    uint32_t y = be(in), z = be(in + 4), sum = 0;
    const uint32_t k0 = be(key), k1 = be(key + 4), k2 = be(key + 8), k3 = be(key + 12);
    for (int r = 0; r < 16; ++r) {
        sum += 0x9E3779B9u;
        y += ((z << 4) + k0) ^ (z + sum) ^ ((z >> 5) + k1);
        z += ((y << 4) + k2) ^ (y + sum) ^ ((y >> 5) + k3);
    }
    put_be(out, y);
    put_be(out + 4, z);
}

// The stream collected byte by byte; each full block chained and encrypted.
void reference_envelope(const uint8_t *key, const uint8_t *data, size_t n, uint8_t *out) {
    size_t pad = (n + 10) % 8;
    pad = pad == 0 ? 0 : 8 - pad;
    uint8_t block[8], prevQ[8] = {}, prevX[8] = {};
    size_t fill = 0, at = 0;
    auto put = [&](uint8_t b) {
        block[fill++] = b;
        if (fill < 8) return;
        uint8_t x[8], e[8];
        for (int j = 0; j < 8; ++j) x[j] = block[j] ^ prevQ[j];
        reference_e16(x, e, key);
        for (int j = 0; j < 8; ++j) out[at + j] = e[j] ^ prevX[j];
        std::memcpy(prevQ, out + at, 8);
        std::memcpy(prevX, x, 8);
        at += 8;
        fill = 0;
    };
    put(static_cast<uint8_t>((std::rand() & 0xF8) | pad));
    for (size_t i = 0; i < pad + 2; ++i) put(static_cast<uint8_t>(std::rand()));
    for (size_t i = 0; i < n; ++i) put(data[i]);
    for (int i = 0; i < 7; ++i) put(0);
}

void BM_EnvelopeSeal_Reference(benchmark::State &state) {
    const auto data = random_bytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(data.size() + 24);
    for (auto _ : state) {
        reference_envelope(kKey, data.data(), data.size(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_EnvelopeSeal_Library(benchmark::State &state) {
    const auto data = random_bytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(data.size() + 24);
    int len = 0;
    for (auto _ : state) {
        vesk_envelope_encrypt(kKey, data.data(), static_cast<int>(data.size()), out.data(), &len);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_EnvelopeOpen_Library(benchmark::State &state) {
    const auto data = random_bytes(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> sealed(VESK_ENVELOPE_SIZE(data.size()));
    std::vector<uint8_t> out(data);
    int len = 0;
    vesk_envelope_encrypt(kKey, data.data(), static_cast<int>(data.size()), sealed.data(), &len);
    for (auto _ : state) {
        int cap = static_cast<int>(out.size());
        benchmark::DoNotOptimize(vesk_envelope_decrypt(kKey, sealed.data(), len, out.data(), &cap));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_EnvelopeSeal_Reference)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_EnvelopeSeal_Library)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_EnvelopeOpen_Library)->Arg(64)->Arg(4096)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
