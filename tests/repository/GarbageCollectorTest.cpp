// Garbage collection: referenced chunks always kept, a running backup's finds
// never deleted under it, no deletion without every index read, every kill
// point leaving kept backups readable, and leftovers judged only on certainty.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "apps/datamover/repository/GarbageCollector.h"
#include "tests/repository/RepoTestUtil.h"

using namespace repo3;

namespace {

using Repo = repotest::TestRepo;

// A backup of `blocks` (one per entry, "" for a zero block) as the CLI will do
// it: claim, store or find each chunk, write the index, release.
BackupIndex Backup(ObjectStore& store, const RepoKeys& keys, const std::string& volume, const std::string& id,
                   const std::vector<std::string>& blocks)
{
    BackupClaim claim(store, id);
    BackupIndex x = repotest::StoreIndex(store, keys, volume, id, blocks);
    claim.Release();
    return x;
}

// Every chunk of every index reads back and authenticates.
void ExpectAllRestorable(ObjectStore& store, const RepoKeys& keys)
{
    IndexStore indexes(store, keys);
    ChunkStore chunks(store, keys);
    for (const auto& n : indexes.List()) {
        for (const auto& b : indexes.Read(n.volumeId, n.backupId).blocks) {
            if (b) {
                EXPECT_NO_THROW(chunks.Get(*b)) << n.volumeId << "/" << n.backupId;
            }
        }
    }
}

TEST(GarbageCollector, DeletesExactlyTheChunksNoIndexReferences)
{
    Repo r;
    Backup(r.store, r.keys, "vol-a", "b1", {"shared", "only-b1", ""});
    Backup(r.store, r.keys, "vol-b", "b2", {"shared", "only-b2", "shared"});  // dedup across volumes
    ChunkStore chunks(r.store, r.keys);
    EXPECT_EQ(chunks.List().size(), 3u);

    GcReport dry = CollectGarbage(r.store, r.keys, GcOptions{true});
    EXPECT_TRUE(dry.unreferenced.empty());
    EXPECT_EQ(dry.referenced, 3u);

    IndexStore(r.store, r.keys).Remove("vol-a", "b1");
    dry = CollectGarbage(r.store, r.keys, GcOptions{true});
    EXPECT_EQ(dry.unreferenced.size(), 1u);
    EXPECT_EQ(chunks.List().size(), 3u) << "a dry run deletes nothing";

    const GcReport rep = CollectGarbage(r.store, r.keys);
    EXPECT_FALSE(rep.deferred);
    EXPECT_EQ(rep.indexes, 1u);
    EXPECT_EQ(rep.deleted, 1u);
    EXPECT_EQ(chunks.List().size(), 2u);
    ExpectAllRestorable(r.store, r.keys);
    EXPECT_FALSE(r.store.Exists(kGcLockObject)) << "the lock goes with the collection";
    EXPECT_EQ(CollectGarbage(r.store, r.keys).deleted, 0u) << "a second run finds nothing";
}

// The race the claim exists for: a backup finds an unreferenced chunk present,
// a collection runs before the backup's index lands.
TEST(GarbageCollector, AChunkARunningBackupFoundPresentSurvives)
{
    for (bool claimed : {true, false}) {
        Repo r;
        Backup(r.store, r.keys, "vol", "old", {"block"});
        IndexStore(r.store, r.keys).Remove("vol", "old");  // its chunk is now unreferenced
        ChunkStore chunks(r.store, r.keys);
        const std::string data = "block" + std::string(4091, '.');
        const ChunkId id = chunks.IdOf(data.data(), data.size());

        std::unique_ptr<BackupClaim> claim;
        if (claimed) {
            claim = std::make_unique<BackupClaim>(r.store, "new");
        }
        ASSERT_FALSE(chunks.Put(data.data(), data.size()).stored) << "found present: not stored again";
        const GcReport rep = CollectGarbage(r.store, r.keys);
        if (!claimed) {
            // The control: without a claim the collector is right to delete it.
            EXPECT_FALSE(chunks.Exists(id));
            continue;
        }
        EXPECT_TRUE(rep.deferred);
        EXPECT_EQ(rep.claims, std::vector<std::string>{"pending/new"});
        EXPECT_TRUE(chunks.Exists(id));
        repotest::StoreIndex(r.store, r.keys, "vol", "new", {"block"});  // its index lands, under the claim
        claim->Release();
        EXPECT_EQ(CollectGarbage(r.store, r.keys).deleted, 0u);
        ExpectAllRestorable(r.store, r.keys);
    }
}

TEST(GarbageCollector, BackupsAndCollectionsExcludeEachOther)
{
    Repo r;
    r.store.PutIfAbsent(kGcLockObject, "{}");  // a collection in its delete phase
    EXPECT_THROW(BackupClaim(r.store, "b1"), RepositoryBusy);
    EXPECT_TRUE(r.store.List(kPendingPrefix).empty()) << "a refused backup leaves no claim";
    EXPECT_THROW(CollectGarbage(r.store, r.keys), RepositoryBusy);
    EXPECT_TRUE(r.store.Exists(kGcLockObject)) << "a refused collection leaves the other's lock";
    r.store.Delete(kGcLockObject);
    BackupClaim one(r.store, "b1");
    EXPECT_THROW(BackupClaim(r.store, "b1"), RepositoryBusy) << "one backup id, one run";
}

TEST(GarbageCollector, NothingIsDeletedUnlessEveryIndexReads)
{
    const struct {
        const char* what;
        std::function<void(Repo&)> damage;
    } cases[] = {
        {"an index altered",
         [](Repo& r) {
             std::string f;
             r.store.Get(IndexStore::ObjectName("vol", "b2"), f);
             f[f.size() / 2] ^= 1;
             r.store.Replace(IndexStore::ObjectName("vol", "b2"), f);
         }},
        {"an unknown object under indexes/", [](Repo& r) { r.store.PutIfAbsent("indexes/vol/junk/x", "?"); }},
        {"an index sealed under another key",
         [](Repo& r) {
             Repo other;
             Backup(other.store, other.keys, "vol", "b3", {"x"});
             std::string f;
             other.store.Get(IndexStore::ObjectName("vol", "b3"), f);
             r.store.PutIfAbsent(IndexStore::ObjectName("vol", "b3"), f);
         }},
    };
    for (const auto& c : cases) {
        Repo r;
        Backup(r.store, r.keys, "vol", "b1", {"a"});
        Backup(r.store, r.keys, "vol", "b2", {"b"});
        IndexStore(r.store, r.keys).Remove("vol", "b1");
        c.damage(r);
        EXPECT_ANY_THROW(CollectGarbage(r.store, r.keys)) << c.what;
        EXPECT_EQ(ChunkStore(r.store, r.keys).List().size(), 2u) << c.what;
        EXPECT_FALSE(r.store.Exists(kGcLockObject)) << c.what;
    }
}

TEST(GarbageCollector, MissingReferencedChunksAreReportedNotHidden)
{
    Repo r;
    const BackupIndex x = Backup(r.store, r.keys, "vol", "b1", {"a", "b"});
    ChunkStore(r.store, r.keys).Remove(*x.blocks[1]);
    const GcReport rep = CollectGarbage(r.store, r.keys);
    EXPECT_EQ(rep.missing, std::vector<ChunkId>{*x.blocks[1]});
    EXPECT_EQ(rep.deleted, 0u);
}

// A collection killed after each possible number of mutations: every kept
// backup stays readable, and the next collection (once the dead one's lock is
// cleared) finishes the job.
TEST(GarbageCollector, EveryKillPointLeavesKeptBackupsRestorable)
{
    for (int killAfter = 0;; ++killAfter) {
        Repo r;
        Backup(r.store, r.keys, "vol", "keep", {"k1", "shared", ""});
        Backup(r.store, r.keys, "vol", "drop", {"d1", "d2", "shared", "d3"});
        IndexStore(r.store, r.keys).Remove("vol", "drop");
        repotest::FailingStore dying(r.store);
        dying.mutationsLeft = killAfter;
        bool finished = true;
        try {
            CollectGarbage(dying, r.keys);
        } catch (const StorageError&) {
            finished = false;
        }
        ExpectAllRestorable(r.store, r.keys);
        r.store.Delete(kGcLockObject);
        const GcReport rest = CollectGarbage(r.store, r.keys);
        EXPECT_TRUE(rest.unreferenced.empty() || !finished) << killAfter;
        EXPECT_EQ(ChunkStore(r.store, r.keys).List().size(), 2u) << killAfter;
        ExpectAllRestorable(r.store, r.keys);
        if (finished) {
            EXPECT_GE(killAfter, 4);  // lock, three chunks, unlock
            break;
        }
    }
}

// Backups and collections in two threads, forgetting as they go: whatever the
// interleaving, no index ever names a chunk that is gone.
TEST(GarbageCollector, ConcurrentBackupsAndCollectionsNeverLoseAReferencedChunk)
{
    Repo r;
    std::atomic<bool> done{false};
    std::atomic<int> busy{0};
    std::thread collector([&] {
        while (!done.load()) {
            try {
                CollectGarbage(r.store, r.keys);
            } catch (const RepositoryBusy&) {
                ++busy;
            }
        }
    });
    int written = 0;
    for (int i = 0; i < 60; ++i) {
        const std::string id = "b" + std::to_string(i);
        try {
            // Each backup shares blocks with the one before, whose index is then forgotten.
            Backup(r.store, r.keys, "vol", id, {"s" + std::to_string(i / 3), "u" + std::to_string(i), ""});
            ++written;
            if (i > 0) {
                IndexStore(r.store, r.keys).Remove("vol", "b" + std::to_string(i - 1));
            }
        } catch (const RepositoryBusy&) {
            ++busy;
        }
    }
    done = true;
    collector.join();
    EXPECT_GT(written, 0);
    ExpectAllRestorable(r.store, r.keys);
    EXPECT_TRUE(r.store.List(kPendingPrefix).empty());
}

TEST(GarbageCollector, OnlyClaimsOfProcessesProvablyGoneAreBroken)
{
    Repo r;
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);  // reaped: its pid names no process now
    std::string bootId, host(256, '\0');
    {
        std::ifstream f("/proc/sys/kernel/random/boot_id");
        std::getline(f, bootId);
    }
    ::gethostname(&host[0], host.size() - 1);
    host.resize(std::strlen(host.c_str()));
    auto holder = [&](const std::string& h, const std::string& boot, int64_t pid) {
        Json::Value v;
        v["host"] = h;
        v["boot_id"] = boot;
        v["pid"] = Json::Int64(pid);
        return repotest::WriteJson(v);
    };
    r.store.PutIfAbsent("pending/dead", holder(host, bootId, child));
    r.store.PutIfAbsent("pending/previous-boot", holder(host, "another-boot", ::getpid()));
    r.store.PutIfAbsent("pending/alive", holder(host, bootId, ::getppid()));
    r.store.PutIfAbsent("pending/other-host", holder(host + "-elsewhere", bootId, child));
    r.store.PutIfAbsent("pending/unreadable", "not json");
    r.store.PutIfAbsent(kGcLockObject, holder(host, bootId, child));
    std::vector<std::string> broken = BreakStaleClaims(r.store);
    std::sort(broken.begin(), broken.end());
    EXPECT_EQ(broken, (std::vector<std::string>{"locks/gc", "pending/dead", "pending/previous-boot"}));
    EXPECT_EQ(r.store.List(kPendingPrefix),
              (std::vector<std::string>{"pending/alive", "pending/other-host", "pending/unreadable"}));
}

}  // namespace
