// Verification: each shared chunk read once, damage named with every backup
// using it, subsets that together cover everything, and subset syntax.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "apps/datamover/repository/Verifier.h"
#include "tests/repository/RepoTestUtil.h"

using namespace repo3;

namespace {

// Counts chunk reads, to prove a shared chunk is read once.
class CountingStore : public repotest::FailingStore {
public:
    using FailingStore::FailingStore;
    bool Get(const std::string& n, std::string& d) const override
    {
        if (n.rfind(kChunksPrefix, 0) == 0) {
            ++chunkReads[n];
        }
        return FailingStore::Get(n, d);
    }
    mutable std::map<std::string, int> chunkReads;
};

using Repo = repotest::TestRepo;

TEST(Verifier, ReadsEachSharedChunkOnceAndNamesEveryUserOfADamagedOne)
{
    Repo r;
    const BackupIndex a = r.Add("vol-a", "b1", {"shared", "a-only", "", "shared"});
    r.Add("vol-b", "b2", {"shared", "b-only"});
    r.Add("vol-b", "b3", {"b-only"});
    CountingStore counting(r.store);
    VerifyReport clean = VerifyRepository(counting, r.keys);
    EXPECT_TRUE(clean.Clean());
    EXPECT_EQ(clean.indexes, 3u);
    EXPECT_EQ(clean.referenced, 3u);
    EXPECT_EQ(clean.chunksRead, 3u);
    EXPECT_EQ(counting.chunkReads.size(), 3u);
    for (const auto& [name, reads] : counting.chunkReads) {
        EXPECT_EQ(reads, 1) << name;
    }

    // Damage the shared chunk and remove a-only: both reported, with their users.
    const std::string sharedName = ChunkStore::ObjectName(*a.blocks[0]);
    std::string f;
    r.store.Get(sharedName, f);
    f[f.size() - 1] ^= 1;
    r.store.Replace(sharedName, f);
    r.store.Delete(ChunkStore::ObjectName(*a.blocks[1]));
    const VerifyReport bad = VerifyRepository(r.store, r.keys);
    ASSERT_EQ(bad.damagedChunks.size(), 2u);
    for (const auto& d : bad.damagedChunks) {
        std::set<std::string> users;
        for (const auto& u : d.usedBy) {
            users.insert(u.volumeId + "/" + u.backupId);
        }
        if (d.id == *a.blocks[0]) {
            EXPECT_EQ(users, (std::set<std::string>{"vol-a/b1", "vol-b/b2"}));
            EXPECT_EQ(d.usedBy.size(), 2u) << "each backup named once";
            EXPECT_NE(d.error.find("authentication failed"), std::string::npos) << d.error;
        } else {
            EXPECT_EQ(d.id, *a.blocks[1]);
            EXPECT_EQ(users, (std::set<std::string>{"vol-a/b1"}));
            EXPECT_NE(d.error.find("missing"), std::string::npos) << d.error;
        }
    }
}

TEST(Verifier, DamagedIndexIsReportedAndTheOthersStillChecked)
{
    Repo r;
    r.Add("vol", "b1", {"x"});
    r.Add("vol", "b2", {"y"});
    std::string f;
    r.store.Get(IndexStore::ObjectName("vol", "b1"), f);
    r.store.Replace(IndexStore::ObjectName("vol", "b1"), f.substr(0, f.size() - 1));
    const VerifyReport rep = VerifyRepository(r.store, r.keys);
    ASSERT_EQ(rep.damagedIndexes.size(), 1u);
    EXPECT_EQ(rep.damagedIndexes[0].name.backupId, "b1");
    EXPECT_EQ(rep.indexes, 1u);
    EXPECT_EQ(rep.chunksRead, 1u);
    EXPECT_FALSE(rep.Clean());
}

// A forget and a collection between verify's two passes: what they removed is
// not reported as damage, while real damage still is.
TEST(Verifier, BackupsForgottenWhileVerifyingAreNotDamage)
{
    Repo r;
    const BackupIndex gone = r.Add("vol", "gone", {"g"});
    const BackupIndex kept = r.Add("vol", "kept", {"k"});
    std::string f;
    r.store.Get(ChunkStore::ObjectName(*kept.blocks[0]), f);
    r.store.Replace(ChunkStore::ObjectName(*kept.blocks[0]), f.substr(0, f.size() - 1));
    class ForgettingStore : public CountingStore {
    public:
        using CountingStore::CountingStore;
        bool Get(const std::string& n, std::string& d) const override
        {
            if (n.rfind(kChunksPrefix, 0) == 0 && forget) {
                forget();
                forget = nullptr;
            }
            return CountingStore::Get(n, d);
        }
        mutable std::function<void()> forget;
    } store(r.store);
    store.forget = [&] {
        r.store.Delete(IndexStore::ObjectName("vol", "gone"));
        r.store.Delete(ChunkStore::ObjectName(*gone.blocks[0]));
    };
    const VerifyReport rep = VerifyRepository(store, r.keys);
    EXPECT_TRUE(rep.damagedIndexes.empty());
    ASSERT_EQ(rep.damagedChunks.size(), 1u);
    EXPECT_EQ(rep.damagedChunks[0].id, *kept.blocks[0]);
}

TEST(Verifier, RotatingPartsCoverEveryChunkExactlyOnce)
{
    Repo r;
    std::vector<std::string> blocks;
    for (int i = 0; i < 40; ++i) {
        blocks.push_back("block-" + std::to_string(i));
    }
    r.Add("vol", "b1", blocks);
    for (uint32_t t : {1u, 3u, 7u}) {
        CountingStore counting(r.store);
        size_t total = 0;
        for (uint32_t n = 1; n <= t; ++n) {
            total += VerifyRepository(counting, r.keys, VerifySubset{n, t, 100}).chunksRead;
        }
        EXPECT_EQ(total, 40u) << t;
        EXPECT_EQ(counting.chunkReads.size(), 40u) << t;
    }
    VerifySubset some;
    std::string err;
    ASSERT_TRUE(ParseSubset("50%", some, err));
    const size_t half = VerifyRepository(r.store, r.keys, some).chunksRead;
    // 40 draws at one half: none or all with probability 2^-39.
    EXPECT_GT(half, 0u);
    EXPECT_LT(half, 40u);
    ASSERT_TRUE(ParseSubset("100%", some, err));
    EXPECT_EQ(VerifyRepository(r.store, r.keys, some).chunksRead, 40u);
}

TEST(Verifier, SubsetSyntax)
{
    const struct {
        const char* text;
        bool ok;
        uint32_t part, of;
        double percent;
    } cases[] = {
        {"1/1", true, 1, 1, 100}, {"3/7", true, 3, 7, 100}, {"10%", true, 1, 0, 10},  {"0.5%", true, 1, 0, 0.5},
        {"100%", true, 1, 0, 100}, {"0/3", false, 0, 0, 0},  {"4/3", false, 0, 0, 0}, {"1/0", false, 0, 0, 0},
        {"0%", false, 0, 0, 0},    {"101%", false, 0, 0, 0}, {"-5%", false, 0, 0, 0}, {"%", false, 0, 0, 0},
        {"1/", false, 0, 0, 0},    {"a/b", false, 0, 0, 0},  {"10", false, 0, 0, 0},  {"1e1%", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        VerifySubset s;
        std::string err;
        EXPECT_EQ(ParseSubset(c.text, s, err), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(s.part, c.part) << c.text;
            EXPECT_EQ(s.of, c.of) << c.text;
            EXPECT_DOUBLE_EQ(s.percent, c.percent) << c.text;
        } else {
            EXPECT_FALSE(err.empty()) << c.text;
        }
    }
}

}  // namespace
