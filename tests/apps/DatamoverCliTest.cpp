// End-to-end cycles of the datamover program: backups, restores, kills,
// storage failures, a busy chain and the agent's health.
#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

TEST_F(DatamoverTest, FullThenTwoIncrementalsRestoreEveryPointExactly)
{
    // 2 KiB past a whole number of blocks: the last block is an odd tail direct I/O cannot take.
    size = 40 * kMiB + kOffset + 2048;
    // Each read engine and depth backs up a volume of its own: the default first,
    // then one read at a time, and more reads in flight than the volume has blocks.
    const std::vector<std::vector<std::string>> engines = {
        {}, {"--io", "threads", "--depth", "1"}, {"--io", "aio", "--depth", "1"}, {"--io", "aio", "--depth", "16"}};
    for (size_t e = 0; e < engines.size(); ++e) {
        const std::string vol = "vol" + std::to_string(e), s1 = vol + "-s1", s2 = vol + "-s2", s3 = vol + "-s3";
        SCOPED_TRACE(vol);
        sim->CreateVolume(vol, size);
        sim->WriteRandom(vol, 0, 20 * kMiB, 1);
        sim->WritePattern(vol, 28 * kMiB, 6 * kMiB, 0x5a);
        sim->WriteRandom(vol, size - 3000, 3000, 2);  // the tail, across its block's start
        Result full = SnapAndBackUp(vol, s1, "", engines[e]);
        ASSERT_EQ(full.rc, 0);
        EXPECT_EQ(full.json["kind"].asString(), "full");
        // The 4 MiB of the gap that were never written are not read, only recorded as zeros.
        EXPECT_EQ(full.json["unwritten_blocks_skipped"].asUInt64(), 1u) << full.out;
        EXPECT_EQ(full.json["bytes_read"].asUInt64() + repo::kBlockSize, size - kOffset);
        EXPECT_LT(full.json["bytes_stored"].asUInt64(), size - kOffset);  // zero blocks stay holes

        // Changes at both ends of the data area, across a block boundary, over
        // several blocks, and data overwritten with zeros (must come back as zeros, not as old data).
        sim->WriteRandom(vol, kOffset, 100, 3);
        sim->WriteRandom(vol, 16 * kMiB - 10, 20, 4);
        sim->WriteRandom(vol, 6 * kMiB, 9 * kMiB, 5);
        sim->WritePattern(vol, 4 * kMiB, 2 * kMiB, 0);
        sim->WriteRandom(vol, size - 512, 512, 6);
        Result inc1 = SnapAndBackUp(vol, s2, s1, engines[e]);
        ASSERT_EQ(inc1.rc, 0);
        EXPECT_EQ(inc1.json["kind"].asString(), "incremental");
        EXPECT_EQ(inc1.json["parent_backup"].asString(), Id(full));
        EXPECT_LT(inc1.json["bytes_read"].asUInt64(), size - kOffset);

        sim->WriteRandom(vol, 30 * kMiB, 3 * kMiB, 7);
        Result inc2 = SnapAndBackUp(vol, s3, s2, engines[e]);
        ASSERT_EQ(inc2.rc, 0);
        EXPECT_EQ(inc2.json["parent_backup"].asString(), Id(inc1));
        // Each incremental keeps its changed-range file next to the chain's backups.
        EXPECT_TRUE(fs::exists(repoPath + "/chains/" + kVolumeId + "/SNAPS_DIR/" + Id(inc2) + ".dirtyRanges"));
        for (const auto& p : {std::make_pair(s1, &full), std::make_pair(s2, &inc1), std::make_pair(s3, &inc2)}) {
            ExpectRestores(Id(*p.second), p.first, true);
        }
    }
    Result v = Expect(0, Repo("verify"));
    EXPECT_TRUE(v.json["ok"].asBool());
    EXPECT_EQ(v.json["backups"].size(), 3 * engines.size());
    Result l = Expect(0, Repo("list"));
    ASSERT_EQ(l.json["chains"].size(), 1u);
    EXPECT_EQ(l.json["chains"][0]["backups"].size(), 3 * engines.size());
    ExpectNoLeftovers();
}

TEST_F(DatamoverTest, FailedOrKilledBackupsLeaveAVerifiableRepositoryAndCleanableLeftovers)
{
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, size, 7);
    sim->Snapshot("vol", "s1");
    sim->InjectFault(SimFault::FailWith("attach", 50150001, 1, true));
    ExpectRefused(Run(BackupArgs("s1")), {});
    sim->ClearFaults();
    EXPECT_TRUE(sim->State().Clean());
    Result v = Expect(0, Repo("verify"));
    EXPECT_EQ(v.json["backups"].size(), 0u);
    EXPECT_EQ(v.json["incomplete"].size(), 0u);

    // A detach that keeps failing: the backup is complete, the attachment is a
    // leftover that clean releases once the storage answers again.
    sim->InjectFault(SimFault::FailWith("detach", 50150001, 1, true));
    Result kept = Expect(0, BackupArgs("s1"));
    EXPECT_FALSE(kept.json["warning"].asString().empty());
    EXPECT_TRUE(sim->State().IsAttached("s1"));
    EXPECT_NE(Run({"clean"}).rc, 0);
    sim->ClearFaults();
    Expect(0, {"clean", "--task", kept.json["task_id"].asString()});
    ExpectNoLeftovers();

    sim->SetSimConfig("bitmap_pending_queries", "2");
    for (int round = 0; round < 3; ++round) {
        std::string snap = "k" + std::to_string(round);
        sim->WriteRandom("vol", static_cast<uint64_t>(round) * 8 * kMiB + 4096, kMiB, 100 + round);
        sim->Snapshot("vol", snap);
        // Each round is killed inside a stalled storage call the backup is known
        // to have reached: its journal row, directory and task data exist.
        const std::string op = round == 1 ? "create" : "attach";
        const int before = sim->State().calls[op];
        sim->InjectFault(SimFault::Stall(op, 400, 1, true));
        ASSERT_TRUE(KillWhen(Argv(BackupArgs(snap, "s1"), false), [&]() { return sim->State().calls[op] > before; }))
            << "the backup never reached " << op;
        sim->ClearFaults();

        Expect(0, Repo("verify"));
        EXPECT_EQ(Listed().size(), 1u) << "a killed backup is listed";
        Expect(0, Repo("clean"));
        ExpectNoLeftovers();
        EXPECT_EQ(Expect(0, Repo("verify")).json["incomplete"].size(), 0u);
    }
    // A task killed while it wrote its cached data leaves that write's temporary file:
    // clean removes it once its writer is gone, and never a live writer's.
    const pid_t gone = [] {
        pid_t pid = ::fork();
        if (pid == 0) ::_exit(0);
        ::waitpid(pid, nullptr, 0);
        return pid;
    }();
    const std::string cache = sim->Root() + "/var/cache/task-0b0e5a1d-0000-4000-8000-000000000001.taskdata.tmp.";
    std::ofstream(cache + std::to_string(gone)) << "{}";
    std::ofstream(cache + std::to_string(::getpid())) << "{}";
    Expect(0, Repo("clean"));
    EXPECT_FALSE(fs::exists(cache + std::to_string(gone)));
    EXPECT_TRUE(fs::exists(cache + std::to_string(::getpid())));
    fs::remove(cache + std::to_string(::getpid()));
    // The chain goes on: a new incremental against the last good backup restores exactly.
    ExpectRestores(Id(Next("s-final", "s1", 0, 0, 0)), "s-final");
}

TEST_F(DatamoverTest, AThinVolumeIsBackedUpByWhatWasWritten)
{
    size = uint64_t{8} << 30;
    sim->CreateVolume("thin", size);
    sim->WriteRandom("thin", uint64_t{3} << 30, 16 * kMiB, 11);
    Result full = SnapAndBackUp("thin", "t1", "");
    EXPECT_LE(full.json["bytes_read"].asUInt64(), 20 * kMiB) << full.out;
    const std::string out = sim->Root() + "/thin.img";
    Expect(0, Repo("restore", {"--backup", Id(full), "--to-file", out}));
    const uint64_t g3 = uint64_t{3} << 30;
    for (uint64_t at : std::vector<uint64_t>{0, g3 - kMiB, g3, g3 + 15 * kMiB, size - kMiB}) {
        std::ifstream in(out, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(at));
        std::string got(kMiB, '\0');
        in.read(&got[0], static_cast<std::streamsize>(got.size()));
        EXPECT_TRUE(got == sim->Read("t1", at, kMiB)) << "the restored image differs at " << at;
    }
}

TEST_F(DatamoverTest, OneBackupAtATimePerChain)
{
    sim->CreateVolume("vol", size);
    sim->Snapshot("vol", "s1");
    sim->Snapshot("vol", "s2");
    // The first backup waits in its attach; the second finds the chain busy.
    sim->InjectFault(SimFault::Stall("attach", 1500, 1, false));
    std::thread first([&]() { Expect(0, BackupArgs("s1")); });
    // Only once the first backup is known to hold the chain.
    EXPECT_TRUE(WaitFor([&]() { return sim->State().calls["attach"] > 0; }));
    Result second = Run(BackupArgs("s2"));
    first.join();
    ExpectRefused(second, {"in use"});
    ASSERT_EQ(Listed().size(), 1u);
}

TEST_F(DatamoverTest, HealthReportsTheAgent)
{
    EXPECT_TRUE(Expect(0, {"health", "--retries", "0", "--wait", "1"}).json["healthy"].asBool());
    // Agents of other roots may run on this machine: make the storage itself
    // depend on this root's agent.
    sim->SetSimConfig("require_agent", "1");
    sim->StopAgent();
    Result bad = Expect(1, {"health", "--retries", "1", "--wait", "1"});
    EXPECT_FALSE(bad.json["healthy"].asBool());
    EXPECT_EQ(bad.json["error"]["code"].asString(), "storage") << bad.out;
    EXPECT_FALSE(bad.json["error"]["message"].asString().empty());
    // A root where the agent was never installed says how to install it.
    std::error_code ec;
    fs::remove(sim->AgentProgram(), ec);
    Result fresh = Expect(1, {"health", "--retries", "0", "--wait", "1"});
    EXPECT_TRUE(Mentions(fresh.json["hint"], "admin agent install")) << fresh.out;
}

}  // namespace
}  // namespace dmtest
