// Internal hooks of the blocking message queue, for its tests.
#pragma once

#include <cstdint>

#include "vuvidur.h"

// The queue's own file still uses the names before the namespace rule; these
// forward to them until it moves over (TEMPORARY: remove with that change).
constexpr int32_t msgq_spare_limit = 1024;
int32_t msgq_spare_count(vesk_msgq *q);

namespace containers {

// How many taken nodes a queue keeps for reuse by later puts; nodes taken
// beyond this are released at once.
constexpr int32_t kMsgqSpareLimit = msgq_spare_limit;

// The number of nodes that `q` keeps for reuse now, read under its mutex;
// 0 for a queue without a lock (never created, or destroyed).
using ::msgq_spare_count;

}  // namespace containers
