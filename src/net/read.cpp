// Reading events from a channel: one whole record per call, never waiting.
#include "net/net_internal.h"

using namespace net;

extern "C" {

VESK_API int vesk_net_channel_read(int channel, void *buffer) {
    if (!net_channel_in_range(channel) || buffer == nullptr) return -1;
    Channel &ch = net_channel(channel);
    // Polling an empty channel takes no lock.
    if (ch.has_events.load(std::memory_order_acquire) == 0) {
        return ch.in_use.load(std::memory_order_relaxed) != 0 ? 0 : -1;
    }
    vesk_mutex_lock(ch.mutex);
    int result = -1;
    if (ch.in_use.load(std::memory_order_relaxed) != 0) {
        result = ring_read_event(ch.ring, static_cast<uint8_t *>(buffer));
        net_channel_note(ch);
    }
    vesk_mutex_unlock(ch.mutex);
    if (result != 0) net_channel_room_freed(channel);
    return result;
}

}  // extern "C"
