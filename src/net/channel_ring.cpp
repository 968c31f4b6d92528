// Posting and reading whole events in a channel's ring.
#include "net/channel_ring.h"

#include <cstring>

#include "net/copy.h"

namespace net {

namespace {

// Positions inside the storage (a ring whose positions are not is read and
// written only through vesk_ring_read and vesk_ring_write, which refuse it).
bool positions_inside(const vesk_ring &ring) {
    return ring.storage != nullptr && ring.read_pos >= 0 && ring.read_pos < ring.size &&
           ring.write_pos >= 0 && ring.write_pos < ring.size;
}

// An emptied ring starts again at the front of its storage.  A channel's
// ring is large (megabytes) and mostly near empty: left to walk its whole
// storage, every event would be written to and read from memory that has
// left the processor's caches, where the front stays warm.
void rewind_if_empty(vesk_ring &ring) {
    if (ring.read_pos == ring.write_pos) ring.read_pos = ring.write_pos = 0;
}

}  // namespace

int ring_room(const vesk_ring &ring) {
    if (ring.size <= 0) return 0;
    int used = ring.write_pos - ring.read_pos;
    if (used < 0) used += ring.size;
    return ring.size - 1 - used;
}

bool ring_post_event(vesk_ring &ring, const uint8_t *head, int head_size, const uint8_t *body,
                     int body_size) {
    const int record = head_size + body_size;
    // Checked first, so that the three writes below either all fit or none is
    // made: a reader never meets a header without its record.
    if (record <= 0 || record > kMaxRecord || ring_room(ring) < kEventHeaderSize + record) {
        return false;
    }
    uint8_t header[kEventHeaderSize];
    const auto length = static_cast<int16_t>(record);
    header[0] = kFrameMark;
    std::memcpy(header + 1, &length, 2);  // host order
    // The common case: the event ends before the end of the storage, and is
    // written in place.  The room checked above lies after write_pos.
    const int write = ring.write_pos;
    if (positions_inside(ring) && write + kEventHeaderSize + record < ring.size) {
        uint8_t *at = ring.storage + write;
        std::memcpy(at, header, kEventHeaderSize);
        copy_bytes(at + kEventHeaderSize, head, static_cast<size_t>(head_size));
        if (body_size > 0) {
            copy_bytes(at + kEventHeaderSize + head_size, body, static_cast<size_t>(body_size));
        }
        ring.write_pos = write + kEventHeaderSize + record;
        return true;
    }
    if (vesk_ring_write(&ring, header, kEventHeaderSize) != 0) return false;
    vesk_ring_write(&ring, head, head_size);
    if (body_size > 0) vesk_ring_write(&ring, body, body_size);
    return true;
}

int ring_take_contiguous_event(vesk_ring &ring, uint8_t *out) {
    if (!positions_inside(ring)) return 0;
    const int read = ring.read_pos;
    const int end = read <= ring.write_pos ? ring.write_pos : ring.size;
    if (end - read < kEventHeaderSize) return 0;
    const uint8_t *at = ring.storage + read;
    uint16_t length = 0;
    std::memcpy(&length, at + 1, 2);
    if (at[0] != kFrameMark || length == 0 || length > kMaxRecord ||
        end - read - kEventHeaderSize < length) {
        return 0;
    }
    copy_bytes(out, at + kEventHeaderSize, length);
    const int next = read + kEventHeaderSize + length;
    ring.read_pos = next == ring.size ? 0 : next;
    rewind_if_empty(ring);
    return length;
}

int ring_read_event(vesk_ring &ring, uint8_t *out) {
    if (const int taken = ring_take_contiguous_event(ring, out); taken > 0) return taken;
    uint8_t header[kEventHeaderSize];
    const int got = vesk_ring_read(&ring, header, kEventHeaderSize);
    if (got < 0) return -2;
    if (got == 0) return 0;
    if (got < kEventHeaderSize || header[0] != kFrameMark) return -3;
    uint16_t length = 0;
    std::memcpy(&length, header + 1, 2);
    // A record is never empty; one longer than the largest cannot be taken
    // into the caller's buffer.
    if (length == 0 || length > kMaxRecord) return -3;
    const int taken = vesk_ring_read(&ring, out, length);
    if (taken < 0) return -2;
    if (taken != length) {
        // A header that stood alone: what follows cannot be trusted.
        vesk_ring_reset(&ring);
        return -3;
    }
    rewind_if_empty(ring);
    return length;
}

bool ring_next_event_whole(const vesk_ring &ring) {
    const int size = ring.size;
    if (ring.storage == nullptr || size <= 0 || ring.read_pos < 0 || ring.read_pos >= size ||
        ring.write_pos < 0 || ring.write_pos >= size) {
        return false;
    }
    int used = ring.write_pos - ring.read_pos;
    if (used < 0) used += size;
    if (used < kEventHeaderSize) return false;
    uint8_t header[kEventHeaderSize];
    int at = ring.read_pos;
    for (uint8_t &byte : header) {
        byte = ring.storage[at];
        if (++at == size) at = 0;
    }
    uint16_t length = 0;
    std::memcpy(&length, header + 1, 2);
    return header[0] == kFrameMark && length >= 1 && length <= kMaxRecord &&
           used >= kEventHeaderSize + length;
}

}  // namespace net
