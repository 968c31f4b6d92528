// A presence service over UDP, written with the C++ face: clients say who
// they are with a heartbeat every second and check the way back with
// keepalives; the service knows who is present and tells anyone who asks.
// Usage: presence [PORT [SILENT_SECONDS]] -- PORT 7001 by default; a client
// silent for SILENT_SECONDS (5 by default) has left.
//
// The wire (docs/udp.md tells the whole of it):
//   - a heartbeat is a data frame whose payload is the client's name; the
//     first one registers the client in the slot's peer table, and the
//     service answers it with "welcome NAME";
//   - a keepalive (FE 00 00) from a registered client is answered by the
//     engine itself with the client's entry N in the table (FE, then -N as
//     a 16-bit little-endian value), at most once a second; the
//     application never sees keepalives;
//   - "who" is answered with the names present, one per line;
//   - a probe (FE 00 80) is answered by the engine with the address and
//     port the client is seen from, at most once a second per address.
// Try it with vuvidur send --udp 127.0.0.1:7001 alice (and who), or
// vuvidur probe 127.0.0.1:7001.
//
// Nothing a peer sends can stop the service: a datagram from port 0, a
// malformed one, a flood of probes or of strangers' keepalives is dropped
// or paced by the engine and counted; a reply the system will not send is
// a status, not an exception.  Every 10 s a stats line shows the counters.
#include <vuvidur.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unordered_map>

namespace vv = vuvidur;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Client {
    std::string name;
    Clock::time_point last_heard;
};

// A name is 1 to 64 printable characters.
bool valid_name(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name) {
        if (c < 0x21 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) try {
    const auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 7001);
    const auto silent = std::chrono::seconds(argc > 2 ? std::atoi(argv[2]) : 5);
    // One reserved slot holds the service, with a peer table of 4096
    // entries; a ring of 1 MiB takes a burst of about 500 largest frames.
    vv::EngineConfig config;
    config.slots = 4;
    config.channels = 1;
    config.reserved = 1;
    config.peers = 4096;
    config.ring_size = 1 << 20;
    vv::Engine engine(config);
    vv::Channel channel(engine);
    auto service = vv::Slot::open(vv::SlotType::udp_multi, vv::Address::any(port));
    service.set_probe_policy(vv::ProbePolicy::paced);  // forged probes aim nothing
    service.set_strict_framing(true);                  // no probe reply from where it did not probe
    // A burst waits in the system's buffer while this thread catches up.
    service.set_receive_buffer(1 << 20);
    service.attach(channel);
    std::cout << "presence: listening on port " << port << std::endl;

    std::unordered_map<vv::Address, Client> clients;
    const auto reply = [&](const vv::Address &to, std::string_view text) {
        // refused (no route, no buffer): the client asks again.
        (void)service.send_to(to, vv::as_bytes(text));
    };
    const auto leave = [&](auto at, const char *why) {
        std::cout << "presence: " << at->second.name << " left (" << why << ")" << std::endl;
        try {
            service.remove_peer(at->first);
        } catch (const vv::error &) {
            // not in the table (it was full when the client came): nothing to remove
        }
        return clients.erase(at);
    };
    auto stats_due = Clock::now() + 10s;
    for (;;) {
        const auto now = Clock::now();
        if (now >= stats_due) {
            std::cout << "presence: stats: present=" << clients.size() << " "
                      << vv::stats_text(engine.stats()) << std::endl;
            stats_due += 10s;
        }
        for (auto at = clients.begin(); at != clients.end();) {
            at = now - at->second.last_heard >= silent ? leave(at, "silent") : std::next(at);
        }
        if (!channel.wait(200ms)) continue;
        channel.read_many([&](const vv::Event &event) {
            const auto *d = std::get_if<vv::UdpData>(&event);
            if (d == nullptr) return;  // probes and keepalives never reach here
            const std::string_view text(reinterpret_cast<const char *>(d->payload.data()),
                                        d->payload.size());
            if (text == "who") {
                std::string names;
                for (const auto &[address, client] : clients) {
                    if (names.size() + client.name.size() + 1 > VESK_NET_MAX_DATA) break;
                    names += client.name + "\n";
                }
                reply(d->peer, names.empty() ? "nobody\n" : names);
                return;
            }
            if (!valid_name(text)) return;  // not a heartbeat: ignored
            auto at = clients.find(d->peer);
            if (at != clients.end() && at->second.name == text) {
                at->second.last_heard = Clock::now();
                return;
            }
            if (at != clients.end()) leave(at, "renamed");
            try {
                service.add_peer(d->peer);
            } catch (const vv::error &) {
                reply(d->peer, "full");  // no entry left: keepalives go unanswered
                return;
            }
            clients[d->peer] = Client{std::string(text), Clock::now()};
            std::cout << "presence: " << text << " joined from " << d->peer.to_string()
                      << std::endl;
            reply(d->peer, "welcome " + std::string(text));
        });
    }
} catch (const vv::error &e) {  // set-up only: the call, its result, the system's reason
    std::cerr << "presence: " << e.what() << "\n";
    return 1;
}
