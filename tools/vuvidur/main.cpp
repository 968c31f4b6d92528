// vuvidur: a command-line tool for Vuvidur's wire protocol and byte formats.
// Exit status: 0 success, 1 failure (one line on standard error), 2 bad usage.
#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <iostream>

#include "tool.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

const char *const kDescription =
    "vuvidur: talk Vuvidur's framed TCP and UDP protocol, and seal, open, encrypt, checksum and "
    "hex-encode "
    "bytes.\nEvery command takes --help.  Exit status: 0 success, 1 failure, 2 bad usage.";

}  // namespace

int main(int argc, char **argv) {
    CLI::App app(kDescription, "vuvidur");
    app.require_subcommand(1);
    app.footer("See vuvidur(1) or README.md for examples.");

    tool::listen_options listen;
    auto *listen_cmd = app.add_subcommand("listen",
                                          "Open a slot on HOST:PORT (port 0: any) and print every "
                                          "event as it arrives: local time, slot, what "
                                          "happened, peer, and for data the length and payload.  "
                                          "TCP listens for framed connections unless "
                                          "--raw.  Runs until interrupted (SIGINT or SIGTERM).  "
                                          "The first line names the address listened on.  "
                                          "--idle-timeout, --per-address and --strict keep "
                                          "hostile clients from holding a TCP listener's slots; "
                                          "--probes paced keeps forged probes from aiming "
                                          "replies at a third party; "
                                          "--stats prints the engine's counters.");
    listen_cmd->add_flag("--udp", listen.udp,
                         "a UDP slot (answers probes) instead of a TCP listener");
    listen_cmd->add_flag("--raw", listen.raw,
                         "accept raw byte streams instead of framed connections");
    listen_cmd->add_flag("--echo", listen.echo,
                         "send every frame (datagram, stream piece) back to its sender");
    listen_cmd->add_flag("--hex", listen.hex,
                         "print payloads as hex digits instead of escaped text");
    listen_cmd
        ->add_option("--idle-timeout", listen.idle_timeout_s,
                     "close a connection whose peer sends nothing for SECONDS (fractions allowed)")
        ->option_text("SECONDS")
        ->check(CLI::Range(0.001, 2147483.0));
    listen_cmd
        ->add_option("--per-address", listen.per_address,
                     "at most N connections from one peer address; one more is closed at once")
        ->option_text("N")
        ->check(CLI::Range(1, INT_MAX));
    listen_cmd->add_flag("--strict", listen.strict,
                         "fail a framed connection whose bytes do not start a frame where one "
                         "must, instead of skipping them (--udp: take no probe reply from an "
                         "address not probed)");
    listen_cmd
        ->add_option("--probes", listen.probes,
                     "--udp: answer every probe (all, the default), at most one a second per "
                     "source address (paced), or none")
        ->option_text("all|paced|none")
        ->check(CLI::IsMember({"all", "paced", "none"}));
    listen_cmd
        ->add_option("--stats", listen.stats_s,
                     "print the engine's counters every SECONDS (fractions allowed)")
        ->option_text("SECONDS")
        ->check(CLI::Range(0.001, 86400.0));
    listen_cmd->add_option("HOST:PORT", listen.where, "the address to listen on")->required();
    listen_cmd->footer(
        "Example:\n  vuvidur listen --echo 127.0.0.1:7000\n"
        "  12:00:01.250  slot 2  accepted  127.0.0.1:51000\n"
        "  12:00:01.251  slot 2  tcp  127.0.0.1:51000  5 bytes  hello\n"
        "Against hostile clients:\n"
        "  vuvidur listen --idle-timeout 60 --per-address 64 --strict --stats 10 0.0.0.0:7000\n"
        "  12:00:10.000  stats: in_use=3 peak=5 accepted=4 deferred=0 address_refused=0 "
        "idle_closed=1 protocol_failed=0 bytes_in=1510 bytes_out=1212 frames_in=30 frames_out=30 "
        "discarded=0 busy=0 dropped=0 probes_answered=0 replies_refused=0\n"
        "  vuvidur listen --udp --echo --probes paced 0.0.0.0:7001");

    tool::send_options send;
    auto *send_cmd = app.add_subcommand("send",
                                        "Send each MESSAGE (or else each line of standard input, "
                                        "sent as it is read) as one frame to HOST:PORT, then print "
                                        "each "
                                        "frame that comes back on a line of its own, until as many "
                                        "came back as were sent or --wait ms pass "
                                        "without one.  A connection the peer ends or breaks before "
                                        "then is a failure.  An empty message is "
                                        "sent as a keepalive frame.");
    send_cmd->add_flag("--udp", send.udp,
                       "one datagram per message instead of a framed TCP connection");
    send_cmd->add_flag("--hex", send.hex, "messages and printed replies are hex digits");
    send_cmd->add_option("--wait", send.wait_ms, "ms to wait for each reply")
        ->capture_default_str();
    send_cmd->add_option("--timeout", send.timeout_ms, "ms to wait for the connection")
        ->capture_default_str();
    send_cmd->add_option("HOST:PORT", send.where, "the peer")->required();
    send_cmd->add_option("MESSAGE", send.messages, "the frames to send, each at most 2048 bytes");
    send_cmd->footer(
        "Examples:\n  vuvidur send 127.0.0.1:7000 hello world\n"
        "  printf 'one\\ntwo\\n' | vuvidur send 127.0.0.1:7000\n"
        "  vuvidur send --udp --hex 127.0.0.1:7001 DEADBEEF");

    tool::connect_options connect;
    auto *connect_cmd = app.add_subcommand(
        "connect",
        "Connect to HOST:PORT (framed TCP) and talk: each line of standard input goes out as one "
        "frame as soon as it is read, and each frame that arrives is printed on a line of its "
        "own as it comes.  Ends when the peer closes the connection (a note on standard error), "
        "or once standard input has ended and --wait ms pass without a frame.");
    connect_cmd->add_flag("--hex", connect.hex, "lines and printed frames are hex digits");
    connect_cmd->add_option("--wait", connect.wait_ms, "ms to wait for frames after the input")
        ->capture_default_str();
    connect_cmd->add_option("--timeout", connect.timeout_ms, "ms to wait for the connection")
        ->capture_default_str();
    connect_cmd->add_option("HOST:PORT", connect.where, "the peer")->required();
    connect_cmd->footer(
        "Example:\n  vuvidur connect 127.0.0.1:7001\n  /join lobby\n  joined lobby\n  hello\n"
        "  user2: hello");
    tool::probe_options probe;
    auto *probe_cmd = app.add_subcommand(
        "probe",
        "Send UDP probes to HOST:PORT (a Vuvidur UDP slot, such as vuvidur listen --udp) and print "
        "the address "
        "and port under which the other side saw this one -- what a host behind NAT is known as -- "
        "and the "
        "round trip time.  A probe goes out every 500 ms until one is answered.");
    probe_cmd->add_option("--timeout", probe.timeout_ms, "ms to wait for an answer")
        ->capture_default_str();
    probe_cmd->add_option("HOST:PORT", probe.where, "the peer")->required();
    probe_cmd->footer(
        "Example:\n  vuvidur probe 127.0.0.1:7001\n"
        "  127.0.0.1:7001 sees this side as 127.0.0.1:40000, round trip 0.081 ms");

    tool::ping_options ping;
    auto *ping_cmd = app.add_subcommand("ping",
                                        "Round trips of framed messages against an echoing peer "
                                        "(vuvidur listen --echo): keeps --window frames "
                                        "in flight, checks every reply against its frame, and "
                                        "prints the round trip's min, median, 99th "
                                        "percentile and max and the throughput.  Shows a progress "
                                        "line when standard error is a terminal.");
    ping_cmd->add_option("--count", ping.count, "frames to send")->capture_default_str();
    ping_cmd->add_option("--size", ping.size, "payload bytes per frame, 1 to 2048")
        ->capture_default_str();
    ping_cmd->add_option("--window", ping.window, "frames in flight, 1 to 1024")
        ->capture_default_str();
    ping_cmd
        ->add_option("--timeout", ping.timeout_ms, "ms to wait for the connection and each reply")
        ->capture_default_str();
    ping_cmd->add_option("HOST:PORT", ping.where, "the echoing peer")->required();
    ping_cmd->footer("Example:\n  vuvidur ping --count 10000 --window 16 127.0.0.1:7000");

    std::vector<std::string> crc_files;
    auto *crc_cmd = app.add_subcommand("crc32",
                                       "Print the CRC-32 (the Ethernet / ZIP one) of each FILE, or "
                                       "of standard input, as 8 hex digits.");
    crc_cmd->add_option("FILE", crc_files, "files to checksum (- is standard input)");
    crc_cmd->footer("Example:\n  printf 123456789 | vuvidur crc32\n  cbf43926");

    std::string hex_mode;
    auto *hex_cmd =
        app.add_subcommand("hex",
                           "encode: standard input as upper-case hex digits (and a line end); "
                           "decode: hex digits (blanks and "
                           "line ends allowed between them, either letter case) back to bytes.");
    hex_cmd->add_option("MODE", hex_mode, "encode or decode")
        ->required()
        ->check(CLI::IsMember({"encode", "decode"}));

    std::string key;
    auto *seal_cmd = app.add_subcommand("seal",
                                        "Seal standard input into a padded TEA envelope under "
                                        "--key, to standard output (the envelope is "
                                        "the input's length + 10, rounded up to a multiple of 8).");
    seal_cmd->add_option("--key", key, "the key: 32 hex digits")->required();
    auto *open_cmd = app.add_subcommand("open",
                                        "Open an envelope from standard input under --key, to "
                                        "standard output.  A wrong key or damaged "
                                        "data is a failure, and nothing is written.");
    open_cmd->add_option("--key", key, "the key: 32 hex digits")->required();
    open_cmd->footer(
        "Example:\n  echo secret | vuvidur seal --key 000102030405060708090A0B0C0D0E0F >sealed\n"
        "  vuvidur open --key 000102030405060708090A0B0C0D0E0F <sealed");

    std::string tea_mode;
    auto *tea_cmd = app.add_subcommand("tea",
                                       "TEA buffer mode over standard input, to standard output: "
                                       "independent 8-byte blocks, the last "
                                       "length % 8 bytes XORed with the key; the output is as long "
                                       "as the input.  At most 65535 bytes.");
    tea_cmd->add_option("MODE", tea_mode, "encrypt or decrypt")
        ->required()
        ->check(CLI::IsMember({"encrypt", "decrypt"}));
    tea_cmd->add_option("--key", key, "the key: 32 hex digits")->required();

    auto *version_cmd =
        app.add_subcommand("version", "Print the tool's version and the library's.");

    std::string command = "vuvidur";
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (!app.get_subcommands().empty())
            command += " " + app.get_subcommands().front()->get_name();
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::cerr << command << ": " << e.what() << " (see " << command << " --help)\n";
        return kUsage;
    }
    command += " " + app.get_subcommands().front()->get_name();

    try {
        if (*listen_cmd) return tool::run_listen(listen);
        if (*send_cmd) return tool::run_send(send);
        if (*connect_cmd) return tool::run_connect(connect);
        if (*probe_cmd) return tool::run_probe(probe);
        if (*ping_cmd) return tool::run_ping(ping);
        if (*crc_cmd) return tool::run_crc32(crc_files);
        if (*hex_cmd) return tool::run_hex(hex_mode == "encode");
        if (*seal_cmd) return tool::run_seal(key, true);
        if (*open_cmd) return tool::run_seal(key, false);
        if (*tea_cmd) return tool::run_tea(key, tea_mode == "encrypt");
        if (*version_cmd) {
            std::printf("vuvidur %s (library %s)\n", VESK_VERSION_STRING, vesk_version());
            return 0;
        }
    } catch (const tool::usage_error &e) {
        std::cerr << command << ": " << e.what() << " (see " << command << " --help)\n";
        return kUsage;
    } catch (const std::exception &e) {  // tool::failure, vuvidur::error, and the rest
        std::cerr << command << ": " << e.what() << "\n";
        return kFailure;
    }
    return kUsage;
}
