// A damaged repository is reported, never trusted and never pruned by guess:
// swapped files, broken or missing manifests, damaged parents, foreign URLs.
#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

class DatamoverSafetyTest : public DatamoverTest {
protected:
    // The verify entry of one backup.
    static Json::Value Entry(const Result& v, const std::string& id)
    {
        for (const Json::Value& b : v.json["backups"]) {
            if (Id(b) == id) return b;
        }
        return Json::Value();
    }
};

TEST_F(DatamoverSafetyTest, DataAndTableSwappedBetweenBackupsAreRefused)
{
    std::string a = FullOf("s1", 1);
    std::string b = FullOf("s2", 2);
    for (const char* file : {repo::kFullDataFile, repo::kTableFile}) {
        fs::rename(BackupDir(a) + "/" + file, BackupDir(a) + "/swap");
        fs::rename(BackupDir(b) + "/" + file, BackupDir(a) + "/" + file);
        fs::rename(BackupDir(a) + "/swap", BackupDir(b) + "/" + file);
    }
    Result v = Expect(1, Repo("verify", {"--quick"}));
    EXPECT_FALSE(Entry(v, a)["ok"].asBool()) << v.out;
    EXPECT_FALSE(Entry(v, b)["ok"].asBool()) << v.out;
    EXPECT_TRUE(Mentions(Entry(v, a)["problems"], "belongs to backup " + b)) << v.out;
    sim->CreateVolume("target", size);
    const int attaches = sim->State().calls["attach"];
    EXPECT_NE(Restore(a, "target").rc, 0);
    EXPECT_EQ(sim->State().calls["attach"], attaches) << "a refused restore reached the storage";
}

TEST_F(DatamoverSafetyTest, VersionOneBackupsAreStillReadAndSaidToBeUnbound)
{
    std::string id = FullOf("s1", 3);
    // Rewrite the backup as the first format wrote it: table version 1, no
    // backup id, the manifest's table_crc over the whole table file.
    const std::string table = FileBytes(BackupDir(id) + "/" + repo::kTableFile);
    ASSERT_GT(table.size(), 28u);
    uint64_t count = 0;
    for (int i = 7; i >= 0; --i) count = (count << 8) | static_cast<uint8_t>(table[16 + i]);
    std::string v1 = table.substr(0, 24);
    v1[8] = 1;
    v1 += table.substr(table.size() - 4 - 16 * count, 16 * count);
    const uint32_t crc = repo::BlockCrc(v1.data(), v1.size());
    for (int i = 0; i < 4; ++i) v1.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
    std::ofstream(BackupDir(id) + "/" + repo::kTableFile, std::ios::binary | std::ios::trunc) << v1;
    ASSERT_NO_FATAL_FAILURE(EditManifest(id, [&](Json::Value& m) {
        m["format"] = 1;
        m.removeMember("manifest_crc");  // format 1 manifests never carried one
        m["table_crc"] = Json::UInt(repo::BlockCrc(v1.data(), v1.size()));
    }));
    EXPECT_NE(Expect(0, Repo("verify"), false).out.find("not bound"), std::string::npos);
    ExpectRestores(id, "s1");
}

TEST_F(DatamoverSafetyTest, BrokenOrMissingManifestsAreDamageAndKept)
{
    std::string full = FullOf("s1", 4);
    std::string broken = FullOf("s2", 5);
    std::string lost = FullOf("s3", 6);
    std::ofstream(BackupDir(broken) + "/" + repo::kManifestFile, std::ios::trunc) << "{\"format\": 2, \"backup_";
    fs::remove(BackupDir(lost) + "/" + repo::kManifestFile);
    // A directory the journal never heard of is not ours to delete either.
    const std::string stranger = "20000101T000000Z-0badf00d";
    fs::create_directories(BackupDir(stranger));
    std::ofstream(BackupDir(stranger) + "/volume.img") << "data";

    Result v = Expect(1, Repo("verify"));
    Result l = List();
    for (const std::string& id : {broken, lost, stranger}) {
        EXPECT_FALSE(Entry(v, id)["ok"].asBool()) << id << "\n" << v.out;
        EXPECT_TRUE(Mentions(l.json["chains"][0]["damaged"], id)) << id << "\n" << l.out;
    }
    EXPECT_TRUE(Entry(v, full)["ok"].asBool()) << v.out;
    EXPECT_TRUE(Mentions(Entry(v, lost)["problems"], "journal")) << "says why";
    Expect(0, Repo("clean"));
    Next("s4", "s1", 0, 0, 0);  // the next backup of the chain prunes nothing either
    for (const std::string& id : {broken, lost, stranger}) {
        EXPECT_TRUE(fs::exists(BackupDir(id) + "/" + (id == stranger ? "volume.img" : repo::kFullDataFile))) << id;
    }
}

TEST_F(DatamoverSafetyTest, AnIncrementalIsSoundOnlyWhenItsChainIs)
{
    std::string full = FullOf("s1", 7);
    const std::string id = Id(Next("s2", "s1", 30 * kMiB, kMiB, 8));
    ASSERT_FALSE(id.empty());
    Overwrite(BackupDir(full) + "/" + repo::kFullDataFile, 2 * repo::kBlockSize + 5, "\x01\x02");

    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--backup", id}}) {
        Result v = Expect(1, Repo("verify", extra));
        Json::Value e = Entry(v, id);
        EXPECT_FALSE(e["ok"].asBool()) << v.out;
        EXPECT_TRUE(Mentions(e["problems"], "depends on damaged backup " + full)) << v.out;
    }
    // The damaged full itself names the block.
    EXPECT_TRUE(Mentions(Entry(Run(Repo("verify")), full)["problems"][0], "block 2"));
    sim->CreateVolume("target", size);
    sim->WriteRandom("target", 0, size, 99);
    const std::string before = sim->Read("target", 0, size);
    ExpectRefused(Restore(id, "target"), {"--force"});
    // The whole chain is read before a used target is touched.
    ExpectRefused(Restore(id, "target", {"--force"}), {"block 2"});
    EXPECT_TRUE(sim->Read("target", 0, size) == before) << "a refused restore wrote into its target";
    EXPECT_TRUE(sim->State().Clean());
}

TEST_F(DatamoverSafetyTest, OtherSchemesAndCommandLineSlipsAreNamed)
{
    ASSERT_FALSE(FullOf("s1", 1, 0).empty());
    const std::vector<std::string> files = RepoFiles();
    const size_t calls = sim->Calls().size();
    const std::string id = kVolumeId, s1 = kUrl + std::string("s1");
    // backup --volume-id <vid> --snapshot-url <url> --repo <repo> <tail...>
    auto backup = [&](const std::string& vid, const std::string& url, std::vector<std::string> tail) {
        std::vector<std::string> args = {"backup", "--volume-id", vid, "--snapshot-url", url, "--repo", repoPath};
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    };
    for (const char* url : {"http://127.0.0.1/pool0/s1", "ftp://127.0.0.1/pool0/s1", "STRATA://127.0.0.1/pool0/s1"}) {
        ExpectRefused(Expect(2, backup(id, url, {"--volume-size", "48M"})), {"strata://", "scheme"});
        Expect(2, {"health", "--url", url});
    }
    EXPECT_NE(Expect(2, {"no-such-command"}, false).err.find("no-such-command"), std::string::npos);
    // Every refused request says why in one line of standard error (or in its
    // JSON document) and changes nothing; a bad argument also names what is wrong.
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> says;  // when given: exit 2, code bad_argument, its message naming each
    } cases[] = {
        {backup("not-a-uuid", s1, {"--volume-size", "48M"}), {}},
        {backup(id, "strata://127.0.0.1/pool0", {"--volume-size", "48M"}), {}},
        {backup(id, "strata://127.0.0.1/pool0/s1/", {"--volume-size", "48M"}), {}},
        {backup(id, "strata://127.0.0.1/pool0/s1;rm -rf x", {"--volume-size", "48M"}), {}},
        {backup(id, "strata://$(id)/pool0/s1", {"--volume-size", "48M"}), {}},
        {backup(id, "http://127.0.0.1/pool0/s1", {"--volume-size", "48M"}), {}},
        {backup(id, kUrl + std::string(300, 'n'), {"--volume-size", "48M"}), {"300 characters long", "at most 128"}},
        {backup(id, "strata://127.0.0.1:99999/pool0/s1", {"--volume-size", "48M"}), {"port from 1 to 65535"}},
        {backup(id, s1, {}), {}},
        {backup(id, s1, {"--volume-size", "48Q"}), {}},
        {backup(id, s1, {"--volume-size", "1000"}), {"not a multiple of 512"}},
        {backup(id, s1, {"--volume-size", "99999999T"}), {"at most 1024P"}},
        {backup(id, s1, {"--volume-size", "48M", "--offset-kib", "999999"}), {"--offset-kib 999999", "leaves nothing"}},
        {backup(id, kUrl + std::string("s2"), {"--parent-snapshot", "s2"}), {}},
        {backup(id, kUrl + std::string("s2"), {"--parent-snapshot", "nope"}), {}},
        {backup(id, s1, {"--volume-size", "48M", "--depth", "0"}), {}},
        {backup(id, s1, {"--volume-size", "48M", "--io", "mmap"}), {}},
        {backup(id, s1, {"--volume-size", "48M", "--storage-type", "3"}), {}},
        {{"backup", "--volume-id", id, "--repo", repoPath}, {}},
        {Repo("restore", {"--backup", "20990101T000000Z-00000000", "--volume-url", kUrl + std::string("vol")}), {}},
        {Repo("restore", {"--backup", "../../etc", "--volume-url", kUrl + std::string("vol")}), {}},
        {Repo("restore", {"--backup", "x", "--volume-url", "http://host/vol"}), {}},
        {{"restore", "--repo", sim->Root() + "/var", "--backup", "x", "--volume-url", kUrl + std::string("vol")}, {}},
        {{"verify", "--repo", sim->Root() + "/nothing-here"}, {}},
        {{"list", "--repo", sim->Root() + "/var"}, {}},
        {{"clean", "--task", "no-such-task"}, {}},
        {{"clean", "--task", "../../etc/passwd"}, {}},
        {{"health", "--url", "strata://127.0.0.1/pool0"}, {}},
        {{"no-such-command"}, {}},
        {{"backup", "--unknown-flag"}, {}},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += " " + a;
        Result text = Run(c.args, false);
        EXPECT_NE(text.rc, 0) << line;
        EXPECT_TRUE(text.out.empty()) << line << "\n" << text.out;
        ASSERT_FALSE(text.err.empty()) << line;
        EXPECT_EQ(text.err.find('\n'), text.err.size() - 1) << line << "\n" << text.err;
        EXPECT_EQ(text.err.rfind("datamover: ", 0), 0u) << line << "\n" << text.err;
        Result json = Run(c.args, true);
        EXPECT_NE(json.rc, 0) << line;
        EXPECT_FALSE(json.json["ok"].asBool()) << line << "\n" << json.out;
        EXPECT_FALSE(json.json["error"]["message"].asString().empty()) << line;
        if (!c.says.empty()) {
            EXPECT_EQ(json.rc, 2) << line;
            ExpectRefused(json, c.says);
            EXPECT_EQ(json.json["error"]["code"].asString(), "bad_argument") << json.out;
        }
    }
    EXPECT_EQ(RepoFiles(), files);
    EXPECT_EQ(sim->Calls().size(), calls) << "a refused request reached the storage";
    EXPECT_FALSE(fs::exists(sim->Root() + "/nothing-here"));
    Expect(0, {"backup", "--help"}, false);
    Expect(0, {"clean"});  // nothing to clean is not a failure
    // --json after the subcommand as before it.
    EXPECT_NE(Expect(2, {"list", "--repo", sim->Root() + "/nothing", "--json"}, false).out.find("\"ok\":false"),
              std::string::npos);
    const std::string out = Expect(0, {"plugins", "--json"}, false).out;
    Json::Value doc;
    ASSERT_TRUE(CJsonUtils::StringToJson(out, doc)) << out;
    EXPECT_TRUE(doc["ok"].asBool()) << out;
    for (const Json::Value& row : doc["plugins"]) {
        if (row["name"].asString() == "QRM_STRATA" || row["name"].asString() == "QRM_STRATA_RDM") {
            EXPECT_EQ(row["result"].asInt(), 0) << out;
        }
    }
}

TEST_F(DatamoverSafetyTest, AnIncrementalThatReadEverythingSaysSo)
{
    FullOf("s1", 9);
    const std::string inc = Id(Next("s2", "s1", 0, 0, 0));
    ASSERT_FALSE(inc.empty());
    ASSERT_NO_FATAL_FAILURE(EditManifest(inc, [](Json::Value& m) { m["used_full"] = true; }));
    EXPECT_NE(Run(Repo("list"), false).out.find("incremental (full read)"), std::string::npos);
    Result lj = List();
    for (const Json::Value& b : lj.json["chains"][0]["backups"]) {
        EXPECT_EQ(b["used_full"].asBool(), b["kind"].asString() == "incremental") << lj.out;
    }
    // The slow steps say what they wait for (on a terminal, or with --verbose).
    Result shown = Expect(0, {"-v", "backup", "--volume-id", kVolumeId, "--snapshot-url", kUrl + std::string("s2"),
                              "--parent-snapshot", "s1", "--repo", repoPath}, false);
    EXPECT_NE(shown.err.find("asking the storage for the blocks changed since s1"), std::string::npos) << shown.err;
    EXPECT_NE(shown.err.find("attaching snapshot s2"), std::string::npos) << shown.err;
}

TEST_F(DatamoverSafetyTest, ASizeThatDisagreesWithTheSnapshotIsRefused)
{
    std::string full = FullOf("s1", 12);
    const std::string holds = "holds " + std::to_string(size) + " bytes";
    for (uint64_t stated : {size - 4 * kMiB, size + 4 * kMiB}) {
        SCOPED_TRACE(stated);
        const std::string snap = "s" + std::to_string(stated);
        sim->Snapshot("vol", snap);
        ExpectRefused(Expect(1, {"backup", "--volume-id", kVolumeId, "--snapshot-url", kUrl + snap, "--repo", repoPath,
                                 "--volume-size", std::to_string(stated)}),
                      {holds, "nothing was backed up"});
        EXPECT_TRUE(sim->State().Clean()) << sim->State().raw.toStyledString();
    }
    // An incremental inherits its parent's size: a grown volume needs a full backup.
    sim->Snapshot("vol", "s2");
    fs::resize_file(sim->BackingPath("s2"), size + 4 * kMiB);
    ExpectRefused(Expect(1, BackupArgs("s2", "s1")), {"take a full backup"});
    EXPECT_TRUE(sim->State().Clean());
    EXPECT_EQ(Listed(), std::vector<std::string>{full});
}

}  // namespace
}  // namespace dmtest
