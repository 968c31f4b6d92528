// Internal hooks of the blocking message queue, for its tests.
#pragma once

#include <cstdint>

#include "vuvidur.h"

// How many taken nodes a queue keeps for reuse by later puts; nodes taken
// beyond this are released at once.
constexpr int32_t msgq_spare_limit = 1024;

// The number of nodes that `q` keeps for reuse now, read under its mutex;
// 0 for a queue without a lock (never created, or destroyed).
int32_t msgq_spare_count(vesk_msgq *q);
