// An incremental computes its changed ranges (bitmap volume, its own task)
// while its snapshot is attached: both tasks' leftovers stay cleanable after a
// kill, and the reported settle time counts overlapping settles once.
#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

class DatamoverOverlapTest : public DatamoverTest {
protected:
    size_t TaskJournals() const { return CountIn("/var/tasks", "", ".json"); }
};

TEST_F(DatamoverOverlapTest, AnIncrementalReportsItsStepsAndLeavesNoTask)
{
    FullOf("s1", 31);
    Result r = Next("s2", "s1", 9 * kMiB, kMiB, 32);
    ASSERT_EQ(r.rc, 0);
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
    ExpectNoLeftovers();
    Expect(0, Repo("restore", {"--backup", Id(r), "--verify-only"}));
}

TEST_F(DatamoverOverlapTest, AKillWhileBothAreUnderWayLeavesEverythingCleanable)
{
    FullOf("s1", 33);
    sim->WriteRandom("vol", 20 * kMiB, kMiB, 34);
    sim->Snapshot("vol", "s2");
    simtest::SimState start = sim->State();
    // The bitmap stays "being built" while the snapshot attach goes ahead.
    sim->InjectFault(SimFault::Stall("query", 30000, 1, true));
    ASSERT_TRUE(KillWhen(Argv(BackupArgs("s2", "s1"), false), [&]() {
        simtest::SimState st = sim->State();
        return st.calls["attach"] > start.calls["attach"] && st.calls["query"] > start.calls["query"];
    }));
    sim->ClearFaults();
    EXPECT_FALSE(sim->State().Clean()) << "nothing was left to clean";
    EXPECT_EQ(TaskJournals(), 2u) << "the ranges' task and the backup's";
    Expect(0, Repo("clean"));
    ExpectNoLeftovers();
    Expect(0, BackupArgs("s2", "s1"));
}

}  // namespace
}  // namespace dmtest
