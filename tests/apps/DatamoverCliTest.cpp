// End-to-end cycles of the datamover program: backups, restores, kills,
// storage failures and refused requests.
#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

TEST_F(DatamoverTest, FullThenTwoIncrementalsRestoreEveryPointExactly)
{
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, 20 * kMiB, 1);
    sim->WritePattern("vol", 28 * kMiB, 6 * kMiB, 0x5a);
    sim->Snapshot("vol", "s1");
    Result full = Backup("s1");
    ASSERT_EQ(full.rc, 0) << full.out << full.err;
    EXPECT_EQ(full.json["kind"].asString(), "full");
    EXPECT_EQ(full.json["bytes_read"].asUInt64(), size - kOffset);
    EXPECT_LT(full.json["bytes_stored"].asUInt64(), size - kOffset);  // zero blocks stay holes

    // Changes at both ends of the data area, across a block boundary, and
    // data overwritten with zeros (must come back as zeros, not as old data).
    sim->WriteRandom("vol", kOffset, 100, 2);
    sim->WriteRandom("vol", 16 * kMiB - 10, 20, 3);
    sim->WritePattern("vol", 4 * kMiB, 2 * kMiB, 0);
    sim->WriteRandom("vol", size - 512, 512, 4);
    sim->Snapshot("vol", "s2");
    Result inc1 = Backup("s2", "s1", {"--io", "threads", "--depth", "3"});
    ASSERT_EQ(inc1.rc, 0) << inc1.out << inc1.err;
    EXPECT_EQ(inc1.json["kind"].asString(), "incremental");
    EXPECT_EQ(inc1.json["parent_backup"].asString(), full.json["backup_id"].asString());
    EXPECT_LT(inc1.json["bytes_read"].asUInt64(), size - kOffset);

    sim->WriteRandom("vol", 30 * kMiB, 3 * kMiB, 5);
    sim->Snapshot("vol", "s3");
    Result inc2 = Backup("s3", "s2", {"--depth", "1"});
    ASSERT_EQ(inc2.rc, 0) << inc2.out << inc2.err;
    EXPECT_EQ(inc2.json["parent_backup"].asString(), inc1.json["backup_id"].asString());

    const std::map<std::string, Result*> points = {{"s1", &full}, {"s2", &inc1}, {"s3", &inc2}};
    for (const auto& p : points) {
        std::string target = "r-" + p.first;
        sim->CreateVolume(target, size);
        sim->WriteRandom(target, 0, size, 99);  // the target starts with other data
        Result r = Restore(p.second->json["backup_id"].asString(), target, {"--force"});
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
        ExpectSameData(p.first, target);
    }
    Result v = Run({"verify", "--repo", repoPath});
    EXPECT_EQ(v.rc, 0) << v.out;
    EXPECT_TRUE(v.json["ok"].asBool());
    EXPECT_EQ(v.json["backups"].size(), 3u);
    Result l = Run({"list", "--repo", repoPath});
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.json["chains"].size(), 1u);
    EXPECT_EQ(l.json["chains"][0]["backups"].size(), 3u);
    EXPECT_TRUE(sim->State().Clean());
    EXPECT_EQ(CachedTaskFiles(), 0u);
    // Each incremental keeps its changed-range file next to the chain's backups.
    EXPECT_TRUE(fs::exists(repoPath + "/chains/" + kVolumeId + "/SNAPS_DIR/" + inc2.json["backup_id"].asString() +
                           ".dirtyRanges"));
}

TEST_F(DatamoverTest, KilledBackupsLeaveAVerifiableRepositoryAndCleanableLeftovers)
{
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, size, 7);
    sim->Snapshot("vol", "s1");
    ASSERT_EQ(Backup("s1").rc, 0);
    sim->SetSimConfig("bitmap_pending_queries", "2");
    std::string parent = "s1";
    for (int round = 0; round < 3; ++round) {
        std::string snap = "k" + std::to_string(round);
        sim->WriteRandom("vol", static_cast<uint64_t>(round) * 8 * kMiB + 4096, kMiB, 100 + round);
        sim->Snapshot("vol", snap);
        // Each round is killed inside a stalled storage call the backup is known
        // to have reached: its journal row, directory and task data exist.
        const std::string op = round == 1 ? "create" : "attach";
        const int before = sim->State().calls[op];
        sim->InjectFault(SimFault::Stall(op, 400, 1, true));
        pid_t pid = Spawn(Argv(BackupArgs(snap, parent), false));
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitFor([&]() { return sim->State().calls[op] > before; })) << "the backup never reached " << op;
        Kill(pid);
        sim->ClearFaults();

        Result v = Run({"verify", "--repo", repoPath});
        EXPECT_EQ(v.rc, 0) << v.out;
        Result l = Run({"list", "--repo", repoPath});
        for (const Json::Value& b : l.json["chains"][0]["backups"]) {
            EXPECT_NE(b["snapshot"].asString(), snap) << "a killed backup is listed";
        }
        Result c = Run({"clean", "--repo", repoPath});
        EXPECT_EQ(c.rc, 0) << c.out << c.err;
        simtest::SimState state = sim->State();
        EXPECT_TRUE(state.Clean()) << state.raw.toStyledString();
        EXPECT_EQ(CachedTaskFiles(), 0u);
        Result after = Run({"verify", "--repo", repoPath});
        EXPECT_EQ(after.rc, 0);
        EXPECT_EQ(after.json["incomplete"].size(), 0u) << after.out;
    }
    // The chain goes on: a new incremental against the last good backup restores exactly.
    sim->Snapshot("vol", "s-final");
    Result inc = Backup("s-final", "s1");
    ASSERT_EQ(inc.rc, 0) << inc.out << inc.err;
    sim->CreateVolume("restored", size);
    ASSERT_EQ(Restore(inc.json["backup_id"].asString(), "restored").rc, 0);
    ExpectSameData("s-final", "restored");
}

TEST_F(DatamoverTest, BadArgumentsAndUrlsFailInOneLineAndChangeNothing)
{
    sim->CreateVolume("vol", size);
    sim->Snapshot("vol", "s1");
    ASSERT_EQ(Backup("s1").rc, 0);
    const std::vector<std::string> files = RepoFiles();
    const int callsBefore = static_cast<int>(sim->Calls().size());
    const std::string id = kVolumeId;
    const std::string s1 = kUrl + std::string("s1");
    // backup --volume-id <vid> --snapshot-url <url> --repo <repo> <tail...>
    auto backup = [&](const std::string& vid, const std::string& url, std::vector<std::string> tail) {
        std::vector<std::string> args = {"backup", "--volume-id", vid, "--snapshot-url", url, "--repo", repoPath};
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    };
    const std::vector<std::vector<std::string>> cases = {
        backup("not-a-uuid", s1, {"--volume-size", "48M"}),
        backup(id, "strata://127.0.0.1/pool0", {"--volume-size", "48M"}),
        backup(id, "strata://127.0.0.1/pool0/s1/", {"--volume-size", "48M"}),
        backup(id, "strata://127.0.0.1/pool0/s1;rm -rf x", {"--volume-size", "48M"}),
        backup(id, "strata://$(id)/pool0/s1", {"--volume-size", "48M"}),
        backup(id, s1, {}),
        backup(id, s1, {"--volume-size", "48Q"}),
        backup(id, s1, {"--volume-size", "1000"}),
        backup(id, kUrl + std::string("s2"), {"--parent-snapshot", "s2"}),
        backup(id, kUrl + std::string("s2"), {"--parent-snapshot", "nope"}),
        backup(id, s1, {"--volume-size", "48M", "--depth", "0"}),
        backup(id, s1, {"--volume-size", "48M", "--io", "mmap"}),
        backup(id, s1, {"--volume-size", "48M", "--storage-type", "3"}),
        {"backup", "--volume-id", id, "--repo", repoPath},
        {"restore", "--repo", repoPath, "--backup", "20990101T000000Z-00000000", "--volume-url",
         kUrl + std::string("vol")},
        {"restore", "--repo", repoPath, "--backup", "../../etc", "--volume-url", kUrl + std::string("vol")},
        {"restore", "--repo", repoPath, "--backup", "x", "--volume-url", "http://host/vol"},
        {"restore", "--repo", sim->Root() + "/var", "--backup", "x", "--volume-url", kUrl + std::string("vol")},
        {"verify", "--repo", sim->Root() + "/nothing-here"},
        {"list", "--repo", sim->Root() + "/var"},
        {"clean", "--task", "no-such-task"},
        {"clean", "--task", "../../etc/passwd"},
        {"health", "--url", "strata://127.0.0.1/pool0"},
        {"no-such-command"},
        {"backup", "--unknown-flag"},
    };
    for (const auto& args : cases) {
        std::string line;
        for (const auto& a : args) line += " " + a;
        Result text = Run(args, false);
        EXPECT_NE(text.rc, 0) << line;
        EXPECT_TRUE(text.out.empty()) << line << "\n" << text.out;
        ASSERT_FALSE(text.err.empty()) << line;
        EXPECT_EQ(text.err.find('\n'), text.err.size() - 1) << line << "\n" << text.err;
        EXPECT_EQ(text.err.rfind("datamover: ", 0), 0u) << line << "\n" << text.err;
        Result json = Run(args, true);
        EXPECT_NE(json.rc, 0) << line;
        EXPECT_FALSE(json.json["ok"].asBool()) << line << "\n" << json.out;
        EXPECT_FALSE(json.json["error"].asString().empty()) << line;
    }
    EXPECT_EQ(RepoFiles(), files);
    EXPECT_EQ(static_cast<int>(sim->Calls().size()), callsBefore) << "a refused request reached the storage";
    EXPECT_FALSE(fs::exists(sim->Root() + "/nothing-here"));
    EXPECT_EQ(Run({"backup", "--help"}, false).rc, 0);
    EXPECT_EQ(Run({"clean"}).rc, 0);  // nothing to clean is not a failure
}

TEST_F(DatamoverTest, StorageFailuresLeaveNoPartialBackupAndNoLeftovers)
{
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, 8 * kMiB, 3);
    sim->Snapshot("vol", "s1");
    sim->InjectFault(SimFault::FailWith("attach", 50150001, 1, true));
    Result r = Backup("s1");
    EXPECT_NE(r.rc, 0);
    EXPECT_FALSE(r.json["error"].asString().empty());
    sim->ClearFaults();
    EXPECT_TRUE(sim->State().Clean());
    Result v = Run({"verify", "--repo", repoPath});
    EXPECT_EQ(v.rc, 0);
    EXPECT_EQ(v.json["backups"].size(), 0u);
    EXPECT_EQ(v.json["incomplete"].size(), 0u);

    // A detach that keeps failing: the backup is complete, the attachment is a
    // leftover that clean releases once the storage answers again.
    sim->InjectFault(SimFault::FailWith("detach", 50150001, 1, true));
    Result kept = Backup("s1");
    EXPECT_EQ(kept.rc, 0) << kept.out << kept.err;
    EXPECT_FALSE(kept.json["warning"].asString().empty());
    EXPECT_TRUE(sim->State().IsAttached("s1"));
    Result refused = Run({"clean"});
    EXPECT_NE(refused.rc, 0);
    sim->ClearFaults();
    Result c = Run({"clean", "--task", kept.json["task_id"].asString()});
    EXPECT_EQ(c.rc, 0) << c.out;
    EXPECT_TRUE(sim->State().Clean());
    EXPECT_EQ(CachedTaskFiles(), 0u);
}

TEST_F(DatamoverTest, DamageIsFoundByVerifyAndRefusedByRestore)
{
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, size, 11);
    sim->Snapshot("vol", "s1");
    Result full = Backup("s1");
    ASSERT_EQ(full.rc, 0);
    Overwrite(BackupDir(full.json["backup_id"].asString()) + "/" + repo::kFullDataFile, 5 * repo::kBlockSize + 77,
              "\x5c");
    Result v = Run({"verify", "--repo", repoPath});
    EXPECT_EQ(v.rc, 1);
    ASSERT_EQ(v.json["backups"].size(), 1u);
    EXPECT_NE(v.json["backups"][0]["problems"][0].asString().find("block 5"), std::string::npos) << v.out;
    sim->CreateVolume("target", size);
    Result r = Restore(full.json["backup_id"].asString(), "target");
    EXPECT_NE(r.rc, 0);
    EXPECT_NE(r.json["error"].asString().find("checksum"), std::string::npos) << r.out;
    EXPECT_TRUE(sim->State().Clean());
}

TEST_F(DatamoverTest, OneBackupAtATimePerChain)
{
    sim->CreateVolume("vol", size);
    sim->Snapshot("vol", "s1");
    sim->Snapshot("vol", "s2");
    // The first backup waits in its attach; the second finds the chain busy.
    sim->InjectFault(SimFault::Stall("attach", 1500, 1, false));
    std::thread first([&]() {
        Result r = Backup("s1");
        EXPECT_EQ(r.rc, 0) << r.out << r.err;
    });
    // Only once the first backup is known to hold the chain.
    EXPECT_TRUE(WaitFor([&]() { return sim->State().calls["attach"] > 0; }));
    Result second = Backup("s2");
    first.join();
    EXPECT_NE(second.rc, 0);
    EXPECT_NE(second.json["error"].asString().find("in use"), std::string::npos) << second.out;
    Result l = Run({"list", "--repo", repoPath});
    ASSERT_EQ(l.json["chains"][0]["backups"].size(), 1u);
}

TEST_F(DatamoverTest, HealthReportsTheAgent)
{
    Result ok = Run({"health", "--retries", "0", "--wait", "1"});
    EXPECT_EQ(ok.rc, 0) << ok.out << ok.err;
    EXPECT_TRUE(ok.json["healthy"].asBool());
    // Agents of other roots may run on this machine: make the storage itself
    // depend on this root's agent.
    sim->SetSimConfig("require_agent", "1");
    sim->StopAgent();
    Result bad = Run({"health", "--retries", "1", "--wait", "1"});
    EXPECT_EQ(bad.rc, 1);
    EXPECT_FALSE(bad.json["healthy"].asBool());
    EXPECT_FALSE(bad.json["error"].asString().empty());
    // A root where the agent was never installed says how to install it.
    std::error_code ec;
    fs::remove(sim->AgentProgram(), ec);
    Result fresh = Run({"health", "--retries", "0", "--wait", "1"});
    EXPECT_EQ(fresh.rc, 1);
    EXPECT_NE(fresh.json["hint"].asString().find("admin agent install"), std::string::npos) << fresh.out;
}

}  // namespace
}  // namespace dmtest
