// Tickets over the engine: an issuer, a service and a client, one program in
// three roles, written with the C++ face (docs/tickets.md walks through it).
//
//   tickets issuer [SETTINGS]           answers requests with bound tickets
//   tickets service [SETTINGS]          lets in clients with a ticket for it
//   tickets client ID [SETTINGS [N]]    gets a ticket, logs in as client ID,
//                                       sends N sealed messages (3 by default)
//
// SETTINGS names a settings file in the program's directory (tickets.conf by
// default) with the keys
//     issuer_port 7101     the issuer's TCP port (on 127.0.0.1 for the client)
//     service_port 7102    the service's
//     service_id 5         the service's id
//     key_dir keys         where the keys are, beside the program
//     skew 300             seconds the service's clock may differ from the issuer's
//
// A key is 16 bytes, 32 hex digits: more than a settings value holds (19
// characters), and a secret that has no business in a settings file anyway.
// Each key lives in a file of its own under key_dir, named by its owner:
// service5.key, client1.key, ...  The issuer reads every file it needs; the
// service only its own and a client only its own.  A key file must be
// readable by its owner alone (mode 0600): any other is refused.
//
// Every message travels as one frame.  The issuer takes 8-byte requests and
// answers 56 bytes; the service takes a 40-byte login, answers the 8-byte
// reply, then answers each 16-byte sealed message with "ok".  The service
// closes a connection whose login or sealed message it refuses, and says why
// on its standard output; nothing it is sent can stop it.
#include <vuvidur.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <unordered_map>

namespace vv = vuvidur;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Config {
    std::uint16_t issuer_port = 7101, service_port = 7102;
    std::uint32_t service_id = 5, skew = 300;
    fs::path key_dir;
};

Config load(const char *name) {
    const vv::Settings s(name);
    const auto number = [&](const char *key, long fallback) {
        const auto v = s.get(key);
        return v ? std::atol(v->c_str()) : fallback;
    };
    char dir[VESK_MODULE_DIR_SIZE] = {};
    vesk_module_dir(dir);
    Config c;
    c.issuer_port = static_cast<std::uint16_t>(number("issuer_port", 7101));
    c.service_port = static_cast<std::uint16_t>(number("service_port", 7102));
    c.service_id = static_cast<std::uint32_t>(number("service_id", 5));
    c.skew = static_cast<std::uint32_t>(number("skew", 300));
    c.key_dir = fs::path(dir) / s.value_or("key_dir", "keys");
    return c;
}

// The key in `dir`/`name`, or nothing (with the reason on standard error).
std::optional<vv::Key> read_key(const fs::path &dir, const std::string &name) {
    const fs::path path = dir / name;
    std::error_code error;
    const fs::perms perms = fs::status(path, error).permissions();
    if (error) return std::nullopt;  // no such key: an unknown id
    if ((perms & (fs::perms::group_all | fs::perms::others_all)) != fs::perms::none) {
        std::cerr << "tickets: " << path << " is open to others (chmod 600): refused\n";
        return std::nullopt;
    }
    std::string hex;
    std::ifstream(path) >> hex;
    try {
        return vv::key_from_hex(hex);
    } catch (const vv::error &) {
        std::cerr << "tickets: " << path << " does not hold 32 hex digits\n";
        return std::nullopt;
    }
}

std::string id_key(const char *role, std::uint32_t id) {
    return role + std::to_string(id) + ".key";
}

// A connection: its slot, closed when the connection leaves the map, and the
// ticket it logged in with (service only).  A slot number is used again for
// a later connection, so nothing of a connection may outlive its entry.
struct Peer {
    vv::Slot slot;
    std::optional<vv::TicketService::Session> session;
};

// One listener and its connections; `on_frame` answers each frame and says
// whether the connection goes on.
template <class F>
[[noreturn]] void serve(const char *role, std::uint16_t port, F on_frame) {
    vv::Engine engine;
    vv::Channel channel(engine);
    auto listener = vv::Slot::open(vv::SlotType::tcp_listen_framed, vv::Address::any(port));
    listener.set_idle_timeout(30s);  // inherited by every connection
    listener.set_strict_framing(true);
    listener.attach(channel);
    std::cout << role << ": listening on port " << port << std::endl;
    std::unordered_map<int, Peer> peers;
    for (;;) {
        channel.wait();
        channel.read_many([&](const vv::Event &event) {
            if (const auto *a = std::get_if<vv::Accepted>(&event)) {
                peers[a->slot] = Peer{vv::Slot::adopt(a->slot), std::nullopt};
            } else if (const auto *d = std::get_if<vv::TcpData>(&event)) {
                const auto p = peers.find(d->slot);
                if (p != peers.end() && !on_frame(p->second, d->payload)) peers.erase(p);
            } else if (std::holds_alternative<vv::Closed>(event) ||
                       std::holds_alternative<vv::Failed>(event)) {
                peers.erase(vv::slot_of(event));
            }
        });
    }
}

[[noreturn]] void run_issuer(const Config &c) {
    const auto keys = [&](std::uint32_t client, std::uint32_t service) {
        std::optional<vv::IssuerKeys> k;
        const auto s = read_key(c.key_dir, id_key("service", service));
        const auto k_client = read_key(c.key_dir, id_key("client", client));
        if (s && k_client) k = vv::IssuerKeys{*s, *k_client, vv::Key{}};  // session: derived
        return k;
    };
    serve("issuer", c.issuer_port, [&](Peer &peer, std::span<const std::byte> request) {
        try {
            peer.slot.send(vv::issue_bound_ticket(request, keys));
            return true;
        } catch (const vv::error &e) {  // an unknown id, or not a request
            std::cout << "issuer: refused a request: " << e.what() << std::endl;
            return false;
        }
    });
}

[[noreturn]] void run_service(const Config &c) {
    const auto key = read_key(c.key_dir, id_key("service", c.service_id));
    if (!key) throw std::runtime_error("no key for service " + std::to_string(c.service_id));
    vv::TicketService service(c.service_id, *key, {.skew_seconds = c.skew, .bound = true});
    serve("service", c.service_port, [&](Peer &peer, std::span<const std::byte> frame) {
        if (!peer.session) {
            const auto r = service.accept(frame);
            if (!r) {
                std::cout << "service: refused a login (" << vv::name_of(r.reason)
                          << ") naming client " << r.client_id << std::endl;
                return false;
            }
            std::cout << "service: client " << r.client_id << " logged in" << std::endl;
            peer.session = r.session;
            peer.slot.send(r.reply);
            return true;
        }
        const vv::TicketReason reason = service.open(*peer.session, frame);
        if (reason != vv::TicketReason::accepted) {
            std::cout << "service: refused a sealed message (" << vv::name_of(reason)
                      << ") of client " << peer.session->client_id << std::endl;
            return false;
        }
        peer.slot.send(vv::as_bytes("ok"));
        return true;
    });
}

// A client's connection: one frame out, one frame back.
class Link {
public:
    Link(vv::Engine &engine, std::uint16_t port) : channel_(engine) {
        slot_ = vv::Slot::open(vv::SlotType::tcp_connect);
        slot_.attach(channel_);
        if (!slot_.connect(vv::Address::loopback(port))) {
            const auto e = next();
            const auto *c = e ? std::get_if<vv::Connected>(&*e) : nullptr;
            if (c == nullptr || !c->ok) throw std::runtime_error("cannot connect");
        }
    }
    // The answer; nothing when the peer closed the connection instead.
    std::optional<std::vector<std::byte>> ask(std::span<const std::byte> frame) {
        if (slot_.send(frame) != vv::SendStatus::sent) return std::nullopt;
        const auto e = next();
        const auto *d = e ? std::get_if<vv::TcpData>(&*e) : nullptr;
        if (d == nullptr) return std::nullopt;
        return std::vector<std::byte>(d->payload.begin(), d->payload.end());
    }

private:
    std::optional<vv::Event> next() { return channel_.wait(10s) ? channel_.read() : std::nullopt; }
    vv::Channel channel_;
    vv::Slot slot_;
};

// Logs in: a ticket from the issuer, the login, the service's reply.
std::optional<vv::TicketClient> log_in(vv::Engine &engine, const Config &c, std::uint32_t id,
                                       const vv::Key &key, Link &service) {
    vv::TicketClient client(id, c.service_id);
    const auto answer = Link(engine, c.issuer_port).ask(client.request());
    if (!answer) throw std::runtime_error("the issuer refused the request");
    client.accept(key, *answer);
    const auto reply = service.ask(client.authenticator());
    if (!reply) return std::nullopt;
    client.verify(*reply);  // the service proved itself
    return client;
}

int run_client(const Config &c, std::uint32_t id, int count) {
    const auto key = read_key(c.key_dir, id_key("client", id));
    if (!key) throw std::runtime_error("no key for client " + std::to_string(id));
    vv::Engine engine;
    // A bound ticket is made of the client, the service and the second it is
    // issued in: a client that logged in and asks again within the same
    // second gets the same ticket, and the service refuses its login as a
    // replay.  Such a client asks once more in the next second.
    std::optional<Link> service;
    std::optional<vv::TicketClient> client;
    for (int attempt = 0; !client && attempt < 2; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(1s);
        service.emplace(engine, c.service_port);
        client = log_in(engine, c, id, *key, *service);
    }
    if (!client) throw std::runtime_error("the service refused the login");
    int accepted = 0;
    for (int i = 0; i < count; ++i) {
        const auto answer = service->ask(client->seal());
        accepted += answer && vv::as_text(*answer) == "ok";
    }
    std::cout << "client: logged in as " << id << ", " << accepted << " of " << count
              << " sealed messages accepted" << std::endl;
    return accepted == count ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) try {
    const std::string role = argc > 1 ? argv[1] : "";
    if (role == "issuer" || role == "service") {
        const Config c = load(argc > 2 ? argv[2] : "tickets.conf");
        role == "issuer" ? run_issuer(c) : run_service(c);
    }
    if (role == "client" && argc > 2) {
        const Config c = load(argc > 3 ? argv[3] : "tickets.conf");
        return run_client(c, static_cast<std::uint32_t>(std::atol(argv[2])),
                          argc > 4 ? std::atoi(argv[4]) : 3);
    }
    std::cerr << "usage: tickets issuer|service [SETTINGS] | tickets client ID [SETTINGS [N]]\n";
    return 2;
} catch (const std::exception &e) {  // set-up, and a client's refused steps
    std::cerr << "tickets: " << e.what() << "\n";
    return 1;
}
