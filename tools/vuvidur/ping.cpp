// vuvidur ping: framed round trips against an echoing peer, up to a window
// of frames in flight; every reply is checked against what was sent.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "tool.h"

namespace tool {
namespace {

// Frame i: its number (little-endian, as far as the size allows), then a
// pattern that depends on it, so that a reply out of order, cut or altered
// differs from what is expected.
bytes frame(std::uint32_t i, int size) {
    bytes b(static_cast<std::size_t>(size));
    for (std::size_t j = 0; j < b.size(); ++j)
        b[j] = static_cast<std::byte>(j < 4 ? i >> (8 * j) : (i * 31 + j) & 0xFF);
    return b;
}

// The duration at quantile q of sorted durations.
clock::duration quantile(const std::vector<clock::duration> &sorted, double q) {
    const auto rank = static_cast<std::size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void progress(int done, int count, bool final) {
    if (final)
        std::fputs("\r\033[K", stderr);
    else
        std::fprintf(stderr, "\r%d/%d replies", done, count);
    std::fflush(stderr);
}

}  // namespace

int run_ping(const ping_options &o) {
    if (o.count < 1) throw usage_error("--count must be at least 1");
    if (o.size < 1 || o.size > VESK_NET_MAX_DATA)
        throw usage_error("--size must be 1 to " + std::to_string(VESK_NET_MAX_DATA));
    if (o.window < 1 || o.window > 1024) throw usage_error("--window must be 1 to 1024");
    const vuvidur::Address to = resolve(o.where);
    const auto timeout = std::chrono::milliseconds(o.timeout_ms);
    vuvidur::Engine engine(client_engine());
    vuvidur::Channel channel(engine);
    auto slot = connect_framed(channel, to, timeout);

    const bool live = isatty(STDERR_FILENO) != 0;
    std::vector<clock::time_point> sent_at;
    std::vector<clock::duration> round_trips;
    sent_at.reserve(static_cast<std::size_t>(o.count));
    round_trips.reserve(static_cast<std::size_t>(o.count));
    const auto count = static_cast<std::size_t>(o.count);
    const auto start = clock::now();
    auto shown = start;
    vuvidur::SendQueue queue(std::size_t{8} << 20);  // a whole window of the largest frames
    const auto on_event = [&](const vuvidur::Event &event) {
        if (std::holds_alternative<vuvidur::Sent>(event)) {
            (void)queue.on_sent(slot);
            return;
        }
        if (const auto *d = std::get_if<vuvidur::TcpData>(&event)) {
            const std::size_t i = round_trips.size();
            if (i >= sent_at.size())
                throw failure("a reply nobody asked for came from " + to.to_string());
            const bytes want = frame(static_cast<std::uint32_t>(i), o.size);
            if (!std::equal(d->payload.begin(), d->payload.end(), want.begin(), want.end()))
                throw failure("reply " + std::to_string(i + 1) + " differs from the frame sent");
            round_trips.push_back(clock::now() - sent_at[i]);
        } else if (const auto ended = connection_ended(event, to, round_trips.size(), count)) {
            throw *ended;
        }
    };
    while (round_trips.size() < count) {
        while (sent_at.size() < count &&
               sent_at.size() - round_trips.size() < static_cast<std::size_t>(o.window)) {
            sent_at.push_back(clock::now());
            if (!queue.push(frame(static_cast<std::uint32_t>(sent_at.size() - 1), o.size)))
                throw failure("the window does not fit the send queue");
        }
        (void)queue.flush(slot);  // the window's frames in one call; gone: an event tells
        if (!channel.wait(timeout))
            throw failure("no reply from " + to.to_string() + " within " +
                          std::to_string(o.timeout_ms) + " ms (after " +
                          std::to_string(round_trips.size()) + " of " + std::to_string(count) +
                          " replies)");
        channel.read_many(on_event);
        if (live && clock::now() - shown > std::chrono::milliseconds(100)) {
            shown = clock::now();
            progress(static_cast<int>(round_trips.size()), o.count, false);
        }
    }
    const auto elapsed = clock::now() - start;
    if (live) progress(0, 0, true);

    std::sort(round_trips.begin(), round_trips.end());
    const double seconds = std::chrono::duration<double>(elapsed).count();
    char rate[128];
    std::snprintf(rate, sizeof rate, "%.0f frames/s, %.2f MB/s each way (%zu frames in %.3f s)",
                  static_cast<double>(count) / seconds,
                  static_cast<double>(count) * o.size / seconds / 1e6, count, seconds);
    std::printf("ping %s: %d frames of %d bytes, window %d\n", to.to_string().c_str(), o.count,
                o.size, o.window);
    std::printf("round trip: min %s, median %s, p99 %s, max %s\n",
                millis(round_trips.front()).c_str(), millis(quantile(round_trips, 0.5)).c_str(),
                millis(quantile(round_trips, 0.99)).c_str(), millis(round_trips.back()).c_str());
    std::printf("throughput: %s\n", rate);
    std::fflush(stdout);
    return 0;
}

}  // namespace tool
