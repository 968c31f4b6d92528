// The vuvidur tool run as a user runs it: against itself, against the
// library's own engine and against plain sockets that misbehave, on
// loopback, each run bounded in time.
// test-platform: POSIX
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../net/net_test_util.h"
#include "vuvidur.hpp"

namespace vv = vuvidur;
using namespace std::chrono_literals;

namespace {

struct Result {
    int status = -1;  // exit status; -1 when killed for taking too long
    std::string out, err;
};

pid_t spawn(const std::vector<std::string> &args, int in_fd, int out_fd, int err_fd) {
    std::vector<char *> argv{const_cast<char *>(VESK_TOOL)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        if (err_fd >= 0) dup2(err_fd, 2);
        execv(VESK_TOOL, argv.data());
        _exit(127);
    }
    return pid;
}

// Runs the tool to its end (at most `timeout`), feeding `input`.
Result run(const std::vector<std::string> &args, const std::string &input = "",
           std::chrono::milliseconds timeout = 20s) {
    signal(SIGPIPE, SIG_IGN);  // a tool that exits before reading its input
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = spawn(args, in[0], out[1], err[1]);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    for (std::size_t at = 0; at < input.size();) {
        const ssize_t n = write(in[1], input.data() + at, input.size() - at);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
    }
    close(in[1]);
    Result r;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    for (int open = 2; open > 0 && std::chrono::steady_clock::now() < deadline;) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[65536];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    if (std::chrono::steady_clock::now() >= deadline) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A tool that runs in the background (listen).  Its output is drained all
// the time, as a terminal would, so that it never blocks on a full pipe.
class Background {
public:
    explicit Background(const std::vector<std::string> &args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        const int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        pid_ = spawn(args, null_in, out[1], -1);
        close(null_in);
        close(out[1]);
        reader_ = std::thread([this, fd = out[0]] {
            char buf[4096];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
                std::lock_guard<std::mutex> lock(mutex_);
                output_.append(buf, static_cast<std::size_t>(n));
                arrived_.notify_all();
            }
            close(fd);
        });
    }
    ~Background() {
        if (pid_ > 0) stop();
    }
    // The next line, waiting up to 5 s; "" when none came.
    std::string line() {
        std::unique_lock<std::mutex> lock(mutex_);
        std::size_t nl = std::string::npos;
        arrived_.wait_for(lock, 5s,
                          [&] { return (nl = output_.find('\n', read_)) != std::string::npos; });
        if (nl == std::string::npos) return "";
        std::string l = output_.substr(read_, nl - read_);
        read_ = nl + 1;
        return l;
    }
    // The address of the first line, "listening on 127.0.0.1:PORT (...)".
    const std::string &address() {
        if (address_.empty()) {
            std::smatch m;
            const std::string first = line();
            EXPECT_TRUE(
                std::regex_search(first, m, std::regex("listening on (127\\.0\\.0\\.1:[0-9]+) ")))
                << first;
            address_ = m.empty() ? "127.0.0.1:1" : m[1].str();
        }
        return address_;
    }
    // SIGTERM, then the exit status.
    int stop() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        reader_.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::string output_, address_;
    std::size_t read_ = 0;
};

// A TCP socket bound to a free loopback port, and that port's address.
std::pair<int, std::string> loopback_socket() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return {fd, "127.0.0.1:" + std::to_string(ntohs(a.sin_port))};
}

// A loopback port that nothing listens on (TCP and UDP).
std::string unused_address() {
    const auto [fd, where] = loopback_socket();
    close(fd);
    return where;
}

vv::Address port_of(const vv::Slot &slot) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(slot.socket(), reinterpret_cast<sockaddr *>(&a), &len);
    return vv::Address::loopback(ntohs(a.sin_port));
}

// The tool with both its standard input and output in pipes, for talking to
// it line by line the way a user at a terminal does.
class Interactive {
public:
    explicit Interactive(const std::vector<std::string> &args) {
        signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = spawn(args, in[0], out[1], out[1]);  // standard error mixed in
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Interactive() {
        if (in_ >= 0) close(in_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }
    void type(const std::string &text) { (void)!write(in_, text.data(), text.size()); }
    // The next line of output within 5 s ("" when none came).
    std::string line() {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        std::size_t nl;
        while ((nl = output_.find('\n')) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) break;
            output_.append(buf, static_cast<std::size_t>(n));
        }
        if (nl == std::string::npos) return "";
        std::string l = output_.substr(0, nl);
        output_.erase(0, nl + 1);
        return l;
    }
    // Ends standard input; the exit status (-1 when it took over 10 s).
    int finish() {
        close(in_);
        in_ = -1;
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string output_;
};

void listen_on(int fd) {
    listen(fd, 4);
    const timeval patience{10, 0};  // accept gives up rather than hang the test
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
}

bool one_line(const std::string &text) {
    return !text.empty() && text.find('\n') == text.size() - 1;
}

// A plain client connected to 127.0.0.1:PORT; its reads give up after 3 s.
int connect_plain(const std::string &where) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval patience{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    connect(fd, vv::detail::socket_address(*vv::Address::parse(where)).get(), sizeof(sockaddr_in));
    return fd;
}

// Sends `bytes`, then what one read brings: "" when the peer ended the
// connection, "(silence)" after 3 s of nothing.
std::string reply(int fd, const std::string &bytes = "") {
    (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return "(silence)";
    return std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
}

}  // namespace

TEST(Tool, ListenEchoesWhatSendSendsAndPrintsEachEvent) {
    Background listen({"listen", "--echo", "127.0.0.1:0"});
    const std::string where = listen.address();
    Result r = run({"send", where, "hello", "two words"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "hello\ntwo words\n");
    EXPECT_TRUE(std::regex_match(
        listen.line(),
        std::regex(R"(\d\d:\d\d:\d\d\.\d{3}  slot \d+  accepted  127\.0\.0\.1:\d+)")));
    EXPECT_TRUE(std::regex_search(listen.line(),
                                  std::regex(R"(  tcp  127\.0\.0\.1:\d+  5 bytes  hello$)")));
    EXPECT_TRUE(std::regex_search(listen.line(), std::regex(R"(  9 bytes  two words$)")));
    EXPECT_TRUE(std::regex_search(listen.line(), std::regex(R"(  closed  127\.0\.0\.1:\d+$)")));

    r = run({"send", "--hex", where}, "00FF7F\n0a\n");  // lines of standard input
    EXPECT_EQ(r.out, "00FF7F\n0A\n") << r.err;
    listen.line();
    EXPECT_TRUE(std::regex_search(listen.line(), std::regex(R"(  3 bytes  \\x00\\xFF\\x7F$)")));
    EXPECT_EQ(listen.stop(), 0);
}

TEST(Tool, UdpListenEchoesDatagramsAndAnswersProbes) {
    Background listen({"listen", "--udp", "--echo", "--stats", "0.05", "127.0.0.1:0"});
    const std::string where = listen.address();
    // A datagram from port 0 cannot be echoed: dropped, counted, and the
    // listener goes on.
    const auto to = vv::Address::parse(where);
    sockaddr_in raw_to = nettest::loopback(to->port);
    if (!nettest::send_from_port_zero(raw_to, nettest::wire_frame({'z'})))
        GTEST_SKIP() << "no raw sockets here";
    Result r = run({"send", "--udp", where, "datagram"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "datagram\n");
    std::string stats = listen.line();
    while (!stats.empty() && stats.find("frames_in=1 ") == stats.npos) stats = listen.line();
    EXPECT_NE(stats.find(" dropped=1 "), stats.npos) << stats;
    r = run({"probe", where});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_match(
        r.out,
        std::regex(where + R"( sees this side as 127\.0\.0\.1:\d+, round trip \d+\.\d{3} ms\n)")))
        << r.out;
}

TEST(Tool, PingChecksEveryReplyAndReportsQuantilesAndThroughput) {
    Background listen({"listen", "--echo", "127.0.0.1:0"});
    const std::string where = listen.address();
    const Result r = run({"ping", "--count", "300", "--size", "2048", "--window", "16", where});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("300 frames of 2048 bytes, window 16\n"
                          "round trip: min [0-9.]+ ms, median [0-9.]+ ms, p99 [0-9.]+ ms, "
                          "max [0-9.]+ ms\nthroughput: [0-9]+ frames/s")))
        << r.out;
    EXPECT_EQ(r.err, "");  // no progress line when standard error is not a terminal
}

TEST(Tool, TalksToTheLibrarysOwnEngine) {
    // An engine server that answers each frame reversed, and an engine
    // client that sends to the tool's listener.
    vv::Engine engine;
    vv::Channel ch(engine);
    auto listener = vv::Slot::open(vv::SlotType::tcp_listen_framed, vv::Address::loopback());
    listener.attach(ch);
    std::atomic<bool> done{false};
    std::thread server([&] {
        std::vector<vv::Slot> served;
        while (!done) {
            if (!ch.wait(50ms)) continue;
            ch.read_many([&](const vv::Event &e) {
                if (const auto *a = std::get_if<vv::Accepted>(&e))
                    served.push_back(vv::Slot::adopt(a->slot));
                if (const auto *d = std::get_if<vv::TcpData>(&e)) {
                    std::vector<std::byte> reversed(d->payload.rbegin(), d->payload.rend());
                    for (auto &s : served)
                        if (s.number() == d->slot) s.send(reversed);
                }
            });
        }
    });
    const Result r = run({"send", port_of(listener).to_string(), "abc", "hello"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "cba\nolleh\n");
    done = true;
    server.join();

    Background listen({"listen", "--hex", "127.0.0.1:0"});
    const auto to = vv::Address::parse(listen.address());
    vv::Channel client_ch(engine);
    auto client = vv::Slot::open(vv::SlotType::tcp_connect);
    client.attach(client_ch);
    if (!client.connect(*to)) {
        ASSERT_TRUE(client_ch.wait(3000ms));
        ASSERT_TRUE(std::get<vv::Connected>(*client_ch.read()).ok);
    }
    const std::byte binary[] = {std::byte{0}, std::byte{0xFE}, std::byte{0x0A}};
    client.send(binary);
    listen.line();  // accepted
    EXPECT_TRUE(std::regex_search(
        listen.line(), std::regex("  tcp  " + port_of(client).to_string() + "  3 bytes  00FE0A$")));
}

TEST(Tool, PeerThatClosesMidFrameIsOneLineAndStatusOne) {
    // A plain server that answers with half a frame and closes.
    const auto [fd, where] = loopback_socket();
    listen(fd, 4);
    const timeval patience{
        10, 0};  // accept gives up, so that a tool that never came cannot hang the test
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::thread server([fd = fd] {
        for (int i = 0; i < 2; ++i) {
            const int c = accept(fd, nullptr, nullptr);
            char buf[4096];
            (void)!read(c, buf, sizeof buf);  // the first frame, whole (unread bytes would reset)
            (void)!write(c, "\xFE\x05\x00he", 5);
            close(c);
        }
    });
    const Result s = run({"send", where, "hello"});
    const Result p = run({"ping", "--count", "5", where});
    server.join();
    close(fd);
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.err, "vuvidur send: connection closed by " + where + " after 0 of 1 replies\n");
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.err, "vuvidur ping: connection closed by " + where + " after 0 of 5 replies\n");
}

// listen's defences: a third connection from one address is closed at once
// while the other two are served, bytes that start no frame and silence each
// end a connection, and the stats line counts each.
TEST(Tool, ListenEndsGreedyGarbledAndIdleClientsAndCountsThem) {
    Background listen({"listen", "--echo", "--per-address", "2", "--strict", "--idle-timeout",
                       "0.5", "--stats", "0.2", "127.0.0.1:0"});
    const std::string where = listen.address(), frame("\xFE\x02\0hi", 5);
    const auto start = std::chrono::steady_clock::now();
    const int silent = connect_plain(where), first = connect_plain(where);
    EXPECT_EQ(reply(first, frame), frame);
    const int third = connect_plain(where);
    EXPECT_EQ(reply(third), "") << "a third connection from 127.0.0.1";
    EXPECT_EQ(reply(first, frame), frame) << "the first is still served";
    EXPECT_EQ(reply(first, "garbage"), "") << "bytes where a frame must start";
    EXPECT_EQ(reply(silent), "") << "idle for 0.5 s";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);
    std::string stats = listen.line();  // once both are gone
    while (!stats.empty() && stats.find("stats: in_use=1 ") == stats.npos) stats = listen.line();
    EXPECT_TRUE(std::regex_match(
        stats,
        std::regex(R"(\d\d:\d\d:\d\d\.\d{3}  stats: in_use=1 peak=\d+ accepted=2 deferred=0 )"
                   R"(address_refused=1 idle_closed=1 protocol_failed=1 bytes_in=\d+ bytes_out=10 )"
                   R"(frames_in=2 frames_out=2 discarded=0 busy=0 dropped=0 probes_answered=0 )"
                   R"(replies_refused=0)")))
        << stats;
    for (const int fd : {silent, first, third}) close(fd);
}

TEST(Tool, UnreachableAndSilentPeersFailWithOneLine) {
    const std::string nobody = unused_address();
    Result r = run({"send", nobody, "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vuvidur send: cannot connect to " + nobody + ": Connection refused\n");
    r = run({"ping", nobody});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(one_line(r.err)) << r.err;
    r = run({"probe", "--timeout", "300", nobody});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vuvidur probe: no probe reply from " + nobody + " within 300 ms\n");

    Background quiet({"listen", "127.0.0.1:0"});  // receives, never echoes
    r = run({"ping", "--timeout", "300", quiet.address()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        std::regex_match(r.err, std::regex("vuvidur ping: no reply from .* within 300 ms .*\n")))
        << r.err;
    r = run({"listen", quiet.address()});  // the address is taken
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(one_line(r.err)) << r.err;
}

TEST(Tool, BadUsageIsStatusTwoWithOneLineAndHelpIsStatusZero) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                           // no command
        {"frobnicate"},                               // unknown command
        {"listen"},                                   // missing address
        {"listen", "--udp", "--raw", "127.0.0.1:0"},  // exclusive flags
        {"listen", "--stats", "0", "127.0.0.1:0"},    // an interval of nothing
        {"send", "7000", "x"},                        // not HOST:PORT
        {"send", "127.0.0.1:0", "x"},                 // port 0 to send to
        {"ping", "--size", "2049", "127.0.0.1:7"},    // above a frame's payload
        {"ping", "--count", "many", "127.0.0.1:7"},   // not a number
        {"seal"},                                     // no key
        {"open", "--key", "0011"},                    // a key too short
        {"listen", "--raw", "--strict", "127.0.0.1:0"},
        {"listen", "--probes", "paced", "127.0.0.1:0"},  // a UDP setting on TCP
        {"tea", "sideways", "--key", "000102030405060708090A0B0C0D0E0F"},
    };
    for (const auto &args : bad) {
        const Result r = run(args);
        const std::string shown =
            args.empty() ? "(none)" : args[0] + (args.size() > 1 ? " " + args[1] : "");
        EXPECT_EQ(r.status, 2) << shown << ": " << r.err;
        EXPECT_TRUE(one_line(r.err) && r.err.rfind("vuvidur", 0) == 0) << shown << ": " << r.err;
    }
    for (const char *command :
         {"listen", "send", "connect", "probe", "ping", "crc32", "hex", "seal", "open", "tea"}) {
        const Result r = run({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find(std::string("Usage: vuvidur ") + command), std::string::npos) << r.out;
    }
    EXPECT_EQ(run({"version"}).out, std::string("vuvidur ") + VESK_VERSION_STRING + " (library " +
                                        vesk_version() + ")\n");
}

TEST(Tool, Crc32HexAndTeaAgainstKnownValuesAndTheLibrary) {
    EXPECT_EQ(run({"crc32"}, "123456789").out, "cbf43926\n");
    const std::string file = testing::TempDir() + "tool_crc32_" + std::to_string(getpid());
    std::ofstream(file) << "123456789";
    Result r = run({"crc32", file, file + ".missing"});
    std::remove(file.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "cbf43926  " + file + "\n");
    EXPECT_EQ(r.err,
              "vuvidur crc32: cannot read " + file + ".missing: No such file or directory\n");

    EXPECT_EQ(run({"hex", "encode"}, std::string("\xDE\xAD\x01", 3)).out, "DEAD01\n");
    EXPECT_EQ(run({"hex", "decode"}, "de ad\n01\n").out, std::string("\xDE\xAD\x01", 3));
    r = run({"hex", "decode"}, "DE AX");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vuvidur hex: standard input: byte 4 ('X') is not a hex digit\n");

    const std::string key = "000102030405060708090A0B0C0D0E0F";
    const std::string plain = "thirteen byte";
    EXPECT_EQ(run({"tea", "encrypt", "--key", key}, plain).out,
              vv::as_text(vv::tea_encrypt(vv::key_from_hex(key), vv::as_bytes(plain))));
    r = run({"tea", "encrypt", "--key", key}, std::string(65536, 'x'));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "vuvidur tea: input of 65536 bytes is longer than the 65535 bytes that TEA buffer "
              "mode takes\n");
    EXPECT_EQ(r.out, "");
}

TEST(Tool, SealAndOpenRoundTripWithTheLibraryAndRefuseWrongKeys) {
    const std::string key = "000102030405060708090A0B0C0D0E0F";
    std::string data(1000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    const Result sealed = run({"seal", "--key", key}, data);
    ASSERT_EQ(sealed.status, 0) << sealed.err;
    EXPECT_EQ(sealed.out.size(), std::size_t{VESK_ENVELOPE_SIZE(1000)});
    const vv::Envelope library(vv::key_from_hex(key));
    EXPECT_EQ(vv::as_text(library.open(vv::as_bytes(sealed.out))), data);
    EXPECT_EQ(run({"open", "--key", key}, sealed.out).out, data);
    EXPECT_EQ(run({"open", "--key", key},
                  std::string(vv::as_text(library.seal(vv::as_bytes("from the library")))))
                  .out,
              "from the library");

    Result r = run({"open", "--key", "FF" + key.substr(2)}, sealed.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "vuvidur open: cannot open: wrong key or damaged data (VESK_ENVELOPE_NOT_ZERO)\n");
    r = run({"open", "--key", key}, "twelve bytes");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(one_line(r.err) && r.err.find("not an envelope") != std::string::npos) << r.err;
}

// connect and send talk through pipes the way a terminal does: each line
// goes out when it is typed, and what comes back is printed while standard
// input is still open.
TEST(Tool, ConnectAndSendTalkLineByLineThroughAPipe) {
    Background listen({"listen", "--echo", "127.0.0.1:0"});
    const std::string where = listen.address();
    {
        Interactive connect({"connect", "--wait", "200", where});
        connect.type("hello\n");
        EXPECT_EQ(connect.line(), "hello") << "printed while the input is still open";
        connect.type("second line\n");
        EXPECT_EQ(connect.line(), "second line");
        EXPECT_EQ(connect.finish(), 0);
    }
    {
        Interactive hex({"connect", "--hex", "--wait", "200", where});
        hex.type("00 fe 0a\n");
        EXPECT_EQ(hex.line(), "00FE0A");
        hex.type("zz\n");
        EXPECT_NE(hex.line().find("vuvidur connect: "), std::string::npos) << "not hex";
        EXPECT_EQ(hex.finish(), 1);
    }
    {
        Interactive send({"send", where});
        send.type("streamed\n");
        EXPECT_EQ(send.line(), "streamed") << "sent before the input ended";
        send.type("\nlast\n");  // an empty line: a keepalive, no reply due
        EXPECT_EQ(send.line(), "last");
        EXPECT_EQ(send.finish(), 0);
    }
    // A peer that closes ends connect with a note, not a failure.
    const auto [fd, closing] = loopback_socket();
    listen_on(fd);
    std::thread server([fd = fd] {
        const int c = accept(fd, nullptr, nullptr);
        (void)!write(c,
                     "\xFE\x03\x00"
                     "bye",
                     6);
        close(c);
    });
    Interactive connect({"connect", closing});
    EXPECT_EQ(connect.line(), "bye");
    EXPECT_EQ(connect.line(), "vuvidur connect: connection closed by " + closing);
    server.join();
    close(fd);
    EXPECT_EQ(connect.finish(), 0);
}

TEST(Tool, Ipv6AddressesAreRefusedWithAClearMessage) {
    for (const char *where : {"[::1]:7000", "::1:7000"}) {
        const Result r = run({"send", where, "x"});
        EXPECT_EQ(r.status, 2) << where;
        EXPECT_NE(r.err.find("IPv6 is not supported"), std::string::npos) << r.err;
    }
    const Result r = run({"connect", "localhost:1"});  // a name resolves; nobody listens there
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot connect to 127.0.0.1:1"), std::string::npos) << r.err;
}
