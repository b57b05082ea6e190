#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "host/testing/Fakes.h"
#include "replication/memory/ReplicationMemPoolFactory.h"
#include "tests/replication/memory/MemTestSupport.h"

namespace {
using memtest::RunInChild;

// The factory's object has a fixed name, so these children get a private
// /dev/shm (a mount namespace) to keep parallel test runs apart.
bool PrivateShm()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("dmtest", "/dev/shm", "tmpfs", 0, "mode=1777") == 0;
}
using memtest::Watchdog;
using testing_fakes::LogCapture;

// Each pool is created once, by whichever of racing first calls wins.
TEST(ReplicationMemPoolFactory, PoolsAreCreatedOnce)
{
    ReplicationMemPoolFactory* factory = ReplicationMemPoolFactory::GetInstance();
    ASSERT_EQ(factory, ReplicationMemPoolFactory::GetInstance());
    LogCapture cap(1);
    // Racing first calls create one pool between them.
    std::vector<std::thread> threads;
    std::vector<int> results(4, 0);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] { results[i] = factory->InitFixedNormalMemPool(4, 1024) ? 1 : 0; });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(results, (std::vector<int>{1, 1, 1, 1}));
    ReplicateMemPool* pool = factory->GetFixedNormalMemPool();
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(factory->InitFixedNormalMemPool(8, 64));
    EXPECT_EQ(factory->GetFixedNormalMemPool(), pool);
    EXPECT_EQ(pool->GetBufferNumber(), 4u);
    EXPECT_EQ(pool->GetBufferSize(), 1024u);
    EXPECT_LE(cap.Count("Create replication fixed normal memory pool.", 1), 1u);

    ASSERT_TRUE(factory->InitReplicationNormalMemPool(100));
    ReplicationNormalMemPool* normal = factory->GetNormalMemPool();
    ASSERT_NE(normal, nullptr);
    EXPECT_TRUE(factory->InitReplicationNormalMemPool(5));
    EXPECT_EQ(factory->GetNormalMemPool(), normal);
    EXPECT_EQ(normal->GetTotalSize(), 100u);
}

// The factory's shared pool, each case in a process of its own (the factory
// is per process): a creator uses the fixed name, owner-only, and its object
// goes at exit; an attached process that starts before any creator fails, and
// its failed pool stays installed and is not initialised again.
TEST(ReplicationMemPoolFactory, SharedPoolOfCreatorAndOfEarlyAttacher)
{
    Watchdog dog(60);
    const std::function<int()> cases[] = {
        [] {
            pid_t creator = fork();
            if (creator == 0) {
                ReplicationMemPoolFactory* factory = ReplicationMemPoolFactory::GetInstance();
                struct stat st {};
                bool ok = factory->InitFixedSharedMemPool(true, 8, 1000) && factory->GetFixedSharedMemPool() &&
                          stat("/dev/shm/ReplicationSharedMemPool", &st) == 0 && (st.st_mode & 07777) == 0600 &&
                          st.st_size == 8032 && factory->InitFixedSharedMemPool(true, 1, 1) &&
                          factory->GetFixedSharedMemPool()->GetBufferNumber() == 8;
                std::exit(ok ? 0 : 10);  // a normal exit destroys the factory and with it the object
            }
            int status = 0;
            if (creator < 0 || waitpid(creator, &status, 0) != creator || !WIFEXITED(status)) {
                return 13;
            }
            struct stat st {};
            return WEXITSTATUS(status) != 0 ? WEXITSTATUS(status)
                                            : (stat("/dev/shm/ReplicationSharedMemPool", &st) == 0 ? 14 : 0);
        },
        [] {
            ReplicationMemPoolFactory* factory = ReplicationMemPoolFactory::GetInstance();
            if (factory->InitFixedSharedMemPool(false, 4, 100)) {
                return 1;
            }
            ReplicationSharedMemPool* pool = factory->GetFixedSharedMemPool();
            struct stat st {};
            if (pool == nullptr || !factory->InitFixedSharedMemPool(true, 4, 100) ||
                factory->GetFixedSharedMemPool() != pool || stat("/dev/shm/ReplicationSharedMemPool", &st) == 0) {
                return 2;
            }
            return pool->GetPoolBuffer() == nullptr && pool->MemPoolSize() == 0 ? 0 : 5;
        },
    };
    for (const auto& body : cases) {
        int code = RunInChild([&] { return PrivateShm() ? body() : 77; });
        if (code == 77) {
            GTEST_SKIP() << "no private /dev/shm available (needs a mount namespace)";
        }
        EXPECT_EQ(code, 0);
    }
}

}  // namespace
