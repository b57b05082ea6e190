// Removing backups at the user's word (forget, prune) keeps every kept
// backup restorable, also when the removal is killed half-way; restores into
// local files and devices.
#include <sys/stat.h>

#include "apps/datamover/Retention.h"
#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

TEST(Retention, KeepsWhatThePolicySelectsAndEveryParentAKeptBackupNeeds)
{
    const int64_t day = 86400;
    // 1970-01-01 was a Thursday: day 3 is a Sunday, day 4 the Monday after it.
    const std::vector<retention::Item> twoChains = {
        {"F1", "", 0 * day + 100}, {"I1", "F1", 1 * day}, {"I2", "I1", 3 * day}, {"F2", "", 4 * day},
        {"I3", "F2", 4 * day + 50}};
    struct Case {
        const char* name;
        retention::Policy policy;
        std::vector<std::string> kept;     // sorted
        std::vector<std::string> removed;  // in removal order
    };
    const std::vector<Case> cases = {
        {"last one keeps its full", {1, 0, 0}, {"F2", "I3"}, {"I2", "I1", "F1"}},
        {"last three", {3, 0, 0}, {"F1", "F2", "I1", "I2", "I3"}, {}},
        {"daily: newest per day", {0, 2, 0}, {"F2", "F1", "I1", "I2", "I3"}, {}},
        {"weekly: Sunday and Monday are two weeks", {0, 0, 2}, {"F1", "F2", "I1", "I2", "I3"}, {}},
        {"weekly one: the last week only", {0, 0, 1}, {"F2", "I3"}, {"I2", "I1", "F1"}},
        {"nothing asked keeps nothing", {0, 0, 0}, {}, {"I3", "I2", "F2", "I1", "F1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<retention::Decision> d = retention::Decide(twoChains, c.policy);
        ASSERT_EQ(d.size(), twoChains.size());
        EXPECT_EQ(d.front().id, "I3") << "newest first";
        std::vector<std::string> kept;
        for (const retention::Decision& x : d) {
            if (x.keep) kept.push_back(x.id);
        }
        std::sort(kept.begin(), kept.end());
        std::vector<std::string> want = c.kept;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(kept, want);
        std::vector<std::string> order = retention::RemovalOrder(twoChains, d);
        std::vector<std::string> removedSorted = order, wantRemoved = c.removed;
        std::sort(removedSorted.begin(), removedSorted.end());
        std::sort(wantRemoved.begin(), wantRemoved.end());
        EXPECT_EQ(removedSorted, wantRemoved);
        // Children go before their parents, whatever else the order is.
        auto pos = [&order](const std::string& id) { return std::find(order.begin(), order.end(), id) - order.begin(); };
        for (const retention::Item& it : twoChains) {
            if (!it.parent.empty() && pos(it.id) < static_cast<long>(order.size()) &&
                pos(it.parent) < static_cast<long>(order.size())) {
                EXPECT_LT(pos(it.id), pos(it.parent)) << it.id;
            }
        }
    }
    // Taken in one instant (or by a clock that stepped back), a child is still the newer of the two.
    const std::vector<retention::Item> sameInstant = {{"P", "", 7 * day}, {"C", "P", 7 * day}, {"B", "", 7 * day}};
    std::vector<retention::Decision> one = retention::Decide(sameInstant, {1, 0, 0});
    ASSERT_EQ(one[0].id, "C");
    EXPECT_EQ(one[1].id, "P");
    EXPECT_TRUE(one[1].keep) << "a kept backup lost its parent";
    // A parent kept for a child says so.
    std::vector<retention::Decision> d = retention::Decide(twoChains, {1, 0, 0});
    auto f2 = std::find_if(d.begin(), d.end(), [](const retention::Decision& x) { return x.id == "F2"; });
    EXPECT_EQ(f2->reason, "needed by I3");
}

class DatamoverRetentionTest : public DatamoverTest {
protected:
    // Two chains of one volume: A <- B <- C, then D <- E; snapshots s1..s5.
    void MakeTwoChains()
    {
        sim->CreateVolume("vol", size);
        const char* parents[] = {"", "s1", "s2", "", "s4"};
        for (int i = 0; i < 5; ++i) {
            sim->WriteRandom("vol", static_cast<uint64_t>(i) * 8 * kMiB, 4 * kMiB, 40 + i);
            std::string snap = "s" + std::to_string(i + 1);
            sim->Snapshot("vol", snap);
            Result r = Backup(snap, parents[i]);
            ASSERT_EQ(r.rc, 0) << r.out << r.err;
            ids.push_back(r.json["backup_id"].asString());
        }
    }
    std::vector<std::string> Listed()
    {
        std::vector<std::string> out;
        const Result l = Run({"list", "--repo", repoPath});
        for (const Json::Value& b : l.json["chains"][0]["backups"]) {
            out.push_back(b["backup_id"].asString());
        }
        return out;
    }
    void ExpectRestores(const std::string& id, const std::string& snap)
    {
        std::string target = "r-" + snap + "-" + std::to_string(++restores);
        sim->CreateVolume(target, size);
        Result r = Restore(id, target);
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
        ExpectSameData(snap, target);
    }
    std::vector<std::string> ids;
    int restores = 0;
};

TEST_F(DatamoverRetentionTest, ForgetAndPruneNeverBreakAKeptChainAndADryRunChangesNothing)
{
    ASSERT_NO_FATAL_FAILURE(MakeTwoChains());
    const std::vector<std::string> files = RepoFiles();
    Result parent = Run({"forget", "--repo", repoPath, "--backup", ids[0]});
    EXPECT_EQ(parent.rc, 1);
    EXPECT_NE(CJsonUtils::JsonToString(parent.json).find("needed to restore " + ids[1]), std::string::npos)
        << parent.out;
    Result dry = Run({"prune", "--repo", repoPath, "--keep-last", "1", "--dry-run"});
    EXPECT_EQ(dry.rc, 0) << dry.out << dry.err;
    EXPECT_EQ(dry.json["chains"][0]["removed"].size(), 3u) << dry.out;
    EXPECT_EQ(Run({"forget", "--repo", repoPath, "--backup", ids[2], "--dry-run"}).rc, 0);
    EXPECT_EQ(RepoFiles(), files) << "a refused forget or a dry run changed the repository";
    EXPECT_EQ(Run({"prune", "--repo", repoPath}).rc, 2) << "a prune without a policy";

    Result prune = Run({"prune", "--repo", repoPath, "--keep-last", "1"});
    ASSERT_EQ(prune.rc, 0) << prune.out << prune.err;
    EXPECT_EQ(Listed(), (std::vector<std::string>{ids[3], ids[4]}));
    EXPECT_FALSE(fs::exists(BackupDir(ids[0])));
    ExpectRestores(ids[4], "s5");
    Result leaf = Run({"forget", "--repo", repoPath, "--backup", ids[4]});
    EXPECT_EQ(leaf.rc, 0) << leaf.out << leaf.err;
    EXPECT_EQ(Listed(), (std::vector<std::string>{ids[3]}));
    Result v = Run({"verify", "--repo", repoPath});
    EXPECT_EQ(v.rc, 0) << v.out;
}

TEST_F(DatamoverRetentionTest, AKilledPruneLeavesEveryKeptBackupRestorable)
{
    ASSERT_NO_FATAL_FAILURE(MakeTwoChains());
    // Killed at each step of removing the first backup (C): the journal row
    // written, then the manifest gone as well.
    for (const char* point : {"forget-journaled", "forget-manifest-removed"}) {
        SCOPED_TRACE(point);
        ::setenv("DATAMOVER_CRASH_AT", point, 1);
        Result killed = Run({"prune", "--repo", repoPath, "--keep-last", "1"});
        ::unsetenv("DATAMOVER_CRASH_AT");
        EXPECT_NE(killed.rc, 0) << "the crash point was not reached";
        Result v = Run({"verify", "--repo", repoPath});
        EXPECT_EQ(v.rc, 0) << v.out;
        ExpectRestores(ids[4], "s5");
        ExpectRestores(ids[1], "s2");  // not yet reached: still whole
    }
    // C's data is left and the journal says it was being forgotten: it is
    // removable, never damage.
    EXPECT_TRUE(fs::exists(BackupDir(ids[2])));
    Result v = Run({"verify", "--repo", repoPath});
    EXPECT_EQ(v.rc, 0) << v.out;
    ASSERT_EQ(v.json["incomplete"].size(), 1u) << v.out;
    EXPECT_EQ(v.json["incomplete"][0].asString(), ids[2]);
    Result again = Run({"prune", "--repo", repoPath, "--keep-last", "1"});
    ASSERT_EQ(again.rc, 0) << again.out << again.err;
    EXPECT_EQ(Listed(), (std::vector<std::string>{ids[3], ids[4]}));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(fs::exists(BackupDir(ids[i]))) << i;
    ExpectRestores(ids[4], "s5");
}

TEST_F(DatamoverRetentionTest, RestoreIntoALocalFileOrDevice)
{
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 8 * kMiB, 4 * kMiB, 3);
    sim->Snapshot("vol", "s1");
    Result full = Backup("s1");
    ASSERT_EQ(full.rc, 0);
    sim->WriteRandom("vol", 30 * kMiB, kMiB, 4);
    sim->Snapshot("vol", "s2");
    Result inc = Backup("s2", "s1");
    ASSERT_EQ(inc.rc, 0);
    const std::string id = inc.json["backup_id"].asString();
    const std::string image = sim->Root() + "/restored.img";
    const int attaches = sim->State().calls["attach"];
    Result r = Run({"restore", "--repo", repoPath, "--backup", id, "--to-file", image});
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_EQ(sim->State().calls["attach"], attaches) << "a local restore touched the storage";
    ASSERT_EQ(fs::file_size(image), size);
    std::ifstream in(image, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(bytes.substr(kOffset) == sim->Read("s2", kOffset, size - kOffset)) << "restored image differs";
    struct stat st {};
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, size / 2) << "zero blocks were written, not left as holes";

    struct Refusal {
        std::vector<std::string> target;
        const char* says;
    };
    const std::vector<Refusal> refusals = {
        {{"--to-file", image}, "--force"},
        {{"--to-device", image}, "not a block device"},
        {{"--to-file", image, "--volume-url", std::string(kUrl) + "vol"}, "one target"},
        {{"--to-device", sim->Root() + "/no-such-device"}, "does not exist"},
        {{"--to-file", sim->Root() + "/no/such/dir/x.img"}, "cannot create"},
    };
    for (const Refusal& f : refusals) {
        SCOPED_TRACE(f.says);
        std::vector<std::string> args = {"restore", "--repo", repoPath, "--backup", id};
        args.insert(args.end(), f.target.begin(), f.target.end());
        Result bad = Run(args);
        EXPECT_NE(bad.rc, 0);
        EXPECT_NE(CJsonUtils::JsonToString(bad.json).find(f.says), std::string::npos) << bad.out;
    }
    EXPECT_EQ(fs::file_size(image), size);
    EXPECT_EQ(Run({"restore", "--repo", repoPath, "--backup", full.json["backup_id"].asString(), "--to-file", image,
                   "--force"})
                  .rc,
              0);
    std::ifstream in2(image, std::ios::binary);
    std::string older((std::istreambuf_iterator<char>(in2)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(older.substr(kOffset) == sim->Read("s1", kOffset, size - kOffset));
    EXPECT_EQ(Run({"list", "--repo", repoPath}).json["interrupted_restores"].size(), 0u);
}

}  // namespace
}  // namespace dmtest
