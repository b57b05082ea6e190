// Many writers into one local chunked repository: backups of different volumes
// from several processes at once beside a prune, and the collection lease as
// the data mover reports and removes it ('unlock').
#include <sys/stat.h>

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
    ExpectTheLeaseRules();
}

}  // namespace
}  // namespace dmtest
