// vesk_net_channel_read and vesk_net_channel_read_many, taking turns, over
// arbitrary ring contents: any storage size, bytes and positions (consistent
// or not).  Each read returns a documented code and never touches memory
// outside the ring or its buffer; a batch is whole entries that add up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/net_internal.h"

namespace {

int g_channel = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (vesk_net_init(1, 1, 0, 1, 4096, 0, 0) != 0) std::abort();
    g_channel = vesk_net_channel_open();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6) return 0;
    uint16_t read_pos, write_pos;
    std::memcpy(&read_pos, data, 2);
    std::memcpy(&write_pos, data + 2, 2);
    const int ring_size = 1 + (data[4] | (data[5] << 8)) % 4096;
    data += 6;
    size -= 6;
    std::vector<uint8_t> storage(static_cast<size_t>(ring_size), 0);
    std::memcpy(storage.data(), data, size < storage.size() ? size : storage.size());

    net::Channel &ch = net::channel_at(g_channel);
    ch.lock.lock();
    vesk_ring saved = ch.ring;
    ch.ring.storage = storage.data();
    ch.ring.size = ring_size;
    // Positions beyond the storage, too: the ring must refuse them.
    ch.ring.read_pos = read_pos % (ring_size + 8);
    ch.ring.write_pos = write_pos % (ring_size + 8);
    ch.has_events.store(1);
    ch.lock.unlock();

    std::vector<uint8_t> buffer(VESK_NET_MAX_RECORD);
    std::vector<uint8_t> batch(3 * (2 + VESK_NET_MAX_RECORD));
    for (int i = 0; i < 64; ++i) {
        if (i % 2 == 1) {
            const int r =
                vesk_net_channel_read_many(g_channel, batch.data(), static_cast<int>(batch.size()));
            if (r > static_cast<int>(batch.size()) || r < -3 || r == -1) std::abort();
            for (int at = 0; at < r;) {
                uint16_t length;
                std::memcpy(&length, batch.data() + at, 2);
                if (length == 0 || length > VESK_NET_MAX_RECORD) std::abort();
                at += 2 + length;
                if (at > r) std::abort();
            }
            if (r == 0 || r == -2) break;
            continue;
        }
        const int r = vesk_net_channel_read(g_channel, buffer.data());
        if (r > VESK_NET_MAX_RECORD || r < -3 || r == -1) std::abort();
        if (r == 0 || r == -2) break;
    }

    ch.lock.lock();
    ch.ring = saved;
    net::channel_note(ch);
    ch.lock.unlock();
    return 0;
}
