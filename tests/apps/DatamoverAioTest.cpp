// The aio read engine, whose writes run asynchronously beside its reads: full
// and incremental backups restore exactly at several depths, with blocks of
// zeros and a tail that direct I/O cannot take.
#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

TEST_F(DatamoverTest, AioEngineBackupsRestoreExactlyAtEveryDepth)
{
    // 2 KiB past a whole number of blocks: the last block is an odd tail.
    size = 40 * kMiB + kOffset + 2048;
    for (const char* depth : {"1", "3", "16"}) {
        SCOPED_TRACE(depth);
        const std::string vol = std::string("vol") + depth;
        const std::string s1 = vol + "-s1";
        const std::string s2 = vol + "-s2";
        sim->CreateVolume(vol, size);
        sim->WriteRandom(vol, 0, 24 * kMiB, 11);
        sim->WriteRandom(vol, size - 3000, 3000, 12);  // the tail, across its block's start
        sim->Snapshot(vol, s1);
        Result full = Backup(s1, "", {"--io", "aio", "--depth", depth});
        ASSERT_EQ(full.rc, 0) << full.out << full.err;
        EXPECT_EQ(full.json["bytes_read"].asUInt64(), size - kOffset);
        EXPECT_LT(full.json["bytes_stored"].asUInt64(), size - kOffset);  // the zero blocks are holes

        sim->WriteRandom(vol, 5 * kMiB, 9 * kMiB, 13);
        sim->WritePattern(vol, 16 * kMiB, 4 * kMiB, 0);
        sim->WriteRandom(vol, size - 100, 100, 14);
        sim->Snapshot(vol, s2);
        Result inc = Backup(s2, s1, {"--io", "aio", "--depth", depth});
        ASSERT_EQ(inc.rc, 0) << inc.out << inc.err;
        EXPECT_EQ(inc.json["kind"].asString(), "incremental");

        for (const auto& point : {std::make_pair(s1, &full), std::make_pair(s2, &inc)}) {
            const std::string target = point.first + "-r";
            sim->CreateVolume(target, size);
            sim->WriteRandom(target, 0, size, 99);
            Result r = Run({"restore", "--repo", repoPath, "--backup", point.second->json["backup_id"].asString(),
                            "--volume-url", kUrl + target, "--force"});
            ASSERT_EQ(r.rc, 0) << r.out << r.err;
            ExpectSameData(point.first, target);
        }
    }
    Result v = Run({"verify", "--repo", repoPath});
    EXPECT_EQ(v.rc, 0) << v.out;
    EXPECT_TRUE(v.json["ok"].asBool());
}

}  // namespace
}  // namespace dmtest
