// Holds one of the library's mutex cells for the length of a scope.
#pragma once

#include "vuvidur.h"

namespace os {

// Locks `cell` on construction and unlocks it on destruction, so that no
// early return can leave it held.  Portable: it calls only the exported
// vesk_mutex_lock and vesk_mutex_unlock, which each backend implements.  A
// lock result of 16 (abandoned: its last holder was terminated) still means
// that the caller holds the mutex, so the result is not looked at.
// Says that the caller already holds the mutex (taken by other means, such
// as a try-lock with back-off): the guard only releases it.
struct AdoptLock {};
inline constexpr AdoptLock kAdoptLock{};

class MutexGuard {
public:
    explicit MutexGuard(vesk_mutex_cell *cell) : cell_(cell) { vesk_mutex_lock(cell_); }
    MutexGuard(vesk_mutex_cell *cell, AdoptLock) : cell_(cell) {}
    ~MutexGuard() { vesk_mutex_unlock(cell_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    vesk_mutex_cell *cell_;
};

}  // namespace os
