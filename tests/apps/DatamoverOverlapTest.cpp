// An incremental computes its changed ranges (bitmap volume, its own task)
// while its snapshot is attached: both tasks' leftovers stay cleanable after a
// kill, and the reported settle time counts overlapping settles once.
#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

class DatamoverOverlapTest : public DatamoverTest {
protected:
    size_t TaskJournals() const
    {
        size_t n = 0;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(sim->Root() + "/var/tasks", ec)) {
            n += e.path().extension() == ".json" ? 1 : 0;
        }
        return n;
    }
};

TEST_F(DatamoverOverlapTest, AnIncrementalReportsItsStepsAndLeavesNoTask)
{
    FullOf("s1", 31);
    sim->WriteRandom("vol", 9 * kMiB, kMiB, 32);
    sim->Snapshot("vol", "s2");
    Result r = Backup("s2", "s1");
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    const Json::Value& steps = r.json["step_seconds"];
    for (const char* step : {"bitmap_create", "bitmap_query", "attach_bitmap", "settle_bitmap", "bitmap_read",
                             "detach_bitmap", "bitmap_delete", "attach_volume", "settle_volume", "detach_volume"}) {
        EXPECT_TRUE(steps.isMember(step)) << step << " missing: " << r.out;
    }
    // The union of the two settles: at least the longer one, at most both.
    const double bitmap = steps["settle_bitmap"].asDouble();
    const double volume = steps["settle_volume"].asDouble();
    const double settle = r.json["settle_seconds"].asDouble();
    EXPECT_GE(settle + 1e-3, std::max(bitmap, volume)) << r.out;
    EXPECT_LE(settle, bitmap + volume + 1e-3) << r.out;
    EXPECT_LE(settle, r.json["seconds"].asDouble()) << r.out;
    EXPECT_GT(r.json["blocks"].asUInt64(), 0u) << r.out;
    EXPECT_EQ(TaskJournals(), 0u);
    EXPECT_EQ(CachedTaskFiles(), 0u);
    EXPECT_TRUE(sim->State().Clean());
    EXPECT_EQ(Run({"restore", "--repo", repoPath, "--backup", r.json["backup_id"].asString(), "--verify-only"}).rc, 0);
}

TEST_F(DatamoverOverlapTest, AKillWhileBothAreUnderWayLeavesEverythingCleanable)
{
    FullOf("s1", 33);
    sim->WriteRandom("vol", 20 * kMiB, kMiB, 34);
    sim->Snapshot("vol", "s2");
    const int attaches = sim->State().calls["attach"];
    const int queries = sim->State().calls["query"];
    // The bitmap stays "being built" while the snapshot attach goes ahead.
    sim->InjectFault(SimFault::Stall("query", 30000, 1, true));
    pid_t pid = Spawn(Argv(BackupArgs("s2", "s1"), false));
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&]() {
        simtest::SimState st = sim->State();
        return st.calls["attach"] > attaches && st.calls["query"] > queries;
    }));
    Kill(pid);
    sim->ClearFaults();
    EXPECT_FALSE(sim->State().Clean()) << "nothing was left to clean";
    EXPECT_EQ(TaskJournals(), 2u) << "the ranges' task and the backup's";
    Result c = Run({"clean", "--repo", repoPath});
    EXPECT_EQ(c.rc, 0) << c.out << c.err;
    simtest::SimState state = sim->State();
    EXPECT_TRUE(state.Clean()) << state.raw.toStyledString();
    EXPECT_EQ(CachedTaskFiles(), 0u);
    Result again = Backup("s2", "s1");
    EXPECT_EQ(again.rc, 0) << again.out << again.err;
}

}  // namespace
}  // namespace dmtest
