// Realistic programs over the public C interface, for fault injection: each
// scenario uses one service the way a server or CGI program does and checks
// what it gets.  Run as `vesk_fault_scenario NAME`; the exit status says how
// it went:
//   0  everything worked and every result was checked
//   2  a call or an event refused with its documented failure
//   3  a call reported success but the result was wrong or never came
//   4  a descriptor or a thread was left behind after the service ended
// The out-of-memory policy ends a run with status 1 and one line on stderr.
//
// Under the injector (inject.cpp) the scenario's own calls are held: only
// what the library does inside a call, or on its own threads, is counted and
// failed.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/crypto.h>

#include "vuvidur.h"

namespace {

enum Outcome { kOk = 0, kRefused = 2, kWrong = 3, kLeaked = 4 };

void (*g_hold)(int) = nullptr;
void (*g_report)() = nullptr;

// The scenario's own code runs held; Lib releases the thread for one call.
void hold(int held) {
    if (g_hold != nullptr) g_hold(held);
}
struct Lib {
    Lib() { hold(0); }
    ~Lib() { hold(1); }
};
#define LIB(expr)      \
    ([&] {             \
        Lib lib_;      \
        return (expr); \
    }())
#define LIB_VOID(expr) \
    do {               \
        Lib lib_;      \
        expr;          \
    } while (0)

[[noreturn]] void finish(Outcome outcome, const char *what) {
    hold(1);
    std::fprintf(stderr, "scenario: %s (%s)\n",
                 outcome == kOk        ? "ok"
                 : outcome == kRefused ? "refused"
                 : outcome == kWrong   ? "wrong"
                                       : "leaked",
                 what);
    std::fflush(nullptr);
    // _exit: the library's threads may still run when a scenario ends early.
    if (g_report != nullptr) g_report();
#ifdef VESK_FAULT_EXIT_WITH_EXIT
    std::exit(outcome);  // the coverage build, whose counters are written at exit
#else
    _exit(outcome);
#endif
}

int count_entries(const char *dir) {
    DIR *d = opendir(dir);
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

struct Baseline {
    int fds = count_entries("/proc/self/fd");
    int threads = count_entries("/proc/self/task");
    // Threads end a moment after they are joined: looked at for up to a second.
    void check() const {
        for (int i = 0; i < 100; ++i) {
            if (count_entries("/proc/self/fd") <= fds &&
                count_entries("/proc/self/task") <= threads) {
                return;
            }
            usleep(10000);
        }
        finish(kLeaked, "descriptors or threads after the end");
    }
};

// A refusal whose call promises to leave nothing behind: checked first.
[[noreturn]] void refused_clean(const Baseline &base, const char *what) {
    base.check();
    finish(kRefused, what);
}

sockaddr_in loopback(uint16_t port_net = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port_net;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
const sockaddr *sa(const sockaddr_in &a) { return reinterpret_cast<const sockaddr *>(&a); }

uint16_t port_of(vesk_socket_t s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(static_cast<int>(s), reinterpret_cast<sockaddr *>(&a), &len);
    return a.sin_port;
}

// ---- The socket engine ----------------------------------------------------

struct Event {
    int length = 0;
    uint8_t bytes[VESK_NET_MAX_RECORD] = {};
    int kind() const { return bytes[0]; }
    int32_t slot() const {
        int32_t s;
        std::memcpy(&s, bytes + 1, 4);
        return s;
    }
    int32_t field(int at) const {
        int32_t v;
        std::memcpy(&v, bytes + at, 4);
        return v;
    }
    std::string payload() const {
        return std::string(reinterpret_cast<const char *>(bytes) + 18,
                           static_cast<size_t>(length - 18));
    }
};

// Whether a plain peer's connection was ended by the other side.
bool peer_dropped(int peer) {
    pollfd p{peer, POLLIN, 0};
    char byte;
    return poll(&p, 1, 0) == 1 && recv(peer, &byte, 1, MSG_DONTWAIT) <= 0;
}

// The next event of the channel; a failure event (the slot broke, the
// connect failed) is a documented refusal, and no event at all within the
// time is a silent failure -- unless the engine dropped the connection of
// `peer` (a plain socket of the scenario's), which the peer then sees.
// `silence` names what did not come.
Event next_event(int channel, int peer = -1, const char *silence = "no event came") {
    Event ev;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        ev.length = LIB(vesk_net_channel_read(channel, ev.bytes));
        if (ev.length < 0) finish(kWrong, "channel read failed");
        if (ev.length > 0) break;
        if (std::chrono::steady_clock::now() > deadline) {
            if (peer >= 0 && peer_dropped(peer)) finish(kRefused, "the connection was dropped");
            finish(kWrong, silence);
        }
        LIB(vesk_net_channel_wait(channel, 50));
    }
    if (ev.kind() == VESK_EV_FAILED || ev.kind() == VESK_EV_CLOSED) {
        finish(kRefused, "the slot failed");
    }
    if (ev.kind() == VESK_EV_CONNECT && ev.field(5) != 0) finish(kRefused, "connect failed");
    return ev;
}

Event expect(int channel, int kind, int peer = -1) {
    Event ev = next_event(channel, peer);
    if (ev.kind() != kind) finish(kWrong, "an unexpected event");
    return ev;
}

int send_msg(int slot, const std::string &payload, uint32_t addr = 0, uint16_t port = 0) {
    uint8_t record[18 + VESK_NET_MAX_DATA] = {};
    vesk_net_msg head{};
    head.slot = slot;
    head.addr = addr;
    head.port = port;
    head.length = static_cast<int32_t>(payload.size());
    std::memcpy(record, &head, 18);
    std::memcpy(record + 18, payload.data(), payload.size());
    return LIB(vesk_net_send(reinterpret_cast<vesk_net_msg *>(record)));
}

// A TCP send's result: 0, or a slot that is no longer ready because it
// failed, which its channel must have reported.
void sent(int rc, int channel) {
    if (rc == 0) return;
    if (rc != VESK_NET_SEND_NOT_READY) finish(kWrong, "send");
    // Data received before the failure comes first; the failure ends the run.
    for (;;) {
        if (next_event(channel).kind() != VESK_EV_TCP_DATA) finish(kWrong, "send");
    }
}

int start_engine(const Baseline &base) {
    if (LIB(vesk_net_init(8, 2, 1, 4, 65536, 0, 0)) != 0) refused_clean(base, "init");
    const int channel = LIB(vesk_net_channel_open());
    if (channel == 0) finish(kWrong, "no channel");
    return channel;
}

int open_slot(int type, const sockaddr_in &addr, int channel) {
    const int before = count_entries("/proc/self/fd");
    const int slot = LIB(vesk_net_open(type, sa(addr)));
    if (slot == 0 && count_entries("/proc/self/fd") > before) finish(kLeaked, "a refused open");
    if (slot == 0) finish(kRefused, "open");
    if (LIB(vesk_net_attach(slot, channel)) != 0) finish(kWrong, "attach");
    return slot;
}

// A framed connection to a framed listener of the engine; returns the
// connecting slot and the accepted one.
void connect_pair(int channel, int &client, int &served) {
    const int listener = open_slot(VESK_NET_TCP_LISTEN_FRAMED, loopback(), channel);
    client = open_slot(VESK_NET_TCP_CONNECT, loopback(), channel);
    const sockaddr_in to = loopback(port_of(LIB(vesk_net_get_socket(listener))));
    const int rc = LIB(vesk_net_connect(client, sa(to)));
    if (rc < 0) finish(kRefused, "connect");
    served = 0;
    bool connected = rc == 1;
    while (served == 0 || !connected) {
        // A listener that cannot get a slot for the connection (its accept
        // failing, or no memory for the slot) leaves it in the kernel's queue
        // and tries again: no call reports that.  The sweep tells it apart.
        const Event ev = next_event(
            channel, -1,
            connected ? "no event came: the listener accepted nothing" : "no event came");
        if (ev.kind() == VESK_EV_CONNECT) {
            connected = true;
        } else if (ev.kind() == VESK_EV_ACCEPT) {
            served = ev.field(5);
        } else {
            finish(kWrong, "an unexpected event while connecting");
        }
    }
    LIB(vesk_net_close(listener));
}

void engine_framed() {
    const Baseline base;
    const int channel = start_engine(base);
    int client = 0;
    int served = 0;
    connect_pair(channel, client, served);
    sent(send_msg(client, "ping"), channel);
    Event ev = expect(channel, VESK_EV_TCP_DATA);
    if (ev.slot() != served || ev.payload() != "ping") finish(kWrong, "the frame");
    sent(send_msg(served, "pong"), channel);
    ev = expect(channel, VESK_EV_TCP_DATA);
    if (ev.slot() != client || ev.payload() != "pong") finish(kWrong, "the echo");
    // A batch of frames in one call.
    uint8_t records[3][18 + 8] = {};
    vesk_net_msg *batch[3];
    for (int i = 0; i < 3; ++i) {
        vesk_net_msg head{};
        head.slot = served;
        head.length = 8;
        std::memcpy(records[i], &head, 18);
        std::memcpy(records[i] + 18, "batch-0", 8);
        records[i][18 + 6] = static_cast<uint8_t>('0' + i);
        batch[i] = reinterpret_cast<vesk_net_msg *>(records[i]);
    }
    const int taken = LIB(vesk_net_send_many(batch, 3));
    if (taken == VESK_NET_SEND_NOT_READY) sent(taken, channel);
    if (taken != 3) finish(kWrong, "the batch");
    for (int i = 0; i < 3; ++i) {
        ev = expect(channel, VESK_EV_TCP_DATA);
        const std::string want = std::string("batch-") + static_cast<char>('0' + i) + '\0';
        if (ev.slot() != client || ev.payload() != want) finish(kWrong, "the batch's frames");
    }
    // Frames until the socket holds no more, then a close with bytes pending.
    const std::string big(VESK_NET_MAX_DATA, 'x');
    for (int i = 0; i < 4000; ++i) {
        const int rc = send_msg(client, big);
        if (rc == VESK_NET_SEND_PENDING) break;
        sent(rc, channel);
    }
    LIB(vesk_net_close(client));
    LIB(vesk_net_close(served));
    LIB_VOID(vesk_net_shutdown());
    base.check();
    finish(kOk, "framed echo");
}

void engine_raw() {
    const Baseline base;
    const int channel = start_engine(base);
    const int listener = open_slot(VESK_NET_TCP_LISTEN_STREAM, loopback(), channel);
    const int peer = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = loopback(port_of(LIB(vesk_net_get_socket(listener))));
    if (connect(peer, sa(to), sizeof to) != 0) finish(kWrong, "the peer's connect");
    const Event accepted = expect(channel, VESK_EV_ACCEPT, peer);
    const int served = accepted.field(5);
    if (send(peer, "hello", 5, MSG_NOSIGNAL) != 5) finish(kWrong, "the peer's send");
    std::string got;
    while (got.size() < 5) {
        const Event ev = expect(channel, VESK_EV_TCP_DATA, peer);
        got += ev.payload();
    }
    if (got != "hello") finish(kWrong, "the bytes");
    uint8_t record[18 + 5] = {};
    vesk_net_msg head{};
    head.slot = served;
    head.length = 5;
    std::memcpy(record, &head, 18);
    std::memcpy(record + 18, "world", 5);
    sent(LIB(vesk_net_send(reinterpret_cast<vesk_net_msg *>(record))), channel);
    char back[5] = {};
    size_t have = 0;
    while (have < 5) {
        pollfd p{peer, POLLIN, 0};
        // The send was accepted: its bytes must arrive, or the slot must fail.
        if (poll(&p, 1, 3000) <= 0) {
            expect(channel, VESK_EV_FAILED);  // ends the run as refused or wrong
        }
        const ssize_t n = recv(peer, back + have, 5 - have, 0);
        if (n <= 0) finish(kRefused, "the peer saw the connection end");
        have += static_cast<size_t>(n);
    }
    if (std::memcmp(back, "world", 5) != 0) finish(kWrong, "the reply");
    // The peer's end: a clean close is what must be reported.
    close(peer);
    Event ev;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        ev.length = LIB(vesk_net_channel_read(channel, ev.bytes));
        if (ev.length > 0) break;
        if (std::chrono::steady_clock::now() > deadline)
            finish(kWrong, "no event came: no end reported");
        LIB(vesk_net_channel_wait(channel, 50));
    }
    // An engine whose I/O thread can no longer wait fails every slot, the
    // listener first.
    if (ev.kind() == VESK_EV_FAILED) finish(kRefused, "the slot failed");
    if (ev.slot() != served) finish(kWrong, "the end of another slot");
    if (ev.kind() != VESK_EV_CLOSED) finish(kWrong, "an unexpected event");
    LIB(vesk_net_close(served));
    LIB(vesk_net_close(listener));
    LIB_VOID(vesk_net_shutdown());
    base.check();
    finish(kOk, "raw stream echo and end");
}

void engine_udp() {
    const Baseline base;
    const int channel = start_engine(base);
    const int a = open_slot(VESK_NET_UDP_QUIET, loopback(), channel);
    const int b = open_slot(VESK_NET_UDP_QUIET, loopback(), channel);
    const uint16_t port_b = port_of(LIB(vesk_net_get_socket(b)));
    const int sent = send_msg(a, "datagram", htonl(INADDR_LOOPBACK), port_b);
    if (sent < 0) finish(kRefused, "sendto");
    if (sent != 3 + 8) finish(kWrong, "the count sent");
    Event ev = next_event(channel);
    if (ev.kind() != VESK_EV_UDP_DATA || ev.slot() != b || ev.payload() != "datagram") {
        // A datagram may be lost (UDP): then nothing else may have come.
        finish(kWrong, "the datagram");
    }
    LIB(vesk_net_close(a));
    LIB(vesk_net_close(b));
    LIB_VOID(vesk_net_shutdown());
    base.check();
    finish(kOk, "udp");
}

// ---- The other services ---------------------------------------------------

void settings() {
    const Baseline base;
    char dir[VESK_MODULE_DIR_SIZE];
    LIB_VOID(vesk_module_dir(dir));
    const std::string name = "fault_settings_" + std::to_string(getpid()) + ".txt";
    const std::string path = std::string(dir) + name;
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) finish(kWrong, "cannot write the file");
    std::fputs("port=8080\nname=server\n", f);
    std::fclose(f);
    SettingsTable table;
    const int rc = LIB(vesk_config_load(name.c_str(), &table));
    unlink(path.c_str());
    if (rc == VESK_CONFIG_UNREADABLE) finish(kRefused, "load");
    if (rc != 0) finish(kWrong, "load result");
    char value[VESK_SETTINGS_TEXT_MAX + 1] = {};
    if (LIB(vesk_config_get(&table, "name", value)) != 0 || std::strcmp(value, "server") != 0) {
        finish(kWrong, "the value");
    }
    base.check();
    finish(kOk, "settings");
}

std::atomic<int> g_timer_runs{0};
int on_timer(int32_t, void *, void *, uint8_t *) {
    g_timer_runs.fetch_add(1);
    return 0;
}

void timer() {
    const Baseline base;
    LIB(vesk_timer_init());
    TimerSpec spec{};
    spec.interval = 0;  // every pass
    spec.callback = on_timer;
    const int index = LIB(vesk_timer_add(spec));
    if (index != 0) finish(kWrong, "add");
    if (LIB(vesk_timer_start()) != 0) refused_clean(base, "start");
    for (int i = 0; i < 300 && g_timer_runs.load() == 0; ++i) usleep(10000);
    LIB(vesk_timer_stop());
    if (g_timer_runs.load() == 0) finish(kWrong, "the timer never ran");
    if (LIB(vesk_timer_remove(index)) != 0) finish(kWrong, "remove");
    base.check();
    finish(kOk, "timer");
}

constexpr int kItems = 2000;
std::atomic<long> g_taken_sum{0};

uint32_t VESK_THREADCALL consumer(void *raw) {
    hold(1);
    auto *q = static_cast<vesk_msgq *>(raw);
    long sum = 0;
    for (int i = 0; i < kItems; ++i) {
        void *item = LIB(vesk_msgq_get(q));
        if (item == nullptr) break;
        sum += static_cast<long>(reinterpret_cast<intptr_t>(item));
    }
    g_taken_sum.store(sum);
    return 0;
}

void queue() {
    const Baseline base;
    vesk_msgq q;
    LIB_VOID(vesk_msgq_create(&q));
    vesk_thread_cell *thread = LIB(vesk_thread_create(0, nullptr, consumer, &q));
    if (thread == nullptr) {
        LIB_VOID(vesk_msgq_destroy(&q));
        refused_clean(base, "thread");
    }
    long sum = 0;
    for (int i = 1; i <= kItems; ++i) {
        if (LIB(vesk_msgq_put(&q, reinterpret_cast<void *>(static_cast<intptr_t>(i)))) != 0) {
            finish(kWrong, "put");
        }
        sum += i;
    }
    if (LIB(vesk_thread_destroy(thread)) != 0) finish(kWrong, "the consumer did not end");
    LIB_VOID(vesk_mem_free(thread));
    LIB_VOID(vesk_msgq_destroy(&q));
    if (g_taken_sum.load() != sum) finish(kWrong, "the items taken");
    base.check();
    finish(kOk, "queue");
}

uint32_t VESK_THREADCALL quick(void *) { return 7; }

void threads() {
    const Baseline base;
    vesk_mutex_cell *mutex = LIB(vesk_mutex_create(0, 0));
    if (mutex == nullptr) finish(kRefused, "mutex");
    vesk_sem_cell *sem = LIB(vesk_sem_create(0, 0, 1));
    if (sem == nullptr) finish(kRefused, "semaphore");
    if (LIB(vesk_mutex_lock(mutex)) != 0 || LIB(vesk_sem_wait(sem)) != 0) finish(kWrong, "wait");
    LIB(vesk_mutex_unlock(mutex));
    vesk_thread_cell cell{};
    if (LIB(vesk_thread_create(0, &cell, quick, nullptr)) == nullptr) {
        refused_clean(base, "thread");
    }
    if (LIB(vesk_thread_destroy(&cell)) != 0) finish(kWrong, "destroy");
    LIB_VOID(vesk_mutex_destroy(mutex));
    LIB_VOID(vesk_mem_free(mutex));
    LIB(vesk_sem_destroy(sem));
    LIB_VOID(vesk_mem_free(sem));
    base.check();
    finish(kOk, "threads");
}

void process() {
    const Baseline base;
    char command[] = "/bin/sh -c \"exit 3\"";
    vesk_process_info info{};
    const int rc = LIB(vesk_process_create(command, &info));
    if (rc == -3) finish(kRefused, "spawn");
    if (rc != 0) finish(kWrong, "create");
    int status = 0;
    if (waitpid(static_cast<pid_t>(info.process_id), &status, 0) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 3) {
        finish(kWrong, "the child");
    }
    base.check();
    finish(kOk, "process");
}

void cgi() {
    const char body[] = "name=fault&value=a%20b";
    char path[] = "/tmp/vesk_fault_body_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, body, sizeof body - 1) != static_cast<ssize_t>(sizeof body - 1)) {
        finish(kWrong, "cannot write the body");
    }
    lseek(fd, 0, SEEK_SET);
    dup2(fd, 0);
    close(fd);
    unlink(path);
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
    setenv("CONTENT_LENGTH", std::to_string(sizeof body - 1).c_str(), 1);
    const int rc = LIB(cgiInit());
    if (rc != 0) finish(kRefused, "init");
    char value[64] = {};
    if (LIB(cgiGetValue("value", value, sizeof value)) != 0 || std::strcmp(value, "a b") != 0) {
        finish(kWrong, "the value");
    }
    LIB(cgiUninit());
    finish(kOk, "cgi");
}

int32_t ticket_keys(uint32_t, uint32_t, uint8_t service[16], uint8_t client[16],
                    uint8_t session[16]) {
    std::memset(service, 1, 16);
    std::memset(client, 2, 16);
    std::memset(session, 3, 16);
    return 0;
}

// A bound ticket issued, accepted by its client and by the service: the
// HMAC-SHA-256 of the platform's cryptographic library, whose allocations
// the sweep fails, refuses with VESK_AUTH_NO_HMAC and changes nothing.
// libcrypto's error strings are loaded first, uncounted: under a realloc
// that keeps failing, loading them is a burst of thousands of failed calls
// inside libcrypto (finite, and followed by a clean refusal), which the
// sweep would take for a spin of ours.
void tickets() {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    const uint8_t request[8] = {7, 0, 0, 0, 5, 0, 0, 0};
    uint8_t answer[56], login[40], reply[8];
    int length = 56;
    const int issued = LIB(vesk_auth_issue_bound(request, 8, ticket_keys, answer, &length));
    if (issued == VESK_AUTH_NO_HMAC) finish(kRefused, "issue");
    if (issued != 0) finish(kWrong, "issue");
    uint8_t key[16];
    std::memset(key, 2, 16);
    vesk_auth_client_ctx c;
    LIB(vesk_auth_client_init(&c, 0, 7, 5));
    length = 40;
    if (LIB(vesk_auth_client_accept(&c, key, answer, 56)) != 0 ||
        LIB(vesk_auth_client_authenticator(&c, login, &length)) != 0) {
        finish(kWrong, "the client");
    }
    std::memset(key, 1, 16);
    vesk_auth_server_ctx s;
    LIB(vesk_auth_server_init(&s, 5, 0));
    const vesk_auth_server_ctx before = s;
    length = 8;
    const int accepted = LIB(vesk_auth_server_accept_bound(&s, key, login, 40, reply, &length));
    if (accepted == VESK_AUTH_NO_HMAC && std::memcmp(&before, &s, sizeof s) == 0) {
        finish(kRefused, "accept");
    }
    if (accepted != 0 || LIB(vesk_auth_client_verify(&c, reply, 8)) != 0) finish(kWrong, "accept");
    finish(kOk, "tickets");
}

struct Scenario {
    const char *name;
    void (*run)();
};
constexpr Scenario kScenarios[] = {
    {"engine_framed", engine_framed},
    {"engine_raw", engine_raw},
    {"engine_udp", engine_udp},
    {"settings", settings},
    {"timer", timer},
    {"queue", queue},
    {"threads", threads},
    {"process", process},
    {"cgi", cgi},
    {"tickets", tickets},
};

}  // namespace

int main(int argc, char **argv) {
    g_hold = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "vesk_fault_hold"));
    g_report = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "vesk_fault_report"));
    hold(1);
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const Scenario &s : kScenarios) std::printf("%s\n", s.name);
        return 0;
    }
    for (const Scenario &s : kScenarios) {
        if (argc == 2 && std::strcmp(argv[1], s.name) == 0) s.run();
    }
    std::fprintf(stderr, "usage: %s NAME | --list\n", argv[0]);
    return 64;
}
