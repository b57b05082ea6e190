// The chunked repository through the datamover program: init and keys.
#include <sys/stat.h>

#include <functional>

#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

const char kOtherVolumeId[] = "2c5f39cb-3fb2-12e3-994f-1127e4ddb538";

class DatamoverFormat3Test : public DatamoverTest {
protected:
    void SetUp() override
    {
        DatamoverTest::SetUp();
        passFile = WritePassphrase("pass", "correct horse battery staple");
        ::setenv("DATAMOVER_PASSWORD_FILE", passFile.c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("DATAMOVER_PASSWORD_FILE");
        ::unsetenv("DATAMOVER_CRASH_AT");
        DatamoverTest::TearDown();
    }
    std::string WritePassphrase(const std::string& name, const std::string& text) const
    {
        const std::string path = sim->Root() + "/" + name;
        std::ofstream(path) << text << "\n";
        ::chmod(path.c_str(), 0600);
        return path;
    }
    Result Init(const std::string& encryption = "repokey")
    {
        Result r = Expect(0, {"init", "--repo", repoPath, "--encryption", encryption});
        EXPECT_EQ(r.json["format"].asInt(), 3) << r.out;
        return r;
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
        repoPath = sim->Root() + "/repo-" + c.encryption;
        Result made = Init(c.encryption);
        EXPECT_EQ(made.json["encryption"].asString(), c.encryption) << made.out;
        EXPECT_TRUE(fs::exists(repoPath + "/config"));
        EXPECT_EQ(fs::exists(repoPath + "/keys/repokey"), c.encrypted);
        EXPECT_FALSE(fs::exists(repoPath + "/" + repo::kMarkerFile));
        // A second init of the same place is refused and changes nothing.
        const std::vector<std::string> before = RepoFiles();
        Result again = Run({"init", "--repo", repoPath, "--encryption", c.encryption});
        ExpectRefused(again, {"already exists"});
        EXPECT_EQ(RepoFiles(), before);
    }
    // Encrypted: a wrong passphrase, no passphrase and a missing key file, each one line.
    repoPath = sim->Root() + "/repo-repokey";
    const std::string wrong = WritePassphrase("wrong", "not it");
    const std::string next = WritePassphrase("next", "a new passphrase");
    ::unsetenv("DATAMOVER_PASSWORD_FILE");
    ExpectOneLine(2, {"key", "passwd", "--repo", repoPath, "--new-password-file", next}, "--password-file");
    ExpectOneLine(2, {"init", "--repo", sim->Root() + "/repo-new", "--encryption", "repokey"}, "passphrase");
    EXPECT_FALSE(fs::exists(sim->Root() + "/repo-new")) << "a refused init created the repository";
    ::setenv("DATAMOVER_PASSWORD_FILE", passFile.c_str(), 1);

    // key passwd: the new passphrase opens it, the old one no longer does.
    ExpectOneLine(2, {"key", "passwd", "--repo", repoPath, "--password-file", wrong, "--new-password-file", next},
                  "wrong passphrase");
    Expect(0, {"key", "passwd", "--repo", repoPath, "--password-file", passFile, "--new-password-file", next});
    const std::vector<std::string> again = {"key", "passwd", "--repo", repoPath, "--new-password-file", next};
    ExpectOneLine(2, again, "wrong passphrase");  // the old one, from DATAMOVER_PASSWORD_FILE
    std::vector<std::string> withNext = again;
    withNext.insert(withNext.end(), {"--password-file", next});
    Expect(0, withNext);

    fs::remove(repoPath + "/keys/repokey");
    Result missing = Run(withNext);
    EXPECT_EQ(missing.json["error"]["code"].asString(), "damaged") << missing.out;
    ExpectOneLine(1, withNext, "key file");

    // --format 2 still makes today's repository.
    repoPath = sim->Root() + "/repo-2";
    Expect(0, {"init", "--repo", repoPath, "--format", "2"});
    EXPECT_TRUE(fs::exists(repoPath + "/" + repo::kMarkerFile));
    Expect(2, {"init", "--repo", sim->Root() + "/repo-x", "--format", "2", "--encryption", "repokey"});
}

}  // namespace
}  // namespace dmtest
