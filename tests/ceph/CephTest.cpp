// The datamover program on a real Ceph cluster (the loopback one of scripts/ceph-cluster.sh),
// through rbd-tool behind the root's tool scripts. Leftovers are listed from the cluster and the
// mount table, never from our own records; restored bytes are compared with `rbd export`.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "apps/datamover/session/StorageQuery.h"
#include "foundation/JsonUtils.h"
#include "tests/support/SimRoot.h"
#include "tests/support/WaitFor.h"

extern char** environ;
namespace fs = std::filesystem;
using simtest::SimRoot;

namespace {

constexpr uint64_t kMiB = 1ULL << 20;
constexpr uint64_t kOffset = 4096;  // data-area offset of storage type 0
const char kVolumeId[] = "6f1c2d4e-8a9b-4c3d-9e0f-1a2b3c4d5e6f";
const char kPool[] = "pool0";
const char kPool1[] = "pool1";  // made by the tests that need a second pool
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
        // These cases read the chain-of-files format's files; a backup into a new path makes format 3.
        ASSERT_EQ(Mover({"init", "--repo", repo, "--format", "2"}).rc, 0);
    }
    void TearDown() override
    {
        for (const char* pool : {kPool, kPool1}) {
            Tool({"teardown", "--pool", pool});
            for (const std::string& v : Images(pool)) {
                if (v.rfind(prefix, 0) != 0) continue;
                RbdCmd({"snap", "unprotect", std::string(pool) + "/" + v});
                RbdCmd({"snap", "purge", std::string(pool) + "/" + v});
                // A killed daemon's watch keeps the image for the cluster's watch timeout (~30 s);
                // a repeated test would find it.
                testwait::WaitFor([&]() { return RbdCmd({"rm", std::string(pool) + "/" + v}).rc == 0; },
                                  std::chrono::seconds(60));
            }
        }
        root.reset();
        ::unsetenv("DATAMOVER_PAUSE_DIVISOR");
    }

    static std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    static Result Run(const std::vector<std::string>& argv)
    {
        Result r;
        r.rc = SimRoot::RunProgram(argv, &r.out, &r.err);
        return r;
    }
    static std::string Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Starts a program (looked up on PATH) reading `in` (-1: this process's input), its output
    // thrown away when `quiet`; -1 when it cannot be started.
    static pid_t Spawn(std::vector<std::string> args, int in = -1, bool quiet = false)
    {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (in >= 0) posix_spawn_file_actions_adddup2(&fa, in, 0);
        for (int out : {1, 2}) {
            if (quiet) posix_spawn_file_actions_addopen(&fa, out, "/dev/null", O_WRONLY, 0);
        }
        pid_t pid = -1;
        const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        return rc == 0 ? pid : -1;
    }
    static void KillAndReap(pid_t pid)
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    Result Tool(const std::vector<std::string>& args) const
    {
        return Run(Concat({DM_RBD_TOOL, "--root", root->Root(), "admin"}, args));
    }
    void Admin(std::vector<std::string> args, const std::string& pool = kPool) const
    {
        args.push_back("--pool");
        args.push_back(pool);
        Result r = Tool(args);
        ASSERT_EQ(r.rc, 0) << args[0] << ": " << r.err;
    }
    Result RbdCmd(const std::vector<std::string>& args) const { return Run(Concat({"rbd", "-c", DM_CEPH_CONF}, args)); }
    bool Watched(const std::string& image) const
    {
        return RbdCmd({"status", std::string(kPool) + "/" + image}).out.find("watcher=") != std::string::npos;
    }
    std::vector<std::string> Images(const std::string& pool = kPool) const
    {
        std::vector<std::string> names;
        Result r = RbdCmd({"ls", pool});
        std::istringstream in(r.out);
        for (std::string l; std::getline(in, l);) names.push_back(l);
        return names;
    }
    // What a crashed or failed task could leave: bitmap images, attach clones, FUSE mounts.
    std::vector<std::string> Leftovers() const
    {
        std::vector<std::string> left;
        for (const char* pool : {kPool, kPool1}) {
            for (const std::string& v : Images(pool)) {
                if (v.find("_BITMAP") != std::string::npos || v.rfind("datamover-attach-", 0) == 0 ||
                    v.rfind("datamover-tmp-", 0) == 0) {
                    left.push_back(std::string(pool) + "/" + v);
                }
            }
        }
        const std::vector<std::string> mounts = Mounts();
        left.insert(left.end(), mounts.begin(), mounts.end());
        return left;
    }
    std::vector<std::string> Mounts() const
    {
        std::vector<std::string> m;
        std::ifstream in("/proc/mounts");
        for (std::string l; std::getline(in, l);) {
            if (l.find(root->Root()) != std::string::npos) m.push_back(l);
        }
        return m;
    }
    Result Mover(const std::vector<std::string>& args) const
    {
        Result r = Run(Concat({DM_DATAMOVER_BINARY, "--root", root->Root(), "--json"}, args));
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
    // `rbd export` of an image or snapshot less its first `skip` bytes (by default: the data area).
    std::string Export(const std::string& image, uint64_t skip = kOffset) const
    {
        const std::string file = root->Root() + "/export-" + std::to_string(exports++);
        Result r = RbdCmd({"export", std::string(kPool) + "/" + image, file});
        EXPECT_EQ(r.rc, 0) << r.out << r.err;
        const std::string data = Slurp(file);
        fs::remove(file);
        return data.size() > skip ? data.substr(skip) : std::string();
    }
    // A volume of `size` bytes written whole (`fill` --pattern or --random, with `value`), with one snapshot.
    void FilledSnapshot(const std::string& vol, const std::string& snap, int value, const std::string& pool = kPool,
                        const char* fill = "--pattern")
    {
        Admin({"volume", "create", vol, std::to_string(size)}, pool);
        Admin({"write", vol, "--offset", "0", "--length", std::to_string(size), fill, std::to_string(value)}, pool);
        Admin({"snapshot", "create", vol, snap}, pool);
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
    // The snapshot's export reports holes (whole 4 MiB objects never written), so the full read
    // skips them: written objects 0-4 and 7-8 touch disk units 0-4 and 6-8, less the 4096-byte header.
    EXPECT_EQ(full.json["bytes_read"].asUInt64(), 8 * 4 * kMiB);
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
    // The source check reads the snapshot as a backup does: every block compares equal.
    Result check = Mover({"verify", "--repo", repo, "--against-source", kUrl + Snap(2)});
    EXPECT_EQ(check.rc, 0) << check.out << check.err;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(CephTest, DeletedParentSnapshotGivesAFullReadThatStillRestores)
{
    FilledSnapshot(Vol(), Snap(1), 3, kPool, "--random");
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
    FilledSnapshot(Vol(), Snap(1), 5, kPool, "--random");
    const pid_t pid = Spawn(Concat({DM_DATAMOVER_BINARY, "--root", root->Root()}, BackupArgs(Snap(1))));
    ASSERT_GT(pid, 0);
    // Killed as soon as the snapshot is exposed (its FUSE mount is in the mount table).
    const bool attached = testwait::WaitFor([&]() { return !Mounts().empty(); }, std::chrono::seconds(60));
    KillAndReap(pid);
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
        Result r = Run(c.argv);
        EXPECT_NE(r.out.find(c.key + "=" + c.code + "\n"), std::string::npos) << c.argv[2] << ": " << r.out << r.err;
        if (c.code == "1003") {
            EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
        }
    }
    EXPECT_FALSE(fs::exists(marker));

    // A cluster that does not answer: a configuration whose monitor is gone.
    const std::string dead = root->Root() + "/dead.conf";
    std::ofstream(dead) << "[global]\nmon host = 127.0.0.1:1\nauth client required = none\n";
    ASSERT_EQ(Tool({"configure", "--conf", dead, "--timeout", "2"}).rc, 0);
    Result q = Run({qrm, "--op", "queryBitmapVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "127.0.0.1",
                    "--volName", "v", "--poolId", kPool});
    EXPECT_NE(q.out.find("ResultCode=-1\n"), std::string::npos) << q.out;
    EXPECT_NE(q.err.find("does not answer"), std::string::npos) << q.err;
    Result health = Mover({"health"});
    EXPECT_NE(health.rc, 0);
    ASSERT_EQ(Tool({"configure", "--conf", DM_CEPH_CONF}).rc, 0);
    EXPECT_EQ(Mover({"health"}).rc, 0);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// Names, identities and leftovers: what the adapter keys by the cluster's ids, refuses as
// ambiguous, and removes after a kill.
class CephIdentityTest : public CephTest {
protected:
    void EnsurePool1() const
    {
        Result r = Run({"ceph", "-c", DM_CEPH_CONF, "osd", "pool", "create", kPool1, "8", "8"});
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
        r = RbdCmd({"pool", "init", kPool1});
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
    }
    static std::string Key(const Result& r, const std::string& key)
    {
        for (const std::string& l : SimRoot::Lines(r.out)) {
            if (l.compare(0, key.size() + 1, key + "=") == 0) return l.substr(key.size() + 1);
        }
        return "<none>";
    }
    Result Cli(const std::string& cmd, const std::string& name, const std::string& pool = kPool) const
    {
        return Run({root->CliTool(), "-c", cmd, "-v", name, "-i", "127.0.0.1", "-p", pool});
    }
    Result Qrm(std::vector<std::string> args, const std::string& pool = kPool) const
    {
        std::vector<std::string> argv = {root->QrmTool()};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"--staIp", "127.0.0.1", "--strataFloatIP", "127.0.0.1", "--poolId", pool});
        return Run(argv);
    }
    Result CreateBitmap(const std::string& name, const std::string& from, const std::string& to) const
    {
        return Qrm({"--op", "createBitmapVolume", "--snapNameFrom", from, "--snapNameTo", to, "--volName", name});
    }
    Result Identity(const std::string& snap) const
    {
        return Qrm({"--op", "querySnapshotIdentity", "--snapName", snap});
    }
    // The data area of a backup restored into a file.
    std::string RestoredBytes(const std::string& backupId)
    {
        const std::string file = root->Root() + "/restored-" + std::to_string(exports++);
        Result r = Mover({"restore", "--repo", repo, "--backup", backupId, "--to-file", file});
        EXPECT_EQ(r.rc, 0) << r.out << r.err;
        const std::string data = Slurp(file);
        fs::remove(file);
        return data.size() > kOffset ? data.substr(kOffset) : data;
    }
    // Pids of the processes whose arguments name a path under `dir` of the root (daemons the tool started).
    std::string DaemonsUnder(const std::string& dir) const
    {
        std::string pids;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc", ec)) {
            const std::string cmd = Slurp((e.path() / "cmdline").string());
            if (cmd.find(root->Root() + dir) != std::string::npos) pids += e.path().filename().string() + " ";
        }
        return pids;
    }
    // Kills the daemons under `dir` of the root; whether they are gone.
    bool KillDaemons(const std::string& dir) const
    {
        std::istringstream in(DaemonsUnder(dir));
        for (int p; in >> p;) ::kill(p, SIGKILL);
        return testwait::WaitFor([&]() { return DaemonsUnder(dir).empty(); }, std::chrono::seconds(30));
    }
    // Nothing of an exposure stays: no leftover, no daemon, no mount or export directory.
    void ExpectNothingLeft(const std::string& how) const
    {
        EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << how;
        EXPECT_EQ(DaemonsUnder("/var/rbd/"), "") << how;
        for (const char* dir : {"/var/rbd/mnt", "/var/rbd/qsd"}) {
            std::error_code ec;
            EXPECT_TRUE(fs::is_empty(root->Root() + dir, ec) || ec) << how << ": " << dir;
        }
    }
    static bool AllBytes(const std::string& data, char byte, size_t from = 0)
    {
        return data.size() > from && data.find_first_not_of(byte, from) == std::string::npos;
    }
    // The first 4096 bytes of a device; nothing when they cannot be read.
    static std::string Head(const std::string& dev)
    {
        std::string head(4096, '\0');
        std::ifstream in(dev, std::ios::binary);
        return in.read(&head[0], 4096) ? head : std::string();
    }
};

TEST_F(CephIdentityTest, SameSnapshotNameInTwoPoolsIsTwoSnapshots)
{
    EnsurePool1();
    const std::string snap = prefix + "-k9";
    FilledSnapshot(prefix + "-tenantA", snap, 0xaa, kPool);
    FilledSnapshot(prefix + "-tenantB", snap, 0xbb, kPool1);
    // pool0's snapshot stays attached (as for another backup) while pool1's is backed up.
    Result held = Cli("attachwithip", snap, kPool);
    ASSERT_EQ(Key(held, "ret_code"), "0") << held.out << held.err;
    const std::string heldDev = Key(held, "dev_addr");
    Result backup = Mover({"backup", "--volume-id", kVolumeId, "--snapshot-url",
                           std::string("strata://127.0.0.1/") + kPool1 + "/" + snap, "--repo", repo, "--volume-size",
                           std::to_string(size)});
    ASSERT_EQ(backup.rc, 0) << backup.out << backup.err;
    EXPECT_TRUE(AllBytes(RestoredBytes(backup.json["backup_id"].asString()), '\xbb')) << "pool1's snapshot holds 0xbb";
    // pool1's detach left pool0's attachment alone.
    EXPECT_TRUE(AllBytes(Head(heldDev), '\xaa')) << heldDev << " was torn down or reads other bytes";
    EXPECT_EQ(Key(Cli("detachwithip", snap, kPool), "ret_code"), "0");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    // Neither snapshot stays protected once its attach clone is gone.
    for (const char* pool : {kPool, kPool1}) {
        Result ls = RbdCmd({"snap", "ls", std::string(pool) + "/" + prefix + (pool == kPool ? "-tenantA" : "-tenantB")});
        EXPECT_EQ(ls.out.find("yes"), std::string::npos) << ls.out;
    }
}

TEST_F(CephIdentityTest, AmbiguousNamesAreRefusedNamingTheCandidates)
{
    // An image whose name another image's snapshot carries, and one snapshot name on two images.
    const std::string live = prefix + "-tenantA", other = prefix + "-c64", twin = prefix + "-c65";
    const std::string daily = prefix + "-daily";
    FilledSnapshot(live, prefix + "-old", 0x11);
    FilledSnapshot(other, live, 0x22);
    Admin({"snapshot", "create", other, daily});
    FilledSnapshot(twin, daily, 0x33);
    struct Case {
        std::string name;
        std::vector<std::string> candidates;
    } cases[] = {{live, {"image " + live, "snapshot " + other + "@" + live}},
                 {daily, {"snapshot " + other + "@" + daily, "snapshot " + twin + "@" + daily}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Result att = Cli("attachwithip", c.name);
        EXPECT_EQ(Key(att, "ret_code"), "50151409") << att.out << att.err;
        for (const std::string& cand : c.candidates) EXPECT_NE(Key(att, "ret_desc").find(cand), std::string::npos) << att.out;
        Result bm = CreateBitmap(prefix + "_x_BITMAP", "", c.name);
        EXPECT_EQ(Key(bm, "ResultCode"), "50151409");
        EXPECT_NE(bm.err.find(c.candidates[1]), std::string::npos) << bm.err;
        EXPECT_EQ(Key(Identity(c.name), "ResultCode"), "50151409");
        Result backup = Mover(BackupArgs(c.name));
        EXPECT_NE(backup.rc, 0) << "an ambiguous name was backed up: " << backup.out;
    }
    // IMAGE@SNAPSHOT picks one, through the CLI and the plug-in.
    Result backup = Mover(BackupArgs(other + "@" + live));
    ASSERT_EQ(backup.rc, 0) << backup.out << backup.err;
    EXPECT_TRUE(AllBytes(RestoredBytes(backup.json["backup_id"].asString()), '\x22'));
    Result second = Mover(BackupArgs(twin + "@" + daily));
    ASSERT_EQ(second.rc, 0) << second.out << second.err;
    EXPECT_TRUE(AllBytes(RestoredBytes(second.json["backup_id"].asString()), '\x33'));
    EXPECT_EQ(Key(Cli("attachwithip", other + "@" + prefix + "-old"), "ret_code"), "50150005") << "not that image's";
    for (const std::string& bad : {other + "@" + live + "@x", "@" + live, other + "@", other + "@" + std::string(129, 's')}) {
        Result r = Mover(BackupArgs(bad));
        EXPECT_EQ(r.rc, 2) << bad << ": " << r.out << r.err;
    }
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(CephIdentityTest, SnapshotIdentityChangesWhenRecreatedUnderItsName)
{
    FilledSnapshot(Vol(), Snap(1), 0x44);
    Result first = Identity(Snap(1));
    ASSERT_EQ(Key(first, "ResultCode"), "0") << first.out << first.err;
    EXPECT_EQ(Key(first, "volName"), Vol());
    EXPECT_EQ(Key(first, "snapName"), Snap(1));
    const std::string id = Key(first, "snapIdentity");
    EXPECT_EQ(id.rfind("rbd:", 0), 0u) << id;
    EXPECT_EQ(Key(Identity(Vol() + "@" + Snap(1)), "snapIdentity"), id);
    std::string viaCli, error;
    ASSERT_TRUE(dmtask::SnapshotIdentity(dmtask::StrataUrl{"127.0.0.1", kPool, Snap(1)}, viaCli, error)) << error;
    EXPECT_EQ(viaCli, id);

    Admin({"snapshot", "delete", Vol(), Snap(1)});
    EXPECT_EQ(Key(Identity(Snap(1)), "ResultCode"), "50150006");
    EXPECT_FALSE(dmtask::SnapshotIdentity(dmtask::StrataUrl{"127.0.0.1", kPool, Snap(1)}, viaCli, error));
    EXPECT_NE(error.find("no snapshot"), std::string::npos) << error;
    Admin({"snapshot", "create", Vol(), Snap(1)});
    Result again = Identity(Snap(1));
    ASSERT_EQ(Key(again, "ResultCode"), "0");
    EXPECT_NE(Key(again, "snapIdentity"), id) << "a re-created snapshot has another identity";
    ASSERT_TRUE(dmtask::SnapshotIdentity(dmtask::StrataUrl{"127.0.0.1", kPool, Vol() + "@" + Snap(1)}, viaCli, error));
    EXPECT_EQ(viaCli, Key(again, "snapIdentity"));
}

// A bare name is looked up in the images' header objects, not by opening each image. What that
// read cannot answer is still handled: an image whose header is gone is skipped, several snapshots
// of one image and a snapshot's size are read right, and a removed snapshot is not found.
TEST_F(CephIdentityTest, ABareNameIsFoundAmongImagesSomeOfWhichCannotBeRead)
{
    size = 12 * kMiB;
    FilledSnapshot(Vol(), Snap(1), 0x21);
    Admin({"snapshot", "create", Vol(), Snap(2)});
    Admin({"volume", "create", prefix + "-other", std::to_string(20 * kMiB)});
    Admin({"snapshot", "create", prefix + "-other", Snap(3)});
    Admin({"volume", "create", prefix + "-broken", std::to_string(4 * kMiB)});
    Result info = RbdCmd({"info", std::string(kPool) + "/" + prefix + "-broken"});
    const size_t at = info.out.find("id: ");
    ASSERT_NE(at, std::string::npos) << info.out;
    const std::string id = info.out.substr(at + 4, info.out.find('\n', at) - at - 4);
    Result rm = Run({"rados", "-c", DM_CEPH_CONF, "-p", kPool, "rm", "rbd_header." + id});
    ASSERT_EQ(rm.rc, 0) << rm.err;
    struct Case {
        std::string name, image, identitySnapOf;
        uint64_t size;
    };
    for (const Case& c : {Case{Snap(1), Vol(), Snap(1), 12 * kMiB}, Case{Snap(2), Vol(), Snap(2), 12 * kMiB},
                          Case{Snap(3), prefix + "-other", Snap(3), 20 * kMiB}}) {
        SCOPED_TRACE(c.name);
        Result r = Identity(c.name);
        ASSERT_EQ(Key(r, "ResultCode"), "0") << r.out << r.err;
        EXPECT_EQ(Key(r, "volName"), c.image);
        // The identity a lookup by IMAGE@SNAPSHOT gives (that path opens the one image).
        EXPECT_EQ(Key(r, "snapIdentity"), Key(Identity(c.image + "@" + c.identitySnapOf), "snapIdentity"));
        Result att = Cli("attachwithip", c.name);
        ASSERT_EQ(Key(att, "ret_code"), "0") << att.out << att.err;
        EXPECT_EQ(fs::file_size(Key(att, "dev_addr")), c.size) << "the snapshot's size";
        EXPECT_EQ(Key(Cli("detachwithip", c.name), "ret_code"), "0");
    }
    Admin({"snapshot", "delete", Vol(), Snap(2)});
    EXPECT_EQ(Key(Identity(Snap(2)), "ResultCode"), "50150006");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(CephIdentityTest, LongSnapshotNameBacksUpAndLeavesNothing)
{
    const std::string longName = prefix.substr(0, 20) + std::string(128 - 20, 'n');
    ASSERT_EQ(longName.size(), 128u);
    FilledSnapshot(Vol(), longName, 0x5c);
    Result backup = Mover(BackupArgs(longName));
    ASSERT_EQ(backup.rc, 0) << backup.out << backup.err;
    EXPECT_TRUE(AllBytes(RestoredBytes(backup.json["backup_id"].asString()), '\x5c'));
    Admin({"write", Vol(), "--offset", "0", "--length", "4096", "--pattern", "0x5d"});
    const std::string longer = longName.substr(0, 127) + "m";
    Admin({"snapshot", "create", Vol(), longer});
    Result incr = Mover(BackupArgs(longer, longName));
    ASSERT_EQ(incr.rc, 0) << incr.out << incr.err;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    ExpectRestoreEquals(incr.json["backup_id"].asString(), Vol() + "@" + longer);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(CephIdentityTest, OneTasksAttachmentIsNeverSharedWithOrReleasedByAnother)
{
    FilledSnapshot(Vol(), Snap(1), 0x66);
    // Another holder of the snapshot (a person's attach) keeps it from the backup's task.
    Result held = Cli("attachwithip", Snap(1));
    ASSERT_EQ(Key(held, "ret_code"), "0") << held.out << held.err;
    Result refused = Mover(BackupArgs(Snap(1)));
    EXPECT_NE(refused.rc, 0) << "a backup shared another holder's exposure: " << refused.out;
    EXPECT_NE((refused.out + refused.err).find("attached for another running task"), std::string::npos)
        << refused.out << refused.err;
    EXPECT_EQ(Mounts().size(), 1u) << "the refused backup released the other holder's mount";
    EXPECT_TRUE(AllBytes(Head(Key(held, "dev_addr")), '\x66'));
    Result detach = Cli("detachwithip", Snap(1));
    EXPECT_EQ(Key(detach, "ret_code"), "0") << detach.out << detach.err;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    Result backup = Mover(BackupArgs(Snap(1)));
    ASSERT_EQ(backup.rc, 0) << backup.out << backup.err;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // A holder is a task while its task lock is held: here this test's own lock stands for a task.
    fs::create_directories(root->Root() + "/var/tasks");
    int lock = ::open((root->Root() + "/var/tasks/standin.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    ASSERT_EQ(Key(Cli("attachwithip", Snap(1)), "ret_code"), "0");
    Result own = Cli("detachwithip", Vol() + "@" + Snap(1));  // run by the lock's holder: that task's detach
    EXPECT_EQ(Key(own, "ret_code"), "0") << own.out << own.err;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    ::close(lock);

    // A task in another process (flock(1) holding a task lock, the attach run beneath it) keeps its
    // attachment against a detach from outside; once that task is gone, the detach releases.
    const std::string answer = root->Root() + "/attach.out";
    int feed[2];
    ASSERT_EQ(::pipe2(feed, O_CLOEXEC), 0);
    const pid_t task = Spawn({"flock", "-x", root->Root() + "/var/tasks/other.lock", "sh", "-c",
                              "\"$0\" -c attachwithip -v \"$1\" -i 127.0.0.1 -p pool0 >\"$2.tmp\" && mv \"$2.tmp\" \"$2\"; exec cat",
                              root->CliTool(), Snap(1), answer},
                             feed[0]);
    ::close(feed[0]);
    ASSERT_GT(task, 0);
    ASSERT_TRUE(testwait::WaitFor([&]() { return fs::exists(answer); }, std::chrono::seconds(60)));
    EXPECT_NE(Slurp(answer).find("ret_code=0"), std::string::npos) << Slurp(answer);
    Result outside = Cli("detachwithip", Snap(1));
    EXPECT_EQ(Key(outside, "ret_code"), "50151006") << outside.out;
    Result second = Cli("attachwithip", Snap(1));
    EXPECT_EQ(Key(second, "ret_code"), "50151006") << second.out;
    EXPECT_NE(Key(second, "ret_desc").find("task other"), std::string::npos) << second.out;
    EXPECT_EQ(Mounts().size(), 1u);
    ::close(feed[1]);  // cat ends, flock(1) exits: the task is gone
    ASSERT_EQ(::waitpid(task, nullptr, 0), task);
    EXPECT_EQ(Key(Cli("detachwithip", Snap(1)), "ret_code"), "0");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // Two backups of one snapshot at once, whatever their interleaving: each succeeds or is refused,
    // by the data mover's claim of the snapshot (in_use) or, past it, by the attachment the other
    // holds, never both refused, and nothing stays.
    Result runs[2];
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([this, i, &runs]() {
            std::vector<std::string> args = BackupArgs(Snap(1));
            args[args.size() - 3] = repo + std::to_string(i);  // --repo: one repository each
            runs[i] = Mover(args);
        });
    }
    for (auto& t : threads) t.join();
    int succeeded = 0;
    for (const Result& r : runs) {
        succeeded += r.rc == 0 ? 1 : 0;
        if (r.rc != 0) {
            const bool claimed = r.json["error"]["code"].asString() == "in_use";
            const bool attached = (r.out + r.err).find("attached for another running task") != std::string::npos;
            EXPECT_TRUE(claimed || attached) << r.out << r.err;
        }
    }
    EXPECT_GE(succeeded, 1);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// What serves a snapshot: a pid file (of the daemon, found by that path among its arguments), a mount
// under the root, and for the rbd-fuse way an attach clone.
TEST_F(CephIdentityTest, ASnapshotIsServedWithoutACloneAndAKilledAttachLeavesNothingDetachKeeps)
{
    FilledSnapshot(Vol(), Snap(1), 0x3c);
    Admin({"write", Vol(), "--offset", "0", "--length", std::to_string(size), "--pattern", "0x3d"});  // head differs
    auto daemons = [this]() { return DaemonsUnder("/var/rbd/qsd/"); };
    auto readDirect = [](const std::string& dev) {
        std::string data;
        int fd = ::open(dev.c_str(), O_RDONLY | O_DIRECT);
        if (fd < 0) return data;
        void* buf = nullptr;
        if (::posix_memalign(&buf, 4096, 4 * kMiB) == 0) {
            for (ssize_t n; (n = ::read(fd, buf, 4 * kMiB)) > 0;) data.append(static_cast<char*>(buf), static_cast<size_t>(n));
            std::free(buf);
        }
        ::close(fd);
        return data;
    };
    Result att = Cli("attachwithip", Snap(1));
    ASSERT_EQ(Key(att, "ret_code"), "0") << att.out << att.err;
    const std::string dev = Key(att, "dev_addr");
    EXPECT_EQ(dev.rfind(root->Root() + "/var/rbd/mnt/", 0), 0u) << dev;
    const std::string bytes = readDirect(dev);
    EXPECT_EQ(bytes.size(), size) << "an O_DIRECT read of the whole snapshot";
    EXPECT_TRUE(AllBytes(bytes, '\x3c')) << "the snapshot's bytes, not the image's";
    EXPECT_NE(daemons(), "");
    // Read-only, no clone, no protection.
    const int wfd = ::open(dev.c_str(), O_WRONLY);
    EXPECT_TRUE(wfd < 0 || ::pwrite(wfd, "x", 1, 0) < 0) << "the snapshot's exposure is writable";
    if (wfd >= 0) ::close(wfd);
    for (const std::string& v : Images()) EXPECT_EQ(v.rfind("datamover-attach-", 0), std::string::npos) << v;
    EXPECT_EQ(RbdCmd({"snap", "ls", std::string(kPool) + "/" + Vol()}).out.find("yes"), std::string::npos);
    Result again = Cli("attachwithip", Snap(1));
    EXPECT_EQ(Key(again, "ret_code"), "50151401");
    EXPECT_EQ(Key(again, "dev_addr"), dev);
    EXPECT_EQ(Key(Cli("detachwithip", Snap(1)), "ret_code"), "0");
    ExpectNothingLeft("after a detach");
    EXPECT_EQ(Key(Cli("detachwithip", Snap(1)), "ret_code"), "50151601");

    // An attach killed once its export is up leaves the daemon, its mount and pid file; the next
    // detach, or teardown, removes them. So does a detach after the daemon itself was killed.
    for (const char* after : {"detach", "teardown", "daemon killed"}) {
        SCOPED_TRACE(after);
        ::setenv("RBD_TOOL_CRASH_AT", "attach-exposed", 1);
        Result killed = Cli("attachwithip", Snap(1));
        ::unsetenv("RBD_TOOL_CRASH_AT");
        EXPECT_EQ(Key(killed, "ret_code"), "<none>") << killed.out;
        EXPECT_FALSE(Leftovers().empty()) << "the killed attach's mount";
        ASSERT_NE(daemons(), "");
        if (std::string(after) == "teardown") {
            Result td = Tool({"teardown", "--pool", kPool});
            EXPECT_EQ(td.rc, 0) << td.err;
        } else {
            if (std::string(after) == "daemon killed") {
                ASSERT_TRUE(KillDaemons("/var/rbd/qsd/"));
            }
            Result det = Cli("detachwithip", Snap(1));
            EXPECT_EQ(Key(det, "ret_code"), "0") << det.out << det.err;
        }
        ExpectNothingLeft(after);
    }

    // The clone way, kept as a setting: the clone has object-map and fast-diff, so that removing a
    // large one is cheap, and goes with the detach, its parent unprotected.
    std::ofstream(root->Root() + "/conf/rbd.conf", std::ios::app) << "snapshot_exposure = rbd-fuse\n";
    Result viaClone = Cli("attachwithip", Snap(1));
    ASSERT_EQ(Key(viaClone, "ret_code"), "0") << viaClone.out << viaClone.err;
    const std::string clone = fs::path(Key(viaClone, "dev_addr")).filename().string();
    EXPECT_EQ(clone.rfind("datamover-attach-", 0), 0u) << clone;
    Result info = RbdCmd({"info", std::string(kPool) + "/" + clone});
    EXPECT_NE(info.out.find("fast-diff"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("object-map"), std::string::npos) << info.out;
    EXPECT_TRUE(AllBytes(readDirect(Key(viaClone, "dev_addr")), '\x3c'));
    EXPECT_EQ(Key(Cli("detachwithip", Snap(1)), "ret_code"), "0");
    ExpectNothingLeft("after the clone's detach");
    EXPECT_EQ(RbdCmd({"snap", "ls", std::string(kPool) + "/" + Vol()}).out.find("yes"), std::string::npos);
}

// A restore target is written through rbd-fuse with librbd's writeback cache: whatever way the
// writer ends (fsync or none, still open at the detach, an attach killed and torn down), the bytes
// are on the cluster once detach or teardown has answered, and nothing of the exposure stays.
TEST_F(CephIdentityTest, AnImageWrittenThroughItsCacheIsOnTheClusterWhenReleasedAndLeavesNothing)
{
    Admin({"volume", "create", Vol(), std::to_string(size)});
    std::string want(size, '\0');
    std::mt19937 rng(24);
    // Random 4 MiB blocks written with O_DIRECT at `offsets` (MiB), recorded in `want`; the
    // descriptor is returned open when `keepOpen`, else closed after an fsync when `sync`.
    auto write = [&](const std::string& dev, std::initializer_list<uint64_t> offsets, bool sync, bool keepOpen) {
        int fd = ::open(dev.c_str(), O_WRONLY | O_DIRECT);
        EXPECT_GE(fd, 0) << dev << ": " << strerror(errno);
        if (fd < 0) return -1;
        void* buf = nullptr;
        EXPECT_EQ(::posix_memalign(&buf, 4096, 4 * kMiB), 0);
        for (uint64_t mib : offsets) {
            for (size_t i = 0; i < 4 * kMiB; i += 4) *reinterpret_cast<uint32_t*>(static_cast<char*>(buf) + i) = rng();
            EXPECT_EQ(::pwrite(fd, buf, 4 * kMiB, static_cast<off_t>(mib * kMiB)), static_cast<ssize_t>(4 * kMiB));
            want.replace(mib * kMiB, 4 * kMiB, static_cast<char*>(buf), 4 * kMiB);
        }
        std::free(buf);
        if (sync) {
            EXPECT_EQ(::fsync(fd), 0);
        }
        if (keepOpen) return fd;
        ::close(fd);
        return -1;
    };
    struct Case {
        const char* name;
        bool sync, openAtDetach;
        std::initializer_list<uint64_t> mib;
    };
    for (const Case& c : {Case{"fsync, then close", true, false, {0, 20, 44}},
                          Case{"close without fsync", false, false, {4, 8, 12, 16, 24, 28, 32, 36, 40}},
                          Case{"still open at the first detach", false, true, {0, 44}}}) {
        SCOPED_TRACE(c.name);
        Result att = Cli("attachwithip", Vol());
        ASSERT_EQ(Key(att, "ret_code"), "0") << att.out << att.err;
        const std::string dev = Key(att, "dev_addr");
        const int fd = write(dev, c.mib, c.sync, c.openAtDetach);
        if (c.openAtDetach) {
            // Refused, not cut off: the writer's data stays reachable through the exposure.
            Result busy = Cli("detachwithip", Vol());
            EXPECT_NE(Key(busy, "ret_code"), "0") << busy.out;
            EXPECT_FALSE(Mounts().empty());
            ::close(fd);
        }
        Result det = Cli("detachwithip", Vol());
        ASSERT_EQ(Key(det, "ret_code"), "0") << det.out << det.err;
        EXPECT_TRUE(Export(Vol(), 0) == want) << "what the cluster holds right after the detach";
        ExpectNothingLeft("after the detach");
    }

    // An attach killed once rbd-fuse is up: written (unflushed) data reaches the cluster through
    // the next detach or a teardown; nothing stays, also when rbd-fuse itself was killed.
    for (const char* after : {"detach", "teardown", "rbd-fuse killed"}) {
        SCOPED_TRACE(after);
        ::setenv("RBD_TOOL_CRASH_AT", "attach-exposed", 1);
        Result killed = Cli("attachwithip", Vol());
        ::unsetenv("RBD_TOOL_CRASH_AT");
        EXPECT_EQ(Key(killed, "ret_code"), "<none>") << killed.out;
        ASSERT_NE(DaemonsUnder("/var/rbd/"), "");
        ASSERT_EQ(Mounts().size(), 1u);
        const std::string point = Mounts().front().substr(Mounts().front().find(' ') + 1);
        const std::string dev = point.substr(0, point.find(' ')) + "/" + Vol();
        if (std::string(after) == "rbd-fuse killed") {
            ASSERT_TRUE(KillDaemons("/var/rbd/"));
        } else {
            write(dev, {8, 40}, false, false);
        }
        if (std::string(after) == "teardown") {
            Result td = Tool({"teardown", "--pool", kPool});
            EXPECT_EQ(td.rc, 0) << td.err;
        } else {
            Result det = Cli("detachwithip", Vol());
            EXPECT_EQ(Key(det, "ret_code"), "0") << det.out << det.err;
        }
        EXPECT_TRUE(Export(Vol(), 0) == want) << "what the cluster holds right after the release";
        ExpectNothingLeft(after);
    }
}

TEST_F(CephIdentityTest, KilledBitmapCreatesLeaveNothingBehind)
{
    size = 64 * kMiB;
    FilledSnapshot(Vol(), Snap(1), 0x77);
    Admin({"write", Vol(), "--offset", std::to_string(20 * kMiB), "--length", "4096", "--pattern", "0x78"});
    Admin({"snapshot", "create", Vol(), Snap(2)});
    const std::string name = prefix + "_BITMAP";
    auto cluster = [this]() {
        std::string all;
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"ls", "-l", kPool}, {"snap", "ls", std::string(kPool) + "/" + Vol()},
                 {"children", std::string(kPool) + "/" + Vol() + "@" + Snap(1)}}) {
            all += RbdCmd(args).out;
        }
        return all;
    };
    auto expectNothingLeft = [&](const std::string& how) {
        EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << how;
        const std::string state = cluster();
        EXPECT_EQ(state.find("datamover"), std::string::npos) << how << "\n" << state;
        EXPECT_EQ(state.find("_BITMAP"), std::string::npos) << how << "\n" << state;
        EXPECT_EQ(Mounts(), std::vector<std::string>{}) << how;
        // Below librbd too: an id object left by a killed create or rename would block the name.
        Result objects = Run({"rados", "-c", DM_CEPH_CONF, "-p", kPool, "ls"});
        EXPECT_EQ(objects.rc, 0) << objects.err;
        EXPECT_EQ(objects.out.find("datamover-tmp-"), std::string::npos) << how << "\n" << objects.out;
        EXPECT_EQ(objects.out.find("rbd_id." + name), std::string::npos) << how << "\n" << objects.out;
    };
    const char* points[] = {"bitmap-created", "bitmap-tagged", "bitmap-written", "bitmap-ready", "bitmap-published"};
    int round = 0;
    for (const char* point : points) {
        SCOPED_TRACE(point);
        ::setenv("RBD_TOOL_CRASH_AT", point, 1);
        Result killed = CreateBitmap(name, Snap(1), Snap(2));
        ::unsetenv("RBD_TOOL_CRASH_AT");
        EXPECT_EQ(Key(killed, "ResultCode"), "<none>") << "the tool was to die at " << point;
        // Never "still being built" for a create that will never finish.
        Result q = Qrm({"--op", "queryBitmapVolume", "--volName", name});
        const bool published = std::string(point) == "bitmap-published";
        EXPECT_EQ(Key(q, "ResultCode"), published ? "0" : "50150005") << q.out;
        if (published) {
            EXPECT_EQ(Key(q, "status"), "0");
        }
        // Removed by whichever comes next: a retried create (then a delete), a delete, or teardown.
        switch (round++ % 3) {
            case 0: {
                Result retry = CreateBitmap(name, Snap(1), Snap(2));
                EXPECT_EQ(Key(retry, "ResultCode"), "0") << retry.out << retry.err;
                EXPECT_EQ(Key(Qrm({"--op", "queryBitmapVolume", "--volName", name}), "status"), "0");
                EXPECT_EQ(Key(Qrm({"--op", "deleteVolume", "--volName", name}), "ResultCode"), "0");
                break;
            }
            case 1: {
                Result del = Qrm({"--op", "deleteVolume", "--volName", name});
                EXPECT_EQ(Key(del, "ResultCode"), "0") << del.out << del.err;
                break;
            }
            default: {
                Result td = Tool({"teardown", "--pool", kPool});
                EXPECT_EQ(td.rc, 0) << td.err;
            }
        }
        expectNothingLeft(std::string("after a kill at ") + point);
    }
    // A client killed while it had the published bitmap open (librbd opens an image to rename it)
    // leaves a watch that would hold the name for the watch timeout: the delete still removes it.
    ASSERT_EQ(Key(CreateBitmap(name, Snap(1), Snap(2)), "ResultCode"), "0");
    {
        // `rbd watch` runs until its input ends: a pipe the test holds open.
        int input[2];
        ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
        const pid_t watcher = Spawn({"rbd", "-c", DM_CEPH_CONF, "watch", std::string(kPool) + "/" + name}, input[0], true);
        ::close(input[0]);
        ASSERT_GT(watcher, 0);
        const bool watched = testwait::WaitFor([&]() { return Watched(name); }, std::chrono::seconds(30),
                                               std::chrono::milliseconds(50));
        KillAndReap(watcher);
        ::close(input[1]);
        ASSERT_TRUE(watched) << "rbd watch never registered";
        Result del = Qrm({"--op", "deleteVolume", "--volName", name});
        EXPECT_EQ(Key(del, "ResultCode"), "0") << del.out << del.err;
        expectNothingLeft("after a killed watcher");
    }
    // Kills at moments the test does not choose (bounded): whatever they leave goes with one delete,
    // and the name can be used again.
    std::mt19937 rng(20261207);
    for (int i = 0; i < 16; ++i) {
        const pid_t pid = Spawn({root->QrmTool(), "--op", "createBitmapVolume", "--snapNameFrom", Snap(1), "--snapNameTo",
                                 Snap(2), "--volName", name, "--staIp", "127.0.0.1", "--strataFloatIP", "127.0.0.1",
                                 "--poolId", kPool},
                                -1, true);
        ASSERT_GT(pid, 0);
        // The moment of the kill is the variable under test, not a wait: every check below holds
        // wherever it lands (before the tool started, in the middle, or after it answered).
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 200)(rng)));
        KillAndReap(pid);
        Result q = Qrm({"--op", "queryBitmapVolume", "--volName", name});
        EXPECT_TRUE(Key(q, "ResultCode") == "50150005" || Key(q, "status") == "0") << q.out;
        if (i % 2 == 0) {
            EXPECT_EQ(Key(CreateBitmap(name, Snap(1), Snap(2)), "ResultCode"), "0");
        }
        Result del = Qrm({"--op", "deleteVolume", "--volName", name});
        EXPECT_TRUE(Key(del, "ResultCode") == "0" || Key(del, "ResultCode") == "50150005") << del.out << del.err;
        expectNothingLeft("after kill " + std::to_string(i));
    }

    // A backup whose bitmap create is killed once: `clean` removes what is left.
    size = 64 * kMiB;
    ASSERT_EQ(Mover(BackupArgs(Snap(1))).rc, 0);
    const std::string marker = root->Root() + "/crashed-once";
    ::setenv("RBD_TOOL_CRASH_AT", ("bitmap-written@" + marker).c_str(), 1);
    Result incr = Mover(BackupArgs(Snap(2), Snap(1)));
    ::unsetenv("RBD_TOOL_CRASH_AT");
    EXPECT_TRUE(fs::exists(marker)) << "the create was never killed";
    Result clean = Mover({"clean", "--repo", repo});
    EXPECT_EQ(clean.rc, 0) << clean.out << clean.err;
    expectNothingLeft("after clean");
}

TEST_F(CephIdentityTest, TeardownReportsWhatItCannotRemoveAndWaitsOutADeadWatch)
{
    FilledSnapshot(Vol(), Snap(1), 0x12);
    const std::string name = prefix + "_BITMAP";
    ASSERT_EQ(Key(CreateBitmap(name, "", Snap(1)), "ResultCode"), "0");
    // A live client with the bitmap image open (rbd-fuse in the foreground, outside the root's
    // attachments) keeps it.
    const std::string dir = root->Root() + "/watch";
    fs::create_directories(dir);
    const pid_t watcher = Spawn({"rbd-fuse", "-c", DM_CEPH_CONF, "-p", kPool, "-r", name, "-f", dir}, -1, true);
    ASSERT_GT(watcher, 0);
    ASSERT_TRUE(testwait::WaitFor([&]() { return fs::exists(dir + "/" + name); }, std::chrono::seconds(30)));
    std::ifstream(dir + "/" + name, std::ios::binary).get();  // rbd-fuse opens the image on first use
    ASSERT_TRUE(testwait::WaitFor([&]() { return Watched(name); }, std::chrono::seconds(30)));
    Result td = Tool({"teardown", "--pool", kPool, "--wait", "1"});
    EXPECT_NE(td.rc, 0) << "teardown said nothing of an image it could not remove";
    EXPECT_NE(td.err.find(name), std::string::npos) << td.err;
    // Killed, the client's watch lingers for a while; teardown waits it out.
    KillAndReap(watcher);
    ::umount2(dir.c_str(), MNT_DETACH);
    td = Tool({"teardown", "--pool", kPool});
    EXPECT_EQ(td.rc, 0) << td.err;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(CephIdentityTest, AgentInstallLeavesAnotherInstallationsAgentAlone)
{
    // The root's agent path already holds another program (here: the simulator's agent).
    const std::string agent = root->AgentProgram();
    ASSERT_TRUE(fs::exists(agent));
    const fs::path before = fs::canonical(agent);
    Result r = Tool({"agent", "install"});
    EXPECT_NE(r.rc, 0);
    EXPECT_NE(r.err.find("left alone"), std::string::npos) << r.err;
    EXPECT_EQ(fs::canonical(agent), before);
    // Its own link, or a dangling one, is (re)placed.
    fs::remove(agent);
    fs::create_symlink(root->Root() + "/gone/rbd-tool", agent);
    EXPECT_EQ(Tool({"agent", "install"}).rc, 0);
    EXPECT_EQ(fs::canonical(agent), fs::canonical(DM_RBD_TOOL));
    EXPECT_EQ(Tool({"agent", "install"}).rc, 0);
}

TEST_F(CephIdentityTest, AWholeObjectDiscardedBetweenSnapshotsRestoresAsZeros)
{
    FilledSnapshot(Vol(), Snap(1), 9, kPool, "--random");
    ASSERT_EQ(Mover(BackupArgs(Snap(1))).rc, 0);
    Admin({"discard", Vol(), "--offset", std::to_string(8 * kMiB), "--length", std::to_string(4 * kMiB)});
    Admin({"snapshot", "create", Vol(), Snap(2)});
    Result incr = Mover(BackupArgs(Snap(2), Snap(1)));
    ASSERT_EQ(incr.rc, 0) << incr.out << incr.err;
    EXPECT_GT(incr.json["bytes_read"].asUInt64(), 0u);
    EXPECT_LT(incr.json["bytes_read"].asUInt64(), size - kOffset) << "an incremental, not a full read";
    const std::string restored = RestoredBytes(incr.json["backup_id"].asString());
    ASSERT_EQ(restored.size(), size - kOffset);
    EXPECT_TRUE(restored.substr(8 * kMiB - kOffset, 4 * kMiB).find_first_not_of('\0') == std::string::npos);
    ExpectRestoreEquals(incr.json["backup_id"].asString(), Vol() + "@" + Snap(2));
}

}  // namespace
