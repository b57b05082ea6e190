// The free list of a fixed-block pool: an ordered set of block ids kept as a
// bitmap, so that taking the lowest id and returning one never touch the heap.
// Not thread-safe: the owning pool's mutex guards every call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class FreeIdSet {
public:
    // Makes ids 0 .. count-1 free (all of them).
    void Fill(uint32_t count)
    {
        m_words.assign((static_cast<size_t>(count) + 63) / 64, ~0ULL);
        if (count % 64 != 0) {
            m_words.back() = (1ULL << (count % 64)) - 1;
        }
        m_count = count;
        m_limit = count;
        m_lowWord = 0;
    }

    // Removes and yields the smallest id; false when the set is empty.
    bool PopLowest(uint32_t& id)
    {
        if (m_count == 0) {
            return false;
        }
        // Every word below m_lowWord is zero, so the scan starts there.
        while (m_words[m_lowWord] == 0) {
            ++m_lowWord;
        }
        uint64_t& word = m_words[m_lowWord];
        unsigned bit = static_cast<unsigned>(__builtin_ctzll(word));
        word &= word - 1;
        --m_count;
        id = static_cast<uint32_t>(m_lowWord * 64 + bit);
        return true;
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
        if ((m_words[w] & mask) != 0) {
            return false;
        }
        m_words[w] |= mask;
        ++m_count;
        if (w < m_lowWord) {
            m_lowWord = w;
        }
        return true;
    }

    uint32_t Size() const { return m_count; }

private:
    std::vector<uint64_t> m_words;
    uint32_t m_count = 0;
    uint32_t m_limit = 0;
    size_t m_lowWord = 0;
};
