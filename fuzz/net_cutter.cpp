// The framed-stream cutter over arbitrary bytes, fed in arbitrary chunks
// into a receive area, with a sink that sometimes refuses: whatever the
// input, only well-formed frames come out, each exactly as it stood in the
// stream, and nothing is read or written outside the held bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/wire.h"

namespace {

struct CheckingSink final : net::FrameSink {
    uint32_t refusals;  // bit i set: refuse the i-th offer
    unsigned offers = 0;
    long delivered = 0;

    bool refuse() { return (refusals >> (offers++ % 32)) & 1u; }
    bool frame(const uint8_t *f, int length) override {
        if (f[0] != net::kFrameMark || length < 1 || length > net::kMaxData ||
            net::wire_read_length(f) != length) {
            std::abort();
        }
        if (refuse()) return false;
        volatile uint8_t last = f[2 + length];  // the payload's last byte is readable
        (void)last;
        ++delivered;
        return true;
    }
    bool too_long(int length) override {
        if (length <= net::kMaxData) std::abort();
        return !refuse();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    uint32_t refusals;
    std::memcpy(&refusals, data, 4);
    const unsigned chunking = data[4];
    data += 5;
    size -= 5;
    CheckingSink sink;
    sink.refusals = refusals;
    // The held bytes live in an exact-size vector, so that any read beyond
    // them is caught.
    std::vector<uint8_t> held;
    size_t fed = 0;
    unsigned round = 0;
    while (fed < size || round < 3) {
        const size_t chunk = 1 + (chunking * 131u + round * 17u) % 700u;
        const size_t take = fed < size ? (size - fed < chunk ? size - fed : chunk) : 0;
        held.insert(held.end(), data + fed, data + fed + take);
        fed += take;
        ++round;
        std::vector<uint8_t> exact(held);
        // The chunking byte's top bit asks for strict framing.
        const bool strict = (chunking & 0x80) != 0;
        const net::StreamCut cut = net::wire_cut_stream(exact, sink, strict);
        if (cut.consumed < 0 || static_cast<size_t>(cut.consumed) > held.size()) std::abort();
        if (cut.failed && static_cast<size_t>(cut.consumed) != held.size()) std::abort();
        // A broken stream is given up whole, and only when strict; a resync
        // drops no more than it consumes.
        if (cut.broken && (!strict || static_cast<size_t>(cut.consumed) != held.size()))
            std::abort();
        if (cut.discarded < 0 || cut.discarded > cut.consumed) std::abort();
        if (cut.broken) {
            held.clear();
            break;
        }
        held.erase(held.begin(), held.begin() + cut.consumed);
        if (cut.failed) break;
        // What stays held without the sink waiting is at most one incomplete
        // frame: the area can never fill up with deliverable frames.
        if (!cut.waiting &&
            held.size() > static_cast<size_t>(net::kFrameHeaderSize + net::kMaxData)) {
            std::abort();
        }
    }
    return 0;
}
