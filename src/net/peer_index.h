// A UDP peer table's entries by peer: an open-addressing hash of entry
// numbers beside the table, and the set of its free entries, so that finding,
// adding and removing a peer cost the same however full the table is.  Entry
// numbers are those of the table itself: a peer takes the lowest free entry.
// Not thread-safe: its owner guards it (see peers.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/free_set.h"
#include "net/wire.h"

namespace net {

// A 64-bit mix (splitmix64's finaliser): every bit of the input moves every
// bit of the result.  The engine's keyed hashes (peer indexes, probe notes)
// mix the key with a seed no sender knows.
constexpr uint64_t hash_mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class PeerIndex {
public:
    // An index over `count` entries, all free (their words are set to 0);
    // `seed` keys the hash, so that no sender can choose keys that collide.
    // False when the memory cannot be had.
    bool init(PeerEntry *entries, int count, uint64_t seed);
    void release();
    // Every entry free again.
    void clear();
    // The entry holding `key`, or -1 (key 0: -1).
    int find(uint64_t key) const;
    // Stores `key` (not 0) in the lowest free entry and returns it; an entry
    // holding it already is returned as it is; -1 when every entry is taken.
    int add(uint64_t key);
    // Frees the entry holding `key` and returns it, or -1 when none does.
    int remove(uint64_t key);

private:
    size_t home(uint64_t key) const;
    // The bucket holding the entry of `key`, or the empty one where a search
    // for it ends.
    size_t bucket_for(uint64_t key) const;
    uint64_t key_at(size_t bucket) const;

    PeerEntry *entries_ = nullptr;
    int count_ = 0;
    int32_t *buckets_ = nullptr;  // entry + 1; 0: empty
    size_t mask_ = 0;
    uint64_t seed_ = 0;
    FreeSet free_;  // entry + 1 for each free entry
};

}  // namespace net
