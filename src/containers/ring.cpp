// The ring buffer: a circular byte buffer with all-or-nothing writes.
//
// Invariant: one byte is always kept free, so read_pos == write_pos means
// empty and never full; at most size - 1 bytes are stored.
#include <cstring>

#include "vuvidur.h"

namespace {

// A record whose positions lie outside their bounds is corrupt: every
// operation refuses it (-2) without touching anything.
bool ring_is_consistent(const vesk_ring *ring) {
    return ring->read_pos >= 0 && ring->read_pos < ring->size && ring->write_pos >= 0 &&
           ring->write_pos <= ring->size;
}

constexpr int kRingBadArgument = -1;
constexpr int kRingCorrupt = -2;
constexpr int kRingNoRoom = -3;

}  // namespace

extern "C" {

VESK_API void vesk_ring_init(vesk_ring *ring, int size) {
    if (size < 0) size = 0;
    ring->storage = static_cast<uint8_t *>(vesk_mem_alloc(0, 0, static_cast<uint32_t>(size)));
    std::memset(ring->storage, 0, static_cast<size_t>(size));
    ring->read_pos = 0;
    ring->write_pos = 0;
    ring->size = size;
}

VESK_API void vesk_ring_free(vesk_ring *ring) { vesk_mem_free(ring->storage); }

VESK_API int vesk_ring_write(vesk_ring *ring, const void *src, int len) {
    if (src == nullptr || len <= 0) return kRingBadArgument;
    if (!ring_is_consistent(ring)) return kRingCorrupt;
    const auto *bytes = static_cast<const uint8_t *>(src);
    const int read = ring->read_pos;
    const int write = ring->write_pos;

    if (read > write) {  // the free room lies between the positions
        if (len > read - write - 1) return kRingNoRoom;
        std::memcpy(ring->storage + write, bytes, static_cast<size_t>(len));
        ring->write_pos = write + len;
        return 0;
    }
    const int tail = ring->size - write;  // room up to the end of the storage
    if (len < tail) {
        std::memcpy(ring->storage + write, bytes, static_cast<size_t>(len));
        ring->write_pos = write + len;
        return 0;
    }
    // The data reaches or crosses the end: a write ending exactly at the end
    // comes here too and leaves write_pos at 0.
    if (len > tail + read - 1) return kRingNoRoom;
    std::memcpy(ring->storage + write, bytes, static_cast<size_t>(tail));
    std::memcpy(ring->storage, bytes + tail, static_cast<size_t>(len - tail));
    ring->write_pos = len - tail;
    return 0;
}

VESK_API int vesk_ring_read(vesk_ring *ring, void *dst, int len) {
    if (dst == nullptr || len <= 0) return kRingBadArgument;
    if (!ring_is_consistent(ring)) return kRingCorrupt;
    auto *out = static_cast<uint8_t *>(dst);
    const int read = ring->read_pos;
    const int write = ring->write_pos;

    if (read == write) return 0;
    if (read < write) {  // one contiguous run
        const int avail = write - read;
        const int take = avail > len ? len : avail;
        std::memcpy(out, ring->storage + read, static_cast<size_t>(take));
        ring->read_pos = read + take;
        return take;
    }
    // The data wraps around the end of the storage.
    const int avail = ring->size - read + write;
    const int tail = ring->size - read;
    if (avail <= len) {
        std::memcpy(out, ring->storage + read, static_cast<size_t>(tail));
        std::memcpy(out + tail, ring->storage, static_cast<size_t>(write));
        ring->read_pos = write;
        return avail;
    }
    if (tail >= len) {
        std::memcpy(out, ring->storage + read, static_cast<size_t>(len));
        ring->read_pos = (read + len) % ring->size;
        return len;
    }
    std::memcpy(out, ring->storage + read, static_cast<size_t>(tail));
    std::memcpy(out + tail, ring->storage, static_cast<size_t>(len - tail));
    ring->read_pos = len - tail;
    return len;
}

VESK_API int vesk_ring_is_empty(const vesk_ring *ring) {
    return ring->read_pos == ring->write_pos ? 1 : 0;
}

VESK_API int vesk_ring_has_data(const vesk_ring *ring) {
    return ring->read_pos != ring->write_pos ? 1 : 0;
}

VESK_API void vesk_ring_reset(vesk_ring *ring) {
    ring->read_pos = 0;
    ring->write_pos = 0;
}

}  // extern "C"
