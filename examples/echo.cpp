// An echo server written with the C++ face: every frame goes back to its
// sender.  Usage: echo [PORT] (7000 by default); try it with
// vuvidur send 127.0.0.1:7000 hello, or vuvidur ping 127.0.0.1:7000.
#include <vuvidur.hpp>

#include <cstdlib>
#include <iostream>
#include <map>

namespace vv = vuvidur;

int main(int argc, char **argv) try {
    const auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 7000);
    vv::Engine engine;
    vv::Channel channel(engine);
    auto listener = vv::Slot::open(vv::SlotType::tcp_listen_framed, vv::Address::any(port));
    listener.attach(channel);
    std::map<int, vv::Slot> clients;  // a slot is closed when it leaves the map
    for (;;) {
        channel.wait();
        channel.read_many([&](const vv::Event &event) {
            if (auto *a = std::get_if<vv::Accepted>(&event)) {
                clients[a->slot] = vv::Slot::adopt(a->slot);
                std::cout << a->peer.to_string() << " connected" << std::endl;
            } else if (auto *d = std::get_if<vv::TcpData>(&event)) {
                clients.at(d->slot).send(d->payload);
            } else if (std::holds_alternative<vv::Closed>(event) ||
                       std::holds_alternative<vv::Failed>(event)) {
                clients.erase(vv::slot_of(event));
            }
        });
    }
} catch (const vv::error &e) {  // the call, its result and the result's name
    std::cerr << "echo: " << e.what() << "\n";
    return 1;
}
