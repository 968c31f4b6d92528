#include "net/peer_index.h"

#include <cstring>

#include "frame/memory.h"
#include "vuvidur.h"

namespace net {

bool PeerIndex::init(PeerEntry *entries, int count, uint64_t seed) {
    release();
    // At most half full, so that a search ends within a few buckets.
    size_t capacity = 4;
    while (capacity < 2 * static_cast<size_t>(count)) capacity *= 2;
    buckets_ = static_cast<int32_t *>(frame::try_alloc(capacity * sizeof(int32_t)));
    if (buckets_ == nullptr || !free_.init(count)) {
        release();
        return false;
    }
    entries_ = entries;
    count_ = count;
    mask_ = capacity - 1;
    seed_ = seed;
    clear();
    return true;
}

void PeerIndex::release() {
    vesk_mem_free(buckets_);
    buckets_ = nullptr;
    free_.release();
    entries_ = nullptr;
    count_ = 0;
    mask_ = 0;
}

void PeerIndex::clear() {
    std::memset(buckets_, 0, (mask_ + 1) * sizeof(int32_t));
    for (int i = 0; i < count_; ++i) {
        entries_[i].store(0, std::memory_order_relaxed);
        free_.add(i + 1);
    }
}

size_t PeerIndex::home(uint64_t key) const { return hash_mix(key ^ seed_) & mask_; }

uint64_t PeerIndex::key_at(size_t bucket) const {
    return entries_[buckets_[bucket] - 1].load(std::memory_order_relaxed);
}

size_t PeerIndex::bucket_for(uint64_t key) const {
    size_t b = home(key);
    while (buckets_[b] != 0 && key_at(b) != key) b = (b + 1) & mask_;
    return b;
}

int PeerIndex::find(uint64_t key) const {
    if (key == 0 || buckets_ == nullptr) return -1;
    const size_t b = bucket_for(key);
    return buckets_[b] != 0 ? buckets_[b] - 1 : -1;
}

int PeerIndex::add(uint64_t key) {
    const size_t b = bucket_for(key);
    if (buckets_[b] != 0) return buckets_[b] - 1;
    const int entry = free_.lowest(1, count_) - 1;
    if (entry < 0) return -1;
    free_.remove(entry + 1);
    entries_[entry].store(key, std::memory_order_relaxed);
    buckets_[b] = entry + 1;
    return entry;
}

int PeerIndex::remove(uint64_t key) {
    if (key == 0) return -1;
    size_t hole = bucket_for(key);
    if (buckets_[hole] == 0) return -1;
    const int entry = buckets_[hole] - 1;
    buckets_[hole] = 0;
    // Buckets after the hole move back into it when their search would
    // otherwise stop at it (no tombstones: searches stay short for ever).
    for (size_t b = (hole + 1) & mask_; buckets_[b] != 0; b = (b + 1) & mask_) {
        const size_t want = home(key_at(b));
        // Distances along the probe run, modulo the capacity.
        if (((b - want) & mask_) >= ((b - hole) & mask_)) {
            buckets_[hole] = buckets_[b];
            buckets_[b] = 0;
            hole = b;
        }
    }
    entries_[entry].store(0, std::memory_order_relaxed);
    free_.add(entry + 1);
    return entry;
}

}  // namespace net
