// The free list of a fixed-block pool: an ordered set of block ids kept as a
// bitmap of atomic words, so that taking the lowest id and returning one are a
// single atomic operation each and never touch the heap. Fill must not run
// concurrently with anything; the other calls are safe from any thread.
//
//   word 0          word 1              bit (id % 64) of word (id / 64) set
//   [63 ......  0]  [127 ...... 64] ... <=> id is free; ids >= limit never set
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class FreeIdSet {
public:
    // Makes ids 0 .. count-1 free (all of them).
    void Fill(uint32_t count)
    {
        m_wordCount = (static_cast<size_t>(count) + 63) / 64;
        m_words.reset(new std::atomic<uint64_t>[m_wordCount == 0 ? 1 : m_wordCount]);
        for (size_t w = 0; w < m_wordCount; ++w) {
            uint64_t bits = ~0ULL;
            if (w + 1 == m_wordCount && count % 64 != 0) {
                bits = (1ULL << (count % 64)) - 1;
            }
            m_words[w].store(bits, std::memory_order_relaxed);
        }
        m_limit = count;
        m_hint.store(0, std::memory_order_relaxed);
    }

    // Removes and yields the smallest id; false when the set is empty. Every
    // load is sequentially consistent so that a caller which announced itself
    // as a waiter before calling cannot miss a concurrent Insert.
    bool PopLowest(uint32_t& id)
    {
        // The hint is the lowest word that may hold a free id; it is exact
        // with one thread and only a starting point under races, so a miss
        // from the hint is checked again from word 0.
        size_t start = m_hint.load(std::memory_order_relaxed);
        if (start >= m_wordCount) {
            start = 0;
        }
        for (;;) {
            for (size_t w = start; w < m_wordCount; ++w) {
                uint64_t v = m_words[w].load();
                while (v != 0) {
                    uint64_t bit = v & (~v + 1);
                    if (m_words[w].compare_exchange_weak(v, v & ~bit)) {
                        if (w != start) {
                            m_hint.store(w, std::memory_order_relaxed);
                        }
                        id = static_cast<uint32_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(bit)));
                        return true;
                    }
                }
            }
            if (start == 0) {
                return false;
            }
            start = 0;
        }
    }

    // Adds an id below the filled count; false (and no change) when it is
    // already present or out of range.
    bool Insert(uint32_t id)
    {
        if (id >= m_limit) {
            return false;
        }
        size_t w = id / 64;
        uint64_t mask = 1ULL << (id % 64);
        uint64_t old = m_words[w].fetch_or(mask);
        if ((old & mask) != 0) {
            return false;
        }
        if (w < m_hint.load(std::memory_order_relaxed)) {
            m_hint.store(w, std::memory_order_relaxed);
        }
        return true;
    }

    // A snapshot of the number of free ids.
    uint32_t Size() const
    {
        uint32_t n = 0;
        for (size_t w = 0; w < m_wordCount; ++w) {
            n += static_cast<uint32_t>(__builtin_popcountll(m_words[w].load()));
        }
        return n;
    }

private:
    std::unique_ptr<std::atomic<uint64_t>[]> m_words;
    size_t m_wordCount = 0;
    uint32_t m_limit = 0;
    std::atomic<size_t> m_hint{0};
};
