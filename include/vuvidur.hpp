/*
 * vuvidur.hpp -- a thin, header-only C++20 face over vuvidur.h.
 *
 * Everything here calls the C functions of vuvidur.h; nothing repeats what
 * the library does.  What the layer adds:
 *   - owners (move-only, RAII) for everything with a create/destroy pair:
 *     Mutex, Semaphore, Thread, Ring, MessageQueue<T>, List<T>, Engine,
 *     Channel, Slot, TimerService and Timer;
 *   - typed engine events: Channel::read() gives std::optional<Event>, a
 *     std::variant of the eight event kinds with named fields;
 *   - sends whose outcome is a status (SendStatus), never an exception or a
 *     wait, and SendQueue, a client's outgoing frames batched and bounded;
 *   - byte helpers over std::span: crc32, hex, TEA buffer mode, the
 *     envelope, the ticket exchange; settings as a small map-like view;
 *   - CGI form fields: every value of a name as std::string_view, uploaded
 *     files as spans (namespace vuvidur::cgi).
 *
 * Errors: exceptions, one type.  Every failure a call reports is thrown as
 * vuvidur::error, a std::system_error whose code() is a vuvidur::errc in the
 * Vuvidur category and which also carries the C call that failed, its
 * numeric result and the result's name in vuvidur.h (VESK_NET_SEND_NOT_READY,
 * ...).  Exceptions rather than returned std::error_code because owners are
 * made in constructors, which cannot return a code, and because one style
 * everywhere is what "never a silent failure" asks for: a result
 * that is not looked at cannot be lost.  Outcomes that are part of normal
 * work are return values, not errors: an empty channel (std::nullopt), a
 * wait that timed out (false), a send to a peer that has gone or while
 * earlier bytes are still pending (a SendStatus), a full ring (false), an
 * empty queue (nullptr).  A failure with a cause in the operating system
 * carries that cause's text (vesk_net_last_error) and the address tried.
 *
 * Lifetimes: an Engine must outlive the Channels and Slots made under it,
 * and a TimerService the Timers added to it (declare the engine first and
 * the rest after it; they are destroyed in reverse order).  Owners are used
 * by one thread at a time unless the class says otherwise; the C calls
 * underneath keep their own thread rules (see vuvidur.h).
 *
 * Portable C++20 over the C interface: no platform header is included.
 * IPv4 socket addresses are built in the 16-byte layout that every platform
 * of the library shares (struct sockaddr_in: family 2, port and address in
 * network order, eight zero bytes).
 */
#ifndef VUVIDUR_HPP
#define VUVIDUR_HPP

#if !defined(__cplusplus) || (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 202002L
// A missing include is a fatal error on every compiler (#error is not, and
// the caller's code would then add an error for each name it uses): the
// compiler stops here, and its one message is the file name below.
#include "vuvidur.hpp needs C++20: compile with -std=c++20 (CMake: target_compile_features(app PRIVATE cxx_std_20)); the C header vuvidur.h alone works from C99 and C++11"
#else  // the whole header

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vuvidur.h"

namespace vuvidur {

// ======================================================================
// Errors
// ======================================================================

// Every result this layer throws.  X(enumerator, name, meaning): the name is
// the C header's own for the C results, spelled as there.
#define VUVIDUR_HPP_HEADER_RESULTS(X)                                                          \
    X(wait_failed, VESK_WAIT_FAILED, "the wait did not succeed")                               \
    X(ring_bad_argument, VESK_RING_BAD_ARGUMENT, "NULL pointer or length below 1")             \
    X(ring_corrupt, VESK_RING_CORRUPT, "the ring's positions are outside their bounds")        \
    X(msgq_refused, VESK_MSGQ_REFUSED, "the queue is full")                                    \
    X(config_not_found, VESK_CONFIG_NOT_FOUND, "no entry has this key")                        \
    X(config_bad_argument, VESK_CONFIG_BAD_ARGUMENT, "a NULL pointer or an empty name")        \
    X(config_unreadable, VESK_CONFIG_UNREADABLE, "the file or one of its lines is unreadable") \
    X(timer_no_slot, VESK_TIMER_NO_SLOT, "all timer slots are in use")                         \
    X(timer_not_in_use, VESK_TIMER_NOT_IN_USE, "the index names no timer")                     \
    X(net_none, VESK_NET_NONE, "no slot or channel could be had")                              \
    X(net_bad_argument, VESK_NET_BAD_ARGUMENT, "number out of range, wrong type or state")     \
    X(net_connect_failed, VESK_NET_CONNECT_FAILED, "the connect failed")                       \
    X(net_ring_corrupt, VESK_NET_RING_CORRUPT, "the channel's ring is corrupt")                \
    X(net_malformed, VESK_NET_MALFORMED, "a malformed event was dropped")                      \
    X(net_peers_full, VESK_NET_PEERS_FULL, "the slot's peer table is full")                    \
    X(net_peer_not_in_table, VESK_NET_PEER_NOT_IN_TABLE, "not in the slot's peer table")       \
    X(net_peer_not_the_peer, VESK_NET_PEER_NOT_THE_PEER, "not the slot's peer")                \
    X(net_wait_gone, VESK_NET_WAIT_GONE, "the channel is not in use or was released")          \
    X(net_send_refused, VESK_NET_SEND_REFUSED,                                                 \
      "refused: listener, length out of limits, or UDP failure")                               \
    X(net_send_pending, VESK_NET_SEND_PENDING, "earlier bytes are still pending")              \
    X(net_send_not_ready, VESK_NET_SEND_NOT_READY, "the slot is not ready or has no channel")  \
    X(envelope_bad_input, VESK_ENVELOPE_BAD_INPUT, "length not a multiple of 8 or below 16")   \
    X(envelope_no_room, VESK_ENVELOPE_NO_ROOM, "data length negative or above the capacity")   \
    X(envelope_not_zero, VESK_ENVELOPE_NOT_ZERO, "wrong key or damaged data")                  \
    X(auth_bad_argument, VESK_AUTH_BAD_ARGUMENT, "wrong message length or capacity")           \
    X(auth_bad_state, VESK_AUTH_BAD_STATE, "the context is not at the step this call needs")   \
    X(auth_refused, VESK_AUTH_REFUSED, "another party or another key, or a replay")            \
    X(auth_expired, VESK_AUTH_EXPIRED, "the ticket's usable time is over")                     \
    X(auth_replay, VESK_AUTH_REPLAY, "sequence number not above the last, or another client")
// Failures the C header has no name for, and refusals of this layer.
#define VUVIDUR_HPP_LAYER_RESULTS(X)                                                               \
    X(not_created, "NULL", "the platform refused to create the object")                            \
    X(thread_terminated, "terminated", "the thread did not end within 1000 ms and was terminated") \
    X(invalid_argument, "invalid argument", "the argument does not fit the call")                  \
    X(callback_refused, "refused by the key callback", "the issuer's key callback refused")        \
    X(failed, "failed", "the call failed")

enum class errc : int {
    success = 0,  // never thrown: keeps every real code non-zero, as std::error_code wants
#define VUVIDUR_HPP_ENUM(e, ...) e,
    VUVIDUR_HPP_HEADER_RESULTS(VUVIDUR_HPP_ENUM) VUVIDUR_HPP_LAYER_RESULTS(VUVIDUR_HPP_ENUM)
#undef VUVIDUR_HPP_ENUM
};

}  // namespace vuvidur

template <>
struct std::is_error_code_enum<vuvidur::errc> : std::true_type {};

namespace vuvidur {

namespace detail {
struct result_text {
    const char *name;
    const char *meaning;
};
inline constexpr result_text result_texts[] = {{"success", "no error"},
#define VUVIDUR_HPP_HEADER_TEXT(e, code, meaning) {#code, meaning},
#define VUVIDUR_HPP_LAYER_TEXT(e, name, meaning) {name, meaning},
                                               VUVIDUR_HPP_HEADER_RESULTS(VUVIDUR_HPP_HEADER_TEXT)
                                                   VUVIDUR_HPP_LAYER_RESULTS(VUVIDUR_HPP_LAYER_TEXT)
#undef VUVIDUR_HPP_HEADER_TEXT
#undef VUVIDUR_HPP_LAYER_TEXT
};
inline const result_text &text_of(int ev) {
    constexpr int count = static_cast<int>(sizeof result_texts / sizeof result_texts[0]);
    return result_texts[ev > 0 && ev < count ? ev : static_cast<int>(errc::failed)];
}
}  // namespace detail

// The name of a result as vuvidur.h spells it ("VESK_NET_SEND_PENDING"), or
// the layer's own word for failures the header does not name ("NULL").
inline std::string_view name_of(errc code) { return detail::text_of(static_cast<int>(code)).name; }

class error_category_impl : public std::error_category {
public:
    const char *name() const noexcept override { return "vuvidur"; }
    std::string message(int ev) const override {
        const auto &t = detail::text_of(ev);
        return std::string(t.name) + ": " + t.meaning;
    }
};
inline const std::error_category &category() noexcept {
    static const error_category_impl instance;
    return instance;
}
inline std::error_code make_error_code(errc e) noexcept {
    return {static_cast<int>(e), category()};
}

// The one error type: "<call> returned <result>[ (<detail>)]: <NAME>: <meaning>".
class error : public std::system_error {
public:
    error(const char *call, int result, errc code, const std::string &detail = {}, int os_error = 0)
        : std::system_error(make_error_code(code), what_text(call, result, detail, os_error)),
          call_(call),
          result_(result),
          os_error_(os_error) {}
    // The C function that failed, e.g. "vesk_net_send".
    const char *call() const noexcept { return call_; }
    // Its numeric result, unchanged.
    int result() const noexcept { return result_; }
    // The result's name in vuvidur.h, e.g. "VESK_NET_SEND_NOT_READY".
    std::string_view name() const noexcept { return name_of(static_cast<errc>(code().value())); }
    // The operating system's error number behind the failure (errno; a
    // WSA... number on Windows), 0 when none was known.
    int os_error() const noexcept { return os_error_; }

private:
    static std::string what_text(const char *call, int result, const std::string &detail,
                                 int os_error) {
        std::string text = std::string(call) + " returned " + std::to_string(result);
        std::string inside = detail;
        if (os_error != 0) {
            if (!inside.empty()) inside += ": ";
            inside +=
                std::system_category().message(os_error) + ", error " + std::to_string(os_error);
        }
        if (!inside.empty()) text += " (" + inside + ")";
        return text;
    }
    const char *call_;
    int result_;
    int os_error_;
};

namespace detail {
[[noreturn]] inline void fail(const char *call, int result, errc code,
                              const std::string &detail = {}) {
    throw error(call, result, code, detail);
}
// The same, with the system's reason for the calling thread's last failed
// engine call (vesk_net_last_error) when it has one.
[[noreturn]] inline void fail_net(const char *call, int result, errc code,
                                  const std::string &detail = {}) {
    throw error(call, result, code, detail, vesk_net_last_error());
}
// A length the C call takes as an int (or less): refused above `limit`.
inline int length_for(const char *call, std::size_t n, std::size_t limit = INT_MAX) {
    if (n > limit)
        fail(call, -1, errc::invalid_argument,
             std::to_string(n) + " bytes, more than the " + std::to_string(limit) +
                 " the call takes");
    return static_cast<int>(n);
}
template <class T>
const std::uint8_t *u8(std::span<const T> s) {
    return reinterpret_cast<const std::uint8_t *>(s.data());
}
template <class T>
std::uint8_t *u8(std::span<T> s) {
    return reinterpret_cast<std::uint8_t *>(s.data());
}
}  // namespace detail

// Bytes of a text, for the calls that take payloads.
inline std::span<const std::byte> as_bytes(std::string_view text) {
    return std::as_bytes(std::span<const char>(text.data(), text.size()));
}
// A text of bytes, for printing payloads.
inline std::string_view as_text(std::span<const std::byte> bytes) {
    return {reinterpret_cast<const char *>(bytes.data()), bytes.size()};
}

// The library's own version (vesk_version), "MAJOR.MINOR.PATCH".
inline std::string_view library_version() { return vesk_version(); }

// ======================================================================
// Synchronisation and threads
// ======================================================================

// A recursive mutex; BasicLockable, so std::lock_guard and std::unique_lock
// take it.  (The C interface has no try-lock, so it is not Lockable.)
class Mutex {
public:
    Mutex() : cell_(vesk_mutex_create(0, 0)) {
        if (!cell_) detail::fail("vesk_mutex_create", 0, errc::not_created);
    }
    // Throws wait_failed when the lock did not succeed, which includes the
    // case where the previous owner ended without unlocking: the mutex is
    // then released again before the throw, so a guard that never got
    // constructed cannot leave it held, and the caller learns that the data
    // it guards may be half-changed.  A moved-from Mutex throws too.
    void lock() {
        const int r = vesk_mutex_lock(cell_.get());
        if (r == 0) return;
        if (r == VESK_WAIT_FAILED) vesk_mutex_unlock(cell_.get());
        detail::fail("vesk_mutex_lock", r,
                     r == VESK_WAIT_FAILED ? errc::wait_failed : errc::failed);
    }
    void unlock() noexcept { vesk_mutex_unlock(cell_.get()); }
    vesk_mutex_cell *native() const noexcept { return cell_.get(); }

private:
    struct release {
        void operator()(vesk_mutex_cell *c) const noexcept {
            vesk_mutex_destroy(c);
            vesk_mem_free(c);
        }
    };
    std::unique_ptr<vesk_mutex_cell, release> cell_;
};

// A counting semaphore.
class Semaphore {
public:
    explicit Semaphore(int initial = 0) : cell_(vesk_sem_create(0, 0, initial)) {
        if (!cell_)
            detail::fail("vesk_sem_create", 0, errc::not_created,
                         "initial " + std::to_string(initial));
    }
    void post() {
        if (vesk_sem_post(cell_.get()) != 0) detail::fail("vesk_sem_post", -1, errc::failed);
    }
    void wait() {
        const int r = vesk_sem_wait(cell_.get());
        if (r != 0)
            detail::fail("vesk_sem_wait", r,
                         r == VESK_WAIT_FAILED ? errc::wait_failed : errc::failed);
    }
    // Takes a unit only if one is there now.
    [[nodiscard]] bool try_wait() {
        const int r = vesk_sem_trywait(cell_.get());
        if (r == 0 || r == VESK_WAIT_FAILED) return r == 0;
        detail::fail("vesk_sem_trywait", r, errc::failed);
    }
    vesk_sem_cell *native() const noexcept { return cell_.get(); }

private:
    struct release {
        void operator()(vesk_sem_cell *c) const noexcept {
            vesk_sem_destroy(c);
            vesk_mem_free(c);
        }
    };
    std::unique_ptr<vesk_sem_cell, release> cell_;
};

namespace detail {
// A callable behind one virtual call, for the C callbacks' void pointers.
// (std::function would refuse move-only callables.)
struct body {
    virtual ~body() = default;
    virtual void run() = 0;
};
template <class F>
struct body_of final : body {
    explicit body_of(F &&fn) : f(std::forward<F>(fn)) {}
    void run() override { f(); }
    std::decay_t<F> f;
};
template <class F>
std::unique_ptr<body> make_body(F &&f) {
    return std::make_unique<body_of<F> >(std::forward<F>(f));
}
}  // namespace detail

// A thread running any callable, under the library's stop policy: join()
// (and the destructor, if join was not called) waits up to 1000 ms for the
// callable to return and otherwise terminates the thread by force.  An
// exception escaping the callable ends the process (std::terminate), as
// with std::thread.
class Thread {
public:
    Thread() = default;
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Thread> > >
    explicit Thread(F &&f) : state_(std::make_unique<state>()) {
        state_->callable = detail::make_body(std::forward<F>(f));
        if (!vesk_thread_create(0, &state_->cell, &run, state_.get())) {
            state_.reset();
            detail::fail("vesk_thread_create", 0, errc::not_created);
        }
    }
    Thread(Thread &&) noexcept = default;
    Thread &operator=(Thread &&other) noexcept {
        if (this != &other) {
            stop();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~Thread() { stop(); }

    bool joinable() const noexcept { return state_ != nullptr; }
    // The kernel's identifier of the thread (0 when not joinable).
    std::uint32_t id() const noexcept { return state_ ? state_->cell.id : 0; }
    // Waits for the callable to return; throws thread_terminated when the
    // thread had to be terminated, invalid_argument when not joinable.  The
    // callable is destroyed here, once the thread is gone.
    void join() {
        if (!state_) detail::fail("vesk_thread_destroy", -1, errc::invalid_argument, "no thread");
        if (stop() != 0) detail::fail("vesk_thread_destroy", -1, errc::thread_terminated);
    }

private:
    struct state {
        vesk_thread_cell cell{};
        std::unique_ptr<detail::body> callable;
    };
    static std::uint32_t VESK_THREADCALL run(void *arg) {
        static_cast<state *>(arg)->callable->run();
        return 0;
    }
    int stop() noexcept {
        if (!state_) return 0;
        const int r = vesk_thread_destroy(&state_->cell);
        state_.reset();
        return r;
    }
    std::unique_ptr<state> state_;
};

// ======================================================================
// Containers
// ======================================================================

// A ring buffer that owns its storage: stores at most size - 1 bytes.
// No lock (share it between threads under a Mutex).
class Ring {
public:
    explicit Ring(int size) { vesk_ring_init(&ring_, size); }
    Ring(Ring &&other) noexcept : ring_(std::exchange(other.ring_, vesk_ring{})) {}
    Ring &operator=(Ring &&other) noexcept {
        if (this != &other) {
            free();
            ring_ = std::exchange(other.ring_, vesk_ring{});
        }
        return *this;
    }
    ~Ring() { free(); }

    // Stores all bytes, or nothing and false when there is not enough room.
    [[nodiscard]] bool write(std::span<const std::byte> bytes) {
        if (bytes.empty()) return true;
        const int r = vesk_ring_write(&ring_, bytes.data(),
                                      detail::length_for("vesk_ring_write", bytes.size()));
        if (r == VESK_RING_OK || r == VESK_RING_NO_ROOM) return r == VESK_RING_OK;
        detail::fail("vesk_ring_write", r,
                     r == VESK_RING_CORRUPT ? errc::ring_corrupt : errc::ring_bad_argument);
    }
    // Takes up to out.size() bytes: their count, 0 when empty.
    std::size_t read(std::span<std::byte> out) {
        if (out.empty()) return 0;
        const int r =
            vesk_ring_read(&ring_, out.data(), detail::length_for("vesk_ring_read", out.size()));
        if (r < 0)
            detail::fail("vesk_ring_read", r,
                         r == VESK_RING_CORRUPT ? errc::ring_corrupt : errc::ring_bad_argument);
        return static_cast<std::size_t>(r);
    }
    bool empty() const noexcept { return vesk_ring_is_empty(&ring_) != 0; }
    void reset() noexcept { vesk_ring_reset(&ring_); }
    const vesk_ring &native() const noexcept { return ring_; }

private:
    void free() noexcept {
        if (ring_.storage) vesk_ring_free(&ring_);
        ring_ = vesk_ring{};
    }
    vesk_ring ring_{};
};

// A blocking queue of owned items between threads.  Items still queued when
// the queue is destroyed are deleted with it; no thread may be waiting in
// get() then.
template <class T>
class MessageQueue {
public:
    MessageQueue() : q_(new vesk_msgq{}) {
        vesk_msgq_create(q_.get());
        if (!q_->lock || !q_->items) detail::fail("vesk_msgq_create", 0, errc::not_created);
    }
    // Appends the item and takes it from `item`; when the queue refuses it
    // (full), throws msgq_refused and `item` still holds it.
    void put(std::unique_ptr<T> &&item) {
        if (!item) detail::fail("vesk_msgq_put", -1, errc::invalid_argument, "a null item");
        const int r = vesk_msgq_put(q_.get(), item.get());
        if (r != VESK_MSGQ_OK) detail::fail("vesk_msgq_put", r, errc::msgq_refused);
        (void)item.release();
    }
    // Takes the oldest item, waiting as long as it takes.
    std::unique_ptr<T> get() {
        void *item = vesk_msgq_get(q_.get());
        if (!item) detail::fail("vesk_msgq_get", 0, errc::wait_failed);
        return std::unique_ptr<T>(static_cast<T *>(item));
    }
    // Takes the oldest item if one is queued now; nullptr otherwise.
    std::unique_ptr<T> try_get() {
        return std::unique_ptr<T>(static_cast<T *>(vesk_msgq_tryget(q_.get())));
    }
    std::size_t size() const {
        const int n = vesk_msgq_count(q_.get());
        if (n < 0) detail::fail("vesk_msgq_count", n, errc::msgq_refused);
        return static_cast<std::size_t>(n);
    }
    vesk_msgq *native() const noexcept { return q_.get(); }

private:
    struct release {
        void operator()(vesk_msgq *q) const noexcept {
            while (void *item = vesk_msgq_tryget(q)) delete static_cast<T *>(item);
            vesk_msgq_destroy(q);
            delete q;
        }
    };
    std::unique_ptr<vesk_msgq, release> q_;
};

// An indexed list of owned items (index 0 is the first).
template <class T>
class List {
public:
    List() { vesk_list_init(&list_); }
    List(List &&other) noexcept : list_(std::exchange(other.list_, vesk_list{})) {}
    List &operator=(List &&other) noexcept {
        if (this != &other) {
            clear();
            list_ = std::exchange(other.list_, vesk_list{});
        }
        return *this;
    }
    ~List() { clear(); }

    std::size_t size() const noexcept { return static_cast<std::size_t>(vesk_list_count(&list_)); }
    bool empty() const noexcept { return size() == 0; }
    // Puts the item at index `pos` (at the end when pos >= size()).
    void insert(std::size_t pos, std::unique_ptr<T> item) {
        if (!item) detail::fail("vesk_list_insert", -1, errc::invalid_argument, "a null item");
        const int at = pos >= size() ? -1 : static_cast<int>(pos);
        vesk_list_insert(&list_, item.release(), at);
    }
    void push_back(std::unique_ptr<T> item) { insert(size(), std::move(item)); }
    // The item at `index`, or nullptr past the end.
    T *get(std::size_t index) const noexcept {
        return index >= size() ? nullptr
                               : static_cast<T *>(vesk_list_get(&list_, static_cast<int>(index)));
    }
    // Takes the item at `index` out of the list.
    std::unique_ptr<T> remove(std::size_t index) {
        T *item = get(index);
        if (!item || vesk_list_remove(&list_, static_cast<int>(index)) < 0)
            detail::fail("vesk_list_remove", -1, errc::invalid_argument,
                         "index " + std::to_string(index));
        return std::unique_ptr<T>(item);
    }
    void clear() noexcept {
        while (vesk_list_count(&list_) > 0) {
            delete static_cast<T *>(vesk_list_get(&list_, 0));
            vesk_list_remove(&list_, 0);
        }
    }

private:
    vesk_list list_{};
};

// ======================================================================
// Settings file
// ======================================================================

// A settings file read into a table: a small, read-only, map-like view.
class Settings {
public:
    struct entry {
        std::string_view key, value;
    };
    // Reads `name` from the executable's directory (vesk_config_load).  A
    // refusal says the path tried and why: the file could not be opened, the
    // path is too long, or which line was refused (quoted).
    explicit Settings(const std::string &name) {
        const int r = vesk_config_load(name.c_str(), &table_);
        if (r == VESK_CONFIG_OK) return;
        if (r == VESK_CONFIG_BAD_ARGUMENT)
            detail::fail("vesk_config_load", r, errc::config_bad_argument, name);
        detail::fail("vesk_config_load", r, errc::config_unreadable, refusal(name));
    }
    // The value of the first entry with this key (letter case matters).
    std::optional<std::string> get(const std::string &key) const {
        char value[VESK_SETTINGS_TEXT_SIZE] = {};
        const int r = vesk_config_get(&table_, key.c_str(), value);
        if (r == VESK_CONFIG_NOT_FOUND) return std::nullopt;
        if (r != VESK_CONFIG_OK) detail::fail("vesk_config_get", r, errc::config_bad_argument, key);
        return std::string(value);
    }
    bool contains(const std::string &key) const { return get(key).has_value(); }
    std::string value_or(const std::string &key, std::string fallback) const {
        auto v = get(key);
        return v ? *v : std::move(fallback);
    }
    std::size_t size() const noexcept { return static_cast<std::size_t>(table_.count); }
    // Every entry in file order (views into this object).
    std::vector<entry> entries() const {
        std::vector<entry> all;
        for (std::size_t i = 0; i < size(); ++i)
            all.push_back({field(table_.entries[i].key), field(table_.entries[i].value)});
        return all;
    }
    const SettingsTable &native() const noexcept { return table_; }

private:
    // Why the file `name` was refused, for the error's text: the library
    // reads lines in pieces of at most 99 bytes, and a refused piece comes
    // right after the entries it kept.
    std::string refusal(const std::string &name) const {
        char dir[VESK_MODULE_DIR_SIZE] = {};
        const std::string path = vesk_module_dir(dir) == 0 ? dir + name : name;
        if (path.size() > VESK_SETTINGS_PATH_MAX)
            return path + ": the path is longer than " + std::to_string(VESK_SETTINGS_PATH_MAX) +
                   " characters";
        std::FILE *file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) return path + ": cannot be opened (missing, or not a regular file)";
        std::string text;
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, n);
        std::fclose(file);
        if (table_.count >= VESK_SETTINGS_MAX_ENTRIES)
            return path + ": more than " + std::to_string(VESK_SETTINGS_MAX_ENTRIES) + " entries";
        constexpr std::size_t piece = VESK_SETTINGS_PATH_MAX;  // 99 bytes, line end included
        std::size_t line = 1, pieces = 0;
        for (std::size_t at = 0; at < text.size(); ++line) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            const std::size_t length = end - at + (end < text.size() ? 1 : 0);
            const std::size_t here = length == 0 ? 1 : (length + piece - 1) / piece;
            if (pieces + here > static_cast<std::size_t>(table_.count)) {
                std::string shown = text.substr(at, end - at);
                if (!shown.empty() && shown.back() == '\r') shown.pop_back();
                if (shown.size() > 60) shown = shown.substr(0, 60) + "...";
                return path + ": line " + std::to_string(line) + " refused: \"" + shown +
                       "\" (each line needs a key and a value of at most " +
                       std::to_string(VESK_SETTINGS_TEXT_MAX) + " characters)";
            }
            pieces += here;
            at = end + 1;
        }
        return path + ": unreadable";
    }
    static std::string_view field(const char (&text)[VESK_SETTINGS_TEXT_SIZE]) {
        const void *end = std::memchr(text, 0, VESK_SETTINGS_TEXT_SIZE);
        return {text, end ? static_cast<std::size_t>(static_cast<const char *>(end) - text)
                          : sizeof text};
    }
    SettingsTable table_{};
};

// ======================================================================
// Timers
// ======================================================================

class TimerService;

// One periodic timer; removed when destroyed (waiting for a run in progress
// on the timer thread).  Never destroy a Timer from its own callable.
class Timer {
public:
    Timer() = default;
    Timer(Timer &&other) noexcept
        : index_(std::exchange(other.index_, -1)), callable_(std::move(other.callable_)) {}
    Timer &operator=(Timer &&other) noexcept {
        if (this != &other) {
            remove();
            index_ = std::exchange(other.index_, -1);
            callable_ = std::move(other.callable_);
        }
        return *this;
    }
    ~Timer() { remove(); }
    // The slot index (0 to 9), -1 when none.
    int index() const noexcept { return index_; }

private:
    friend class TimerService;
    Timer(int index, std::unique_ptr<detail::body> callable)
        : index_(index), callable_(std::move(callable)) {}
    void remove() noexcept {
        if (index_ >= 0) vesk_timer_remove(index_);
        index_ = -1;
        callable_.reset();  // after the removal: no run can be using it
    }
    int index_ = -1;
    std::unique_ptr<detail::body> callable_;
};

// The process's timer thread: started here, stopped when destroyed.  One
// TimerService at a time (a second one throws invalid_argument), since the
// timer table is process-wide.  Callables run on the timer thread every
// `interval` seconds (0: every pass of 500 ms); an exception escaping one
// ends the process with one line on standard error and status 1.
class TimerService {
public:
    TimerService() {
        if (running().exchange(true))
            detail::fail("vesk_timer_init", 0, errc::invalid_argument,
                         "a TimerService already runs");
        vesk_timer_init();
        if (vesk_timer_start() != 0) {
            running() = false;
            detail::fail("vesk_timer_start", -1, errc::not_created);
        }
    }
    TimerService(const TimerService &) = delete;
    TimerService &operator=(const TimerService &) = delete;
    ~TimerService() {
        vesk_timer_stop();
        running() = false;
    }
    template <class F>
    [[nodiscard]] Timer add(std::chrono::seconds interval, F &&f) {
        if (interval.count() < 0 || interval.count() > UINT32_MAX)
            detail::fail("vesk_timer_add", VESK_TIMER_NO_SLOT, errc::invalid_argument,
                         "interval out of range");
        auto callable = detail::make_body(std::forward<F>(f));
        TimerSpec spec{};
        spec.context = callable.get();
        spec.interval = static_cast<std::uint32_t>(interval.count());
        spec.callback = &fire;
        const int index = vesk_timer_add(spec);
        if (index == VESK_TIMER_NO_SLOT) detail::fail("vesk_timer_add", index, errc::timer_no_slot);
        return Timer(index, std::move(callable));
    }

private:
    static int fire(std::int32_t, void *context, void *, std::uint8_t *) {
        static_cast<detail::body *>(context)->run();
        return 0;
    }
    static std::atomic<bool> &running() {
        static std::atomic<bool> flag{false};
        return flag;
    }
};

// ======================================================================
// Socket engine
// ======================================================================

// An IPv4 address and port.
struct Address {
    std::array<std::uint8_t, 4> ip{};  // a.b.c.d
    std::uint16_t port = 0;            // host order

    static constexpr Address loopback(std::uint16_t port = 0) { return {{127, 0, 0, 1}, port}; }
    static constexpr Address any(std::uint16_t port = 0) { return {{0, 0, 0, 0}, port}; }
    // "a.b.c.d:port" (decimal, nothing else); std::nullopt when it is not that.
    static std::optional<Address> parse(std::string_view text) {
        Address a;
        const char *p = text.data();
        const char *end = text.data() + text.size();
        for (int i = 0; i < 5; ++i) {
            unsigned value = 0;
            auto [next, ec] = std::from_chars(p, end, value);
            if (ec != std::errc() || value > (i < 4 ? 255u : 65535u)) return std::nullopt;
            if (i == 4) {
                if (next != end) return std::nullopt;
                a.port = static_cast<std::uint16_t>(value);
                break;
            }
            if (next == end || *next != (i < 3 ? '.' : ':')) return std::nullopt;
            a.ip[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
            p = next + 1;
        }
        return a;
    }
    std::string to_string() const {
        return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) +
               "." + std::to_string(ip[3]) + ":" + std::to_string(port);
    }
    friend bool operator==(const Address &, const Address &) = default;
    // Address and port in one number: a key for maps and sets.
    constexpr std::uint64_t key() const noexcept {
        return std::uint64_t{ip[0]} << 40 | std::uint64_t{ip[1]} << 32 |
               std::uint64_t{ip[2]} << 24 | std::uint64_t{ip[3]} << 16 | port;
    }
};

namespace detail {
// The 16-byte IPv4 socket address the engine calls take.
class socket_address {
public:
    explicit socket_address(const Address &a) {
        constexpr std::uint16_t ipv4_family = 2;  // AF_INET on every platform of the library
        std::memcpy(bytes_.data(), &ipv4_family, 2);
        bytes_[2] = static_cast<unsigned char>(a.port >> 8);
        bytes_[3] = static_cast<unsigned char>(a.port & 0xFF);
        std::memcpy(bytes_.data() + 4, a.ip.data(), 4);
    }
    const sockaddr *get() const noexcept {
        return reinterpret_cast<const sockaddr *>(bytes_.data());
    }

private:
    alignas(8) std::array<unsigned char, 16> bytes_{};
};
// Address and port as a record holds them: network order, in that order.
inline Address address_at(const std::byte *p) {
    Address a;
    std::memcpy(a.ip.data(), p, 4);
    a.port = static_cast<std::uint16_t>((std::to_integer<unsigned>(p[4]) << 8) |
                                        std::to_integer<unsigned>(p[5]));
    return a;
}
inline std::int32_t int_at(const std::byte *p) {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
}  // namespace detail

// The events a channel delivers.  Payloads are views into the Channel's
// buffer: valid until that Channel object is read again.
struct TcpData {  // VESK_EV_TCP_DATA: a frame, or raw stream bytes
    int slot;
    Address peer;
    std::span<const std::byte> payload;
};
struct UdpData {  // VESK_EV_UDP_DATA: a data datagram
    int slot;
    Address peer;
    std::span<const std::byte> payload;
};
struct Connected {  // VESK_EV_CONNECT: outcome of a connect that did not complete at once
    int slot;
    bool ok;  // false: the connect failed (the slot is failed: close it)
};
struct Accepted {  // VESK_EV_ACCEPT: `slot` is new, ready and on the listener's channel
    int listener;
    int slot;
    Address peer;
};
struct ProbeReply {  // VESK_EV_PROBE_REPLY
    int slot;
    Address seen;  // this slot's address and port as the answering side saw them
};
struct Closed {  // VESK_EV_CLOSED: the peer ended the connection, or its idle timeout ran out
    int slot;
};
struct Failed {  // VESK_EV_FAILED: receive failed, a frame was too long, or broke strict framing
    int slot;
};
struct Sent {  // VESK_EV_SENT: what was pending on the slot is out (Slot::notify_sent asked)
    int slot;
};
using Event = std::variant<TcpData, UdpData, Connected, Accepted, ProbeReply, Closed, Failed, Sent>;

// The slot an event is about (for Accepted: the new slot).
inline int slot_of(const Event &e) {
    return std::visit([](const auto &ev) { return ev.slot; }, e);
}

// Decodes one event record as vesk_net_channel_read returns it.
inline Event decode_event(std::span<const std::byte> record) {
    const auto need = [&](std::size_t n) {
        if (record.size() < n)
            detail::fail("vesk_net_channel_read", static_cast<int>(record.size()),
                         errc::net_malformed, "a record shorter than its kind");
    };
    need(5);
    const std::byte *r = record.data();
    const int kind = std::to_integer<int>(r[0]);
    const int slot = detail::int_at(r + 1);
    switch (kind) {
        case VESK_EV_TCP_DATA:
        case VESK_EV_UDP_DATA: {
            need(sizeof(vesk_net_msg));
            const Address peer = detail::address_at(r + offsetof(vesk_net_msg, addr));
            const auto payload = record.subspan(sizeof(vesk_net_msg));
            // Built in place and filled field by field: a temporary moved into
            // the variant makes g++ 12 warn (wrongly) that it may be used
            // uninitialized, and clang 14 cannot build an aggregate from
            // parenthesised arguments.
            const auto data = [&]<class T>(std::in_place_type_t<T> type) {
                Event ev{type};
                T &d = std::get<T>(ev);
                d.slot = slot;
                d.peer = peer;
                d.payload = payload;
                return ev;
            };
            if (kind == VESK_EV_TCP_DATA) return data(std::in_place_type<TcpData>);
            return data(std::in_place_type<UdpData>);
        }
        case VESK_EV_CONNECT:
            need(sizeof(vesk_ev_connect));
            return Connected{slot, detail::int_at(r + offsetof(vesk_ev_connect, result)) == 0};
        case VESK_EV_ACCEPT:
            need(sizeof(vesk_ev_accept));
            return Accepted{slot, detail::int_at(r + offsetof(vesk_ev_accept, slot)),
                            detail::address_at(r + offsetof(vesk_ev_accept, addr))};
        case VESK_EV_PROBE_REPLY:
            need(sizeof(vesk_ev_probe_reply));
            return ProbeReply{slot, detail::address_at(r + offsetof(vesk_ev_probe_reply, addr))};
        case VESK_EV_CLOSED:
            return Closed{slot};
        case VESK_EV_FAILED:
            return Failed{slot};
        case VESK_EV_SENT:
            return Sent{slot};
        default:
            detail::fail("vesk_net_channel_read", static_cast<int>(record.size()),
                         errc::net_malformed, "unknown event kind " + std::to_string(kind));
    }
}

// The engine's tables (vesk_net_init's arguments).  The defaults serve a
// server of a couple of thousand connections: every listener and connection
// takes one slot.  An idle slot costs about 200 bytes of memory; a framed
// connection adds a 16 KiB receive area once it has received something
// (256 KiB while it is busy), and a
// send area of 128 KiB comes once a send finds the socket full: an idle
// default engine adds about 0.4 MiB, one of 10,000 slots about 1.5 MiB.
// When every slot is in use, a listener accepts nothing more: further
// clients wait in the system's listen queue until a slot is freed
// (Engine::slots_in_use tells, and Engine::stats counts such waits as
// accepts_deferred); idle timeouts and address limits on the listener
// (Slot::set_idle_timeout, Slot::set_address_limit) keep idle or greedy
// clients from holding every slot.  A channel's ring of 1 MiB holds a few
// thousand small events: when it is full, the engine stops reading the
// slots of that channel until it has room (no data is lost).
struct EngineConfig {
    int slots = 2048;
    int channels = 4;
    int reserved = 0;  // slots for VESK_NET_UDP_MULTI
    int peers = 1;     // peer-table entries of a reserved slot
    int ring_size = 1 << 20;
};

// One vesk_net_init / vesk_net_shutdown pair.  Engines nest as the C calls
// do: the first sets the engine up, the others only count (their
// configuration is ignored), the last one destroyed shuts it down.  Make and
// destroy Engines on one thread while no other engine call runs.
class Engine {
public:
    explicit Engine(const EngineConfig &c = {}) : slots_(c.slots) {
        const int r = vesk_net_init(c.slots, c.channels, c.reserved, c.peers, c.ring_size, 0, 0);
        if (r != 0) detail::fail("vesk_net_init", r, errc::net_bad_argument);
        active_ = true;
    }
    Engine(Engine &&other) noexcept
        : active_(std::exchange(other.active_, false)), slots_(other.slots_) {}
    Engine &operator=(Engine &&other) noexcept {
        if (this != &other) {
            if (active_) vesk_net_shutdown();
            active_ = std::exchange(other.active_, false);
            slots_ = other.slots_;
        }
        return *this;
    }
    ~Engine() {
        if (active_) vesk_net_shutdown();
    }
    // The slots this object asked for (a nested Engine: its own config's).
    int slot_count() const noexcept { return slots_; }
    // How many slots hold a socket now (listeners and connections, those
    // closed but not yet freed included): at slot_count(), listeners accept
    // no one until a slot is freed.  Looks at every slot: for a stats line,
    // not for every event.
    int slots_in_use() const noexcept {
        int used = 0;
        for (int n = 1; n <= slots_; ++n) used += vesk_net_get_socket(n) != VESK_INVALID_SOCKET;
        return used;
    }
    // The engine's counters, process-wide since it was set up (every field
    // filled; see vesk_net_stats in vuvidur.h): slots in use and their
    // peak, connections accepted, accepts deferred for want of a slot,
    // connections refused by an address limit, closed by an idle timeout or
    // failed by strict framing, bytes and frames each way, bytes dropped
    // while looking for a frame start, sends refused as busy.  Cheap enough
    // for a stats line on a timer (stats_text); any thread.  Throws
    // net_bad_argument when no engine is set up (this one was moved from).
    vesk_net_stats stats() const {
        vesk_net_stats s{};
        s.size = sizeof s;
        const int r = vesk_net_get_stats(&s);
        if (r != 0) detail::fail("vesk_net_get_stats", r, errc::net_bad_argument, "no engine");
        return s;
    }

private:
    bool active_ = false;
    int slots_ = 0;
};

// The counters as one line of name=value pairs, for logs:
// "in_use=N peak=N accepted=N deferred=N address_refused=N idle_closed=N
// protocol_failed=N bytes_in=N bytes_out=N frames_in=N frames_out=N
// discarded=N busy=N dropped=N probes_answered=N replies_refused=N"
// (slots_in_use, slots_peak, ..., bytes_discarded, sends_busy,
// datagrams_dropped, probes_answered, probe_replies_refused).
inline std::string stats_text(const vesk_net_stats &s) {
    const std::pair<const char *, std::uint64_t> fields[] = {
        {"in_use", s.slots_in_use},
        {"peak", s.slots_peak},
        {"accepted", s.accepted},
        {"deferred", s.accepts_deferred},
        {"address_refused", s.address_refused},
        {"idle_closed", s.idle_closed},
        {"protocol_failed", s.protocol_failed},
        {"bytes_in", s.bytes_in},
        {"bytes_out", s.bytes_out},
        {"frames_in", s.frames_in},
        {"frames_out", s.frames_out},
        {"discarded", s.bytes_discarded},
        {"busy", s.sends_busy},
        {"dropped", s.datagrams_dropped},
        {"probes_answered", s.probes_answered},
        {"replies_refused", s.probe_replies_refused},
    };
    std::string text;
    for (const auto &[name, value] : fields) {
        if (!text.empty()) text += ' ';
        text += name;
        text += '=';
        text += std::to_string(value);
    }
    return text;
}

// A claimed channel: released when destroyed (after the slots attached to it).
class Channel {
public:
    // The largest batch read_many takes at once.
    static constexpr std::size_t batch_size = 32 * (2 + VESK_NET_MAX_RECORD);

    explicit Channel(const Engine &) : number_(vesk_net_channel_open()) {
        if (number_ == VESK_NET_NONE)
            detail::fail("vesk_net_channel_open", 0, errc::net_none, "every channel in use");
    }
    Channel(Channel &&other) noexcept
        : number_(std::exchange(other.number_, 0)), buffer_(std::move(other.buffer_)) {}
    Channel &operator=(Channel &&other) noexcept {
        if (this != &other) {
            release();
            number_ = std::exchange(other.number_, 0);
            buffer_ = std::move(other.buffer_);
        }
        return *this;
    }
    ~Channel() { release(); }
    int number() const noexcept { return number_; }

    // Takes the oldest event; std::nullopt when the channel is empty.
    std::optional<Event> read() {
        std::byte *record = buffer(VESK_NET_MAX_RECORD);
        const int n = vesk_net_channel_read(number_, record);
        if (n == VESK_NET_EMPTY) return std::nullopt;
        if (n < 0) read_failed("vesk_net_channel_read", n);
        return decode_event({record, static_cast<std::size_t>(n)});
    }
    // Calls each(const Event &) for every whole event that one batch takes
    // (vesk_net_channel_read_many): the number of events, 0 when empty.
    // The batch is taken from the channel before the first call: when `each`
    // throws, the events after it in the batch are dropped.
    template <class F>
    std::size_t read_many(F &&each) {
        std::byte *batch = buffer(batch_size);
        const int used = vesk_net_channel_read_many(number_, batch, static_cast<int>(batch_size));
        if (used < 0) read_failed("vesk_net_channel_read_many", used);
        std::size_t count = 0;
        for (std::size_t at = 0; at + 2 <= static_cast<std::size_t>(used); ++count) {
            std::uint16_t length;
            std::memcpy(&length, batch + at, 2);
            const Event e = decode_event({batch + at + 2, length});
            at += 2u + length;
            each(e);
        }
        return count;
    }
    // Waits until the channel holds an event (true) or `timeout` passes
    // (false); never takes the event.  Throws net_wait_gone when the
    // channel is released or the engine shuts down meanwhile.
    bool wait(std::chrono::milliseconds timeout) {
        const auto ms = timeout.count() < 0         ? 0
                        : timeout.count() > INT_MAX ? INT_MAX
                                                    : timeout.count();
        return waited(vesk_net_channel_wait(number_, static_cast<int>(ms)));
    }
    // Waits with no limit.
    void wait() { waited(vesk_net_channel_wait(number_, -1)); }

private:
    std::byte *buffer(std::size_t size) {
        if (!buffer_ || buffer_size_ < size) {
            buffer_ = std::make_unique<std::byte[]>(size);
            buffer_size_ = size;
        }
        return buffer_.get();
    }
    [[noreturn]] static void read_failed(const char *call, int r) {
        detail::fail(call, r,
                     r == VESK_NET_RING_CORRUPT ? errc::net_ring_corrupt
                     : r == VESK_NET_MALFORMED  ? errc::net_malformed
                                                : errc::net_bad_argument);
    }
    static bool waited(int r) {
        if (r == VESK_NET_WAIT_GONE) detail::fail("vesk_net_channel_wait", r, errc::net_wait_gone);
        return r == VESK_NET_WAIT_EVENT;
    }
    void release() noexcept {
        if (number_ != 0) vesk_net_channel_close(number_);
        number_ = 0;
    }
    int number_ = 0;
    std::unique_ptr<std::byte[]> buffer_;
    std::size_t buffer_size_ = 0;
};

enum class SlotType : int {
    tcp_listen_stream = VESK_NET_TCP_LISTEN_STREAM,  // accepted slots are raw streams
    tcp_listen_framed = VESK_NET_TCP_LISTEN_FRAMED,  // accepted slots are framed
    tcp_connect = VESK_NET_TCP_CONNECT,              // outgoing, framed
    udp_answer = VESK_NET_UDP_ANSWER,                // UDP; answers its peer's keepalives
    udp_multi = VESK_NET_UDP_MULTI,                  // UDP with a peer table (reserved slots)
    udp_quiet = VESK_NET_UDP_QUIET,                  // UDP; answers probes, no keepalive
};

// Which probes a UDP slot answers (Slot::set_probe_policy).
enum class ProbePolicy : int {
    answer_all = VESK_NET_PROBE_ANSWER_ALL,  // every one (the default)
    paced = VESK_NET_PROBE_ANSWER_PACED,     // at most one a second per source address
    none = VESK_NET_PROBE_ANSWER_NONE,       // never
};

// What became of a send on a TCP slot.  Every outcome is safe to ignore:
//   sent  the bytes went to the system, or were kept to be flushed in order;
//   busy  earlier bytes are still pending (or another thread is sending on
//         the slot, or there is no memory to keep what the socket did not
//         take), nothing was sent: send again once a Sent event says they
//         are out (ask with Slot::notify_sent), or queue the frame
//         (SendQueue does both);
//   gone  the slot is not ready: its peer has gone, it failed or was closed
//         (a Closed or Failed event tells, or told), or it has no channel;
//         nothing was sent;
//   refused  (UDP, send_to) the system would not send this datagram (no
//         route, no buffer, or an address no datagram can go to, such as
//         port 0): nothing was sent, and the slot goes on.
enum class SendStatus { sent, busy, gone, refused };

// An opened slot: closed when destroyed (vesk_net_close).
class Slot {
public:
    Slot() = default;
    // Opens a slot; `local` is the address a listener or UDP slot binds to.
    static Slot open(SlotType type, const Address &local = Address::any()) {
        const detail::socket_address where(local);
        const int n = vesk_net_open(static_cast<int>(type), where.get());
        if (n == VESK_NET_NONE) {
            // No system reason: the type was refused or every slot is taken.
            const bool full = vesk_net_last_error() == 0;
            detail::fail_net("vesk_net_open", n, errc::net_none,
                             "type " + std::to_string(static_cast<int>(type)) + " on " +
                                 local.to_string() +
                                 (full ? ": every slot of the engine is in use" : ""));
        }
        return Slot(n);
    }
    // Takes ownership of a slot the engine made (Accepted::slot).
    static Slot adopt(int number) noexcept { return Slot(number); }

    Slot(Slot &&other) noexcept
        : number_(std::exchange(other.number_, 0)), out_(std::move(other.out_)) {}
    Slot &operator=(Slot &&other) noexcept {
        if (this != &other) {
            release();
            number_ = std::exchange(other.number_, 0);
            out_ = std::move(other.out_);
        }
        return *this;
    }
    ~Slot() { release(); }

    int number() const noexcept { return number_; }
    explicit operator bool() const noexcept { return number_ != 0; }
    // The slot's socket (for getsockname and the like).
    vesk_socket_t socket() const noexcept { return vesk_net_get_socket(number_); }

    void attach(const Channel &channel) {
        const int r = vesk_net_attach(number_, channel.number());
        if (r != 0)
            detail::fail("vesk_net_attach", r, errc::net_bad_argument,
                         "slot " + std::to_string(number_) + ", channel " +
                             std::to_string(channel.number()));
    }
    // Connects a tcp_connect slot that has a channel: true when connected at
    // once, false when a Connected event will tell.
    bool connect(const Address &to) {
        const detail::socket_address where(to);
        const int r = vesk_net_connect(number_, where.get());
        if (r < 0)
            detail::fail_net("vesk_net_connect", r, errc::net_connect_failed, to.to_string());
        return r == VESK_NET_CONNECTED;
    }
    // Sends one frame (raw stream: the bytes) on a TCP slot, at once and
    // never waiting: see SendStatus.  Throws only for what no retry can
    // mend: a payload above VESK_NET_MAX_DATA (a raw stream: 131072 bytes),
    // or a slot that is no TCP connection.
    SendStatus send(std::span<const std::byte> payload) {
        if (number_ <= 0) return SendStatus::gone;
        return status_of("vesk_net_send", vesk_net_send(message(payload, {})));
    }
    // send(): true when sent.
    [[nodiscard]] bool try_send(std::span<const std::byte> payload) {
        return send(payload) == SendStatus::sent;
    }
    // Asks for one Sent event on the slot's channel once everything sent so
    // far has gone to the system (at once when nothing is pending): the
    // moment to send again after SendStatus::busy.  false when the slot is
    // not a ready TCP connection (its Closed or Failed event tells why).
    bool notify_sent() noexcept { return vesk_net_notify_sent(number_) == 0; }
    // Sends one datagram from a UDP slot, never waiting: sent, gone (the
    // slot is not ready), or refused (see SendStatus).  Throws only for a
    // payload above VESK_NET_MAX_DATA.
    SendStatus send_to(const Address &to, std::span<const std::byte> payload) {
        if (number_ <= 0) return SendStatus::gone;
        const int r = vesk_net_send(message(payload, to));
        if (r >= 0) return SendStatus::sent;
        return r == VESK_NET_SEND_NOT_READY ? SendStatus::gone : SendStatus::refused;
    }
    // What send_many did: its status, and how many frames it took (all of
    // them, or the first `taken`: send the rest next).
    struct Batch {
        SendStatus status;
        std::size_t taken;
    };
    // Sends several frames of a framed TCP slot with as few system calls as
    // possible (vesk_net_send_many); busy (nothing taken) while earlier bytes
    // are pending, gone when the slot is not ready.  SendQueue keeps the rest.
    Batch send_many(std::span<const std::span<const std::byte> > frames) {
        if (frames.empty()) return {SendStatus::sent, 0};
        if (number_ <= 0) return {SendStatus::gone, 0};
        std::size_t total = 0;
        for (const auto &f : frames) total += sizeof(vesk_net_msg) + f.size();
        out_.assign(total, std::byte{0});
        std::vector<vesk_net_msg *> msgs;
        std::size_t at = 0;
        for (const auto &f : frames) {
            msgs.push_back(fill(out_.data() + at, f, {}));
            at += sizeof(vesk_net_msg) + f.size();
        }
        const int count = frames.size() > INT_MAX ? INT_MAX : static_cast<int>(frames.size());
        const int r = vesk_net_send_many(msgs.data(), count);
        if (r < 0) return {status_of("vesk_net_send_many", r), 0};
        return {r == 0 ? SendStatus::busy : SendStatus::sent, static_cast<std::size_t>(r)};
    }
    // send_many's count alone (0: busy or gone).
    std::size_t try_send_many(std::span<const std::span<const std::byte> > frames) {
        return send_many(frames).taken;
    }
    // Sends a probe from a UDP slot; a ProbeReply event brings the answer.
    void probe(const Address &to) {
        const detail::socket_address where(to);
        const int r = vesk_net_probe(number_, where.get());
        if (r != 0) detail::fail("vesk_net_probe", r, errc::net_bad_argument, to.to_string());
    }
    // Registers / removes a UDP peer (whose keepalives the engine answers).
    void add_peer(const Address &peer) {
        const detail::socket_address where(peer);
        const int r = vesk_net_add_peer(number_, where.get());
        if (r != 0)
            detail::fail("vesk_net_add_peer", r,
                         r == VESK_NET_PEERS_FULL ? errc::net_peers_full : errc::net_bad_argument);
    }
    void remove_peer(const Address &peer) {
        const detail::socket_address where(peer);
        const int r = vesk_net_remove_peer(number_, where.get());
        if (r != 0)
            detail::fail("vesk_net_remove_peer", r,
                         r == VESK_NET_PEER_NOT_IN_TABLE   ? errc::net_peer_not_in_table
                         : r == VESK_NET_PEER_NOT_THE_PEER ? errc::net_peer_not_the_peer
                                                           : errc::net_bad_argument);
    }

    // Defences against hostile clients (see docs/server.md).  Each throws
    // net_bad_argument when the slot is not of a type the setting applies
    // to, or is free.
    //
    // Ends a TCP connection whose peer has sent nothing for `idle` (within
    // 1.0 to 1.1 times that, plus 100 ms) with a Closed event, as if the
    // peer had ended it; the thread that reads the event gets
    // VESK_NET_ERR_TIMED_OUT from vesk_net_last_error, and closes the slot
    // as after any Closed event.  On a TCP listener, the connections it
    // accepts from then on inherit it.  0 turns it off (the default); a
    // negative `idle` is refused, one above INT_MAX ms is taken as INT_MAX
    // ms.  vesk_net_set_idle_timeout.
    void set_idle_timeout(std::chrono::milliseconds idle) {
        const auto ms = std::min<std::chrono::milliseconds::rep>(idle.count(), INT_MAX);
        const int r = vesk_net_set_idle_timeout(number_, ms < 0 ? -1 : static_cast<int>(ms));
        if (r != 0)
            detail::fail(
                "vesk_net_set_idle_timeout", r, errc::net_bad_argument,
                "slot " + std::to_string(number_) + ", " + std::to_string(idle.count()) + " ms");
    }
    // At most `count` connections from one peer address at a time on this
    // TCP listener: one more is accepted and closed at once, with no event,
    // and counted (vesk_net_stats::address_refused).  0: no limit (the
    // default).  vesk_net_set_address_limit.
    void set_address_limit(int count) {
        const int r = vesk_net_set_address_limit(number_, count);
        if (r != 0)
            detail::fail(
                "vesk_net_set_address_limit", r, errc::net_bad_argument,
                "slot " + std::to_string(number_) + ", " + std::to_string(count) + " per address");
    }
    // Strict framing on a framed connection (tcp_connect, or one a
    // tcp_listen_framed listener accepted), or on a tcp_listen_framed
    // listener, whose connections inherit it from then on: a byte that is
    // not 0xFE where a frame must start fails the connection (a Failed
    // event; its reader gets VESK_NET_ERR_PROTOCOL from vesk_net_last_error)
    // instead of being skipped while the engine looks for the next frame.
    // Control frames (length 0 or below) stay valid.  On a UDP slot: a
    // ProbeReply is delivered only from an address this slot probed (one of
    // its 16 latest probes, in the last 10 s); others are dropped and counted
    // (probe_replies_refused).  Off by default.  vesk_net_set_strict_framing.
    void set_strict_framing(bool on) {
        const int r = vesk_net_set_strict_framing(number_, on ? 1 : 0);
        if (r != 0)
            detail::fail("vesk_net_set_strict_framing", r, errc::net_bad_argument,
                         "slot " + std::to_string(number_));
    }
    // Which probes a UDP slot answers: a probe's source can be forged, and
    // its reply (three times its size) goes wherever the source says.
    // vesk_net_set_probe_policy.
    void set_probe_policy(ProbePolicy policy) {
        const int r = vesk_net_set_probe_policy(number_, static_cast<int>(policy));
        if (r != 0)
            detail::fail("vesk_net_set_probe_policy", r, errc::net_bad_argument,
                         "slot " + std::to_string(number_));
    }
    // Asks the system for a receive buffer of `bytes` (a UDP slot's bursts
    // wait there while the application catches up): the size given, which
    // Linux caps at net.core.rmem_max.  vesk_net_set_receive_buffer.
    int set_receive_buffer(int bytes) {
        const int r = vesk_net_set_receive_buffer(number_, bytes);
        if (r < 0)
            detail::fail_net(
                "vesk_net_set_receive_buffer", r, errc::net_bad_argument,
                "slot " + std::to_string(number_) + ", " + std::to_string(bytes) + " bytes");
        return r;
    }
    // Closes now and reports a failure (the destructor closes silently).
    void close() {
        const int n = std::exchange(number_, 0);
        const int r = vesk_net_close(n);
        if (r != 0)
            detail::fail("vesk_net_close", r, errc::net_bad_argument, "slot " + std::to_string(n));
    }
    // Gives the slot up without closing it: its number.
    int release_number() noexcept { return std::exchange(number_, 0); }

private:
    explicit Slot(int number) noexcept : number_(number) {}
    vesk_net_msg *fill(std::byte *at, std::span<const std::byte> payload,
                       std::optional<Address> to) {
        auto *m = reinterpret_cast<vesk_net_msg *>(at);
        m->slot = number_;
        m->length = detail::length_for("vesk_net_send", payload.size());
        if (to) {  // network order, as the record keeps them
            std::memcpy(at + offsetof(vesk_net_msg, addr), to->ip.data(), 4);
            at[offsetof(vesk_net_msg, port)] = static_cast<std::byte>(to->port >> 8);
            at[offsetof(vesk_net_msg, port) + 1] = static_cast<std::byte>(to->port & 0xFF);
        }
        if (!payload.empty())
            std::memcpy(at + sizeof(vesk_net_msg), payload.data(), payload.size());
        return m;
    }
    vesk_net_msg *message(std::span<const std::byte> payload, std::optional<Address> to) {
        out_.assign(sizeof(vesk_net_msg) + payload.size(), std::byte{0});
        return fill(out_.data(), payload, to);
    }
    [[noreturn]] static void send_failed(const char *call, int r) {
        detail::fail_net(call, r,
                         r == VESK_NET_SEND_NOT_READY ? errc::net_send_not_ready
                         : r == VESK_NET_SEND_PENDING ? errc::net_send_pending
                                                      : errc::net_send_refused);
    }
    // A TCP send's result as a status (the slot number is in range, so -2
    // means pending); a refusal no retry can mend is thrown.
    static SendStatus status_of(const char *call, int r) {
        if (r >= 0) return SendStatus::sent;
        if (r == VESK_NET_SEND_PENDING) return SendStatus::busy;
        if (r == VESK_NET_SEND_NOT_READY) return SendStatus::gone;
        send_failed(call, r);
    }
    void release() noexcept {
        if (number_ != 0) vesk_net_close(number_);
        number_ = 0;
    }
    int number_ = 0;
    std::vector<std::byte> out_;  // the message record being sent: 18 bytes and the payload
};

// One connection's outgoing frames: what the slot cannot take now waits
// here, in order, and goes out in batches (vesk_net_send_many) as soon as
// the slot has room again -- never a wait, never a poll.  The queue asks for
// a Sent event when it has to wait; pass that event to on_sent.  A client
// that reads too slowly makes the queue grow: push refuses a frame that
// would take it above its limit, and the caller drops that client (closing
// its slot) rather than let it hold the server's memory.
//
//     if (!queue.push(frame) || queue.flush(slot) == vv::SendStatus::gone) drop(client);
//     ...on vv::Sent: queue.on_sent(slot);
class SendQueue {
public:
    // `limit`: the bytes of payload the queue may hold.
    explicit SendQueue(std::size_t limit = std::size_t{1} << 20) : limit_(limit) {}

    // Appends a copy of one frame's payload.  false (nothing queued) when
    // the frame is longer than VESK_NET_MAX_DATA or the queue would go above
    // its limit: the client is too far behind.
    [[nodiscard]] bool push(std::span<const std::byte> payload) {
        if (payload.size() > VESK_NET_MAX_DATA || queued_ + payload.size() > limit_) return false;
        const std::size_t at = records_.size();
        records_.resize(at + sizeof(vesk_net_msg) + payload.size());
        vesk_net_msg head{};
        head.length = static_cast<std::int32_t>(payload.size());
        std::memcpy(records_.data() + at, &head, sizeof head);
        if (!payload.empty())
            std::memcpy(records_.data() + at + sizeof head, payload.data(), payload.size());
        starts_.push_back(at);
        queued_ += payload.size();
        return true;
    }
    // Sends what the slot takes now, in batches.  sent: the queue is empty;
    // busy: the rest waits for the Sent event the queue asked for (calls
    // until then return busy at once); gone: the slot is not ready (the
    // frames stay queued; drop the client).
    SendStatus flush(Slot &slot) {
        if (waiting_) return SendStatus::busy;
        std::vector<vesk_net_msg *> batch;
        while (first_ < starts_.size()) {
            batch.clear();
            for (std::size_t i = first_; i < starts_.size() && batch.size() < max_batch; ++i) {
                auto *m = reinterpret_cast<vesk_net_msg *>(records_.data() + starts_[i]);
                m->slot = slot.number();
                batch.push_back(m);
            }
            const int r = vesk_net_send_many(batch.data(), static_cast<int>(batch.size()));
            if (r == VESK_NET_SEND_NOT_READY || r == VESK_NET_SEND_BAD_SLOT)
                return SendStatus::gone;
            if (r < 0) detail::fail_net("vesk_net_send_many", r, errc::net_send_refused);
            if (r == 0) {
                if (!slot.notify_sent()) return SendStatus::gone;
                waiting_ = true;
                compact();
                return SendStatus::busy;
            }
            for (int i = 0; i < r; ++i) {
                queued_ -= static_cast<std::size_t>(batch[static_cast<std::size_t>(i)]->length);
            }
            first_ += static_cast<std::size_t>(r);
        }
        records_.clear();
        starts_.clear();
        first_ = 0;
        return SendStatus::sent;
    }
    // The slot's Sent event: what waited goes out now.
    SendStatus on_sent(Slot &slot) {
        waiting_ = false;
        return flush(slot);
    }
    // Payload bytes and frames still queued.
    std::size_t bytes() const noexcept { return queued_; }
    std::size_t frames() const noexcept { return starts_.size() - first_; }
    bool empty() const noexcept { return frames() == 0; }
    std::size_t limit() const noexcept { return limit_; }

private:
    // Drops the records already sent once they are the larger part.
    void compact() {
        if (first_ == 0 || first_ < starts_.size() / 2) return;
        const std::size_t offset = starts_[first_];
        records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(offset));
        starts_.erase(starts_.begin(), starts_.begin() + static_cast<std::ptrdiff_t>(first_));
        for (auto &start : starts_) start -= offset;
        first_ = 0;
    }
    static constexpr std::size_t max_batch = 1024;  // what one vesk_net_send_many takes
    std::size_t limit_;
    std::vector<std::byte> records_;  // message records back to back
    std::vector<std::size_t> starts_;
    std::size_t first_ = 0;  // the first record not yet sent
    std::size_t queued_ = 0;
    bool waiting_ = false;  // a Sent event was asked for
};

// ======================================================================
// CRC-32, hex, TEA, envelope
// ======================================================================

using Key = std::array<std::byte, 16>;

// CRC-32 of `data`, continuing from `previous` (0 to start).
inline std::uint32_t crc32(std::span<const std::byte> data, std::uint32_t previous = 0) {
    constexpr std::size_t piece = 1u << 30;  // the C call takes an int length
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const std::size_t n = std::min(piece, data.size() - at);
        previous = vesk_crc32(previous, data.data() + at, static_cast<int>(n));
    }
    return previous;
}

// Upper-case hex digits of `data`.
inline std::string hex_encode(std::span<const std::byte> data) {
    constexpr std::size_t piece = 32768;  // the C call takes a 16-bit length
    std::string text(2 * data.size(), '\0');
    std::vector<char> out(2 * piece + 1);
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const std::size_t n = std::min(piece, data.size() - at);
        if (vesk_hex_encode(detail::u8(data.subspan(at, n)), static_cast<std::uint16_t>(n),
                            out.data()) != 0)
            detail::fail("vesk_hex_encode", -1, errc::failed);
        std::memcpy(text.data() + 2 * at, out.data(), 2 * n);
    }
    return text;
}

// The bytes of hex text (either letter case).  Unlike vesk_hex_decode,
// which reads whatever it is given, this refuses (invalid_argument) an odd
// number of digits or anything that is not a digit, naming where.
inline std::vector<std::byte> hex_decode(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool digit =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit)
            detail::fail("vesk_hex_decode", -1, errc::invalid_argument,
                         "not a hex digit at offset " + std::to_string(i));
    }
    if (text.size() % 2 != 0)
        detail::fail("vesk_hex_decode", -1, errc::invalid_argument,
                     "an odd number of digits (" + std::to_string(text.size()) + ")");
    constexpr std::size_t piece = 32768;  // digits per call: within the 16-bit size
    std::vector<std::byte> bytes(text.size() / 2);
    std::string chunk;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        chunk.assign(text.substr(at, piece));
        if (vesk_hex_decode(chunk.c_str(), static_cast<std::uint16_t>(chunk.size()),
                            detail::u8(std::span<std::byte>(bytes).subspan(at / 2))) != 0)
            detail::fail("vesk_hex_decode", -1, errc::failed);
    }
    return bytes;
}

// A 16-byte key from exactly 32 hex digits.
inline Key key_from_hex(std::string_view text) {
    if (text.size() != 2 * std::tuple_size_v<Key>)
        detail::fail("vesk_hex_decode", -1, errc::invalid_argument,
                     "a key is 32 hex digits, not " + std::to_string(text.size()));
    const auto bytes = hex_decode(text);
    Key key;
    std::memcpy(key.data(), bytes.data(), key.size());
    return key;
}

// The most bytes TEA buffer mode takes in one call (a 16-bit length).
inline constexpr std::size_t tea_max_length = UINT16_MAX;

namespace detail {
template <class F>
std::vector<std::byte> tea_buffer(const char *call, F f, const Key &key,
                                  std::span<const std::byte> data) {
    const auto n = static_cast<std::uint16_t>(length_for(call, data.size(), tea_max_length));
    std::vector<std::byte> out(data.size());
    if (f(u8(data), n, u8(std::span<std::byte>(out)),
          reinterpret_cast<const std::uint8_t *>(key.data())) != 0)
        fail(call, -1, errc::failed);
    return out;
}
}  // namespace detail

// TEA buffer mode (independent 8-byte blocks, the tail XORed with the key):
// the same number of bytes out; at most tea_max_length bytes.
inline std::vector<std::byte> tea_encrypt(const Key &key, std::span<const std::byte> data) {
    return detail::tea_buffer("vesk_tea_encrypt_buffer", vesk_tea_encrypt_buffer, key, data);
}
inline std::vector<std::byte> tea_decrypt(const Key &key, std::span<const std::byte> data) {
    return detail::tea_buffer("vesk_tea_decrypt_buffer", vesk_tea_decrypt_buffer, key, data);
}

// The padded envelope under one key.  Making an Envelope seeds the process's
// rand(), whose draws pad the envelope (vesk_envelope_init).
class Envelope {
public:
    // The most data bytes one envelope holds (its size must fit an int).
    static constexpr std::size_t max_data = INT_MAX - 17;

    explicit Envelope(const Key &key) {
        vesk_envelope_init(&holder_, reinterpret_cast<const std::uint8_t *>(key.data()), 0, 0);
    }
    std::vector<std::byte> seal(std::span<const std::byte> data) const {
        const int n = detail::length_for("vesk_envelope_encrypt", data.size(), max_data);
        std::vector<std::byte> out(
            static_cast<std::size_t>(VESK_ENVELOPE_SIZE(static_cast<long long>(n))));
        static const std::uint8_t nothing = 0;  // an empty data string still needs a pointer
        int out_length = -1;
        vesk_envelope_encrypt(holder_.key, n ? detail::u8(data) : &nothing, n,
                              detail::u8(std::span<std::byte>(out)), &out_length);
        if (out_length < 0 || static_cast<std::size_t>(out_length) != out.size())
            detail::fail("vesk_envelope_encrypt", out_length, errc::failed);
        return out;
    }
    // The data.  A wrong key or damaged data throws envelope_not_zero, or
    // envelope_no_room when the garbled header announces more padding than
    // a short envelope holds.
    std::vector<std::byte> open(std::span<const std::byte> cipher) const {
        const int n = detail::length_for("vesk_envelope_decrypt", cipher.size());
        std::vector<std::byte> out(cipher.size());
        int length = n;
        const int r = vesk_envelope_decrypt(holder_.key, detail::u8(cipher), n,
                                            detail::u8(std::span<std::byte>(out)), &length);
        if (r != VESK_ENVELOPE_OPENED) {
            std::fill(out.begin(), out.end(), std::byte{0});  // the refused bytes must not be used
            detail::fail("vesk_envelope_decrypt", r,
                         r == VESK_ENVELOPE_NOT_ZERO  ? errc::envelope_not_zero
                         : r == VESK_ENVELOPE_NO_ROOM ? errc::envelope_no_room
                                                      : errc::envelope_bad_input);
        }
        out.resize(static_cast<std::size_t>(length));
        return out;
    }

private:
    vesk_envelope_key holder_{};
};

// ======================================================================
// Ticket authentication
// ======================================================================

namespace detail {
inline errc auth_code(int r, errc at_minus3 = errc::auth_refused) {
    switch (r) {
        case VESK_AUTH_BAD_ARGUMENT:
            return errc::auth_bad_argument;
        case VESK_AUTH_BAD_STATE:
            return errc::auth_bad_state;
        case -3:
            return at_minus3;
        case VESK_AUTH_REPLAY:
            return errc::auth_replay;
        default:
            return errc::failed;
    }
}
inline void auth_check(const char *call, int r, errc at_minus3 = errc::auth_refused) {
    if (r != VESK_AUTH_OK) fail(call, r, auth_code(r, at_minus3));
}
template <std::size_t N>
using message = std::array<std::byte, N>;
inline std::uint8_t *u8(Key &k) { return reinterpret_cast<std::uint8_t *>(k.data()); }
inline const std::uint8_t *u8(const Key &k) {
    return reinterpret_cast<const std::uint8_t *>(k.data());
}
}  // namespace detail

// The client's side of the ticket exchange (one ticket).
class TicketClient {
public:
    TicketClient(std::uint32_t client_id, std::uint32_t service_id, bool flag = false) {
        detail::auth_check("vesk_auth_client_init",
                           vesk_auth_client_init(&ctx_, flag, client_id, service_id));
    }
    detail::message<VESK_AUTH_REQUEST_SIZE> request() {
        return produce<VESK_AUTH_REQUEST_SIZE>("vesk_auth_client_request",
                                               vesk_auth_client_request);
    }
    void accept(const Key &client_key, std::span<const std::byte> answer) {
        detail::auth_check(
            "vesk_auth_client_accept",
            vesk_auth_client_accept(&ctx_, detail::u8(client_key), detail::u8(answer),
                                    detail::length_for("vesk_auth_client_accept", answer.size())));
    }
    detail::message<VESK_AUTH_AUTHENTICATOR_SIZE> authenticator() {
        return produce<VESK_AUTH_AUTHENTICATOR_SIZE>(
            "vesk_auth_client_authenticator", vesk_auth_client_authenticator, errc::auth_expired);
    }
    void verify(std::span<const std::byte> reply) {
        detail::auth_check(
            "vesk_auth_client_verify",
            vesk_auth_client_verify(&ctx_, detail::u8(reply),
                                    detail::length_for("vesk_auth_client_verify", reply.size())));
    }
    detail::message<VESK_AUTH_SEALED_SIZE> seal() {
        return produce<VESK_AUTH_SEALED_SIZE>("vesk_auth_client_seal", vesk_auth_client_seal);
    }
    const vesk_auth_client_ctx &context() const noexcept { return ctx_; }

private:
    template <std::size_t N, class F>
    detail::message<N> produce(const char *call, F f, errc at_minus3 = errc::auth_refused) {
        detail::message<N> out{};
        int length = static_cast<int>(N);
        detail::auth_check(call, f(&ctx_, reinterpret_cast<std::uint8_t *>(out.data()), &length),
                           at_minus3);
        return out;
    }
    vesk_auth_client_ctx ctx_{};
};

// What became of a login or a sealed message at a TicketService.  Every
// refusal is a normal outcome for a service: none is thrown.
enum class TicketReason {
    accepted,
    malformed,      // not a message of the right size
    other_service,  // a ticket for another service, or made under another key
    forged,         // blocks not issued together (bound mode), an authenticator or
                    // sealed message for another client, or a lifetime the issuer
                    // never writes
    replayed,       // a sequence number this ticket has already used
    expired,        // past issue time + lifetime + skew (or no live context)
    not_yet_valid,  // issued later than the service's now + skew
    too_many,       // the service already holds max_contexts live tickets
    unverifiable,   // bound mode: the platform's HMAC-SHA-256 failed
};

// "accepted", "other service", "not yet valid", ...: for logs.
inline std::string_view name_of(TicketReason reason) {
    constexpr std::string_view names[] = {"accepted",      "malformed", "other service",
                                          "forged",        "replayed",  "expired",
                                          "not yet valid", "too many",  "unverifiable"};
    return names[static_cast<std::size_t>(reason)];
}

struct TicketServiceOptions {
    // Seconds by which the issuer's clock and this service's may differ.
    std::uint32_t skew_seconds = 300;
    // Live tickets held at most; one more is refused (too_many) until one
    // expires.  Each costs about 200 bytes.
    std::size_t max_contexts = 65536;
    // Take only bound tickets (vesk_auth_issue_bound): refuses a ticket joined
    // from blocks of several tickets, which the plain accept takes.
    bool bound = false;
    // Seconds since 1970 in 32 bits; time() when empty.
    std::function<std::uint32_t()> clock = {};
};

// A service's side of the ticket exchange, as a real service needs it: one
// context per ticket (client id and session key), so that a replayed login
// is refused while a client that restarts with a new ticket starts afresh;
// the ticket's time checked against this service's clock; every refusal a
// result with a named reason, never an exception.
//
// A context lives until its ticket's end (issue time + lifetime + skew):
// then the time check would refuse the ticket anyway, so dropping it lets
// no replay in -- unless this service's clock is set back by more than the
// skew.  What a restart of the service loses is the memory of the sequence
// numbers: an old login is accepted once more within its ticket's life.
// Use one object from one thread at a time.
class TicketService {
public:
    using Options = TicketServiceOptions;

    // A ticket that a client logged in with; names its context for open().
    struct Session {
        std::uint32_t client_id = 0;
        std::array<std::uint8_t, 16> ticket{};  // the ticket's session-key blocks
        auto operator<=>(const Session &) const = default;
    };

    struct Result {
        TicketReason reason = TicketReason::malformed;
        std::uint32_t client_id = 0;                    // as the ticket names it (0: unread)
        detail::message<VESK_AUTH_REPLY_SIZE> reply{};  // for the client, when accepted
        Session session{};                              // for open(), when accepted
        explicit operator bool() const noexcept { return reason == TicketReason::accepted; }
    };

    TicketService(std::uint32_t own_id, const Key &service_key, Options options = {})
        : own_id_(own_id), key_(service_key), options_(std::move(options)) {}

    // Checks a login (an authenticator message): peek at the ticket, take
    // its context (or a new one), accept, then check its time.  A refused
    // login changes nothing.
    Result accept(std::span<const std::byte> message) {
        Result r;
        if (message.size() != VESK_AUTH_AUTHENTICATOR_SIZE) return r;
        const std::uint8_t *m = detail::u8(message);
        vesk_auth_ticket_info info{};
        if (vesk_auth_ticket_peek(detail::u8(key_), own_id_, m, VESK_AUTH_TICKET_SIZE, &info) !=
            VESK_AUTH_OK) {
            r.reason = TicketReason::other_service;
            return r;
        }
        r.client_id = info.client_id;
        const std::uint32_t now = clock();
        drop_expired(now);
        Session id{info.client_id, {}};
        std::memcpy(id.ticket.data(), m, id.ticket.size());
        const auto held = contexts_.find(id);
        vesk_auth_server_ctx trial{};
        if (held != contexts_.end()) {
            trial = held->second.ctx;
        } else {
            vesk_auth_server_init(&trial, own_id_, 0);
        }
        int length = static_cast<int>(r.reply.size());
        auto *reply = reinterpret_cast<std::uint8_t *>(r.reply.data());
        const int a =
            options_.bound
                ? vesk_auth_server_accept_bound(&trial, detail::u8(key_), m,
                                                VESK_AUTH_AUTHENTICATOR_SIZE, reply, &length)
                : vesk_auth_server_accept(&trial, detail::u8(key_), m, VESK_AUTH_AUTHENTICATOR_SIZE,
                                          reply, &length);
        if (a != VESK_AUTH_OK) {
            r.reason = a == VESK_AUTH_NO_HMAC ? TicketReason::unverifiable
                       : a == VESK_AUTH_REPLAY && held != contexts_.end() &&
                               names(held->second.ctx, m + VESK_AUTH_TICKET_SIZE)
                           ? TicketReason::replayed
                       : a == VESK_AUTH_REFUSED && !options_.bound ? TicketReason::other_service
                                                                   : TicketReason::forged;
            r.reply = {};
            return r;
        }
        switch (vesk_auth_server_check_time(&trial, now, options_.skew_seconds)) {
            case VESK_AUTH_OK:
                break;
            case VESK_AUTH_NOT_YET_VALID:
                r.reason = TicketReason::not_yet_valid;
                r.reply = {};
                return r;
            case VESK_AUTH_TICKET_EXPIRED:
                r.reason = TicketReason::expired;
                r.reply = {};
                return r;
            default:  // a lifetime the issuer never writes
                r.reason = TicketReason::forged;
                r.reply = {};
                return r;
        }
        const std::uint32_t ends = end_of(trial);
        if (held == contexts_.end()) {
            if (contexts_.size() >= options_.max_contexts) {
                r.reason = TicketReason::too_many;
                r.reply = {};
                return r;
            }
            contexts_.emplace(id, Entry{trial, ends});
            by_end_.emplace(ends, id);
        } else {
            // Only the plain accept lets another time block in here.
            if (held->second.ends != ends) {
                by_end_.erase({held->second.ends, id});
                by_end_.emplace(ends, id);
                held->second.ends = ends;
            }
            held->second.ctx = trial;
        }
        r.reason = TicketReason::accepted;
        r.session = id;
        return r;
    }

    // Checks a sealed message of a session that accept() let in.
    TicketReason open(const Session &session, std::span<const std::byte> sealed) {
        const std::uint32_t now = clock();
        drop_expired(now);
        const auto held = contexts_.find(session);
        if (held == contexts_.end()) return TicketReason::expired;
        const int n = static_cast<int>(std::min<std::size_t>(sealed.size(), INT_MAX));
        switch (vesk_auth_server_open(&held->second.ctx, detail::u8(sealed), n)) {
            case VESK_AUTH_OK:
                return TicketReason::accepted;
            case VESK_AUTH_REFUSED:
                return names(held->second.ctx, detail::u8(sealed)) ? TicketReason::replayed
                                                                   : TicketReason::forged;
            default:
                return TicketReason::malformed;
        }
    }

    // Live tickets held.
    std::size_t contexts() const noexcept { return contexts_.size(); }
    std::uint32_t own_id() const noexcept { return own_id_; }

private:
    struct Entry {
        vesk_auth_server_ctx ctx;
        std::uint32_t ends;  // the last second its ticket passes the time check
    };

    std::uint32_t clock() const {
        return options_.clock ? options_.clock() : static_cast<std::uint32_t>(std::time(nullptr));
    }
    std::uint32_t end_of(const vesk_auth_server_ctx &ctx) const {
        const std::uint64_t end =
            std::uint64_t{ctx.issue_time} + ctx.lifetime + options_.skew_seconds;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(end, UINT32_MAX));
    }
    void drop_expired(std::uint32_t now) {
        while (!by_end_.empty() && by_end_.begin()->first < now) {
            contexts_.erase(by_end_.begin()->second);
            by_end_.erase(by_end_.begin());
        }
    }
    // Whether `block` is {this context's client, a number} under its session
    // key: the sender holds the key, so a refusal can only be a replay.
    static bool names(const vesk_auth_server_ctx &ctx, const std::uint8_t *block) {
        std::uint32_t k[4], v[2];
        for (int i = 0; i < 4; ++i) k[i] = load(ctx.session_key + 4 * i);
        v[0] = load(block);
        v[1] = load(block + 4);
        vesk_tea_decrypt_block(v, v, k);
        return v[0] == ctx.client_id;
    }
    static std::uint32_t load(const std::uint8_t *p) {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    }

    std::uint32_t own_id_;
    Key key_;
    Options options_;
    std::map<Session, Entry> contexts_;
    std::set<std::pair<std::uint32_t, Session> > by_end_;  // (end, ticket): oldest first
};

// What the issuer's key callable gives for one request.
struct IssuerKeys {
    Key service, client, session;
};

namespace detail {
struct issue_call {
    virtual std::optional<IssuerKeys> keys(std::uint32_t client, std::uint32_t service) = 0;
    bool refused = false;
    std::exception_ptr thrown;

protected:
    ~issue_call() = default;
};
// The key callback has no context argument: the callable of the issue in
// progress on this thread is found here.
inline thread_local issue_call *current_issue = nullptr;
inline std::int32_t issue_keys(std::uint32_t client, std::uint32_t service,
                               std::uint8_t service_key[16], std::uint8_t client_key[16],
                               std::uint8_t session_key[16]) {
    issue_call *call = current_issue;
    try {
        const auto k = call->keys(client, service);
        if (!k) {
            call->refused = true;
            return -1;
        }
        std::memcpy(service_key, k->service.data(), 16);
        std::memcpy(client_key, k->client.data(), 16);
        std::memcpy(session_key, k->session.data(), 16);
        return 0;
    } catch (...) {  // an exception must not cross the C library: carried over to the caller
        call->thrown = std::current_exception();
        return -1;
    }
}
}  // namespace detail

namespace detail {
template <class F>
message<VESK_AUTH_ANSWER_SIZE> issue_with(const char *name, decltype(&vesk_auth_issue) issue,
                                          std::span<const std::byte> request, F &keys) {
    struct call final : issue_call {
        explicit call(F &f) : fn(f) {}
        std::optional<IssuerKeys> keys(std::uint32_t c, std::uint32_t s) override {
            return fn(c, s);
        }
        F &fn;
    } current(keys);
    message<VESK_AUTH_ANSWER_SIZE> answer{};
    int length = static_cast<int>(answer.size());
    issue_call *outer = std::exchange(current_issue, &current);
    const int r = issue(u8(request), length_for(name, request.size()), &issue_keys,
                        reinterpret_cast<std::uint8_t *>(answer.data()), &length);
    current_issue = outer;
    if (current.thrown) std::rethrow_exception(current.thrown);
    if (current.refused) fail(name, r, errc::callback_refused);
    if (r == VESK_AUTH_NO_HMAC) fail(name, r, errc::failed, "HMAC-SHA-256 failed");
    auth_check(name, r);
    return answer;
}
}  // namespace detail

// The issuer: answers a client's request.  `keys(client_id, service_id)`
// returns the three keys, or std::nullopt to refuse (callback_refused is
// thrown); an exception it throws comes out of issue_ticket.
template <class F>
detail::message<VESK_AUTH_ANSWER_SIZE> issue_ticket(std::span<const std::byte> request, F &&keys) {
    return detail::issue_with("vesk_auth_issue", &vesk_auth_issue, request, keys);
}

// The same, for a bound ticket (vesk_auth_issue_bound): the session key is
// derived from the service key and the ticket's fields, so the `session` key
// that `keys` gives is not used.  A TicketService with `bound` set takes
// only these.
template <class F>
detail::message<VESK_AUTH_ANSWER_SIZE> issue_bound_ticket(std::span<const std::byte> request,
                                                          F &&keys) {
    return detail::issue_with("vesk_auth_issue_bound", &vesk_auth_issue_bound, request, keys);
}

// A ticket's fields (answer bytes 0-31, or a login's first 32 bytes) when it
// is for service `own_id` under `service_key`; std::nullopt otherwise.
// Nothing here proves the ticket genuine (vesk_auth_ticket_peek).
inline std::optional<vesk_auth_ticket_info> peek_ticket(const Key &service_key,
                                                        std::uint32_t own_id,
                                                        std::span<const std::byte> ticket) {
    vesk_auth_ticket_info info{};
    const int n = static_cast<int>(std::min<std::size_t>(ticket.size(), INT_MAX));
    if (vesk_auth_ticket_peek(detail::u8(service_key), own_id, detail::u8(ticket), n, &info) !=
        VESK_AUTH_OK)
        return std::nullopt;
    return info;
}

// ======================================================================
// CGI form fields
// ======================================================================

// The fields of the request that cgiInit captured, through the CGI
// extensions.  Nothing here throws for a missing field: a name without
// fields gives an empty result.  Every view points into the library's copy
// of the request and stays valid until cgiUninit or the next cgiInit.
namespace cgi {

// Every value of the fields called `name`, in input order, each exactly as
// sent (CR, LF and NUL kept): a checkbox group, a multi-select, several
// files under one name (their bytes).
inline std::vector<std::string_view> values(const std::string &name) {
    std::vector<std::string_view> out;
    const int count = cgiCountValues(name.c_str());
    out.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const char *data = nullptr;
        int size = 0;
        if (cgiGetBytes(name.c_str(), i, &data, &size) == VESK_CGI_FOUND) {
            out.emplace_back(data, static_cast<std::size_t>(size));
        }
    }
    return out;
}

// The index-th value of `name` as sent, or std::nullopt when there is none.
inline std::optional<std::string_view> value(const std::string &name, int index = 0) {
    const char *data = nullptr;
    int size = 0;
    if (cgiGetBytes(name.c_str(), index, &data, &size) != VESK_CGI_FOUND) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

// One uploaded file of a multipart/form-data POST.
struct File {
    std::string_view filename;      // as sent; empty when no file was chosen
    std::string_view content_type;  // "application/octet-stream" when the part had none
    std::span<const std::byte> data;
};

// The files sent under `name`, in input order (text fields of the name are
// left out).
inline std::vector<File> files(const std::string &name) {
    std::vector<File> out;
    vesk_cgi_file file{};
    for (int i = 0; cgiGetFile(name.c_str(), i, &file) == VESK_CGI_FOUND; ++i) {
        out.push_back(
            File{file.filename,
                 file.content_type,
                 {static_cast<const std::byte *>(file.data), static_cast<std::size_t>(file.size)}});
    }
    return out;
}

}  // namespace cgi

}  // namespace vuvidur

template <>
struct std::hash<vuvidur::Address> {
    std::size_t operator()(const vuvidur::Address &a) const noexcept {
        return std::hash<std::uint64_t>{}(a.key());
    }
};

#undef VUVIDUR_HPP_HEADER_RESULTS
#undef VUVIDUR_HPP_LAYER_RESULTS

#endif  // C++20
#endif  // VUVIDUR_HPP
