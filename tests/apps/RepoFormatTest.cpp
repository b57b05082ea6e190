#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "apps/datamover/repository/format2/RepoFormat.h"

namespace fs = std::filesystem;

namespace {

// Each test works in a fresh directory of its own.
class RepoFormat : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dm_repo_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string dir;
    std::string error;
};

repo::Manifest SampleManifest(const std::string& id, const std::string& kind, const std::string& parent)
{
    repo::Manifest m;
    m.backupId = id;
    m.kind = kind;
    m.volumeId = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
    m.volumeSize = 3 * repo::kBlockSize + 4096;
    m.dataOffset = 4096;
    m.snapshot = "snap-" + id;
    m.parentBackup = parent;
    m.parentSnapshot = parent.empty() ? "" : "snap-" + parent;
    m.dataFile = kind == "full" ? repo::kFullDataFile : repo::kIncrDataFile;
    m.dirtyRangesFile = kind == "full" ? "" : "SNAPS_DIR/" + id + ".dirtyRanges";
    return m;
}

TEST_F(RepoFormat, ChecksumIsCrc32cOnAnyLengthAndAlignment)
{
    // The published check value of CRC-32C.
    EXPECT_EQ(repo::BlockCrc("123456789", 9), 0xE3069283u);
    EXPECT_EQ(repo::BlockCrcPortable("123456789", 9), 0xE3069283u);
    EXPECT_EQ(repo::BlockCrc(nullptr, 0), 0u);
    std::mt19937_64 rng(42);
    std::vector<uint8_t> data(70000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t start : {0u, 1u, 3u, 7u}) {
        for (size_t len : {0u, 1u, 7u, 8u, 9u, 4095u, 65536u}) {
            EXPECT_EQ(repo::BlockCrc(data.data() + start, len), repo::BlockCrcPortable(data.data() + start, len))
                << start << "+" << len;
        }
    }
    // Chained computation equals one pass.
    uint32_t part = repo::BlockCrc(data.data(), 1000);
    EXPECT_EQ(repo::BlockCrc(data.data() + 1000, 5000, part), repo::BlockCrc(data.data(), 6000));
}

TEST_F(RepoFormat, ZeroTestAndBlockGeometry)
{
    std::vector<char> z(4097, 0);
    EXPECT_TRUE(repo::IsAllZero(z.data(), z.size()));
    z[4096] = 1;  // in the byte tail
    EXPECT_FALSE(repo::IsAllZero(z.data(), z.size()));
    z[4096] = 0;
    z[8] = 1;
    EXPECT_FALSE(repo::IsAllZero(z.data(), z.size()));
    EXPECT_TRUE(repo::IsAllZero(nullptr, 0));

    const uint64_t bs = repo::kBlockSize;
    EXPECT_EQ(repo::BlockCount(0, bs), 0u);
    EXPECT_EQ(repo::BlockCount(bs, bs), 1u);
    EXPECT_EQ(repo::BlockCount(bs + 1, bs), 2u);
    EXPECT_EQ(repo::BlockLength(1, bs + 4096, bs), 4096u);  // the short last block
    EXPECT_EQ(repo::BlockLength(2, bs + 4096, bs), 0u);
    EXPECT_EQ(repo::BlockCount(10, 0), 0u);
}

TEST_F(RepoFormat, BackupIdsAreSafeNames)
{
    std::string id = repo::NewBackupId();
    EXPECT_TRUE(repo::ValidBackupId(id)) << id;
    EXPECT_NE(id, repo::NewBackupId());
    for (const char* bad : {"", "..", "../x", "a/b", "-rf", ".x", "a b", "x;y"}) {
        EXPECT_FALSE(repo::ValidBackupId(bad)) << bad;
    }
}

TEST_F(RepoFormat, BlockTableRoundTripAndEveryDamageIsFound)
{
    std::vector<repo::BlockEntry> in = {{0, 4194304, 0x11111111}, {7, 4194304, 0xdeadbeef}, {9, 4096, 0}};
    uint32_t crc = 0;
    std::string path = dir + "/" + repo::kTableFile;
    ASSERT_TRUE(repo::WriteTable(path, "b-1", in, crc, error)) << error;
    repo::BlockTable table;
    ASSERT_TRUE(repo::ReadTable(path, table, error)) << error;
    EXPECT_EQ(table.bodyCrc, crc);
    EXPECT_EQ(table.backupId, "b-1");
    const std::vector<repo::BlockEntry>& out = table.entries;
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].index, 7u);
    EXPECT_EQ(out[1].crc, 0xdeadbeefu);
    EXPECT_EQ(out[2].length, 4096u);
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    std::string good;
    ASSERT_TRUE(repo::ReadWholeFile(path, good, error));
    auto reads = [&](const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return repo::ReadTable(path, table, error);
    };
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] ^= 0x01;
        EXPECT_FALSE(reads(bad)) << "flipped byte " << i;
    }
    EXPECT_FALSE(reads(good.substr(0, good.size() - 1)));
    EXPECT_FALSE(reads(""));
    EXPECT_FALSE(repo::ReadTable(dir + "/missing", table, error));
}

TEST_F(RepoFormat, TableMatchesOnlyTheManifestItWasWrittenWith)
{
    std::string path = dir + "/" + repo::kTableFile;
    std::vector<repo::BlockEntry> in = {{0, 4096, 1}};
    repo::Manifest m = SampleManifest("b-1", "full", "");
    m.blocks = 1;
    ASSERT_TRUE(repo::WriteTable(path, "b-1", in, m.tableCrc, error));
    repo::BlockTable t;
    ASSERT_TRUE(repo::ReadTable(path, t, error));
    EXPECT_TRUE(repo::TableMatches(m, t, error)) << error;
    EXPECT_NE(m.tableCrc, t.fileCrc);  // not the residue every table shares
    auto matchesWith = [&](auto change) {
        repo::Manifest x = m;
        change(x);
        return repo::TableMatches(x, t, error);
    };
    EXPECT_FALSE(matchesWith([](repo::Manifest& x) { x.backupId = "b-2"; }));
    EXPECT_NE(error.find("belongs to backup b-1"), std::string::npos) << error;
    EXPECT_FALSE(matchesWith([](repo::Manifest& x) { x.blocks = 2; }));
    EXPECT_FALSE(matchesWith([](repo::Manifest& x) { x.tableCrc ^= 1; }));
    // A format-1 manifest needs a version-1 table.
    EXPECT_FALSE(matchesWith([&](repo::Manifest& x) { x.format = 1; x.tableCrc = t.fileCrc; }));
    EXPECT_FALSE(repo::WriteTable(path, std::string(65, 'x'), in, m.tableCrc, error));
}

TEST_F(RepoFormat, ManifestRoundTripAndRejectsInconsistentOnes)
{
    repo::Manifest m = SampleManifest("b-1", "incremental", "b-0");
    m.tableCrc = 0xfedcba98;
    m.storedBytes = 123;
    ASSERT_TRUE(repo::WriteManifest(dir, m, error)) << error;
    repo::Manifest back;
    ASSERT_TRUE(repo::ReadManifest(dir, back, error)) << error;
    EXPECT_EQ(back.tableCrc, 0xfedcba98u);
    EXPECT_EQ(back.parentBackup, "b-0");
    EXPECT_EQ(back.storedBytes, 123u);

    const std::vector<std::pair<const char*, void (*)(repo::Manifest&)>> inconsistent = {
        {"an incremental without a parent", [](repo::Manifest& x) { x.parentBackup = ""; }},
        {"a full with a parent", [](repo::Manifest& x) { x = SampleManifest("b-2", "full", "b-0"); }},
        {"a data file outside its directory", [](repo::Manifest& x) { x.dataFile = "../../etc/passwd"; }},
        {"a ranges file outside the chain", [](repo::Manifest& x) { x.dirtyRangesFile = "../x.dirtyRanges"; }},
        {"a block size the format does not have", [](repo::Manifest& x) { x.blockSize = 1000; }},
    };
    for (const auto& c : inconsistent) {
        repo::Manifest bad = m;
        c.second(bad);
        EXPECT_TRUE(repo::WriteManifest(dir, bad, error));
        repo::Manifest r;
        EXPECT_FALSE(repo::ReadManifest(dir, r, error)) << c.first;
    }
    std::ofstream(dir + "/" + repo::kManifestFile) << "{\"format\": 1, \"kind\": ";
    EXPECT_FALSE(repo::ReadManifest(dir, back, error));
}

TEST_F(RepoFormat, RepositoryListsOnlyCompleteBackupsAndResolvesChains)
{
    repo::Repository r;
    EXPECT_FALSE(r.Open(dir + "/repo", false, error));
    ASSERT_TRUE(r.Open(dir + "/repo", true, error)) << error;
    // A non-empty directory that is not a repository is never taken over.
    fs::create_directories(dir + "/other");
    std::ofstream(dir + "/other/file") << "x";
    repo::Repository other;
    EXPECT_FALSE(other.Open(dir + "/other", true, error));

    const std::string vol = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
    std::string backups = r.ChainDir(vol) + "/backups/";
    auto make = [&](repo::Manifest m, int64_t created, bool complete) {
        fs::create_directories(backups + m.backupId);
        m.createdAt = created;
        if (complete) {
            ASSERT_TRUE(repo::WriteManifest(backups + m.backupId, m, error)) << error;
        }
    };
    make(SampleManifest("b-0", "full", ""), 10, true);
    make(SampleManifest("b-1", "incremental", "b-0"), 20, true);
    make(SampleManifest("b-2", "incremental", "b-1"), 30, true);
    make(SampleManifest("b-3", "incremental", "b-2"), 40, false);   // interrupted
    make(SampleManifest("b-4", "incremental", "b-9"), 50, true);    // parent missing

    auto listed = r.ListBackups();
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[0].manifest.backupId, "b-0");
    fs::create_directories(backups + "b-6");
    std::ofstream(backups + "b-6/" + repo::kManifestFile) << "{\"format\": 2";
    auto partial = r.ListPartial();
    ASSERT_EQ(partial.size(), 2u);
    EXPECT_EQ(partial[0].backupId, "b-3");
    EXPECT_TRUE(partial[0].manifestMissing);
    EXPECT_EQ(partial[1].backupId, "b-6");
    EXPECT_FALSE(partial[1].manifestMissing);
    EXPECT_NE(partial[1].reason.find("not valid JSON"), std::string::npos) << partial[1].reason;

    repo::BackupInfo target;
    ASSERT_TRUE(r.FindBackup("b-2", target, error)) << error;
    std::vector<repo::BackupInfo> chain;
    ASSERT_TRUE(r.ResolveChain(target, chain, error)) << error;
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0].manifest.backupId, "b-0");
    EXPECT_EQ(chain[2].manifest.backupId, "b-2");

    EXPECT_FALSE(r.FindBackup("b-3", target, error));
    EXPECT_NE(error.find("incomplete"), std::string::npos);
    EXPECT_FALSE(r.FindBackup("../b-0", target, error));
    ASSERT_TRUE(r.FindBackup("b-4", target, error));
    EXPECT_FALSE(r.ResolveChain(target, chain, error));

    // A parent taken of another snapshot than the child names is refused.
    repo::Manifest wrong = SampleManifest("b-5", "incremental", "b-0");
    wrong.parentSnapshot = "snap-other";
    make(wrong, 60, true);
    ASSERT_TRUE(r.FindBackup("b-5", target, error));
    EXPECT_FALSE(r.ResolveChain(target, chain, error));
}

}  // namespace
