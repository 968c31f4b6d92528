// The vuvidur command-line tool: what its commands share.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vuvidur.hpp"

namespace tool {

// A failure of the command: one line on standard error, exit status 1.
struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Bad usage found after parsing: one line on standard error, exit status 2.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using clock = std::chrono::steady_clock;
using bytes = std::vector<std::byte>;

// --- addresses and the engine (common.cpp) ---
// "HOST:PORT", HOST a dotted address or a name (IPv4).  A text that is not
// HOST:PORT, or port 0 where it is not allowed, is a usage error; a name
// that does not resolve is a failure.
vuvidur::Address resolve(const std::string &host_port, bool allow_port_zero = false);
// The address the slot's socket is bound to.
vuvidur::Address local_address(const vuvidur::Slot &slot);
// The engine tables of a client command (send, probe, ping).
vuvidur::EngineConfig client_engine();
// Opens a framed TCP connection on `channel`, waiting up to `timeout` for it.
vuvidur::Slot connect_framed(vuvidur::Channel &channel, const vuvidur::Address &to,
                             std::chrono::milliseconds timeout);
// Waits until `channel` has an event or `deadline` passes: false on time out.
bool wait_until(vuvidur::Channel &channel, clock::time_point deadline);

// The failure for a Closed or Failed event of the connection to `to` before
// all `expected` replies came; nothing for any other event.
std::optional<failure> connection_ended(const vuvidur::Event &event, const vuvidur::Address &to,
                                        std::size_t received, std::size_t expected);

// --- text and streams (common.cpp) ---
// One line on standard output, flushed at once.
void print_line(const std::string &line);
// Every byte of standard input.
bytes read_stdin();
// Writes bytes to standard output; a write error is a failure.
void write_stdout(std::span<const std::byte> data);
// A payload as one line: printable ASCII as is, the rest escaped (\n, \t,
// \r, \\, \xNN); or its hex digits.
std::string printable(std::span<const std::byte> payload, bool hex);
// Hex text with blanks allowed between digits; anything else is a failure
// naming the offending byte.
bytes parse_hex(std::string_view text, const std::string &what);
// Local wall-clock time, HH:MM:SS.mmm.
std::string time_of_day();
// Milliseconds with three decimals.
std::string millis(clock::duration d);

// --- commands ---
struct listen_options {
    std::string where;
    bool udp = false, raw = false, echo = false, hex = false;
    // Defences of a TCP listener (0: off), and the stats line's interval.
    double idle_timeout_s = 0;
    int per_address = 0;
    bool strict = false;
    double stats_s = 0;
    // UDP: which probes are answered ("all", "paced", "none").
    std::string probes = "all";
};
struct send_options {
    std::string where;
    std::vector<std::string> messages;
    bool udp = false, hex = false;
    int wait_ms = 2000, timeout_ms = 5000;
};
struct connect_options {
    std::string where;
    bool hex = false;
    int wait_ms = 2000, timeout_ms = 5000;
};
struct probe_options {
    std::string where;
    int timeout_ms = 2000;
};
struct ping_options {
    std::string where;
    int count = 100, size = 64, window = 1, timeout_ms = 5000;
};
int run_listen(const listen_options &o);  // net_commands.cpp
int run_send(const send_options &o);
int run_probe(const probe_options &o);
int run_connect(const connect_options &o);  // connect.cpp
// Standard input's lines as frames on a connected framed slot, sent as they
// are read, and each frame received printed as a line.  Ends once the input
// is over and everything queued went out, when a reply came for every
// non-empty frame (until_replies) or else wait_ms after the last frame
// received; or when the peer ends the connection (a failure for send, which
// counts replies; a note on standard error for connect).
struct stream_options {
    bool hex = false;
    int wait_ms = 2000;
    bool until_replies = false;
};
int stream_stdin(vuvidur::Channel &channel, vuvidur::Slot slot, const vuvidur::Address &to,
                 const stream_options &o);
int run_ping(const ping_options &o);                   // ping.cpp
int run_crc32(const std::vector<std::string> &files);  // byte_commands.cpp
int run_hex(bool encode);
int run_seal(const std::string &key_hex, bool seal);
int run_tea(const std::string &key_hex, bool encrypt);

}  // namespace tool
