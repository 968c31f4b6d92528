// Echo servers of the engine's wire frame (0xFE, 16-bit little-endian
// length, payload) on the other event libraries the benchmarks compare with,
// each written the way a user of that library would write it: read what is
// there, send every whole frame back, keep the rest for the next read.
// Nagle's algorithm is off on every accepted connection.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#if __has_include(<asio.hpp>)
#include <asio.hpp>
#define BENCH_HAVE_ASIO 1
#endif

#if __has_include(<uv.h>)
#include <uv.h>
#define BENCH_HAVE_LIBUV 1
#endif

#include "net_common.h"

namespace bench {

// The bytes of the whole frames at the front of `data` (0 while the first
// one is still incomplete).
inline size_t whole_frames(const uint8_t *data, size_t size) {
    size_t at = 0;
    while (size - at >= 3) {
        const int length = static_cast<int16_t>(data[at + 1] | data[at + 2] << 8);
        const size_t frame = 3 + static_cast<size_t>(length > 0 ? length : 0);
        if (size - at < frame) break;
        at += frame;
    }
    return at;
}

#ifdef BENCH_HAVE_ASIO
// Asio: one session per connection, a read always outstanding, whole frames
// handed to on_frames (the echo delivers them back to the same session);
// what is delivered goes to an output buffer that one write at a time sends.
class AsioSession : public std::enable_shared_from_this<AsioSession> {
public:
    using OnFrames = std::function<void(AsioSession &, const uint8_t *, size_t)>;
    AsioSession(asio::ip::tcp::socket socket, OnFrames on_frames,
                std::function<void(AsioSession &)> on_end = {})
        : socket_(std::move(socket)),
          on_frames_(std::move(on_frames)),
          on_end_(std::move(on_end)) {}
    void start() {
        socket_.set_option(asio::ip::tcp::no_delay(true));
        read();
    }
    void deliver(const uint8_t *frames, size_t size) {
        pending_.insert(pending_.end(), frames, frames + size);
        if (!writing_) write();
    }

private:
    void read() {
        auto self = shared_from_this();
        socket_.async_read_some(asio::buffer(chunk_), [this, self](std::error_code ec, size_t n) {
            if (ec) {
                if (on_end_) on_end_(*this);
                return;
            }
            input_.insert(input_.end(), chunk_, chunk_ + n);
            const size_t whole = whole_frames(input_.data(), input_.size());
            if (whole > 0) on_frames_(*this, input_.data(), whole);
            input_.erase(input_.begin(), input_.begin() + static_cast<long>(whole));
            read();
        });
    }
    void write() {
        if (pending_.empty()) return;
        writing_ = true;
        sending_.swap(pending_);
        auto self = shared_from_this();
        asio::async_write(socket_, asio::buffer(sending_),
                          [this, self](std::error_code ec, size_t) {
                              writing_ = false;
                              sending_.clear();
                              if (!ec) write();
                          });
    }

    asio::ip::tcp::socket socket_;
    OnFrames on_frames_;
    std::function<void(AsioSession &)> on_end_;
    uint8_t chunk_[16384];
    std::vector<uint8_t> input_, pending_, sending_;
    bool writing_ = false;
};

inline void asio_accept(asio::ip::tcp::acceptor &acceptor) {
    acceptor.async_accept([&acceptor](std::error_code ec, asio::ip::tcp::socket socket) {
        if (!ec) {
            std::make_shared<AsioSession>(std::move(socket), [](AsioSession &self,
                                                                const uint8_t *frames,
                                                                size_t size) {
                self.deliver(frames, size);
            })->start();
        }
        asio_accept(acceptor);
    });
}

[[noreturn]] inline void serve_asio(int report, int backlog) {
    asio::io_context io(1);
    asio::ip::tcp::acceptor acceptor(io);
    const asio::ip::tcp::endpoint any(asio::ip::address_v4::loopback(), 0);
    acceptor.open(any.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(any);
    acceptor.listen(backlog);
    report_port(report, acceptor.native_handle());
    asio_accept(acceptor);
    io.run();
    _exit(0);
}
#endif

#ifdef BENCH_HAVE_LIBUV
// libuv: reads into a per-connection buffer; each read's whole frames go
// back in one uv_write whose request owns its copy of them.
struct UvConnection {
    uv_tcp_t handle;
    std::vector<uint8_t> input;
};

struct UvWrite {
    uv_write_t request;
    std::vector<uint8_t> bytes;
};

inline void uv_closed(uv_handle_t *handle) { delete static_cast<UvConnection *>(handle->data); }

inline void uv_allocate(uv_handle_t *, size_t suggested, uv_buf_t *buf) {
    buf->base = new char[suggested];
    buf->len = suggested;
}

inline void uv_read_done(uv_stream_t *stream, ssize_t n, const uv_buf_t *buf) {
    std::unique_ptr<char[]> owned(buf->base);
    auto *conn = static_cast<UvConnection *>(stream->data);
    if (n < 0) {
        uv_close(reinterpret_cast<uv_handle_t *>(stream), uv_closed);
        return;
    }
    const auto *bytes = reinterpret_cast<const uint8_t *>(buf->base);
    conn->input.insert(conn->input.end(), bytes, bytes + n);
    const size_t whole = whole_frames(conn->input.data(), conn->input.size());
    if (whole == 0) return;
    auto *write = new UvWrite;
    write->request.data = write;
    write->bytes.assign(conn->input.begin(), conn->input.begin() + static_cast<long>(whole));
    conn->input.erase(conn->input.begin(), conn->input.begin() + static_cast<long>(whole));
    uv_buf_t out = uv_buf_init(reinterpret_cast<char *>(write->bytes.data()),
                               static_cast<unsigned>(write->bytes.size()));
    uv_write(&write->request, stream, &out, 1,
             [](uv_write_t *request, int) { delete static_cast<UvWrite *>(request->data); });
}

inline void uv_accepted(uv_stream_t *server, int status) {
    if (status < 0) return;
    auto *conn = new UvConnection;
    uv_tcp_init(server->loop, &conn->handle);
    conn->handle.data = conn;
    if (uv_accept(server, reinterpret_cast<uv_stream_t *>(&conn->handle)) != 0) {
        uv_close(reinterpret_cast<uv_handle_t *>(&conn->handle), uv_closed);
        return;
    }
    uv_tcp_nodelay(&conn->handle, 1);
    uv_read_start(reinterpret_cast<uv_stream_t *>(&conn->handle), uv_allocate, uv_read_done);
}

[[noreturn]] inline void serve_libuv(int report, int backlog) {
    uv_loop_t *loop = uv_default_loop();
    uv_tcp_t server;
    uv_tcp_init(loop, &server);
    sockaddr_in any = loopback(0);
    uv_tcp_bind(&server, reinterpret_cast<const sockaddr *>(&any), 0);
    uv_listen(reinterpret_cast<uv_stream_t *>(&server), backlog, uv_accepted);
    uv_os_fd_t fd;
    uv_fileno(reinterpret_cast<uv_handle_t *>(&server), &fd);
    report_port(report, fd);
    uv_run(loop, UV_RUN_DEFAULT);
    _exit(0);
}
#endif

}  // namespace bench
