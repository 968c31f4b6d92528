// Holds one of the library's mutex cells for the length of a scope, and the
// annotated lock and role types of the engine.
#pragma once

#include <atomic>
#include <cassert>
#include <thread>

#include "os/os.h"
#include "os/thread_safety.h"
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

// A plain mutex (os::mutex_init_plain) with its storage, known to the
// thread-safety analysis: fields it guards are declared VESK_GUARDED_BY it.
class VESK_CAPABILITY("mutex") Lock {
public:
    // False when the mutex cannot be made; destroy() is safe either way.
    bool init() {
        cell_ = mutex_init_plain(storage_);
        return cell_ != nullptr;
    }
    void destroy() {
        if (cell_ != nullptr) vesk_mutex_destroy(cell_);
        cell_ = nullptr;
    }
    void lock() VESK_ACQUIRE() { vesk_mutex_lock(cell_); }
    void unlock() VESK_RELEASE() { vesk_mutex_unlock(cell_); }

private:
    vesk_mutex_cell *cell_ = nullptr;
    alignas(void *) unsigned char storage_[kMutexCellSize] = {};
};

class VESK_SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(Lock &lock) VESK_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~LockGuard() VESK_RELEASE() { lock_.unlock(); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    Lock &lock_;
};

// A role that one thread plays at a time, such as "the engine's I/O thread":
// the fields that belong to it are VESK_GUARDED_BY it, the functions that
// touch them VESK_REQUIRES it.  A thread takes the role with enter() and
// gives it up with leave(); in debug builds assert_held() checks that the
// calling thread is the one playing it, and enter() that nobody else was.
class VESK_CAPABILITY("role") Role {
public:
    void enter() VESK_ACQUIRE() {
#ifndef NDEBUG
        const std::thread::id none{};
        std::thread::id expected = none;
        const bool free = owner_.compare_exchange_strong(expected, std::this_thread::get_id());
        assert(free && "a role is played by one thread at a time");
        (void)free;
#endif
    }
    void leave() VESK_RELEASE() {
#ifndef NDEBUG
        assert(owner_.load() == std::this_thread::get_id());
        owner_.store(std::thread::id{});
#endif
    }
    void assert_held() const VESK_ASSERT_CAPABILITY(this) {
#ifndef NDEBUG
        assert(owner_.load() == std::this_thread::get_id() && "called outside its role");
#endif
    }

private:
#ifndef NDEBUG
    std::atomic<std::thread::id> owner_{};
#endif
};

// Plays a role for the length of a scope.
class VESK_SCOPED_CAPABILITY RoleGuard {
public:
    explicit RoleGuard(Role &role) VESK_ACQUIRE(role) : role_(role) { role_.enter(); }
    ~RoleGuard() VESK_RELEASE() { role_.leave(); }
    RoleGuard(const RoleGuard &) = delete;
    RoleGuard &operator=(const RoleGuard &) = delete;

private:
    Role &role_;
};

}  // namespace os
