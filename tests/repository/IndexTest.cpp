// Backup indexes: round trips, binding to the backup and volume they are stored
// under, damage and foreign keys refused, and a reader written from the
// documented layout agreeing with the writer.
#include <gtest/gtest.h>

#include <cstring>

#include "apps/datamover/repository/Index.h"
#include "tests/repository/RepoTestUtil.h"

using namespace repo3;

namespace {

struct Repo : repotest::TestRepo {
    explicit Repo(Encryption e) : TestRepo(e), indexes(store, keys) {}
    IndexStore indexes;
};

BackupIndex Sample(const std::string& volume, const std::string& backup, uint64_t volumeSize = 10 * 4194304 + 512)
{
    BackupIndex x;
    x.meta.backupId = backup;
    x.meta.volumeId = volume;
    x.meta.volumeSize = volumeSize;
    x.meta.dataOffset = 4096;
    x.meta.parentBackup = "20261207T100000Z-0000abcd";
    x.meta.snapshot = "snap-1";
    x.meta.snapshotIdentity = "identity-\"quoted\"-\xc3\xa9";
    x.meta.createdAtMicros = 1765100000123456;
    x.blocks.resize(IndexBlockCount(volumeSize, x.meta.blockSize));
    for (size_t i = 0; i < x.blocks.size(); i += 2) {
        ChunkId id{};
        id[0] = static_cast<uint8_t>(i);
        id[31] = 0xee;
        x.blocks[i] = id;
    }
    return x;
}

void ExpectSame(const BackupIndex& a, const BackupIndex& b)
{
    EXPECT_EQ(a.meta.backupId, b.meta.backupId);
    EXPECT_EQ(a.meta.volumeId, b.meta.volumeId);
    EXPECT_EQ(a.meta.volumeSize, b.meta.volumeSize);
    EXPECT_EQ(a.meta.dataOffset, b.meta.dataOffset);
    EXPECT_EQ(a.meta.blockSize, b.meta.blockSize);
    EXPECT_EQ(a.meta.parentBackup, b.meta.parentBackup);
    EXPECT_EQ(a.meta.snapshot, b.meta.snapshot);
    EXPECT_EQ(a.meta.snapshotIdentity, b.meta.snapshotIdentity);
    EXPECT_EQ(a.meta.createdAtMicros, b.meta.createdAtMicros);
    EXPECT_EQ(a.blocks, b.blocks);
}

class IndexModes : public ::testing::TestWithParam<Encryption> {};

TEST_P(IndexModes, RoundTripsAndIsWrittenOnce)
{
    Repo r(GetParam());
    const BackupIndex x = Sample("vol-1", "b1");
    r.indexes.Write(x);
    ExpectSame(r.indexes.Read("vol-1", "b1"), x);
    EXPECT_THROW(r.indexes.Write(x), IndexError) << "an index is immutable";
    BackupIndex full = Sample("vol-1", "b2", 4194304);  // one block, exactly full
    full.meta.parentBackup.clear();
    r.indexes.Write(full);
    ExpectSame(r.indexes.Read("vol-1", "b2"), full);
    const auto names = r.indexes.List();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].backupId, "b1");
    EXPECT_EQ(names[1].volumeId, "vol-1");
    EXPECT_THROW(r.indexes.Read("vol-1", "b3"), IndexError);
    EXPECT_TRUE(r.indexes.Remove("vol-1", "b1"));
    EXPECT_THROW(r.indexes.Read("vol-1", "b1"), IndexError);
}

TEST_P(IndexModes, InconsistentIndexesAreNotWritten)
{
    Repo r(GetParam());
    const struct {
        const char* what;
        std::function<void(BackupIndex&)> edit;
    } cases[] = {
        {"one block short", [](BackupIndex& x) { x.blocks.pop_back(); }},
        {"one block extra", [](BackupIndex& x) { x.blocks.emplace_back(); }},
        {"zero volume size", [](BackupIndex& x) { x.meta.volumeSize = 0; x.blocks.clear(); }},
        {"block size not 4 KiB aligned", [](BackupIndex& x) { x.meta.blockSize = 1000; }},
        {"path in the backup id", [](BackupIndex& x) { x.meta.backupId = "../b"; }},
        {"own parent", [](BackupIndex& x) { x.meta.parentBackup = x.meta.backupId; }},
    };
    for (const auto& c : cases) {
        BackupIndex x = Sample("vol", "b");
        c.edit(x);
        EXPECT_ANY_THROW(r.indexes.Write(x)) << c.what;
    }
    EXPECT_TRUE(r.indexes.List().empty());
}

TEST_P(IndexModes, IndexesMovedDamagedOrSealedElsewhereAreRefused)
{
    Repo r(GetParam());
    Repo other(GetParam());
    r.indexes.Write(Sample("vol-1", "b1"));
    r.indexes.Write(Sample("vol-1", "b2"));
    r.indexes.Write(Sample("vol-2", "b1"));
    other.indexes.Write(Sample("vol-1", "b1"));
    std::string b1, b2, v2b1, foreign;
    r.store.Get(IndexStore::ObjectName("vol-1", "b1"), b1);
    r.store.Get(IndexStore::ObjectName("vol-1", "b2"), b2);
    r.store.Get(IndexStore::ObjectName("vol-2", "b1"), v2b1);
    other.store.Get(IndexStore::ObjectName("vol-1", "b1"), foreign);

    const auto flip = repotest::Flip;
    const struct {
        const char* what;
        std::string file;
    } cases[] = {
        {"another backup's index", b2},
        {"another volume's index of the same backup id", v2b1},
        {"empty", ""},
        {"truncated by one byte", b1.substr(0, b1.size() - 1)},
        {"header only", b1.substr(0, 32)},
        {"magic flipped", flip(b1, 0)},
        {"cipher flag flipped", flip(b1, 9)},
        {"reserved byte set", flip(b1, 12)},
        {"metadata byte flipped", flip(b1, 40)},
        {"entry byte flipped", flip(b1, b1.size() - 40)},
        {"last byte flipped", flip(b1, b1.size() - 1)},
        {"extended", b1 + std::string(16, '\0')},
    };
    for (const auto& c : cases) {
        r.store.Replace(IndexStore::ObjectName("vol-1", "b1"), c.file);
        EXPECT_THROW(r.indexes.Read("vol-1", "b1"), IndexError) << c.what;
    }
    if (r.keys.Encrypted()) {
        r.store.Replace(IndexStore::ObjectName("vol-1", "b1"), foreign);
        EXPECT_THROW(r.indexes.Read("vol-1", "b1"), IndexError) << "sealed under another key";
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, IndexModes, ::testing::Values(Encryption::None, Encryption::RepoKey),
                         [](const auto& i) { return i.param == Encryption::None ? "Plain" : "Encrypted"; });

// An unencrypted index of backup b9 of volume v9 written by hand from FORMAT3.md:
// the documented metadata members of a volume of `volumeSize` bytes and `extra`
// ones, then `count` and `entries` as given.
std::string HandWrittenIndex(uint64_t volumeSize, const std::string& extra, uint64_t count, const std::string& entries)
{
    auto le = [](uint64_t v, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
        return out;
    };
    const std::string meta = R"({"backup_id":"b9","volume_id":"v9","volume_size":)" + std::to_string(volumeSize) +
                             R"(,"data_offset":0,"block_size":4194304,"parent_backup":"","snapshot":"s",)"
                             R"("snapshot_identity":"","created_at_us":5)" + extra + "}";
    const std::string header = std::string("DMINDEX3") + '\x01' + '\x00' + std::string(22, '\0');
    const std::string body = le(meta.size(), 4) + meta + le(count, 8) + entries;
    const std::string covered = std::string("datamover-index-v1", 19) + "v9" + '\0' + "b9" + '\0' + header + body;
    const Digest d = Sha256(covered.data(), covered.size());
    return header + body + std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

// The documented layout is the one read, and an authentic but hostile body is
// refused without allocating what it claims.
TEST(IndexLayout, HandWrittenUnencryptedIndexFollowsTheDocument)
{
    Repo r(Encryption::None);
    auto build = [](uint64_t count, const std::string& entries) { return HandWrittenIndex(8388608, "", count, entries); };
    ChunkId id{};
    id.fill(0x5a);
    const std::string entries = std::string(1, '\0') + std::string(1, '\x01') + std::string(id.begin(), id.end());
    r.store.PutIfAbsent(IndexStore::ObjectName("v9", "b9"), build(2, entries));
    const BackupIndex x = r.indexes.Read("v9", "b9");
    ASSERT_EQ(x.blocks.size(), 2u);
    EXPECT_FALSE(x.blocks[0].has_value());
    EXPECT_EQ(x.blocks[1], id);
    EXPECT_EQ(x.meta.createdAtMicros, 5);

    const struct {
        const char* what;
        std::string file;
    } hostile[] = {
        {"count of 2^60", build(uint64_t(1) << 60, entries)},
        {"count disagrees with the volume", build(1, std::string(1, '\0'))},
        {"unknown entry kind", build(2, std::string(1, '\x02') + std::string(1, '\0'))},
        {"entry cut short", build(2, std::string(1, '\0') + std::string(1, '\x01') + std::string(10, 'x'))},
    };
    for (const auto& h : hostile) {
        r.store.Replace(IndexStore::ObjectName("v9", "b9"), h.file);
        EXPECT_THROW(r.indexes.Read("v9", "b9"), IndexError) << h.what;
    }
}

TEST(IndexLayout, OptionalMembersAreKeptAbsentOnesReadAsNotRecordedAndWrongTypesRefused)
{
    Repo r(Encryption::None);
    BackupIndex x = Sample("vol-a", "b-opt");
    x.meta.storageType = 6;
    x.meta.snapshotUrl = "strata://m/p/snap-1";
    x.meta.parentSnapshot = "snap-0";
    r.indexes.Write(x);
    const BackupIndex back = r.indexes.Read("vol-a", "b-opt");
    EXPECT_EQ(back.meta.storageType, 6);
    EXPECT_EQ(back.meta.snapshotUrl, x.meta.snapshotUrl);
    EXPECT_EQ(back.meta.parentSnapshot, "snap-0");

    // Hand-written with the documented members only, then with each optional one of a wrong type.
    auto build = [](const std::string& extra) { return HandWrittenIndex(4194304, extra, 1, std::string(1, '\0')); };
    r.store.PutIfAbsent(IndexStore::ObjectName("v9", "b9"), build(""));
    const BackupIndex old = r.indexes.Read("v9", "b9");
    EXPECT_EQ(old.meta.storageType, -1);
    EXPECT_EQ(old.meta.snapshotUrl, "");
    EXPECT_EQ(old.meta.parentSnapshot, "");
    for (const char* bad : {R"(,"storage_type":"0")", R"(,"storage_type":-1)", R"(,"snapshot_url":7)",
                            R"(,"parent_snapshot":null)"}) {
        r.store.Replace(IndexStore::ObjectName("v9", "b9"), build(bad));
        EXPECT_THROW(r.indexes.Read("v9", "b9"), IndexError) << bad;
    }
}

}  // namespace

namespace {

TEST(IndexBlocks, ReadBlockReturnsExactLengthsAndRefusesMisfitChunks)
{
    repotest::TempDir dir;
    LocalDirStore store(dir.Path());
    const RepoKeys keys = InitRepository(store, Encryption::None, "", repotest::FastKdf());
    ChunkStore chunks(store, keys);
    BackupIndex x;
    x.meta.volumeId = "v";
    x.meta.backupId = "b";
    x.meta.blockSize = 8192;
    x.meta.volumeSize = 8192 + 4096;  // the last block is short
    const std::string full(8192, 'f'), shortBlock(4096, 's');
    x.blocks = {chunks.Put(full.data(), full.size()).id, chunks.Put(shortBlock.data(), shortBlock.size()).id};
    EXPECT_EQ(ReadBlock(chunks, x, 0), full);
    EXPECT_EQ(ReadBlock(chunks, x, 1), shortBlock);
    EXPECT_THROW(ReadBlock(chunks, x, 2), IndexError);
    x.blocks[1].reset();
    EXPECT_EQ(ReadBlock(chunks, x, 1), std::string(4096, '\0')) << "a zero block is as long as its block";
    x.blocks[1] = x.blocks[0];  // an 8 KiB chunk where 4 KiB belong
    EXPECT_THROW(ReadBlock(chunks, x, 1), IndexError);
    EXPECT_EQ(IndexBlockLength(x.meta, 0), 8192u);
    EXPECT_EQ(IndexBlockLength(x.meta, 1), 4096u);
    EXPECT_EQ(IndexBlockLength(x.meta, 2), 0u);
}

TEST(IndexBlocks, AChildFollowsOnlyItsOwnParentsVolumeAndGeometry)
{
    const BackupIndex parent = Sample("vol", "p");
    IndexMeta good = parent.meta;
    good.backupId = "c";
    good.parentBackup = "p";
    good.createdAtMicros = parent.meta.createdAtMicros + 1;
    const BackupIndex child = ChildIndex(parent, good);
    EXPECT_EQ(child.blocks, parent.blocks);
    EXPECT_EQ(child.meta.backupId, "c");
    const struct {
        const char* what;
        std::function<void(IndexMeta&)> edit;
    } cases[] = {
        {"names another parent", [](IndexMeta& m) { m.parentBackup = "q"; }},
        {"another volume", [](IndexMeta& m) { m.volumeId = "vol2"; }},
        {"another size", [](IndexMeta& m) { m.volumeSize += 4096; }},
        {"another offset", [](IndexMeta& m) { m.dataOffset = 0; }},
        {"another block size", [](IndexMeta& m) { m.blockSize = 8192; }},
        {"older than its parent", [](IndexMeta& m) { m.createdAtMicros -= 2; }},
    };
    for (const auto& c : cases) {
        IndexMeta m = good;
        c.edit(m);
        EXPECT_THROW(ChildIndex(parent, m), IndexError) << c.what;
    }
}

}  // namespace
