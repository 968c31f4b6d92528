// An echo server written with the C++ face: every frame goes back to its
// sender.  Usage: echo [PORT [PER_ADDRESS]] -- PORT 7000 by default;
// PER_ADDRESS the connections one peer address may hold at once, 64 by
// default, 0 for no limit.  Try it with vuvidur connect 127.0.0.1:7000, or
// vuvidur ping 127.0.0.1:7000.
//
// The recommended loop: take events in batches, queue each reply in the
// client's SendQueue, and flush the queues touched once per batch (one
// system call per client, however many frames).  A client whose queue goes
// above its limit does not read its replies: it is dropped.  Nothing here
// throws for a client that goes away.
//
// Hostile clients cannot hold the slots: a connection silent for 60 s is
// closed, one peer address gets PER_ADDRESS connections at most, and bytes
// that do not start a frame fail their connection.  Every 10 s a stats line
// shows the engine's counters.
#include <vuvidur.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <unordered_map>
#include <vector>

namespace vv = vuvidur;
using namespace std::chrono_literals;

int main(int argc, char **argv) try {
    const auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 7000);
    const int per_address = argc > 2 ? std::atoi(argv[2]) : 64;
    vv::Engine engine;  // up to 2048 slots: the listener and 2047 clients
    vv::Channel channel(engine);
    auto listener = vv::Slot::open(vv::SlotType::tcp_listen_framed, vv::Address::any(port));
    listener.set_idle_timeout(60s);  // set before attaching: every client inherits them
    listener.set_address_limit(per_address);
    listener.set_strict_framing(true);
    listener.attach(channel);
    std::cout << "echo: listening on port " << port << std::endl;

    struct Client {
        vv::Slot slot;
        vv::SendQueue out{256 * 1024};  // replies a client may leave unread
    };
    std::unordered_map<int, Client> clients;  // a slot is closed when it leaves the map
    std::vector<int> touched;                 // clients with replies queued in this batch
    const auto flush = [&](int n, vv::SendStatus status) {
        if (status == vv::SendStatus::gone) clients.erase(n);
    };
    auto stats_due = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        if (std::chrono::steady_clock::now() >= stats_due) {
            std::cout << "echo: stats: " << vv::stats_text(engine.stats()) << std::endl;
            stats_due += 10s;
        }
        if (!channel.wait(1s)) continue;  // at most 1 s between looks at the clock
        channel.read_many([&](const vv::Event &event) {
            if (const auto *a = std::get_if<vv::Accepted>(&event)) {
                clients[a->slot].slot = vv::Slot::adopt(a->slot);
            } else if (const auto *d = std::get_if<vv::TcpData>(&event)) {
                const auto c = clients.find(d->slot);
                if (c == clients.end()) return;
                if (!c->second.out.push(d->payload)) {  // too far behind: dropped
                    std::cout << "echo: dropped a client that leaves its replies unread"
                              << std::endl;
                    clients.erase(c);
                    return;
                }
                touched.push_back(d->slot);
            } else if (const auto *s = std::get_if<vv::Sent>(&event)) {
                const auto c = clients.find(s->slot);
                if (c != clients.end()) flush(s->slot, c->second.out.on_sent(c->second.slot));
            } else if (std::holds_alternative<vv::Closed>(event) ||
                       std::holds_alternative<vv::Failed>(event)) {
                clients.erase(vv::slot_of(event));
            }
        });
        for (const int n : touched) {
            const auto c = clients.find(n);
            if (c != clients.end()) flush(n, c->second.out.flush(c->second.slot));
        }
        touched.clear();
    }
} catch (const vv::error &e) {  // set-up only: the call, its result, the system's reason
    std::cerr << "echo: " << e.what() << "\n";
    return 1;
}
