// The datamover program as a user runs it, against strata-sim in a throw-away
// root. Host-clock pauses (attach settle, retry waits) are shortened through
// DATAMOVER_PAUSE_DIVISOR so the suite stays fast; everything else is real:
// processes, tool scripts, device nodes, the repository on disk.
#pragma once
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "apps/datamover/repository/GarbageCollector.h"
#include "apps/datamover/repository/Lease.h"
#include "apps/datamover/repository/backend/OpenStore.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "foundation/JsonUtils.h"
#include "tests/support/SimRoot.h"
#include "tests/support/WaitFor.h"

extern char** environ;

namespace dmtest {

namespace fs = std::filesystem;
using simtest::SimFault;
using simtest::SimRoot;

constexpr uint64_t kMiB = 1ULL << 20;
constexpr uint64_t kOffset = 4096;  // data-area offset of storage type 0
const char kVolumeId[] = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
const char kUrl[] = "strata://127.0.0.1/pool0/";

struct Result {
    int rc = -1;
    std::string out;
    std::string err;
    Json::Value json;
};

// Any repository format: the test makes (or does not make) the repository.
class DatamoverHarness : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("DATAMOVER_PAUSE_DIVISOR", "200", 1);
        SimRoot::Options o;
        o.startAgent = true;
        sim = std::make_unique<SimRoot>(o);
        repoPath = sim->Root() + "/repo";
    }
    void TearDown() override
    {
        sim.reset();
        ::unsetenv("DATAMOVER_PAUSE_DIVISOR");
        ::unsetenv("DATAMOVER_LEASE_SECONDS");
    }

    std::vector<std::string> Argv(const std::vector<std::string>& args, bool json) const
    {
        std::vector<std::string> argv = {DM_DATAMOVER_BINARY, "--root", sim->Root()};
        if (json) argv.push_back("--json");
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    Result Run(const std::vector<std::string>& args, bool json = true) const
    {
        Result r;
        r.rc = SimRoot::RunProgram(Argv(args, json), &r.out, &r.err);
        if (json) CJsonUtils::StringToJson(r.out, r.json);
        return r;
    }
    // Runs a command that must end with `rc`; its output is shown when it does not.
    Result Expect(int rc, const std::vector<std::string>& args, bool json = true) const
    {
        Result r = Run(args, json);
        std::string line;
        for (const std::string& a : args) line += " " + a;
        EXPECT_EQ(r.rc, rc) << line << "\n" << r.out << r.err;
        return r;
    }
    // `command --repo <repo> extra...`
    std::vector<std::string> Repo(const std::string& command, const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> args = {command, "--repo", repoPath};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    Result List() const { return Run(Repo("list")); }
    // The ids the first chain lists, oldest first.
    std::vector<std::string> Listed() const
    {
        std::vector<std::string> out;
        const Result l = List();
        for (const Json::Value& b : l.json["chains"][0]["backups"]) out.push_back(Id(b));
        return out;
    }
    static std::string Id(const Json::Value& v) { return v["backup_id"].asString(); }
    static std::string Id(const Result& r) { return Id(r.json); }
    static bool Mentions(const Json::Value& v, const std::string& text)
    {
        return CJsonUtils::JsonToString(v).find(text) != std::string::npos;
    }
    // A failure exit with an error that names each of `texts`.
    static void ExpectRefused(const Result& r, const std::vector<std::string>& texts)
    {
        EXPECT_NE(r.rc, 0) << r.out << r.err;
        const std::string error = r.json["error"]["message"].asString();
        EXPECT_TRUE(r.json["error"]["code"].isString()) << r.out;
        EXPECT_FALSE(error.empty()) << r.out;
        for (const std::string& t : texts) {
            EXPECT_NE(error.find(t), std::string::npos) << "no \"" << t << "\" in " << r.out;
        }
    }
    // The JSON and standard error of `r` name each of `texts`.
    static void ExpectSays(const Result& r, const std::vector<std::string>& texts)
    {
        const std::string all = CJsonUtils::JsonToString(r.json) + r.err;
        for (const std::string& t : texts) EXPECT_NE(all.find(t), std::string::npos) << "no \"" << t << "\" in " << all;
    }
    // A full backup of snapshot `snap` of volume `volumeId` into the test's repository.
    std::vector<std::string> BackupOf(const std::string& volumeId, const std::string& snap) const
    {
        return {"backup", "--volume-id", volumeId, "--snapshot-url", kUrl + snap, "--repo", repoPath,
                "--volume-size", std::to_string(size)};
    }
    std::vector<std::string> BackupArgs(const std::string& snapshot, const std::string& parent = "",
                                        const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> args = BackupOf(kVolumeId, snapshot);
        if (!parent.empty()) args.insert(args.end(), {"--parent-snapshot", parent});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // Snapshot `snap` of `vol`, backed up against `parent` (a full one without);
    // the backup must succeed.
    Result SnapAndBackUp(const std::string& vol, const std::string& snap, const std::string& parent,
                         const std::vector<std::string>& extra = {})
    {
        sim->Snapshot(vol, snap);
        return Expect(0, BackupArgs(snap, parent, extra));
    }
    // The same of "vol" after `len` bytes of random data of `seed` at `at`.
    Result Next(const std::string& snap, const std::string& parent, uint64_t at, uint64_t len, uint64_t seed)
    {
        if (!sim->State().Has("vol")) sim->CreateVolume("vol", size);
        if (len > 0) sim->WriteRandom("vol", at, len, seed);
        return SnapAndBackUp("vol", snap, parent);
    }
    // Full B1 of s1, incrementals B2 of s2 (8 MiB changed at 8 MiB) and B3 of s3 (at 30 MiB), one volume.
    void MakeChain()
    {
        b1 = FullOf("s1", 1);
        b2 = Id(Next("s2", "s1", 8 * kMiB, 4 * kMiB, 2));
        b3 = Id(Next("s3", "s2", 30 * kMiB, 4 * kMiB, 3));
        ASSERT_FALSE(b3.empty());
    }
    // A full backup of a fresh snapshot `snap` of "vol" holding random data of `seed`.
    std::string FullOf(const std::string& snap, uint64_t seed, uint64_t len = 20 * kMiB)
    {
        return Id(Next(snap, "", 0, len, seed));
    }
    // The data area of two volumes (snapshot or volume) is byte for byte equal.
    void ExpectSameData(const std::string& a, const std::string& b) const
    {
        const std::string da = sim->Read(a, kOffset, size - kOffset), db = sim->Read(b, kOffset, size - kOffset);
        ASSERT_EQ(da.size(), size - kOffset);
        EXPECT_TRUE(da == db) << a << " and " << b << " differ at data offset "
                              << std::mismatch(da.begin(), da.end(), db.begin(), db.end()).first - da.begin();
    }
    // Backup `id` restores into a new volume as snapshot `snap`; into one that
    // held other data (with --force) when `used`.
    void ExpectRestores(const std::string& id, const std::string& snap, bool used = false)
    {
        const std::string target = "r-" + snap + "-" + std::to_string(++restores);
        sim->CreateVolume(target, size);
        if (used) sim->WriteRandom(target, 0, size, 99);
        Result r = Restore(id, target, used ? std::vector<std::string>{"--force"} : std::vector<std::string>{});
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
        ExpectSameData(snap, target);
    }
    std::vector<std::string> RepoFiles() const
    {
        std::vector<std::string> files;
        std::error_code ec;  // no repository yet lists nothing
        for (auto it = fs::recursive_directory_iterator(repoPath, ec); it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            files.push_back(it->path().string() + ":" +
                            std::to_string(it->is_regular_file() ? fs::file_size(it->path()) : 0));
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    // Entries of `dir` under the root named `prefix`... with extension `ext` (any when empty).
    size_t CountIn(const std::string& dir, const std::string& prefix, const std::string& ext = "") const
    {
        size_t n = 0;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(sim->Root() + dir, ec)) {
            const fs::path name = e.path().filename();
            n += name.string().rfind(prefix, 0) == 0 && (ext.empty() || name.extension() == ext);
        }
        return n;
    }
    // Nothing stays attached or registered and no task data is left.
    void ExpectNoLeftovers() const
    {
        simtest::SimState state = sim->State();
        EXPECT_TRUE(state.Clean()) << state.raw.toStyledString();
        EXPECT_EQ(CountIn("/var/cache", "task-"), 0u);
    }

    std::string BackupDir(const std::string& id) const
    {
        return repoPath + "/chains/" + kVolumeId + "/backups/" + id;
    }
    // Restores from `repo` (the test's repository when empty) into the strata volume
    // `target`, or where `extra` says when it is empty.
    Result Restore(const std::string& id, const std::string& target, const std::vector<std::string>& extra = {},
                   const std::string& repo = "") const
    {
        std::vector<std::string> args = {"restore", "--repo", repo.empty() ? repoPath : repo, "--backup", id};
        if (!target.empty()) args.insert(args.end(), {"--volume-url", kUrl + target});
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args);
    }
    static void Overwrite(const std::string& path, uint64_t at, const std::string& bytes)
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(at));
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    static std::string FileBytes(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Reads the manifest of backup `id` as JSON, lets `edit` change it and writes it
    // back, with its checksum made to match unless `reseal` is false (a tampered manifest).
    template <typename Fn>
    void EditManifest(const std::string& id, Fn edit, bool reseal = true) const
    {
        const std::string path = BackupDir(id) + "/" + repo::kManifestFile;
        Json::Value m;
        ASSERT_TRUE(CJsonUtils::StringToJson(FileBytes(path), m)) << path;
        edit(m);
        if (reseal && m.isMember("manifest_crc")) m["manifest_crc"] = Json::UInt(repo::ManifestCrc(m));
        std::string error;
        ASSERT_TRUE(repo::WriteFileAtomic(path, CJsonUtils::JsonToString(m), error)) << error;
    }

    // Starts the datamover with its output discarded and kills it once `reached`
    // holds; false when it never did within a minute.
    template <typename Fn>
    static bool KillWhen(const std::vector<std::string>& argv, Fn reached)
    {
        std::vector<char*> cargv;
        for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const bool started = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        if (!started) return false;
        const bool ok = WaitFor(reached);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return ok;
    }
    // Polls a state the test can observe; false after a minute without it.
    template <typename Fn>
    static bool WaitFor(Fn done)
    {
        return testwait::WaitFor(done, std::chrono::seconds(60));
    }

    // The test's format-3 repository as a store (a directory or a bucket), to look at and plant objects.
    std::unique_ptr<repo3::ObjectStore> Store() const { return repo3::OpenObjectStore(repoPath); }

    // The collection lease as the data mover meets, reports and removes it, in
    // the test's (initialised, format-3) repository: a live lease of another
    // machine refuses prune and unlock (but with --force) and a backup gives up
    // waiting for it; an expired one blocks nobody.
    void ExpectTheLeaseRules()
    {
        ::setenv("DATAMOVER_LEASE_SECONDS", "2", 1);
        sim->CreateVolume("vol", size);
        sim->WriteRandom("vol", 0, 4 * kMiB, 3);
        sim->Snapshot("vol", "s1");
        Expect(0, BackupArgs("s1"));
        const std::unique_ptr<repo3::ObjectStore> store = Store();
        repo3::HolderRecord other;  // a collection on another machine
        other.holder = "garbage collection";
        other.owner = "elsewhere";
        other.host = "another-node";
        other.pid = 4242;
        auto plant = [&](int64_t expiresIn) {
            other.expiresAt = repo3::NowSeconds() + expiresIn;
            store->Replace(repo3::kGcLockObject, repo3::FormatHolder(other));
        };
        plant(600);
        Result prune = Expect(1, Repo("prune", {"--keep-last", "1"}));
        EXPECT_EQ(prune.json["error"]["code"].asString(), "in_use") << prune.out;
        EXPECT_NE(prune.json["error"]["message"].asString().find("another-node"), std::string::npos) << prune.out;
        // A backup waits for the holding to end, at most a lease time, then gives up in one line.
        Result waited = Expect(1, BackupArgs("s1"));
        EXPECT_EQ(waited.json["error"]["code"].asString(), "in_use") << waited.out;
        EXPECT_TRUE(store->List("pending/").empty()) << "the refused backup left its claim";
        Result kept = Expect(1, Repo("unlock"));
        EXPECT_EQ(kept.json["error"]["code"].asString(), "in_use") << kept.out;
        EXPECT_TRUE(store->Exists(repo3::kGcLockObject));
        Result forced = Run(Repo("unlock", {"--force"}), false);
        EXPECT_EQ(forced.rc, 0) << forced.err;
        EXPECT_NE(forced.err.find("warning: removing a lease that has not expired"), std::string::npos) << forced.err;
        EXPECT_FALSE(store->Exists(repo3::kGcLockObject));

        // Expired: prune takes it over, backups do not wait, unlock removes it without --force.
        plant(-1);
        Expect(0, BackupArgs("s1"));
        Expect(0, Repo("prune", {"--keep-last", "1"}));
        EXPECT_FALSE(store->Exists(repo3::kGcLockObject)) << "taken over, then released";
        plant(-1);
        Result unlocked = Expect(0, Repo("unlock"));
        EXPECT_TRUE(unlocked.json["removed"].asBool()) << unlocked.out;
        EXPECT_FALSE(unlocked.json["forced"].asBool()) << unlocked.out;
        EXPECT_FALSE(Expect(0, Repo("unlock")).json["removed"].asBool()) << "there was nothing to remove";
        Expect(0, Repo("verify"));
    }

    // In the test's format-3 repository, a full backup of "vol" (20 MiB of random
    // data and 4 MiB of one byte: snapshot s1), then an incremental after 3 MiB
    // changed inside its blocks 1 and 2 (s2): what each stored, every chunk there.
    std::pair<Result, Result> FullThenIncremental()
    {
        sim->CreateVolume("vol", size);
        sim->WriteRandom("vol", 0, 20 * kMiB, 7);
        sim->WritePattern("vol", 30 * kMiB, 4 * kMiB, 0xAB);  // compressible, and a repeated block
        sim->Snapshot("vol", "s1");
        Result full = Expect(0, BackupArgs("s1"));
        EXPECT_EQ(full.json["kind"].asString(), "full");
        const uint64_t stored = full.json["chunks_stored"].asUInt64();
        EXPECT_GE(stored, 6u) << full.out;
        EXPECT_LE(stored, full.json["blocks"].asUInt64()) << full.out;
        EXPECT_EQ(Store()->List("chunks/").size(), stored);
        sim->WriteRandom("vol", 4 * kMiB + 100, 3 * kMiB, 8);
        sim->Snapshot("vol", "s2");
        Result inc = Expect(0, BackupArgs("s2", "s1"));
        EXPECT_EQ(inc.json["kind"].asString(), "incremental");
        EXPECT_EQ(inc.json["parent_backup"].asString(), Id(full));
        EXPECT_LT(inc.json["blocks"].asUInt64(), full.json["blocks"].asUInt64()) << inc.out;
        EXPECT_GE(inc.json["chunks_stored"].asUInt64(), 1u) << inc.out;
        EXPECT_EQ(CountIn("/var/tmp", "backup-"), 0u) << "the changed-range file's directory was left behind";
        return {full, inc};
    }

    // Backups of `count` volumes from as many processes at once, beside a prune of
    // the first volume's chain that removes the older of its two earlier backups,
    // in the test's (initialised, format-3) repository: every backup succeeds, the
    // prune runs (or, when `leaseMayBeBusy`, finds the lease busy and the next one
    // runs), and every kept backup restores.
    void ExpectConcurrentBackupsAndAPrune(size_t count, bool leaseMayBeBusy)
    {
        std::vector<std::string> volumes;
        for (size_t i = 0; i < count; ++i) volumes.push_back("1b4e28ba-2fa1-11d2-883f-0016d3cca4" + std::to_string(10 + i));
        sim->CreateVolume("v0", size);
        sim->WriteRandom("v0", 0, 12 * kMiB, 100);
        sim->Snapshot("v0", "old1");
        const std::string old1 = Id(Expect(0, BackupOf(volumes[0], "old1")));
        sim->WriteRandom("v0", 0, 12 * kMiB, 101);
        sim->Snapshot("v0", "old2");
        Expect(0, BackupOf(volumes[0], "old2"));
        for (size_t i = 0; i < count; ++i) {
            const std::string v = "v" + std::to_string(i);
            if (i > 0) sim->CreateVolume(v, size);
            sim->WriteRandom(v, 0, 16 * kMiB, 200 + i);
            sim->WriteRandom(v, 16 * kMiB, 4 * kMiB, 7);  // a block all of them share
            sim->Snapshot(v, "n" + std::to_string(i));
        }
        const std::vector<std::string> prune = Repo("prune", {"--volume-id", volumes[0], "--keep-last", "2"});
        std::vector<Result> results(count + 1);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < count; ++i) {
            threads.emplace_back([&, i] { results[i] = Run(BackupOf(volumes[i], "n" + std::to_string(i))); });
        }
        threads.emplace_back([&] { results.back() = Run(prune); });
        for (auto& t : threads) t.join();
        for (size_t i = 0; i < count; ++i) ASSERT_EQ(results[i].rc, 0) << results[i].out << results[i].err;
        const Result& pruned = results.back();
        if (leaseMayBeBusy && pruned.json["error"]["code"].asString() == "in_use") {
            Expect(0, prune);
        } else {
            EXPECT_EQ(pruned.rc, 0) << pruned.out << pruned.err;
        }
        for (const Json::Value& chain : Expect(0, Repo("list")).json["chains"]) {
            for (const Json::Value& b : chain["backups"]) EXPECT_NE(Id(b), old1) << "not pruned";
        }
        for (size_t i = 0; i < count; ++i) ExpectRestores(Id(results[i]), "n" + std::to_string(i));
        Expect(0, Repo("verify"));
        const std::unique_ptr<repo3::ObjectStore> store = Store();
        EXPECT_TRUE(store->List("pending/").empty()) << "a claim outlived its backup";
        EXPECT_FALSE(store->Exists(repo3::kGcLockObject)) << "the prune's lease outlived it";
    }

    // Makes `path` (the test's repository when empty) a format-2 repository,
    // as 'datamover init --format 2' does for a user: a backup into a path
    // with no repository makes format 3.
    void InitFormat2(const std::string& path = "") const
    {
        const std::string at = path.empty() ? repoPath : path;
        Result r = Run({"init", "--repo", at, "--format", "2"});
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
        ASSERT_TRUE(fs::exists(at + "/" + repo::kMarkerFile)) << at;
    }

    std::unique_ptr<SimRoot> sim;
    std::string repoPath;
    uint64_t size = 48 * kMiB;
    int restores = 0;
    std::string b1, b2, b3;  // MakeChain's backups
};

// The suites of the chain-of-files format (format 2): each test starts with
// an empty one at repoPath.
class DatamoverTest : public DatamoverHarness {
protected:
    void SetUp() override
    {
        DatamoverHarness::SetUp();
        InitFormat2();
    }
};

}  // namespace dmtest
