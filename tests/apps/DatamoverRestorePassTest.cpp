// Which restores read the chain twice: an empty or new target is written in
// one pass and a damaged block stops it with the target reported incomplete;
// a target holding data (--force) or a block device is only written once the
// whole chain has read back sound. Holes of a sparse full image are not read,
// yet checked.
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>

#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

class DatamoverRestorePassTest : public DatamoverTest {
protected:
    static std::string Text(const Result& r) { return CJsonUtils::JsonToString(r.json) + r.err; }
    std::string Image(const std::string& id) const { return BackupDir(id) + "/volume.img"; }
    // Flips bytes inside data block `block` of the full image, past its first byte.
    void Damage(const std::string& id, uint64_t block) const
    {
        Overwrite(Image(id), block * repo::kBlockSize + 1000, std::string(16, '\xA5'));
    }
    size_t InterruptedRecords() const { return List().json["interrupted_restores"].size(); }
};

TEST_F(DatamoverRestorePassTest, AnEmptyTargetIsWrittenInOnePassUpToTheDamagedBlock)
{
    std::string id = FullOf("s1", 21);  // blocks 0..4 hold data, the rest are holes
    sim->CreateVolume("fresh", size);
    Result good = Restore(id, "fresh");
    ASSERT_EQ(good.rc, 0) << good.out << good.err;
    EXPECT_FALSE(good.json["checked_before_writing"].asBool()) << good.out;
    ExpectSameData("s1", "fresh");
    // A fresh volume stays thin: blocks of zeros that it reads as zeros are not written.
    struct stat st {};
    ASSERT_EQ(::stat(sim->BackingPath("fresh").c_str(), &st), 0);
    EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, 21 * kMiB + kOffset) << "the restore wrote zeros";
    EXPECT_GE(good.json["zero_blocks_skipped"].asUInt64(), 6u) << good.out;

    Damage(id, 3);
    sim->CreateVolume("empty", size);
    Result bad = Expect(1, Repo("restore", {"--backup", id, "--volume-url", kUrl + std::string("empty")}));
    ExpectSays(bad, {"block 3 of backup " + id, "checksum", "the content of empty is incomplete"});
    EXPECT_EQ(bad.json["error"]["code"].asString(), "damaged") << "the backup failed, not the storage";
    // The damaged block itself never reached the target.
    EXPECT_EQ(sim->Read("empty", kOffset + 3 * repo::kBlockSize, repo::kBlockSize),
              std::string(repo::kBlockSize, '\0'));
    EXPECT_TRUE(Mentions(List().json["interrupted_restores"], kUrl + std::string("empty")));
    EXPECT_TRUE(sim->State().Clean()) << "the volume stayed attached";
}

// A block that holds a little data and much zero (the data area is 4 KiB off the storage's
// allocation units, so every block straddles two) is written without its long zero runs: the
// fresh target allocates about what the source holds, not whole blocks.
TEST_F(DatamoverRestorePassTest, ZeroRunsInsideABlockAreNotWrittenIntoAFreshTarget)
{
    sim->CreateVolume("vol", size);
    struct Piece {
        uint64_t at, len;
    };
    // At a block's start, in its middle, at its end, 4 KiB from either edge (those short zero runs
    // are left out too), and a run of zeros shorter than what is left out inside a block (60 KiB
    // between two pieces), which is written.
    const Piece pieces[] = {{kOffset + 2 * repo::kBlockSize, 8192},
                            {kOffset + 3 * repo::kBlockSize + 4096, 8192},
                            {kOffset + 4 * repo::kBlockSize - 8192, 4096},
                            {kOffset + 5 * repo::kBlockSize + kMiB, 64 * 1024},
                            {kOffset + 5 * repo::kBlockSize + kMiB + 124 * 1024, 4096},
                            {kOffset + 8 * repo::kBlockSize - 4096, 4096}};
    uint64_t seed = 40, data = 0;
    for (const Piece& p : pieces) sim->WriteRandom("vol", p.at, p.len, ++seed), data += p.len;
    std::string id = Id(SnapAndBackUp("vol", "s1", ""));
    sim->CreateVolume("fresh", size);
    struct stat st {};
    ASSERT_EQ(::stat(sim->BackingPath("fresh").c_str(), &st), 0);
    const uint64_t before = static_cast<uint64_t>(st.st_blocks) * 512;
    Result r = Restore(id, "fresh");
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    ExpectSameData("s1", "fresh");
    ASSERT_EQ(::stat(sim->BackingPath("fresh").c_str(), &st), 0);
    // 4 KiB for the file system's own extent block (seven extents do not fit the inode).
    EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512 - before, data + 60 * 1024 + 4096)
        << "the restore wrote the zero parts of its blocks";
}

TEST_F(DatamoverRestorePassTest, ADamagedChainLeavesATargetHoldingDataUntouched)
{
    std::string id = FullOf("s1", 22);
    Damage(id, 4);
    sim->CreateVolume("used", size);
    sim->WritePattern("used", kOffset + 30 * kMiB, 64 * 1024, 0x5C);
    const std::string before = sim->Read("used", 0, size);
    Result r = Expect(1, Repo("restore", {"--backup", id, "--volume-url", kUrl + std::string("used"), "--force"}));
    ExpectSays(r, {"nothing was written"});
    EXPECT_EQ(Text(r).find("incomplete"), std::string::npos) << Text(r);
    EXPECT_TRUE(sim->Read("used", 0, size) == before) << "a damaged chain was written over data";
    EXPECT_EQ(InterruptedRecords(), 0u);
    EXPECT_TRUE(sim->State().Clean());

    // The same for a local file that holds data: it keeps its bytes and size.
    const std::string file = sim->Root() + "/old.img";
    { std::ofstream(file, std::ios::binary) << std::string(5000, 'x'); }
    Result f = Expect(1, Repo("restore", {"--backup", id, "--to-file", file, "--force"}));
    ExpectSays(f, {"nothing was written"});
    EXPECT_EQ(FileBytes(file), std::string(5000, 'x'));
}

TEST_F(DatamoverRestorePassTest, AForcedRestoreOfASoundChainChecksFirstAndWrites)
{
    std::string id = FullOf("s1", 23);
    sim->CreateVolume("used", size);
    sim->WritePattern("used", kOffset + 40 * kMiB, 4096, 0x11);  // in a block the backup holds as a hole
    Result r = Restore(id, "used", {"--force"});
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_TRUE(r.json["checked_before_writing"].asBool()) << r.out;
    ExpectSameData("s1", "used");  // the hole came back as zeros over the old bytes
    EXPECT_EQ(InterruptedRecords(), 0u);
    // A larger volume takes the backup and says what lies past it.
    sim->CreateVolume("large", size + 8 * kMiB);
    Result large = Restore(id, "large");
    EXPECT_EQ(large.rc, 0) << large.out << large.err;
    EXPECT_EQ(large.json["bytes_beyond_backup"].asUInt64(), 8 * kMiB);
    EXPECT_TRUE(sim->State().Clean());
    // --verify-only reads the chain and writes nothing.
    const int attaches = sim->State().calls["attach"];
    EXPECT_EQ(Expect(0, Repo("restore", {"--backup", id, "--verify-only"})).json["bytes_checked"].asUInt64(),
              size - kOffset);
    EXPECT_EQ(sim->State().calls["attach"], attaches);
}

TEST_F(DatamoverRestorePassTest, ABlockLostToAHoleOfTheImageIsCaught)
{
    std::string id = FullOf("s1", 24);
    // The file system drops block 1's data: it now reads as zeros without a read error.
    int fd = ::open(Image(id).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(repo::kBlockSize),
                          static_cast<off_t>(repo::kBlockSize)),
              0);
    ::close(fd);
    Result check = Expect(1, Repo("restore", {"--backup", id, "--verify-only"}));
    ExpectSays(check, {"block 1 of backup " + id});
    sim->CreateVolume("fresh", size);
    Result r = Expect(1, Repo("restore", {"--backup", id, "--volume-url", kUrl + std::string("fresh")}));
    ExpectSays(r, {"incomplete"});
}

}  // namespace
}  // namespace dmtest
