#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "host/testing/Fakes.h"
#include "replication/memory/ReplicationSharedMemPool.h"
#include "tests/replication/memory/MemTestSupport.h"

namespace {
using memtest::ShmExists;
using memtest::ShmPath;
using memtest::UniqueShmName;
using testing_fakes::LogCapture;

uint32_t TrailerOf(ReplicationSharedMemPool& pool, uint32_t id)
{
    uint32_t v = 0;
    std::memcpy(&v, pool.GetPoolBuffer() + pool.GetRealBufferSize() * id + pool.GetBufferSize(), 4);
    return v;
}

// Removes a test's object even when an assertion ends the test early.
struct ShmCleanup {
    std::string name;
    ~ShmCleanup() { shm_unlink(name.c_str()); }
};

// A creator pool of 8 blocks of 1000 bytes under a name of its own.
struct CreatorPool {
    LogCapture cap;
    std::string name = UniqueShmName("pool");
    ShmCleanup cleanup{name};
    ReplicationSharedMemPool pool{true, name};
    CreatorPool(uint32_t blocks = 8, uint64_t size = 1000) { EXPECT_TRUE(pool.Initialize(blocks, size)); }
};

TEST(ReplicationSharedMemPool, GeometryWithIdTrailers)
{
    CreatorPool c;
    ReplicationSharedMemPool& pool = c.pool;
    const std::string& name = c.name;
    EXPECT_EQ(pool.GetRealBufferSize(), 1004u);
    EXPECT_EQ(pool.GetMapLength(), 8032u);
    struct stat st {};
    ASSERT_EQ(stat(ShmPath(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8032);
    BufferSt b;
    ASSERT_TRUE(pool.GetMemBlock(3, b));
    EXPECT_EQ(b.data - pool.GetPoolBuffer(), 3012);
    EXPECT_EQ(b.size, 1000);
    EXPECT_EQ(b.bufferId, 3u);
    // Bytes 4012..4015 hold block 3's id; GetMemBlockPtr rewrites it.
    std::memset(pool.GetPoolBuffer() + 4012, 0, 4);
    std::shared_ptr<char> p = pool.GetMemBlockPtr(3);
    ASSERT_TRUE(p);
    EXPECT_EQ(p.get(), b.data);
    uint32_t trailer = 0;
    std::memcpy(&trailer, pool.GetPoolBuffer() + 4012, 4);
    EXPECT_EQ(trailer, 3u);
    // The creator names every block in its trailer from the start.
    EXPECT_EQ(TrailerOf(pool, 7), 7u);
}

// A block has one owner. Only a block held by id may become pointer-owned; a
// block some pointer already owns, or a free one, is refused (a second owner
// would free it while it is handed out again), and so is a free by id of a
// pointer-owned block.
TEST(ReplicationSharedMemPool, BlockOwnerIsUnique)
{
    struct Case {
        const char* name;
        // Makes block 1 what the case needs; returns what keeps it owned.
        std::function<std::shared_ptr<char>(ReplicationSharedMemPool&)> setUp;
        const char* why;
    };
    const Case cases[] = {
        {"owned by MallocMemBlockPtr",
         [](ReplicationSharedMemPool& pool) { return pool.MallocMemBlockPtr(false, nullptr); }, "(owned by a pointer)"},
        {"moved once already",
         [](ReplicationSharedMemPool& pool) {
             BufferSt b;
             EXPECT_TRUE(pool.MallocMemBlock(b, false, nullptr));
             return pool.MoveMemBlockToAutoReleasePtr(pool.GetMemBlockPtr(b.bufferId));
         },
         "(owned by a pointer)"},
        {"free, trailer written by a view",
         [](ReplicationSharedMemPool& pool) {
             pool.GetMemBlockPtr(1);
             return std::shared_ptr<char>();
         },
         "(free)"},
        {"freed by id after it was held",
         [](ReplicationSharedMemPool& pool) {
             BufferSt b;
             EXPECT_TRUE(pool.MallocMemBlock(b, false, nullptr));
             EXPECT_TRUE(pool.FreeMemBlock(b.bufferId));
             return std::shared_ptr<char>();
         },
         "(free)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CreatorPool fixture(4, 64);
        ReplicationSharedMemPool& pool = fixture.pool;
        LogCapture& cap = fixture.cap;
        BufferSt zero;
        ASSERT_TRUE(pool.MallocMemBlock(zero, false, nullptr));
        std::shared_ptr<char> owner = c.setUp(pool);
        char* block1 = pool.GetPoolBuffer() + pool.GetRealBufferSize();
        uint32_t freeBefore = pool.MemPoolSize();
        std::shared_ptr<char> view(block1, [](char*) {});
        EXPECT_FALSE(pool.MoveMemBlockToAutoReleasePtr(view));
        EXPECT_TRUE(cap.Contains(std::string("MoveMemBlockToAutoReleasePtr failed bufferId is not held by its caller:1 ") +
                                     c.why,
                                 4))
            << cap.Dump();
        if (owner) {
            EXPECT_FALSE(pool.FreeMemBlock(1));
            EXPECT_TRUE(cap.Contains("FreeMemBlock failed bufferId is owned by a pointer:1", 4));
        }
        EXPECT_EQ(pool.MemPoolSize(), freeBefore);
        // The one owner gives the block back once: a new holder keeps it.
        owner.reset();
        BufferSt again;
        ASSERT_TRUE(pool.MallocMemBlock(again, false, nullptr));
        EXPECT_EQ(again.bufferId, 1u);
        EXPECT_EQ(pool.MemPoolSize(), 2u);
        // A held block moves; the pointer does not share ownership with its
        // argument, and its release alone frees the block named in the trailer.
        cap.Clear();
        std::shared_ptr<char> moved = pool.MoveMemBlockToAutoReleasePtr(pool.GetMemBlockPtr(1));
        ASSERT_TRUE(moved);
        EXPECT_EQ(moved.get(), block1);
        EXPECT_FALSE(pool.MoveMemBlockToAutoReleasePtr(view));
        view.reset();
        EXPECT_EQ(pool.MemPoolSize(), 2u);
        moved.reset();
        EXPECT_EQ(pool.MemPoolSize(), 3u);
        EXPECT_TRUE(cap.Contains("Free SM Block.", 1));
        ASSERT_TRUE(pool.MallocMemBlock(again, false, nullptr));
        EXPECT_EQ(again.bufferId, 1u);
    }
}

TEST(ReplicationSharedMemPool, IdsOutsideThePoolAreRefused)
{
    CreatorPool fixture;
    ReplicationSharedMemPool& pool = fixture.pool;
    LogCapture& cap = fixture.cap;
    BufferSt b;
    b.bufferId = 42;
    EXPECT_FALSE(pool.GetMemBlock(8, b));
    EXPECT_EQ(b.bufferId, 42u);
    EXPECT_FALSE(pool.GetMemBlock(0xFFFFFFFF, b));
    EXPECT_FALSE(pool.GetMemBlockPtr(8));
    EXPECT_FALSE(pool.GetMemBlockPtr(0x7FFFFFFF));
    EXPECT_TRUE(cap.Contains("GetMemBlock failed bufferId not exist:8", 4)) << cap.Dump();

    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(pool.MallocMemBlock(b, false, nullptr));
    }
    // A trailer rewritten out of range, a trailer naming another block, a
    // pointer into the middle of a block, a pointer from elsewhere, nothing.
    uint32_t bad = 99;
    std::memcpy(pool.GetPoolBuffer() + 1004 * 2 + 1000, &bad, 4);
    std::shared_ptr<char> two(pool.GetPoolBuffer() + 1004 * 2, [](char*) {});
    cap.Clear();
    EXPECT_FALSE(pool.MoveMemBlockToAutoReleasePtr(two));
    EXPECT_TRUE(cap.Contains("MoveMemBlockToAutoReleasePtr failed bufferId not exist:99", 4)) << cap.Dump();
    uint32_t other = 4;
    std::memcpy(pool.GetPoolBuffer() + 1004 * 2 + 1000, &other, 4);
    EXPECT_FALSE(pool.MoveMemBlockToAutoReleasePtr(two));
    std::shared_ptr<char> middle(pool.GetPoolBuffer() + 10, [](char*) {});
    EXPECT_FALSE(pool.MoveMemBlockToAutoReleasePtr(middle));
    auto heap = std::shared_ptr<char>(new char[2000], std::default_delete<char[]>());
    EXPECT_FALSE(pool.MoveMemBlockToAutoReleasePtr(heap));
    EXPECT_FALSE(pool.MoveMemBlockToAutoReleasePtr(std::shared_ptr<char>()));
    EXPECT_TRUE(cap.Contains("Failed to copy bufferId.", 4));
    EXPECT_EQ(pool.MemPoolSize(), 0u);  // nothing was freed by a refused pointer
}

// Attaching before any creator fails; an attached process may not allocate or free.
TEST(ReplicationSharedMemPool, AttachedProcessMayNotAllocateOrFree)
{
    LogCapture cap;
    std::string name = UniqueShmName("attach");
    ShmCleanup cleanup{name};
    {
        ReplicationSharedMemPool early(false, name);
        EXPECT_FALSE(early.Initialize(4, 100));
        EXPECT_TRUE(cap.Contains("Failed to create shared memory.", 4));
        EXPECT_FALSE(ShmExists(name));
        BufferSt b;
        EXPECT_FALSE(early.GetMemBlock(0, b));  // no mapping behind the ids
    }
    ReplicationSharedMemPool creator(true, name);
    ASSERT_TRUE(creator.Initialize(4, 100));
    {
        ReplicationSharedMemPool attached(false, name);
        ASSERT_TRUE(attached.Initialize(4, 100));
        BufferSt b;
        EXPECT_FALSE(attached.MallocMemBlock(b, false, nullptr));
        EXPECT_FALSE(attached.FreeMemBlock(0));
        EXPECT_FALSE(attached.MallocMemBlockPtr(true, nullptr));
        std::shared_ptr<char> p = attached.GetMemBlockPtr(1);
        ASSERT_TRUE(p);
        EXPECT_FALSE(attached.MoveMemBlockToAutoReleasePtr(p));
        EXPECT_TRUE(cap.Contains("Non-pool creator shouldn't user MallocMemBlock interface.", 4));
        EXPECT_TRUE(cap.Contains("Non-pool creator shouldn't user FreeMemBlock interface.", 4));
        EXPECT_TRUE(cap.Contains("Non-pool creator shouldn't user MallocMemBlockPtr interface.", 4));
        EXPECT_TRUE(cap.Contains("Non-pool creator shouldn't use this interface.", 4));
        // Both mappings see the same bytes.
        std::memcpy(p.get(), "shared!", 8);
        EXPECT_STREQ(creator.GetPoolBuffer() + 104, "shared!");
    }
    {
        // An attached process with a smaller geometry must not shrink the
        // object under the creator's mapping (its pages would vanish).
        ReplicationSharedMemPool smaller(false, name);
        ASSERT_TRUE(smaller.Initialize(2, 100));
        struct stat st {};
        ASSERT_EQ(stat(ShmPath(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 416);
        creator.GetPoolBuffer()[415] = 'z';  // still mapped and backed
    }
    // Only the creator unlinks; an attached pool going away leaves the object.
    EXPECT_TRUE(ShmExists(name));
    EXPECT_EQ(creator.MemPoolSize(), 4u);
}

// The creator's object is owner-only whatever the umask, new or left over
// with a wide mode, and goes with the creator.
TEST(ReplicationSharedMemPool, ObjectIsOwnerOnlyWhateverTheUmask)
{
    std::string name = UniqueShmName("mode");
    ShmCleanup cleanup{name};
    mode_t old = umask(0);
    for (bool leftover : {false, true}) {
        SCOPED_TRACE(leftover ? "left over with mode 0666" : "new");
        if (leftover) {
            int fd = shm_open(name.c_str(), O_CREAT | O_RDWR, 0666);
            ASSERT_GE(fd, 0);
            fchmod(fd, 0666);
            close(fd);
        }
        {
            ReplicationSharedMemPool pool(true, name);
            ASSERT_TRUE(pool.Initialize(2, 64));
            struct stat st {};
            ASSERT_EQ(stat(ShmPath(name).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u);
            EXPECT_EQ(st.st_uid, geteuid());
        }
        EXPECT_FALSE(ShmExists(name));
    }
    umask(old);
}

TEST(ReplicationSharedMemPool, ObjectOfAnotherUserIsRefused)
{
    std::string name = UniqueShmName("foreign");
    ShmCleanup cleanup{name};
    int fd = shm_open(name.c_str(), O_CREAT | O_RDWR, 0666);
    ASSERT_GE(fd, 0);
    uid_t stranger = geteuid() == 65534 ? 65533 : 65534;
    bool chowned = fchown(fd, stranger, stranger) == 0;
    close(fd);
    if (!chowned) {
        GTEST_SKIP() << "changing an object's owner needs root";
    }
    LogCapture cap;
    {
        ReplicationSharedMemPool attached(false, name);
        EXPECT_FALSE(attached.Initialize(2, 64));
        ReplicationSharedMemPool creator(true, name);
        EXPECT_FALSE(creator.Initialize(2, 64));
        BufferSt b;
        EXPECT_FALSE(creator.MallocMemBlock(b, false, nullptr));
    }
    EXPECT_EQ(cap.Count("is owned by another user", 4), 2u) << cap.Dump();
    // Refused, not taken over: the stranger's object is left as it was.
    struct stat st {};
    ASSERT_EQ(stat(ShmPath(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, stranger);
    EXPECT_EQ(st.st_size, 0);
}

}  // namespace
