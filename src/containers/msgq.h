// Internal hooks of the blocking message queue, for its tests.
#pragma once

#include <cstdint>

#include "vuvidur.h"

namespace containers {

// Items per storage segment: a segment (a link, two slot indices and the
// slots) takes 1024 bytes.
constexpr int32_t kMsgqSegmentItems =
    static_cast<int32_t>((1024 - sizeof(void *) - 2 * sizeof(int32_t)) / sizeof(void *));

// How many drained segments a queue keeps for reuse by later puts; segments
// drained beyond this are released at once.
constexpr int32_t kMsgqSpareLimit = 16;

// The number of segments that `q` keeps for reuse now, read under its
// mutex; 0 for a queue without a lock (never created, or destroyed).
int32_t msgq_spare_count(vesk_msgq *q);

// The number of consumers that `q`'s gets have registered to sleep and that
// no put has woken yet, read under its mutex; 0 for a queue without a lock.
int32_t msgq_sleeper_count(vesk_msgq *q);

}  // namespace containers
