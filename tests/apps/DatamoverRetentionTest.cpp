// Removing backups at the user's word (forget, prune) keeps every kept
// backup restorable, also when the removal is killed half-way; restores into
// local files and devices.
#include <sys/stat.h>

#include "apps/datamover/repository/Retention.h"
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
        std::vector<std::string> kept;
        std::vector<std::string> removed;
    };
    const std::vector<Case> cases = {
        {"last one keeps its full", {1, 0, 0}, {"F2", "I3"}, {"I2", "I1", "F1"}},
        {"last three", {3, 0, 0}, {"F1", "F2", "I1", "I2", "I3"}, {}},
        {"daily: newest per day", {0, 2, 0}, {"F2", "F1", "I1", "I2", "I3"}, {}},
        {"weekly: Sunday and Monday are two weeks", {0, 0, 2}, {"F1", "F2", "I1", "I2", "I3"}, {}},
        {"weekly one: the last week only", {0, 0, 1}, {"F2", "I3"}, {"I2", "I1", "F1"}},
        {"nothing asked keeps nothing", {0, 0, 0}, {}, {"I3", "I2", "F2", "I1", "F1"}},
    };
    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
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
        EXPECT_EQ(sorted(kept), sorted(c.kept));
        std::vector<std::string> order = retention::RemovalOrder(twoChains, d);
        EXPECT_EQ(sorted(order), sorted(c.removed));
        // Children go before their parents, whatever else the order is.
        for (const retention::Item& it : twoChains) {
            auto child = std::find(order.begin(), order.end(), it.id);
            auto parent = std::find(order.begin(), order.end(), it.parent);  // end() for a full
            if (child != order.end() && parent != order.end()) {
                EXPECT_TRUE(child < parent) << it.id;
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
    // Two independent backups of one day: --keep-daily 1 keeps the newer only.
    d = retention::Decide({{"A", "", 5 * day + 10}, {"B", "", 5 * day + 20}}, {0, 1, 0});
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].id, "B");
    EXPECT_TRUE(d[0].keep);
    EXPECT_FALSE(d[1].keep);
}

class DatamoverRetentionTest : public DatamoverTest {
protected:
    // Two chains of one volume: A <- B <- C, then D <- E; snapshots s1..s5.
    void MakeTwoChains()
    {
        const char* parents[] = {"", "s1", "s2", "", "s4"};
        for (uint64_t i = 0; i < 5; ++i) {
            ids.push_back(Id(Next("s" + std::to_string(i + 1), parents[i], i * 8 * kMiB, 4 * kMiB, 40 + i)));
            ASSERT_FALSE(ids.back().empty());
        }
    }
    std::vector<std::string> ids;
};

TEST_F(DatamoverRetentionTest, ForgetAndPruneNeverBreakAKeptChainAndADryRunChangesNothing)
{
    ASSERT_NO_FATAL_FAILURE(MakeTwoChains());
    const std::vector<std::string> files = RepoFiles();
    EXPECT_TRUE(Mentions(Expect(1, Repo("forget", {"--backup", ids[0]})).json, "needed to restore " + ids[1]));
    EXPECT_EQ(Expect(0, Repo("prune", {"--keep-last", "1", "--dry-run"})).json["chains"][0]["would_remove"].size(), 3u);
    Expect(0, Repo("forget", {"--backup", ids[2], "--dry-run"}));
    EXPECT_EQ(RepoFiles(), files) << "a refused forget or a dry run changed the repository";
    Expect(2, Repo("prune"));  // a prune without a policy

    ASSERT_EQ(Expect(0, Repo("prune", {"--keep-last", "1"})).rc, 0);
    EXPECT_EQ(Listed(), (std::vector<std::string>{ids[3], ids[4]}));
    EXPECT_FALSE(fs::exists(BackupDir(ids[0])));
    ExpectRestores(ids[4], "s5");
    Expect(0, Repo("forget", {"--backup", ids[4]}));
    EXPECT_EQ(Listed(), (std::vector<std::string>{ids[3]}));
    Expect(0, Repo("verify"));
}

TEST_F(DatamoverRetentionTest, AKilledPruneLeavesEveryKeptBackupRestorable)
{
    ASSERT_NO_FATAL_FAILURE(MakeTwoChains());
    // Killed at each step of removing the first backup (C): the journal row
    // written, then the manifest gone as well.
    for (const char* point : {"forget-journaled", "forget-manifest-removed"}) {
        SCOPED_TRACE(point);
        ::setenv("DATAMOVER_CRASH_AT", point, 1);
        Result killed = Run(Repo("prune", {"--keep-last", "1"}));
        ::unsetenv("DATAMOVER_CRASH_AT");
        EXPECT_NE(killed.rc, 0) << "the crash point was not reached";
        Expect(0, Repo("verify"));
        ExpectRestores(ids[4], "s5");
        ExpectRestores(ids[1], "s2");  // not yet reached: still whole
    }
    // C's data is left and the journal says it was being forgotten: it is
    // removable, never damage.
    EXPECT_TRUE(fs::exists(BackupDir(ids[2])));
    Result v = Expect(0, Repo("verify"));
    ASSERT_EQ(v.json["incomplete"].size(), 1u) << v.out;
    EXPECT_EQ(v.json["incomplete"][0].asString(), ids[2]);
    ASSERT_EQ(Expect(0, Repo("prune", {"--keep-last", "1"})).rc, 0);
    EXPECT_EQ(Listed(), (std::vector<std::string>{ids[3], ids[4]}));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(fs::exists(BackupDir(ids[i]))) << i;
    ExpectRestores(ids[4], "s5");
}

TEST_F(DatamoverRetentionTest, RestoreIntoALocalFileOrDevice)
{
    const std::string full = Id(Next("s1", "", 8 * kMiB, 4 * kMiB, 3));
    const std::string id = Id(Next("s2", "s1", 30 * kMiB, kMiB, 4));
    ASSERT_FALSE(id.empty());
    const std::string image = sim->Root() + "/restored.img";
    const int attaches = sim->State().calls["attach"];
    ASSERT_EQ(Expect(0, Repo("restore", {"--backup", id, "--to-file", image})).rc, 0);
    EXPECT_EQ(sim->State().calls["attach"], attaches) << "a local restore touched the storage";
    ASSERT_EQ(fs::file_size(image), size);
    EXPECT_TRUE(FileBytes(image).substr(kOffset) == sim->Read("s2", kOffset, size - kOffset))
        << "restored image differs";
    struct stat st {};
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, size / 2) << "zero blocks were written, not left as holes";

    const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
        {{"--to-file", image}, "--force"},
        {{"--to-device", image}, "not a block device"},
        {{"--to-file", image, "--volume-url", std::string(kUrl) + "vol"}, "one target"},
        {{"--to-device", sim->Root() + "/no-such-device"}, "does not exist"},
        {{"--to-file", sim->Root() + "/no/such/dir/x.img"}, "cannot create"},
    };
    for (const auto& f : refusals) {
        SCOPED_TRACE(f.second);
        Result bad = Restore(id, "", f.first);
        EXPECT_NE(bad.rc, 0);
        EXPECT_TRUE(Mentions(bad.json, f.second)) << bad.out;
    }
    EXPECT_EQ(fs::file_size(image), size);
    EXPECT_EQ(Restore(full, "", {"--to-file", image, "--force"}).rc, 0);
    EXPECT_TRUE(FileBytes(image).substr(kOffset) == sim->Read("s1", kOffset, size - kOffset));
    EXPECT_EQ(List().json["interrupted_restores"].size(), 0u);
}

}  // namespace
}  // namespace dmtest
