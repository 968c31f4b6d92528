// A chat server with rooms, written with the C++ face.  Every frame a client
// sends goes to every member of its room (the sender included) as
// "user<N>: <text>"; the frame "/join ROOM" moves the client to ROOM
// (everyone starts in "lobby") and is answered "joined ROOM".
//
// Usage: chat [SETTINGS] -- SETTINGS names a settings file in the program's
// directory (chat.conf by default, which may be missing) with the keys
//     port 7001            the TCP port
//     queue_bytes 262144   what a client may leave unread before it is dropped
//     stats_seconds 10     how often the stats lines are printed
//     per_address 64       connections one peer address may hold (0: no limit)
// Try it with two or more `vuvidur connect 127.0.0.1:7001`.
//
// Hostile clients cannot hold the slots: a connection silent for 60 s is
// closed, one peer address gets per_address connections at most, and bytes
// that do not start a frame fail their connection.  The timer prints the
// chat's counters and, after them, the engine's.
//
// Fan-out is batched: a batch of events queues frames in the members'
// SendQueues, and each queue touched is flushed once per batch, so a client
// costs one system call per batch however many frames it gets.  A client
// that reads too slowly overflows its queue and is dropped; the others go on.
#include <vuvidur.hpp>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vv = vuvidur;

namespace {

struct Client {
    vv::Slot slot;
    vv::SendQueue out;
    std::string room;
};

struct Counters {  // read by the timer thread
    std::atomic<long> clients{0}, frames_in{0}, frames_out{0}, dropped{0};
};

class Chat {
public:
    Chat(std::size_t queue_bytes, Counters &counters)
        : queue_bytes_(queue_bytes), counters_(counters) {}

    void accepted(int n) {
        auto &c =
            clients_
                .try_emplace(n, Client{vv::Slot::adopt(n), vv::SendQueue(queue_bytes_), "lobby"})
                .first->second;
        rooms_[c.room].insert(n);
        ++counters_.clients;
    }
    void received(int n, std::string_view text) {
        const auto c = clients_.find(n);
        if (c == clients_.end()) return;
        ++counters_.frames_in;
        if (text.starts_with("/join ") && text.size() > 6) {
            leave(c->second, n);
            c->second.room = std::string(text.substr(6));
            rooms_[c->second.room].insert(n);
            queue(n, "joined " + c->second.room);
            return;
        }
        std::string line = "user" + std::to_string(n) + ": ";
        line.append(text.substr(0, VESK_NET_MAX_DATA - line.size()));
        for (const int member : rooms_[c->second.room]) queue(member, line);
    }
    void sent(int n) {
        const auto c = clients_.find(n);
        if (c != clients_.end() && c->second.out.on_sent(c->second.slot) == vv::SendStatus::gone)
            doomed_.push_back(n);
    }
    void ended(int n) { drop(n, false); }
    // After each batch: every queue touched goes out in one call, and the
    // clients found too slow or gone are dropped.
    void flush() {
        for (const int n : touched_) {
            const auto c = clients_.find(n);
            if (c != clients_.end() && c->second.out.flush(c->second.slot) == vv::SendStatus::gone)
                doomed_.push_back(n);
        }
        touched_.clear();
        for (const int n : doomed_) drop(n, true);
        doomed_.clear();
    }
    std::size_t rooms() const { return rooms_.size(); }

private:
    void queue(int n, const std::string &line) {
        auto &c = clients_.at(n);
        if (!c.out.push(vv::as_bytes(line))) {
            doomed_.push_back(n);  // too far behind: dropped after the batch
            return;
        }
        ++counters_.frames_out;
        if (c.out.frames() == 1) touched_.push_back(n);
    }
    void leave(Client &c, int n) {
        const auto r = rooms_.find(c.room);
        if (r == rooms_.end()) return;
        r->second.erase(n);
        if (r->second.empty()) rooms_.erase(r);
    }
    void drop(int n, bool slow) {
        const auto c = clients_.find(n);
        if (c == clients_.end()) return;
        leave(c->second, n);
        clients_.erase(c);  // closes the slot
        --counters_.clients;
        if (!slow) return;
        ++counters_.dropped;
        std::cout << "chat: dropped user" << n << ", too slow" << std::endl;
    }
    std::size_t queue_bytes_;
    Counters &counters_;
    std::unordered_map<int, Client> clients_;
    std::unordered_map<std::string, std::unordered_set<int>> rooms_;
    std::vector<int> touched_, doomed_;
};

int setting(const vv::Settings *settings, const char *key, int fallback) {
    const auto v = settings ? settings->get(key) : std::nullopt;
    return v ? std::atoi(v->c_str()) : fallback;
}

}  // namespace

int main(int argc, char **argv) try {
    // A settings file named on the command line must load; chat.conf may be
    // missing (the error says which file, and which line was refused).
    std::optional<vv::Settings> settings;
    try {
        settings.emplace(argc > 1 ? argv[1] : "chat.conf");
    } catch (const vv::error &e) {
        if (argc > 1) throw;
        std::cerr << "chat: " << e.what() << "; using the defaults\n";
    }
    const vv::Settings *s = settings ? &*settings : nullptr;
    const auto port = static_cast<std::uint16_t>(setting(s, "port", 7001));
    const auto queue_bytes = static_cast<std::size_t>(setting(s, "queue_bytes", 256 * 1024));
    const int stats_seconds = setting(s, "stats_seconds", 10);
    const int per_address = setting(s, "per_address", 64);

    vv::Engine engine;  // up to 2048 slots: the listener and 2047 clients
    vv::Channel channel(engine);
    auto listener = vv::Slot::open(vv::SlotType::tcp_listen_framed, vv::Address::any(port));
    listener.set_idle_timeout(std::chrono::seconds(60));  // before attaching: clients inherit
    listener.set_address_limit(per_address);
    listener.set_strict_framing(true);
    listener.attach(channel);
    std::cout << "chat: listening on port " << port << std::endl;

    Counters counters;
    Chat chat(queue_bytes, counters);
    vv::TimerService timers;
    auto stats = timers.add(std::chrono::seconds(stats_seconds > 0 ? stats_seconds : 10), [&] {
        std::printf("chat: %ld clients, %ld frames in, %ld out, %ld dropped as too slow\n",
                    counters.clients.load(), counters.frames_in.load(), counters.frames_out.load(),
                    counters.dropped.load());
        std::printf("chat: stats: %s\n", vv::stats_text(engine.stats()).c_str());
        std::fflush(stdout);
    });
    for (;;) {
        channel.wait();
        channel.read_many([&](const vv::Event &event) {
            if (const auto *a = std::get_if<vv::Accepted>(&event)) {
                chat.accepted(a->slot);
            } else if (const auto *d = std::get_if<vv::TcpData>(&event)) {
                chat.received(d->slot, vv::as_text(d->payload));
            } else if (const auto *sent = std::get_if<vv::Sent>(&event)) {
                chat.sent(sent->slot);
            } else if (std::holds_alternative<vv::Closed>(event) ||
                       std::holds_alternative<vv::Failed>(event)) {
                chat.ended(vv::slot_of(event));
            }
        });
        chat.flush();
    }
} catch (const vv::error &e) {  // set-up only: the call, its result, the system's reason
    std::cerr << "chat: " << e.what() << "\n";
    return 1;
}
