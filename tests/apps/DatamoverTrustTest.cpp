// What decides a restore is bound together and checked before anything is
// read or written: a parent is the backup its child names by id, a manifest
// carries its own checksum, an incremental is laid only on a restorable
// parent. And what the data mover says of a chain is what is true of it.
#include <sys/mount.h>

#include <functional>
#include <set>
#include <thread>

#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

class DatamoverTrustTest : public DatamoverTest {
protected:
    std::string ChainDir() const { return repoPath + "/chains/" + kVolumeId; }
    // `verify` with `extra` must exit `rc`; its JSON document.
    Json::Value Verify(int rc, const std::vector<std::string>& extra = {}) const
    {
        return Expect(rc, Repo("verify", extra)).json;
    }
    // The problems verify names for backup `id` ("" when it is sound).
    static std::string ProblemsOf(const Json::Value& verify, const std::string& id)
    {
        for (const Json::Value& b : verify["backups"]) {
            if (Id(b) == id) return b["ok"].asBool() ? "" : CJsonUtils::JsonToString(b["problems"]);
        }
        return "not listed";
    }
    // A restore of `id` into a new local file is refused as damaged and leaves no file.
    void ExpectRestoreRefused(const std::string& id, const std::string& says)
    {
        const std::string out = sim->Root() + "/out-" + std::to_string(++restores) + ".img";
        Result r = Restore(id, "", {"--to-file", out});
        ExpectRefused(r, {says});
        EXPECT_EQ(r.json["error"]["code"].asString(), "damaged") << r.out;
        EXPECT_FALSE(fs::exists(out)) << "a refused restore left " << out;
    }
};

TEST_F(DatamoverTrustTest, AParentIsTheBackupItsChildNamesById)
{
    ASSERT_NO_FATAL_FAILURE(MakeChain());
    // s1 deleted, the volume written anew, s1 made again and backed up in full:
    // then B1's directory is replaced by that backup's.
    sim->DeleteSnapshot("s1");
    const std::string f2 = FullOf("s1", 9);
    fs::remove_all(BackupDir(b1));
    fs::rename(BackupDir(f2), BackupDir(b1));
    const Json::Value v = Verify(1);
    EXPECT_NE(ProblemsOf(v, b1).find("holds the manifest of backup " + f2), std::string::npos) << v;
    for (const std::string& above : {b2, b3}) EXPECT_NE(ProblemsOf(v, above), "") << above << " called sound";
    ExpectRefused(Expect(1, Repo("verify", {"--backup", b3})), {"damaged"});
    ExpectRestoreRefused(b3, "holds the manifest of backup " + f2);

    // A renamed backup directory is damage under its new name, for every command.
    const std::string renamed = "20990101T000000Z-0badc0de";
    fs::rename(BackupDir(b3), BackupDir(renamed));
    ExpectRestoreRefused(renamed, "holds the manifest of backup " + b3);
    ExpectRefused(Expect(1, Repo("verify", {"--backup", renamed})), {"holds the manifest"});
    Result forget = Expect(1, Repo("forget", {"--backup", renamed}));
    ExpectRefused(forget, {"holds the manifest"});
    EXPECT_TRUE(fs::exists(BackupDir(renamed))) << "forget removed a damaged backup";
}

TEST_F(DatamoverTrustTest, AManifestChangedAfterTheBackupIsRefusedBeforeTheFirstWrite)
{
    ASSERT_NO_FATAL_FAILURE(MakeChain());
    const std::string manifest = BackupDir(b3) + "/" + repo::kManifestFile;
    const std::string original = FileBytes(manifest);
    struct Case {
        const char* name;
        std::function<void(Json::Value&)> edit;
        bool reseal;     // the checksum made to match: only the field checks can catch it
        const char* says;
    };
    const std::vector<Case> cases = {
        {"an offset edited in place", [](Json::Value& m) { m["data_offset"] = 5096; }, false, "fails its checksum"},
        {"an offset that is no multiple of 512", [](Json::Value& m) { m["data_offset"] = 5096; }, true,
         "field data_offset"},
        {"a geometry that differs from the parent's", [](Json::Value& m) { m["data_offset"] = 8192; }, true,
         "geometry"},
        {"a parent named by another id", [&](Json::Value& m) { m["parent_backup"] = b1; }, true,
         "is a backup of snapshot s1"},
        {"a full data file under an incremental", [](Json::Value& m) { m["data_file"] = repo::kFullDataFile; }, true,
         "field data_file"},
    };
    const std::string target = sim->Root() + "/held.img";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(EditManifest(b3, c.edit, c.reseal));
        EXPECT_TRUE(Mentions(Verify(1), c.says)) << Verify(1);
        EXPECT_TRUE(Mentions(Verify(1, {"--quick"}), c.says));
        ExpectRestoreRefused(b3, c.says);
        // A forced restore over a file that holds data leaves it as it was.
        std::ofstream(target, std::ios::trunc) << std::string(size + kOffset, 'x');
        ExpectRefused(Restore(b3, "", {"--to-file", target, "--force"}), {c.says});
        EXPECT_EQ(FileBytes(target), std::string(size + kOffset, 'x'));
        std::ofstream(manifest, std::ios::trunc | std::ios::binary) << original;
    }
    EXPECT_TRUE(Verify(0)["ok"].asBool()) << "the original manifest no longer reads";
}

TEST_F(DatamoverTrustTest, AnIncrementalIsNeverLaidOnAnUnrestorableParent)
{
    ASSERT_NO_FATAL_FAILURE(MakeChain());
    fs::resize_file(BackupDir(b3) + "/" + repo::kIncrDataFile, kMiB);
    sim->Snapshot("vol", "s4");
    const size_t calls = sim->Calls().size();
    Result r = Expect(1, BackupArgs("s4", "s3"));
    ExpectRefused(r, {"parent backup " + b3, "cannot be restored", "full backup"});
    EXPECT_EQ(r.json["error"]["code"].asString(), "damaged");
    EXPECT_EQ(sim->Calls().size(), calls) << "the storage was asked for data before the parent was checked";
    EXPECT_EQ(Listed(), (std::vector<std::string>{b1, b2, b3}));
    // A full backup still goes in.
    ExpectRestores(Id(SnapAndBackUp("vol", "s5", "")), "s5");
}

TEST_F(DatamoverTrustTest, DamageANewerBackupOverwritesIsNamedButNotCounted)
{
    ASSERT_NO_FATAL_FAILURE(MakeChain());
    // One block of B1 that B2 holds again, one that B1 alone holds.
    std::set<uint64_t> newer;
    for (const std::string& id : {b2, b3}) {
        repo::BlockTable t;
        std::string error;
        ASSERT_TRUE(repo::ReadTable(BackupDir(id) + "/" + repo::kTableFile, t, error)) << error;
        for (const repo::BlockEntry& e : t.entries) newer.insert(e.index);
    }
    const uint64_t covered = *newer.begin();
    uint64_t alone = 0;
    while (newer.count(alone) != 0) ++alone;
    ASSERT_LT(alone, size / (4 * kMiB));
    Overwrite(BackupDir(b1) + "/" + repo::kFullDataFile, covered * 4 * kMiB + 10, "garbage");
    Json::Value v = Verify(1);
    EXPECT_NE(ProblemsOf(v, b1), "");
    EXPECT_EQ(ProblemsOf(v, b2), "") << v;
    EXPECT_EQ(ProblemsOf(v, b3), "") << v;
    EXPECT_TRUE(Mentions(v, "a newer backup of this chain holds again"));
    ExpectRestores(b3, "s3");
    Overwrite(BackupDir(b1) + "/" + repo::kFullDataFile, alone * 4 * kMiB + 10, "garbage");
    v = Verify(1);
    EXPECT_NE(ProblemsOf(v, b3).find("depends on damaged backup " + b1 + " (block " + std::to_string(alone) + ")"),
              std::string::npos)
        << v;
}

TEST_F(DatamoverTrustTest, AShortenedFullBackupDoesNotCoverTheVolume)
{
    b1 = FullOf("s1", 1);
    // Table, count and manifest rewritten to agree with each other: one block fewer.
    const std::string dir = BackupDir(b1);
    repo::BlockTable table;
    std::string error;
    ASSERT_TRUE(repo::ReadTable(dir + "/" + repo::kTableFile, table, error)) << error;
    const repo::BlockEntry last = table.entries.back();
    table.entries.pop_back();
    uint32_t crc = 0;
    ASSERT_TRUE(repo::WriteTable(dir + "/" + repo::kTableFile, b1, table.entries, crc, error)) << error;
    ASSERT_NO_FATAL_FAILURE(EditManifest(b1, [&](Json::Value& m) {
        m["table_crc"] = Json::UInt(crc);
        m["blocks"] = Json::UInt64(table.entries.size());
        m["changed_bytes"] = Json::UInt64(m["changed_bytes"].asUInt64() - last.length);
    }));
    for (const char* quick : {"", "--quick"}) {
        std::vector<std::string> extra;
        if (*quick != '\0') extra.push_back(quick);
        EXPECT_TRUE(Mentions(Verify(1, extra), "does not cover the volume")) << quick;
    }
    ExpectRestoreRefused(b1, "does not cover the volume");
}

TEST_F(DatamoverTrustTest, WhatIsSaidOfAChainIsWhatIsTrueOfIt)
{
    ASSERT_NO_FATAL_FAILURE(MakeChain());
    const std::string meta = ChainDir() + "/SNAPS_DIR";
    // Garbage in the chain's identity: not "in use, try again".
    const std::string id = FileBytes(meta + "/chain.id");
    std::ofstream(meta + "/chain.id", std::ios::trunc) << "garbage";
    for (const auto& args : {Repo("prune", {"--keep-last", "1"}), Repo("forget", {"--backup", b3})}) {
        Result r = Expect(1, args);
        EXPECT_TRUE(Mentions(r.json, "damaged identity file")) << r.out;
        EXPECT_FALSE(Mentions(r.json, "in use")) << r.out;
    }
    std::ofstream(meta + "/chain.id", std::ios::trunc | std::ios::binary) << id;

    // A read-only repository says so.
    const std::string ro = sim->Root() + "/ro-repo";
    fs::create_directories(ro);
    ASSERT_EQ(::mount(repoPath.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    const std::vector<std::string> files = RepoFiles();
    for (const auto& args : {std::vector<std::string>{"prune", "--repo", ro, "--keep-last", "1"},
                             std::vector<std::string>{"forget", "--repo", ro, "--backup", b3}}) {
        Result r = Expect(1, args);
        EXPECT_EQ(r.json["error"]["code"].asString(), "read_only") << r.out;
        EXPECT_TRUE(Mentions(r.json, "cannot be written")) << r.out;
    }
    Expect(0, {"verify", "--repo", ro});
    ::umount(ro.c_str());
    EXPECT_EQ(RepoFiles(), files);

    // A journal that cannot be opened is damage, not "sound".
    const std::string db = meta + "/chain.db";
    const std::string journal = FileBytes(db);
    std::ofstream(db, std::ios::trunc) << std::string(8192, 'z');
    EXPECT_TRUE(Mentions(Verify(1), "journal")) << Verify(1);
    sim->Snapshot("vol", "s9");
    Result refused = Expect(1, BackupArgs("s9", "s3"));
    ExpectRefused(refused, {"cannot be opened", "restored from a copy"});
    EXPECT_EQ(refused.json["error"]["code"].asString(), "damaged");
    std::ofstream(db, std::ios::trunc | std::ios::binary) << journal;
    Verify(0);

    // One chain per volume whatever the case of its UUID.
    std::string upper = kVolumeId;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    sim->Snapshot("vol", "s4");
    std::vector<std::string> args = BackupArgs("s4", "s3");
    args[2] = upper;
    Expect(0, args);
    EXPECT_EQ(List().json["chains"].size(), 1u);
    EXPECT_EQ(Listed().size(), 4u);
}

// A backup without its manifest is no bad argument: exit 1, and the journal's word.
TEST_F(DatamoverTrustTest, AMissingManifestIsDamageNotABadArgument)
{
    b1 = FullOf("s1", 1);
    fs::remove(BackupDir(b1) + "/" + repo::kManifestFile);
    ExpectRestoreRefused(b1, "manifest is missing");
    Result v = Expect(1, Repo("verify", {"--backup", b1}));
    EXPECT_TRUE(Mentions(v.json, "damaged: the manifest is missing although the chain's journal says complete"))
        << v.out;
}

TEST_F(DatamoverTrustTest, ALiveBackupIsNeitherRemovableNorRemovedAndOneSnapshotIsReadOnce)
{
    b1 = FullOf("s1", 1);
    sim->Snapshot("vol", "s2");
    sim->InjectFault(SimFault::Stall("attach", 3000, 1, false));
    const int attaches = sim->State().calls["attach"];
    Result live;
    std::thread first([&]() { live = Run(BackupArgs("s2", "s1")); });
    // Once the backup holds its chain and stalls in its attach.
    ASSERT_TRUE(WaitFor([&]() { return sim->State().calls["attach"] > attaches; }));
    Result l = List();
    EXPECT_FALSE(Mentions(l.json, "removable")) << l.out;
    EXPECT_TRUE(Mentions(l.json, "a running task holds the chain")) << l.out;
    Result c = Expect(0, Repo("clean"));
    EXPECT_TRUE(Mentions(c.json, "in use")) << c.out;
    Result dry = Expect(1, Repo("prune", {"--keep-last", "1", "--dry-run"}));
    EXPECT_EQ(dry.json["chains"][0]["error"]["code"].asString(), "in_use") << dry.out;
    // A second task on the same snapshot is refused at once, naming the holder.
    Result second = Run(BackupArgs("s2", "s1"));
    EXPECT_EQ(second.json["error"]["code"].asString(), "in_use") << second.out;
    ExpectRefused(second, {"snapshot strata://127.0.0.1/pool0/s2", "is in use by task"});
    first.join();
    // Had clean or prune taken its directory, the backup would have failed.
    ASSERT_EQ(live.rc, 0) << live.out << live.err;
    EXPECT_EQ(Listed(), (std::vector<std::string>{b1, Id(live)}));
    ExpectRestores(Id(live), "s2");
}

TEST_F(DatamoverTrustTest, WhatAKilledRemovalLeftIsShownByADryRunAndRemovedByTheNext)
{
    ASSERT_NO_FATAL_FAILURE(MakeChain());
    // Two removals killed after their journal row and manifest went: B3's left
    // its directory; for B2, as an older data mover did it, the directory went
    // before the changed-range file.
    ::setenv("DATAMOVER_CRASH_AT", "forget-manifest-removed", 1);
    Run(Repo("forget", {"--backup", b3}));
    Run(Repo("forget", {"--backup", b2}));
    ::unsetenv("DATAMOVER_CRASH_AT");
    fs::remove_all(BackupDir(b2));
    const std::string orphan = ChainDir() + "/SNAPS_DIR/" + b2 + ".dirtyRanges";
    ASSERT_TRUE(fs::exists(orphan));
    ASSERT_TRUE(fs::exists(BackupDir(b3)));
    const std::vector<std::string> files = RepoFiles();
    Result dry = Expect(0, Repo("prune", {"--keep-last", "5", "--dry-run"}));
    EXPECT_TRUE(Mentions(dry.json["chains"][0]["would_remove_files"], orphan)) << dry.out;
    EXPECT_TRUE(Mentions(dry.json["chains"][0]["would_remove"], b3)) << dry.out;
    EXPECT_EQ(RepoFiles(), files) << "a dry run changed the repository";
    Expect(0, Repo("clean"));
    EXPECT_FALSE(fs::exists(orphan));
    EXPECT_FALSE(fs::exists(BackupDir(b3)));
    ExpectRestores(b1, "s1");
}

TEST_F(DatamoverTrustTest, AParentSnapshotMadeAgainUnderItsNameIsReadInFull)
{
    b1 = FullOf("s1", 1);
    const std::string first = List().json["chains"][0]["backups"][0]["snapshot_identity"].asString();
    ASSERT_FALSE(first.empty()) << "no identity recorded";
    // s1 deleted and made again from other data: the same name, another snapshot.
    sim->DeleteSnapshot("s1");
    sim->WriteRandom("vol", 0, 20 * kMiB, 5);
    sim->Snapshot("vol", "s1");
    sim->WriteRandom("vol", 24 * kMiB, 4 * kMiB, 6);
    Result inc = SnapAndBackUp("vol", "s2", "s1");
    EXPECT_TRUE(inc.json["used_full"].asBool()) << inc.out;
    EXPECT_EQ(inc.json["full_read_reason"].asString(), "parent snapshot s1 was re-created");
    EXPECT_EQ(inc.json["blocks"].asUInt64(), size / repo::kBlockSize) << "not every block was read";
    ExpectRestores(Id(inc), "s2");
    // The text output says it too.
    sim->Snapshot("vol", "s3");
    sim->DeleteSnapshot("s2");
    sim->Snapshot("vol", "s2");
    EXPECT_NE(Expect(0, BackupArgs("s3", "s2"), false).out.find("incremental (full read): parent snapshot s2 was "
                                                                 "re-created"),
              std::string::npos);
    // A child whose recorded parent identity is not its parent's is damage.
    const std::string child = Listed().back();
    ASSERT_NO_FATAL_FAILURE(EditManifest(child, [](Json::Value& m) { m["parent_snapshot_identity"] = "other"; }));
    EXPECT_TRUE(Mentions(Verify(1), "it read another snapshot of the name s2"));
}

TEST_F(DatamoverTrustTest, TheSourceCheckCatchesWhatTheStoragesDiffLeftOut)
{
    b1 = FullOf("s1", 1);
    // The storage's change tracking loses the first run of changed chunks.
    sim->SetSimConfig("bitmap_drop_changed_run", "1");
    sim->WriteRandom("vol", 8 * kMiB, 4 * kMiB, 7);  // lost by the diff
    b2 = Id(Next("s2", "s1", 30 * kMiB, 4 * kMiB, 8));
    sim->SetSimConfig("bitmap_drop_changed_run", "0");
    Verify(0);  // every checksum holds: only the snapshot can tell
    const std::string s2 = kUrl + std::string("s2");
    Result all = Expect(1, Repo("verify", {"--against-source", s2}));
    EXPECT_EQ(all.json["backup_id"].asString(), b2);
    EXPECT_EQ(all.json["blocks_compared"].asUInt64(), all.json["blocks_in_volume"].asUInt64());
    ASSERT_GE(all.json["differing"].size(), 1u) << all.out;
    for (const Json::Value& d : all.json["differing"]) {
        EXPECT_EQ(d["held_by"].asString(), b1) << all.out;
        EXPECT_NE(d["text"].asString().find("the storage's diff called it unchanged"), std::string::npos);
        const uint64_t block = d["block"].asUInt64();
        EXPECT_TRUE(block >= 1 && block <= 3) << "block " << block << " was not written";
    }
    // A sample always takes blocks of both kinds.
    Result some = Run(Repo("verify", {"--against-source", s2, "--backup", b2, "--sample", "10"}));
    EXPECT_GE(some.json["changed_compared"].asUInt64(), 1u) << some.out;
    EXPECT_GE(some.json["unchanged_compared"].asUInt64(), 1u) << some.out;
    // A sound backup compares equal; a block damaged in the repository is named.
    Expect(0, Repo("verify", {"--against-source", kUrl + std::string("s1")}));
    Overwrite(BackupDir(b1) + "/" + repo::kFullDataFile, 10, "garbage");
    Result damaged = Expect(1, Repo("verify", {"--against-source", kUrl + std::string("s1")}));
    ASSERT_EQ(damaged.json["differing"].size(), 1u) << damaged.out;
    EXPECT_EQ(damaged.json["differing"][0]["kind"].asString(), "damaged");
    ExpectNoLeftovers();
}

}  // namespace
}  // namespace dmtest
