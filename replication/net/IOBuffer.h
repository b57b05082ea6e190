// Growable byte buffer for one connection's network input or output; used by
// one thread at a time, no lock. Bytes are appended at the writer index and
// consumed from the reader index:
//
//   +-----------------+------------------+------------------+
//   | consumed prefix |  readable bytes  |  writable tail   |
//   +-----------------+------------------+------------------+
//   0        <=  m_readerIndex  <=  m_writerIndex  <=  m_capacity
//
// When the tail is too short, the live bytes slide to the front if the prefix
// plus the tail can hold the request; otherwise the storage grows to exactly
// writer + request bytes. Sizes are size_t; a request whose new size would
// overflow is refused. A failed growth keeps the old storage and contents.
//
// Ownership is explicit. A copy copies: it owns storage of its own with the
// source's indices, capacity, bytes and tag. A move hands the storage (owned
// or borrowed) over and leaves the source empty. Buffers may therefore live
// in containers that relocate them.
//
// Borrowed storage: a buffer built over caller memory (wrapping constructor)
// never writes, moves or frees storage it does not own. Reading and consuming work in place; the first
// Append of a non-empty request copies the readable bytes and the new bytes
// into storage the buffer allocates and owns from then on (the caller's memory
// is left as it was). WriteBegin() of such a buffer must not be written to.
#pragma once
#include <cassert>
#include <cstddef>
#include <cstring>

#include "replication/net/NetTrace.h"

class IOBuffer {
public:
    static const size_t kInitialSize = 5242880;

    explicit IOBuffer(size_t capacity);
    // Wraps size bytes at data without copying; tag is the creator's.
    IOBuffer(const char* data, size_t size, int tag);
    // A deep copy. When storage cannot be allocated (level-4 line) the copy
    // is empty, with no storage.
    IOBuffer(const IOBuffer& other);
    // A deep copy; when storage cannot be allocated (level-4 line) this
    // buffer is left as it was.
    IOBuffer& operator=(const IOBuffer& other);
    // Takes other's storage and state; other is left empty, with no storage.
    IOBuffer(IOBuffer&& other) noexcept;
    IOBuffer& operator=(IOBuffer&& other) noexcept;
    virtual ~IOBuffer();

    size_t Length() const { return m_writerIndex - m_readerIndex; }
    const char* Data() const { return m_buffer + m_readerIndex; }
    char* WriteBegin() { return m_buffer + m_writerIndex; }
    // Inline: a drained connection consumes and appends once per message, so
    // the common cases cost an index update, one copy and the trace switch.
    void Consume(size_t n)
    {
        if (n < Length()) {
            m_readerIndex += n;
        } else {
            Clear();
        }
        TraceIndices();
    }
    void Clear()
    {
        m_readerIndex = 0;
        m_writerIndex = 0;
    }
    // Appends len bytes; false (with a level-4 line) when room cannot be made.
    // data must not point into this buffer's storage (room-making moves it).
    bool Append(const char* data, size_t len)
    {
        // Owned storage with room in the tail: no compaction, no growth.
        if (data != nullptr && m_buffer != nullptr && m_ownsBuffer && len <= m_capacity - m_writerIndex) {
            std::memmove(m_buffer + m_writerIndex, data, len);
            m_writerIndex += len;
            CheckInvariant();
            TraceIndices();
            return true;
        }
        return AppendSlow(data, len);
    }
    bool EnsureWritable(size_t n);
    bool ExtendBuffer(size_t n);
    // A zero-filled block of newSize bytes holding old's first oldSize bytes;
    // frees old on success. Null on failure, old untouched. old unchanged when
    // newSize is 0 or old is null.
    char* Renew(char* old, size_t oldSize, size_t newSize);
    void PrintInfo();

    size_t Capacity() const { return m_capacity; }
    size_t ReaderIndex() const { return m_readerIndex; }
    size_t WriterIndex() const { return m_writerIndex; }
    bool OwnsBuffer() const { return m_ownsBuffer; }
    int Tag() const { return m_tag; }

private:
    // Owned storage of other's capacity holding its readable bytes at the
    // same offsets; null when other has none or it cannot be allocated.
    static char* CopyStorage(const IOBuffer& other);
    void Release();
    void StealFrom(IOBuffer& other);
    // Moves the readable bytes into owned storage with room for n more.
    bool AdoptStorage(size_t n);
    bool AppendSlow(const char* data, size_t len);
    void TraceIndices()
    {
        if (ReplicationDebugOn()) {
            PrintInfo();
        }
    }
    void CheckInvariant() const { assert(m_readerIndex <= m_writerIndex && m_writerIndex <= m_capacity); }

    char* m_buffer = nullptr;
    size_t m_readerIndex = 0;
    size_t m_writerIndex = 0;
    size_t m_capacity = 0;
    bool m_ownsBuffer = false;
    int m_tag = -1;
};
