// Shared by the fuzz targets that feed a stateful checker a series of
// messages: the input after its first byte is a sequence of messages, each a
// length byte and that many bytes (cut short by the end of the input).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

inline void fuzz_check(bool condition) {
    if (!condition) std::abort();
}

// Calls fn(message) for every non-empty message; each message is held in a
// heap buffer of exactly its length, so that a read past its end is caught.
template <typename Fn>
void fuzz_for_each_message(const uint8_t *data, size_t size, size_t at, Fn fn) {
    while (at < size) {
        const size_t n = data[at++];
        const size_t take = n < size - at ? n : size - at;
        std::vector<uint8_t> message(data + at, data + at + take);
        at += take;
        if (!message.empty()) fn(message);
    }
}
