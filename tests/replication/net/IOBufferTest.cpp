// IO buffer: compaction versus growth, boundaries, overflow and allocation
// failures, and borrowed storage that must never be written or freed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/ConfigReader.h"
#include "host/testing/Fakes.h"
#include "replication/net/IOBuffer.h"
#include "tests/support/TempRoot.h"
#include "tests/support/WaitFor.h"

// Huge requests must come back as null from the allocator, not abort.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}
extern "C" const char* __tsan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

struct DebugTraces {
    testing_fakes::LogCapture logs{0};
    testing_fakes::ConfigOverride cfg;
    DebugTraces() { cfg.Set("Replication", "ReplicationCommunicationDebug", 1); }
};

std::string Readable(const IOBuffer& b)
{
    return std::string(b.Data(), b.Length());
}

}  // namespace

// Room for an append: the tail as it is, compaction when the consumed prefix
// plus the tail suffice, otherwise growth to exactly writer + request (the
// reader index kept). Consuming all, or more, then resets both indices and
// keeps the capacity; zero bytes always fit.
TEST(IOBufferTest, AppendUsesTheTailThenCompactsThenGrows)
{
    struct Case {
        const char* name;
        size_t capacity;
        const char* first;
        size_t consume;
        const char* second;
        size_t reader, writer, capacityAfter;
        const char* readable;
        size_t compactions, growths;
    };
    const Case cases[] = {
        {"exactly the tail", 8, "abc", 0, "defgh", 0, 8, 8, "abcdefgh", 0, 0},
        {"compaction, exactly the free bytes", 10, "abcdef", 4, "ghijklmn", 0, 10, 10, "efghijklmn", 1, 0},
        {"growth", 10, "abcdefgh", 1, "12345", 1, 13, 13, "bcdefgh12345", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DebugTraces t;
        IOBuffer b(c.capacity);
        ASSERT_TRUE(b.Append(c.first, std::strlen(c.first)));
        b.Consume(c.consume);
        ASSERT_TRUE(b.Append(c.second, std::strlen(c.second)));
        EXPECT_EQ(c.reader, b.ReaderIndex());
        EXPECT_EQ(c.writer, b.WriterIndex());
        EXPECT_EQ(c.capacityAfter, b.Capacity());
        EXPECT_EQ(c.readable, Readable(b));
        EXPECT_EQ(c.compactions, t.logs.Count("noNeed Renew", 0));
        EXPECT_EQ(c.growths, t.logs.Count("Need Renew", 0) - t.logs.Count("noNeed Renew", 0));
        EXPECT_EQ(c.growths, t.logs.Count("Enter Renew newsize= " + std::to_string(c.capacityAfter) +
                                              ",oldsize = " + std::to_string(c.capacity),
                                          0));
        EXPECT_TRUE(t.logs.Contains("m_readerIndex= " + std::to_string(c.reader) + ",m_writerIndex= " +
                                        std::to_string(c.writer) + ",m_capacity= " + std::to_string(c.capacityAfter),
                                    0));
        for (size_t extra : {0, 100}) {
            t.logs.Clear();
            b.Consume(b.Length() + extra);
            EXPECT_EQ(0u, b.ReaderIndex());
            EXPECT_EQ(0u, b.WriterIndex());
            EXPECT_EQ(1u, t.logs.Count("m_readerIndex= 0,m_writerIndex= 0,m_capacity= " +
                                       std::to_string(c.capacityAfter), 0));
        }
        EXPECT_TRUE(b.Append("", 0));
        EXPECT_EQ(c.capacityAfter, b.Capacity());
    }
}

// A request whose size would wrap, and one no allocator can serve: refused,
// with the storage and contents kept and the buffer still usable.
TEST(IOBufferTest, RefusedGrowthKeepsStorageAndContents)
{
    const struct {
        size_t request;
        const char* text;
    } cases[] = {
        {std::numeric_limits<size_t>::max() - 5, "size overflows"},
        {std::numeric_limits<size_t>::max() / 2, "renew failed newsize= "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        testing_fakes::LogCapture logs;
        IOBuffer b(16);
        ASSERT_TRUE(b.Append("0123456789", 10));
        b.Consume(2);
        const char* before = b.Data();
        const char dummy = 0;
        EXPECT_FALSE(b.Append(&dummy, c.request));
        EXPECT_TRUE(logs.Contains(c.text, 4));
        EXPECT_TRUE(logs.Contains("Append failed,current capacity= 16", 4));
        EXPECT_EQ(before, b.Data());
        EXPECT_EQ("23456789", Readable(b));
        EXPECT_EQ(16u, b.Capacity());
        ASSERT_TRUE(b.Append("abcdefghij", 10));
        EXPECT_EQ("23456789abcdefghij", Readable(b));
    }
}

TEST(IOBufferTest, FailedConstructionLeavesABufferThatRefusesAppends)
{
    testing_fakes::LogCapture logs;
    IOBuffer b(std::numeric_limits<size_t>::max() / 2);
    EXPECT_EQ(std::numeric_limits<size_t>::max() / 2, b.Capacity());
    EXPECT_EQ(0u, b.Length());
    EXPECT_FALSE(b.Append("abc", 3));
    EXPECT_TRUE(logs.Contains("memmove_s failed. errno_t= ", 4));
}

TEST(IOBufferTest, RenewEdgeCases)
{
    IOBuffer b(4);
    char* same = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(nullptr, b.Renew(nullptr, 4, 8));
    EXPECT_EQ(same, b.Renew(same, 4, 0));
    char* old = new char[4];
    std::memcpy(old, "wxyz", 4);
    char* grown = b.Renew(old, 4, 8);  // frees old
    ASSERT_NE(nullptr, grown);
    EXPECT_EQ(0, std::memcmp(grown, "wxyz\0\0\0\0", 8));
    delete[] grown;
}

TEST(IOBufferTest, WrappedMemoryIsReadInPlaceAndNeverWrittenOrFreed)
{
    char caller[100];
    for (int i = 0; i < 100; ++i) {
        caller[i] = static_cast<char>(i);
    }
    char snapshot[100];
    std::memcpy(snapshot, caller, sizeof(caller));
    {
        IOBuffer w(caller, sizeof(caller), 7);
        EXPECT_EQ(100u, w.Length());
        EXPECT_EQ(caller, w.Data());
        EXPECT_EQ(7, w.Tag());
        EXPECT_FALSE(w.OwnsBuffer());
        w.Consume(40);
        // Prefix plus tail would fit: an owning buffer would compact into
        // the caller's memory. This one copies into its own storage.
        ASSERT_TRUE(w.Append("new", 3));
        EXPECT_TRUE(w.OwnsBuffer());
        EXPECT_EQ(63u, w.Length());
        EXPECT_EQ(0, std::memcmp(w.Data(), caller + 40, 60));
        EXPECT_EQ("new", std::string(w.Data() + 60, 3));
        EXPECT_EQ(0, std::memcmp(caller, snapshot, sizeof(caller)));
    }
    {
        // Drained to empty, the indices reset; writing must still not land
        // in the caller's bytes.
        IOBuffer w(caller, sizeof(caller), 1);
        w.Consume(100);
        ASSERT_TRUE(w.Append("zz", 2));
        EXPECT_EQ("zz", Readable(w));
        EXPECT_NE(caller, w.Data());
    }
    EXPECT_EQ(0, std::memcmp(caller, snapshot, sizeof(caller)));

    IOBuffer empty(nullptr, 10, 3);
    EXPECT_EQ(0u, empty.Length());
    EXPECT_EQ(0u, empty.Capacity());
    EXPECT_EQ(3, empty.Tag());
    ASSERT_TRUE(empty.Append("abc", 3));
    EXPECT_EQ("abc", Readable(empty));
    IOBuffer zero(caller, 0, 3);
    EXPECT_EQ(0u, zero.Capacity());
}

// Sources a copy or a move starts from: owning with a consumed prefix,
// wrapping caller memory, and empty without storage.
struct SourceCase {
    const char* name;
    std::function<IOBuffer()> make;
    std::string readable;
    bool owns;  // after the returns by value that built it
};

std::vector<SourceCase> Sources()
{
    static const char caller[] = "borrowed bytes";
    return {
        {"owning",
         [] {
             IOBuffer b(32);
             b.Append("hello world", 11);
             b.Consume(6);
             return b;
         },
         "world", true},
        {"wrapping", [] { return IOBuffer(caller, 14, 7); }, "borrowed bytes", false},
        {"empty", [] { return IOBuffer(nullptr, 0, 3); }, "", false},
    };
}

// A copy owns its bytes (same indices, capacity and tag) and is independent
// of its source; a move hands the storage over (owned or borrowed) and
// leaves the source empty and usable again.
TEST(IOBufferTest, CopyCopiesAndMoveHandsOver)
{
    for (const SourceCase& c : Sources()) {
        SCOPED_TRACE(c.name);
        auto src = std::make_unique<IOBuffer>(c.make());
        ASSERT_EQ(c.owns, src->OwnsBuffer());
        IOBuffer constructed(*src);
        IOBuffer assigned(4);
        ASSERT_TRUE(assigned.Append("old", 3));
        assigned = *src;
        for (IOBuffer* copy : {&constructed, &assigned}) {
            EXPECT_EQ(c.readable, Readable(*copy));
            EXPECT_EQ(src->ReaderIndex(), copy->ReaderIndex());
            EXPECT_EQ(src->Capacity(), copy->Capacity());
            EXPECT_EQ(src->Tag(), copy->Tag());
            EXPECT_EQ(src->Capacity() != 0, copy->OwnsBuffer());
            EXPECT_TRUE(src->Capacity() == 0 || src->Data() != copy->Data());
        }
        constructed.Consume(1);
        ASSERT_TRUE(constructed.Append("!", 1));
        EXPECT_EQ(c.readable, Readable(*src));

        const char* data = src->Data();
        const bool owned = src->OwnsBuffer();
        IOBuffer moved(std::move(*src));
        IOBuffer target(16);
        ASSERT_TRUE(target.Append("to be freed", 11));
        target = std::move(moved);
        for (IOBuffer* from : {src.get(), &moved}) {
            EXPECT_EQ(0u, from->Length());
            EXPECT_EQ(0u, from->Capacity());
            EXPECT_FALSE(from->OwnsBuffer());
            EXPECT_EQ(-1, from->Tag());
        }
        EXPECT_EQ(data, target.Data());
        EXPECT_EQ(owned, target.OwnsBuffer());
        EXPECT_EQ(c.readable, Readable(target));
        src.reset();  // the copies outlive their source
        EXPECT_EQ(c.readable, Readable(assigned));
        EXPECT_EQ(c.readable.empty() ? "!" : c.readable.substr(1) + "!", Readable(constructed));
        ASSERT_TRUE(moved.Append("again", 5));
        EXPECT_EQ("again", Readable(moved));
    }
    IOBuffer self(8);
    ASSERT_TRUE(self.Append("me", 2));
    IOBuffer& alias = self;
    self = alias;
    EXPECT_EQ("me", Readable(self));
}

// The inline paths trace every Append and Consume (one line each) while the
// switch is on and nothing while it is off. The switch is read per call, not
// when the buffer is built: flipping it afterwards takes effect at the next
// append or consume, whether it comes from an override or from a configuration
// file (set again, or changed on disk). A null source fails whatever the switch.
TEST(IOBufferTest, TraceSwitchFlippedAfterTheBufferWasBuiltIsHonoured)
{
    const std::string line = "m_readerIndex= ";
    testing_fakes::LogCapture logs{0};
    IOBuffer b(64);
    ASSERT_TRUE(b.Append("ab", 2));  // default: off
    EXPECT_FALSE(b.Append(nullptr, 1));
    EXPECT_EQ(0u, logs.Count(line, 0));
    {
        testing_fakes::ConfigOverride cfg;
        cfg.Set("Replication", "ReplicationCommunicationDebug", 1);
        b.Consume(1);
        EXPECT_TRUE(logs.Contains(line + "1,m_writerIndex= 2,m_capacity= 64", 0));
        cfg.Set("Replication", "ReplicationCommunicationDebug", 0);
        ASSERT_TRUE(b.Append("c", 1));
        EXPECT_EQ(1u, logs.Count(line, 0));
        cfg.Set("Replication", "ReplicationCommunicationDebug", 1);
        ASSERT_TRUE(b.Append("d", 1));
        EXPECT_TRUE(logs.Contains(line + "1,m_writerIndex= 4,m_capacity= 64", 0));
        EXPECT_FALSE(b.Append(nullptr, 1));
        EXPECT_EQ(2u, logs.Count(line, 0)) << "a failed append traces nothing";
        EXPECT_EQ(3u, b.Length());
    }
    b.Consume(1);  // override gone: off again
    EXPECT_EQ(2u, logs.Count(line, 0));

    testroot::TempRoot dir;  // removes the file at the end
    struct NoFileAtEnd {
        ~NoFileAtEnd() { ConfigReader::SetConfigFile(""); }
    } noFileAtEnd;
    const std::string path = dir.Path() + "/datamover.ini";
    std::ofstream(path) << "[Replication]\nReplicationCommunicationDebug=1\n";
    ConfigReader::SetConfigFile(path);
    b.Consume(1);
    EXPECT_TRUE(logs.Contains(line + "3,m_writerIndex= 4,m_capacity= 64", 0));
    std::ofstream(path) << "[Replication]\nReplicationCommunicationDebug=0\n";
    ConfigReader::SetConfigFile(path);
    b.Consume(10);
    EXPECT_EQ(3u, logs.Count(line, 0));
    // Changed on disk (another size, so the change shows whatever the clock's
    // grain): the file is checked at most every 200 ms, so wait, bounded, for
    // the trace to come back rather than for a guessed time.
    std::ofstream(path) << "[Replication]\nReplicationCommunicationDebug = 1\n";
    EXPECT_TRUE(testwait::WaitFor(
        [&] {
            b.Consume(1);
            return logs.Count(line, 0) != 3;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(20)));
    EXPECT_EQ(4u, logs.Count(line, 0));
    ConfigReader::SetConfigFile("");
    b.Consume(1);
    EXPECT_EQ(4u, logs.Count(line, 0));
}
