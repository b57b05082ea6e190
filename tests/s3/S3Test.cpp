// The chunked repository in a bucket of a real S3 gateway (radosgw on the
// throw-away cluster, started by the s3_gateway_start fixture): the data mover
// run as users run it, several at once, killed, cut off from the gateway, and
// given wrong credentials, a missing bucket or the wrong scheme. Each test has
// its own prefix in the bucket.
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

// KEY=VALUE lines of the gateway's state file (scripts/rgw.sh env).
std::map<std::string, std::string> GatewayEnv()
{
    std::map<std::string, std::string> out;
    std::ifstream in(DM_RGW_ENV);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

int Script(const std::string& verb)
{
    const std::string cmd = "CEPH_CLUSTER_DIR=" DM_S3_CLUSTER_DIR " bash " DM_RGW_SCRIPT " " + verb + " >/dev/null";
    return std::system(cmd.c_str());
}

class S3Test : public DatamoverTest {
protected:
    void SetUp() override
    {
        DatamoverTest::SetUp();
        gw = GatewayEnv();
        ASSERT_FALSE(gw["RGW_ENDPOINT"].empty()) << "no gateway: " << DM_RGW_ENV;
        for (const char* k : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_DEFAULT_REGION"}) {
            ::setenv(k, gw[k].c_str(), 1);
        }
        ::setenv("DATAMOVER_S3_RETRY_SECONDS", "8", 1);
        std::random_device rd;
        prefix = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                 std::to_string(::getpid()) + "-" + std::to_string(rd() % 1000000);
        endpoint = gw["RGW_ENDPOINT"];
        repoPath = "s3+http://" + endpoint + "/" + gw["RGW_BUCKET"] + "/" + prefix;
        const std::string pass = sim->Root() + "/pass";
        std::ofstream(pass) << "s3 test passphrase\n";
        ::chmod(pass.c_str(), 0600);
        ::setenv("DATAMOVER_PASSWORD_FILE", pass.c_str(), 1);
        stats = sim->Root() + "/s3-stats";
    }
    void TearDown() override
    {
        for (const char* k : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_DEFAULT_REGION",
                              "DATAMOVER_S3_RETRY_SECONDS", "DATAMOVER_PASSWORD_FILE", "DATAMOVER_CRASH_AT",
                              "DATAMOVER_S3_STATS", "AWS_CA_BUNDLE"}) {
            ::unsetenv(k);
        }
        DatamoverTest::TearDown();
    }
    size_t Chunks() const { return Store()->List("chunks/").size(); }
    // Requests the last command made (DATAMOVER_S3_STATS), as "get=.. put=.. list=..".
    std::map<std::string, uint64_t> LastStats() const
    {
        std::ifstream in(stats);
        std::string line, last;
        while (std::getline(in, line)) last = line;
        std::map<std::string, uint64_t> out;
        std::istringstream words(last);
        std::string w;
        while (words >> w) {
            const size_t eq = w.find('=');
            out[w.substr(0, eq)] = std::stoull(w.substr(eq + 1));
        }
        return out;
    }
    // A failure told in exactly one line of standard error, with its JSON code; the text run.
    Result ExpectOneLine(const std::vector<std::string>& args, const std::string& code, const std::string& says) const
    {
        Result text = Run(args, false);
        EXPECT_NE(text.rc, 0) << text.out;
        EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 1) << text.err;
        EXPECT_NE(text.err.find(says), std::string::npos) << text.err;
        Result json = Run(args);
        EXPECT_EQ(json.json["error"]["code"].asString(), code) << json.out;
        return text;
    }

    std::map<std::string, std::string> gw;
    std::string prefix, endpoint, stats;
};

TEST_F(S3Test, BackupIncrementalRestoreVerifyAndPruneAgainstABucket)
{
    Expect(0, {"init", "--repo", repoPath});
    Result l0 = Expect(0, Repo("list"));
    EXPECT_EQ(l0.json["encryption"].asString(), "repokey") << l0.out;
    Expect(1, {"init", "--repo", repoPath});  // a second init changes nothing
    const auto [full, inc] = FullThenIncremental();

    // Nothing changed: no chunk is sent and the listing requests do not grow with the chunks.
    sim->Snapshot("vol", "s3");
    ::setenv("DATAMOVER_S3_STATS", stats.c_str(), 1);
    Result same = Expect(0, BackupArgs("s3", "s2"));
    ::unsetenv("DATAMOVER_S3_STATS");
    EXPECT_EQ(same.json["chunks_stored"].asUInt64(), 0u) << same.out;
    std::map<std::string, uint64_t> s = LastStats();
    EXPECT_LE(s["list"], 3u) << "listings: " << s["list"];
    EXPECT_LE(s["put"], 4u) << "only the claim, its renewals and the index: " << s["put"];
    EXPECT_LE(s["head"], 5u) << "the claim's and the index's looks, none per chunk";

    // A second full backup of the same data asks about no chunk one by one.
    sim->Snapshot("vol", "s4");
    ::setenv("DATAMOVER_S3_STATS", stats.c_str(), 1);
    Result again = Expect(0, BackupArgs("s4"));
    ::unsetenv("DATAMOVER_S3_STATS");
    EXPECT_EQ(again.json["chunks_stored"].asUInt64(), 0u) << again.out;
    s = LastStats();
    EXPECT_LE(s["head"], 5u) << "12 chunks, none looked up: " << s["head"];
    EXPECT_LE(s["list"], 3u) << s["list"];

    ExpectRestores(Id(full), "s1");
    ExpectRestores(Id(inc), "s2", true);
    Expect(0, Repo("verify"));

    Result pruned = Expect(0, Repo("prune", {"--keep-last", "2"}));
    // s1 and s2 go; of their chunks only s1's blocks 1 and 2 (which s2 rewrote) are no longer named.
    EXPECT_EQ(pruned.json["gc"]["deleted"].asUInt64(), 2u) << pruned.out;
    Result left = Expect(0, Repo("list"));
    ASSERT_EQ(left.json["chains"][0]["backups"].size(), 2u) << left.out;
    ExpectRestores(Id(again), "s4");
    Expect(0, Repo("verify"));
    EXPECT_TRUE(Store()->List("pending/").empty());
    EXPECT_FALSE(Store()->Exists(repo3::kGcLockObject));
    ExpectNoLeftovers();
}

TEST_F(S3Test, FourBackupsOfDifferentVolumesAtOnceAndAPruneLeaveEveryKeptBackupRestorable)
{
    Expect(0, {"init", "--repo", repoPath, "--encryption", "none"});
    // The prune either ran (its collection deferred by the running backups, or
    // after them) or found the lease busy; it never broke a backup.
    ExpectConcurrentBackupsAndAPrune(4, true);
}

TEST_F(S3Test, ABackupKilledAtRandomChunkCountsIsRunAgainReusingItsChunks)
{
    Expect(0, {"init", "--repo", repoPath});
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, size, 41);
    sim->Snapshot("vol", "s1");
    std::mt19937 rng(std::random_device{}());
    const uint64_t blocks = size / (4 * kMiB);
    size_t before = 0;
    for (int round = 0; round < 3; ++round) {
        // Killed after the n-th chunk this run stores; n leaves some blocks for the next round.
        const uint64_t remaining = blocks - before;
        if (remaining < 4) break;
        const uint64_t n = round == 0 ? 1 : 1 + rng() % (remaining / 2);
        SCOPED_TRACE("killed after chunk " + std::to_string(n));
        ::setenv("DATAMOVER_CRASH_AT", ("backup3-chunk-" + std::to_string(n)).c_str(), 1);
        Result killed = Run(BackupArgs("s1"));
        ::unsetenv("DATAMOVER_CRASH_AT");
        ASSERT_NE(killed.rc, 0) << "the crash point was not reached";
        EXPECT_TRUE(Listed().empty());
        const size_t now = Chunks();
        EXPECT_GE(now, before + n) << "every chunk counted was stored whole";
        before = now;
        Expect(0, Repo("verify"));  // nothing partial is referenced: nothing damaged
        Expect(0, Repo("clean"));   // the dead backup's claim
    }
    Result again = Run(BackupArgs("s1"), false);
    ASSERT_EQ(again.rc, 0) << again.out << again.err;
    EXPECT_NE(again.out.find(std::to_string(before) + " already in the repository"), std::string::npos)
        << "says how many it skipped: " << again.out;
    Expect(0, Repo("verify"));
    ExpectRestores(Listed().at(0), "s1");
}

TEST_F(S3Test, TheGatewayStoppedAndStartedDuringABackupLeavesASoundRepository)
{
    Expect(0, {"init", "--repo", repoPath, "--encryption", "none"});
    size = 96 * kMiB;
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, size, 5);
    sim->Snapshot("vol", "s1");
    ::setenv("DATAMOVER_S3_RETRY_SECONDS", "60", 1);
    ::setenv("DATAMOVER_S3_STATS", stats.c_str(), 1);
    std::atomic<bool> done{false};
    Result during;
    std::thread backup([&] {
        during = Run(BackupArgs("s1"));
        done = true;
    });
    // Stopped once chunks are landing (an observable state), started again after it is down.
    auto store = Store();
    ASSERT_TRUE(WaitFor([&] { return done || !store->List("chunks/").empty(); }));
    ASSERT_FALSE(store->List("chunks/").empty()) << "no chunk landed";
    ASSERT_EQ(Script("stop"), 0);
    const bool stoppedMidway = !done;
    ASSERT_EQ(Script("start"), 0);
    backup.join();
    EXPECT_TRUE(stoppedMidway) << "the backup ended before the gateway stopped: nothing was tested";
    // Completed after retries, or failed in one clean line: either way sound.
    if (during.rc != 0) {
        EXPECT_FALSE(during.json["error"]["message"].asString().empty()) << during.out << during.err;
    } else {
        EXPECT_GE(LastStats()["retries"], 1u) << "completed without meeting the outage";
    }
    ::unsetenv("DATAMOVER_S3_STATS");
    ::setenv("DATAMOVER_S3_RETRY_SECONDS", "8", 1);
    Expect(0, Repo("verify"));
    Expect(0, Repo("clean"));
    Result again = Expect(0, BackupArgs("s1"));
    Expect(0, Repo("verify"));
    ExpectRestores(Id(again), "s1");
}

TEST_F(S3Test, WrongCredentialsAMissingBucketAndThePlainHttpEndpointAsS3AreOneLineEach)
{
    Expect(0, {"init", "--repo", repoPath});
    const std::string good = repoPath;
    ::setenv("AWS_SECRET_ACCESS_KEY", "not-the-secret", 1);
    ExpectOneLine(Repo("list"), "storage", "refused the credentials");
    ::setenv("AWS_SECRET_ACCESS_KEY", gw["AWS_SECRET_ACCESS_KEY"].c_str(), 1);
    ::setenv("AWS_ACCESS_KEY_ID", "NOSUCHKEY", 1);
    ExpectOneLine(Repo("list"), "storage", "refused the credentials");
    ::setenv("AWS_ACCESS_KEY_ID", gw["AWS_ACCESS_KEY_ID"].c_str(), 1);

    repoPath = "s3+http://" + endpoint + "/no-such-bucket-" + std::to_string(::getpid());
    ExpectOneLine(Repo("list"), "not_found", "does not exist");
    ExpectOneLine({"init", "--repo", repoPath}, "not_found", "does not exist");
    repoPath = "s3://" + endpoint + "/" + gw["RGW_BUCKET"] + "/" + prefix;
    ExpectOneLine(Repo("list"), "storage", "s3+http://");
    ::unsetenv("AWS_ACCESS_KEY_ID");
    ::unsetenv("AWS_SECRET_ACCESS_KEY");
    ::setenv("AWS_SHARED_CREDENTIALS_FILE", (sim->Root() + "/none").c_str(), 1);
    repoPath = good;
    ExpectOneLine(Repo("list"), "storage", "no S3 credentials");
    ::unsetenv("AWS_SHARED_CREDENTIALS_FILE");
}

// The gateway's HTTPS port, whose certificate a throw-away CA signed. With that CA in
// AWS_CA_BUNDLE an init, a backup, a verify and a restore go through it. Without it, with a
// CA file that is not there, or written s3+http://, init fails in one line at once (retries
// would last 60 s each run) and writes nothing, as seen through the plain port.
TEST_F(S3Test, TheHttpsPortCarriesABackupWithTheGatewaysCaAndFailsAtOnceInOneLineWithout)
{
    const std::string tls = gw["RGW_TLS_ENDPOINT"], bucket = gw["RGW_BUCKET"];
    ASSERT_FALSE(tls.empty()) << "the gateway has no HTTPS port: " << DM_RGW_ENV;
    ASSERT_TRUE(fs::exists(gw["RGW_CA_FILE"])) << gw["RGW_CA_FILE"];
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, 12 * kMiB, 11);
    sim->Snapshot("vol", "s1");
    ::setenv("DATAMOVER_S3_RETRY_SECONDS", "60", 1);
    struct Case {
        std::string name, scheme, ca;
        std::vector<std::string> says;  // empty: the backup succeeds
    };
    const std::vector<Case> cases = {
        {"system CAs only", "s3://", "", {"certificate", "AWS_CA_BUNDLE"}},
        {"a CA file that is not there", "s3://", sim->Root() + "/no-ca.pem", {"no-ca.pem", "AWS_CA_BUNDLE"}},
        {"plain HTTP at the HTTPS port", "s3+http://", "", {"TLS", "s3://" + tls}},
        {"the gateway's CA", "s3://", gw["RGW_CA_FILE"], {}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::string sub = prefix + "/" + std::to_string(i);
        repoPath = c.scheme + tls + "/" + bucket + "/" + sub;
        if (c.ca.empty()) {
            ::unsetenv("AWS_CA_BUNDLE");
        } else {
            ::setenv("AWS_CA_BUNDLE", c.ca.c_str(), 1);
        }
        const std::vector<std::string> init = {"init", "--repo", repoPath, "--encryption", "none"};
        if (c.says.empty()) {
            Expect(0, init);
            const std::string id = Id(Expect(0, BackupArgs("s1")));
            Expect(0, Repo("verify"));
            ExpectRestores(id, "s1");
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        const Result r = ExpectOneLine(init, "storage", c.says[0]);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (const std::string& s : c.says) EXPECT_NE(r.err.find(s), std::string::npos) << r.err;
        EXPECT_LT(seconds, 30) << "retried: " << r.err;
        repoPath = "s3+http://" + endpoint + "/" + bucket + "/" + sub;
        EXPECT_TRUE(Store()->List("").empty());
    }
}

TEST_F(S3Test, ALeaseBlocksPruneUntilItExpiresAndUnlockRemovesOnlyAnExpiredOneWithoutForce)
{
    Expect(0, {"init", "--repo", repoPath, "--encryption", "none"});
    ExpectTheLeaseRules();
}

// 503, 429 and resets from a proxy before the gateway: retried, and nothing shows but the retries.
TEST_F(S3Test, ServerErrorsThrottlingAndResetsAreRetriedToTheSameResult)
{
    const std::string portFile = sim->Root() + "/proxy-port";
    const pid_t proxy = ::fork();
    ASSERT_GE(proxy, 0);
    if (proxy == 0) {
        ::execlp("python3", "python3", DM_FAULT_PROXY, endpoint.c_str(), portFile.c_str(), "3", nullptr);
        ::_exit(127);
    }
    struct Stop {
        pid_t pid;
        ~Stop()
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } stop{proxy};
    ASSERT_TRUE(WaitFor([&] { return fs::exists(portFile); })) << "the proxy did not start";
    repoPath = "s3+http://127.0.0.1:" + FileBytes(portFile) + "/" + gw["RGW_BUCKET"] + "/" + prefix;
    ::setenv("DATAMOVER_S3_STATS", stats.c_str(), 1);
    Expect(0, {"init", "--repo", repoPath, "--encryption", "none"});
    sim->CreateVolume("vol", size);
    sim->WriteRandom("vol", 0, 24 * kMiB, 9);
    sim->Snapshot("vol", "s1");
    Result full = Expect(0, BackupArgs("s1"));
    EXPECT_GE(LastStats()["retries"], 3u);
    ExpectRestores(Id(full), "s1");
    Expect(0, Repo("verify"));
    EXPECT_GE(std::stoi(FileBytes(portFile + ".faults")), 9) << "every kind of fault was met";
}

TEST_F(S3Test, TheDemoKeepsItsRepositoryInTheBucketAndTakesItAwayAfter)
{
    const std::string work = sim->Root() + "/demo-work";
    fs::create_directories(work);
    ::unsetenv("DATAMOVER_PASSWORD_FILE");  // the demo makes its own passphrase
    Result demo = Expect(0, {"demo", "--size", "64M", "--workdir", work, "--repo", repoPath});
    EXPECT_TRUE(demo.json["restore_identical"].asBool()) << demo.out;
    EXPECT_EQ(demo.json["leftovers_after_clean"].asUInt(), 0u) << demo.out;
    EXPECT_EQ(demo.json["repository"].asString().rfind(repoPath + "/datamover-demo-", 0), 0u) << demo.out;
    EXPECT_EQ(Store()->List("").size(), 0u) << "the run's repository is removed from the bucket";
    EXPECT_TRUE(fs::is_empty(work));
    // The older format lives on a local disk only.
    Result f2 = Expect(2, {"demo", "--repo-format", "2", "--repo", repoPath});
    EXPECT_EQ(f2.json["error"]["code"].asString(), "bad_argument") << f2.out;
}

}  // namespace
}  // namespace dmtest
