// The portable interface to the platform, for the rest of the library.
// The exported wrappers (mutexes, semaphores, threads, sleeping, sockets,
// processes) are declared in vuvidur.h; this header adds what the library
// needs internally.  Each backend (posix/, win32/) implements all of it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vuvidur.h"

namespace os {

// Writes `text` to the debug-output channel (OutputDebugStringA on Windows;
// on POSIX the channel that VESK_DEBUG_OUTPUT names, or nowhere).
void debug_output(const char *text);

// The size of a vesk_mutex_cell on every backend (one word); each backend
// checks it against its own definition.
constexpr size_t kMutexCellSize = sizeof(void *);

// Builds a mutex cell in `storage` (kMutexCellSize bytes, pointer-
// aligned, owned by the caller) for the library's own short critical
// sections, and returns it.  vesk_mutex_lock, vesk_mutex_unlock and
// vesk_mutex_destroy work on it as on any cell.  Unlike vesk_mutex_create's
// mutex it need not be recursive nor survive an owner that dies holding it,
// so a backend may use a cheaper lock (POSIX: a plain adaptive mutex, which
// spins briefly before sleeping).  NULL when no mutex could be made (the
// cell in `storage` then holds none: destroying it does nothing); callers
// fail or end the process by the out-of-memory policy, never run unlocked.
vesk_mutex_cell *mutex_init_plain(void *storage);

// Takes the cell's mutex if no thread holds it, without waiting: 0 when the
// caller now holds it (also when its previous owner died holding it: the
// mutex is handed over as vesk_mutex_lock hands it), -1 when another thread
// holds it or the cell holds no mutex.
int mutex_trylock(vesk_mutex_cell *cell);

// One step of a busy wait: the processor's spin-wait hint where it has one
// (x86 pause, Arm yield), which frees execution resources for a sibling
// hardware thread and lets the core notice the end of the wait without a
// penalty; nothing elsewhere.  Never enters the kernel.
void cpu_relax();

// Switches a socket to non-blocking mode: 0, or -1 on failure.
int set_nonblocking(vesk_socket_t s);

// ---------------------------------------------------------------------------
// Sockets for the socket engine.
//
// The engine itself is portable; everything below is what differs between
// POSIX and Windows.  Results follow the socket layer: 0 (or a count / a
// socket) on success, -1 on failure with the reason in socket_last_error.
// The engine closes the sockets that slots still hold with vesk_socket_close
// before it calls vesk_socket_cleanup, on every platform.

// IPv4 socket constants.  Both targets use these values; each backend checks
// them against its own headers.  A socket address is the platform's 16-byte
// struct sockaddr_in, which has the same layout on both: family (16 bits,
// host order), port (network order), address (network order), 8 zero bytes.
constexpr int kAfInet = 2;       // AF_INET
constexpr int kSockStream = 1;   // SOCK_STREAM
constexpr int kSockDgram = 2;    // SOCK_DGRAM
constexpr int kIpprotoTcp = 6;   // IPPROTO_TCP
constexpr int kIpprotoUdp = 17;  // IPPROTO_UDP
constexpr int kSockaddrInSize = 16;

// Readiness of registered sockets, for the engine's I/O thread.  A socket is
// registered under a key of the caller's with the readiness it wants; a
// registration changes only when the caller changes it, so a wait costs
// nothing for sockets that are not ready (epoll on Linux, an I/O completion
// port on Windows).  Readiness is level-triggered: a socket that stays ready
// is reported by every wait.  Another thread may wake a wait at any time.
struct Poller;

enum : unsigned {
    kPollRead = 1u,     // readable; also set when a read-interested socket has
                        // hung up or failed, so that the receive reports it
    kPollWrite = 2u,    // writable (for a connecting socket: the connect ended);
                        // also set for a write-interested socket that failed
    kPollError = 4u,    // an error is pending (a failed connect, a reset);
                        // only watched and reported when asked for, which
                        // the engine does while connecting
    kPollTake = 8u,     // with kPollRead, for a connected stream: the poller
                        // may receive its bytes itself (where the system tells
                        // of a completed receive rather than of readiness), and
                        // the caller then takes them with poller_take; never
                        // reported
    kPollAccept = 16u,  // for a listener, registered while it is open (with
                        // kPollRead while the caller accepts): the poller may
                        // accept its connections ahead, on a thread of its
                        // own (where an accept costs the waiting thread much),
                        // and the caller then takes them with poller_accept;
                        // never reported
};

struct PollEvent {
    int key;
    unsigned ready;  // kPoll* bits, a subset of the registered interest
};

// A poller for up to `capacity` registered sockets (capacity >= 1), with
// keys from 1 to capacity and from -capacity to -1; NULL on failure.
Poller *poller_create(int capacity);
// Releases the poller (NULL: nothing).  Registered sockets stay open.
void poller_destroy(Poller *poller);
// Changes what socket `s`, registered under `key`, is watched for, from
// `old_interest` (0: not registered) to `interest` (0: unregister).  A socket
// should be unregistered before it is closed (a socket closed while
// registered is forgotten when the poller is destroyed).  0, or -1 on failure.
int poller_set(Poller *poller, vesk_socket_t s, int key, unsigned old_interest, unsigned interest);
// Waits up to `timeout_ms` milliseconds (-1: no limit) until a registered
// socket is ready or poller_wake is called, and stores up to `max` ready
// sockets in `events`.  Their number; 0 on timeout or wake-up; -1 on error
// (EINTR included, and a failed read of the wake-up: the next wait fails
// again until it succeeds, so the caller must not retry in a busy loop).
// On Windows a timeout of 0 returns 0 without looking: there a look costs as
// much as a wait.
int poller_wait(Poller *poller, int timeout_ms, PollEvent *events, int max);
// Makes the current or the next poller_wait return; any thread may call it.
void poller_wake(Poller *poller);
// For a socket registered with kPollTake and reported readable: copies up to
// `size` bytes that the poller received for it into `buf` and returns how many;
// 0 once the peer has ended the stream; -1 when the receive failed or nothing
// is there yet (socket_last_error tells which, as for a receive); -2 when the
// poller receives nothing itself for this socket (on Linux, always): the caller
// receives from the socket.  On the thread that waits.
int poller_take(Poller *poller, int key, void *buf, int size);
// For a listener registered with kPollAccept and reported readable: 1 with
// `*accepted` a connection the poller accepted for it (non-blocking, no-delay
// set) and its peer's address in `addr` (as accept gives it); 0 when none is
// there (socket_last_error says why: would block, or why an accept failed);
// -2 when the poller accepts nothing itself for this socket (on Linux,
// always): the caller accepts.  The connection may be tied to the poller
// already (Windows: to its port), which saves its registration a system call
// when that registration is the caller's next call to the poller.  On the
// thread that waits.
int poller_accept(Poller *poller, int key, vesk_socket_t *accepted, struct sockaddr *addr,
                  int *addrlen);

// Sleeps while `*word` equals `expected`, for at most `timeout_ms`
// milliseconds (-1: no limit), until wake_word(word) is called.  May also
// return early for no reason: callers look again.  Any thread may wait or wake.
void wait_on_word(const std::atomic<uint32_t> *word, uint32_t expected, int timeout_ms);
// Wakes every thread sleeping in wait_on_word on `word`.
void wake_word(const std::atomic<uint32_t> *word);
// How soon after a thread began to look again for work (net/net_internal.h)
// the work must have come for that thread's looks to be kept, in
// microseconds: about what a sleep and its wake-up cost here.  Linux: 100
// (a wake-up costs 20 to 40 us in a virtual machine, and a round trip that
// holds two of them comes within 100).  Windows: 1000 (under Wine a wake-up
// is a request to the Wine server, and a round trip takes 300 to 600 us;
// threads that kept looking answered it in 440 to 490 us, against 650 to
// 700 when their looks were dropped).
int look_again_worth_us(void);
// How long a thread waiting on a channel (vesk_net_channel_wait) looks again
// for events after its last one before it sleeps, in microseconds: about a
// message's round trip here, so that the answer to what it has just sent
// comes within the look.  Linux: 100 (net/net_internal.h).  Windows: 500
// (under Wine a round trip takes 300 to 600 us; with 100 us looks the reader
// slept before nearly every answer, and one connection's round trip took
// 450 to 550 us against 290 to 320 with 500 us looks).
int channel_look_us(void);

// Sends `count` pieces (at most kMaxPieces) in order with one call
// (sendmsg on POSIX, without SIGPIPE; WSASend on Windows): the bytes sent,
// which may end inside any piece, or -1 with the reason in socket_last_error.
struct Piece {
    const void *data;
    int length;
};
constexpr int kMaxPieces = 1024;
int socket_send_pieces(vesk_socket_t s, const Piece *pieces, int count);

// One datagram of a batch: its bytes and its IPv4 socket address (the
// sender's when received, the destination when sent).
struct Datagram {
    void *data;
    int length;  // receiving: the room at `data`, then the bytes received
    unsigned char address[kSockaddrInSize];
};
constexpr int kMaxDatagrams = 64;
// Receives up to `count` (at most kMaxDatagrams) datagrams waiting on `s`,
// without waiting for any, with one call where the system has one
// (recvmmsg): how many, each datagram's length and sender filled in; a
// datagram longer than its room is cut to it and its length says the room.
// -1 when none was received, with the reason (would block when none was
// waiting) in socket_last_error.
int socket_receive_datagrams(vesk_socket_t s, Datagram *batch, int count);
// Sends `count` (at most kMaxDatagrams) datagrams, each to its address, with
// one call where the system has one (sendmmsg): how many went out, from the
// first; -1 when the first could not, with the reason in socket_last_error.
int socket_send_datagrams(vesk_socket_t s, const Datagram *batch, int count);

// listen(s, backlog): 0 or -1.
int socket_listen(vesk_socket_t s, int backlog);
// The largest listen backlog the system takes (SOMAXCONN).
int listen_backlog_largest(void);
// setsockopt TCP_NODELAY = 1 (frames go out at once, never held back for an
// acknowledgement): 0 or -1.
int socket_set_no_delay(vesk_socket_t s);
// accept(s, addr, addrlen): the new socket, or VESK_INVALID_SOCKET.  The new
// socket's blocking mode is whatever the platform gives it (POSIX: blocking,
// whatever the listener's); callers set it themselves.
vesk_socket_t socket_accept(vesk_socket_t s, struct sockaddr *addr, int *addrlen);
// socket_accept from a non-blocking listener, the new socket non-blocking
// too: made so in the same call (POSIX: accept4), or inheriting the
// listener's mode (Windows).  The socket, or VESK_INVALID_SOCKET when nothing
// was accepted (the last error says why).
vesk_socket_t socket_accept_nonblocking(vesk_socket_t s, struct sockaddr *addr, int *addrlen);
// connect(s, addr, addrlen): 0 connected, -1 failed or not finished yet
// (socket_error_in_progress tells which).
int socket_connect(vesk_socket_t s, const struct sockaddr *addr, int addrlen);
// getpeername(s, addr, addrlen): 0 or -1.
int socket_peer_name(vesk_socket_t s, struct sockaddr *addr, int *addrlen);
// setsockopt SO_REUSEADDR = 1 at socket level: 0 or -1.
int socket_set_reuse_address(vesk_socket_t s);
// Makes a UDP socket ignore the system's reports that an earlier datagram
// could not be delivered (Windows reports an ICMP "port unreachable" as a
// failure of the socket's next receive; SIO_UDP_CONNRESET off), so that no
// stranger naming an unreachable address can make its receives fail.  0, or
// -1 (the socket works either way).  POSIX: nothing to do (an unconnected
// socket is not told).
int socket_ignore_unreachable(vesk_socket_t s);
// setsockopt SO_RCVBUF = bytes, then the size the system gives (getsockopt;
// Linux doubles the request for its own bookkeeping and caps it at
// net.core.rmem_max), or -1.
int socket_set_receive_buffer(vesk_socket_t s, int bytes);
// getsockopt SO_ERROR: the error pending on the socket (0 none), which clears
// it.  The outcome of a non-blocking connect once the socket is reported
// writable or in error: 0 connected, anything else failed.  When the option
// cannot be read, the error of that failure.
int socket_pending_error(vesk_socket_t s);
// The error of the calling thread's last failed socket call (errno on POSIX,
// WSAGetLastError on Windows).
int socket_last_error(void);
// Whether an error means "nothing can be done now, try later" for a send or
// receive on a non-blocking socket (EAGAIN / EWOULDBLOCK; WSAEWOULDBLOCK).
bool socket_error_would_block(int error);
// Whether an error from socket_connect means that a non-blocking connect
// has started and will finish later (EINPROGRESS; WSAEWOULDBLOCK).
bool socket_error_in_progress(int error);

// Puts standard input into binary mode, so that a CGI request body arrives
// byte for byte (Windows would otherwise translate CR LF and stop at ^Z).
// Nothing to do where streams are always binary.
void stdin_binary_mode(void);

// ---------------------------------------------------------------------------
// Message authentication from the platform's cryptographic library.

// HMAC-SHA-256 under `key` (`key_size` bytes) of the bytes of `pieces`
// (`count` of them, taken one after another) into `mac` (32 bytes).  true
// when computed; false when the platform's implementation failed (out of
// memory, or no provider), and then `mac` holds nothing of use.  Linux:
// libcrypto (OpenSSL 3); Windows: BCrypt.  Any thread may call it at once;
// nothing of the key is left behind in the library's memory afterwards.
constexpr size_t kHmacSha256Size = 32;
bool hmac_sha256(const uint8_t *key, size_t key_size, const Piece *pieces, int count,
                 uint8_t mac[kHmacSha256Size]);

// ---------------------------------------------------------------------------
// The executable's directory (settings file) and the timer thread's guard.

// Writes the full path of the calling process's executable file into
// `buffer` (`size` bytes, terminator included) and returns its length (> 0).
// Returns 0, with the empty string in the buffer, when the path cannot be
// obtained or does not fit in `size` bytes (never a truncated path).
// POSIX: /proc/self/exe; Windows: GetModuleFileNameA of the main module.
int module_path(char *buffer, size_t size);

// The directory taken for the executable's own when its path has no usable
// separator: "/" on POSIX, "C:\" on Windows.
const char *fallback_directory(void);

// Opens `path` for reading in text mode if it names a regular file (a link
// to one included): the stream, which the caller closes, or NULL when it
// cannot be opened or is anything else -- a directory, a FIFO, a device.
// The type is checked on the opened file itself, so nothing swapped in after
// a check can slip through, and the open never waits: a FIFO without a
// writer is refused at once.
std::FILE *open_regular_file(const char *path);

// Runs body(arg) and returns its result.  When a fault escapes body -- any
// C++ exception, and where the platform allows, faults such as invalid memory
// accesses (structured exceptions on Windows) -- calls on_fault(), which ends
// the process and does not return.  The platform's own thread-ending
// mechanisms (forced termination, vesk_thread_exit) pass through untouched.
uint32_t run_guarded(uint32_t (*body)(void *), void *arg, void (*on_fault)(void));

}  // namespace os
