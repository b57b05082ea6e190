// Many writers into one local chunked repository: backups of different volumes
// from several processes at once beside a prune, and the collection lease as
// the data mover reports and removes it ('unlock').
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

class DatamoverLeaseTest : public DatamoverHarness {
protected:
    void SetUp() override
    {
        DatamoverHarness::SetUp();
        Expect(0, {"init", "--repo", repoPath, "--encryption", "none"});
    }
    void TearDown() override
    {
        ::unsetenv("DATAMOVER_LEASE_SECONDS");
        DatamoverHarness::TearDown();
    }
    // The lease record of a collection on another machine, expiring `in` seconds from now.
    void PlantLease(int64_t in) const
    {
        const int64_t now =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
        fs::create_directories(repoPath + "/locks");
        std::ofstream(repoPath + "/locks/gc", std::ios::trunc)
            << R"({"holder":"garbage collection","owner":"elsewhere","host":"another-node","boot_id":"b","pid":4242,)"
            << R"("created_at":)" << now << R"(,"expires_at":)" << now + in << "}\n";
    }
};

TEST_F(DatamoverLeaseTest, BackupsOfThreeVolumesAndAPruneRunAtOnceAndEveryKeptBackupRestores)
{
    const std::vector<std::string> volumes = {"1b4e28ba-2fa1-11d2-883f-0016d3cca501", "1b4e28ba-2fa1-11d2-883f-0016d3cca502",
                                              "1b4e28ba-2fa1-11d2-883f-0016d3cca503"};
    sim->CreateVolume("v0", size);
    sim->WriteRandom("v0", 0, 8 * kMiB, 1);
    sim->Snapshot("v0", "old");
    const std::string old = Id(Expect(0, BackupOf(volumes[0], "old")));
    for (size_t i = 0; i < volumes.size(); ++i) {
        const std::string v = "v" + std::to_string(i);
        if (i > 0) sim->CreateVolume(v, size);
        sim->WriteRandom(v, 0, 12 * kMiB, 10 + i);
        sim->Snapshot(v, "n" + std::to_string(i));
    }
    std::vector<Result> results(volumes.size() + 1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < volumes.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = Run(BackupOf(volumes[i], "n" + std::to_string(i))); });
    }
    threads.emplace_back([&] { results.back() = Run(Repo("forget", {"--backup", old})); });
    for (auto& t : threads) t.join();
    for (const Result& r : results) EXPECT_EQ(r.rc, 0) << r.out << r.err;
    for (size_t i = 0; i < volumes.size(); ++i) ExpectRestores(Id(results[i]), "n" + std::to_string(i));
    Expect(0, Repo("verify"));
    EXPECT_FALSE(fs::exists(repoPath + "/locks/gc"));
    EXPECT_TRUE(fs::is_empty(repoPath + "/pending"));
}

TEST_F(DatamoverLeaseTest, ALiveLeaseRefusesPruneAndUnlockUnlessForcedAndAnExpiredOneBlocksNobody)
{
    ::setenv("DATAMOVER_LEASE_SECONDS", "2", 1);
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, 4 * kMiB, 3);
    sim->Snapshot("vol", "s1");
    Expect(0, BackupArgs("s1"));

    PlantLease(600);
    Result prune = Expect(1, Repo("prune", {"--keep-last", "1"}));
    EXPECT_EQ(prune.json["error"]["code"].asString(), "in_use") << prune.out;
    EXPECT_NE(prune.json["error"]["message"].asString().find("another-node"), std::string::npos) << prune.out;
    // A backup waits for the holding to end, at most a lease time, then gives up in one line.
    Result waited = Expect(1, BackupArgs("s1"));
    EXPECT_EQ(waited.json["error"]["code"].asString(), "in_use") << waited.out;
    EXPECT_TRUE(fs::is_empty(repoPath + "/pending")) << "the refused backup left its claim";
    Result kept = Expect(1, Repo("unlock"));
    EXPECT_EQ(kept.json["error"]["code"].asString(), "in_use") << kept.out;
    EXPECT_TRUE(fs::exists(repoPath + "/locks/gc"));
    Result forced = Run(Repo("unlock", {"--force"}), false);
    EXPECT_EQ(forced.rc, 0) << forced.err;
    EXPECT_NE(forced.err.find("warning: removing a lease that has not expired"), std::string::npos) << forced.err;
    EXPECT_FALSE(fs::exists(repoPath + "/locks/gc"));

    // Expired: prune takes it over, backups do not wait, unlock removes it without --force.
    PlantLease(-1);
    Expect(0, BackupArgs("s1"));
    Expect(0, Repo("prune", {"--keep-last", "1"}));
    EXPECT_FALSE(fs::exists(repoPath + "/locks/gc"));
    PlantLease(-1);
    Result unlocked = Expect(0, Repo("unlock"));
    EXPECT_TRUE(unlocked.json["removed"].asBool()) << unlocked.out;
    EXPECT_FALSE(unlocked.json["forced"].asBool()) << unlocked.out;
    Expect(0, Repo("verify"));
}

}  // namespace
}  // namespace dmtest
