// The free slot numbers of an engine, as a bitmap with a summary of its
// non-empty words: finding the lowest free number of a range reads a few
// words however full the table is, and the set is exact under the lock that
// guards it, so that no free number can be passed over.
#pragma once

#include <cstdint>

namespace net {

class FreeSet {
public:
    // Numbers 1..count, every one free; false when the memory cannot be had.
    bool init(int count);
    void release();
    void add(int n);
    void remove(int n);
    bool contains(int n) const;
    // The lowest member in [from, to], or 0 when there is none.
    int lowest(int from, int to) const;

private:
    uint64_t *words_ = nullptr;    // bit (n - 1) % 64 of word (n - 1) / 64: n is free
    uint64_t *summary_ = nullptr;  // bit w % 64 of word w / 64: words_[w] is not 0
    int count_ = 0;
    int word_count_ = 0;
};

}  // namespace net
