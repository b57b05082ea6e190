// Leases and claims with an expiry: one holder at a time, renewed while held,
// taken over only once expired (or provably dead), never removed from under a
// new holder; collections ignore expired claims; the chunk cache is trusted
// only under the collection epoch it was built in.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "apps/datamover/repository/ChunkCache.h"
#include "apps/datamover/repository/GarbageCollector.h"
#include "apps/datamover/repository/Lease.h"
#include "tests/repository/RepoTestUtil.h"
#include "tests/support/WaitFor.h"

using namespace repo3;

namespace {

// Polls `done` (an observable state) for up to 20 s.
template <typename F>
bool Eventually(F done)
{
    return testwait::WaitFor(done, std::chrono::seconds(20));
}

class LeaseTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("DATAMOVER_LEASE_SECONDS", "2", 1); }
    void TearDown() override { ::unsetenv("DATAMOVER_LEASE_SECONDS"); }
    HolderRecord Read(const std::string& name)
    {
        std::string text;
        HolderRecord r;
        EXPECT_TRUE(store.Get(name, text)) << name;
        EXPECT_TRUE(ParseHolder(text, r)) << text;
        return r;
    }
    // A record of a process on another machine, expiring at `expires`.
    static std::string Foreign(int64_t expires)
    {
        HolderRecord r;
        r.holder = "garbage collection";
        r.owner = "someone-else";
        r.host = "another-host";
        r.pid = 1;
        r.expiresAt = expires;
        return FormatHolder(r);
    }
    repotest::TempDir dir;
    LocalDirStore store{dir.Path()};
};

TEST_F(LeaseTest, OneHolderAtATimeAndAReleasedLeaseIsFree)
{
    {
        Lease first(store, kGcLockObject, "garbage collection");
        EXPECT_TRUE(first.Held());
        try {
            Lease second(store, kGcLockObject, "prune");
            ADD_FAILURE() << "two holders";
        } catch (const RepositoryBusy& e) {
            EXPECT_NE(std::string(e.what()).find("expires in"), std::string::npos) << e.what();
        }
        EXPECT_EQ(Read(kGcLockObject).owner, first.Owner()) << "the refused one left the record alone";
    }
    EXPECT_FALSE(store.Exists(kGcLockObject));
    Lease again(store, kGcLockObject, "prune");
    EXPECT_TRUE(again.Held());
}

TEST_F(LeaseTest, OnlyAnExpiredOrDeadHoldersLeaseIsTakenOver)
{
    const int64_t now = NowSeconds();
    struct Case {
        std::string what;
        std::string record;
        bool takenOver;
    };
    HolderRecord deadHere = NewHolder("garbage collection");
    deadHere.bootId = "a-boot-long-ago";
    const Case cases[] = {
        {"live, another host", Foreign(now + 100), false},
        {"expired, another host", Foreign(now - 1), true},
        {"no expiry (older writer), another host", Foreign(0), false},
        {"this host, previous boot", FormatHolder(deadHere), true},
        {"unreadable", "not json", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        store.Delete(kGcLockObject);
        ASSERT_FALSE(store.PutIfAbsent(kGcLockObject, c.record));
        if (c.takenOver) {
            Lease l(store, kGcLockObject, "garbage collection");
            EXPECT_EQ(Read(kGcLockObject).owner, l.Owner());
        } else {
            EXPECT_THROW(Lease(store, kGcLockObject, "garbage collection"), RepositoryBusy);
            std::string text;
            ASSERT_TRUE(store.Get(kGcLockObject, text));
            EXPECT_EQ(text, c.record) << "a live holder's record is untouched";
        }
    }
}

TEST_F(LeaseTest, RenewedWhileHeldAndLostWhenAnotherTookIt)
{
    Lease l(store, kGcLockObject, "garbage collection");
    const int64_t first = Read(kGcLockObject).expiresAt;
    // Renewal pushes the expiry on; observed in the store, not waited for by a guess.
    ASSERT_TRUE(Eventually([&] { return Read(kGcLockObject).expiresAt > first; }));
    EXPECT_TRUE(l.Held());
    EXPECT_THROW(Lease(store, kGcLockObject, "prune"), RepositoryBusy);

    // Forced away and taken by another: the first notices at its next renewal,
    // stops relying on it, and its release leaves the new holder's record.
    store.Delete(kGcLockObject);
    ASSERT_FALSE(store.PutIfAbsent(kGcLockObject, Foreign(NowSeconds() + 100)));
    ASSERT_TRUE(Eventually([&] { return !l.Held(); }));
    EXPECT_THROW(l.Check("deleting"), RepositoryBusy);
    l.Release();
    EXPECT_EQ(Read(kGcLockObject).owner, "someone-else");
}

TEST_F(LeaseTest, CollectionsRemoveExpiredClaimsAndAreDeferredByLiveOnes)
{
    const RepoKeys keys = InitRepository(store, Encryption::None, "", repotest::FastKdf());
    HolderRecord expired = NewHolder("backup dead");
    expired.host = "another-host";
    expired.expiresAt = NowSeconds() - 5;
    ASSERT_FALSE(store.PutIfAbsent("pending/dead", FormatHolder(expired)));
    GcReport g = CollectGarbage(store, keys);
    EXPECT_FALSE(g.deferred);
    EXPECT_EQ(g.expiredClaims, std::vector<std::string>{"pending/dead"});
    EXPECT_FALSE(store.Exists("pending/dead"));

    BackupClaim live(store, "live");
    g = CollectGarbage(store, keys);
    EXPECT_TRUE(g.deferred);
    EXPECT_EQ(g.claims, std::vector<std::string>{"pending/live"});
    // Still renewed after a lease time: the live claim keeps deferring.
    const int64_t first = Read("pending/live").expiresAt;
    ASSERT_TRUE(Eventually([&] { return Read("pending/live").expiresAt > first + 1; }));
    EXPECT_TRUE(CollectGarbage(store, keys).deferred);
    EXPECT_NO_THROW(live.Check());

    // A claim removed from under its backup (judged expired): no index may follow.
    store.Delete("pending/live");
    ASSERT_TRUE(Eventually([&] {
        try {
            live.Check();
            return false;
        } catch (const RepositoryBusy&) {
            return true;
        }
    }));
}

TEST_F(LeaseTest, AChunkCacheIsTrustedOnlyUnderItsCollectionEpoch)
{
    const RepoKeys keys = InitRepository(store, Encryption::None, "", repotest::FastKdf());
    ChunkStore chunks(store, keys);
    const std::string file = dir.Path() + "-cache";
    const std::string a(4096, 'a'), b(4096, 'b');
    const ChunkId idA = chunks.Put(a.data(), a.size()).id;
    {
        ChunkCache cache(store, chunks, file);
        EXPECT_TRUE(cache.Rebuilt()) << "no file yet";
        EXPECT_TRUE(cache.Known(idA));
        chunks.UseCache(&cache);
        EXPECT_TRUE(chunks.Put(b.data(), b.size()).stored);
        EXPECT_FALSE(chunks.Put(b.data(), b.size()).stored) << "known from the cache";
        cache.Save();
        chunks.UseCache(nullptr);
    }
    {
        ChunkCache cache(store, chunks, file);
        EXPECT_FALSE(cache.Rebuilt());
        EXPECT_EQ(cache.Size(), 2u);
    }
    // A collection that deletes changes the epoch first: the cache is rebuilt
    // and no longer names the chunk that went.
    repotest::StoreIndex(store, keys, "vol", "b1", {a});  // keeps chunk a
    ::unsetenv("DATAMOVER_LEASE_SECONDS");
    EXPECT_EQ(CollectGarbage(store, keys).deleted, 1u);
    ChunkCache after(store, chunks, file);
    EXPECT_TRUE(after.Rebuilt());
    EXPECT_TRUE(after.Known(idA));
    EXPECT_FALSE(after.Known(chunks.IdOf(b.data(), b.size())));
    // A file cut short is not trusted.
    after.Save();
    std::string text;
    {
        std::ifstream in(file);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::ofstream(file, std::ios::trunc) << text.substr(0, text.size() - 4);
    EXPECT_TRUE(ChunkCache(store, chunks, file).Rebuilt());
    std::remove(file.c_str());
}

}  // namespace
