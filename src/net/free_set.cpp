#include "net/free_set.h"

#include <bit>
#include <cstring>

#include "frame/memory.h"
#include "vuvidur.h"

namespace net {

namespace {

constexpr int kBits = 64;

int words_for(int bits) { return (bits + kBits - 1) / kBits; }

// The lowest set bit at or above `from` in bits[0 .. count), or -1.
int next_bit(const uint64_t *bits, int count, int from) {
    int w = from / kBits;
    if (w >= count) return -1;
    uint64_t word = bits[w] & (~uint64_t{0} << (from % kBits));
    while (word == 0) {
        if (++w >= count) return -1;
        word = bits[w];
    }
    return w * kBits + std::countr_zero(word);
}

}  // namespace

bool FreeSet::init(int count) {
    release();
    const int words = words_for(count);
    const int summary = words_for(words);
    words_ = static_cast<uint64_t *>(frame::try_alloc(sizeof(uint64_t) * words));
    summary_ = static_cast<uint64_t *>(frame::try_alloc(sizeof(uint64_t) * summary));
    if (words_ == nullptr || summary_ == nullptr) {
        release();
        return false;
    }
    std::memset(words_, 0, sizeof(uint64_t) * words);
    std::memset(summary_, 0, sizeof(uint64_t) * summary);
    count_ = count;
    word_count_ = words;
    for (int n = 1; n <= count; ++n) add(n);
    return true;
}

void FreeSet::release() {
    vesk_mem_free(words_);
    vesk_mem_free(summary_);
    words_ = nullptr;
    summary_ = nullptr;
    count_ = 0;
    word_count_ = 0;
}

void FreeSet::add(int n) {
    const int i = n - 1;
    words_[i / kBits] |= uint64_t{1} << (i % kBits);
    const int w = i / kBits;
    summary_[w / kBits] |= uint64_t{1} << (w % kBits);
}

void FreeSet::remove(int n) {
    const int i = n - 1;
    const int w = i / kBits;
    words_[w] &= ~(uint64_t{1} << (i % kBits));
    if (words_[w] == 0) summary_[w / kBits] &= ~(uint64_t{1} << (w % kBits));
}

bool FreeSet::contains(int n) const {
    const int i = n - 1;
    return n >= 1 && n <= count_ && (words_[i / kBits] >> (i % kBits) & 1) != 0;
}

int FreeSet::lowest(int from, int to) const {
    if (from < 1) from = 1;
    if (to > count_) to = count_;
    if (from > to) return 0;
    const int i = from - 1;
    int found = -1;
    const uint64_t here = words_[i / kBits] & (~uint64_t{0} << (i % kBits));
    if (here != 0) {
        found = (i / kBits) * kBits + std::countr_zero(here);
    } else {
        const int w = next_bit(summary_, words_for(word_count_), i / kBits + 1);
        if (w >= 0 && w < word_count_) found = w * kBits + std::countr_zero(words_[w]);
    }
    return found >= 0 && found + 1 <= to ? found + 1 : 0;
}

}  // namespace net
