// Fault injection by interposition: loaded with LD_PRELOAD into a scenario
// program, this object stands in front of the platform functions and the
// allocators that the library calls, counts their calls, and makes one of
// them fail with a realistic error.
//
//   VESK_FAULT_FUNCTION  the function to fail (a name of the table below)
//   VESK_FAULT_AT        the call to fail, from 1
//   VESK_FAULT_PERSIST   1: that call and every later one fail
//   VESK_FAULT_REPORT    a file that receives, at exit, one line per function
//                        ("name calls") and one line "failed COUNT SPAN_MS"
//                        (or when the scenario calls vesk_fault_report)
//
// Calls count only on threads that are not held: a scenario holds its own
// thread (vesk_fault_hold) and releases it around each library call, so that
// the scenario's own sockets, allocations and output are never failed.
// Threads that the library creates start released.  Counting starts when the
// scenario calls vesk_fault_hold for the first time.
//
// Built without sanitizers: it is loaded before the sanitizer runtime and
// passes every call on to it (or to the C library) unchanged.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <spawn.h>
#include <stdarg.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

enum Function {
    kMalloc,
    kCalloc,
    kRealloc,
    kNew,
    kMutexInit,
    kSemInit,
    kThreadCreate,
    kEpollCreate,
    kEventfd,
    kEpollCtl,
    kEpollWait,
    kRead,
    kSocket,
    kBind,
    kListen,
    kConnect,
    kAccept,
    kSend,
    kSendmsg,
    kSendto,
    kRecvfrom,
    kRecvmmsg,
    kSendmmsg,
    kSetsockopt,
    kGetsockopt,
    kGetpeername,
    kFcntl,
    kOpen,
    kFstat,
    kSpawn,
    kFopen,
    kFdopen,
    kReadlink,
    kFunctionCount
};

// Each function's name and the error it fails with: what the system says
// when it runs out (memory, descriptors, watches, threads) or a peer breaks.
struct FunctionInfo {
    const char *name;
    int error;
};
constexpr FunctionInfo kFunctions[kFunctionCount] = {
    {"malloc", ENOMEM},
    {"calloc", ENOMEM},
    {"realloc", ENOMEM},
    {"new", ENOMEM},
    {"pthread_mutex_init", ENOMEM},
    {"sem_init", ENOSYS},
    {"pthread_create", EAGAIN},
    {"epoll_create1", EMFILE},
    {"eventfd", EMFILE},
    {"epoll_ctl", ENOSPC},
    {"epoll_wait", EINTR},
    {"read", EIO},
    {"socket", EMFILE},
    {"bind", EADDRINUSE},
    {"listen", EADDRINUSE},
    {"connect", ECONNREFUSED},
    {"accept", EMFILE},
    {"send", ECONNRESET},
    {"sendmsg", ECONNRESET},
    {"sendto", ENOBUFS},
    {"recvfrom", ECONNRESET},
    {"recvmmsg", ECONNRESET},
    {"sendmmsg", ENOBUFS},
    {"setsockopt", ENOMEM},
    {"getsockopt", ENOBUFS},
    {"getpeername", ENOBUFS},
    {"fcntl", EBADF},
    {"open", EMFILE},
    {"fstat", EIO},
    {"posix_spawnp", EAGAIN},
    {"fopen", EMFILE},
    {"fdopen", ENOMEM},
    {"readlink", EACCES},
};

std::atomic<long> g_calls[kFunctionCount];
std::atomic<bool> g_armed{false};
// Set once the process is ending; unlike g_armed, no thread clears it again.
std::atomic<bool> g_ending{false};
int g_target = -1;
long g_at = 0;
bool g_persist = false;
const char *g_report = nullptr;
std::atomic<long> g_failed{0};
std::atomic<int64_t> g_first_fail_ns{0};
std::atomic<int64_t> g_last_fail_ns{0};
// Threads start held, so that what the C library and the sanitizer runtime do
// to start a thread is never failed; the library's threads are released as
// their start routine begins (see pthread_create below).
thread_local int t_held = 1;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Whether this call of `f` fails; counts it.
bool fail_now(Function f) {
    if (!g_armed.load(std::memory_order_relaxed) || t_held != 0) return false;
    if (g_ending.load(std::memory_order_relaxed)) return false;
    const long n = g_calls[f].fetch_add(1, std::memory_order_relaxed) + 1;
    if (f != g_target || !(n == g_at || (g_persist && n > g_at))) return false;
    const int64_t now = now_ns();
    int64_t zero = 0;
    g_first_fail_ns.compare_exchange_strong(zero, now);
    g_last_fail_ns.store(now);
    g_failed.fetch_add(1);
    errno = kFunctions[f].error;
    return true;
}

// Until the scenario arms the injector, allocations go to the C library's
// own allocator: looking up the next one (the sanitizer's) from inside an
// allocation can happen in the middle of the dynamic linker's work, which
// cannot take a nested lookup.  Armed, they go to the next allocator, looked
// up then; a block is freed by the allocator that owns it.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);
void *(*g_next_malloc)(size_t) = nullptr;
void *(*g_next_calloc)(size_t, size_t) = nullptr;
void *(*g_next_realloc)(void *, size_t) = nullptr;
void (*g_next_free)(void *) = nullptr;
int (*g_sanitizer_owns)(const volatile void *) = nullptr;  // NULL: one allocator
std::atomic<bool> g_allocators_ready{false};

bool next_allocator_owns(const void *block) {
    if (!g_allocators_ready.load(std::memory_order_acquire)) return false;
    return g_sanitizer_owns == nullptr || g_sanitizer_owns(block) != 0;
}

template <typename F>
F next(const char *name) {
    void *sym = dlsym(RTLD_NEXT, name);
    if (sym == nullptr) {
        static const char kMessage[] = "vesk_inject: a function cannot be found\n";
        ssize_t ignored = write(2, kMessage, sizeof kMessage - 1);
        (void)ignored;
        _exit(97);
    }
    return reinterpret_cast<F>(sym);
}

#define REAL(name, type)                      \
    using name##_type = type;                 \
    static name##_type real_##name = nullptr; \
    if (real_##name == nullptr) real_##name = next<name##_type>(#name)

void write_report() {
    if (g_report == nullptr) return;
    const int fd = open(g_report, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[128];
    for (int f = 0; f < kFunctionCount; ++f) {
        const int n =
            std::snprintf(line, sizeof line, "%s %ld\n", kFunctions[f].name, g_calls[f].load());
        ssize_t ignored = write(fd, line, static_cast<size_t>(n));
        (void)ignored;
    }
    const int64_t span = g_last_fail_ns.load() - g_first_fail_ns.load();
    const int n = std::snprintf(line, sizeof line, "failed %ld %lld\n", g_failed.load(),
                                static_cast<long long>(span / 1000000));
    ssize_t ignored = write(fd, line, static_cast<size_t>(n));
    (void)ignored;
    close(fd);
}

__attribute__((constructor)) void start() {
    const char *function = std::getenv("VESK_FAULT_FUNCTION");
    const char *at = std::getenv("VESK_FAULT_AT");
    const char *persist = std::getenv("VESK_FAULT_PERSIST");
    g_report = std::getenv("VESK_FAULT_REPORT");
    for (int f = 0; function != nullptr && f < kFunctionCount; ++f) {
        if (std::strcmp(function, kFunctions[f].name) == 0) g_target = f;
    }
    g_at = at != nullptr ? std::atol(at) : 0;
    g_persist = persist != nullptr && persist[0] == '1';
    // Programs that the scenario starts run without faults.
    unsetenv("LD_PRELOAD");
    unsetenv("VESK_FAULT_REPORT");
}

__attribute__((destructor)) void finish() { write_report(); }

}  // namespace

extern "C" {

// 1: the calling thread's own calls are not counted nor failed; 0: they are.
// The first call starts the counting.
__attribute__((visibility("default"))) void vesk_fault_hold(int held) {
    if (!g_allocators_ready.load(std::memory_order_acquire)) {
        g_next_malloc = next<void *(*)(size_t)>("malloc");
        g_next_calloc = next<void *(*)(size_t, size_t)>("calloc");
        g_next_realloc = next<void *(*)(void *, size_t)>("realloc");
        g_next_free = next<void (*)(void *)>("free");
        g_sanitizer_owns = reinterpret_cast<int (*)(const volatile void *)>(
            dlsym(RTLD_DEFAULT, "__sanitizer_get_ownership"));
        g_allocators_ready.store(true, std::memory_order_release);
        // What runs once the process is ending (the coverage counters'
        // writer among others) is not the library's work: nothing fails from
        // then on.  Registered here, from main, so that it runs before the
        // shared objects' destructors.
        std::atexit([] { g_ending.store(true); });
    }
    t_held = held;
    g_armed.store(true);
}

// A process that is ending (out of memory, say) runs what is not the
// library's work: the coverage counters' writer allocates, and a failure
// there is a crash of the runtime, not a finding.  Nothing fails from the
// moment exit is called, whichever thread calls it, even while another
// thread is releasing itself for its next library call.
__attribute__((visibility("default"))) void exit(int status) noexcept {
    g_ending.store(true);
    using exit_type = void (*)(int);
    static const exit_type real_exit = next<exit_type>("exit");
    real_exit(status);
    __builtin_unreachable();
}

// Writes the report now: for a scenario that ends with _exit.
__attribute__((visibility("default"))) void vesk_fault_report() { write_report(); }

__attribute__((visibility("default"))) void *malloc(size_t size) {
    if (!g_allocators_ready.load(std::memory_order_acquire)) return __libc_malloc(size);
    if (fail_now(kMalloc)) return nullptr;
    return g_next_malloc(size);
}

__attribute__((visibility("default"))) void *calloc(size_t count, size_t size) {
    if (!g_allocators_ready.load(std::memory_order_acquire)) return __libc_calloc(count, size);
    if (fail_now(kCalloc)) return nullptr;
    return g_next_calloc(count, size);
}

__attribute__((visibility("default"))) void *realloc(void *block, size_t size) {
    if (block != nullptr && !next_allocator_owns(block)) return __libc_realloc(block, size);
    if (!g_allocators_ready.load(std::memory_order_acquire)) return __libc_realloc(block, size);
    if (fail_now(kRealloc)) return nullptr;
    return g_next_realloc(block, size);
}

__attribute__((visibility("default"))) void free(void *block) {
    if (block == nullptr) return;
    if (next_allocator_owns(block)) {
        g_next_free(block);
    } else {
        __libc_free(block);
    }
}

__attribute__((visibility("default"))) int pthread_mutex_init(pthread_mutex_t *mutex,
                                                              const pthread_mutexattr_t *attr) {
    REAL(pthread_mutex_init, int (*)(pthread_mutex_t *, const pthread_mutexattr_t *));
    if (fail_now(kMutexInit)) return ENOMEM;
    return real_pthread_mutex_init(mutex, attr);
}

__attribute__((visibility("default"))) int sem_init(sem_t *sem, int shared, unsigned value) {
    REAL(sem_init, int (*)(sem_t *, int, unsigned));
    if (fail_now(kSemInit)) return -1;
    return real_sem_init(sem, shared, value);
}

struct ThreadStart {
    void *(*start)(void *);
    void *arg;
};

void *released_start(void *raw) {
    const ThreadStart launch = *static_cast<ThreadStart *>(raw);
    delete static_cast<ThreadStart *>(raw);
    t_held = 0;
    return launch.start(launch.arg);
}

__attribute__((visibility("default"))) int pthread_create(pthread_t *thread,
                                                          const pthread_attr_t *attr,
                                                          void *(*start)(void *), void *arg) {
    REAL(pthread_create, int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *));
    if (fail_now(kThreadCreate)) return EAGAIN;
    const int held = t_held;
    t_held = 1;
    auto *launch = new ThreadStart{start, arg};
    const int rc = real_pthread_create(thread, attr, released_start, launch);
    if (rc != 0) delete launch;
    t_held = held;
    return rc;
}

__attribute__((visibility("default"))) int epoll_create1(int flags) {
    REAL(epoll_create1, int (*)(int));
    if (fail_now(kEpollCreate)) return -1;
    return real_epoll_create1(flags);
}

__attribute__((visibility("default"))) int eventfd(unsigned value, int flags) {
    REAL(eventfd, int (*)(unsigned, int));
    if (fail_now(kEventfd)) return -1;
    return real_eventfd(value, flags);
}

__attribute__((visibility("default"))) int epoll_ctl(int epfd, int op, int fd, epoll_event *ev) {
    REAL(epoll_ctl, int (*)(int, int, int, epoll_event *));
    if (fail_now(kEpollCtl)) return -1;
    return real_epoll_ctl(epfd, op, fd, ev);
}

__attribute__((visibility("default"))) int epoll_wait(int epfd, epoll_event *events, int max,
                                                      int timeout) {
    REAL(epoll_wait, int (*)(int, epoll_event *, int, int));
    if (fail_now(kEpollWait)) return -1;
    return real_epoll_wait(epfd, events, max, timeout);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buffer, size_t size) {
    REAL(read, ssize_t(*)(int, void *, size_t));
    if (fail_now(kRead)) return -1;
    return real_read(fd, buffer, size);
}

__attribute__((visibility("default"))) int socket(int domain, int type, int protocol) {
    REAL(socket, int (*)(int, int, int));
    if (fail_now(kSocket)) return -1;
    return real_socket(domain, type, protocol);
}

__attribute__((visibility("default"))) int bind(int fd, const sockaddr *addr, socklen_t len) {
    REAL(bind, int (*)(int, const sockaddr *, socklen_t));
    if (fail_now(kBind)) return -1;
    return real_bind(fd, addr, len);
}

__attribute__((visibility("default"))) int listen(int fd, int backlog) {
    REAL(listen, int (*)(int, int));
    if (fail_now(kListen)) return -1;
    return real_listen(fd, backlog);
}

__attribute__((visibility("default"))) int connect(int fd, const sockaddr *addr, socklen_t len) {
    REAL(connect, int (*)(int, const sockaddr *, socklen_t));
    if (fail_now(kConnect)) return -1;
    return real_connect(fd, addr, len);
}

__attribute__((visibility("default"))) int accept(int fd, sockaddr *addr, socklen_t *len) {
    REAL(accept, int (*)(int, sockaddr *, socklen_t *));
    if (fail_now(kAccept)) return -1;
    return real_accept(fd, addr, len);
}

__attribute__((visibility("default"))) int accept4(int fd, sockaddr *addr, socklen_t *len,
                                                   int flags) {
    REAL(accept4, int (*)(int, sockaddr *, socklen_t *, int));
    if (fail_now(kAccept)) return -1;
    return real_accept4(fd, addr, len, flags);
}

__attribute__((visibility("default"))) ssize_t send(int fd, const void *buf, size_t len,
                                                    int flags) {
    REAL(send, ssize_t(*)(int, const void *, size_t, int));
    if (fail_now(kSend)) return -1;
    return real_send(fd, buf, len, flags);
}

__attribute__((visibility("default"))) ssize_t sendmsg(int fd, const msghdr *msg, int flags) {
    REAL(sendmsg, ssize_t(*)(int, const msghdr *, int));
    if (fail_now(kSendmsg)) return -1;
    return real_sendmsg(fd, msg, flags);
}

__attribute__((visibility("default"))) ssize_t sendto(int fd, const void *buf, size_t len,
                                                      int flags, const sockaddr *to,
                                                      socklen_t tolen) {
    REAL(sendto, ssize_t(*)(int, const void *, size_t, int, const sockaddr *, socklen_t));
    if (fail_now(kSendto)) return -1;
    return real_sendto(fd, buf, len, flags, to, tolen);
}

__attribute__((visibility("default"))) ssize_t recvfrom(int fd, void *buf, size_t len, int flags,
                                                        sockaddr *from, socklen_t *fromlen) {
    REAL(recvfrom, ssize_t(*)(int, void *, size_t, int, sockaddr *, socklen_t *));
    if (fail_now(kRecvfrom)) return -1;
    return real_recvfrom(fd, buf, len, flags, from, fromlen);
}

__attribute__((visibility("default"))) int recvmmsg(int fd, mmsghdr *msgs, unsigned count,
                                                    int flags, timespec *timeout) {
    REAL(recvmmsg, int (*)(int, mmsghdr *, unsigned, int, timespec *));
    if (fail_now(kRecvmmsg)) return -1;
    return real_recvmmsg(fd, msgs, count, flags, timeout);
}

__attribute__((visibility("default"))) int sendmmsg(int fd, mmsghdr *msgs, unsigned count,
                                                    int flags) {
    REAL(sendmmsg, int (*)(int, mmsghdr *, unsigned, int));
    if (fail_now(kSendmmsg)) return -1;
    return real_sendmmsg(fd, msgs, count, flags);
}

__attribute__((visibility("default"))) int setsockopt(int fd, int level, int name,
                                                      const void *value, socklen_t len) {
    REAL(setsockopt, int (*)(int, int, int, const void *, socklen_t));
    if (fail_now(kSetsockopt)) return -1;
    return real_setsockopt(fd, level, name, value, len);
}

__attribute__((visibility("default"))) int getsockopt(int fd, int level, int name, void *value,
                                                      socklen_t *len) {
    REAL(getsockopt, int (*)(int, int, int, void *, socklen_t *));
    if (fail_now(kGetsockopt)) return -1;
    return real_getsockopt(fd, level, name, value, len);
}

__attribute__((visibility("default"))) int getpeername(int fd, sockaddr *addr, socklen_t *len) {
    REAL(getpeername, int (*)(int, sockaddr *, socklen_t *));
    if (fail_now(kGetpeername)) return -1;
    return real_getpeername(fd, addr, len);
}

__attribute__((visibility("default"))) int fcntl(int fd, int command, ...) {
    REAL(fcntl, int (*)(int, int, ...));
    va_list args;
    va_start(args, command);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (fail_now(kFcntl)) return -1;
    return real_fcntl(fd, command, argument);
}

__attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    REAL(open, int (*)(const char *, int, ...));
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(args, mode_t) : 0;
    va_end(args);
    if (fail_now(kOpen)) return -1;
    return real_open(path, flags, mode);
}

__attribute__((visibility("default"))) int fstat(int fd, struct stat *st) {
    REAL(fstat, int (*)(int, struct stat *));
    if (fail_now(kFstat)) return -1;
    return real_fstat(fd, st);
}

__attribute__((visibility("default"))) int posix_spawnp(pid_t *pid, const char *file,
                                                        const posix_spawn_file_actions_t *actions,
                                                        const posix_spawnattr_t *attr,
                                                        char *const argv[], char *const envp[]) {
    REAL(posix_spawnp, int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                               const posix_spawnattr_t *, char *const[], char *const[]));
    if (fail_now(kSpawn)) return EAGAIN;
    return real_posix_spawnp(pid, file, actions, attr, argv, envp);
}

__attribute__((visibility("default"))) FILE *fopen(const char *path, const char *mode) {
    REAL(fopen, FILE * (*)(const char *, const char *));
    if (fail_now(kFopen)) return nullptr;
    return real_fopen(path, mode);
}

__attribute__((visibility("default"))) FILE *fdopen(int fd, const char *mode) {
    REAL(fdopen, FILE * (*)(int, const char *));
    if (fail_now(kFdopen)) return nullptr;
    return real_fdopen(fd, mode);
}

__attribute__((visibility("default"))) ssize_t readlink(const char *path, char *buffer,
                                                        size_t size) {
    REAL(readlink, ssize_t(*)(const char *, char *, size_t));
    if (fail_now(kReadlink)) return -1;
    return real_readlink(path, buffer, size);
}

}  // extern "C"

// The C++ allocators: the throwing ones throw as the real ones do.
__attribute__((visibility("default"))) void *operator new(size_t size) {
    REAL(_Znwm, void *(*)(size_t));
    if (fail_now(kNew)) throw std::bad_alloc();
    return real__Znwm(size);
}

__attribute__((visibility("default"))) void *operator new[](size_t size) {
    REAL(_Znam, void *(*)(size_t));
    if (fail_now(kNew)) throw std::bad_alloc();
    return real__Znam(size);
}

__attribute__((visibility("default"))) void *operator new(size_t size,
                                                          const std::nothrow_t &tag) noexcept {
    REAL(_ZnwmRKSt9nothrow_t, void *(*)(size_t, const std::nothrow_t &));
    if (fail_now(kNew)) return nullptr;
    return real__ZnwmRKSt9nothrow_t(size, tag);
}

__attribute__((visibility("default"))) void *operator new[](size_t size,
                                                            const std::nothrow_t &tag) noexcept {
    REAL(_ZnamRKSt9nothrow_t, void *(*)(size_t, const std::nothrow_t &));
    if (fail_now(kNew)) return nullptr;
    return real__ZnamRKSt9nothrow_t(size, tag);
}
