// The datamover program on a real Ceph cluster (the loopback one of scripts/ceph-cluster.sh),
// through rbd-tool behind the root's tool scripts. Leftovers are listed from the cluster and the
// mount table, never from our own records; restored bytes are compared with `rbd export`.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "foundation/JsonUtils.h"
#include "tests/support/SimRoot.h"

extern char** environ;
namespace fs = std::filesystem;
using simtest::SimRoot;

namespace {

constexpr uint64_t kMiB = 1ULL << 20;
constexpr uint64_t kOffset = 4096;  // data-area offset of storage type 0
const char kVolumeId[] = "6f1c2d4e-8a9b-4c3d-9e0f-1a2b3c4d5e6f";
const char kPool[] = "pool0";
const std::string kUrl = std::string("strata://127.0.0.1/") + kPool + "/";

struct Result {
    int rc = -1;
    std::string out, err;
    Json::Value json;
};

class CephTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("DATAMOVER_PAUSE_DIVISOR", "200", 1);
        SimRoot::Options o;
        o.startAgent = true;  // the agent check only looks for the process
        root = std::make_unique<SimRoot>(o);
        repo = root->Root() + "/repo";
        prefix = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(Tool({"configure", "--conf", DM_CEPH_CONF, "--timeout", "10"}).rc, 0);
    }
    void TearDown() override
    {
        Tool({"teardown", "--pool", kPool});
        for (const std::string& v : Images()) {
            if (v.rfind(prefix, 0) == 0) RbdCmd({"snap", "purge", std::string(kPool) + "/" + v}), RbdCmd({"rm", std::string(kPool) + "/" + v});
        }
        root.reset();
        ::unsetenv("DATAMOVER_PAUSE_DIVISOR");
    }

    Result Tool(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {DM_RBD_TOOL, "--root", root->Root(), "admin"};
        argv.insert(argv.end(), args.begin(), args.end());
        Result r;
        r.rc = SimRoot::RunProgram(argv, &r.out, &r.err);
        return r;
    }
    void Admin(std::vector<std::string> args) const
    {
        args.push_back("--pool");
        args.push_back(kPool);
        Result r = Tool(args);
        ASSERT_EQ(r.rc, 0) << args[0] << ": " << r.err;
    }
    Result RbdCmd(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {"rbd", "-c", DM_CEPH_CONF};
        argv.insert(argv.end(), args.begin(), args.end());
        Result r;
        r.rc = SimRoot::RunProgram(argv, &r.out, &r.err);
        return r;
    }
    std::vector<std::string> Images() const
    {
        std::vector<std::string> names;
        Result r = RbdCmd({"ls", kPool});
        std::istringstream in(r.out);
        for (std::string l; std::getline(in, l);) names.push_back(l);
        return names;
    }
    // What a crashed or failed task could leave: bitmap images, attach clones, FUSE mounts.
    std::vector<std::string> Leftovers() const
    {
        std::vector<std::string> left;
        for (const std::string& v : Images()) {
            if (v.find("_BITMAP") != std::string::npos || v.rfind("datamover-attach-", 0) == 0) left.push_back(v);
        }
        std::ifstream mounts("/proc/mounts");
        for (std::string l; std::getline(mounts, l);) {
            if (l.find(root->Root()) != std::string::npos) left.push_back(l);
        }
        return left;
    }
    Result Mover(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {DM_DATAMOVER_BINARY, "--root", root->Root(), "--json"};
        argv.insert(argv.end(), args.begin(), args.end());
        Result r;
        r.rc = SimRoot::RunProgram(argv, &r.out, &r.err);
        CJsonUtils::StringToJson(r.out, r.json);
        return r;
    }
    std::vector<std::string> BackupArgs(const std::string& snap, const std::string& parent = "") const
    {
        std::vector<std::string> a = {"backup", "--volume-id", kVolumeId, "--snapshot-url", kUrl + snap,
                                      "--repo", repo, "--volume-size", std::to_string(size)};
        if (!parent.empty()) a.insert(a.end(), {"--parent-snapshot", parent});
        return a;
    }
    // `rbd export` of an image or snapshot, the data area only.
    std::string Export(const std::string& image) const
    {
        const std::string file = root->Root() + "/export-" + std::to_string(exports++);
        Result r = RbdCmd({"export", std::string(kPool) + "/" + image, file});
        EXPECT_EQ(r.rc, 0) << r.out;
        std::ifstream in(file, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fs::remove(file);
        return data.size() > kOffset ? data.substr(kOffset) : std::string();
    }
    void ExpectRestoreEquals(const std::string& backupId, const std::string& snapSpec)
    {
        const std::string target = prefix + "-restore";
        Admin({"volume", "create", target, std::to_string(size)});
        Result r = Mover({"restore", "--repo", repo, "--backup", backupId, "--volume-url", kUrl + target});
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
        std::string want = Export(snapSpec), got = Export(target);
        ASSERT_EQ(want.size(), size - kOffset);
        EXPECT_TRUE(want == got) << "restored " << target << " differs from " << snapSpec;
        Admin({"volume", "delete", target});
    }
    std::string Vol() const { return prefix + "-vol"; }
    std::string Snap(int n) const { return prefix + "-s" + std::to_string(n); }

    std::unique_ptr<SimRoot> root;
    std::string repo, prefix;
    uint64_t size = 48 * kMiB;
    mutable int exports = 0;
};

TEST_F(CephTest, FullAndIncrementalRestoreAsRbdExportAndLeaveNothing)
{
    Admin({"volume", "create", Vol(), std::to_string(size)});
    Admin({"write", Vol(), "--offset", "0", "--length", std::to_string(20 * kMiB), "--random", "1"});
    Admin({"write", Vol(), "--offset", std::to_string(30 * kMiB), "--length", std::to_string(3 * kMiB), "--pattern", "0x5a"});
    Admin({"snapshot", "create", Vol(), Snap(1)});
    Result full = Mover(BackupArgs(Snap(1)));
    ASSERT_EQ(full.rc, 0) << full.out << full.err;
    EXPECT_EQ(full.json["bytes_read"].asUInt64(), size - kOffset);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // One change inside a 4 MiB unit, one across the 8 MiB boundary. Each bitmap byte covers one
    // 4 MiB object of the volume; less the 4096-byte disk header, each object straddles two disk
    // units: objects 1, 2 and 10 give disk units 0-2 and 9-10, five in all.
    Admin({"write", Vol(), "--offset", std::to_string(40 * kMiB + 100), "--length", "1000", "--random", "7"});
    Admin({"write", Vol(), "--offset", std::to_string(8 * kMiB - 1000), "--length", "2000", "--random", "8"});
    Admin({"snapshot", "create", Vol(), Snap(2)});
    Result incr = Mover(BackupArgs(Snap(2), Snap(1)));
    ASSERT_EQ(incr.rc, 0) << incr.out << incr.err;
    EXPECT_EQ(incr.json["bytes_read"].asUInt64(), 5 * 4 * kMiB);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    ExpectRestoreEquals(incr.json["backup_id"].asString(), Vol() + "@" + Snap(2));
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(CephTest, DeletedParentSnapshotGivesAFullReadThatStillRestores)
{
    Admin({"volume", "create", Vol(), std::to_string(size)});
    Admin({"write", Vol(), "--offset", "0", "--length", std::to_string(size), "--random", "3"});
    Admin({"snapshot", "create", Vol(), Snap(1)});
    ASSERT_EQ(Mover(BackupArgs(Snap(1))).rc, 0);
    Admin({"write", Vol(), "--offset", std::to_string(12 * kMiB), "--length", "4096", "--random", "4"});
    Admin({"snapshot", "create", Vol(), Snap(2)});
    Admin({"snapshot", "delete", Vol(), Snap(1)});
    Result incr = Mover(BackupArgs(Snap(2), Snap(1)));
    ASSERT_EQ(incr.rc, 0) << incr.out << incr.err;
    EXPECT_EQ(incr.json["bytes_read"].asUInt64(), size - kOffset);
    ExpectRestoreEquals(incr.json["backup_id"].asString(), Vol() + "@" + Snap(2));
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(CephTest, KilledBackupLeavesACloneAndMountThatCleanRemoves)
{
    size = 256 * kMiB;
    Admin({"volume", "create", Vol(), std::to_string(size)});
    Admin({"write", Vol(), "--offset", "0", "--length", std::to_string(size), "--random", "5"});
    Admin({"snapshot", "create", Vol(), Snap(1)});
    std::vector<std::string> args = {DM_DATAMOVER_BINARY, "--root", root->Root()};
    for (const std::string& a : BackupArgs(Snap(1))) args.push_back(a);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    // Killed as soon as the snapshot is exposed (its FUSE mount is in the mount table).
    bool attached = false;
    for (int i = 0; i < 6000 && !attached; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream mounts("/proc/mounts");
        for (std::string l; std::getline(mounts, l);) attached = attached || l.find(root->Root()) != std::string::npos;
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(attached) << "the backup never attached its snapshot";
    EXPECT_FALSE(Leftovers().empty()) << "a killed backup should leave its attach behind";
    Result clean = Mover({"clean", "--repo", repo});
    ASSERT_EQ(clean.rc, 0) << clean.out << clean.err;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << clean.out << clean.err;
}

TEST_F(CephTest, BadInputAnswersTheToolCodesAndLeavesNothing)
{
    const std::string cli = root->CliTool(), qrm = root->QrmTool();
    const std::string marker = root->Root() + "/touched";
    const std::string evil = "x';touch " + marker + ";'$(touch " + marker + ")`touch " + marker + "`";
    struct Case {
        std::vector<std::string> argv;
        std::string key, code;
    } cases[] = {
        {{cli, "-c", "attachwithip", "-v", evil, "-i", "127.0.0.1", "-p", kPool}, "ret_code", "50150005"},
        {{cli, "-c", "detachwithip", "-v", evil, "-i", "127.0.0.1", "-p", kPool}, "ret_code", "50151404"},
        {{qrm, "--op", "createBitmapVolume", "--staIp", "127.0.0.1", "--snapNameFrom", evil, "--snapNameTo", evil,
          "--strataFloatIP", "127.0.0.1", "--volName", evil, "--poolId", kPool}, "ResultCode", "50151404"},
        {{qrm, "--op", "deleteVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "127.0.0.1", "--volName", evil,
          "--poolId", kPool}, "ResultCode", "50150005"},
        {{cli, "-c", "attachwithip", "-v", "v", "-i", "127.0.0.1", "-p", "no-such-pool"}, "ret_code", "1003"},
        {{qrm, "--op", "queryBitmapVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "127.0.0.1", "--volName", "v",
          "--poolId", "no-such-pool"}, "ResultCode", "1003"},
    };
    for (const Case& c : cases) {
        std::string out, err;
        SimRoot::RunProgram(c.argv, &out, &err);
        EXPECT_NE(out.find(c.key + "=" + c.code + "\n"), std::string::npos) << c.argv[2] << ": " << out << err;
        if (c.code == "1003") {
            EXPECT_NE(err.find("does not exist"), std::string::npos) << err;
        }
    }
    EXPECT_FALSE(fs::exists(marker));

    // A cluster that does not answer: a configuration whose monitor is gone.
    const std::string dead = root->Root() + "/dead.conf";
    std::ofstream(dead) << "[global]\nmon host = 127.0.0.1:1\nauth client required = none\n";
    ASSERT_EQ(Tool({"configure", "--conf", dead, "--timeout", "2"}).rc, 0);
    std::string out, err;
    SimRoot::RunProgram({qrm, "--op", "queryBitmapVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "127.0.0.1",
                         "--volName", "v", "--poolId", kPool}, &out, &err);
    EXPECT_NE(out.find("ResultCode=-1\n"), std::string::npos) << out;
    EXPECT_NE(err.find("does not answer"), std::string::npos) << err;
    Result health = Mover({"health"});
    EXPECT_NE(health.rc, 0);
    ASSERT_EQ(Tool({"configure", "--conf", DM_CEPH_CONF}).rc, 0);
    EXPECT_EQ(Mover({"health"}).rc, 0);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

}  // namespace
