// Many writers into one local chunked repository: backups of different volumes
// from several processes at once beside a prune, and the collection lease as
// the data mover reports and removes it ('unlock').
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
    ExpectConcurrentBackupsAndAPrune(3, false);
}

TEST_F(DatamoverLeaseTest, ALiveLeaseRefusesPruneAndUnlockUnlessForcedAndAnExpiredOneBlocksNobody)
{
    ExpectTheLeaseRules();
}

}  // namespace
}  // namespace dmtest
