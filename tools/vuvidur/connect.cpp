// vuvidur connect, and send reading standard input: lines go out as frames
// as they are read, while what arrives is printed as it comes.
//
// A thread reads standard input (a read blocks, and a channel cannot be
// waited on together with a descriptor); it hands each frame to the
// connection's SendQueue under a mutex, and the main thread passes the
// queue the Sent events.  When the main thread is done it marks the
// connection closed, under the mutex: the reader, which may still be blocked
// in a read, never touches the engine again, and the process ends with it.
#include <atomic>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "tool.h"

namespace tool {
namespace {

struct Outgoing {
    std::mutex mutex;
    vuvidur::Slot slot;
    vuvidur::SendQueue queue{std::size_t{16} << 20};
    bool closed = false;  // the engine is not to be touched any more
    std::string problem;  // why the reader stopped early
    std::atomic<bool> input_done{false};
    std::atomic<std::size_t> frames{0};   // frames handed to the queue
    std::atomic<std::size_t> replies{0};  // of them, those a reply is due for
};

// Reads lines until the end of standard input, queueing each as a frame.
void read_lines(const std::shared_ptr<Outgoing> &out, bool hex) {
    std::string line;
    for (std::size_t number = 1; std::getline(std::cin, line); ++number) {
        const std::string what = "line " + std::to_string(number);
        bytes b;
        std::string problem;
        try {
            b = hex ? parse_hex(line, what)
                    : bytes(vuvidur::as_bytes(line).begin(), vuvidur::as_bytes(line).end());
            if (b.size() > VESK_NET_MAX_DATA)
                problem = what + " is " + std::to_string(b.size()) +
                          " bytes; a frame holds at most " + std::to_string(VESK_NET_MAX_DATA);
        } catch (const failure &e) {
            problem = e.what();
        }
        std::lock_guard lock(out->mutex);
        if (out->closed) return;
        if (problem.empty() && !out->queue.push(b)) problem = "the peer takes nothing: " + what;
        if (!problem.empty()) {
            out->problem = problem;
            break;
        }
        if (out->queue.flush(out->slot) == vuvidur::SendStatus::gone) break;  // its event tells
        ++out->frames;
        if (!b.empty()) ++out->replies;  // an empty frame is a keepalive: nobody answers
    }
    out->input_done = true;
}

}  // namespace

int stream_stdin(vuvidur::Channel &channel, vuvidur::Slot slot, const vuvidur::Address &to,
                 const stream_options &o) {
    auto out = std::make_shared<Outgoing>();
    out->slot = std::move(slot);
    std::thread(read_lines, out, o.hex).detach();

    std::size_t received = 0;
    std::optional<failure> ended;
    bool peer_closed = false;
    auto quiet_since = clock::now();
    const auto handle = [&](const vuvidur::Event &event) {
        if (const auto *d = std::get_if<vuvidur::TcpData>(&event)) {
            print_line(printable(d->payload, o.hex));
            ++received;
            quiet_since = clock::now();
        } else if (std::holds_alternative<vuvidur::Sent>(event)) {
            std::lock_guard lock(out->mutex);
            (void)out->queue.on_sent(out->slot);
        } else if (std::holds_alternative<vuvidur::Closed>(event) ||
                   std::holds_alternative<vuvidur::Failed>(event)) {
            peer_closed = std::holds_alternative<vuvidur::Closed>(event);
            ended = connection_ended(event, to, received, out->replies);
        }
    };
    for (;;) {
        // Short waits: the end of the input is noticed within 100 ms.
        if (channel.wait(std::chrono::milliseconds(100))) channel.read_many(handle);
        if (ended) break;
        if (!out->input_done) {
            quiet_since = clock::now();
            continue;
        }
        bool flushed = false;
        {
            std::lock_guard lock(out->mutex);
            flushed = out->queue.empty();
        }
        if (!flushed) continue;
        if (o.until_replies && received >= out->replies) break;
        if (clock::now() - quiet_since >= std::chrono::milliseconds(o.wait_ms)) break;
    }
    std::string problem;
    {
        std::lock_guard lock(out->mutex);
        out->closed = true;
        problem = out->problem;
        vesk_net_close(out->slot.release_number());
    }
    if (!problem.empty()) throw failure(problem);
    if (ended && !(peer_closed && !o.until_replies)) throw *ended;
    if (ended) std::cerr << "vuvidur connect: connection closed by " << to.to_string() << "\n";
    return 0;
}

int run_connect(const connect_options &o) {
    const vuvidur::Address to = resolve(o.where);
    vuvidur::Engine engine(client_engine());
    vuvidur::Channel channel(engine);
    auto slot = connect_framed(channel, to, std::chrono::milliseconds(o.timeout_ms));
    return stream_stdin(channel, std::move(slot), to, {o.hex, o.wait_ms, false});
}

}  // namespace tool
