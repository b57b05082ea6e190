// The chunked repository through the datamover program: init and keys, backup
// and restore round trips, dedup across volumes, damage refused, forget and a
// backup killed half-way.
#include <sys/stat.h>

#include <functional>

#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

const char kOtherVolumeId[] = "2c5f39cb-3fb2-12e3-994f-1127e4ddb538";

class DatamoverFormat3Test : public DatamoverHarness {
protected:
    void SetUp() override
    {
        DatamoverHarness::SetUp();
        passFile = WritePassphrase("pass", "correct horse battery staple");
        ::setenv("DATAMOVER_PASSWORD_FILE", passFile.c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("DATAMOVER_PASSWORD_FILE");
        ::unsetenv("DATAMOVER_CRASH_AT");
        DatamoverHarness::TearDown();
    }
    std::string WritePassphrase(const std::string& name, const std::string& text) const
    {
        const std::string path = sim->Root() + "/" + name;
        std::ofstream(path) << text << "\n";
        ::chmod(path.c_str(), 0600);
        return path;
    }
    void Init(const std::string& encryption = "repokey")
    {
        Result r = Expect(0, {"init", "--repo", repoPath, "--encryption", encryption});
        ASSERT_EQ(r.json["format"].asInt(), 3) << r.out;
    }
    std::vector<std::string> ChunkFiles() const
    {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(repoPath + "/chunks", ec); it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (it->is_regular_file() && it->path().filename().string()[0] != '.') out.push_back(it->path().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    // A failure told in exactly one line of standard error, with exit status `rc`.
    void ExpectOneLine(int rc, const std::vector<std::string>& args, const std::string& says) const
    {
        Result r = Run(args, false);
        EXPECT_EQ(r.rc, rc) << r.out << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("datamover: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }

    std::string passFile;
};

TEST_F(DatamoverFormat3Test, InitMakesEitherEncryptionAndPassphrasesAreCheckedInOneLine)
{
    struct Case {
        std::string encryption;
        bool encrypted;
    };
    for (const Case& c : {Case{"none", false}, Case{"repokey", true}}) {
        SCOPED_TRACE(c.encryption);
        repoPath = sim->Root() + "/new/repo-" + c.encryption;  // parents that do not exist yet
        Init(c.encryption);
        EXPECT_TRUE(fs::exists(repoPath + "/config"));
        EXPECT_EQ(fs::exists(repoPath + "/keys/repokey"), c.encrypted);
        EXPECT_FALSE(fs::exists(repoPath + "/" + repo::kMarkerFile));
        Result l = Expect(0, Repo("list"));
        EXPECT_EQ(l.json["encryption"].asString(), c.encryption) << l.out;
        // A second init of the same place is refused and changes nothing.
        const std::vector<std::string> before = RepoFiles();
        Result again = Run({"init", "--repo", repoPath, "--encryption", c.encryption});
        ExpectRefused(again, {"already exists"});
        EXPECT_EQ(RepoFiles(), before);
    }
    // Encrypted: a wrong passphrase, no passphrase and a missing key file, each one line.
    repoPath = sim->Root() + "/new/repo-repokey";
    const std::string wrong = WritePassphrase("wrong", "not it");
    ExpectOneLine(2, Repo("list", {"--password-file", wrong}), "wrong passphrase");
    // A backup or restore with it stops before touching the storage.
    ExpectOneLine(2, BackupArgs("s1", "", {"--password-file", wrong}), "wrong passphrase");
    ExpectOneLine(2, Repo("restore", {"--backup", "b1", "--verify-only", "--password-file", wrong}), "wrong passphrase");
    EXPECT_TRUE(sim->State().Clean());
    ::unsetenv("DATAMOVER_PASSWORD_FILE");
    ExpectOneLine(2, Repo("list"), "--password-file");
    ExpectOneLine(2, {"init", "--repo", sim->Root() + "/repo-new", "--encryption", "repokey"}, "passphrase");
    EXPECT_FALSE(fs::exists(sim->Root() + "/repo-new")) << "a refused init created the repository";
    ::setenv("DATAMOVER_PASSWORD_FILE", passFile.c_str(), 1);

    // key passwd: the new passphrase opens it, the old one no longer does.
    const std::string next = WritePassphrase("next", "a new passphrase");
    ExpectOneLine(2, {"key", "passwd", "--repo", repoPath, "--password-file", wrong, "--new-password-file", next},
                  "wrong passphrase");
    Expect(0, {"key", "passwd", "--repo", repoPath, "--password-file", passFile, "--new-password-file", next});
    ExpectOneLine(2, Repo("list"), "wrong passphrase");
    Expect(0, Repo("list", {"--password-file", next}));

    fs::remove(repoPath + "/keys/repokey");
    Result missing = Run(Repo("list", {"--password-file", next}));
    EXPECT_EQ(missing.json["error"]["code"].asString(), "damaged") << missing.out;
    ExpectOneLine(1, Repo("list", {"--password-file", next}), "key file");

    // A format-2 repository is never encrypted (every format-2 suite makes one with init --format 2).
    Expect(2, {"init", "--repo", sim->Root() + "/repo-x", "--format", "2", "--encryption", "repokey"});
}

TEST_F(DatamoverFormat3Test, ABackupIntoANewPathMakesFormat3AndAnOlderRepositoryKeepsItsFormat)
{
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, 8 * kMiB, 5);
    sim->Snapshot("vol", "s1");
    sim->Snapshot("vol", "s2");
    struct Case {
        const char* name;
        bool passphrase;   // DATAMOVER_PASSWORD_FILE set
        bool format2;      // an existing format-2 repository
        std::vector<std::string> extra;
        int rc;
        const char* says;  // on standard error
    };
    const Case cases[] = {
        {"none", false, false, {}, 0, "format-3 repository created"},
        {"repokey", true, false, {}, 0, "(encryption repokey)"},
        {"aio", false, false, {"--io", "aio"}, 2, "--io threads"},
        {"format2", false, true, {}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        repoPath = sim->Root() + "/new-" + c.name + "/repo";  // parents that do not exist yet
        if (c.format2) InitFormat2();
        if (!c.passphrase) ::unsetenv("DATAMOVER_PASSWORD_FILE");
        Result r = Expect(c.rc, BackupArgs("s1", "", c.extra));
        ::setenv("DATAMOVER_PASSWORD_FILE", passFile.c_str(), 1);
        ExpectSays(r, {c.says});  // what was made goes to standard error, a refusal into the JSON
        if (c.rc != 0) {
            EXPECT_FALSE(fs::exists(repoPath)) << "a refused backup created the repository";
            continue;
        }
        EXPECT_EQ(fs::exists(repoPath + "/config"), !c.format2);
        EXPECT_EQ(fs::exists(repoPath + "/keys/repokey"), c.passphrase);
        EXPECT_EQ(fs::exists(BackupDir(Id(r))), c.format2) << "an older repository continues in its format";
        EXPECT_EQ(r.json.isMember("repository_created"), !c.format2) << r.out;
        // The next backup uses what the first made, and says nothing of creating.
        Result again = Expect(0, BackupArgs("s2", "s1"));
        EXPECT_EQ(again.err.find("created"), std::string::npos) << again.err;
        ExpectRestores(Id(again), "s2");
    }
    ::unsetenv("DATAMOVER_PASSWORD_FILE");
    repoPath = sim->Root() + "/new-repokey/repo";
    ExpectOneLine(2, Repo("list"), "encrypted");
}

TEST_F(DatamoverFormat3Test, FullAndIncrementalRestoreByteExactAndAClonedVolumeAddsNothing)
{
    Init();
    const auto [full, inc] = FullThenIncremental();
    const uint64_t firstChunks = full.json["chunks_stored"].asUInt64();
    Expect(2, BackupArgs("s1", "", {"--io", "aio"}));  // a chunked repository takes --io threads only
    ExpectRestores(Id(full), "s1");
    ExpectRestores(Id(inc), "s2", true);
    // Local targets and a check-only pass read the same point.
    const std::string image = sim->Root() + "/restored.img";
    Expect(0, Repo("restore", {"--backup", Id(inc), "--to-file", image}));
    EXPECT_TRUE(sim->Read("s2", kOffset, size - kOffset) == FileBytes(image).substr(kOffset));
    Expect(0, Repo("restore", {"--backup", Id(inc), "--verify-only"}));

    // A second volume cloned from the first stores nothing new.
    sim->CreateVolume("clone", size);
    sim->WriteRandom("clone", 0, 20 * kMiB, 7);
    sim->WritePattern("clone", 30 * kMiB, 4 * kMiB, 0xAB);
    sim->Snapshot("clone", "c1");
    const size_t chunksBefore = ChunkFiles().size();
    Result clone = Expect(0, BackupOf(kOtherVolumeId, "c1"));
    EXPECT_EQ(clone.json["chunks_stored"].asUInt64(), 0u) << clone.out;
    EXPECT_EQ(clone.json["chunks_deduplicated"].asUInt64(), firstChunks) << clone.out;
    EXPECT_EQ(ChunkFiles().size(), chunksBefore);
    ExpectRestores(Id(clone), "c1");
    Result l = Expect(0, Repo("list"));
    EXPECT_EQ(l.json["chains"].size(), 2u) << l.out;
    Expect(0, Repo("verify"));
    ExpectNoLeftovers();
}

TEST_F(DatamoverFormat3Test, AnAlteredChunkIsRefusedByVerifyAndRestoreBeforeTheFirstWrite)
{
    Init();
    const std::string a = FullOf("s1", 21);
    sim->Snapshot("vol", "s1b");  // the same content: a second backup sharing every chunk
    const std::string b = Id(Expect(0, BackupArgs("s1b", "s1")));
    const std::vector<std::string> chunks = ChunkFiles();
    ASSERT_GE(chunks.size(), 2u);
    // Every kind of damage fails the one chunk read (the repository tests try them all);
    // a damaged chunk and a whole one under another's name go through verify and restore.
    struct Damage {
        const char* name;
        std::function<void(const std::string&)> apply;
    };
    const std::vector<Damage> damages = {
        {"a flipped byte", [](const std::string& p) {
             std::string bytes = FileBytes(p);
             Overwrite(p, bytes.size() / 2, std::string(1, static_cast<char>(bytes[bytes.size() / 2] ^ 1)));
         }},
        {"swapped for another chunk", [&](const std::string& p) {
             const std::string other = FileBytes(chunks[1]);
             std::ofstream(p, std::ios::binary | std::ios::trunc) << other;
         }},
    };
    sim->CreateVolume("target", size);
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        const std::string original = FileBytes(chunks[0]);
        d.apply(chunks[0]);
        Result v = Run(Repo("verify"));
        EXPECT_EQ(v.rc, 1) << v.out;
        ASSERT_EQ(v.json["damaged_chunks"].size(), 1u) << v.out;
        EXPECT_TRUE(Mentions(v.json["damaged_chunks"][0]["used_by"], a)) << v.out;
        EXPECT_TRUE(Mentions(v.json["damaged_chunks"][0]["used_by"], b)) << v.out;
        Result check = Run(Repo("restore", {"--backup", b, "--verify-only"}));
        EXPECT_EQ(check.json["error"]["code"].asString(), "damaged") << check.out;
        // A target holding data is read-checked first: nothing of it changes.
        sim->WriteRandom("target", 0, size, 5);
        const std::string before = sim->Read("target", 0, size);
        Result r = Restore(a, "target", {"--force"});
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.json["error"]["code"].asString(), "damaged") << r.out;
        EXPECT_TRUE(sim->Read("target", 0, size) == before) << "a damaged backup was written";
        std::ofstream(chunks[0], std::ios::binary | std::ios::trunc) << original;
    }
    Expect(0, Repo("verify"));
    // A subset reads some of the chunks; N/T over T runs reads each once.
    size_t read = 0;
    for (int part = 1; part <= 3; ++part) {
        Result v = Expect(0, Repo("verify", {"--read-data-subset", std::to_string(part) + "/3"}));
        read += v.json["chunks_read"].asUInt64();
    }
    EXPECT_EQ(read, chunks.size());
    for (const char* bad : {"0/3", "4/3", "0%", "101%", "x"}) {
        Expect(2, Repo("verify", {"--read-data-subset", bad}));
    }

    // A damaged index: verify names it, its restore is refused, and an
    // incremental is not laid on it (nor on a guess at another).
    const std::string index = repoPath + "/indexes/" + kVolumeId + "/" + a;
    ASSERT_TRUE(fs::exists(index));
    Overwrite(index, 40, std::string(1, static_cast<char>(FileBytes(index)[40] ^ 1)));  // sealed bytes: any value
    Result v = Run(Repo("verify"));
    EXPECT_EQ(v.rc, 1);
    EXPECT_TRUE(Mentions(v.json["damaged_backups"], a)) << v.out;
    Result r = Restore(a, "target", {"--force"});
    EXPECT_EQ(r.json["error"]["code"].asString(), "damaged") << r.out;
    sim->Snapshot("vol", "s1c");
    const size_t chunksBefore = ChunkFiles().size();
    Result inc = Run(BackupArgs("s1c", "s1"));
    EXPECT_EQ(inc.json["error"]["code"].asString(), "damaged") << inc.out;
    EXPECT_EQ(ChunkFiles().size(), chunksBefore);
    ExpectRestores(b, "s1b");  // the backup sharing every chunk stands alone
}

TEST_F(DatamoverFormat3Test, ForgettingAMiddleBackupLeavesEveryOtherRestorableAndCollectsItsChunks)
{
    Init();
    const std::string a = FullOf("s1", 31);
    const std::string b = Id(Next("s2", "s1", 0, 4 * kMiB, 32));  // overwritten again by c
    const std::string c = Id(Next("s3", "s2", 0, 4 * kMiB, 33));
    const size_t before = ChunkFiles().size();
    Expect(0, Repo("forget", {"--backup", b, "--dry-run"}));
    EXPECT_EQ(Listed().size(), 3u);
    Result f = Expect(0, Repo("forget", {"--backup", b}));
    EXPECT_EQ(f.json["gc"]["deleted"].asUInt64(), 1u) << f.out;
    EXPECT_EQ(ChunkFiles().size(), before - 1);
    EXPECT_EQ(Listed(), (std::vector<std::string>{a, c}));
    Expect(0, Repo("verify"));
    ExpectRestores(a, "s1");
    ExpectRestores(c, "s3");
    Expect(2, Repo("forget", {"--backup", b}));
    // prune keeps the newest; the full backup goes although c was taken against it.
    // Killed after the index went and before any chunk did: c stays whole.
    ::setenv("DATAMOVER_CRASH_AT", "forget3-index-removed", 1);
    Result killed = Run(Repo("prune", {"--keep-last", "1"}));
    ::unsetenv("DATAMOVER_CRASH_AT");
    EXPECT_NE(killed.rc, 0) << "the crash point was not reached";
    EXPECT_EQ(Listed(), (std::vector<std::string>{c}));
    Expect(0, Repo("verify"));
    ExpectRestores(c, "s3");
    // The next removal collects what the killed one left.
    const size_t left = ChunkFiles().size();
    sim->Snapshot("vol", "s4");
    const std::string d = Id(Expect(0, BackupArgs("s4", "s3")));
    Result f2 = Expect(0, Repo("forget", {"--backup", d}));
    EXPECT_GE(f2.json["gc"]["deleted"].asUInt64(), 1u) << f2.out;
    EXPECT_LT(ChunkFiles().size(), left);
    Expect(0, Repo("prune", {"--keep-last", "1"}));
    EXPECT_EQ(Listed(), (std::vector<std::string>{c}));
    ExpectRestores(c, "s3");
}

// Chunks are stored on threads apart from the readers: a store that fails must
// stop the readers (none left waiting for room), fail the backup and leave no index.
TEST_F(DatamoverFormat3Test, AChunkThatCannotBeStoredFailsTheBackupAndLeavesNoIndex)
{
    Init("none");
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, size, 17);
    sim->Snapshot("vol", "s1");
    // Every fan-out directory taken by a file: no chunk can be stored.
    fs::create_directories(repoPath + "/chunks");
    for (int i = 0; i < 256; ++i) {
        char name[3];
        std::snprintf(name, sizeof name, "%02x", i);
        std::ofstream(repoPath + "/chunks/" + name) << "x";
    }
    ExpectRefused(Expect(1, BackupArgs("s1")), {"cannot store block"});
    EXPECT_TRUE(Listed().empty());
    std::error_code ec;
    EXPECT_TRUE(!fs::exists(repoPath + "/pending") || fs::is_empty(repoPath + "/pending", ec))
        << "the failed backup's claim";
    ExpectNoLeftovers();
}

TEST_F(DatamoverFormat3Test, ABackupKilledHalfWayIsRunAgainReusingItsChunksAndVerifyIsClean)
{
    Init();
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, size, 41);
    sim->Snapshot("vol", "s1");
    ::setenv("DATAMOVER_CRASH_AT", "backup3-half-stored", 1);
    Result killed = Run(BackupArgs("s1"));
    ::unsetenv("DATAMOVER_CRASH_AT");
    ASSERT_NE(killed.rc, 0) << "the crash point was not reached";
    EXPECT_TRUE(Listed().empty());
    EXPECT_FALSE(ChunkFiles().empty());
    EXPECT_FALSE(fs::is_empty(repoPath + "/pending")) << "the dead backup's claim";
    Expect(0, Repo("verify"));  // no index names the stored chunks: nothing damaged

    // The dead backup's claim defers collection until clean breaks it.
    const std::string done = FullOf("s0", 40, 4 * kMiB);
    Result deferred = Expect(0, Repo("forget", {"--backup", done}));
    EXPECT_TRUE(deferred.json["gc"]["deferred"].asBool()) << deferred.out;
    Result cleaned = Expect(0, Repo("clean"));
    EXPECT_EQ(cleaned.json["stale_claims_broken"].asUInt(), 1u) << cleaned.out;
    EXPECT_TRUE(fs::is_empty(repoPath + "/pending"));

    Result again = Expect(0, BackupArgs("s1"));
    EXPECT_GE(again.json["chunks_deduplicated"].asUInt64(), again.json["blocks"].asUInt64() / 2 - 1) << again.out;
    Expect(0, Repo("verify"));
    ExpectRestores(Id(again), "s1");
}

}  // namespace
}  // namespace dmtest
