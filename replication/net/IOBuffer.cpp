#include "replication/net/IOBuffer.h"

#include <limits>
#include <new>

#include "host/SecureMem.h"
#include "replication/net/NetTrace.h"

namespace {
const char MODULE_NAME[] = "IOBuffer";
}  // namespace

const size_t IOBuffer::kInitialSize;

IOBuffer::IOBuffer(size_t capacity) : m_capacity(capacity), m_ownsBuffer(true)
{
    m_buffer = new (std::nothrow) char[capacity];
    if (m_buffer != nullptr) {
        memset_s(m_buffer, capacity, 0, capacity);
    }
}

IOBuffer::IOBuffer(const char* data, size_t size, int tag) : m_tag(tag)
{
    if (data != nullptr && size != 0) {
        // Never written through: see the header on borrowed storage.
        m_buffer = const_cast<char*>(data);
        m_writerIndex = size;
        m_capacity = size;
    }
}

char* IOBuffer::CopyStorage(const IOBuffer& other)
{
    if (other.m_buffer == nullptr || other.m_capacity == 0) {
        return nullptr;
    }
    char* copy = new (std::nothrow) char[other.m_capacity];
    if (copy == nullptr) {
        LOG_STREAM(4) << "IOBuffer copy failed, size= " << other.m_capacity;
        return nullptr;
    }
    memset_s(copy, other.m_capacity, 0, other.m_capacity);
    const size_t len = other.Length();
    if (len != 0 && memcpy_s(copy + other.m_readerIndex, other.m_capacity - other.m_readerIndex, other.Data(), len) != 0) {
        LOG_STREAM(4) << "memcpy_s failed.";
        delete[] copy;
        return nullptr;
    }
    return copy;
}

IOBuffer::IOBuffer(const IOBuffer& other) : m_tag(other.m_tag)
{
    char* copy = CopyStorage(other);
    if (copy == nullptr) {
        return;
    }
    m_buffer = copy;
    m_readerIndex = other.m_readerIndex;
    m_writerIndex = other.m_writerIndex;
    m_capacity = other.m_capacity;
    m_ownsBuffer = true;
}

IOBuffer& IOBuffer::operator=(const IOBuffer& other)
{
    if (this == &other) {
        return *this;
    }
    char* copy = CopyStorage(other);
    if (copy == nullptr && other.m_buffer != nullptr && other.m_capacity != 0) {
        return *this;  // allocation failed: keep what we have
    }
    Release();
    m_buffer = copy;
    m_readerIndex = copy == nullptr ? 0 : other.m_readerIndex;
    m_writerIndex = copy == nullptr ? 0 : other.m_writerIndex;
    m_capacity = copy == nullptr ? 0 : other.m_capacity;
    m_ownsBuffer = copy != nullptr;
    m_tag = other.m_tag;
    return *this;
}

IOBuffer::IOBuffer(IOBuffer&& other) noexcept
{
    StealFrom(other);
}

IOBuffer& IOBuffer::operator=(IOBuffer&& other) noexcept
{
    if (this != &other) {
        Release();
        StealFrom(other);
    }
    return *this;
}

void IOBuffer::StealFrom(IOBuffer& other)
{
    m_buffer = other.m_buffer;
    m_readerIndex = other.m_readerIndex;
    m_writerIndex = other.m_writerIndex;
    m_capacity = other.m_capacity;
    m_ownsBuffer = other.m_ownsBuffer;
    m_tag = other.m_tag;
    other.m_buffer = nullptr;
    other.m_readerIndex = 0;
    other.m_writerIndex = 0;
    other.m_capacity = 0;
    other.m_ownsBuffer = false;
    other.m_tag = -1;
}

void IOBuffer::Release()
{
    if (m_ownsBuffer && m_buffer != nullptr) {
        delete[] m_buffer;
    }
    m_buffer = nullptr;
    m_readerIndex = 0;
    m_writerIndex = 0;
    m_capacity = 0;
    m_ownsBuffer = false;
    m_tag = -1;
}

IOBuffer::~IOBuffer()
{
    Release();
}

// Everything Append's inline path does not take: a null source or storage
// (memmove_s reports it), borrowed storage, or a tail too short.
bool IOBuffer::AppendSlow(const char* data, size_t len)
{
    if (!EnsureWritable(len)) {
        LOG_STREAM(4) << "Append failed,current capacity= " << m_capacity;
        return false;
    }
    int r = memmove_s(WriteBegin(), len, data, len);
    if (r != 0) {
        LOG_STREAM(4) << "memmove_s failed. errno_t= " << r;
        return false;
    }
    m_writerIndex += len;
    CheckInvariant();
    PrintInfo();
    return true;
}

bool IOBuffer::EnsureWritable(size_t n)
{
    if (n <= m_capacity - m_writerIndex && (m_ownsBuffer || n == 0)) {
        return true;
    }
    return ExtendBuffer(n);
}

bool IOBuffer::ExtendBuffer(size_t n)
{
    if (!m_ownsBuffer) {
        return AdoptStorage(n);
    }
    const size_t freeBytes = m_readerIndex + (m_capacity - m_writerIndex);
    if (n <= freeBytes) {
        const size_t len = Length();
        int r = memmove_s(m_buffer, len, m_buffer + m_readerIndex, len);
        if (r != 0) {
            LOG_STREAM(4) << "memmove_s failed. errno_t= " << r;
            return false;
        }
        m_readerIndex = 0;
        m_writerIndex = len;
        NET_TRACE(0, MODULE_NAME, ReplicationDebugOn()) << "noNeed Renew";
        PrintInfo();
        return true;
    }
    if (n > std::numeric_limits<size_t>::max() - m_writerIndex) {
        LOG_STREAM(4) << "ExtendBuffer failed, size overflows. m_writerIndex= " << m_writerIndex << ",n= " << n;
        return false;
    }
    const size_t newSize = m_writerIndex + n;
    char* renewed = Renew(m_buffer, m_capacity, newSize);
    if (renewed == nullptr) {
        // The old storage and its bytes stay as they were.
        return false;
    }
    m_buffer = renewed;
    m_capacity = newSize;
    NET_TRACE(0, MODULE_NAME, ReplicationDebugOn()) << "Need Renew";
    PrintInfo();
    return true;
}

bool IOBuffer::AdoptStorage(size_t n)
{
    const size_t len = Length();
    if (n > std::numeric_limits<size_t>::max() - len) {
        LOG_STREAM(4) << "ExtendBuffer failed, size overflows. length= " << len << ",n= " << n;
        return false;
    }
    const size_t newSize = len + n;
    char* owned = new (std::nothrow) char[newSize];
    if (owned == nullptr) {
        LOG_STREAM(4) << "renew failed newsize= " << newSize;
        return false;
    }
    memset_s(owned, newSize, 0, newSize);
    if (len != 0 && memcpy_s(owned, newSize, m_buffer + m_readerIndex, len) != 0) {
        LOG_STREAM(4) << "memcpy_s failed.";
        delete[] owned;
        return false;
    }
    m_buffer = owned;
    m_readerIndex = 0;
    m_writerIndex = len;
    m_capacity = newSize;
    m_ownsBuffer = true;
    NET_TRACE(0, MODULE_NAME, ReplicationDebugOn()) << "Need Renew";
    PrintInfo();
    return true;
}

char* IOBuffer::Renew(char* old, size_t oldSize, size_t newSize)
{
    NET_TRACE(0, MODULE_NAME, ReplicationDebugOn()) << "Enter Renew newsize= " << newSize << ",oldsize = " << oldSize;
    if (newSize == 0 || old == nullptr) {
        return old;
    }
    char* block = new (std::nothrow) char[newSize];
    if (block == nullptr) {
        LOG_STREAM(4) << "renew failed newsize= " << newSize;
        return nullptr;
    }
    memset_s(block, newSize, 0, newSize);
    char* result = block;
    if (oldSize != 0 && memcpy_s(block, newSize, old, oldSize) != 0) {
        LOG_STREAM(4) << "memcpy_s failed.";
        delete[] block;
        // Keep the old storage: the caller sees the failure and still owns it.
        return nullptr;
    }
    delete[] old;
    return result;
}

void IOBuffer::PrintInfo()
{
    NET_TRACE(0, MODULE_NAME, ReplicationDebugOn())
        << "m_readerIndex= " << m_readerIndex << ",m_writerIndex= " << m_writerIndex << ",m_capacity= " << m_capacity;
}
