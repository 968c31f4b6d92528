// vuvidur listen, send and probe: an engine slot driven through the C++ face.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <map>

#include "tool.h"

namespace tool {
namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

// SIGINT and SIGTERM end listen's loop; the loop looks at least every 200 ms.
void stop_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void print_line(const std::string &line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// One event as listen prints it: time, slot, what, peer[, length, payload].
std::string describe(int slot, const char *what, const vuvidur::Address *peer) {
    std::string line = time_of_day() + "  slot " + std::to_string(slot) + "  " + what;
    if (peer) line += "  " + peer->to_string();
    return line;
}

std::string describe_data(int slot, const char *what, const vuvidur::Address &peer,
                          std::span<const std::byte> payload, bool hex) {
    return describe(slot, what, &peer) + "  " + std::to_string(payload.size()) + " bytes  " +
           printable(payload, hex);
}

// Messages to send: the arguments, or else each line of standard input.
std::vector<bytes> messages_of(const send_options &o) {
    std::vector<std::string> texts = o.messages;
    if (texts.empty()) {
        std::string line;
        while (std::getline(std::cin, line)) texts.push_back(line);
    }
    std::vector<bytes> frames;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string what = "message " + std::to_string(i + 1);
        bytes b =
            o.hex ? parse_hex(texts[i], what)
                  : bytes(vuvidur::as_bytes(texts[i]).begin(), vuvidur::as_bytes(texts[i]).end());
        if (b.size() > VESK_NET_MAX_DATA)
            throw failure(what + " is " + std::to_string(b.size()) +
                          " bytes; a frame holds at most " + std::to_string(VESK_NET_MAX_DATA));
        frames.push_back(std::move(b));
    }
    return frames;
}

}  // namespace

int run_listen(const listen_options &o) {
    if (o.udp && o.raw) throw usage_error("--udp and --raw exclude each other");
    const vuvidur::Address where = resolve(o.where, true);
    vuvidur::EngineConfig config;
    config.slots = 1024;
    config.channels = 1;
    config.ring_size = 1 << 20;
    vuvidur::Engine engine(config);
    vuvidur::Channel channel(engine);
    const auto type = o.udp   ? vuvidur::SlotType::udp_answer
                      : o.raw ? vuvidur::SlotType::tcp_listen_stream
                              : vuvidur::SlotType::tcp_listen_framed;
    vuvidur::Slot listener;
    try {
        listener = vuvidur::Slot::open(type, where);
    } catch (const vuvidur::error &) {
        throw failure("cannot listen on " + where.to_string() +
                      ": the address is in use or not available");
    }
    listener.attach(channel);
    print_line("listening on " + local_address(listener).to_string() +
               (o.udp   ? " (udp)"
                : o.raw ? " (tcp, raw stream)"
                        : " (tcp, framed)") +
               (o.echo ? ", echoing" : ""));

    struct connection {
        vuvidur::Slot slot;
        vuvidur::Address peer;
    };
    std::map<int, connection> connections;
    const auto echo = [&](auto &&send, int slot) {
        try {
            send();
        } catch (const vuvidur::error &e) {  // the peer may be gone: its event follows
            std::cerr << "vuvidur listen: slot " << slot << ": echo not sent: " << e.what() << "\n";
        }
    };
    const auto handle = [&](const vuvidur::Event &event) {
        if (const auto *a = std::get_if<vuvidur::Accepted>(&event)) {
            connections[a->slot] = {vuvidur::Slot::adopt(a->slot), a->peer};
            no_delay(connections[a->slot].slot);
            print_line(describe(a->slot, "accepted", &a->peer));
        } else if (const auto *d = std::get_if<vuvidur::TcpData>(&event)) {
            print_line(describe_data(d->slot, "tcp", d->peer, d->payload, o.hex));
            const auto c = connections.find(d->slot);
            if (o.echo && c != connections.end())
                echo([&] { c->second.slot.send(d->payload); }, d->slot);
        } else if (const auto *u = std::get_if<vuvidur::UdpData>(&event)) {
            print_line(describe_data(u->slot, "udp", u->peer, u->payload, o.hex));
            if (o.echo) echo([&] { (void)listener.send_to(u->peer, u->payload); }, u->slot);
        } else if (std::holds_alternative<vuvidur::Closed>(event) ||
                   std::holds_alternative<vuvidur::Failed>(event)) {
            const int slot = vuvidur::slot_of(event);
            const auto c = connections.find(slot);
            const char *what = std::holds_alternative<vuvidur::Closed>(event) ? "closed" : "failed";
            print_line(describe(slot, what, c != connections.end() ? &c->second.peer : nullptr));
            if (c != connections.end()) connections.erase(c);  // closes the slot
        }
    };

    stop_on_signals();
    while (!g_stop) {
        if (channel.wait(std::chrono::milliseconds(200))) channel.read_many(handle);
    }
    return 0;
}

int run_send(const send_options &o) {
    const vuvidur::Address to = resolve(o.where);
    const std::vector<bytes> frames = messages_of(o);
    vuvidur::Engine engine(client_engine());
    vuvidur::Channel channel(engine);
    vuvidur::Slot slot = o.udp
                             ? vuvidur::Slot::open(vuvidur::SlotType::udp_quiet)
                             : connect_framed(channel, to, std::chrono::milliseconds(o.timeout_ms));
    if (o.udp) slot.attach(channel);

    // Empty messages go out as keepalive frames, which nobody answers.
    std::size_t expected = 0;
    for (const bytes &f : frames) {
        if (o.udp)
            (void)slot.send_to(to, f);
        else
            send_frame(slot, f, std::chrono::milliseconds(o.timeout_ms));
        expected += !f.empty();
    }

    std::size_t received = 0;
    auto deadline = clock::now() + std::chrono::milliseconds(o.wait_ms);
    while (received < expected && wait_until(channel, deadline)) {
        const auto event = channel.read();
        if (!event) continue;
        if (const auto *d = std::get_if<vuvidur::TcpData>(&*event)) {
            print_line(printable(d->payload, o.hex));
        } else if (const auto *u = std::get_if<vuvidur::UdpData>(&*event)) {
            if (u->peer != to) continue;  // not from the peer we sent to
            print_line(printable(u->payload, o.hex));
        } else if (const auto ended = connection_ended(*event, to, received, expected)) {
            throw *ended;
        } else {
            continue;
        }
        ++received;
        deadline = clock::now() + std::chrono::milliseconds(o.wait_ms);
    }
    return 0;
}

int run_probe(const probe_options &o) {
    const vuvidur::Address to = resolve(o.where);
    vuvidur::Engine engine(client_engine());
    vuvidur::Channel channel(engine);
    auto slot = vuvidur::Slot::open(vuvidur::SlotType::udp_quiet);
    slot.attach(channel);

    // A probe, again every 500 ms in case one was lost; the round trip is
    // counted from the latest one sent.
    const auto resend = std::chrono::milliseconds(500);
    const auto deadline = clock::now() + std::chrono::milliseconds(o.timeout_ms);
    while (clock::now() < deadline) {
        const auto sent = clock::now();
        slot.probe(to);
        while (wait_until(channel, std::min(deadline, sent + resend))) {
            const auto event = channel.read();
            if (const auto *p = event ? std::get_if<vuvidur::ProbeReply>(&*event) : nullptr) {
                print_line(to.to_string() + " sees this side as " + p->seen.to_string() +
                           ", round trip " + millis(clock::now() - sent));
                return 0;
            }
        }
    }
    throw failure("no probe reply from " + to.to_string() + " within " +
                  std::to_string(o.timeout_ms) + " ms");
}

}  // namespace tool
