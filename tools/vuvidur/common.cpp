// Addresses, the engine's client set-up, and the text and stream helpers
// that the commands share.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

#include "tool.h"

namespace tool {

vuvidur::Address resolve(const std::string &host_port, bool allow_port_zero) {
    const auto colon = host_port.rfind(':');
    if (colon == std::string::npos || colon == 0)
        throw usage_error("HOST:PORT expected, not '" + host_port + "'");
    const std::string host = host_port.substr(0, colon);
    const std::string port_text = host_port.substr(colon + 1);
    if (host.front() == '[' || host.find(':') != std::string::npos)
        throw usage_error("'" + host_port +
                          "': IPv6 is not supported (give an IPv4 address, or a host name that "
                          "has one)");
    unsigned port = 0;
    const auto [end, ec] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (ec != std::errc() || end != port_text.data() + port_text.size() || port > 65535 ||
        (port == 0 && !allow_port_zero))
        throw usage_error("'" + port_text + "' is not a port number (1 to 65535)");

    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0 || !found)
        throw failure("cannot resolve '" + host + "': " + gai_strerror(rc) +
                      (rc == EAI_ADDRFAMILY || rc == EAI_NODATA
                           ? " (it has no IPv4 address; IPv6 is not supported)"
                           : ""));
    sockaddr_in in{};
    std::memcpy(&in, found->ai_addr, sizeof in);
    freeaddrinfo(found);
    vuvidur::Address a;
    std::memcpy(a.ip.data(), &in.sin_addr.s_addr, 4);
    a.port = static_cast<std::uint16_t>(port);
    return a;
}

vuvidur::Address local_address(const vuvidur::Slot &slot) {
    sockaddr_in in{};
    socklen_t len = sizeof in;
    getsockname(slot.socket(), reinterpret_cast<sockaddr *>(&in), &len);
    vuvidur::Address a;
    std::memcpy(a.ip.data(), &in.sin_addr.s_addr, 4);
    a.port = ntohs(in.sin_port);
    return a;
}

vuvidur::EngineConfig client_engine() {
    vuvidur::EngineConfig c;
    c.slots = 8;
    c.channels = 1;
    c.ring_size = 1 << 21;  // a whole ping window of the largest frames
    return c;
}

void print_line(const std::string &line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

bool wait_until(vuvidur::Channel &channel, clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
    return left.count() > 0 && channel.wait(left);
}

vuvidur::Slot connect_framed(vuvidur::Channel &channel, const vuvidur::Address &to,
                             std::chrono::milliseconds timeout) {
    auto slot = vuvidur::Slot::open(vuvidur::SlotType::tcp_connect);
    slot.attach(channel);
    bool connected = false;
    try {
        connected = slot.connect(to);
    } catch (const vuvidur::error &) {
        throw failure("cannot connect to " + to.to_string());
    }
    // The only event before the outcome is the outcome itself.
    auto &ch = channel;
    const auto deadline = clock::now() + timeout;
    while (!connected) {
        if (!wait_until(ch, deadline))
            throw failure("cannot connect to " + to.to_string() + ": no answer within " +
                          std::to_string(timeout.count()) + " ms");
        const auto ev = ch.read();
        if (const auto *c = ev ? std::get_if<vuvidur::Connected>(&*ev) : nullptr) {
            if (!c->ok) {  // the reason: noted for this thread when it read the event
                const int error = vesk_net_last_error();
                throw failure("cannot connect to " + to.to_string() + ": " +
                              (error != 0 ? std::system_category().message(error)
                                          : "connection refused or unreachable"));
            }
            connected = true;
        }
    }
    return slot;
}

std::optional<failure> connection_ended(const vuvidur::Event &event, const vuvidur::Address &to,
                                        std::size_t received, std::size_t expected) {
    const bool closed = std::holds_alternative<vuvidur::Closed>(event);
    if (!closed && !std::holds_alternative<vuvidur::Failed>(event)) return std::nullopt;
    return failure("connection " + std::string(closed ? "closed by " : "failed with ") +
                   to.to_string() + " after " + std::to_string(received) + " of " +
                   std::to_string(expected) + " replies");
}

bytes read_stdin() {
    bytes all;
    std::byte chunk[65536];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, stdin);
        all.insert(all.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    if (std::ferror(stdin))
        throw failure(std::string("cannot read standard input: ") + std::strerror(errno));
    return all;
}

void write_stdout(std::span<const std::byte> data) {
    if ((!data.empty() && std::fwrite(data.data(), 1, data.size(), stdout) != data.size()) ||
        std::fflush(stdout) != 0)
        throw failure(std::string("cannot write standard output: ") + std::strerror(errno));
}

std::string printable(std::span<const std::byte> payload, bool hex) {
    if (hex) return vuvidur::hex_encode(payload);
    std::string text;
    for (const std::byte b : payload) {
        const auto c = std::to_integer<unsigned char>(b);
        switch (c) {
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\\':
                text += "\\\\";
                break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    text += static_cast<char>(c);
                } else {
                    char esc[5];
                    std::snprintf(esc, sizeof esc, "\\x%02X", c);
                    text += esc;
                }
        }
    }
    return text;
}

bytes parse_hex(std::string_view text, const std::string &what) {
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw failure(what + ": byte " + std::to_string(i) + " ('" +
                          printable(vuvidur::as_bytes(text.substr(i, 1)), false) +
                          "') is not a hex digit");
        digits += c;
    }
    if (digits.size() % 2 != 0)
        throw failure(what + ": an odd number of hex digits (" + std::to_string(digits.size()) +
                      ")");
    return vuvidur::hex_decode(digits);
}

std::string time_of_day() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(ms));
    return text;
}

std::string millis(clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms",
                  std::chrono::duration<double, std::milli>(d).count());
    return text;
}

}  // namespace tool
