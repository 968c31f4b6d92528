// Posting and reading whole events in a channel's ring.
#include "net/channel_ring.h"

#include <cstring>

namespace net {

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
    if (vesk_ring_write(&ring, header, kEventHeaderSize) != 0) return false;
    vesk_ring_write(&ring, head, head_size);
    if (body_size > 0) vesk_ring_write(&ring, body, body_size);
    return true;
}

int ring_read_event(vesk_ring &ring, uint8_t *out) {
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
