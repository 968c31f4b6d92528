// Readiness for the engine's I/O thread on Windows: the registered sockets
// go through one select pass per wait, which returns after at most 1 ms (the
// engine's passes there stay as they always were), so a wake-up needs no
// signal of its own.
#include <winsock2.h>
#include <windows.h>

#include <new>

#include "os/os.h"
#include "os/win32/poll_set.h"

namespace {
constexpr int kPassMs = 1;
}

struct os::Poller {
    int capacity;
    int count;
    int *keys;
    vesk_socket_t *sockets;
    unsigned *interest;
    os::PollSet *set;
};

os::Poller *os::poller_create(int capacity) {
    if (capacity < 1) return nullptr;
    auto *p = new (std::nothrow) os::Poller{capacity, 0, nullptr, nullptr, nullptr, nullptr};
    if (p == nullptr) return nullptr;
    p->keys = new (std::nothrow) int[static_cast<size_t>(capacity)];
    p->sockets = new (std::nothrow) vesk_socket_t[static_cast<size_t>(capacity)];
    p->interest = new (std::nothrow) unsigned[static_cast<size_t>(capacity)];
    p->set = os::poll_create(capacity);
    if (p->keys == nullptr || p->sockets == nullptr || p->interest == nullptr ||
        p->set == nullptr) {
        os::poller_destroy(p);
        return nullptr;
    }
    return p;
}

void os::poller_destroy(os::Poller *p) {
    if (p == nullptr) return;
    delete[] p->keys;
    delete[] p->sockets;
    delete[] p->interest;
    os::poll_destroy(p->set);
    delete p;
}

int os::poller_set(os::Poller *p, vesk_socket_t s, int key, unsigned old_interest,
                   unsigned interest) {
    if (old_interest == interest) return 0;
    int at = -1;
    for (int i = 0; i < p->count && at < 0; ++i) {
        if (p->keys[i] == key && p->sockets[i] == s) at = i;
    }
    if (interest == 0) {
        if (at < 0) return -1;
        --p->count;
        p->keys[at] = p->keys[p->count];
        p->sockets[at] = p->sockets[p->count];
        p->interest[at] = p->interest[p->count];
        return 0;
    }
    if (at < 0) {
        if (p->count >= p->capacity) return -1;
        at = p->count++;
        p->keys[at] = key;
        p->sockets[at] = s;
    }
    p->interest[at] = interest;
    return 0;
}

int os::poller_wait(os::Poller *p, int timeout_ms, os::PollEvent *events, int max) {
    const int pass_ms = timeout_ms >= 0 && timeout_ms < kPassMs ? timeout_ms : kPassMs;
    if (p->count == 0) {
        // select refuses empty sets.
        Sleep(static_cast<DWORD>(pass_ms));
        return 0;
    }
    os::poll_clear(p->set);
    for (int i = 0; i < p->count; ++i) os::poll_add(p->set, p->sockets[i], p->interest[i]);
    const int rc = os::poll_wait(p->set, pass_ms);
    if (rc <= 0) return rc;
    int count = 0;
    for (int i = 0; i < p->count && count < max; ++i) {
        const unsigned ready = os::poll_ready(p->set, i);
        if (ready != 0) events[count++] = os::PollEvent{p->keys[i], ready};
    }
    return count;
}

void os::poller_wake(os::Poller *) {}
