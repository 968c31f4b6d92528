// Copies of the engine's small records and frames.
//
// A plain memcpy of a variable length below a few hundred bytes is compiled
// into a call whose string-move start-up costs more than the copy itself;
// fixed-size moves, the last one overlapping, do not.  Events and frames of a
// few dozen bytes are the common case on the engine's paths, copied several
// times each between the socket and the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace net {

inline void copy_small(uint8_t *to, const uint8_t *from, size_t size) {
    if (size >= 16) {
        for (size_t at = 0; at + 16 <= size; at += 16) std::memcpy(to + at, from + at, 16);
        std::memcpy(to + size - 16, from + size - 16, 16);
    } else if (size >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + size - 8, from + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + size - 4, from + size - 4, 4);
    } else {
        for (size_t at = 0; at < size; ++at) to[at] = from[at];
    }
}

// Any length: small ones as above, the rest by memcpy.
inline void copy_bytes(uint8_t *to, const uint8_t *from, size_t size) {
    if (size <= 256) {
        copy_small(to, from, size);
    } else {
        std::memcpy(to, from, size);
    }
}

}  // namespace net
