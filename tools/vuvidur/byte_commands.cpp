// vuvidur crc32, hex, seal / open and tea: standard input (or files) to
// standard output through the C++ face's byte helpers.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "tool.h"

namespace tool {
namespace {

vuvidur::Key key_of(const std::string &hex) {
    try {
        return vuvidur::key_from_hex(hex);
    } catch (const vuvidur::error &) {
        throw usage_error("--key takes 32 hex digits (16 bytes), not '" + hex + "'");
    }
}

// The CRC-32 of a stream, read in pieces: false on a read error.
bool crc_of(std::FILE *f, std::uint32_t &crc) {
    std::byte chunk[65536];
    crc = 0;
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) crc = vuvidur::crc32({chunk, n}, crc);
    return !std::ferror(f);
}

}  // namespace

int run_crc32(const std::vector<std::string> &files) {
    if (files.empty()) {
        std::uint32_t crc;
        if (!crc_of(stdin, crc))
            throw failure(std::string("cannot read standard input: ") + std::strerror(errno));
        std::printf("%08x\n", crc);
        return 0;
    }
    int status = 0;
    for (const std::string &name : files) {
        std::FILE *f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
        std::uint32_t crc = 0;
        const bool ok = f && crc_of(f, crc);
        const int error = errno;
        if (f && f != stdin) std::fclose(f);
        if (!ok) {
            std::cerr << "vuvidur crc32: cannot read " << name << ": " << std::strerror(error)
                      << "\n";
            status = 1;
            continue;
        }
        std::printf("%08x  %s\n", crc, name.c_str());
    }
    std::fflush(stdout);
    return status;
}

int run_hex(bool encode) {
    const bytes in = read_stdin();
    if (encode) {
        const std::string text = vuvidur::hex_encode(in) + "\n";
        write_stdout(vuvidur::as_bytes(text));
    } else {
        write_stdout(parse_hex(vuvidur::as_text(in), "standard input"));
    }
    return 0;
}

int run_seal(const std::string &key_hex, bool seal) {
    const vuvidur::Envelope envelope(key_of(key_hex));
    const bytes in = read_stdin();
    if (seal) {
        if (in.size() > vuvidur::Envelope::max_data)
            throw failure("input of " + std::to_string(in.size()) +
                          " bytes is longer than an envelope holds (" +
                          std::to_string(vuvidur::Envelope::max_data) + ")");
        write_stdout(envelope.seal(in));
        return 0;
    }
    try {
        write_stdout(envelope.open(in));
    } catch (const vuvidur::error &e) {
        const auto code = static_cast<vuvidur::errc>(e.code().value());
        // A header garbled by a wrong key may announce more padding than the
        // envelope holds (no room), or leave the trailing bytes non-zero.
        const std::string why =
            code == vuvidur::errc::envelope_not_zero || code == vuvidur::errc::envelope_no_room
                ? "wrong key or damaged data"
            : code == vuvidur::errc::envelope_bad_input
                ? "not an envelope (" + std::to_string(in.size()) +
                      " bytes: an envelope is a multiple of 8, at least 16)"
                : e.what();
        throw failure("cannot open: " + why + " (" + std::string(e.name()) + ")");
    }
    return 0;
}

int run_tea(const std::string &key_hex, bool encrypt) {
    const vuvidur::Key key = key_of(key_hex);
    const bytes in = read_stdin();
    if (in.size() > vuvidur::tea_max_length)
        throw failure("input of " + std::to_string(in.size()) + " bytes is longer than the " +
                      std::to_string(vuvidur::tea_max_length) +
                      " bytes that TEA buffer mode takes");
    write_stdout(encrypt ? vuvidur::tea_encrypt(key, in) : vuvidur::tea_decrypt(key, in));
    return 0;
}

}  // namespace tool
