// vuvidur listen, send and probe: an engine slot driven through the C++ face.
#include <signal.h>

#include <algorithm>
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

// The messages given as arguments, as frames.
std::vector<bytes> frames_of(const send_options &o) {
    std::vector<bytes> frames;
    for (std::size_t i = 0; i < o.messages.size(); ++i) {
        const std::string what = "message " + std::to_string(i + 1);
        const std::string &text = o.messages[i];
        bytes b = o.hex ? parse_hex(text, what)
                        : bytes(vuvidur::as_bytes(text).begin(), vuvidur::as_bytes(text).end());
        if (b.size() > VESK_NET_MAX_DATA)
            throw failure(what + " is " + std::to_string(b.size()) +
                          " bytes; a frame holds at most " + std::to_string(VESK_NET_MAX_DATA));
        frames.push_back(std::move(b));
    }
    return frames;
}

// What listen sets on its listener, for the first line: "" when nothing.
std::string defences(const listen_options &o) {
    std::string text;
    if (o.idle_timeout_s > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", o.idle_timeout_s);
        text += std::string(", idle timeout ") + seconds + " s";
    }
    if (o.per_address > 0) text += ", at most " + std::to_string(o.per_address) + " per address";
    if (o.strict) text += o.udp ? ", strict probe replies" : ", strict framing";
    if (o.probes != "all") text += ", probes answered: " + o.probes;
    return text;
}

}  // namespace

int run_listen(const listen_options &o) {
    if (o.udp && o.raw) throw usage_error("--udp and --raw exclude each other");
    if (o.udp && (o.idle_timeout_s > 0 || o.per_address > 0))
        throw usage_error("--idle-timeout and --per-address are for TCP, not --udp");
    if (!o.udp && o.probes != "all") throw usage_error("--probes is for --udp");
    if (o.raw && o.strict) throw usage_error("--strict is for framed connections, not --raw");
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
    // Set before the first accept: every connection inherits them.
    if (o.idle_timeout_s > 0)
        listener.set_idle_timeout(std::chrono::ceil<std::chrono::milliseconds>(
            std::chrono::duration<double>(o.idle_timeout_s)));
    if (o.per_address > 0) listener.set_address_limit(o.per_address);
    if (o.strict) listener.set_strict_framing(true);
    if (o.probes != "all")
        listener.set_probe_policy(o.probes == "paced" ? vuvidur::ProbePolicy::paced
                                                      : vuvidur::ProbePolicy::none);
    listener.attach(channel);
    print_line("listening on " + local_address(listener).to_string() +
               (o.udp   ? " (udp)"
                : o.raw ? " (tcp, raw stream)"
                        : " (tcp, framed)") +
               (o.echo ? ", echoing" : "") + defences(o));

    // Echoes wait in each connection's queue while the peer reads slowly; a
    // peer that reads nothing at all is dropped once 4 MiB wait for it.
    struct connection {
        vuvidur::Slot slot;
        vuvidur::Address peer;
        vuvidur::SendQueue echoes{std::size_t{4} << 20};
    };
    std::map<int, connection> connections;
    const auto echo = [&](std::map<int, connection>::iterator c, const vuvidur::SendStatus status) {
        if (status != vuvidur::SendStatus::gone) return;
        print_line(describe(c->first, "dropped", &c->second.peer));
        connections.erase(c);
    };
    const auto handle = [&](const vuvidur::Event &event) {
        if (const auto *a = std::get_if<vuvidur::Accepted>(&event)) {
            auto &c = connections[a->slot];
            c.slot = vuvidur::Slot::adopt(a->slot);
            c.peer = a->peer;
            print_line(describe(a->slot, "accepted", &a->peer));
        } else if (const auto *d = std::get_if<vuvidur::TcpData>(&event)) {
            print_line(describe_data(d->slot, "tcp", d->peer, d->payload, o.hex));
            const auto c = connections.find(d->slot);
            if (!o.echo || c == connections.end()) return;
            if (!c->second.echoes.push(d->payload)) {
                print_line(describe(d->slot, "dropped (reads nothing)", &c->second.peer));
                connections.erase(c);
                return;
            }
            echo(c, c->second.echoes.flush(c->second.slot));
        } else if (const auto *s = std::get_if<vuvidur::Sent>(&event)) {
            const auto c = connections.find(s->slot);
            if (c != connections.end()) echo(c, c->second.echoes.on_sent(c->second.slot));
        } else if (const auto *u = std::get_if<vuvidur::UdpData>(&event)) {
            print_line(describe_data(u->slot, "udp", u->peer, u->payload, o.hex));
            if (o.echo && listener.send_to(u->peer, u->payload) == vuvidur::SendStatus::refused)
                print_line(describe(u->slot, "echo refused by the system", &u->peer));
        } else if (std::holds_alternative<vuvidur::Closed>(event) ||
                   std::holds_alternative<vuvidur::Failed>(event)) {
            const int slot = vuvidur::slot_of(event);
            const auto c = connections.find(slot);
            const char *what = std::holds_alternative<vuvidur::Closed>(event) ? "closed" : "failed";
            print_line(describe(slot, what, c != connections.end() ? &c->second.peer : nullptr));
            if (c != connections.end()) connections.erase(c);  // closes the slot
        }
    };

    // The stats line comes every --stats seconds, counted from the start.
    const auto stats_every =
        std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(o.stats_s));
    auto stats_due = clock::now() + stats_every;
    stop_on_signals();
    while (!g_stop) {
        auto wait = std::chrono::milliseconds(200);
        if (o.stats_s > 0)
            wait =
                std::clamp(std::chrono::ceil<std::chrono::milliseconds>(stats_due - clock::now()),
                           std::chrono::milliseconds(0), wait);
        if (channel.wait(wait)) channel.read_many(handle);
        if (o.stats_s > 0 && clock::now() >= stats_due) {
            print_line(time_of_day() + "  stats: " + vuvidur::stats_text(engine.stats()));
            stats_due += stats_every;
            if (stats_due <= clock::now()) stats_due = clock::now() + stats_every;  // fell behind
        }
    }
    return 0;
}

int run_send(const send_options &o) {
    const vuvidur::Address to = resolve(o.where);
    const std::vector<bytes> frames = frames_of(o);
    vuvidur::Engine engine(client_engine());
    vuvidur::Channel channel(engine);
    vuvidur::Slot slot;
    if (o.udp) {
        slot = vuvidur::Slot::open(vuvidur::SlotType::udp_quiet);
        slot.attach(channel);
    } else {
        slot = connect_framed(channel, to, std::chrono::milliseconds(o.timeout_ms));
        // Standard input is sent as it is read, whatever its length.
        if (frames.empty())
            return stream_stdin(channel, std::move(slot), to, {o.hex, o.wait_ms, true});
    }

    // Empty messages go out as keepalive frames, which nobody answers.
    std::size_t expected = 0;
    vuvidur::SendQueue queue(std::size_t{64} << 20);
    const auto send_one = [&](const bytes &f) {
        if (o.udp)
            (void)slot.send_to(to, f);
        else if (!queue.push(f))
            throw failure("too much to send at once");
        expected += !f.empty();
    };
    if (!frames.empty()) {
        for (const bytes &f : frames) send_one(f);
    } else {  // UDP: one datagram per line, each sent as it is read
        std::string line;
        for (std::size_t n = 1; std::getline(std::cin, line); ++n) {
            const std::string what = "line " + std::to_string(n);
            bytes b = o.hex ? parse_hex(line, what)
                            : bytes(vuvidur::as_bytes(line).begin(), vuvidur::as_bytes(line).end());
            if (b.size() > VESK_NET_MAX_DATA)
                throw failure(what + " is " + std::to_string(b.size()) +
                              " bytes; a frame holds at most " + std::to_string(VESK_NET_MAX_DATA));
            send_one(b);
        }
    }
    if (!o.udp) (void)queue.flush(slot);  // gone: the Closed or Failed event tells

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
        } else if (std::holds_alternative<vuvidur::Sent>(*event)) {
            (void)queue.on_sent(slot);
            continue;
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
